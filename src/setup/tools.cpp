// Build tools: found on PATH or in the tools folder, else the latest release is downloaded
// and unpacked with the tar.exe of Windows.
#include "setup.h"

#include <regex>

namespace setup {

namespace {

// Endpoints are build settings; the test build points them at its stand-in services.
#ifndef IRONVALE_GITHUB_API
#define IRONVALE_GITHUB_API "https://api.github.com"
#endif
#ifndef IRONVALE_NUGET_API
#define IRONVALE_NUGET_API "https://api.nuget.org"
#endif
constexpr char kGitHubApi[] = IRONVALE_GITHUB_API;
constexpr char kNuGetApi[] = IRONVALE_NUGET_API;
constexpr wchar_t kRegistry[] = L"NuGet";

// No file system stores a longer name, so no longer "file name" can be a real asset.
constexpr size_t kMaxFileName = 255;
constexpr DWORD kPathBuffer = 32768;

struct Tool {
    const wchar_t* name;
    const wchar_t* program;
    std::wstring (*provider)();
};

const Tool kTools[] = {
    {L"Git", L"git.exe",
     [] { return LatestAsset("git-for-windows/git", R"(MinGit-[0-9.]+-64-bit\.zip)"); }},
    {L"CMake", L"cmake.exe",
     [] { return LatestAsset("Kitware/CMake", R"(cmake-[0-9.]+-windows-x86_64\.zip)"); }},
    {L"Ninja", L"ninja.exe", [] { return LatestAsset("ninja-build/ninja", R"(ninja-win\.zip)"); }},
    {L"Clang", L"clang++.exe",
     [] { return LatestAsset("mstorsjo/llvm-mingw", R"(llvm-mingw-[0-9]+-ucrt-x86_64\.zip)"); }},
    {L"Python", L"python.exe", LatestPython},
};

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

size_t SkipSpace(const std::string& text, size_t at) {
    while (at < text.size() && IsSpace(text[at]))
        ++at;
    return at;
}

// Compares two runs of decimal digits as numbers, however long.
bool GreaterNumber(std::string_view a, std::string_view b) {
    a.remove_prefix(std::min(a.find_first_not_of('0'), a.size()));
    b.remove_prefix(std::min(b.find_first_not_of('0'), b.size()));
    return a.size() != b.size() ? a.size() > b.size() : a > b;
}

std::wstring ReadPath() {
    std::wstring path(kPathBuffer, L'\0');
    const DWORD length = GetEnvironmentVariableW(L"PATH", path.data(), kPathBuffer);
    path.resize(length < kPathBuffer ? length : 0);
    return path;
}

fs::path SearchPath(const wchar_t* program) {
    const std::wstring path = ReadPath();
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(L';', start);
        if (end == std::wstring::npos)
            end = path.size();
        const std::wstring piece = path.substr(start, end - start);
        start = end + 1;
        if (piece.empty() || piece.find(L"WindowsApps") != std::wstring::npos)
            continue;
        const fs::path candidate = fs::path(piece) / program;
        std::error_code error;
        if (fs::exists(candidate, error))
            return candidate;
    }
    return {};
}

fs::path Unpack(const Tool& tool, const fs::path& tools) {
    const std::wstring name = tool.name;
    const std::wstring url = tool.provider();
    Log(name + L": downloading " + url);
    const fs::path folder = tools / name;
    std::error_code error;
    fs::remove_all(folder, error);
    fs::create_directories(folder, error);
    const fs::path archive = tools / (name + L".zip");
    if (!Get(url, nullptr, &archive, &name)) {
        CheckCancel();
        Fail(L"Couldn't download " + name + L".");
    }
    Status(L"Unpacking " + name);
    PostProgress(-1);
    wchar_t system[MAX_PATH] = L"";
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring command =
        Quote(fs::path(system) / L"tar.exe") + L" -xf " + Quote(archive) + L" -C " + Quote(folder);
    if (Run(command, {}) != 0)
        Fail(L"Couldn't unpack " + name + L" (Windows 10 1803 or later is needed).");
    fs::remove(archive, error);
    fs::path program = FindUnder(folder, tool.program);
    if (program.empty())
        Fail(name + L" didn't contain " + tool.program + L".");
    return program;
}

} // namespace

std::vector<std::string> JsonStrings(const std::string& body, const std::string& name) {
    const std::string key = "\"" + name + "\"";
    std::vector<std::string> addresses;
    size_t at = 0;
    while ((at = body.find(key, at)) != std::string::npos) {
        size_t p = SkipSpace(body, at + key.size());
        if (p < body.size() && body[p] == ':') {
            p = SkipSpace(body, p + 1);
            const size_t close =
                p < body.size() && body[p] == '"' ? body.find('"', p + 1) : std::string::npos;
            if (close != std::string::npos && close > p + 1) {
                addresses.push_back(body.substr(p + 1, close - p - 1));
                at = close + 1;
                continue;
            }
        }
        ++at;
    }
    return addresses;
}

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

std::wstring LatestAsset(const std::string& repository, const std::string& pattern) {
    const std::wstring name = Widen(repository);
    std::string body;
    if (!Get(Widen(kGitHubApi) + L"/repos/" + name + L"/releases/latest", &body))
        Fail(L"Couldn't reach GitHub to find " + name + L". Check the internet connection.");
    for (const std::string& address : JsonStrings(body, "browser_download_url"))
        if (AssetMatches(address, pattern))
            return Widen(address);
    Fail(L"No download of " + name + L" matched what Setup expects.");
}

std::wstring LatestPython() {
    const std::wstring api = Widen(kNuGetApi);
    std::string body;
    if (!Get(api + L"/v3-flatcontainer/python/index.json", &body))
        Fail(std::wstring(L"Couldn't reach ") + kRegistry +
             L" for Python. Check the internet connection.");
    const std::wstring version = Widen(NewestPython312(body));
    if (version.empty())
        Fail(std::wstring(L"No Python 3.12 package on ") + kRegistry + L".");
    return api + L"/v3-flatcontainer/python/" + version + L"/python." + version + L".nupkg";
}

fs::path FindUnder(const fs::path& folder, const wchar_t* name) {
    std::error_code error;
    fs::recursive_directory_iterator it(folder, error);
    for (const fs::recursive_directory_iterator end; !error && it != end; it.increment(error)) {
        if (it.depth() >= 3)
            it.disable_recursion_pending(); // nothing below depth 3 is looked at
        std::error_code statusError;
        if (fs::is_directory(it->status(statusError)))
            continue;
        if (it->path().filename().native() == name)
            return it->path();
    }
    return {};
}

void ProvideTools(const fs::path& installFolder) {
    Status(L"Checking the tools");
    const fs::path tools = installFolder / L"tools";
    std::error_code error;
    fs::create_directories(tools, error);
    for (const Tool& tool : kTools) {
        if (s_cancel)
            Fail(L"Cancelled.");
        const std::wstring name = tool.name;
        const fs::path onPath = SearchPath(tool.program);
        if (!onPath.empty()) {
            Log(name + L": using " + onPath.native());
            continue;
        }
        fs::path program = FindUnder(tools / name, tool.program);
        if (program.empty())
            program = Unpack(tool, tools);
        Log(name + L": " + program.native());
        SetEnvironmentVariableW(L"PATH",
                                (program.parent_path().native() + L";" + ReadPath()).c_str());
    }
    PostProgress(-1);
}

} // namespace setup
