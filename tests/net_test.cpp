// HTTP fetch: real WinHTTP against the stand-in services on 127.0.0.1.
#include "httpapi.h"
#include "httppolicy.h"
#include "proxy.h"
#include "support.h"

#include <gtest/gtest.h>

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <thread>

using namespace setup;
using namespace testing_support;

namespace {

const std::wstring kStandIn = Widen(IRONVALE_STANDIN);

std::wstring Url(const std::wstring& path) {
    return kStandIn + path;
}

// Byte i of every made-up body is i % 251.
bool IsPattern(const std::string& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i)
        if (static_cast<unsigned char>(bytes[i]) != i % 251)
            return false;
    return true;
}

bool GetBody(const std::wstring& url, std::string& body) {
    return Get(url, DocumentInto(body, std::wstring()));
}

bool GetFile(const std::wstring& url, const fs::path& file, const std::wstring& label = L"") {
    GetOptions options;
    options.file = &file;
    options.label = label;
    return Get(url, options);
}

unsigned long RequestsServed() {
    return static_cast<unsigned long>(StandInFigure(L"count"));
}

// A path the stand-in has not seen, for its faults that strike a path's first request only.
std::wstring Fresh(const std::wstring& path) {
    static int serial = 0;
    return path + L"?" + std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(++serial);
}

class Fetch : public ::testing::Test {
  protected:
    Inbox inbox;
    TempFolder temp;
};

// Requests: how many the stand-in saw, retries included (at most four, after 1, 3 and 9 s).
// What an answer means for a part left by an earlier attempt.
TEST(DownloadPolicy, WhatAnAnswerMeansForThePart) {
    struct Case {
        PartAnswer answer;
        PartPlan plan;
    };
    const Case cases[] = {
        {{0, 200, L""}, PartPlan::Whole},
        {{0, 206, L"bytes 0-9/10"}, PartPlan::Refused},
        {{0, 404, L""}, PartPlan::Refused},
        {{0, 416, L"bytes */10"}, PartPlan::Refused},
        {{5, 206, L"bytes 5-9/10"}, PartPlan::Resume},
        {{5, 206, L"bytes 4-9/10"}, PartPlan::OtherPart},
        {{5, 206, L"bytes */10"}, PartPlan::OtherPart},
        {{5, 206, L""}, PartPlan::OtherPart},
        {{5, 200, L""}, PartPlan::Restart},
        {{10, 416, L"bytes */10"}, PartPlan::TakeName},
        {{10, 416, L"bytes */12"}, PartPlan::DoesntFit},
        {{10, 416, L""}, PartPlan::DoesntFit},
        {{10, 416, L"bytes */12", 1}, PartPlan::TakeName}, // the digest decides
        {{10, 416, L"bytes */10", 0}, PartPlan::DoesntFit},
        {{5, 503, L""}, PartPlan::Refused},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PlanFor(c.answer), c.plan) << "row " << &c - cases + 1;
}

