// HTTP and the release lookups: one GET with retries, resume and a digest check; and what the
// release documents of GitHub and NuGet say is the latest download of each tool.
#pragma once

#include "system.h"

#include <string>
#include <vector>

namespace setup {

// The services Setup talks to (endpoints.cpp). The test build points them at the stand-ins.
extern const char kGitHubApi[];
extern const char kNuGetApi[];
extern const char kRepoUrl[];
extern const char kReleaseApi[];
// NuGet's v3 resources under kNuGetApi: the package's versions and archives, and its
// registration, whose catalog entry publishes the package's hash.
constexpr wchar_t kFlatContainer[] = L"/v3-flatcontainer/python/";
constexpr wchar_t kRegistration[] = L"/v3/registration5-semver1/python/";

// Why a GET answered as it did, for callers that need to know: the status (0 when there was
// none), GitHub's rate-limit headers (empty when absent), and what went wrong last.
struct HttpAnswer {
    DWORD status = 0;
    std::wstring remaining;   // x-ratelimit-remaining
    std::wstring reset;       // x-ratelimit-reset: the epoch second the limit resets
    std::wstring retryAfter;  // retry-after: seconds
    std::wstring reason;      // the last failure in words, as setup.log has it
    bool damaged = false;     // the body arrived whole but didn't match the digest
    std::string got;          // what it hashed to then
    bool diskFull = false;    // the part couldn't be written: its drive is full
    std::wstring proxySignIn; // the proxy that asked for a sign-in Setup couldn't give
};

// "The proxy NAME asks for a sign-in that Setup can't give.", or empty when the answer wasn't
// that.
std::wstring ProxySignInRefusal(const HttpAnswer& answer);

// What one Get is for; every member may be left out.
struct GetOptions {
    // The body is appended here, up to 32 MiB (else the GET fails).
    std::string* body = nullptr;
    // The body goes to file + ".part", which takes this name once it is whole and matches
    // digest. A part left by a failed attempt, a cancel or a killed Setup is continued.
    const fs::path* file = nullptr;
    std::wstring label;    // names the download in setup.log when it is retried or fails
    bool progress = false; // reports progress under label
    Digest digest;
    HttpAnswer* answer = nullptr;
};

// One GET of url, tried up to four times while it fails in a way that may pass (no answer, a
// cut-off body, 500, 502, 503, 504); true when the whole body arrived with status 200 (or the
// rest of a part with 206) and matched its digest.
bool Get(const std::wstring& url, const GetOptions& options = {});
// A small document read into memory, retried and logged under label.
GetOptions DocumentInto(std::string& body, const std::wstring& label, HttpAnswer* answer = nullptr);

// A release archive, and the digest its release publishes for it, if any.
struct Download {
    std::wstring url;
    Digest digest;
};

Download LatestAsset(const std::string& repository, const std::string& pattern);
Download LatestPython();

std::string NewestPython312(const std::string& body); // empty when there is none
bool AssetMatches(const std::string& address, const std::string& pattern);

} // namespace setup
