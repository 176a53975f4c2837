// The build step: OnBuildLine's rules, the command line, and a real build script run by the
// real python3 through the bridge.
#include "support.h"

#include <gtest/gtest.h>

using namespace setup;
using namespace testing_support;

namespace {

// What one line posted, as text: "status:TEXT" and "progress:N" in order.
std::vector<std::wstring> Posted(Inbox& inbox) {
    inbox.Pump();
    std::vector<std::wstring> posted;
    for (const auto& item : inbox.received) {
        if (item.message == kMsgStatus)
            posted.push_back(L"status:" + item.text);
        if (item.message == kMsgProgress)
            posted.push_back(L"progress:" + std::to_wstring(static_cast<INT_PTR>(item.wParam)));
    }
    inbox.received.clear();
    return posted;
}

TEST(OnBuildLine, PhasesStepsAndPercentages) {
    Inbox inbox;
    struct Case {
        std::string line;
        std::vector<std::wstring> posted;
    };
    const Case cases[] = {
        {"==> ", {L"status:", L"progress:-1"}},
        {"==> Extracting the disc", {L"status:Extracting the disc", L"progress:-1"}},
        {"==>x", {}},
        {"=> x", {}},
        {"[12/480] Compiling recomp_12.cpp", {L"progress:2"}},
        {"[480/480]", {L"progress:100"}},
        {"[500/480] more than all", {L"progress:104"}},
        {"[3/0] nothing", {}},
        {"[3/0]", {}},
        {"[12/480 no bracket", {}},
        {" [12/480] not at the start", {}},
        {"[99999999999/1] too large", {}},
        {"  45% extracting", {L"progress:45"}},
        {"45% extracting", {L"progress:45"}},
        {"\t7%", {L"progress:7"}},
        {"x 45%", {}},
        {"%", {}},
        {"plain output", {}},
        {std::string(1u << 20, ' ') + "9%", {L"progress:9"}},
        {"[" + std::string(1u << 20, '1') + "/2]", {}},
    };
    for (const auto& c : cases) {
        OnBuildLine(c.line);
        EXPECT_EQ(Posted(inbox), c.posted) << c.line.substr(0, 60);
    }
    EXPECT_TRUE(inbox.Texts(kMsgLog).empty()); // the handler logs nothing itself
}

TEST(OnBuildLine, RedrawLinesDriveTheBarWithoutTheLog) {
    Inbox inbox;
    setup::Run(ChildCommand(LR"(out=\x20\x2045%\x20x\n45%\x20x\n)"), {}, OnBuildLine);
    inbox.Pump();
    EXPECT_EQ(inbox.Count(kMsgProgress), 2);
    const auto logged = inbox.Texts(kMsgLog);
    EXPECT_EQ(std::count(logged.begin(), logged.end(), L"45% x"), 1);
    EXPECT_EQ(std::count(logged.begin(), logged.end(), L"  45% x"), 0);
}

TEST(BuildCommand, TheDiscOnlyUntilTheGameIsExtracted) {
    Choices choices;
    RunState run;
    choices.source = L"D:\\Games\\Ironvale.iso";
    run.gameExtracted = true;
    EXPECT_EQ(BuildCommand(choices, run), L"python -u tools\\build.py");
    run.gameExtracted = false;
    EXPECT_EQ(BuildCommand(choices, run),
              L"python -u tools\\build.py --iso \"D:\\Games\\Ironvale.iso\"");
    choices.source = L"E:\\";
    EXPECT_EQ(BuildCommand(choices, run), L"python -u tools\\build.py --iso \"E:\\\\\"");
}

// A build script of its own, run by the real python3 behind the python.exe bridge.
class Build : public ::testing::Test {
  protected:
    void SetUp() override {
        run.sourceDir = temp.path() / L"ironvale-recomp";
        fs::create_directories(run.sourceDir / L"tools");
        choices.source = temp.path() / L"Ironvale.iso";
        WriteBytes(choices.source, "disc");
    }

    std::wstring Outcome(const std::string& script) {
        WriteBytes(run.sourceDir / L"tools" / L"build.py", script);
        return OutcomeOf([&] { BuildGame(choices, run); });
    }

    Bridges bridges;
    TempFolder temp;
    Choices choices;
    RunState run;
    Inbox inbox;
};

TEST_F(Build, TheScriptsOutputMovesStatusAndBar) {
    const std::string script = "import os, sys\n"
                               "print('==> Extracting the disc')\n"
                               "print('iso=' + os.path.basename(sys.argv[2]))\n"
                               "print('  50% extracting')\n"
                               "print('[1/4] one')\n"
                               "print('[4/4] four')\n";
    ASSERT_EQ(Outcome(script), L"ok");
    inbox.Pump();
    EXPECT_EQ(inbox.Texts(kMsgStatus),
              (std::vector<std::wstring>{L"Building (the first build takes 10-30 minutes)",
                                         L"Extracting the disc"}));
    std::vector<INT_PTR> progress;
    for (const auto& item : inbox.received)
        if (item.message == kMsgProgress)
            progress.push_back(static_cast<INT_PTR>(item.wParam));
    EXPECT_EQ(progress, (std::vector<INT_PTR>{-1, 50, 25, 100}));
    const auto logged = inbox.Texts(kMsgLog);
    EXPECT_NE(std::find(logged.begin(), logged.end(), L"iso=Ironvale.iso"), logged.end());
    EXPECT_NE(std::find(logged.begin(), logged.end(), L"==> Extracting the disc"), logged.end());
}

ULONGLONG g_free = 0; // what the install drive has free; 0: the query fails

BOOL WINAPI FreeSpace(LPCWSTR, PULARGE_INTEGER available, PULARGE_INTEGER, PULARGE_INTEGER) {
    available->QuadPart = g_free;
    return g_free != 0;
}

// A build that fails on a nearly full drive says so: the user frees space instead of reading
// the build's log for a fault of the project.
TEST_F(Build, AFailingScriptFailsTheRun) {
    choices.folder = temp.path();
    const Override drive(&Seams::freeSpace, FreeSpace);
    const struct {
        ULONGLONG free;
        const wchar_t* end;
    } rows[] = {{0, L""}, {50ull << 20, L" Drive C: is full."}, {200ull << 20, L""}};
    for (const auto& row : rows) {
        g_free = row.free;
        EXPECT_EQ(Outcome("import sys\nprint('error: no disc')\nsys.exit(3)\n"),
                  std::wstring(L"The build failed. The log above (also in setup.log) says why; "
                               L"Help > Report a bug in the launcher, or a GitHub issue with "
                               L"setup.log attached, gets it looked at.") +
                      row.end)
            << row.free;
    }
}

} // namespace