// Which faults may pass by waiting, in the words setup.log gives them.
TEST(DownloadPolicy, WhichFaultsMayPass) {
    struct Case {
        DWORD error;
        DWORD status;
        const wchar_t* reason;
        Outcome outcome;
    };
    const Case cases[] = {
        {ERROR_WINHTTP_NAME_NOT_RESOLVED, 0, L"couldn't look up h", Outcome::Retry},
        {ERROR_WINHTTP_CANNOT_CONNECT, 0, L"no answer from h", Outcome::Retry},
        {ERROR_WINHTTP_TIMEOUT, 0, L"timed out", Outcome::Retry},
        {ERROR_WINHTTP_CONNECTION_ERROR, 0, L"connection reset", Outcome::Retry},
        {ERROR_WINHTTP_INVALID_SERVER_RESPONSE, 0, L"a garbled answer", Outcome::Retry},
        {ERROR_WINHTTP_SECURE_CHANNEL_ERROR, 0, L"the secure connection broke off", Outcome::Retry},
        {ERROR_WINHTTP_AUTODETECTION_FAILED, 0, L"the proxy settings couldn't be used",
         Outcome::Retry},
        {ERROR_WINHTTP_INTERNAL_ERROR, 0, L"a network error", Outcome::Retry},
        {ERROR_WINHTTP_SECURE_INVALID_CA, 0, L"the server's certificate isn't trusted",
         Outcome::Stop},
        {ERROR_WINHTTP_SECURE_CERT_DATE_INVALID, 0, L"the server's certificate isn't trusted",
         Outcome::Stop},
        {ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED, 0, L"the server's certificate isn't trusted",
         Outcome::Stop},
        {0, 500, L"HTTP 500", Outcome::Retry},
        {0, 502, L"HTTP 502", Outcome::Retry},
        {0, 503, L"HTTP 503", Outcome::Retry},
        {0, 504, L"HTTP 504", Outcome::Retry},
        {0, 501, L"HTTP 501", Outcome::Stop},
        {0, 404, L"HTTP 404", Outcome::Stop},
        {0, 429, L"HTTP 429", Outcome::Stop},
        {0, 407, L"HTTP 407 (the proxy asks for a sign-in)", Outcome::Stop},
    };
    for (const auto& c : cases) {
        const Fault fault = c.status ? StatusFault(c.status) : NoAnswerFault(L"h", c.error);
        EXPECT_EQ(fault.reason, c.reason) << "row " << &c - cases + 1;
        EXPECT_EQ(fault.outcome, c.outcome) << "row " << &c - cases + 1;
    }
    EXPECT_EQ(kAttempts, 4);
    EXPECT_EQ(RetryWaitMs(1), 1000u);
    EXPECT_EQ(RetryWaitMs(2), 3000u);
    EXPECT_EQ(RetryWaitMs(3), 9000u);
}

// The status line while a download runs: the count never passes the total.
TEST(DownloadPolicy, ProgressText) {
    constexpr ULONGLONG kMiB = 1048576;
    struct Case {
        ULONGLONG received;
        ULONGLONG expected;
        const wchar_t* text;
        int percent;
    };
    const Case cases[] = {
        {0, 0, L"Downloading CMake: 0 MB", -1},
        {3 * kMiB, 0, L"Downloading CMake: 3 MB", -1},
        {0, 50 * kMiB, L"Downloading CMake: 0 MB of 50 MB", 0},
        {49 * kMiB + kMiB * 6 / 10, 49 * kMiB + kMiB * 6 / 10, L"Downloading CMake: 50 MB of 50 MB",
         100},
        {49 * kMiB + kMiB * 4 / 10, 49 * kMiB + kMiB * 6 / 10, L"Downloading CMake: 49 MB of 50 MB",
         99},
        {2048 * kMiB, 4096 * kMiB, L"Downloading CMake: 2048 MB of 4096 MB", 50},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ProgressText(L"CMake", c.received, c.expected), c.text)
            << "row " << &c - cases + 1;
        EXPECT_EQ(ProgressPercent(c.received, c.expected), c.percent) << "row " << &c - cases + 1;
    }
}

