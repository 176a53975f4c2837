// The setup window exactly as setup.exe runs it, around runs the GUI tests control, so that
// cancel, close and a flood of log lines can be tested before the whole pipeline exists.
//   IRONVALE_HOST_RUN=block     a run that waits in a child (and its grandchild) until ended
//   IRONVALE_HOST_RUN=hold      the same, but once the child is gone it also waits for the
//                               event IronvaleHostRelease, so the cancelling state can be seen;
//                               its thread then takes 2 s more to end
//   IRONVALE_HOST_RUN=lines:N   a run that logs N numbered lines of 100 characters, then fails
//   IRONVALE_HOST_RUN=question  a run whose preflight finds 1 GB free on the drive, and asks
//   IRONVALE_HOST_RUN=flood:N   a build of N lines in two parts into setup.log in the install
//                               folder, while half of the posts to the window are refused as
//                               a full queue refuses them; it then links (33%) and waits for
//                               IronvaleHostRelease before it fails
//   IRONVALE_HOST_RUN=progress  progress -1, -1, 40, 150, -1 and 100, each logged as the bar shows
//                               it ("bar marquee", "bar 40"), then it succeeds
//   IRONVALE_HOST_RUN=steps:ok  progress -1, 40 and 75, each once the bar shows the one before;
//   IRONVALE_HOST_RUN=steps:fail  then it waits for IronvaleHostRelease and succeeds or fails
// With IRONVALE_TASKBAR_LOG=FILE, the taskbar button and its flash are recording stand-ins that
// write each call to FILE, a line each (Wine has no taskbar). With IRONVALE_ANNOUNCE_LOG=FILE,
// each live-region event is a line there: the milliseconds since the one before, and the text
// of the control it is raised on.
#include "details.h"
#include "window.h"
#include "form.h"
#include "install.h"
#include "runner.h"
#include "seams.h"
#include "steps.h"

#include <commctrl.h>
#include <shobjidl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace setup;

namespace {

struct SlowThreadEnd {
    bool armed = false;
    ~SlowThreadEnd() {
        if (armed)
            Sleep(2000);
    }
};

std::wstring Environment(const wchar_t* name) {
    wchar_t value[256];
    const DWORD length = GetEnvironmentVariableW(name, value, 256);
    return length && length < 256 ? std::wstring(value, length) : std::wstring();
}

std::wstring Child(const std::wstring& args) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return Quote(fs::path(self).parent_path() / L"child.exe") + L" " + args;
}

// Windows refuses posts to a queue that already holds 10,000 messages (ERROR_NOT_ENOUGH_QUOTA);
// Wine never does. This stands in for a queue that other senders keep full at times: for every
// other 20 ms, each of Setup's posts is refused.
BOOL WINAPI PostInBursts(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (GetTickCount64() / 20 % 2) {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return FALSE;
    }
    return PostMessageW(window, message, wParam, lParam);
}

// The calls Setup makes on the taskbar button, with what the window's bar shows at the time.
class TaskbarRecorder final : public ITaskbarList3 {
  public:
    static void Write(const std::string& line, const wchar_t* log = L"IRONVALE_TASKBAR_LOG") {
        const std::wstring file = Environment(log);
        if (FILE* out = _wfopen(file.c_str(), L"ab")) {
            std::fputs((line + "\r\n").c_str(), out);
            std::fclose(out);
        }
    }
    static HRESULT WINAPI Make(ITaskbarList3** taskbar) {
        *taskbar = new TaskbarRecorder;
        return S_OK;
    }
    static BOOL WINAPI Flash(PFLASHWINFO info) {
        Write(info->dwFlags == (FLASHW_ALL | FLASHW_TIMERNOFG) ? "flash until back" : "flash");
        return TRUE;
    }

    static void WINAPI Announce(DWORD event, HWND control, LONG object, LONG child) {
        static ULONGLONG last = GetTickCount64();
        const ULONGLONG now = GetTickCount64();
        wchar_t text[256] = L"";
        GetWindowTextW(control, text, 256);
        if (event == 0x8019 && object == OBJID_CLIENT && child == CHILDID_SELF)
            Write(std::to_string(now - std::exchange(last, now)) + " " + Narrow(text),
                  L"IRONVALE_ANNOUNCE_LOG");
    }

