// One asynchronous WinHTTP request: opened, sent, its status and headers read, its body read on
// the pool, and its lifetime shared with WinHTTP's own threads.
#pragma once

#include "httpapi.h"
#include "proxy.h"

#include <memory>
#include <string>

namespace setup {

class Call; // the request's calls, as WinHTTP reports them (httpcall.cpp)

// An open request with its session, connection and call; the call is left behind properly
// however the request ends.
class Request {
  public:
    Request() = default;
    ~Request();
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    // Opens a GET of where, through the proxy (none: directly); 0, or the error that stopped it.
    DWORD Open(const WinHttpApi& http, const UrlParts& where, const Proxy& proxy);
    // Sends it with these extra header lines and waits for the answer's headers; 0, or why not.
    // A proxy that asks who is there gets the signed-in user's own Windows sign-in, once.
    DWORD Send(const std::wstring& headers);
    // Reads the next block of the body: true with its bytes (none at the end), or false when
    // the read failed or the run was cancelled (error says why).
    bool ReadBlock(const char*& data, DWORD& got, DWORD& error);

    DWORD Status() const;
    ULONGLONG ContentLength() const;
    std::wstring Header(const wchar_t* name) const; // empty when absent

  private:
    DWORD SendOnce(const std::wstring& headers);
    struct ReleaseCall {
        void operator()(Call* call) const;
    };
    const WinHttpApi* m_http = nullptr;
    bool m_viaProxy = false;
    UniqueInternet m_session;
    UniqueInternet m_connection;
    UniqueInternet m_request;
    std::unique_ptr<Call, ReleaseCall> m_call;
};

} // namespace setup
