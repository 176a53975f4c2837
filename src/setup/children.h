// What the programs Setup starts are told through their environment, which they inherit from
// Setup's: git's settings, given as git reads -c, and the system's proxy.
#pragma once

#include "proxy.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace setup {

using Variable = std::pair<std::wstring, std::wstring>;   // name, value
using GitSetting = std::pair<std::wstring, std::wstring>; // key, value

// How git prints a path: with forward slashes ("C:/Games/Ironvale").
std::wstring GitPath(const fs::path& path);

// What every git command of a run is told: the trees Setup cloned may be trusted whoever owns
// them, paths may be long, the proxy (when there is one) is used and, for Setup's own MinGit
// alone, Windows' certificate store is trusted as WinHTTP trusts it.
std::vector<GitSetting> GitSettings(const std::vector<fs::path>& trees, const Proxy& proxy,
                                    bool ownMinGit);
// The variables that hand git those settings after the user's own `existing` ones.
std::vector<Variable> GitConfigVariables(unsigned existing,
                                         const std::vector<GitSetting>& settings);
// HTTPS_PROXY, HTTP_PROXY and NO_PROXY for proxy, but none the user set (userSets says which).
std::vector<Variable> ProxyVariables(const Proxy& proxy,
                                     const std::function<bool(const wchar_t*)>& userSets);

// Puts both into Setup's environment, for the git commands and the build of this run.
void PrepareChildren(const fs::path& installFolder, const std::vector<fs::path>& trees);

} // namespace setup
