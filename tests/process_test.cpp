// Process runner: real child processes, their output cut into lines, cancel through the job,
// handles, Quote and GitOutput.
#include "support.h"

#include <gtest/gtest.h>

#include <shellapi.h>

#include <stdexcept>
#include <thread>

using namespace setup;
using namespace testing_support;

namespace {

class Runner : public ::testing::Test {
  protected:
    // Runs the child with args; returns the lines the callback saw, in order.
    std::vector<std::string> Lines(const std::wstring& args, DWORD* exitCode = nullptr) {
        std::vector<std::string> lines;
        const DWORD code = setup::Run(ChildCommand(args), {},
                                      [&](std::string_view line) { lines.emplace_back(line); });
        if (exitCode)
            *exitCode = code;
        inbox.Pump();
        return lines;
    }

    Inbox inbox;
};

TEST_F(Runner, CutsOutputIntoLinesForTheCallbackAndTheLog) {
    struct Case {
        const char* name;
        std::wstring args;
        std::vector<std::string> callback;
        std::vector<std::wstring> logged; // after the command line
    };
    const Case cases[] = {
        {"CR LF and LF", LR"(out=a\r\nb\n)", {"a", "b"}, {L"a", L"b"}},
        {"bare CR rewrites", LR"(out=1\r2\r3\n)", {"1", "2", "3"}, {L"1", L"2", L"3"}},
        {"last piece unterminated", LR"(out=x\ny)", {"x", "y"}, {L"x", L"y"}},
        {"progress redraw not logged",
         LR"(out=\x20\x2045%\x20done\nnext\n)",
         {"  45% done", "next"},
         {L"next"}},
        {"one blank is logged", LR"(out=\x2045%\x20done\n)", {" 45% done"}, {L" 45% done"}},
        {"no blank is logged", LR"(out=45%\x20done\n)", {"45% done"}, {L"45% done"}},
        {"two blanks without percent",
         LR"(out=\x20\x20indented\n)",
         {"  indented"},
         {L"  indented"}},
        {"redraw as last piece is logged",
         LR"(out=\x20\x2099%\x20tail)",
         {"  99% tail"},
         {L"  99% tail"}},
        {"only terminators", LR"(out=\r\r\n\n)", {}, {}},
        {"no output", L"exit=0", {}, {}},
        {"stderr and stdout share the stream",
         LR"(err=e1\n out=o1\n err=e2)",
         {"e1", "o1", "e2"},
         {L"e1", L"o1", L"e2"}},
    };
    for (const auto& c : cases) {
        inbox.received.clear();
        EXPECT_EQ(Lines(c.args), c.callback) << c.name;
        std::vector<std::wstring> logged = {L"$ " + ChildCommand(c.args)};
        logged.insert(logged.end(), c.logged.begin(), c.logged.end());
        EXPECT_EQ(inbox.Texts(kMsgLog), logged) << c.name;
    }
}

TEST_F(Runner, PassesAwkwardBytesThroughWithoutALimit) {
    auto lines = Lines(LR"(out=a\0b\n)");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], std::string("a\0b", 3));

    inbox.received.clear();
    lines = Lines(LR"(out=\xff\xfeok\n)");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "\xff\xfeok");
    EXPECT_EQ(inbox.Texts(kMsgLog).back(), L"\u00ff\u00feok"); // not UTF-8: the ANSI code page

    constexpr size_t kTenMegabytes = 10u << 20;
    inbox.received.clear();
    lines = Lines(L"fill=" + std::to_wstring(kTenMegabytes) + L":x");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), kTenMegabytes);
    EXPECT_EQ(lines[0].find_first_not_of('x'), std::string::npos);
    EXPECT_EQ(inbox.Texts(kMsgLog).back().size(), kTenMegabytes);
}