    HRESULT STDMETHODCALLTYPE SetProgressValue(HWND window, ULONGLONG done,
                                               ULONGLONG total) override {
        const auto bar = SendMessageW(GetDlgItem(window, kIdProgress), PBM_GETPOS, 0, 0);
        Write("value " + std::to_string(done) + "/" + std::to_string(total) + " bar " +
              std::to_string(bar));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetProgressState(HWND window, TBPFLAG state) override {
        const bool marquee =
            GetWindowLongPtrW(GetDlgItem(window, kIdProgress), GWL_STYLE) & PBS_MARQUEE;
        const char* names[] = {"none", "indeterminate", "normal", "", "error", "", "",
                               "",     "paused"};
        Write(std::string("state ") + (state <= TBPF_PAUSED ? names[state] : "?") +
              (marquee ? " marquee" : ""));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE HrInit() override {
        Write("init");
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_references; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --m_references;
        if (left == 0)
            delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE AddTab(HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DeleteTab(HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ActivateTab(HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetActiveAlt(HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE MarkFullscreenWindow(HWND, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RegisterTab(HWND, HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnregisterTab(HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetTabOrder(HWND, HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetTabActive(HWND, HWND, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ThumbBarAddButtons(HWND, UINT, LPTHUMBBUTTON) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ThumbBarUpdateButtons(HWND, UINT, LPTHUMBBUTTON) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ThumbBarSetImageList(HWND, HIMAGELIST) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetOverlayIcon(HWND, HICON, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetThumbnailTooltip(HWND, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetThumbnailClip(HWND, RECT*) override { return E_NOTIMPL; }

  private:
    ULONG m_references = 1;
};

// Once the window shows it: a step the test can see on the bar and on the taskbar recorder.
void ShowProgress(int percent) {
    PostProgress(percent);
    percent = std::min(percent, 100); // as the bar takes it
    HWND bar = Item(kIdProgress);
    for (int wait = 0; wait < 1000; ++wait, Sleep(10)) {
        const bool marquee = GetWindowLongPtrW(bar, GWL_STYLE) & PBS_MARQUEE;
        if (percent < 0 ? marquee : !marquee && SendMessageW(bar, PBM_GETPOS, 0, 0) == percent)
            return;
    }
}

void WaitForRelease() {
    UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, L"IronvaleHostRelease"));
    WaitForSingleObject(release.get(), 60000);
}

BOOL WINAPI OneGigabyteFree(LPCWSTR, PULARGE_INTEGER available, PULARGE_INTEGER, PULARGE_INTEGER) {
    available->QuadPart = 1ull << 30;
    return TRUE;
}

std::wstring HostSteps(const Choices& choices, RunState& run) {
    const std::wstring mode = Environment(L"IRONVALE_HOST_RUN");
    if (mode == L"block" || mode == L"hold") {
        Status(L"Waiting in a child");
        try {
            Run(Child(L"pid=1 spawn=600000 sleep=600000"), {});
        } catch (const Failed&) {
            if (mode == L"hold") {
                // Ends the thread 2 s after its end-of-run message, as WinHTTP's and the
                // system's clean-up after a cancelled HTTPS request were seen to on Windows.
                static thread_local SlowThreadEnd tail;
                tail.armed = true;
                WaitForRelease();
            }
            throw;
        }
        return L"The child ended by itself.";
    }
    if (mode.rfind(L"lines:", 0) == 0) {
        const unsigned long count = std::wcstoul(mode.c_str() + 6, nullptr, 10);
        for (unsigned long i = 0; i < count; ++i) {
            std::wstring line = L"line " + std::to_wstring(i) + L" ";
            line.resize(100, L'.');
            Log(line);
        }
        Fail(L"Logged " + std::to_wstring(count) + L" lines.");
    }
    if (mode.rfind(L"flood:", 0) == 0) {
        const unsigned long count = std::wcstoul(mode.c_str() + 6, nullptr, 10);
        OpenLog(choices.folder / L"setup.log");
        Status(L"Compiling, part one");
        Run(Child(L"lines=" + std::to_wstring(count / 2)), {}, OnBuildLine);
        Status(L"Compiling, part two");
        Run(Child(L"lines=" + std::to_wstring(count - count / 2)), {}, OnBuildLine);
        OnBuildLine("[1/3] Linking");
        Status(L"Linking");
        WaitForRelease();
        Fail(L"Flooded with " + std::to_wstring(count) + L" lines.");
    }
    if (mode == L"progress") {
        HWND bar = Item(kIdProgress);
        for (int percent : {-1, -1, 40, 150, -1, 100}) {
            ShowProgress(percent);
            const bool marquee = GetWindowLongPtrW(bar, GWL_STYLE) & PBS_MARQUEE;
            Log(marquee ? std::wstring(L"bar marquee")
                        : L"bar " + std::to_wstring(SendMessageW(bar, PBM_GETPOS, 0, 0)));
        }
        return L"Progress shown.";
    }
    if (mode.rfind(L"steps:", 0) == 0) {
        Status(L"Stepping");
        for (int percent : {-1, 40, 75})
            ShowProgress(percent);
        WaitForRelease();
        if (mode == L"steps:ok")
            return L"Stepped through.";
        Fail(L"Stepped and failed.");
    }
    if (mode == L"question") {
        Choices asked = choices;
        asked.source = ProgramFolder(); // something to build from
        Preflight(asked, run);
        return L"Went on.";
    }
    Fail(L"No host run was chosen.");
}

void HostInstall(Choices choices) {
    InstallWith(choices, HostSteps);
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    s_workerMain = HostInstall;
    if (Environment(L"IRONVALE_HOST_RUN").rfind(L"flood:", 0) == 0)
        s_seams.post = PostInBursts;
    if (Environment(L"IRONVALE_HOST_RUN") == L"question")
        s_seams.freeSpace = OneGigabyteFree;
    if (!Environment(L"IRONVALE_TASKBAR_LOG").empty()) {
        s_seams.makeTaskbar = TaskbarRecorder::Make;
        s_seams.flash = TaskbarRecorder::Flash;
        s_seams.announce = TaskbarRecorder::Announce;
    }
    return RunSetup(instance, show);
}
