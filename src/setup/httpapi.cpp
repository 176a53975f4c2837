// WinHTTP from System32 alone.
#include "httpapi.h"

namespace setup {

namespace {

constexpr DWORD kHostLimit = 256;
constexpr DWORD kPathLimit = 2048;
constexpr DWORD kExtraLimit = 2048;

} // namespace

const WinHttpApi* WinHttp() {
    static const WinHttpApi* const api = []() -> const WinHttpApi* {
        static WinHttpApi table;
        const bool ok = BindAll(
            L"winhttp.dll",
            {{table.CrackUrl, "WinHttpCrackUrl"},
             {table.Open, "WinHttpOpen"},
             {table.SetTimeouts, "WinHttpSetTimeouts"},
             {table.Connect, "WinHttpConnect"},
             {table.OpenRequest, "WinHttpOpenRequest"},
             {table.SendRequest, "WinHttpSendRequest"},
             {table.ReceiveResponse, "WinHttpReceiveResponse"},
             {table.QueryHeaders, "WinHttpQueryHeaders"},
             {table.ReadData, "WinHttpReadData"},
             {table.CloseHandle, "WinHttpCloseHandle"},
             {table.SetStatusCallback, "WinHttpSetStatusCallback"},
             {table.SetOption, "WinHttpSetOption"},
             {table.GetIEProxyConfigForCurrentUser, "WinHttpGetIEProxyConfigForCurrentUser"},
             {table.GetProxyForUrl, "WinHttpGetProxyForUrl"},
             {table.QueryAuthSchemes, "WinHttpQueryAuthSchemes"},
             {table.SetCredentials, "WinHttpSetCredentials"}});
        return ok ? &table : nullptr;
    }();
    return api;
}

bool CrackUrl(const std::wstring& url, UrlParts& parts) {
    const WinHttpApi* http = WinHttp();
    if (!http)
        return false;
    wchar_t host[kHostLimit];
    wchar_t path[kPathLimit];
    wchar_t extra[kExtraLimit];
    URL_COMPONENTS components{};
    components.dwStructSize = sizeof components;
    components.lpszHostName = host;
    components.dwHostNameLength = kHostLimit;
    components.lpszUrlPath = path;
    components.dwUrlPathLength = kPathLimit;
    components.lpszExtraInfo = extra;
    components.dwExtraInfoLength = kExtraLimit;
    if (!http->CrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &components))
        return false;
    parts.host.assign(host, components.dwHostNameLength);
    parts.port = components.nPort;
    parts.secure = components.nScheme == INTERNET_SCHEME_HTTPS;
    parts.target = std::wstring(path, components.dwUrlPathLength) +
                   std::wstring(extra, components.dwExtraInfoLength);
    return true;
}

} // namespace setup
