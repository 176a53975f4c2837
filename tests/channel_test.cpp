// Status channel: setup.log bytes, what reaches the window, ownership of posted strings,
// Widen, and the worker's behaviour when the window's queue is full.
#include "support.h"

#include <gtest/gtest.h>

#include <future>
#include <stdexcept>
#include <thread>

using namespace setup;
using namespace testing_support;

namespace {

std::atomic<int> g_doneAttempts{0};
std::atomic<int> g_doneFailures{0}; // how many kMsgDone posts still fail

// Windows refuses posts to a full queue; Wine has no limit, so the refusal is made here.
BOOL WINAPI QueueFull(HWND, UINT message, WPARAM, LPARAM) {
    if (message == kMsgDone)
        ++g_doneAttempts;
    return FALSE;
}

BOOL WINAPI QueueFullForDone(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kMsgDone) {
        ++g_doneAttempts;
        if (g_doneFailures-- > 0)
            return FALSE;
    }
    return PostMessageW(window, message, wParam, lParam);
}

std::atomic<int> g_posts{0};

BOOL WINAPI CountPosts(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    ++g_posts;
    return PostMessageW(window, message, wParam, lParam);
}

class Channel : public ::testing::Test {
  protected:
    void SetUp() override {
        g_doneAttempts = 0;
        g_doneFailures = 0;
    }
    void TearDown() override { CloseLog(); }
    TempFolder temp;
};

TEST_F(Channel, LogAndStatusWriteExactBytesAndReachTheWindow) {
    Inbox inbox;
    const fs::path log = temp.path() / L"setup.log";
    OpenLog(log);
    Log(L"Gr\u00fc\u00dfe");
    Status(L"Checking the tools");
    Log(L"");
    Log(L"a\nb");
    CloseLog();

    EXPECT_EQ(ReadBytes(log), "Gr\xc3\xbc\xc3\x9f"
                              "e\r\n== Checking the tools\r\n\r\na\r\nb\r\n");

    inbox.Pump();
    ASSERT_EQ(inbox.received.size(), 5u);
    const std::vector<std::pair<UINT, std::wstring>> expected = {
        {kMsgLog, L"Gr\u00fc\u00dfe"},
        {kMsgLog, L"== Checking the tools"},
        {kMsgStatus, L"Checking the tools"},
        {kMsgLog, L""},
        {kMsgLog, L"a\nb"},
    };
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(inbox.received[i].message, expected[i].first) << i;
        EXPECT_EQ(inbox.received[i].text, expected[i].second) << i;
        EXPECT_EQ(inbox.received[i].wParam, 0u) << i;
    }
}

// However much the worker reports before the window looks, one message waits in the queue,
// and the window then finds every line in order with the latest status and progress.
TEST_F(Channel, ReportsWaitBehindOneMessage) {
    Override posting(&Seams::post, CountPosts);
    g_posts = 0;
    Inbox inbox;
    std::vector<std::wstring> lines;
    for (int i = 0; i < 1000; ++i) {
        lines.push_back(L"line " + std::to_wstring(i));
        Log(lines.back());
        PostProgress(i % 100);
        if (i % 10 == 0)
            PostStatus(L"status " + std::to_wstring(i));
    }
    inbox.Pump();
    EXPECT_EQ(g_posts.load(), 1);
    EXPECT_EQ(inbox.Texts(kMsgLog), lines);
    EXPECT_EQ(inbox.Texts(kMsgStatus), std::vector<std::wstring>{L"status 990"});
    ASSERT_EQ(inbox.Count(kMsgProgress), 1);
    EXPECT_EQ(inbox.received.back().wParam, 99u);

    // A window that takes nothing for long finds the newest lines, about what its box shows.
    const std::wstring line(99, L'x');
    for (int i = 0; i < 10000; ++i)
        Log(line);
    Log(L"the newest");
    inbox.Pump();
    const auto kept = inbox.Texts(kMsgLog);
    const size_t flood = kept.size() - lines.size() - 1;
    EXPECT_LT(flood, 10000u);
    EXPECT_LE(flood * 101, 2 * kDetailsLimit);
    EXPECT_GE(flood * 101, kDetailsLimit - 101);
    EXPECT_EQ(kept.back(), L"the newest");
    EXPECT_EQ(g_posts.load(), 2);
}

TEST_F(Channel, SecondRunAppendsToTheLog) {
    Inbox inbox;
    const fs::path log = temp.path() / L"setup.log";
    OpenLog(log);
    Log(L"first run");
    CloseLog();
    OpenLog(log);
    Log(L"second run");
    CloseLog();
    EXPECT_EQ(ReadBytes(log), "first run\r\nsecond run\r\n");
}

TEST_F(Channel, LinesWithoutAnOpenLogStillReachTheWindow) {
    Inbox inbox;
    Log(L"never opened");
    OpenLog(temp.path() / L"no such folder" / L"setup.log"); // fails: the run goes on
    Log(L"open failed");
    inbox.Pump();
    EXPECT_EQ(inbox.Texts(kMsgLog), (std::vector<std::wstring>{L"never opened", L"open failed"}));
    EXPECT_FALSE(fs::exists(temp.path() / L"no such folder"));
}

