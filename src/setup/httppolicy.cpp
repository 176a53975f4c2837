// What WinHTTP's errors and a server's answers mean for a download.
#include "httppolicy.h"

#include <winhttp.h>

#include <cwchar>

namespace setup {

namespace {

constexpr DWORD kRetryWaitsMs[] = {1000, 3000, 9000};

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

} // namespace

DWORD RetryWaitMs(int attempt) {
    return kRetryWaitsMs[attempt < 1 ? 0 : attempt > 3 ? 2 : attempt - 1];
}

std::wstring ErrorInWords(DWORD error) {
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

Fault NoAnswerFault(const std::wstring& host, DWORD error) {
    if (Untrusted(error))
        return {L"the server's certificate isn't trusted", Outcome::Stop};
    if (error == ERROR_WINHTTP_NAME_NOT_RESOLVED)
        return {L"couldn't look up " + host, Outcome::Retry};
    if (error == ERROR_WINHTTP_CANNOT_CONNECT)
        return {L"no answer from " + host, Outcome::Retry};
    return {ErrorInWords(error), Outcome::Retry};
}

Fault StatusFault(DWORD status) {
    const std::wstring reason = L"HTTP " + std::to_wstring(status);
    if (status == 407)
        return {reason + L" (the proxy asks for a sign-in)", Outcome::Stop};
    return {reason, TransientStatus(status) ? Outcome::Retry : Outcome::Stop};
}

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

PartPlan PlanFor(const PartAnswer& answer) {
    ULONGLONG start = 0;
    ULONGLONG total = 0;
    ParseContentRange(answer.contentRange, start, total);
    if (answer.have > 0 && answer.status == 416) {
        // Asked for what lies past the end: the part may be the whole archive already.
        const bool whole = answer.partMatchesDigest >= 0 ? answer.partMatchesDigest == 1
                                                         : total != 0 && total == answer.have;
        return whole ? PartPlan::TakeName : PartPlan::DoesntFit;
    }
    if (answer.have > 0 && answer.status == 206)
        return start == answer.have ? PartPlan::Resume : PartPlan::OtherPart;
    if (answer.status != 200)
        return PartPlan::Refused;
    return answer.have > 0 ? PartPlan::Restart : PartPlan::Whole;
}

std::wstring ProgressText(const std::wstring& label, ULONGLONG received, ULONGLONG expected) {
    const std::wstring total =
        expected ? L" of " + SizeText(expected, SizeUnits::Megabytes) : std::wstring();
    return L"Downloading " + label + L": " + SizeText(received, SizeUnits::Megabytes) + total;
}

int ProgressPercent(ULONGLONG received, ULONGLONG expected) {
    return expected ? static_cast<int>(received * 100 / expected) : -1;
}

} // namespace setup
