// HTTP fetch: one GET over WinHTTP into memory and/or a file, with progress for the window.
#include "setup.h"

#include <winhttp.h>

#include <cwchar>
#include <optional>
#include <vector>

namespace setup {

namespace {

constexpr wchar_t kAgent[] = L"Ironvale-Setup";
constexpr wchar_t kAgentHeader[] = L"User-Agent: Ironvale-Setup\r\n";
constexpr DWORD kHostLimit = 256;
constexpr DWORD kPathLimit = 2048;
constexpr DWORD kExtraLimit = 2048;
constexpr ULONGLONG kMegabyte = 1048576;

// A document read into memory stops here. Real release documents are about 100 KB; this bounds
// what a broken or hostile server can make Setup hold.
constexpr size_t kBodyLimit = 32u << 20;

struct WinHttpApi {
    decltype(&::WinHttpCrackUrl) CrackUrl;
    decltype(&::WinHttpOpen) Open;
    decltype(&::WinHttpSetTimeouts) SetTimeouts;
    decltype(&::WinHttpConnect) Connect;
    decltype(&::WinHttpOpenRequest) OpenRequest;
    decltype(&::WinHttpSendRequest) SendRequest;
    decltype(&::WinHttpReceiveResponse) ReceiveResponse;
    decltype(&::WinHttpQueryHeaders) QueryHeaders;
    decltype(&::WinHttpQueryDataAvailable) QueryDataAvailable;
    decltype(&::WinHttpReadData) ReadData;
    decltype(&::WinHttpCloseHandle) CloseHandle;
    decltype(&::WinHttpSetStatusCallback) SetStatusCallback;
    decltype(&::WinHttpSetOption) SetOption;
};

// winhttp.dll is no KnownDLL: imported, it would be taken from setup.exe's own folder. Null when
// System32 has none, and every download then fails as an unreachable one does.
const WinHttpApi* WinHttp() {
    static const WinHttpApi* const api = []() -> const WinHttpApi* {
        static WinHttpApi table;
        const wchar_t* dll = L"winhttp.dll";
        const bool ok = Bind(table.CrackUrl, dll, "WinHttpCrackUrl") &&
                        Bind(table.Open, dll, "WinHttpOpen") &&
                        Bind(table.SetTimeouts, dll, "WinHttpSetTimeouts") &&
                        Bind(table.Connect, dll, "WinHttpConnect") &&
                        Bind(table.OpenRequest, dll, "WinHttpOpenRequest") &&
                        Bind(table.SendRequest, dll, "WinHttpSendRequest") &&
                        Bind(table.ReceiveResponse, dll, "WinHttpReceiveResponse") &&
                        Bind(table.QueryHeaders, dll, "WinHttpQueryHeaders") &&
                        Bind(table.QueryDataAvailable, dll, "WinHttpQueryDataAvailable") &&
                        Bind(table.ReadData, dll, "WinHttpReadData") &&
                        Bind(table.CloseHandle, dll, "WinHttpCloseHandle") &&
                        Bind(table.SetStatusCallback, dll, "WinHttpSetStatusCallback") &&
                        Bind(table.SetOption, dll, "WinHttpSetOption");
        return ok ? &table : nullptr;
    }();
    return api;
}

// Move-only owner of a WinHTTP handle.
class UniqueInternet {
  public:
    explicit UniqueInternet(HINTERNET handle) : m_handle(handle) {}
    UniqueInternet(const UniqueInternet&) = delete;
    UniqueInternet& operator=(const UniqueInternet&) = delete;
    ~UniqueInternet() {
        if (m_handle)
            WinHttp()->CloseHandle(m_handle);
    }
    HINTERNET get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

  private:
    HINTERNET m_handle;
};

// How often a wait for WinHTTP looks at the cancel flag.
constexpr DWORD kCancelPollMs = 50;
constexpr DWORD kNotifications =
    WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES;

// The request's calls run asynchronously, so that the worker waits on its own terms and a
// cancel ends the wait at once, whatever WinHTTP is waiting for (name resolution, connect,
// TLS, the response, a stalled body). WinHTTP's threads report each call's outcome here.
// A cancelled call may still complete, into the buffer, until WinHTTP closes the request: so
// both the worker and the request hold a reference, and the last one frees it.
class Call {
  public:
    Call() : m_done(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    void Hold() { ++m_references; }
    void Release() {
        if (--m_references == 0)
            delete this;
    }
    void Complete(DWORD result, bool failed) {
        m_result = result;
        m_failed = failed;
        SetEvent(m_done.get());
    }
    // The outcome of the call just made: false when it failed or the run was cancelled.
    bool Wait(DWORD& result) {
        while (WaitForSingleObject(m_done.get(), kCancelPollMs) == WAIT_TIMEOUT)
            if (s_cancel)
                return false;
        result = m_result;
        return !m_failed && !s_cancel;
    }

    std::vector<char> buffer; // where a read lands, reused for every block

  private:
    ~Call() = default;
    UniqueHandle m_done;
    std::atomic<DWORD> m_result{0};
    std::atomic<bool> m_failed{false};
    std::atomic<int> m_references{1};
};

struct ReleaseCall {
    void operator()(Call* call) const { call->Release(); }
};

void CALLBACK OnHttpStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
    auto* call = reinterpret_cast<Call*>(context);
    if (!call)
        return; // the session and the connection carry no call
    switch (status) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
        call->Complete(0, false);
        break;
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
        call->Complete(*static_cast<const DWORD*>(info), false);
        break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        call->Complete(length, false);
        break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
        call->Complete(0, true);
        break;
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING: // the request's last word
        call->Release();
        break;
    default:
        break;
    }
}

ULONGLONG ContentLength(HINTERNET request) {
    wchar_t text[64] = L"";
    DWORD size = sizeof text;
    if (!WinHttp()->QueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH,
                                 WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                                 WINHTTP_NO_HEADER_INDEX))
        return 0;
    return std::wcstoull(text, nullptr, 10);
}

