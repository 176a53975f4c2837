// A build that prints a flood of lines, through Run and the build's own line handler, into
// setup.log and the real setup window with its details shown: how long it takes against the
// least it could cost, how quickly the window still answers, its memory, and any line lost.
//   wine build/cross/bin/flood_bench.exe LINES --update C:\some\folder
// The "--update" makes the window press Install by itself, as setup.exe does.
#include "details.h"
#include "window.h"
#include "form.h"
#include "install.h"
#include "net.h"
#include "runner.h"
#include "seams.h"
#include "steps.h"

#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <cstdio>
#include <sstream>

using namespace setup;

namespace {

using Clock = std::chrono::steady_clock;

fs::path g_folder;
std::wstring g_command;
Clock::time_point g_start;
double g_seconds = 0;
std::atomic<bool> g_running{false};
std::vector<double> g_pingsMs;
std::thread g_pinger;
std::wstring g_box; // the details box as the run left it

double Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

fs::path Here() {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return fs::path(self).parent_path();
}

// Starts the child with its output going to `out`, and waits for it.
bool RunChild(HANDLE out, HANDLE readEnd, const std::function<void(HANDLE)>& read) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = out;
    PROCESS_INFORMATION info{};
    std::wstring line = g_command;
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &info))
        return false;
    UniqueHandle process(info.hProcess), thread(info.hThread);
    if (readEnd) {
        CloseHandle(out);
        read(readEnd);
    }
    WaitForSingleObject(process.get(), INFINITE);
    return true;
}

// The child's output straight into a file.
double AloneSeconds(const fs::path& file) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    UniqueHandle out(CreateFileW(file.c_str(), GENERIC_WRITE, 0, &inheritable, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    const auto start = Clock::now();
    return RunChild(out.get(), nullptr, {}) ? Since(start) : -1;
}

// The least any runner that flushes every line can cost: read through a pipe, each line
// written and flushed to a file, nothing else.
double FloorSeconds(const fs::path& file) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0))
        return -1;
    UniqueHandle reader(readEnd);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    std::ofstream log(file, std::ios::out | std::ios::trunc);
    const auto start = Clock::now();
    const bool ran = RunChild(writeEnd, readEnd, [&](HANDLE pipe) {
        std::string pending;
        char block[4096];
        DWORD got = 0;
        while (ReadFile(pipe, block, sizeof block, &got, nullptr) && got > 0) {
            pending.append(block, got);
            size_t start = 0;
            size_t end = 0;
            while ((end = pending.find_first_of("\r\n", start)) != std::string::npos) {
                if (end > start) {
                    log.write(pending.data() + start, static_cast<std::streamsize>(end - start));
                    log.put('\n');
                    log.flush();
                }
                start = end + 1;
            }
            pending.erase(0, start);
        }
    });
    return ran ? Since(start) : -1;
}

void Ping() {
    while (g_running) {
        Sleep(50);
        const auto start = Clock::now();
        DWORD_PTR result = 0;
        SendMessageTimeoutW(s_window, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &result);
        g_pingsMs.push_back(Since(start) * 1000);
    }
}

void FloodRun(Choices) {
    g_start = Clock::now();
    g_running = true;
    g_pinger = std::thread(Ping);
    OpenLog(g_folder / L"setup.log");
    bool ok = true;
    try {
        ok = Run(g_command, {}, OnBuildLine) == 0;
    } catch (const Failed& failed) {
        Log(failed.message);
        ok = false;
    }
    CloseLog();
    PostDone(ok, ok ? L"done" : L"the run failed");
}

std::wstring BoxText() {
    HWND box = Item(kIdDetails);
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(box)) + 1, L'\0');
    text.resize(
        static_cast<size_t>(GetWindowTextW(box, text.data(), static_cast<int>(text.size()))));
    return text;
}

