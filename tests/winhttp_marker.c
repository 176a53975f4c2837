/* A winhttp.dll that only leaves a mark: "<its own path>.loaded" once it is loaded. The GUI
   tests put it beside setup.exe to see whether Setup ever takes a DLL from its own folder. It
   exports the functions Setup uses, doing nothing, so that a program importing them starts. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t path[MAX_PATH + 8];
        DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
        lstrcpyW(path + length, L".loaded");
        HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    }
    return TRUE;
}

#define NOTHING(name) __declspec(dllexport) void* name(void) { return NULL; }
NOTHING(WinHttpCrackUrl)
NOTHING(WinHttpOpen)
NOTHING(WinHttpSetTimeouts)
NOTHING(WinHttpConnect)
NOTHING(WinHttpOpenRequest)
NOTHING(WinHttpSendRequest)
NOTHING(WinHttpReceiveResponse)
NOTHING(WinHttpQueryHeaders)
NOTHING(WinHttpQueryDataAvailable)
NOTHING(WinHttpReadData)
NOTHING(WinHttpCloseHandle)
