// One asynchronous WinHTTP request.
#include "httpcall.h"
#include "cancel.h"

#include <atomic>
#include <cwchar>
#include <mutex>
#include <vector>

namespace setup {

// One read asks for this much: the body comes in a few calls per megabyte instead of one call and
// one thread switch for every 8 KB that WinHTTP buffers (0.55 of a bare read loop, under Wine).
constexpr DWORD kBlock = 64 * 1024;

// The request's calls run asynchronously, so that the worker waits on its own terms and a
// cancel ends the wait at once, whatever WinHTTP is waiting for (name resolution, connect,
// TLS, the response, a stalled body). WinHTTP's threads report each call's outcome here.
// A cancelled call may still complete, into the buffer, until WinHTTP closes the request: so
// the worker, the request and a read under way each hold a reference, and the last one frees it.
class Call {
  public:
    Call()
        : m_done(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
          m_returned(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    void Hold() { ++m_references; }
    void Release() {
        if (--m_references == 0)
            delete this;
    }
    // WinHTTP may report a call's outcome from inside the call, on the worker's own thread, when
    // the answer is there already: that needs no event, and no two trips through the kernel
    // (the wineserver, under Wine).
    void Complete(DWORD result, DWORD error) {
        m_result = result;
        m_error = error;
        if (GetCurrentThreadId() == m_owner)
            m_inline = true;
        else
            SetEvent(m_done.get());
    }
    // The outcome of the call just made: false when it failed (error() says why) or the run
    // was cancelled.
    bool Wait(DWORD& result) {
        if (!std::exchange(m_inline, false) && !WaitUnlessCancelled(m_done.get()))
            return false;
        result = m_result;
        return m_error == 0 && !s_cancel;
    }
    // The outcome of the read just started, once its call has returned as well: WinHTTP reports
    // a read before its call is done with the request, and a next read made meanwhile from
    // another thread was lost now and then under Wine, the worker waiting for good.
    bool WaitRead(DWORD& got) { return Wait(got) && WaitUnlessCancelled(m_returned.get()); }
    DWORD error() const { return m_error; }
    // Starts a read of up to kBlock bytes into buffer, made on a pool thread. Wine's
    // WinHttpReadData may block its caller, asynchronous handle or not, until the rest of the
    // block arrives or the receive time-out (60 s) ends it; Windows' returns at once. Either
    // way the worker stays free to notice a cancel.
    bool Read(HINTERNET request) {
        m_request = request;
        Hold();
        if (TrySubmitThreadpoolCallback(ReadOnPool, this, nullptr))
            return true;
        Release();
        return false;
    }
    // The worker is done with the request: true when a read is still inside WinHttpReadData,
    // which then closes the request itself once it returns, instead of the worker waiting.
    bool Leave() {
        std::lock_guard<std::mutex> lock(m_lock);
        m_left = true;
        return m_reading;
    }

    std::vector<char> buffer = std::vector<char>(kBlock); // where a read lands, every time

  private:
    static void CALLBACK ReadOnPool(PTP_CALLBACK_INSTANCE, void* context);
    ~Call() = default;

    UniqueHandle m_done;
    UniqueHandle m_returned;
    std::atomic<DWORD> m_result{0};
    std::atomic<DWORD> m_error{0};
    std::atomic<int> m_references{1};
    const DWORD m_owner = GetCurrentThreadId();
    bool m_inline = false; // touched by the owner's thread alone
    HINTERNET m_request = nullptr;
    std::mutex m_lock; // over the two flags below
    bool m_reading = false;
    bool m_left = false;
};

namespace {

const std::wstring kAgentHeader = std::wstring(L"User-Agent: ") + kAgent + L"\r\n";
constexpr DWORD kNotifications =
    WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES;

void CALLBACK OnHttpStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
    auto* call = reinterpret_cast<Call*>(context);
    if (!call)
        return; // the session and the connection carry no call
    switch (status) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
        call->Complete(0, 0);
        break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        call->Complete(length, 0);
        break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
        const DWORD error = static_cast<const WINHTTP_ASYNC_RESULT*>(info)->dwError;
        call->Complete(0, error ? error : ERROR_WINHTTP_INTERNAL_ERROR);
        break;
    }
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING: // the request's last word
        call->Release();
        break;
    default:
        break;
    }
}

// Offers the proxy Windows' own sign-in (Negotiate or NTLM) for the request that met a 407;
// false when the proxy takes neither, or the offer can't be made. Never asks the user.
bool SignInAsUser(const WinHttpApi& http, HINTERNET request) {
    DWORD supported = 0;
    DWORD first = 0;
    DWORD target = 0;
    if (!http.QueryAuthSchemes(request, &supported, &first, &target) ||
        target != WINHTTP_AUTH_TARGET_PROXY)
        return false;
    for (const DWORD scheme : {WINHTTP_AUTH_SCHEME_NEGOTIATE, WINHTTP_AUTH_SCHEME_NTLM}) {
        if ((supported & scheme) && http.SetCredentials(request, WINHTTP_AUTH_TARGET_PROXY, scheme,
                                                        nullptr, nullptr, nullptr))
            return true;
    }
    return false;
}

} // namespace

