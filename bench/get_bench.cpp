// Download speed of Get against a bare WinHTTP read loop, both into a file, from the stand-in
// on loopback (scripts/bench starts it and compares with curl on the Linux side).
//   wine build/cross/bin/get_bench.exe get|sha|bare|resume URL FILE [SHA256]
// sha is get with the SHA-256 that a published digest asks for; resume is get of a URL cut off
// once half way, continued by Get's retry (whose back-off is left out of the time: it is the
// product's wait, not the transfer's). Each prints the bytes the stand-in served meanwhile.
#include "details.h"
#include "form.h"
#include "install.h"
#include "net.h"
#include "runner.h"
#include "seams.h"
#include "steps.h"

#include <psapi.h>
#include <winhttp.h>

#include <chrono>
#include <cstdio>
#include <vector>

using namespace setup;

namespace {

bool BareLoop(const std::wstring& url, const fs::path& file) {
    wchar_t host[256], path[2048];
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 2048;
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts))
        return false;
    HINTERNET session = WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    HINTERNET connection = WinHttpConnect(session, host, parts.nPort, 0);
    HINTERNET request = WinHttpOpenRequest(connection, L"GET", path, nullptr, nullptr, nullptr, 0);
    UniqueHandle out(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    bool ok = WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0) &&
              WinHttpReceiveResponse(request, nullptr);
    std::vector<char> buffer(1 << 16);
    DWORD got = 0;
    while (ok && WinHttpReadData(request, buffer.data(), static_cast<DWORD>(buffer.size()), &got) &&
           got > 0) {
        DWORD wrote = 0;
        WriteFile(out.get(), buffer.data(), got, &wrote, nullptr);
    }
    WinHttpCloseHandle(request);
    WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);
    return ok;
}

unsigned long long BytesServed(const std::wstring& url) {
    const size_t fault = url.find(L"/fault/");
    std::string sent;
    if (fault == std::wstring::npos ||
        !Get(url.substr(0, fault) + L"/fault/sent/0", DocumentInto(sent, L"")))
        return 0;
    return std::stoull(sent);
}

DWORD s_backOff = 0;

bool CountedPause(DWORD milliseconds) {
    s_backOff += milliseconds;
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4)
        return 2;
    const std::wstring mode = argv[1];
    const std::wstring url = argv[2];
    const fs::path file = argv[3];
    s_seams.pause = CountedPause;
    const unsigned long long before = BytesServed(url);
    const auto start = std::chrono::steady_clock::now();
    GetOptions options;
    options.file = &file;
    if (mode == L"sha" && argc > 4)
        options.digest = {Digest::kSha256, Narrow(argv[4])};
    const bool ok = mode == L"bare" ? BareLoop(url, file) : Get(url, options);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    std::error_code error;
    const unsigned long long served = BytesServed(url) - before;
    std::printf("%-6ls %s %.2f s  %.0f MB/s  peak working set %.1f MB  served %llu bytes"
                "  back-off %lu ms\n",
                mode.c_str(), ok ? "ok" : "FAILED", seconds,
                fs::file_size(file, error) / 1048576.0 / seconds,
                memory.PeakWorkingSetSize / 1048576.0, served, s_backOff);
    return ok ? 0 : 1;
}
