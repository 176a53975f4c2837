// A child process for the runner's tests. Each argument is one action, done in order:
//   out=TEXT    write TEXT to standard output (escapes: \r \n \t \0 \\ \xHH)
//   err=TEXT    the same on standard error
//   fill=N:C    write N bytes of the character C, without a terminator
//   lines=N     write N build-like lines: "[i/N] ...", "  42% ..." and plain ones, in turn
//   sleep=MS    sleep
//   pid=1       write "child <pid>"
//   cwd=1       write the current folder (UTF-8)
//   spawn=MS    start a grandchild that sleeps MS (it inherits the output), write "grandchild
//   <pid>" exit=N      end with exit code N (decimal, unsigned 32 bits)
//   env=NAME    write NAME's value, or "(unset)"
//   signal=HEX  set the event with that handle value, if this process holds it
// Anything without '=' is ignored, so the child also stands in for git ("git -C folder ...");
// named git.exe, "clone ... DIR" makes DIR\.git as a clone would. Named as a build tool, it
// answers --version as a good one would, or with the text of NAME.version beside it: "hang"
// never answers; with such a file, anything but --version fails, as an old tool fails a build.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

namespace {

void Write(DWORD which, const std::string& bytes) {
    HANDLE out = GetStdHandle(which);
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD wrote = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 16));
        if (!WriteFile(out, bytes.data() + done, chunk, &wrote, nullptr) || wrote == 0)
            ExitProcess(99);
        done += wrote;
    }
}

std::string Unescape(const std::wstring& text) {
    std::string bytes;
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (c != L'\\' || i + 1 == text.size()) {
            bytes += static_cast<char>(c);
            continue;
        }
        const wchar_t e = text[++i];
        switch (e) {
        case L'r':
            bytes += '\r';
            break;
        case L'n':
            bytes += '\n';
            break;
        case L't':
            bytes += '\t';
            break;
        case L'0':
            bytes += '\0';
            break;
        case L'x':
            bytes += static_cast<char>(std::wcstoul(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
            break;
        default:
            bytes += static_cast<char>(e);
            break;
        }
    }
    return bytes;
}

void WriteLines(unsigned long count) {
    std::string buffer;
    char line[128];
    for (unsigned long i = 1; i <= count; ++i) {
        switch (i % 3) {
        case 0:
            std::snprintf(line, sizeof line, "[%lu/%lu] Compiling src/ppc/recomp_%lu.cpp\n", i,
                          count, i);
            break;
        case 1:
            std::snprintf(line, sizeof line, "  %lu%% extracting game data\n", i * 100 / count);
            break;
        default:
            std::snprintf(line, sizeof line, "note: generated function %lu\n", i);
            break;
        }
        buffer += line;
        if (buffer.size() >= (1 << 16)) {
            Write(STD_OUTPUT_HANDLE, buffer);
            buffer.clear();
        }
    }
    Write(STD_OUTPUT_HANDLE, buffer);
}

void Spawn(const std::wstring& sleepMs) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) + L"\" sleep=" + sleepMs;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &info))
        ExitProcess(98);
    Write(STD_OUTPUT_HANDLE, "grandchild " + std::to_string(info.dwProcessId) + "\n");
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
}

} // namespace

// What a good copy of each tool prints for --version.
const char* GoodVersion(const std::wstring& name) {
    const std::pair<const wchar_t*, const char*> versions[] = {
        {L"\\git.exe", "git version 2.47.1.windows.1\n"},
        {L"\\cmake.exe", "cmake version 3.31.10\n\nCMake suite maintained by Kitware\n"},
        {L"\\ninja.exe", "1.12.1\n"},
        {L"\\clang++.exe", "clang version 19.1.7\nTarget: x86_64-w64-windows-gnu\n"},
        {L"\\python.exe", "Python 3.12.7\n"},
    };
    for (const auto& [program, version] : versions)
        if (name.size() > wcslen(program) && name.substr(name.size() - wcslen(program)) == program)
            return version;
    return nullptr;
}

int wmain(int argc, wchar_t** argv) {
    wchar_t self[MAX_PATH];
    const std::wstring name(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
    char told[256] = "";
    DWORD toldSize = 0;
    const HANDLE answer = CreateFileW((name + L".version").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (answer != INVALID_HANDLE_VALUE) {
        ReadFile(answer, told, sizeof told - 1, &toldSize, nullptr);
        CloseHandle(answer);
    }
    const bool old = answer != INVALID_HANDLE_VALUE;
    if (argc == 2 && std::wstring(argv[1]) == L"--version" && (old || GoodVersion(name))) {
        if (std::string(told, toldSize) == "hang")
            Sleep(INFINITE);
        Write(STD_OUTPUT_HANDLE, old ? std::string(told, toldSize) : GoodVersion(name));
        return 0;
    }
    if (old)
        return 1;
    if (name.size() >= 8 && name.substr(name.size() - 8) == L"\\git.exe" && argc >= 4 &&
        std::wstring(argv[1]) == L"clone") {
        CreateDirectoryW(argv[argc - 1], nullptr);
        CreateDirectoryW((std::wstring(argv[argc - 1]) + L"\\.git").c_str(), nullptr);
    }
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const size_t eq = arg.find(L'=');
        if (eq == std::wstring::npos)
            continue;
        const std::wstring verb = arg.substr(0, eq);
        const std::wstring value = arg.substr(eq + 1);
        if (verb == L"out") {
            Write(STD_OUTPUT_HANDLE, Unescape(value));
        } else if (verb == L"err") {
            Write(STD_ERROR_HANDLE, Unescape(value));
        } else if (verb == L"fill") {
            const size_t colon = value.find(L':');
            const unsigned long count = std::wcstoul(value.c_str(), nullptr, 10);
            Write(STD_OUTPUT_HANDLE, std::string(count, static_cast<char>(value[colon + 1])));
        } else if (verb == L"lines") {
            WriteLines(std::wcstoul(value.c_str(), nullptr, 10));
        } else if (verb == L"sleep") {
            Sleep(std::wcstoul(value.c_str(), nullptr, 10));
        } else if (verb == L"pid") {
            Write(STD_OUTPUT_HANDLE, "child " + std::to_string(GetCurrentProcessId()) + "\n");
        } else if (verb == L"cwd") {
            wchar_t folder[MAX_PATH];
            const DWORD length = GetCurrentDirectoryW(MAX_PATH, folder);
            char bytes[4 * MAX_PATH];
            const int size = WideCharToMultiByte(CP_UTF8, 0, folder, static_cast<int>(length),
                                                 bytes, sizeof bytes, nullptr, nullptr);
            Write(STD_OUTPUT_HANDLE, std::string(bytes, size) + "\n");
        } else if (verb == L"spawn") {
            Spawn(value);
        } else if (verb == L"env") {
            wchar_t text[256];
            const DWORD length = GetEnvironmentVariableW(value.c_str(), text, 256);
            const std::wstring got = length && length < 256 ? text : L"(unset)";
            Write(STD_OUTPUT_HANDLE, std::string(got.begin(), got.end()) + "\n");
        } else if (verb == L"signal") {
            const auto handle = reinterpret_cast<HANDLE>(std::wcstoull(value.c_str(), nullptr, 16));
            Write(STD_OUTPUT_HANDLE, SetEvent(handle) ? "signalled\n" : "no such handle\n");
        } else if (verb == L"exit") {
            ExitProcess(static_cast<UINT>(std::wcstoul(value.c_str(), nullptr, 10)));
        }
    }
    return 0;
}