TEST_F(Fetch, WholeBodiesArriveOnlyWithStatus200) {
    struct Case {
        std::wstring path;
        bool ok;
        size_t size;
        unsigned long requests;
        std::vector<DWORD> waits;
    };
    const std::vector<DWORD> all = {1000, 3000, 9000};
    const Case cases[] = {
        {L"/fault/bytes/100000", true, 100000, 1, {}},
        {L"/fault/bytes/0", true, 0, 1, {}},
        {L"/fault/noclen/100000", true, 100000, 1, {}},
        {L"/fault/chunked/100000", true, 100000, 1, {}},
        {L"/fault/redirect/5000", true, 5000, 2, {}},
        {L"/fault/short/100000", false, 0, 4, all},
        {L"/fault/reset/100000", false, 0, 4, all},
        {L"/fault/chunkcut/100000", false, 0, 4, all},
        {Fresh(L"/fault/once503/5000"), true, 5000, 2, {1000}},
        {Fresh(L"/fault/cutonce/5000"), true, 5000, 2, {1000}},
        {L"/fault/status/404", false, 0, 1, {}},
        {L"/fault/status/403", false, 0, 1, {}},
        {L"/fault/status/500", false, 0, 4, all},
        {L"/fault/status/504", false, 0, 4, all},
        {L"/no/such/document", false, 0, 1, {}},
        {L"/fault/bytes/33554433", false, 0, 1, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(fs::path(c.path).string());
        Pauses().clear();
        const unsigned long before = RequestsServed();
        std::string body;
        EXPECT_EQ(GetBody(Url(c.path), body), c.ok);
        EXPECT_EQ(RequestsServed() - before - 1, c.requests);
        EXPECT_EQ(Pauses(), c.waits);
        if (c.ok) {
            EXPECT_EQ(body.size(), c.size);
            EXPECT_TRUE(IsPattern(body));
        }
    }
    EXPECT_FALSE(Get(L"http://127.0.0.1:1/nothing/listens/here"));
    EXPECT_FALSE(Get(L"not a url"));
    inbox.Pump();
    EXPECT_TRUE(inbox.received.empty()); // no label: nothing for the window
}

TEST_F(Fetch, SaysWhoItIs) {
    std::string headers;
    ASSERT_TRUE(GetBody(Url(L"/fault/headers/0"), headers));
    EXPECT_NE(headers.find("User-Agent: Ironvale-Setup\n"), std::string::npos) << headers;
    EXPECT_EQ(headers.find("User-Agent: Ironvale-Setup, "), std::string::npos) << headers;
}

TEST_F(Fetch, AFileIsWrittenWholeOrNotAtAll) {
    const fs::path file = temp.path() / L"body.bin";
    ASSERT_TRUE(GetFile(Url(L"/fault/chunked/70000"), file));
    EXPECT_EQ(fs::file_size(file), 70000u);
    EXPECT_TRUE(IsPattern(ReadBytes(file)));

    std::string body;
    GetOptions both = DocumentInto(body, std::wstring());
    both.file = &file;
    ASSERT_TRUE(Get(Url(L"/fault/bytes/3000"), both));
    EXPECT_EQ(ReadBytes(file), body);

    // An answer that is no archive leaves the file as it was, and no part beside it.
    EXPECT_FALSE(GetFile(Url(L"/fault/status/404"), file));
    EXPECT_EQ(ReadBytes(file), body);
    EXPECT_FALSE(fs::exists(file.native() + L".part"));
    const fs::path unwritable = temp.path() / L"no" / L"such" / L"x";
    EXPECT_FALSE(GetFile(Url(L"/fault/bytes/10"), unwritable));
}

// Each attempt goes on from the part the one before left: the stand-in serves each byte once.
// A retry is logged with its reason and its wait, the last failure with WinHTTP's number.
TEST_F(Fetch, ACutOffArchiveIsResumedAndEachRetryLogged) {
    const fs::path file = temp.path() / L"resumed.bin";
    const unsigned long long before = StandInFigure(L"sent");
    ASSERT_TRUE(GetFile(Url(Fresh(L"/fault/cutonce/3000000")), file, L"Clang"));
    EXPECT_EQ(StandInFigure(L"sent") - before, 3000000u);
    EXPECT_EQ(fs::file_size(file), 3000000u);
    EXPECT_TRUE(IsPattern(ReadBytes(file)));
    EXPECT_FALSE(fs::exists(file.native() + L".part"));

    // A reset half way, as a Wi-Fi drop ends a download: the part is continued all the same.
    const fs::path reset = temp.path() / L"reset.bin";
    ASSERT_TRUE(GetFile(Url(Fresh(L"/fault/resetonce/3000000")), reset, L"Python"));
    EXPECT_EQ(inbox.Logged(L"Python: resuming at ").size(), 1u);
    EXPECT_EQ(fs::file_size(reset), 3000000u);
    EXPECT_TRUE(IsPattern(ReadBytes(reset)));

    EXPECT_FALSE(GetFile(L"http://127.0.0.1:1/nothing", file, L"Git"));
    inbox.Pump();
    std::vector<std::wstring> logged = inbox.Texts(kMsgLog);
    logged.erase(std::remove_if(logged.begin(), logged.end(),
                                [](const std::wstring& line) {
                                    return line.rfind(L"Proxy for ", 0) == 0; // once per host
                                }),
                 logged.end());
    ASSERT_GE(logged.size(), 2u);
    EXPECT_EQ(
        logged[0],
        L"Clang: the download was cut off (the connection closed early); trying again in 1 s");
    EXPECT_EQ(logged[1], L"Clang: resuming at 1 MB");
    EXPECT_EQ(logged.back(), L"Git: no answer from 127.0.0.1 (WinHTTP error 12029)");
}

TEST_F(Fetch, OverLongUrlPartsFailWithoutAnyRequest) {
    const std::wstring longHost = L"http://" + std::wstring(300, L'a') + L".example/";
    const std::wstring longPath = Url(L"/" + std::wstring(3000, L'p'));
    const std::wstring longQuery = Url(L"/fault/bytes/1?" + std::wstring(3000, L'q'));
    const unsigned long before = RequestsServed();
    EXPECT_FALSE(Get(longHost));
    EXPECT_FALSE(Get(longPath));
    EXPECT_FALSE(Get(longQuery));
    EXPECT_EQ(RequestsServed(), before + 1); // only the count request between
    EXPECT_TRUE(Get(Url(L"/fault/bytes/1?" + std::wstring(2000, L'q')))); // within the limit
}

TEST_F(Fetch, ProgressIsOnePairPerWholePercent) {
    const std::wstring label = L"Git";
    constexpr ULONGLONG kSize = 61551411; // 58.7 MB: 59 of 59 at the end
    GetOptions progress;
    progress.label = label;
    progress.progress = true;
    ASSERT_TRUE(Get(Url(L"/fault/bytes/" + std::to_wstring(kSize)), progress));
    inbox.Pump();
    const int pairs = inbox.Count(kMsgProgress);
    EXPECT_LE(pairs, 101);
    EXPECT_GT(pairs, 10);
    EXPECT_EQ(inbox.Count(kMsgStatus), pairs);
    EXPECT_EQ(inbox.Count(kMsgLog), 0); // the download line is not logged
    INT_PTR last = -2;
    for (const auto& item : inbox.received) {
        if (item.message != kMsgProgress)
            continue;
        EXPECT_GT(static_cast<INT_PTR>(item.wParam), last);
        last = static_cast<INT_PTR>(item.wParam);
    }
    EXPECT_EQ(last, 100);
    EXPECT_EQ(inbox.Texts(kMsgStatus).back(), L"Downloading Git: 59 MB of 59 MB");

    inbox.received.clear();
    ASSERT_TRUE(Get(Url(L"/fault/noclen/3000000"), progress));
    inbox.Pump();
    ASSERT_EQ(inbox.Count(kMsgProgress), 1); // unknown size: one indeterminate pair
    EXPECT_EQ(static_cast<INT_PTR>(inbox.received[0].wParam), -1);
    ASSERT_EQ(inbox.Count(kMsgStatus), 1);
    EXPECT_EQ(inbox.Texts(kMsgStatus)[0], L"Downloading Git: 0 MB");
}

TEST_F(Fetch, ACancelEndsTheDownloadWhateverItWaitsFor) {
    struct Case {
        const char* name;
        std::wstring path;
        bool bodyBegun;
        ULONGLONG served; // what the stand-in must have sent first, so that a read waits at a stall
    };
    const Case cases[] = {
        {"a slow body", L"/fault/slow/" + std::to_wstring(200u << 20), true, 0}, // minutes in all
        {"no answer", L"/fault/hang/0", false, 0},
        {"a body stalled half way", L"/fault/stall/4000000", true, 2000000},
    };
    for (const auto& c : cases) {
        s_cancel = false;
        const fs::path file = temp.path() / (std::wstring(L"cancelled ") + Widen(c.name));
        std::atomic<ULONGLONG> cancelledAt{0};
        const std::wstring path = Fresh(c.path);
        const ULONGLONG sentBefore = StandInFigure(L"sent");
        std::thread cancel([&] {
            // Once the request is at the stand-in, and for a body once some of it is written.
            const fs::path part = file.native() + L".part";
            for (int wait = 0; wait < 1000; ++wait, Sleep(20)) {
                std::string paths;
                GetBody(Url(L"/fault/paths/0"), paths);
                std::error_code error;
                const auto written = fs::file_size(part, error);
                if (paths.find(Narrow(path)) != std::string::npos &&
                    (!c.bodyBegun || (!error && written > 0)) &&
                    StandInFigure(L"sent") - sentBefore >= c.served)
                    break;
            }
            cancelledAt = GetTickCount64();
            s_cancel = true;
        });
        const bool ok = GetFile(Url(path), file);
        const ULONGLONG returnedAt = GetTickCount64();
        cancel.join();
        EXPECT_FALSE(ok) << c.name;
        // WinHTTP's own time-outs would take 15 to 60 s; a cancel must not wait for them.
        std::printf("cancel to return, %-24s %5llu ms\n", c.name, returnedAt - cancelledAt);
        EXPECT_LT(returnedAt - cancelledAt, 2000u) << c.name;
        // What arrived stays as the part, for the next attempt to continue.
        const fs::path part = file.native() + L".part";
        const auto size = fs::exists(part) ? fs::file_size(part) : 0; // none before an answer
        EXPECT_EQ(size > 0, c.bodyBegun) << c.name;
        EXPECT_LT(size, 10u << 20) << c.name;
        EXPECT_TRUE(IsPattern(ReadBytes(part))) << c.name;
        EXPECT_FALSE(fs::exists(file)) << c.name;
    }
}

SIZE_T PeakWorkingSet() {
    PROCESS_MEMORY_COUNTERS counters{};
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PeakWorkingSetSize;
}

TEST_F(Fetch, AFileDownloadKeepsMemoryFlat) {
    const SIZE_T before = PeakWorkingSet();
    const fs::path file = temp.path() / L"big.bin";
    constexpr ULONGLONG kSize = 300ull << 20;
    ASSERT_TRUE(GetFile(Url(L"/fault/bytes/" + std::to_wstring(kSize)), file));
    EXPECT_EQ(fs::file_size(file), kSize);
    EXPECT_GT(PeakWorkingSet(), 0u);
    EXPECT_LT(PeakWorkingSet() - before, 32u << 20);
}

// The system's proxy settings as Windows writes them, read as WinHTTP reads them.
TEST(ProxyRules, ListsBypassesAndNoProxy) {
    const struct {
        const wchar_t* list;
        const wchar_t* scheme;
        const wchar_t* proxy;
    } lists[] = {
        {L"proxy:8080", L"https", L"proxy:8080"},
        {L"http=a:80;https=b:443", L"https", L"b:443"},
        {L"http=a:80;https=b:443", L"http", L"a:80"},
        {L"http=a:80", L"https", L""},
        {L"HTTPS=http://b:443 ftp=c:21", L"https", L"b:443"},
        {L"p1:80; p2:80", L"http", L"p1:80"}, // a PAC file's list: the first
        {L"", L"http", L""},
    };
    for (const auto& row : lists)
        EXPECT_EQ(ProxyForScheme(row.list, row.scheme), row.proxy) << Narrow(row.list);
    const struct {
        const wchar_t* host;
        const wchar_t* bypass;
        bool bypassed;
    } hosts[] = {
        {L"github.com", L"<local>", false},
        {L"intranet", L"<local>", true},
        {L"build.corp.example", L"*.corp.example", true},
        {L"corp.example", L"*.corp.example", false},
        {L"GitHub.com", L"github.com", true},
        {L"127.0.0.3", L"10.*;127.*", true},
        {L"api.github.com", L"", false},
        {L"api.github.com", L"https://*.github.com", true},
    };
    for (const auto& row : hosts)
        EXPECT_EQ(Bypassed(row.host, row.bypass), row.bypassed)
            << Narrow(row.host) << " / " << Narrow(row.bypass);
    EXPECT_EQ(NoProxyList(L"<local>;*.corp.example;<-loopback>"), L"localhost,.corp.example");
    EXPECT_EQ(NoProxyList(L"10.*, intranet"), L"10.*,intranet");
}

// The system's proxy serves the downloads, and what it can't do is said plainly: a proxy that
// wants a sign-in Setup can't give is named; a PAC file that never comes costs a few seconds,
// and the download goes direct; a cancel meanwhile ends the wait at once.
TEST_F(Fetch, TheSystemsProxyIsUsedOrNamed) {
    const std::wstring url = Widen(IRONVALE_SERVICES) + L"/fault/bytes/1000";
    const fs::path signIn = standin::Root() / L"proxy-signin";
    std::string body;
    HttpAnswer answer;
    {
        const SystemProxy settings("", IRONVALE_PROXY, "<local>");
        EXPECT_TRUE(Get(url, DocumentInto(body, L"Git", &answer)));
        EXPECT_NE(ProxyPassed().find("GET " + Narrow(url)), std::string::npos);
        WriteBytes(signIn, "");
        EXPECT_FALSE(Get(url, DocumentInto(body, L"Git", &answer)));
        fs::remove(signIn);
        EXPECT_EQ(ProxySignInRefusal(answer), L"The proxy " + Widen(IRONVALE_PROXY) +
                                                  L" asks for a sign-in that Setup can't give.");
    }
    const SystemProxy noPac(IRONVALE_STANDIN "/fault/hang/0", "", "", true);
    ULONGLONG start = GetTickCount64();
    {
        const Override quickly(
            &Seams::awaitProxy,
            +[](HANDLE answered) { return WaitUnlessCancelled(answered, 200); });
        EXPECT_TRUE(Get(url, DocumentInto(body, L"Git")));
    }
    EXPECT_LT(GetTickCount64() - start, 8000u);
    inbox.Pump();
    const auto logged = inbox.Texts(kMsgLog);
    EXPECT_NE(std::find(logged.begin(), logged.end(), L"Proxy for 127.0.0.3: none"), logged.end());

    ForgetProxies();
    std::thread cancel([] {
        Sleep(300);
        s_cancel = true;
    });
    start = GetTickCount64();
    EXPECT_FALSE(Get(url, DocumentInto(body, L"Git")));
    EXPECT_LT(GetTickCount64() - start, 1500u);
    cancel.join();
}

TEST_F(Fetch, ADocumentStopsAt32MiB) {
    // No Content-Length to refuse it by: the body itself is cut off.
    const SIZE_T before = PeakWorkingSet();
    std::string body;
    EXPECT_FALSE(GetBody(Url(L"/fault/noclen/" + std::to_wstring(256u << 20)), body));
    EXPECT_LE(body.size(), 32u << 20);
    const SIZE_T after = PeakWorkingSet();
    std::printf("peak working set %.1f MB, %.1f MB above the %.1f MB before\n", after / 1048576.0,
                (after - before) / 1048576.0, before / 1048576.0);
    EXPECT_LT(after - before, 100u << 20);
}

} // namespace