std::wstring Header(HINTERNET request, const wchar_t* name) {
    wchar_t text[64] = L"";
    DWORD size = sizeof text;
    if (!WinHttp()->QueryHeaders(request, WINHTTP_QUERY_CUSTOM, name, text, &size,
                                 WINHTTP_NO_HEADER_INDEX))
        return {};
    return text;
}

DWORD StatusCode(HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof status;
    WinHttp()->QueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
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
         const std::wstring* label, std::string* sha256, HttpAnswer* answer) {
    const WinHttpApi* http = WinHttp();
    if (!http)
        return false;
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
    if (!http->CrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts))
        return false;
    const std::wstring target =
        std::wstring(path, parts.dwUrlPathLength) + std::wstring(extra, parts.dwExtraInfoLength);

    UniqueInternet session(http->Open(kAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                      WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                                      WINHTTP_FLAG_ASYNC));
    if (!session)
        return false;
    http->SetTimeouts(session.get(), 15000, 15000, 30000, 60000);
    if (http->SetStatusCallback(session.get(), OnHttpStatus, kNotifications, 0) ==
        WINHTTP_INVALID_STATUS_CALLBACK)
        return false;
    UniqueInternet connection(http->Connect(session.get(), host, parts.nPort, 0));
    if (!connection)
        return false;
    const DWORD secure = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    UniqueInternet request(http->OpenRequest(connection.get(), L"GET", target.c_str(), nullptr,
                                             WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                             secure));
    if (!request)
        return false;
    std::unique_ptr<Call, ReleaseCall> call(new Call);
    call->Hold(); // the request's reference, given back when WinHTTP closes it
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(call.get());
    if (!http->SetOption(request.get(), WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context)) {
        call->Release();
        return false;
    }
    DWORD ignored = 0;
    if (!http->SendRequest(request.get(), kAgentHeader, static_cast<DWORD>(-1L),
                           WINHTTP_NO_REQUEST_DATA, 0, 0, context) ||
        !call->Wait(ignored) || !http->ReceiveResponse(request.get(), nullptr) ||
        !call->Wait(ignored))
        return false;

    const DWORD status = StatusCode(request.get());
    if (answer)
        *answer = {status, Header(request.get(), L"x-ratelimit-remaining"),
                   Header(request.get(), L"x-ratelimit-reset"),
                   Header(request.get(), L"retry-after")};
    const ULONGLONG expected = ContentLength(request.get());
    std::ofstream out;
    if (file) {
        out.open(*file, std::ios::binary | std::ios::trunc);
        if (!out.is_open())
            return false;
    }
    if (status != 200 || (body && expected > kBodyLimit))
        return false;

    std::optional<Sha256> hash;
    if (sha256) {
        hash.emplace();
        sha256->clear();
    }
    std::vector<char>& buffer = call->buffer;
    ULONGLONG received = 0;
    int lastPercent = -2;
    for (;;) {
        // Only what is there: Wine reads a larger request synchronously, blocking this thread
        // until the rest arrives or the receive time-out passes.
        DWORD available = 0;
        if (!http->QueryDataAvailable(request.get(), nullptr) || !call->Wait(available) ||
            available == 0) {
            if (s_cancel)
                return false;
            break;
        }
        if (buffer.size() < available)
            buffer.resize(available);
        DWORD got = 0;
        if (!http->ReadData(request.get(), buffer.data(), available, nullptr) || !call->Wait(got) ||
            got == 0) {
            if (s_cancel)
                return false;
            break;
        }
        if (body) {
            if (body->size() + got > kBodyLimit)
                return false;
            body->append(buffer.data(), got);
        }
        if (file)
            out.write(buffer.data(), got);
        if (hash && !hash->Add(buffer.data(), got))
            return false;
        received += got;
        if (label)
            Report(*label, received, expected, lastPercent);
    }
    if (expected != 0 && expected != received)
        return false;
    // A disk that filled up mid-download must not pass for a whole archive.
    if (file && !out.flush())
        return false;
    if (hash)
        *sha256 = hash->Hex();
    return !sha256 || !sha256->empty();
}

} // namespace setup
