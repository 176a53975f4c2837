// HTTP fetch: one GET over WinHTTP into memory and/or a file, with progress for the window,
// tried again while the fault may pass, and continued where an earlier attempt left its part.
#include "net.h"
#include "channel.h"
#include "httpcall.h"
#include "httppolicy.h"
#include "json.h"
#include "partfile.h"
#include "proxy.h"
#include "seams.h"

#include <optional>

namespace setup {

namespace {

// A document read into memory stops here. Real release documents are about 100 KB; this bounds
// what a broken or hostile server can make Setup hold.
constexpr size_t kBodyLimit = 32u << 20;

// One Get: its attempts share the part file, the hash of what the part holds and the progress.
class Transfer {
  public:
    Transfer(const WinHttpApi& http, const GetOptions& options, HttpAnswer& answer,
             const Proxy& proxy)
        : m_http(http), m_options(options), m_answer(answer), m_proxy(proxy),
          m_bodyStart(options.body ? options.body->size() : 0) {
        if (options.file)
            m_part = PartFile(*options.file);
    }

    Outcome Attempt(const UrlParts& where);
    DWORD error() const { return m_error; }

  private:
    Outcome Stopped(std::wstring reason, DWORD error, Outcome outcome) {
        m_answer.reason = std::move(reason);
        m_error = error;
        return s_cancel ? Outcome::Stop : outcome;
    }
    Outcome NoAnswer(const std::wstring& host, DWORD error) {
        Fault fault = NoAnswerFault(host, error);
        return Stopped(std::move(fault.reason), error, fault.outcome);
    }
    Outcome CutOff(DWORD error) {
        return Stopped(L"the download was cut off (" + ErrorInWords(error) + L")", error,
                       Outcome::Retry);
    }
    Outcome Answered(Request& request, ULONGLONG have);
    Outcome Receive(Request& request, ULONGLONG have);
    Outcome Take(const char* block, DWORD got);
    Outcome Finish();
    Outcome Rename();
    Outcome StartOver(const std::wstring& why);
    void Note(const std::wstring& text) const {
        if (!m_options.label.empty())
            Log(m_options.label + L": " + text);
    }
    bool HashPart(ULONGLONG size);
    void DropPart() {
        m_part.Drop();
        ForgetHash();
    }
    void ForgetHash() {
        m_hash.reset();
        m_hashed = 0;
    }
    bool Checked() const { return m_options.digest.algorithm != Digest::kNone; }

