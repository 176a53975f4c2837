// The window: the one top-level window of Setup, its controls and its message procedure.
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

int RunSetup(HINSTANCE instance, int show);
void Layout();
std::wstring Text(int id);
HWND Item(int id); // a control of the setup window

// The update folder named by the command line ("--update" FOLDER, the last pair wins), or empty.
std::wstring UpdateFolder(const wchar_t* commandLine);
// The install folder the form starts with. The environment lookup is passed in so that the
// rule for a missing SystemDrive can be tested (Wine gives every process SystemDrive=C:).
using EnvironmentLookup = DWORD(WINAPI*)(LPCWSTR, LPWSTR, DWORD);
std::wstring DefaultFolder(const std::wstring& updateFolder, const fs::path& programFolder,
                           EnvironmentLookup lookup = GetEnvironmentVariableW);

} // namespace setup