// Many reads, with lines cut across block boundaries (the benchmark does a million).
TEST_F(Runner, ManyLinesArriveInOrder) {
    constexpr unsigned long kLines = 100000;
    unsigned long count = 0;
    bool inOrder = true;
    setup::Run(ChildCommand(L"lines=" + std::to_wstring(kLines)), {}, [&](std::string_view line) {
        ++count;
        if (count % 3 == 0)
            inOrder &= line.rfind("[" + std::to_string(count) + "/", 0) == 0;
        if (count % 10000 == 0)
            inbox.Pump(); // the window drains as it goes
    });
    inbox.Pump();
    EXPECT_EQ(count, kLines);
    EXPECT_TRUE(inOrder);
    // Two thirds are logged (the "  42%" redraws are not), plus the command line.
    EXPECT_EQ(inbox.Count(kMsgLog), static_cast<int>(kLines - (kLines + 2) / 3 + 1));
}

TEST_F(Runner, ReturnsTheExitCodeAsItIs) {
    for (DWORD code : {0ul, 1ul, 3ul, 0xDEADBEEFul}) {
        DWORD got = 12345;
        Lines(L"exit=" + std::to_wstring(code), &got);
        EXPECT_EQ(got, code);
    }
}

TEST_F(Runner, RunsInTheGivenFolder) {
    TempFolder temp;
    std::string folder;
    setup::Run(ChildCommand(L"cwd=1"), temp.path(), [&](std::string_view line) { folder = line; });
    EXPECT_EQ(fs::path(Widen(folder)), temp.path());
}

// A build can't stop to ask for a sign-in or die on a user's name, and a child can't reach
// what Setup holds: only its pipe is handed down, not every inheritable handle.
TEST_F(Runner, ChildrenGetAQuietEnvironmentAndOnlyTheirPipe) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    UniqueHandle event(CreateEventW(&inheritable, TRUE, FALSE, nullptr));
    wchar_t value[32];
    swprintf(value, 32, L"%llx", reinterpret_cast<unsigned long long>(event.get()));
    EXPECT_EQ(Lines(L"env=GIT_TERMINAL_PROMPT env=GCM_INTERACTIVE env=PYTHONUTF8 signal=" +
                    std::wstring(value)),
              (std::vector<std::string>{"0", "never", "1", "no such handle"}));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(Runner, ProgramsThatCannotStartFail) {
    TempFolder temp;
    // Windows would start each of these probes by its bare name: from this program's own
    // folder, from the current folder, from a WindowsApps entry of PATH. Setup takes none.
    const fs::path own = HelperFolder() / L"ownprobe.exe";
    const fs::path apps = temp.path() / L"WindowsApps";
    fs::create_directories(apps);
    fs::create_directories(temp.path() / L"sub");
    for (const fs::path& probe : {own, temp.path() / L"probe.exe",
                                  temp.path() / L"sub" / L"probe.exe", apps / L"appprobe.exe"}) {
        std::error_code error;
        fs::remove(probe, error);
        fs::copy_file(HelperFolder() / L"child.exe", probe);
    }
    PathFront onPath(apps);
    PathFront ownOnPath(HelperFolder());
    wchar_t current[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, current);
    SetCurrentDirectoryW(temp.path().c_str());
    struct Case {
        const char* name;
        std::wstring command;
        fs::path folder;
    };
    const Case cases[] = {
        {"missing program", L"no-such-program-anywhere.exe --flag", {}},
        {"missing folder", ChildCommand(L"exit=0"), temp.path() / L"not here"},
        {"beside this program", L"ownprobe exit=0", {}},
        {"in the current folder", L"probe exit=0", {}},
        {"below the current folder", L"sub\\probe.exe exit=0", {}},
        {"under WindowsApps", L"appprobe exit=0", {}},
    };
    for (const auto& c : cases) {
        inbox.received.clear();
        bool called = false;
        EXPECT_EQ(OutcomeOf([&] {
                      setup::Run(c.command, c.folder, [&](std::string_view) { called = true; });
                  }),
                  L"Couldn't start: " + c.command)
            << c.name;
        EXPECT_FALSE(called) << c.name;
        inbox.Pump();
        const std::vector<std::wstring> logged = inbox.Texts(kMsgLog);
        ASSERT_FALSE(logged.empty()) << c.name;
        EXPECT_EQ(logged[0], L"$ " + c.command) << c.name; // then at most why Windows refused
        EXPECT_LE(logged.size(), 2u) << c.name;
    }
    SetCurrentDirectoryW(current);
    fs::remove(own);
}

