// The status line as a live region. Windows keeps the LiveSetting of a plain Win32 control as an
// annotation made through oleacc's property service (CoCreateInstance loads it by its
// registered System32 path); each new text is then signalled with EVENT_OBJECT_LIVEREGIONCHANGED.
#include "statusline.h"
#include "seams.h"

#include <oleacc.h>

namespace setup {

namespace {

constexpr GUID kAccPropServices = {
    0xb5f8350b, 0x0548, 0x48b1, {0xa6, 0xee, 0x88, 0xbd, 0x00, 0xb4, 0xa5, 0xe7}};
constexpr GUID kIAccPropServices = {
    0x6e26e776, 0x04f0, 0x495d, {0x80, 0xe4, 0x33, 0x30, 0x35, 0x2e, 0x31, 0x69}};
constexpr GUID kLiveSettingProperty = {
    0xc12bcd8e, 0x2a8e, 0x4950, {0x8a, 0xe7, 0x36, 0x25, 0x11, 0x1d, 0x58, 0xeb}};
constexpr LONG kPolite = 1; // read when the reader is idle, never cutting into other speech
constexpr DWORD kEventLiveRegionChanged = 0x8019; // EVENT_OBJECT_LIVEREGIONCHANGED
constexpr ULONGLONG kGapMs = 1000;

UniqueCom<IAccPropServices> s_properties;
ULONGLONG s_lastTold = 0;
bool s_waiting = false; // a newer text waits for the gap to pass

void Tell() {
    s_lastTold = GetTickCount64();
    s_seams.announce(kEventLiveRegionChanged, Item(kIdStatus), OBJID_CLIENT, CHILDID_SELF);
}

} // namespace

void MakeStatusLive() {
    if (FAILED(CoCreateInstance(kAccPropServices, nullptr, CLSCTX_INPROC_SERVER, kIAccPropServices,
                                s_properties.putVoid())))
        return; // no reader support on this system: the line still shows
    VARIANT polite{};
    polite.vt = VT_I4;
    polite.lVal = kPolite;
    s_properties->SetHwndProp(Item(kIdStatus), static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF,
                              kLiveSettingProperty, polite);
}

void ShowStatus(const std::wstring& text) {
    if (Text(kIdStatus) == text)
        return;
    SetWindowTextW(Item(kIdStatus), text.c_str());
    const ULONGLONG since = GetTickCount64() - s_lastTold;
    if (since >= kGapMs) {
        Tell();
    } else if (!s_waiting) {
        s_waiting = true; // the newest text then, whatever came between
        SetTimer(s_window, kStatusTimer, static_cast<UINT>(kGapMs - since), nullptr);
    }
}

LRESULT OnStatusTimer() {
    KillTimer(s_window, kStatusTimer);
    s_waiting = false;
    Tell();
    return 0;
}

void EndStatusLive() {
    if (s_properties) {
        MSAAPROPID live = kLiveSettingProperty;
        s_properties->ClearHwndProps(Item(kIdStatus), static_cast<DWORD>(OBJID_CLIENT),
                                     CHILDID_SELF, &live, 1);
    }
    s_properties.reset();
}

} // namespace setup
