// The setup window exactly as setup.exe runs it, around runs the GUI tests control, so that
// cancel, close and a flood of log lines can be tested before the whole pipeline exists.
//   IRONVALE_HOST_RUN=block     a run that waits in a child (and its grandchild) until ended
//   IRONVALE_HOST_RUN=hold      the same, but once the child is gone it also waits for the
//                               event IronvaleHostRelease, so the cancelling state can be seen
//   IRONVALE_HOST_RUN=lines:N   a run that logs N numbered lines of 100 characters, then fails
//   IRONVALE_HOST_RUN=question  a run that opens setup.log in the install folder and asks the
//                               disk-space question of a drive with 1 GB free
#include "setup.h"

#include <cstdlib>

using namespace setup;

namespace {

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

std::wstring HostSteps(const Choices& choices, RunState&) {
    const std::wstring mode = Environment(L"IRONVALE_HOST_RUN");
    if (mode == L"block" || mode == L"hold") {
        Status(L"Waiting in a child");
        try {
            Run(Child(L"pid=1 spawn=600000 sleep=600000"), {});
        } catch (const Failed&) {
            if (mode == L"hold") {
                UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, L"IronvaleHostRelease"));
                WaitForSingleObject(release.get(), 60000);
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
    if (mode == L"question") {
        OpenLog(choices.folder / L"setup.log");
        Log(L"Asking about the disk space");
        const std::wstring question = SpaceQuestion(1ull << 30, false);
        if (s_ask(s_window, question.c_str(), kCaption, MB_YESNO | MB_ICONWARNING) != IDYES)
            Fail(L"Not enough disk space.");
        return L"Went on.";
    }
    Fail(L"No host run was chosen.");
}

void HostInstall(Choices choices) {
    InstallWith(choices, HostSteps);
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    s_install = HostInstall;
    return RunSetup(instance, show);
}