// Opens a process by the id a child printed, to watch how it ends.
UniqueHandle Watch(std::string_view line, std::string_view prefix) {
    if (line.rfind(prefix, 0) != 0)
        return {};
    return WatchProcess(std::stoul(std::string(line.substr(prefix.size()))));
}

TEST_F(Runner, CancelEndsTheChildAndItsGrandchild) {
    UniqueHandle child, grandchild;
    UniqueHandle bothStarted(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::wstring failure;
    // Both would sleep for a minute and end with 0; the job ends them with 1.
    auto running = std::async(std::launch::async, [&] {
        failure = OutcomeOf([&] {
            setup::Run(ChildCommand(L"pid=1 spawn=60000 sleep=60000"), {},
                       [&](std::string_view line) {
                           if (auto h = Watch(line, "child "))
                               child = std::move(h);
                           if (auto h = Watch(line, "grandchild ")) {
                               grandchild = std::move(h);
                               SetEvent(bothStarted.get());
                           }
                       });
        });
    });
    ASSERT_EQ(WaitForSingleObject(bothStarted.get(), 30000), WAIT_OBJECT_0);
    s_cancel = true; // the window's order: the flag first, then the job
    TerminateJobObject(s_job.get(), 1);
    WaitOrDie(running, 30, "Run after a cancel");
    EXPECT_EQ(failure, L"Cancelled.");
    ASSERT_TRUE(child && grandchild);
    EXPECT_EQ(ExitCodeOf(child), 1u);
    EXPECT_EQ(ExitCodeOf(grandchild), 1u);
}

TEST_F(Runner, ACancelBeforeTheRunStartsNothing) {
    s_cancel = true;
    std::vector<std::string> lines;
    EXPECT_EQ(OutcomeOf([&] {
                  setup::Run(ChildCommand(LR"(out=hello\n sleep=200 out=finished\n exit=0)"), {},
                             [&](std::string_view line) { lines.emplace_back(line); });
              }),
              L"Cancelled.");
    EXPECT_EQ(lines, std::vector<std::string>{});
    inbox.Pump();
    EXPECT_EQ(inbox.Texts(kMsgLog), std::vector<std::wstring>{}); // not even its command line
}

TEST_F(Runner, ACallbackThatThrowsReachesTheCallerAndEndsTheChild) {
    UniqueHandle child, grandchild;
    auto throwing = [&](auto exception) {
        return [&child, &grandchild, exception](std::string_view line) {
            if (auto h = Watch(line, "child "))
                child = std::move(h);
            else if (auto g = Watch(line, "grandchild "))
                grandchild = std::move(g);
            else
                throw exception;
        };
    };
    const std::wstring command = ChildCommand(LR"(pid=1 spawn=60000 out=stop\n sleep=60000)");

    EXPECT_EQ(
        OutcomeOf([&] { setup::Run(command, {}, throwing(Failed{L"Stopped by the caller."})); }),
        L"Stopped by the caller.");
    ASSERT_TRUE(child && grandchild);
    EXPECT_EQ(ExitCodeOf(child), 1u);
    EXPECT_EQ(ExitCodeOf(grandchild), 1u); // the whole tree, not only the direct child

    child.reset();
    EXPECT_THROW(setup::Run(command, {}, throwing(std::runtime_error("bad line"))),
                 std::runtime_error);
    ASSERT_TRUE(child);
    EXPECT_EQ(ExitCodeOf(child), 1u);
}

TEST_F(Runner, ManyRunsLeakNoHandles) {
    // The count must be able to move at all, or the comparison below proves nothing.
    const size_t base = CountHandles();
    {
        std::vector<UniqueHandle> events;
        for (int i = 0; i < 10; ++i)
            events.emplace_back(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        ASSERT_GE(CountHandles(), base + 10);
    }

    for (int i = 0; i < 5; ++i)
        Lines(LR"(out=warm\n)");
    inbox.received.clear();
    // A handle left by one run in five still shows past the tolerance below.
    const size_t before = CountHandles();
    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(OutcomeOf([&] { Lines(LR"(out=line\n exit=0)"); }), L"ok") << "run " << i;
        if (i % 50 == 0)
            inbox.received.clear();
    }
    OutcomeOf([] { setup::Run(L"no-such-program-anywhere.exe", {}); });
    EXPECT_LE(CountHandles(), before + 5);
}

TEST(Quote, DoublesOnlyTheBackslashesBeforeTheClosingQuote) {
    struct Case {
        std::wstring path;
        std::wstring quoted;
    };
    const Case cases[] = {
        {L"C:\\Program Files\\Ironvale", L"\"C:\\Program Files\\Ironvale\""},
        {L"E:\\", L"\"E:\\\\\""},
        {L"C:\\a\\b\\\\", L"\"C:\\a\\b\\\\\\\\\""},
        {L"C:\\x\\say \"hi\"", L"\"C:\\x\\say \"hi\"\""},
        {L"", L"\"\""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Quote(c.path), c.quoted) << fs::path(c.path).string();

    // What matters: a program parsing its command line the Windows way gets the path back.
    for (const std::wstring path : {L"E:\\", L"C:\\Program Files\\Ironvale\\", L"C:\\a b\\c",
                                    L"\\\\server\\share\\", L"D:\\disc.iso"}) {
        int count = 0;
        const std::wstring line = L"python.exe --iso " + Quote(path) + L" --next";
        LPWSTR* argv = CommandLineToArgvW(line.c_str(), &count);
        ASSERT_NE(argv, nullptr);
        ASSERT_EQ(count, 4) << line.size();
        EXPECT_EQ(std::wstring(argv[2]), path);
        EXPECT_EQ(std::wstring(argv[3]), L"--next");
        LocalFree(argv);
    }
}

// A helper named git.exe, first on PATH, standing in for git.
class Git : public Runner {
  protected:
    void SetUp() override { fs::copy_file(HelperFolder() / L"child.exe", bin.path() / L"git.exe"); }
    TempFolder bin;
    PathFront front{bin.path()};
    TempFolder work;
};

TEST_F(Git, ReturnsTheFirstLineItPrinted) {
    struct Case {
        const char* name;
        std::wstring args;
        bool result;
        std::string output;
    };
    const Case cases[] = {
        {"first of two lines", LR"(out=first\nsecond\n)", true, "first"},
        {"nothing, success", L"exit=0", true, ""},
        {"nothing, failure", L"exit=128", false, ""},
        {"stderr before stdout", LR"(err=warning:\x20refname\n out=main\n)", true,
         "warning: refname"},
        {"output and failure", LR"(out=fatal:\x20no\n exit=1)", false, "fatal: no"},
    };
    for (const auto& c : cases) {
        std::string output = "left over";
        EXPECT_EQ(GitOutput(work.path(), c.args, output), c.result) << c.name;
        EXPECT_EQ(output, c.output) << c.name;
    }
    inbox.Pump();
    inbox.received.clear();
    std::string output;
    GitOutput(work.path(), L"cwd=1", output);
    EXPECT_EQ(fs::path(Widen(output)), work.path());
    inbox.Pump();
    EXPECT_EQ(inbox.Texts(kMsgLog).front(), L"$ git -C " + Quote(work.path()) + L" cwd=1");
}

} // namespace
