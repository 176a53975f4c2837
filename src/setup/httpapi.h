// WinHTTP, bound at run time from System32, and the owner of its handles.
#pragma once

#include "system.h"

#include <winhttp.h>

namespace setup {

constexpr wchar_t kAgent[] = L"Ironvale-Setup"; // how Setup names itself to every server

struct WinHttpApi {
    decltype(&::WinHttpCrackUrl) CrackUrl;
    decltype(&::WinHttpOpen) Open;
    decltype(&::WinHttpSetTimeouts) SetTimeouts;
    decltype(&::WinHttpConnect) Connect;
    decltype(&::WinHttpOpenRequest) OpenRequest;
    decltype(&::WinHttpSendRequest) SendRequest;
    decltype(&::WinHttpReceiveResponse) ReceiveResponse;
    decltype(&::WinHttpQueryHeaders) QueryHeaders;
    decltype(&::WinHttpReadData) ReadData;
    decltype(&::WinHttpCloseHandle) CloseHandle;
    decltype(&::WinHttpSetStatusCallback) SetStatusCallback;
    decltype(&::WinHttpSetOption) SetOption;
    decltype(&::WinHttpGetIEProxyConfigForCurrentUser) GetIEProxyConfigForCurrentUser;
    decltype(&::WinHttpGetProxyForUrl) GetProxyForUrl;
    decltype(&::WinHttpQueryAuthSchemes) QueryAuthSchemes;
    decltype(&::WinHttpSetCredentials) SetCredentials;
};

// winhttp.dll is no KnownDLL: imported, it would be taken from setup.exe's own folder. Null when
// System32 has none, and every download then fails as an unreachable one does.
const WinHttpApi* WinHttp();

inline void CloseInternet(HINTERNET handle) {
    WinHttp()->CloseHandle(handle);
}
using UniqueInternet = Unique<HINTERNET, CloseInternet>; // only made once WinHttp() is there

inline void FreeGlobal(wchar_t* text) {
    GlobalFree(text);
}
using UniqueGlobalText = Unique<wchar_t*, FreeGlobal>; // strings WinHTTP's proxy calls hand out

// The host, port, scheme and path of a URL; false when WinHTTP can't read it.
struct UrlParts {
    std::wstring host;
    INTERNET_PORT port = 0;
    bool secure = false;
    std::wstring target; // the path and query
};
bool CrackUrl(const std::wstring& url, UrlParts& parts);

} // namespace setup
