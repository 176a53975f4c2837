// The Windows calls tests replace, in one table, with the real functions as its defaults. Each
// stands for a behaviour of Windows that Wine hides or a person would have to supply; a test
// replaces one for a scope with Override (tests/support.h), which puts the default back.
#pragma once

#include "basics.h"

struct ITaskbarList3; // <shobjidl.h>, where it is used

namespace setup {

struct Seams {
    // Posts to the window. Windows refuses posts to a queue that already holds 10,000
    // messages; Wine never does.
    BOOL(WINAPI* post)(HWND, UINT, WPARAM, LPARAM);
    // The worker's one dialog, the disk-space question: tests answer it without a screen.
    int(WINAPI* ask)(HWND, LPCWSTR, LPCWSTR, UINT);
    // The free space of the install drive. Tests give a drive of any size without making one.
    BOOL(WINAPI* freeSpace)(LPCWSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
    // Keeps the system awake during a run. Windows sleeps when left alone; Wine never does and
    // shows nothing of the call.
    EXECUTION_STATE(WINAPI* executionState)(EXECUTION_STATE);
    // Finds the desktop and the profile. On Windows the lookup can fail (a Desktop redirected
    // to a share that is offline, a profile policy); Wine always answers.
    HRESULT(WINAPI* folderPath)(HWND, int, HANDLE, DWORD, LPWSTR);
    // Makes a folder with an access list. Windows applies the list; Wine keeps none.
    BOOL(WINAPI* makeFolder)(LPCWSTR, LPSECURITY_ATTRIBUTES);
    // The install drive's file-system flags and drive type. On FAT, exFAT or a network share an
    // access list means nothing or names accounts the server doesn't know; Wine's drives are all
    // local and keep none.
    bool (*volume)(const wchar_t* root, DWORD& flags, UINT& driveType);
    // The taskbar button's interface, and its flash: Wine has no taskbar.
    HRESULT(WINAPI* makeTaskbar)(ITaskbarList3**);
    BOOL(WINAPI* flash)(PFLASHWINFO);
    // The wait between download attempts, seconds long; false when the run was cancelled
    // meanwhile. Tests spend no time on it.
    bool (*pause)(DWORD milliseconds);
    // The wait for the system's automatic proxy (WPAD, a PAC file) to answer: true once it has.
    // A network without WPAD, or a PAC file that doesn't come, costs 5 s at most, as on Windows;
    // a cancel ends the wait at once. Tests spend less on an answer that never comes.
    bool (*awaitProxy)(HANDLE answered);
    // How many seconds git may go without data before it gives up (30): tests spend less on a
    // connection that never comes back.
    unsigned (*gitSilence)();
    // Tells screen readers that the status line has new text. Windows hands it to them; Wine
    // has none, and shows nothing of the call.
    void(WINAPI* announce)(DWORD event, HWND, LONG object, LONG child);
};

extern Seams s_seams;

} // namespace setup
