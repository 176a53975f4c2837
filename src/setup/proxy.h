// The system's proxy: what Windows' settings say each host is reached through. Found once per
// host and run, and handed to every download, to git and to the build script alike.
#pragma once

#include "basics.h"

#include <string>

namespace setup {

struct Proxy {
    std::wstring server; // "host:port"; empty for a direct connection
    std::wstring bypass; // the bypass list of a fixed proxy, for hosts a redirect leads to
};

// The rules, as Windows' settings write them.
// The proxy a list such as "proxy:8080" or "http=a:80;https=b:443" names for scheme ("http",
// "https"); empty when it names none for it.
std::wstring ProxyForScheme(const std::wstring& list, const std::wstring& scheme);
// Whether host is to be reached directly by a bypass list such as "<local>;*.corp.example".
bool Bypassed(const std::wstring& host, const std::wstring& bypass);
// The same list as NO_PROXY spells it for the programs that read it: "localhost,.corp.example".
std::wstring NoProxyList(const std::wstring& bypass);

// The proxy for url's host, looked up the first time this run asks, and logged the first time
// a caller that isn't quiet asks.
Proxy ProxyFor(const std::wstring& url, bool quiet = false);
void ForgetProxies(); // a new run looks again

} // namespace setup
