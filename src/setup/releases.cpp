// Release lookup: where each tool's latest release archive is, read from GitHub's release
// documents and NuGet's version index, scanned by hand.
#include "channel.h"
#include "json.h"
#include "net.h"

#include "maintenance.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cwchar>
#include <regex>

namespace setup {

namespace {

constexpr wchar_t kNuGet[] = L"NuGet";
// No file system stores a longer name, so no longer "file name" can be a real asset.
constexpr size_t kMaxFileName = 255;

// Compares two runs of decimal digits as numbers, however long.
bool GreaterNumber(std::string_view a, std::string_view b) {
    a.remove_prefix(std::min(a.find_first_not_of('0'), a.size()));
    b.remove_prefix(std::min(b.find_first_not_of('0'), b.size()));
    return a.size() != b.size() ? a.size() > b.size() : a > b;
}

// Windows counts time from 1601, GitHub from 1970.
constexpr ULONGLONG kEpochSeconds = 11644473600;

// GitHub answers 403 or 429 when a network has used up its requests without a token: the local
// HH:MM when they come back, or empty when the answer says nothing of the kind.
std::wstring LimitResetTime(const HttpAnswer& answer) {
    if (answer.status != 403 && answer.status != 429)
        return {};
    long long at = 0;
    if (answer.remaining == L"0" && !answer.reset.empty()) {
        at = std::wcstoll(answer.reset.c_str(), nullptr, 10);
    } else if (!answer.retryAfter.empty()) {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        const ULONGLONG ticks =
            (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
        at = static_cast<long long>(ticks / 10000000 - kEpochSeconds) +
             std::wcstoll(answer.retryAfter.c_str(), nullptr, 10);
    }
    if (at <= 0)
        return {};
    const ULONGLONG ticks = (static_cast<ULONGLONG>(at) + kEpochSeconds) * 10000000;
    const FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME universal{};
    SYSTEMTIME local{};
    if (!FileTimeToSystemTime(&utc, &universal) ||
        !SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local))
        return {};
    wchar_t text[8];
    std::swprintf(text, 8, L"%02u:%02u", local.wHour, local.wMinute);
    return text;
}

// Strict base64 (with its padding) as lowercase hex; empty when it isn't that.
std::string Base64Hex(const std::string& text) {
    static const std::string kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    static const char kDigits[] = "0123456789abcdef";
    if (text.empty() || text.size() % 4 != 0)
        return {};
    size_t end = text.size();
    for (int i = 0; i < 2 && text[end - 1] == '='; ++i)
        --end;
    std::string hex;
    unsigned bits = 0;
    int count = 0;
    for (size_t i = 0; i < end; ++i) {
        const size_t value = kAlphabet.find(text[i]);
        if (value == std::string::npos)
            return {};
        bits = (bits << 6 | static_cast<unsigned>(value)) & 0xfff;
        count += 6;
        if (count >= 8) {
            count -= 8;
            const unsigned byte = (bits >> count) & 0xff;
            hex += kDigits[byte >> 4];
            hex += kDigits[byte & 15];
        }
    }
    // Left-over bits are zero as an encoder writes them.
    return (bits & ((1u << count) - 1)) == 0 ? hex : std::string();
}

// The only value of "name" in body, or empty when there is none or more than one.
std::string OnlyString(const std::string& body, const std::string& name) {
    const std::vector<std::string> values = JsonStrings(body, name);
    return values.size() == 1 ? values.front() : std::string();
}

// The SHA-512 NuGet publishes for the package: its registration leaf names its catalog entry,
// which holds packageHash. Any doubt means no check, never a false failure.
Digest PythonDigest(const std::wstring& api, const std::wstring& version) {
    std::string leaf;
    if (!Get(api + kRegistration + version + L".json", DocumentInto(leaf, kNuGet))) {
        CheckCancel();
        return {};
    }
    const std::wstring entry = Widen(OnlyString(leaf, "catalogEntry"));
    if (entry.rfind(api + L"/", 0) != 0) // only NuGet's own
        return {};
    std::string catalog;
    if (!Get(entry, DocumentInto(catalog, kNuGet))) {
        CheckCancel();
        return {};
    }
    if (OnlyString(catalog, "packageHashAlgorithm") != "SHA512")
        return {};
    std::string hex = Base64Hex(OnlyString(catalog, "packageHash"));
    if (hex.size() != 128)
        return {};
    return {Digest::kSha512, hex};
}

} // namespace

namespace {

// The "digest" of the object whose own key starts at keyAt, as 64 lowercase hex digits, when
// it is "sha256:" and 64 hex digits and the only one there; empty whenever there is doubt.
std::string AssetDigest(const std::string& body, size_t keyAt) {
    const size_t open = OpeningBrace(body, keyAt);
    if (open == std::string::npos)
        return {};
    int digests = 0;
    std::string value;
    int depth = 0;
    size_t i = open + 1;
    for (; i < body.size(); ++i) {
        const char c = body[i];
        if (c == '"') {
            const size_t end = StringEnd(body, i);
            if (end == std::string::npos)
                return {};
            const size_t colon = SkipSpace(body, end + 1);
            if (depth == 0 && colon < body.size() && body[colon] == ':' &&
                body.compare(i + 1, end - i - 1, "digest") == 0) {
                ++digests;
                const size_t v = SkipSpace(body, colon + 1);
                const size_t close =
                    v < body.size() && body[v] == '"' ? StringEnd(body, v) : std::string::npos;
                value = close == std::string::npos ? "" : body.substr(v + 1, close - v - 1);
            }
            i = end;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if ((c == '}' || c == ']') && depth-- == 0) {
            break;
        }
    }
    // A cut-off object, two digests or a value of another form leave doubt: no check then.
    static const std::string kPrefix = "sha256:";
    if (i == body.size() || digests != 1 || value.size() != kPrefix.size() + 64 ||
        value.compare(0, kPrefix.size(), kPrefix) != 0)
        return {};
    std::string hex = value.substr(kPrefix.size());
    for (char& c : hex) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return {};
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return hex;
}

} // namespace

bool AssetMatches(const std::string& address, const std::string& pattern) {
    const size_t slash = address.rfind('/');
    const std::string name = slash == std::string::npos ? address : address.substr(slash + 1);
    if (name.size() > kMaxFileName)
        return false;
    return std::regex_match(name, std::regex(pattern, std::regex::ECMAScript | std::regex::icase));
}

std::string NewestPython312(const std::string& body) {
    static const std::string prefix = "\"3.12.";
    std::string best;
    std::string_view bestPatch;
    size_t at = 0;
    while ((at = body.find(prefix, at)) != std::string::npos) {
        const size_t digits = at + prefix.size();
        size_t end = digits;
        while (end < body.size() && body[end] >= '0' && body[end] <= '9')
            ++end;
        if (end == digits || end == body.size() || body[end] != '"') {
            ++at;
            continue;
        }
        const std::string_view patch(body.data() + digits, end - digits);
        if (best.empty() || GreaterNumber(patch, bestPatch)) {
            best = body.substr(at + 1, end - at - 1);
            bestPatch = patch;
        }
        at = end + 1;
    }
    return best;
}

Download LatestAsset(const std::string& repository, const std::string& pattern) {
    const std::wstring name = Widen(repository);
    std::string body;
    HttpAnswer answer;
    if (!Get(Widen(kGitHubApi) + L"/repos/" + name + L"/releases/latest",
             DocumentInto(body, name, &answer))) {
        CheckCancel();
        const std::wstring refusal = ProxySignInRefusal(answer);
        if (!refusal.empty())
            Fail(refusal);
        const std::wstring until = LimitResetTime(answer);
        if (!until.empty())
            Fail(L"GitHub's limit of requests from this network is used up until " + until +
                 L". Try again then, or put " + maintenance::ToolList() + L" on PATH.");
        Fail(L"Couldn't reach GitHub to find " + name + L". Check the internet connection.");
    }
    std::vector<size_t> keys;
    const std::vector<std::string> addresses = JsonStrings(body, "browser_download_url", &keys);
    for (size_t i = 0; i < addresses.size(); ++i) {
        if (!AssetMatches(addresses[i], pattern))
            continue;
        const std::string sha256 = AssetDigest(body, keys[i]);
        if (sha256.empty())
            return {Widen(addresses[i]), {}};
        return {Widen(addresses[i]), {Digest::kSha256, sha256}};
    }
    Fail(L"No download of " + name + L" matched what Setup expects.");
}

Download LatestPython() {
    const std::wstring api = Widen(kNuGetApi);
    std::string body;
    HttpAnswer answer;
    if (!Get(api + kFlatContainer + L"index.json", DocumentInto(body, kNuGet, &answer))) {
        CheckCancel();
        const std::wstring refusal = ProxySignInRefusal(answer);
        if (!refusal.empty())
            Fail(refusal);
        Fail(std::wstring(L"Couldn't reach ") + kNuGet +
             L" for Python. Check the internet connection.");
    }
    const std::wstring version = Widen(NewestPython312(body));
    if (version.empty())
        Fail(std::wstring(L"No Python 3.12 package on ") + kNuGet + L".");
    return {api + kFlatContainer + version + L"/python." + version + L".nupkg",
            PythonDigest(api, version)};
}

} // namespace setup
