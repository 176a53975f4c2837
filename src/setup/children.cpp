// The environment of git and the build script. Git reads none of Windows' settings: not the
// proxy, not the certificate store, not who may own a folder on a drive that records no owner.
// Given here, the same settings serve every git command of a run, whichever git it is.
#include "children.h"
#include "channel.h"
#include "net.h"
#include "runner.h"
#include "seams.h"

#include <map>

namespace setup {

namespace {

constexpr const wchar_t* kProxyNames[] = {L"HTTPS_PROXY", L"HTTP_PROXY", L"NO_PROXY"};

std::wstring EnvironmentValue(const wchar_t* name) {
    return LongText([name](wchar_t* buffer, DWORD size) {
        return GetEnvironmentVariableW(name, buffer, size);
    });
}

// The user's own count of -c settings; git refuses a count that is no number, so that counts
// as none.
unsigned UserGitCount(const std::wstring& count) {
    if (count.empty() || count.size() > 4 ||
        count.find_first_not_of(L"0123456789") != std::wstring::npos)
        return 0;
    return static_cast<unsigned>(std::stoul(count));
}

} // namespace

std::wstring GitPath(const fs::path& path) {
    std::wstring text = path.native();
    for (wchar_t& c : text)
        if (c == L'\\')
            c = L'/';
    return text;
}

std::vector<GitSetting> GitSettings(const std::vector<fs::path>& trees, const Proxy& proxy,
                                    bool ownMinGit) {
    std::vector<GitSetting> settings;
    for (const fs::path& tree : trees)
        settings.emplace_back(L"safe.directory", GitPath(tree));
    settings.emplace_back(L"core.longpaths", L"true");
    // A connection that goes silent ends the command, as Cargo sets it for the same hosts;
    // left alone, git would wait for good.
    settings.emplace_back(L"http.lowSpeedLimit", L"10");
    settings.emplace_back(L"http.lowSpeedTime", std::to_wstring(s_seams.gitSilence()));
    if (!proxy.server.empty())
        settings.emplace_back(L"http.proxy", L"http://" + proxy.server);
    // Other gits (MSYS2's, Cygwin's) have no schannel and die on the setting.
    if (ownMinGit) {
        settings.emplace_back(L"http.sslBackend", L"schannel");
        settings.emplace_back(L"http.schannelCheckRevoke", L"best-effort");
    }
    return settings;
}

std::vector<Variable> GitConfigVariables(unsigned existing,
                                         const std::vector<GitSetting>& settings) {
    std::vector<Variable> variables;
    variables.emplace_back(L"GIT_CONFIG_COUNT", std::to_wstring(existing + settings.size()));
    for (size_t i = 0; i < settings.size(); ++i) {
        const std::wstring n = std::to_wstring(existing + i);
        variables.emplace_back(L"GIT_CONFIG_KEY_" + n, settings[i].first);
        variables.emplace_back(L"GIT_CONFIG_VALUE_" + n, settings[i].second);
    }
    return variables;
}

std::vector<Variable> ProxyVariables(const Proxy& proxy,
                                     const std::function<bool(const wchar_t*)>& userSets) {
    if (proxy.server.empty())
        return {};
    const std::wstring address = L"http://" + proxy.server;
    const std::wstring values[] = {address, address, NoProxyList(proxy.bypass)};
    std::vector<Variable> variables;
    for (size_t i = 0; i < std::size(kProxyNames); ++i)
        if (!values[i].empty() && !userSets(kProxyNames[i]))
            variables.emplace_back(kProxyNames[i], values[i]);
    return variables;
}

void PrepareChildren(const fs::path& installFolder, const std::vector<fs::path>& trees) {
    // What Setup wrote last: a value that differs is the user's own, as the first one read is.
    static std::map<std::wstring, std::wstring> written;
    auto users = [](const wchar_t* name) {
        const auto ours = written.find(name);
        const std::wstring value = EnvironmentValue(name);
        return ours == written.end() || ours->second != value ? value : std::wstring();
    };
    static unsigned userCount = 0;
    const std::wstring count = EnvironmentValue(L"GIT_CONFIG_COUNT");
    if (written.count(L"GIT_CONFIG_COUNT") == 0 || written[L"GIT_CONFIG_COUNT"] != count)
        userCount = UserGitCount(count);

    const Proxy proxy = ProxyFor(Widen(kRepoUrl));
    const fs::path git = FindOnPath(L"git.exe", true);
    const bool ownMinGit = !git.empty() && IsInside(git, installFolder / L"tools" / L"Git");
    std::vector<Variable> variables =
        GitConfigVariables(userCount, GitSettings(trees, proxy, ownMinGit));
    // Ours from an earlier run go: the proxy may be gone since.
    for (const wchar_t* name : kProxyNames)
        if (users(name).empty())
            SetEnvironmentVariableW(name, nullptr);
    for (const auto& variable :
         ProxyVariables(proxy, [&](const wchar_t* name) { return !users(name).empty(); }))
        variables.push_back(variable);
    for (const auto& [name, value] : variables) {
        SetEnvironmentVariableW(name.c_str(), value.c_str());
        written[name] = value;
    }
}

} // namespace setup
