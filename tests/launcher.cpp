// Stands in for the built game's launcher: records where it was started and whether it was
// put into a job, in launched.txt beside itself, then ends.
#include <windows.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring marker(self, length);
    marker = marker.substr(0, marker.find_last_of(L'\\') + 1) + L"launched.txt";

    wchar_t folder[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, folder);
    BOOL inJob = FALSE;
    IsProcessInJob(GetCurrentProcess(), nullptr, &inJob);
    const std::wstring text = std::wstring(folder) + L"\n" + (inJob ? L"in a job" : L"no job");

    // Written aside and renamed: a test that sees launched.txt must find all of it.
    const std::wstring aside = marker + L".new";
    HANDLE file = CreateFileW(aside.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD wrote = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &wrote,
              nullptr);
    CloseHandle(file);
    MoveFileExW(aside.c_str(), marker.c_str(), MOVEFILE_REPLACE_EXISTING);
    return 0;
}
