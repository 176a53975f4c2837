// The real functions behind the seams.
#include "seams.h"

#include "channel.h"

#include <shlobj.h>
#include <shobjidl.h>

namespace setup {

namespace {

HRESULT WINAPI MakeShellTaskbar(ITaskbarList3** taskbar) {
    return CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                            reinterpret_cast<void**>(taskbar));
}

constexpr DWORD kCancelPollMs = 50;

// Waits, looking at the cancel flag every kCancelPollMs: a cancel ends the wait at once.
bool Sleepless(DWORD milliseconds) {
    const ULONGLONG until = GetTickCount64() + milliseconds;
    while (!s_cancel && GetTickCount64() < until)
        Sleep(kCancelPollMs);
    return !s_cancel;
}

} // namespace

Seams s_seams = {
    PostMessageW,     MessageBoxW,      GetDiskFreeSpaceExW, SetThreadExecutionState,
    SHGetFolderPathW, CreateDirectoryW, MakeShellTaskbar,    FlashWindowEx,
    Sleepless,        NotifyWinEvent,
};

} // namespace setup
