// The system's proxy, resolved by hand: WinHTTP's automatic proxy ignores the user's settings
// under Wine, and git and the build script can't use it at all. Resolved here, one answer
// serves every step, on Windows and under Wine alike.
#include "proxy.h"
#include "channel.h"
#include "httpapi.h"
#include "seams.h"

#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace setup {

namespace {

wchar_t Lower(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

std::wstring Lowered(std::wstring text) {
    for (wchar_t& c : text)
        c = Lower(c);
    return text;
}

// Calls each(entry) for the entries of a list split at ';', ',' and white space.
template <typename Each> void ForEachEntry(const std::wstring& list, Each each) {
    size_t start = 0;
    while (start < list.size()) {
        const size_t end = list.find_first_of(L"; ,\t\r\n", start);
        const std::wstring entry =
            list.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        if (!entry.empty())
            each(entry);
        if (end == std::wstring::npos)
            break;
        start = end + 1;
    }
}

std::wstring WithoutScheme(const std::wstring& entry) {
    const size_t scheme = entry.find(L"://");
    return scheme == std::wstring::npos ? entry : entry.substr(scheme + 3);
}

// '*' stands for any run of characters; case does not count.
bool Matches(const std::wstring& pattern, const std::wstring& text) {
    size_t p = 0;
    size_t t = 0;
    size_t star = std::wstring::npos;
    size_t resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == L'*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && Lower(pattern[p]) == Lower(text[t])) {
            ++p;
            ++t;
        } else if (star != std::wstring::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*')
        ++p;
    return p == pattern.size();
}

} // namespace

std::wstring ProxyForScheme(const std::wstring& list, const std::wstring& scheme) {
    std::wstring forAll;
    std::wstring forScheme;
    ForEachEntry(list, [&](const std::wstring& entry) {
        const size_t equals = entry.find(L'=');
        if (equals == std::wstring::npos) {
            if (forAll.empty())
                forAll = WithoutScheme(entry);
        } else if (forScheme.empty() && Lowered(entry.substr(0, equals)) == scheme) {
            forScheme = WithoutScheme(entry.substr(equals + 1));
        }
    });
    return forScheme.empty() ? forAll : forScheme;
}

bool Bypassed(const std::wstring& host, const std::wstring& bypass) {
    bool bypassed = false;
    ForEachEntry(bypass, [&](const std::wstring& entry) {
        if (entry == L"<local>")
            bypassed = bypassed || host.find(L'.') == std::wstring::npos;
        else
            bypassed = bypassed || Matches(WithoutScheme(entry), host);
    });
    return bypassed;
}

std::wstring NoProxyList(const std::wstring& bypass) {
    std::wstring list;
    ForEachEntry(bypass, [&](const std::wstring& entry) {
        std::wstring item = WithoutScheme(entry);
        if (item == L"<-loopback>")
            return;
        if (item == L"<local>")
            item = L"localhost";
        else if (item.size() > 2 && item.compare(0, 2, L"*.") == 0)
            item.erase(0, 1);
        list += (list.empty() ? L"" : L",") + item;
    });
    return list;
}

namespace {

struct Resolved {
    Proxy proxy;
    const wchar_t* from = L"";
};

// What WinHTTP's PAC engine answers for url, found by WPAD (detect) or at pacUrl. Runs on a
// thread of its own, so that a slow answer costs the run the seam's limit at most and a
// cancel none. False when there is no answer in time.
bool AskAutoProxy(const std::wstring& url, bool detect, const std::wstring& pacUrl,
                  std::wstring& proxy) {
    struct Answer {
        UniqueHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
        bool ok = false;
        std::wstring proxy;
    };
    const auto answer = std::make_shared<Answer>();
    if (!answer->done)
        return false;
    std::thread([answer, url, detect, pacUrl] {
        const WinHttpApi& http = *WinHttp();
        UniqueInternet session(http.Open(kAgent, WINHTTP_ACCESS_TYPE_NO_PROXY,
                                         WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        WINHTTP_AUTOPROXY_OPTIONS options{};
        if (!pacUrl.empty()) {
            options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
            options.lpszAutoConfigUrl = pacUrl.c_str();
        }
        if (detect) {
            options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
            options.dwAutoDetectFlags =
                WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
        }
        options.fAutoLogonIfChallenged = TRUE;
        WINHTTP_PROXY_INFO info{};
        if (session && http.GetProxyForUrl(session.get(), url.c_str(), &options, &info)) {
            const UniqueGlobalText list(info.lpszProxy);
            const UniqueGlobalText bypass(info.lpszProxyBypass);
            if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && list)
                answer->proxy = ProxyForScheme(list.get(), L"http"); // the first of the list
            answer->ok = true;
        }
        SetEvent(answer->done.get());
    }).detach();
    if (!s_seams.awaitProxy(answer->done.get()))
        return false;
    proxy = answer->proxy;
    return answer->ok;
}

// As Windows has it: an automatic configuration first, when there is one and it answers, then
// the fixed proxy unless the host is bypassed; else none.
Resolved Resolve(const std::wstring& url, const std::wstring& host) {
    const WinHttpApi* http = WinHttp();
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    if (!http || !http->GetIEProxyConfigForCurrentUser(&config))
        return {};
    const UniqueGlobalText pacUrl(config.lpszAutoConfigUrl);
    const UniqueGlobalText fixed(config.lpszProxy);
    const UniqueGlobalText bypass(config.lpszProxyBypass);
    if (config.fAutoDetect || pacUrl) {
        std::wstring server;
        if (AskAutoProxy(url, config.fAutoDetect, pacUrl ? pacUrl.get() : L"", server))
            return {{server, {}},
                    pacUrl ? L" (from the system's PAC file)" : L" (found automatically)"};
    }
    if (fixed) {
        const std::wstring scheme = url.compare(0, 8, L"https://") == 0 ? L"https" : L"http";
        const std::wstring server = ProxyForScheme(fixed.get(), scheme);
        const std::wstring list = bypass ? bypass.get() : L"";
        if (!server.empty() && !Bypassed(host, list))
            return {{server, list}, L" (from the system's settings)"};
    }
    return {};
}

struct Known {
    Proxy proxy;
    std::wstring line; // for setup.log
    bool logged = false;
};
std::mutex s_proxiesLock;
std::map<std::wstring, Known> s_proxies; // by host, for this run

} // namespace

Proxy ProxyFor(const std::wstring& url, bool quiet) {
    UrlParts parts;
    if (!CrackUrl(url, parts))
        return {};
    const std::wstring host = Lowered(parts.host);
    std::unique_lock<std::mutex> lock(s_proxiesLock);
    auto known = s_proxies.find(host);
    if (known == s_proxies.end()) {
        lock.unlock(); // the lookup may take seconds
        const Resolved resolved = Resolve(url, host);
        lock.lock();
        const std::wstring line =
            L"Proxy for " + host + L": " +
            (resolved.proxy.server.empty() ? L"none" : L"http://" + resolved.proxy.server) +
            resolved.from;
        known = s_proxies.emplace(host, Known{resolved.proxy, line}).first;
    }
    const Known entry = known->second;
    if (!quiet)
        known->second.logged = true;
    lock.unlock();
    if (!quiet && !entry.logged)
        Log(entry.line);
    return entry.proxy;
}

void ForgetProxies() {
    std::lock_guard<std::mutex> lock(s_proxiesLock);
    s_proxies.clear();
}

} // namespace setup