void CALLBACK Call::ReadOnPool(PTP_CALLBACK_INSTANCE, void* context) {
    Call& call = *static_cast<Call*>(context);
    {
        std::lock_guard<std::mutex> lock(call.m_lock);
        call.m_reading = !call.m_left;
    }
    if (call.m_reading && !WinHttp()->ReadData(call.m_request, call.buffer.data(), kBlock, nullptr))
        call.Complete(0, GetLastError());
    bool close = false;
    {
        std::lock_guard<std::mutex> lock(call.m_lock);
        close = call.m_reading && call.m_left;
        call.m_reading = false;
    }
    if (close)
        CloseInternet(call.m_request);
    SetEvent(call.m_returned.get());
    call.Release();
}

void Request::ReleaseCall::operator()(Call* call) const {
    call->Release();
}

bool Request::ReadBlock(const char*& data, DWORD& got, DWORD& error) {
    got = 0;
    if (!m_call->Read(m_request.get())) {
        error = GetLastError();
        return false;
    }
    if (!m_call->WaitRead(got)) {
        error = m_call->error();
        return false;
    }
    data = m_call->buffer.data();
    return true;
}

Request::~Request() {
    if (m_call && m_call->Leave())
        m_request.release();
}

DWORD Request::Open(const WinHttpApi& http, const UrlParts& where, const Proxy& proxy) {
    m_http = &http;
    m_viaProxy = !proxy.server.empty();
    m_session.reset(http.Open(
        kAgent, m_viaProxy ? WINHTTP_ACCESS_TYPE_NAMED_PROXY : WINHTTP_ACCESS_TYPE_NO_PROXY,
        m_viaProxy ? proxy.server.c_str() : WINHTTP_NO_PROXY_NAME,
        proxy.bypass.empty() ? WINHTTP_NO_PROXY_BYPASS : proxy.bypass.c_str(), WINHTTP_FLAG_ASYNC));
    if (!m_session)
        return GetLastError();
    if (!http.SetTimeouts(m_session.get(), 15000, 15000, 30000, 60000) ||
        http.SetStatusCallback(m_session.get(), OnHttpStatus, kNotifications, 0) ==
            WINHTTP_INVALID_STATUS_CALLBACK)
        return GetLastError();
    m_connection.reset(http.Connect(m_session.get(), where.host.c_str(), where.port, 0));
    if (!m_connection)
        return GetLastError();
    m_request.reset(http.OpenRequest(m_connection.get(), L"GET", where.target.c_str(), nullptr,
                                     WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                     where.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!m_request)
        return GetLastError();
    m_call.reset(new Call);
    m_call->Hold(); // the request's reference, given back when WinHTTP closes it
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(m_call.get());
    if (!http.SetOption(m_request.get(), WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context)) {
        const DWORD error = GetLastError();
        m_call->Release(); // no context: the closing request won't give it back
        return error;
    }
    return 0;
}

DWORD Request::SendOnce(const std::wstring& headers) {
    DWORD ignored = 0;
    const auto context = reinterpret_cast<DWORD_PTR>(m_call.get());
    if (!m_http->SendRequest(m_request.get(), headers.c_str(), static_cast<DWORD>(-1L),
                             WINHTTP_NO_REQUEST_DATA, 0, 0, context))
        return GetLastError();
    if (!m_call->Wait(ignored))
        return m_call->error();
    if (!m_http->ReceiveResponse(m_request.get(), nullptr))
        return GetLastError();
    return m_call->Wait(ignored) ? DWORD{0} : m_call->error();
}

DWORD Request::Send(const std::wstring& headers) {
    const std::wstring all = kAgentHeader + headers;
    if (const DWORD error = SendOnce(all))
        return error;
    if (m_viaProxy && Status() == 407 && SignInAsUser(*m_http, m_request.get()))
        return SendOnce(all);
    return 0;
}

DWORD Request::Status() const {
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!m_http->QueryHeaders(
            m_request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
            WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
        return 0;
    return status;
}

ULONGLONG Request::ContentLength() const {
    wchar_t text[64] = L"";
    DWORD size = sizeof text;
    if (!m_http->QueryHeaders(m_request.get(), WINHTTP_QUERY_CONTENT_LENGTH,
                              WINHTTP_HEADER_NAME_BY_INDEX, text, &size, WINHTTP_NO_HEADER_INDEX))
        return 0;
    return std::wcstoull(text, nullptr, 10);
}

std::wstring Request::Header(const wchar_t* name) const {
    wchar_t text[128] = L"";
    DWORD size = sizeof text;
    if (!m_http->QueryHeaders(m_request.get(), WINHTTP_QUERY_CUSTOM, name, text, &size,
                              WINHTTP_NO_HEADER_INDEX))
        return {};
    return text;
}

} // namespace setup