TEST_F(Channel, WidenDecodesUtf8ElseTheAnsiCodePage) {
    // The fallback case below is only meaningful under Windows-1252.
    ASSERT_EQ(GetACP(), 1252u);
    struct Case {
        const char* name;
        std::string bytes;
        std::wstring text;
    };
    const Case cases[] = {
        {"strict UTF-8",
         "Gr\xc3\xbc\xc3\x9f"
         "e",
         L"Gr\u00fc\u00dfe"},
        {"Windows-1252",
         "Gr\xfc\xdf"
         "e",
         L"Gr\u00fc\u00dfe"},
        {"empty", "", L""},
        {"NUL inside", std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
        {"truncated UTF-8 sequence", "ok\xc3", L"ok\u00c3"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Widen(c.bytes), c.text) << c.name;
}

TEST_F(Channel, FailedIsNotAStandardException) {
    bool caughtAsFailed = false;
    try {
        try {
            Fail(L"Broken.");
        } catch (const std::exception&) {
            ADD_FAILURE() << "Failed was caught as a std::exception";
        }
    } catch (const Failed& failed) {
        caughtAsFailed = failed.message == L"Broken.";
    }
    EXPECT_TRUE(caughtAsFailed);
}

TEST_F(Channel, CheckCancelThrowsOnlyOnceCancelled) {
    EXPECT_NO_THROW(CheckCancel());
    s_cancel = true;
    EXPECT_EQ(OutcomeOf(CheckCancel), L"Cancelled.");
}

TEST_F(Channel, ProgressKeepsItsSign) { // -1: under way, how far unknown
    Override posting(&Seams::post, QueueFull); // what is reported waits for TakePending
    PostProgress(-1);
    EXPECT_EQ(TakePending().progress, std::optional<int>(-1));
    PostProgress(45);
    EXPECT_EQ(TakePending().progress, std::optional<int>(45));
}

// Through the real post function: the window, taking its reports as each doorbell comes, finds
// every line, the latest status and the end, and every report is freed once taken.
TEST_F(Channel, EveryReportIsTakenAndFreedOnce) {
    Override posting(&Seams::post, PostMessageW);
    const long long before = LiveAllocations();
    {
        Inbox inbox;
        for (int i = 0; i < 1000; ++i) {
            Log(L"a line long enough to live on the heap, number " + std::to_wstring(i));
            Status(L"status " + std::to_wstring(i));
        }
        PostDone(true, L"done");
        inbox.Pump();
        EXPECT_EQ(inbox.Count(kMsgLog), 2000);
        EXPECT_EQ(inbox.Texts(kMsgStatus), std::vector<std::wstring>{L"status 999"});
        EXPECT_EQ(inbox.Count(kMsgDone), 1);
    }
    EXPECT_EQ(LiveAllocations(), before);
}

TEST_F(Channel, RefusedPostsFreeWhatTheyCarried) {
    Override posting(&Seams::post, QueueFull);
    const long long before = LiveAllocations();
    {
        Inbox inbox;
        for (int i = 0; i < 1000; ++i) {
            Log(L"a line long enough to live on the heap, number " + std::to_wstring(i));
            Status(L"status " + std::to_wstring(i));
        }
        inbox.Pump();
        EXPECT_TRUE(inbox.received.empty());
    }
    PostDone(false, L"Cancelled."); // no window any more: nobody to wait for
    EXPECT_EQ(LiveAllocations(), before);
    EXPECT_GT(g_doneAttempts.load(), 0);
}

TEST_F(Channel, EndOfRunWaitsForRoomInTheQueue) {
    Override posting(&Seams::post, QueueFullForDone);
    g_doneFailures = 3;
    const long long before = LiveAllocations();
    {
        Inbox inbox;
        PostDone(true, L"Done. Start the game with the launcher.");
        inbox.Pump();
        ASSERT_EQ(inbox.Count(kMsgDone), 1);
        EXPECT_EQ(inbox.received.back().wParam, 1u);
        EXPECT_EQ(inbox.received.back().text, L"Done. Start the game with the launcher.");
    }
    EXPECT_EQ(g_doneAttempts.load(), 4);
    EXPECT_EQ(LiveAllocations(), before);
}

TEST_F(Channel, EndOfRunWaitsForRoomEvenAfterACancel) {
    // A closing window now pumps until this message arrives, so it must never be given up.
    Override posting(&Seams::post, QueueFullForDone);
    g_doneFailures = 450; // retried 5 ms apart: longer than any grace period
    s_cancel = true;
    Inbox inbox;
    PostDone(false, L"Cancelled.");
    inbox.Pump();
    EXPECT_EQ(inbox.Count(kMsgDone), 1);
}

} // namespace
