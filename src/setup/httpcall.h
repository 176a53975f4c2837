// One asynchronous WinHTTP request: opened, sent, its status and headers read, its body read on
// the pool, and its lifetime shared with WinHTTP's own threads.
#pragma once

#include "httpapi.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace setup {

// One read asks for this much: the body comes in a few calls per megabyte instead of one call and
// one thread switch for every 8 KB that WinHTTP buffers (0.55 of a bare read loop, under Wine).
constexpr DWORD kBlock = 64 * 1024;

// The request's calls run asynchronously, so that the worker waits on its own terms and a
// cancel ends the wait at once, whatever WinHTTP is waiting for (name resolution, connect,
// TLS, the response, a stalled body). WinHTTP's threads report each call's outcome here.
// A cancelled call may still complete, into the buffer, until WinHTTP closes the request: so
// the worker, the request and a read under way each hold a reference, and the last one frees it.
class Call {
  public:
    Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    void Hold() { ++m_references; }
    void Release();
    void Complete(DWORD result, DWORD error);
    // The outcome of the call just made: false when it failed (error() says why) or the run
    // was cancelled.
    bool Wait(DWORD& result);
    // The outcome of the read just started, once its call has returned as well: WinHTTP reports
    // a read before its call is done with the request, and a next read made meanwhile from
    // another thread was lost now and then under Wine, the worker waiting for good.
    bool WaitRead(DWORD& got);
    DWORD error() const { return m_error; }
    // Starts a read of up to kBlock bytes into buffer, made on a pool thread. Wine's
    // WinHttpReadData may block its caller, asynchronous handle or not, until the rest of the
    // block arrives or the receive time-out (60 s) ends it; Windows' returns at once. Either
    // way the worker stays free to notice a cancel.
    bool Read(HINTERNET request);
    // The worker is done with the request: true when a read is still inside WinHttpReadData,
    // which then closes the request itself once it returns, instead of the worker waiting.
    bool Leave();

    std::vector<char> buffer = std::vector<char>(kBlock); // where a read lands, every time

  private:
    static void CALLBACK ReadOnPool(PTP_CALLBACK_INSTANCE, void* context);
    ~Call() = default;

    UniqueHandle m_done;
    UniqueHandle m_returned;
    std::atomic<DWORD> m_result{0};
    std::atomic<DWORD> m_error{0};
    std::atomic<int> m_references{1};
    const DWORD m_owner = GetCurrentThreadId();
    bool m_inline = false; // touched by the owner's thread alone
    HINTERNET m_request = nullptr;
    std::mutex m_lock; // over the two flags below
    bool m_reading = false;
    bool m_left = false;
};

// Where a GET goes, and through which proxy (empty: directly).
struct Destination {
    const UrlParts& where;
    const std::wstring& proxy;
    const std::wstring& bypass;
};

// An open request with its session, connection and call; the call is left behind properly
// however the request ends.
class Request {
  public:
    Request() = default;
    Request(Request&&) = default;
    ~Request();
    // Opens a GET; 0, or the error that stopped it.
    DWORD Open(const WinHttpApi& http, const Destination& to);
    // Sends it with these extra header lines and waits for the answer's headers; 0, or why not.
    // A proxy that asks who is there gets the signed-in user's own Windows sign-in, once.
    DWORD Send(const std::wstring& headers);
    HINTERNET get() const { return m_request.get(); }
    Call& call() const { return *m_call; }

    DWORD Status() const;
    ULONGLONG ContentLength() const;
    std::wstring Header(const wchar_t* name) const; // empty when absent

  private:
    DWORD SendOnce(const std::wstring& headers);
    struct ReleaseCall {
        void operator()(Call* call) const { call->Release(); }
    };
    const WinHttpApi* m_http = nullptr;
    bool m_viaProxy = false;
    UniqueInternet m_session;
    UniqueInternet m_connection;
    UniqueInternet m_request;
    std::unique_ptr<Call, ReleaseCall> m_call;
};

} // namespace setup
