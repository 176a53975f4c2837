// The disk-space question on drives of known size (tmpfs, see run-with-drives).
#include "support.h"

#include <gtest/gtest.h>

using namespace setup;
using namespace testing_support;

namespace {

std::vector<std::wstring> g_questions;
int g_answer = IDYES;
int WINAPI Answer(HWND, LPCWSTR text, LPCWSTR caption, UINT flags) {
    EXPECT_STREQ(caption, L"Ironvale Recompiled Setup");
    EXPECT_EQ(flags, static_cast<UINT>(MB_YESNO | MB_ICONWARNING));
    g_questions.emplace_back(text);
    return g_answer;
}

class Space : public ::testing::Test {
  protected:
    void SetUp() override {
        g_questions.clear();
        g_answer = IDYES;
        WriteBytes(disc, "disc");
    }
    Override<decltype(Seams::ask)> asking{&Seams::ask, Answer};

    std::wstring RunOn(const fs::path& folder, bool extracted) {
        if (extracted) {
            const fs::path xex = folder / L"ironvale-recomp" / L"game" / L"extracted";
            fs::create_directories(xex);
            fs::create_directories(folder / L"ironvale-recomp" / L".git");
            WriteBytes(xex / L"default.xex", "x");
        }
        Choices choices;
        choices.folder = folder;
        choices.source = extracted ? fs::path() : disc;
        inbox.received.clear();
        Install(choices);
        inbox.Pump();
        return inbox.Texts(kMsgDone).at(0);
    }

    TempFolder temp;
    fs::path disc = temp.path() / L"Ironvale.iso";
    Inbox inbox;
    FakeTools tools;
};

const std::wstring kLauncherMissing = L"The build finished but IronvaleLauncher.exe isn't there.";

TEST_F(Space, ExactlyEnoughAsksNothing) {
    // 12 GiB + 4 KiB, less the one page setup.log takes before the question.
    EXPECT_EQ(RunOn(L"Q:\\Ironvale", false), kLauncherMissing);
    EXPECT_TRUE(g_questions.empty());
}

TEST_F(Space, LessAsksAndNoStopsTheRun) {
    g_answer = IDNO;
    EXPECT_EQ(RunOn(L"R:\\Ironvale", false), L"Not enough disk space.");
    ASSERT_EQ(g_questions.size(), 1u);
    EXPECT_EQ(g_questions[0], L"The drive has 11 GB free; about 12 GB is needed. Continue anyway?");
    g_answer = IDYES;
    EXPECT_EQ(RunOn(L"R:\\Ironvale", false), kLauncherMissing); // Yes goes on
}

TEST_F(Space, FiguresAreWholeBinaryGigabytes) {
    EXPECT_EQ(RunOn(L"S:\\Ironvale", true), kLauncherMissing);
    EXPECT_EQ(RunOn(L"T:\\Ironvale", false), kLauncherMissing);
    EXPECT_EQ(g_questions,
              (std::vector<std::wstring>{
                  L"The drive has 5 GB free; about 6 GB is needed. Continue anyway?",
                  L"The drive has 3 GB free; about 12 GB is needed. Continue anyway?"}));
}

} // namespace
