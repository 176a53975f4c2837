// The real functions behind the seams.
#include "seams.h"

#include "cancel.h"

#include <shlobj.h>
#include <shobjidl.h>

namespace setup {

namespace {

HRESULT WINAPI MakeShellTaskbar(ITaskbarList3** taskbar) {
    return CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                            reinterpret_cast<void**>(taskbar));
}

// The pause between attempts: a cancel ends it at once.
bool PauseUnlessCancelled(DWORD milliseconds) {
    return WaitUnlessCancelled(nullptr, milliseconds);
}

// The automatic proxy's answer, or 5 s; a cancel ends the wait at once.
bool AwaitProxy(HANDLE answered) {
    return WaitUnlessCancelled(answered, 5000);
}

bool VolumeOf(const wchar_t* root, DWORD& flags, UINT& driveType) {
    driveType = GetDriveTypeW(root);
    return GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) != 0;
}

unsigned GitSilence() {
    return 30;
}

} // namespace

Seams s_seams = {
    PostMessageW,
    MessageBoxW,
    GetDiskFreeSpaceExW,
    SetThreadExecutionState,
    SHGetFolderPathW,
    CreateDirectoryW,
    VolumeOf,
    MakeShellTaskbar,
    FlashWindowEx,
    PauseUnlessCancelled,
    AwaitProxy,
    GitSilence,
    NotifyWinEvent,
};

} // namespace setup
