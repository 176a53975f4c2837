// HTTP fetch: one GET over WinHTTP into memory and/or a file, with progress for the window,
// tried again while the fault may pass, and continued where an earlier attempt left its part.
#include "net.h"
#include "channel.h"
#include "proxy.h"
#include "seams.h"
#include "httpapi.h"

#include <fstream>

#include <cwchar>
#include <mutex>
#include <optional>
#include <vector>

namespace setup {

namespace {

constexpr wchar_t kAgent[] = L"Ironvale-Setup";
constexpr wchar_t kAgentHeader[] = L"User-Agent: Ironvale-Setup\r\n";
constexpr ULONGLONG kMegabyte = 1048576;

// A document read into memory stops here. Real release documents are about 100 KB; this bounds
// what a broken or hostile server can make Setup hold.
constexpr size_t kBodyLimit = 32u << 20;

constexpr DWORD kNotifications =
    WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES;

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
    static void CALLBACK ReadOnPool(PTP_CALLBACK_INSTANCE, void* context) {
        Call& call = *static_cast<Call*>(context);
        {
            std::lock_guard<std::mutex> lock(call.m_lock);
            call.m_reading = !call.m_left;
        }
        if (call.m_reading &&
            !WinHttp()->ReadData(call.m_request, call.buffer.data(), kBlock, nullptr))
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
bool SignInAsUser(HINTERNET request) {
    DWORD supported = 0;
    DWORD first = 0;
    DWORD target = 0;
    if (!WinHttp()->QueryAuthSchemes(request, &supported, &first, &target) ||
        target != WINHTTP_AUTH_TARGET_PROXY)
        return false;
    for (const DWORD scheme : {WINHTTP_AUTH_SCHEME_NEGOTIATE, WINHTTP_AUTH_SCHEME_NTLM}) {
        if ((supported & scheme) &&
            WinHttp()->SetCredentials(request, WINHTTP_AUTH_TARGET_PROXY, scheme, nullptr,
                                      nullptr, nullptr))
            return true;
    }
    return false;
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
    wchar_t text[128] = L"";
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

// The waits between attempts: about 1, 3 and 9 s, as other downloaders back off.
constexpr DWORD kRetryWaitsMs[] = {1000, 3000, 9000};
constexpr int kAttempts = 4;

// How an attempt ended: Done, worth another attempt after a wait (Retry), at once (Again: the
// part was dropped), or not at all (Stop: cancelled, or a fault that won't pass by waiting).
enum class Outcome { Done, Retry, Again, Stop };

std::wstring Hostless(DWORD error) {
    switch (error) {
    case ERROR_WINHTTP_TIMEOUT:
        return L"timed out";
    case ERROR_WINHTTP_CONNECTION_ERROR:
        return L"connection reset";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
        return L"a garbled answer";
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
        return L"the secure connection broke off";
    case ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT:
    case ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT:
    case ERROR_WINHTTP_AUTODETECTION_FAILED:
        return L"the proxy settings couldn't be used";
    default:
        return L"a network error";
    }
}

// Certificates Windows doesn't trust stay untrusted however often they are asked for.
bool Untrusted(DWORD error) {
    switch (error) {
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
    case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED:
        return true;
    default:
        return false;
    }
}

bool TransientStatus(DWORD status) {
    return status == 500 || status == 502 || status == 503 || status == 504;
}

// "bytes START-END/TOTAL" or "bytes */TOTAL": START (npos for "*") and TOTAL (0 when unknown).
void ParseContentRange(const std::wstring& text, ULONGLONG& start, ULONGLONG& total) {
    start = static_cast<ULONGLONG>(-1);
    total = 0;
    if (text.rfind(L"bytes ", 0) != 0)
        return;
    const size_t slash = text.find(L'/');
    if (slash != std::wstring::npos)
        total = std::wcstoull(text.c_str() + slash + 1, nullptr, 10);
    if (text.size() > 6 && text[6] >= L'0' && text[6] <= L'9')
        start = std::wcstoull(text.c_str() + 6, nullptr, 10);
}

std::wstring Megabytes(ULONGLONG bytes) {
    wchar_t text[32];
    std::swprintf(text, 32, L"%.0f MB", static_cast<double>(bytes) / kMegabyte);
    return text;
}

// Whether a document of unknown length ends where its JSON does. WinHTTP ends a chunked body
// that stops without its last chunk as if it were whole (Wine's does, for one), and GitHub's API
// answers are chunked: a release document cut short must not read as a release without assets.
// Bodies that are no JSON object or array are taken as they came.
bool WholeJson(const std::string& body) {
    size_t i = body.find_first_not_of(" \t\r\n");
    if (i == std::string::npos || (body[i] != '{' && body[i] != '['))
        return true;
    int depth = 0;
    for (; i < body.size(); ++i) {
        const char c = body[i];
        if (c == '"') {
            for (++i; i < body.size() && body[i] != '"'; ++i)
                i += body[i] == '\\';
            if (i >= body.size())
                return false;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if ((c == '}' || c == ']') && --depth == 0) {
            return body.find_first_not_of(" \t\r\n", i + 1) == std::string::npos;
        }
    }
    return false;
}

// Writes the whole block; 0, or why not. A drive that fills up takes part of a block first, and
// only the write after says it is full.
DWORD WriteAll(HANDLE file, const char* data, DWORD size) {
    while (size > 0) {
        DWORD wrote = 0;
        if (!WriteFile(file, data, size, &wrote, nullptr))
            return GetLastError();
        if (wrote == 0)
            return ERROR_WRITE_FAULT;
        data += wrote;
        size -= wrote;
    }
    return 0;
}

// One Get: its attempts share the part file, the hash of what the part holds and the progress.
class Transfer {
  public:
    Transfer(const WinHttpApi& http, const GetOptions& options, HttpAnswer& answer,
             const Proxy& proxy)
        : m_http(http), m_options(options), m_answer(answer), m_proxy(proxy),
          m_bodyStart(options.body ? options.body->size() : 0) {
        if (options.file)
            m_part = options.file->native() + L".part";
    }

    Outcome Attempt(const UrlParts& where);
    DWORD error() const { return m_error; }

  private:
    Outcome Fault(std::wstring reason, DWORD error, Outcome outcome) {
        m_answer.reason = std::move(reason);
        m_error = error;
        return s_cancel ? Outcome::Stop : outcome;
    }
    Outcome NoAnswer(const std::wstring& host, DWORD error);
    Outcome CutOff(DWORD error) {
        return Fault(L"the download was cut off (" + Hostless(error) + L")", error, Outcome::Retry);
    }
    Outcome Receive(HINTERNET request, Call& call, ULONGLONG have);
    Outcome Finish();
    Outcome Rename();
    Outcome StartOver(const std::wstring& why);
    void Note(const std::wstring& text) const {
        if (!m_options.label.empty())
            Log(m_options.label + L": " + text);
    }
    ULONGLONG PartSize() const;
    bool HashPart(ULONGLONG size);
    void DropPart();

    const WinHttpApi& m_http;
    const GetOptions& m_options;
    HttpAnswer& m_answer;
    const Proxy& m_proxy;
    const size_t m_bodyStart;
    fs::path m_part;
    std::optional<Hash> m_hash;
    ULONGLONG m_hashed = 0; // the bytes of the part that m_hash has taken in
    ULONGLONG m_total = 0;  // of the whole body, when known
    int m_lastPercent = -2;
    DWORD m_error = 0;
};

Outcome Transfer::NoAnswer(const std::wstring& host, DWORD error) {
    if (Untrusted(error))
        return Fault(L"the server's certificate isn't trusted", error, Outcome::Stop);
    if (error == ERROR_WINHTTP_NAME_NOT_RESOLVED)
        return Fault(L"couldn't look up " + host, error, Outcome::Retry);
    if (error == ERROR_WINHTTP_CANNOT_CONNECT)
        return Fault(L"no answer from " + host, error, Outcome::Retry);
    return Fault(Hostless(error), error, Outcome::Retry);
}

ULONGLONG Transfer::PartSize() const {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(m_part.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The hash covers the part's bytes first, so that a resumed archive is checked whole. Bytes this
// Get wrote are hashed already; a part from an earlier run is read once.
bool Transfer::HashPart(ULONGLONG size) {
    if (m_options.digest.algorithm == Digest::kNone)
        return true;
    if (m_hash && m_hashed == size)
        return true;
    m_hash.emplace(m_options.digest.algorithm);
    m_hashed = 0;
    std::ifstream in(m_part, std::ios::binary);
    std::vector<char> block(1 << 20);
    while (m_hashed < size) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        const auto got = static_cast<size_t>(in.gcount());
        if (got == 0 || !m_hash->Add(block.data(), got))
            return false;
        m_hashed += got;
    }
    return m_hashed == size;
}

void Transfer::DropPart() {
    Remove(m_part);
    m_hash.reset();
    m_hashed = 0;
}

Outcome Transfer::Attempt(const UrlParts& where) {
    const WinHttpApi& http = m_http;
    const std::wstring& host = where.host;
    m_error = 0;
    if (m_options.body)
        m_options.body->resize(m_bodyStart); // a retry starts the document again
    const ULONGLONG have = m_options.file ? PartSize() : 0;
    if (m_options.file && !HashPart(have))
        return Fault(L"couldn't read " + m_part.native(), 0, Outcome::Stop);
    if (!m_options.file && m_options.digest.algorithm != Digest::kNone)
        m_hash.emplace(m_options.digest.algorithm);

    const bool viaProxy = !m_proxy.server.empty();
    UniqueInternet session(http.Open(
        kAgent, viaProxy ? WINHTTP_ACCESS_TYPE_NAMED_PROXY : WINHTTP_ACCESS_TYPE_NO_PROXY,
        viaProxy ? m_proxy.server.c_str() : WINHTTP_NO_PROXY_NAME,
        m_proxy.bypass.empty() ? WINHTTP_NO_PROXY_BYPASS : m_proxy.bypass.c_str(),
        WINHTTP_FLAG_ASYNC));
    if (!session)
        return NoAnswer(host, GetLastError());
    http.SetTimeouts(session.get(), 15000, 15000, 30000, 60000);
    if (http.SetStatusCallback(session.get(), OnHttpStatus, kNotifications, 0) ==
        WINHTTP_INVALID_STATUS_CALLBACK)
        return NoAnswer(host, GetLastError());
    UniqueInternet connection(http.Connect(session.get(), host.c_str(), where.port, 0));
    if (!connection)
        return NoAnswer(host, GetLastError());
    UniqueInternet request(http.OpenRequest(connection.get(), L"GET", where.target.c_str(),
                                            nullptr, WINHTTP_NO_REFERER,
                                            WINHTTP_DEFAULT_ACCEPT_TYPES,
                                            where.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request)
        return NoAnswer(host, GetLastError());
    std::unique_ptr<Call, ReleaseCall> call(new Call);
    call->Hold();    // the request's reference, given back when WinHTTP closes it
    struct Leaving { // on every way out; declared after the request, so it runs first
        Call& call;
        UniqueInternet& request;
        ~Leaving() {
            if (call.Leave())
                request.release();
        }
    } leaving{*call, request};
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(call.get());
    if (!http.SetOption(request.get(), WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context)) {
        call->Release();
        return NoAnswer(host, GetLastError());
    }
    std::wstring headers = kAgentHeader;
    if (have > 0)
        headers += L"Range: bytes=" + std::to_wstring(have) + L"-\r\n";
    auto send = [&] {
        DWORD ignored = 0;
        if (!http.SendRequest(request.get(), headers.c_str(), static_cast<DWORD>(-1L),
                              WINHTTP_NO_REQUEST_DATA, 0, 0, context))
            return GetLastError();
        if (!call->Wait(ignored))
            return call->error();
        if (!http.ReceiveResponse(request.get(), nullptr))
            return GetLastError();
        return call->Wait(ignored) ? DWORD{0} : call->error();
    };
    if (const DWORD error = send())
        return NoAnswer(host, error);
    // A proxy that asks who is there gets the signed-in user's own Windows sign-in, once.
    if (viaProxy && StatusCode(request.get()) == 407 && SignInAsUser(request.get())) {
        if (const DWORD error = send())
            return NoAnswer(host, error);
    }
    const DWORD status = StatusCode(request.get());
    m_answer.status = status;
    m_answer.remaining = Header(request.get(), L"x-ratelimit-remaining");
    m_answer.reset = Header(request.get(), L"x-ratelimit-reset");
    m_answer.retryAfter = Header(request.get(), L"retry-after");
    ULONGLONG start = 0;
    ULONGLONG total = 0;
    ParseContentRange(Header(request.get(), L"Content-Range"), start, total);
    if (have > 0 && status == 416) {
        // Asked for what lies past the end: the part may be the whole archive already.
        const bool whole = m_options.digest.algorithm != Digest::kNone
                               ? m_hash && m_hash->Hex() == m_options.digest.hex
                               : total != 0 && total == have;
        m_hash.reset();
        m_hashed = 0;
        if (whole)
            return Rename();
        return StartOver(L"the part downloaded before doesn't fit");
    }
    if (have > 0 && status == 206) {
        if (start != have)
            return StartOver(L"the server sent another part than asked for");
        Note(L"resuming at " + Megabytes(have));
    } else if (have > 0 && status == 200) {
        Note(L"the server can't resume; starting over");
        DropPart();
        HashPart(0);
    }
    if (status != 200 && !(have > 0 && status == 206)) {
        const std::wstring reason = L"HTTP " + std::to_wstring(status);
        if (status == 407) {
            m_answer.proxySignIn = m_proxy.server;
            return Fault(reason + L" (the proxy asks for a sign-in)", 0, Outcome::Stop);
        }
        return Fault(reason, 0, TransientStatus(status) ? Outcome::Retry : Outcome::Stop);
    }
    return Receive(request.get(), *call, status == 206 ? have : 0);
}

// The body, after the part's first `have` bytes.
Outcome Transfer::Receive(HINTERNET request, Call& call, ULONGLONG have) {
    const ULONGLONG expected = ContentLength(request);
    if (m_options.body && expected > kBodyLimit)
        return Fault(L"the document is larger than 32 MiB", 0, Outcome::Stop);
    m_total = expected ? have + expected : 0;
    // Written unbuffered: a killed Setup leaves every byte it received for the next run, a
    // full disk fails the write it happens in, and nothing is copied twice on the way.
    UniqueHandle out;
    if (m_options.file) {
        out.reset(CreateFileW(m_part.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              have ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr));
        LARGE_INTEGER end{};
        if (!out || !SetFilePointerEx(out.get(), end, nullptr, FILE_END))
            return Fault(L"couldn't write " + m_part.native(), GetLastError(), Outcome::Stop);
    }
    ULONGLONG received = have;
    for (;;) {
        DWORD got = 0;
        if (!call.Read(request))
            return CutOff(GetLastError());
        if (!call.WaitRead(got))
            return CutOff(call.error());
        if (got == 0)
            break;
        const char* block = call.buffer.data();
        if (m_options.body) {
            if (m_options.body->size() - m_bodyStart + got > kBodyLimit)
                return Fault(L"the document is larger than 32 MiB", 0, Outcome::Stop);
            m_options.body->append(block, got);
        }
        if (const DWORD error = out ? WriteAll(out.get(), block, got) : 0) {
            m_answer.diskFull = error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
            return Fault(L"couldn't write " + m_part.native(), error, Outcome::Stop);
        }
        if (m_hash && !m_hash->Add(block, got))
            return Fault(L"couldn't hash the download", 0, Outcome::Stop);
        received += got;
        m_hashed = received;
        if (m_options.progress)
            Report(m_options.label, received, m_total, m_lastPercent);
    }
    out.reset();
    if ((m_total != 0 && received != m_total) ||
        (m_total == 0 && m_options.body && !WholeJson(m_options.body->substr(m_bodyStart))))
        return Fault(L"the download was cut off (the connection closed early)", 0, Outcome::Retry);
    return Finish();
}

// The whole body is here: checked against its digest, then the archive takes its name.
Outcome Transfer::Finish() {
    if (m_options.digest.algorithm != Digest::kNone) {
        const std::string got = m_hash ? m_hash->Hex() : std::string();
        m_hash.reset();
        m_hashed = 0;
        if (got.empty())
            return Fault(L"couldn't hash the download", 0, Outcome::Stop);
        if (got != m_options.digest.hex) {
            m_answer.damaged = true;
            m_answer.got = got;
            if (m_options.file)
                DropPart(); // the next run starts from zero
            return Fault(L"its checksum doesn't match", 0, Outcome::Stop);
        }
    }
    return Rename();
}

Outcome Transfer::Rename() {
    if (m_options.file &&
        !MoveFileExW(m_part.c_str(), m_options.file->c_str(), MOVEFILE_REPLACE_EXISTING))
        return Fault(L"couldn't write " + m_options.file->native(), GetLastError(), Outcome::Stop);
    return Outcome::Done;
}

Outcome Transfer::StartOver(const std::wstring& why) {
    Note(why + L"; starting over");
    DropPart();
    return Fault(why, 0, Outcome::Again);
}

} // namespace

std::wstring ProxySignInRefusal(const HttpAnswer& answer) {
    if (answer.proxySignIn.empty())
        return {};
    return L"The proxy " + answer.proxySignIn + L" asks for a sign-in that Setup can't give.";
}

GetOptions Document(std::string& body, const std::wstring& label, HttpAnswer* answer) {
    GetOptions options;
    options.body = &body;
    options.label = label;
    options.answer = answer;
    return options;
}

bool Get(const std::wstring& url, const GetOptions& options) {
    HttpAnswer ignored;
    HttpAnswer& answer = options.answer ? *options.answer : ignored;
    answer = {};
    const WinHttpApi* http = WinHttp();
    if (!http) {
        answer.reason = L"Windows' winhttp.dll is missing";
        return false;
    }
    UrlParts where;
    if (!CrackUrl(url, where)) {
        answer.reason = L"the address is malformed";
        return false;
    }
    const Proxy proxy = ProxyFor(url, options.label.empty()); // no label: nothing for the window

    Transfer transfer(*http, options, answer, proxy);
    bool startedOver = false;
    for (int attempt = 1;; ++attempt) {
        Outcome outcome = transfer.Attempt(where);
        if (outcome == Outcome::Again && !startedOver) { // once: the part is gone now
            startedOver = true;
            outcome = transfer.Attempt(where);
        }
        if (outcome == Outcome::Done)
            return true;
        if (s_cancel)
            return false;
        if (outcome == Outcome::Stop || attempt == kAttempts) {
            const DWORD error = transfer.error();
            if (!options.label.empty())
                Log(options.label + L": " + answer.reason +
                    (error ? L" (WinHTTP error " + std::to_wstring(error) + L")" : L""));
            return false;
        }
        const DWORD wait = kRetryWaitsMs[attempt - 1];
        if (!options.label.empty())
            Log(options.label + L": " + answer.reason + L"; trying again in " +
                std::to_wstring(wait / 1000) + L" s");
        if (!s_seams.pause(wait))
            return false;
    }
}

} // namespace setup
