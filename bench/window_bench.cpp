// Log lines per second through the real setup window, with the details box shown or hidden.
//   wine build/cross/bin/window_bench.exe shown|hidden LINES --update C:\some\folder
// The "--update" makes the window press Install by itself, as setup.exe does; the run here only
// logs LINES build-like lines and reports success (Play then finds no launcher and does nothing).
#include "details.h"
#include "window.h"
#include "form.h"
#include "install.h"
#include "net.h"
#include "runner.h"
#include "seams.h"
#include "steps.h"

#include <chrono>
#include <cstdio>

using namespace setup;

namespace {

using Clock = std::chrono::steady_clock;

unsigned long g_lines = 20000;
Clock::time_point g_start;
double g_seconds = 0;

void LogLines(Choices) {
    g_start = Clock::now();
    for (unsigned long i = 1; i <= g_lines; ++i)
        Log(L"[" + std::to_wstring(i) + L"/" + std::to_wstring(g_lines) +
            L"] Compiling src/ppc/recomp_" + std::to_wstring(i) + L".cpp (generated code)");
    PostDone(true, L"done");
}

// Sees the end-of-run message leave the queue: every line before it has been applied.
LRESULT CALLBACK WatchQueue(int code, WPARAM wParam, LPARAM lParam) {
    auto* msg = reinterpret_cast<MSG*>(lParam);
    if (code == HC_ACTION && wParam == PM_REMOVE && msg->message == kMsgDone) {
        g_seconds = std::chrono::duration<double>(Clock::now() - g_start).count();
        PostMessageW(s_window, WM_CLOSE, 0, 0);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: window_bench shown|hidden LINES --update FOLDER\n");
        return 2;
    }
    s_showLog = std::wstring(argv[1]) == L"shown";
    g_lines = std::wcstoul(argv[2], nullptr, 10);
    s_workerMain = LogLines;
    HHOOK hook = SetWindowsHookExW(WH_GETMESSAGE, WatchQueue, nullptr, GetCurrentThreadId());
    RunSetup(GetModuleHandleW(nullptr), SW_SHOWNORMAL);
    UnhookWindowsHookEx(hook);
    std::printf("details %-6ls %7lu lines in %6.2f s: %8.0f lines/s\n", argv[1], g_lines, g_seconds,
                g_lines / g_seconds);
    return g_seconds > 0 ? 0 : 1;
}
