// Throughput of the process runner with everything a real build has behind it: a child writing
// build-like lines, each line logged to setup.log and posted to a window that drains them.
//   wine build/cross/bin/run_bench.exe [lines] [build]
// With "build" the line callback is the build step's own, OnBuildLine, posting progress too.
#include "details.h"
#include "form.h"
#include "install.h"
#include "net.h"
#include "runner.h"
#include "seams.h"
#include "steps.h"

#include <psapi.h>

#include <chrono>
#include <fstream>
#include <cstdio>
#include <thread>

using namespace setup;

namespace {

using Clock = std::chrono::steady_clock;

LRESULT CALLBACK Drain(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kMsgPending) {
        TakePending();
        return 0;
    }
    if (message == kMsgDone) {
        TakePending();
        TakeEnd();
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

fs::path Here() {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return fs::path(self).parent_path();
}

// The same child with its output going straight into a file: the floor for any runner.
double AloneSeconds(const std::wstring& command, const fs::path& file) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    UniqueHandle out(CreateFileW(file.c_str(), GENERIC_WRITE, 0, &inheritable, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = out.get();
    PROCESS_INFORMATION info{};
    std::wstring line = command;
    const auto start = Clock::now();
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &info))
        return -1;
    UniqueHandle process(info.hProcess), thread(info.hThread);
    WaitForSingleObject(process.get(), INFINITE);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

size_t CountLines(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    size_t lines = 0;
    std::string line;
    while (std::getline(in, line))
        ++lines;
    return lines;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const unsigned long lines = argc > 1 ? std::wcstoul(argv[1], nullptr, 10) : 1000000;
    const bool build = argc > 2 && std::wstring(argv[2]) == L"build";
    s_job = MakeJob();

    wchar_t tempPath[MAX_PATH];
    GetTempPathW(MAX_PATH, tempPath);
    const fs::path folder = fs::path(tempPath) / L"ironvale-run-bench";
    fs::remove_all(folder);
    fs::create_directories(folder);

    const std::wstring command = Quote(Here() / L"child.exe") + L" lines=" + std::to_wstring(lines);
    const double alone = AloneSeconds(command, folder / L"alone.txt");

    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = Drain;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"IronvaleBenchDrain";
    RegisterClassW(&windowClass);
    s_window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                               nullptr, windowClass.hInstance, nullptr);

    unsigned long seen = 0;
    double runSeconds = 0;
    const auto start = Clock::now();
    std::thread worker([&] {
        OpenLog(folder / L"setup.log");
        try {
            Run(command, {}, [&](std::string_view line) {
                ++seen;
                if (build)
                    OnBuildLine(line);
            });
        } catch (const Failed& failed) {
            std::fwprintf(stderr, L"%ls\n", failed.message.c_str());
        }
        CloseLog();
        runSeconds = std::chrono::duration<double>(Clock::now() - start).count();
        PostDone(true, L"done");
    });
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
        DispatchMessageW(&msg);
    worker.join();
    const double through = std::chrono::duration<double>(Clock::now() - start).count();

    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);

    // Redraw lines ("  42% ...", one in three) are not logged; the command line is.
    const size_t expectedLogged = lines - (lines + 2) / 3 + 1;
    const size_t logged = CountLines(folder / L"setup.log");
    std::printf("lines:               %lu (callback saw %lu)\n", lines, seen);
    std::printf("through Run:         %.2f s, %.0f lines/s (Run itself returned after %.2f s)\n",
                through, lines / through, runSeconds);
    std::printf("child alone to file: %.2f s\n", alone);
    std::printf("ratio:               %.2f (target at most 2)\n", through / alone);
    std::printf("peak working set:    %.1f MB (target at most 64)\n",
                memory.PeakWorkingSetSize / 1048576.0);
    std::printf("setup.log:           %zu of %zu lines%s\n", logged, expectedLogged,
                logged == expectedLogged && seen == lines ? ", none lost" : ", LINES LOST");
    fs::remove_all(folder);
    return logged == expectedLogged && seen == lines ? 0 : 1;
}
