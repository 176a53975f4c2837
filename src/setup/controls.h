// The setup window's controls, and the window state that the form, the reports, the status line
// and the taskbar share with the window itself (window.cpp owns the window and its procedure).
#pragma once

#include "channel.h"

#include <atomic>
#include <string>
#include <thread>

namespace setup {

// Control ids.
enum : int {
    kIdSource = 100,
    kIdSourceBrowse = 101,
    kIdFolder = 102,
    kIdFolderBrowse = 103,
    kIdInstall = 104,
    kIdStatus = 105,
    kIdProgress = 106,
    kIdDetails = 107,
    kIdShortcut = 108,
    kIdPlay = 109,
    kIdImageChoice = 110,
    kIdFolderChoice = 111,
    kIdFreeSpaceOption = 112,
    kIdDeleteImage = 113,
    kIdDetailsButton = 114,
    kIdSourceFrame = 115,
    kIdSourceHint = 116,
    kIdFreeSpaceLine = 117,
    kIdIcon = 118,
    kIdTitle = 119,
    kIdIntro = 120,
    kIdFolderFrame = 121,
    kIdOptionsFrame = 122,
};

extern bool s_updateMode;
extern bool s_showLog;
extern std::atomic<bool> s_busy;
extern std::thread s_worker;

HWND Item(int id); // a control of the setup window
std::wstring Text(int id);

} // namespace setup
