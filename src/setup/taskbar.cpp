// The taskbar button: a run's progress on it, and a flash when a run ends out of sight. A build
// takes up to half an hour and people switch away; the button is what they keep an eye on.
#include "taskbar.h"
#include "seams.h"

#include <shobjidl.h>

namespace setup {

namespace {

struct Look {
    TBPFLAG state = TBPF_NOPROGRESS;
    int percent = 0; // shown in the normal and error states
    bool operator==(const Look& other) const {
        return state == other.state && percent == other.percent;
    }
};

UniqueCom<ITaskbarList3> s_taskbar; // once Explorer has made the button
Look s_look;                        // what the button should show
std::optional<Look> s_shown;        // what it was last told

bool ShowsValue(TBPFLAG state) {
    return state == TBPF_NORMAL || state == TBPF_ERROR;
}

// A value is set before the state: setting one switches the button to the normal state.
void Show() {
    if (!s_taskbar.get() || s_shown == s_look)
        return;
    if (ShowsValue(s_look.state))
        s_taskbar->SetProgressValue(s_window, static_cast<ULONGLONG>(s_look.percent), 100);
    if (!s_shown || s_shown->state != s_look.state)
        s_taskbar->SetProgressState(s_window, s_look.state);
    s_shown = s_look;
}

} // namespace

UINT TaskbarButtonCreated() {
    static const UINT message = RegisterWindowMessageW(L"TaskbarButtonCreated");
    return message;
}

void AllowTaskbarButtonMessage() {
    // Run as administrator, Setup would get no message from Explorer, which runs unelevated,
    // unless it lets this one through.
    ChangeWindowMessageFilterEx(s_window, TaskbarButtonCreated(), MSGFLT_ALLOW, nullptr);
}

// Sent again when Explorer restarts: the button is new and shows nothing yet.
LRESULT OnTaskbarButtonCreated() {
    if (!s_taskbar.get() &&
        (FAILED(s_seams.makeTaskbar(s_taskbar.put())) || FAILED(s_taskbar->HrInit())))
        s_taskbar.reset();
    s_shown.reset();
    Show();
    return 0;
}

void ShowRunOnTaskbar(int percent) {
    s_look = percent < 0 ? Look{TBPF_INDETERMINATE, 0} : Look{TBPF_NORMAL, percent};
    Show();
}

void ShowRunEndOnTaskbar(bool success) {
    s_look = success ? Look{} : Look{TBPF_ERROR, 100};
    Show();
    if (GetForegroundWindow() == s_window)
        return;
    FLASHWINFO flash{sizeof flash, s_window, FLASHW_ALL | FLASHW_TIMERNOFG, 0, 0};
    s_seams.flash(&flash); // until the user comes back to the window
}

void ReleaseTaskbar() {
    s_taskbar.reset();
}

} // namespace setup