// The close posted when the end-of-run message leaves the queue comes after the window has
// applied it and every line before it: the clock stops then, and the box is read.
LRESULT CALLBACK WatchQueue(int code, WPARAM wParam, LPARAM lParam) {
    auto* msg = reinterpret_cast<MSG*>(lParam);
    if (code == HC_ACTION && wParam == PM_REMOVE && msg->hwnd == s_window) {
        if (msg->message == kMsgDone) {
            PostMessageW(s_window, WM_CLOSE, 0, 0);
        } else if (msg->message == WM_CLOSE) {
            g_seconds = Since(g_start);
            g_running = false;
            g_box = BoxText();
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

std::vector<std::wstring> Lines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    std::wistringstream in(text);
    std::wstring line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == L'\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::wstring ReadText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return Widen(bytes.str());
}

// What Run logs of the child's output: its command line, then every line but the redraws.
std::vector<std::wstring> Expected(const fs::path& alone) {
    std::vector<std::wstring> expected{L"$ " + g_command};
    for (auto& line : Lines(ReadText(alone)))
        if (!line.empty() && !(line.rfind(L"  ", 0) == 0 && line.find(L'%') != std::wstring::npos))
            expected.push_back(std::move(line));
    return expected;
}

// Lines of `expected` that `got` skips, matching from the ends backwards; only the last
// `got.size()` lines are looked at when `tailOnly`.
size_t Missing(const std::vector<std::wstring>& expected, std::vector<std::wstring> got,
               bool tailOnly) {
    if (tailOnly && !got.empty())
        got.erase(got.begin()); // the oldest line of the box may have lost its start
    size_t missing = 0;
    auto want = expected.rbegin();
    for (auto have = got.rbegin(); have != got.rend() && want != expected.rend(); ++want) {
        if (*want == *have)
            ++have;
        else
            ++missing;
    }
    if (!tailOnly)
        missing += static_cast<size_t>(expected.rend() - want);
    return missing;
}

double Percentile(std::vector<double> values, double share) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(share * static_cast<double>(values.size() - 1))];
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: flood_bench LINES --update FOLDER\n");
        return 2;
    }
    const unsigned long lines = std::wcstoul(argv[1], nullptr, 10);
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    g_folder = fs::path(temp) / L"ironvale-flood-bench";
    fs::remove_all(g_folder);
    fs::create_directories(g_folder);
    g_command = Quote(Here() / L"child.exe") + L" lines=" + std::to_wstring(lines);

    const double alone = AloneSeconds(g_folder / L"alone.txt");
    const double floor = FloorSeconds(g_folder / L"floor.txt");

    s_showLog = true;
    s_workerMain = FloodRun;
    HHOOK hook = SetWindowsHookExW(WH_GETMESSAGE, WatchQueue, nullptr, GetCurrentThreadId());
    RunSetup(GetModuleHandleW(nullptr), SW_SHOWNORMAL);
    UnhookWindowsHookEx(hook);
    g_running = false;
    if (g_pinger.joinable())
        g_pinger.join();

    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);

    const auto expected = Expected(g_folder / L"alone.txt");
    const size_t lostLog = Missing(expected, Lines(ReadText(g_folder / L"setup.log")), false);
    const size_t lostBox = Missing(expected, Lines(g_box), true);
    std::printf("lines:                %lu\n", lines);
    std::printf("through the window:   %.2f s, %.0f lines/s\n", g_seconds, lines / g_seconds);
    std::printf("child alone to file:  %.2f s, ratio %.1f\n", alone, g_seconds / alone);
    std::printf("floor (pipe, flush):  %.2f s, ratio %.2f (target at most 1.5)\n", floor,
                g_seconds / floor);
    std::printf("window ping:          p50 %.1f ms, p99 %.1f ms, longest %.1f ms over %zu pings "
                "(target p99 at most 50)\n",
                Percentile(g_pingsMs, 0.5), Percentile(g_pingsMs, 0.99), Percentile(g_pingsMs, 1.0),
                g_pingsMs.size());
    std::printf("peak working set:     %.1f MB (target at most 64)\n",
                memory.PeakWorkingSetSize / 1048576.0);
    std::printf("missing:              %zu of %zu lines from setup.log, %zu from the details "
                "box's tail (%zu lines shown)\n",
                lostLog, expected.size(), lostBox, Lines(g_box).size());
    fs::remove_all(g_folder);
    return g_seconds > 0 && lostLog == 0 && lostBox == 0 ? 0 : 1;
}
