// HTTP fetch: one GET over WinHTTP into memory and/or a file, with progress for the window.
#include "setup.h"

#include <winhttp.h>

#include <cwchar>
#include <vector>

namespace setup {

namespace {

constexpr wchar_t kAgent[] = L"Ironvale-Setup";
constexpr wchar_t kAgentHeader[] = L"User-Agent: Ironvale-Setup\r\n";
constexpr DWORD kHostLimit = 256;
constexpr DWORD kPathLimit = 2048;
constexpr DWORD kExtraLimit = 2048;
constexpr ULONGLONG kMegabyte = 1048576;

// Move-only owner of a WinHTTP handle.
class UniqueInternet {
  public:
    explicit UniqueInternet(HINTERNET handle) : m_handle(handle) {}
    UniqueInternet(const UniqueInternet&) = delete;
    UniqueInternet& operator=(const UniqueInternet&) = delete;
    ~UniqueInternet() {
        if (m_handle)
            WinHttpCloseHandle(m_handle);
    }
    HINTERNET get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

  private:
    HINTERNET m_handle;
};

ULONGLONG ContentLength(HINTERNET request) {
    wchar_t text[64] = L"";
    DWORD size = sizeof text;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                             text, &size, WINHTTP_NO_HEADER_INDEX))
        return 0;
    return std::wcstoull(text, nullptr, 10);
}

DWORD StatusCode(HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof status;
    WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    return status;
}

void Report(const std::wstring& label, ULONGLONG received, ULONGLONG expected, int& lastPercent) {
    const int percent = expected ? static_cast<int>(received * 100 / expected) : -1;
    if (percent == lastPercent)
        return;
    lastPercent = percent;
    PostProgress(percent);
    const std::wstring total = expected ? L" of " + std::to_wstring(expected >> 20) + L" MB" : L"";
    wchar_t text[256];
    std::swprintf(text, 256, L"Downloading %ls: %.0f MB%ls", label.c_str(),
                  static_cast<double>(received) / kMegabyte, total.c_str());
    PostStatus(text);
}

} // namespace

bool Get(const std::wstring& url, std::string* body, const fs::path* file,
         const std::wstring* label) {
    wchar_t host[kHostLimit];
    wchar_t path[kPathLimit];
    wchar_t extra[kExtraLimit];
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = kHostLimit;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = kPathLimit;
    parts.lpszExtraInfo = extra;
    parts.dwExtraInfoLength = kExtraLimit;
    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts))
        return false;
    const std::wstring target =
        std::wstring(path, parts.dwUrlPathLength) + std::wstring(extra, parts.dwExtraInfoLength);

    UniqueInternet session(WinHttpOpen(kAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session)
        return false;
    WinHttpSetTimeouts(session.get(), 15000, 15000, 30000, 60000);
    UniqueInternet connection(WinHttpConnect(session.get(), host, parts.nPort, 0));
    if (!connection)
        return false;
    const DWORD secure = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    UniqueInternet request(WinHttpOpenRequest(connection.get(), L"GET", target.c_str(), nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              secure));
    if (!request)
        return false;
    if (!WinHttpSendRequest(request.get(), kAgentHeader, static_cast<DWORD>(-1L),
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr))
        return false;

    const DWORD status = StatusCode(request.get());
    const ULONGLONG expected = ContentLength(request.get());
    std::ofstream out;
    if (file) {
        out.open(*file, std::ios::binary | std::ios::trunc);
        if (!out.is_open())
            return false;
    }
    if (status != 200)
        return false;

    std::vector<char> buffer;
    ULONGLONG received = 0;
    int lastPercent = -2;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request.get(), &available) || available == 0)
            break;
        if (s_cancel)
            return false;
        if (buffer.size() < available)
            buffer.resize(available);
        DWORD got = 0;
        if (!WinHttpReadData(request.get(), buffer.data(), available, &got) || got == 0)
            break;
        if (body)
            body->append(buffer.data(), got);
        if (file)
            out.write(buffer.data(), got);
        received += got;
        if (label)
            Report(*label, received, expected, lastPercent);
    }
    return expected == 0 || expected == received;
}

} // namespace setup