    const WinHttpApi& m_http;
    const GetOptions& m_options;
    HttpAnswer& m_answer;
    const Proxy& m_proxy;
    const size_t m_bodyStart;
    PartFile m_part;
    std::optional<Hash> m_hash;
    ULONGLONG m_hashed = 0; // the bytes of the part that m_hash has taken in
    ULONGLONG m_total = 0;  // of the whole body, when known
    int m_lastPercent = -2;
    DWORD m_error = 0;
};

// The hash covers the part's bytes first, so that a resumed archive is checked whole. Bytes this
// Get wrote are hashed already; a part from an earlier run is read once.
bool Transfer::HashPart(ULONGLONG size) {
    if (!Checked() || (m_hash && m_hashed == size))
        return true;
    m_hash.emplace(m_options.digest.algorithm);
    m_hashed = 0;
    if (!m_part.HashInto(*m_hash, size))
        return false;
    m_hashed = size;
    return true;
}

Outcome Transfer::Attempt(const UrlParts& where) {
    m_error = 0;
    if (m_options.body)
        m_options.body->resize(m_bodyStart); // a retry starts the document again
    const ULONGLONG have = m_options.file ? m_part.Size() : 0;
    if (m_options.file && !HashPart(have))
        return Stopped(L"couldn't read " + m_part.path().native(), 0, Outcome::Stop);
    if (!m_options.file && Checked())
        m_hash.emplace(m_options.digest.algorithm);

    Request request;
    if (const DWORD error = request.Open(m_http, where, m_proxy))
        return NoAnswer(where.host, error);
    const std::wstring range = have > 0 ? L"Range: bytes=" + std::to_wstring(have) + L"-\r\n" : L"";
    if (const DWORD error = request.Send(range))
        return NoAnswer(where.host, error);
    const Outcome outcome = Answered(request, have);
    m_part.Close(); // however the body ended: the next attempt opens the part again
    return outcome;
}

// The answer's headers are in: what they mean for the part, then the body.
Outcome Transfer::Answered(Request& request, ULONGLONG have) {
    const DWORD status = request.Status();
    m_answer.status = status;
    m_answer.remaining = request.Header(L"x-ratelimit-remaining");
    m_answer.reset = request.Header(L"x-ratelimit-reset");
    m_answer.retryAfter = request.Header(L"retry-after");
    PartAnswer answer{have, status, request.Header(L"Content-Range")};
    if (Checked() && have > 0 && status == 416) // Hex ends the hash: only when it is all there
        answer.partMatchesDigest = m_hash && m_hash->Hex() == m_options.digest.hex ? 1 : 0;
    switch (PlanFor(answer)) {
    case PartPlan::TakeName:
        ForgetHash();
        return Rename();
    case PartPlan::DoesntFit:
        ForgetHash();
        return StartOver(L"the part downloaded before doesn't fit");
    case PartPlan::OtherPart:
        return StartOver(L"the server sent another part than asked for");
    case PartPlan::Refused: {
        if (status == 407)
            m_answer.proxySignIn = m_proxy.server;
        Fault fault = StatusFault(status);
        return Stopped(std::move(fault.reason), 0, fault.outcome);
    }
    case PartPlan::Resume:
        Note(L"resuming at " + SizeText(have, SizeUnits::Megabytes));
        return Receive(request, have);
    case PartPlan::Restart:
        Note(L"the server can't resume; starting over");
        DropPart();
        HashPart(0);
        return Receive(request, 0);
    case PartPlan::Whole:
    default:
        return Receive(request, 0);
    }
}

// One block of the body: into the document, the part and the hash.
Outcome Transfer::Take(const char* block, DWORD got) {
    if (m_options.body) {
        if (m_options.body->size() - m_bodyStart + got > kBodyLimit)
            return Stopped(L"the document is larger than 32 MiB", 0, Outcome::Stop);
        m_options.body->append(block, got);
    }
    if (const DWORD error = m_options.file ? m_part.Append(block, got) : 0) {
        m_answer.diskFull = error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
        return Stopped(L"couldn't write " + m_part.path().native(), error, Outcome::Stop);
    }
    if (m_hash && !m_hash->Add(block, got))
        return Stopped(L"couldn't hash the download", 0, Outcome::Stop);
    return Outcome::Done;
}

// The body, after the part's first `have` bytes.
Outcome Transfer::Receive(Request& request, ULONGLONG have) {
    const ULONGLONG expected = request.ContentLength();
    if (m_options.body && expected > kBodyLimit)
        return Stopped(L"the document is larger than 32 MiB", 0, Outcome::Stop);
    m_total = expected ? have + expected : 0;
    if (m_options.file)
        if (const DWORD error = m_part.Open(have == 0))
            return Stopped(L"couldn't write " + m_part.path().native(), error, Outcome::Stop);
    ULONGLONG received = have;
    for (;;) {
        const char* block = nullptr;
        DWORD got = 0;
        DWORD error = 0;
        if (!request.ReadBlock(block, got, error))
            return CutOff(error);
        if (got == 0)
            break;
        const Outcome taken = Take(block, got);
        if (taken != Outcome::Done)
            return taken;
        received += got;
        m_hashed = received;
        const int percent = ProgressPercent(received, m_total);
        if (m_options.progress && percent != m_lastPercent) {
            m_lastPercent = percent;
            PostProgress(percent);
            PostStatus(ProgressText(m_options.label, received, m_total));
        }
    }
    m_part.Close();
    if ((m_total != 0 && received != m_total) ||
        (m_total == 0 && m_options.body && !WholeJson(m_options.body->substr(m_bodyStart))))
        return Stopped(L"the download was cut off (the connection closed early)", 0,
                       Outcome::Retry);
    return Finish();
}

// The whole body is here: checked against its digest, then the archive takes its name.
Outcome Transfer::Finish() {
    if (Checked()) {
        const std::string got = m_hash ? m_hash->Hex() : std::string();
        ForgetHash();
        if (got.empty())
            return Stopped(L"couldn't hash the download", 0, Outcome::Stop);
        if (got != m_options.digest.hex) {
            m_answer.damaged = true;
            m_answer.got = got;
            if (m_options.file)
                DropPart(); // the next run starts from zero
            return Stopped(L"its checksum doesn't match", 0, Outcome::Stop);
        }
    }
    return Rename();
}

Outcome Transfer::Rename() {
    if (!m_options.file)
        return Outcome::Done;
    if (const DWORD error = m_part.TakeName())
        return Stopped(L"couldn't write " + m_options.file->native(), error, Outcome::Stop);
    return Outcome::Done;
}

Outcome Transfer::StartOver(const std::wstring& why) {
    Note(why + L"; starting over");
    DropPart();
    return Stopped(why, 0, Outcome::Again);
}

} // namespace

std::wstring ProxySignInRefusal(const HttpAnswer& answer) {
    if (answer.proxySignIn.empty())
        return {};
    return L"The proxy " + answer.proxySignIn + L" asks for a sign-in that Setup can't give.";
}

GetOptions DocumentInto(std::string& body, const std::wstring& label, HttpAnswer* answer) {
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
        const DWORD error = transfer.error();
        if (outcome == Outcome::Stop || attempt == kAttempts) {
            if (!options.label.empty())
                Log(options.label + L": " + answer.reason +
                    (error ? L" (WinHTTP error " + std::to_wstring(error) + L")" : L""));
            return false;
        }
        const DWORD wait = RetryWaitMs(attempt);
        if (!options.label.empty())
            Log(options.label + L": " + answer.reason + L"; trying again in " +
                std::to_wstring(wait / 1000) + L" s");
        if (!s_seams.pause(wait))
            return false;
    }
}

} // namespace setup
