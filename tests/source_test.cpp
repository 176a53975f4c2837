// The source step with real git (through the bridge) on a fixture project served by the
// stand-in over git's dumb HTTP protocol: origin with main, v0.1.0, v1.0.0 and a later commit.
#include "support.h"

#include <gtest/gtest.h>

using namespace setup;
using namespace testing_support;

namespace {

const fs::path kRoot = Widen(IRONVALE_STANDIN_ROOT);
const fs::path kServed = kRoot / L"git" / L"ironvale-recomp.git";
const fs::path kRelease = kRoot / L"github" / L"repos" / L"ironvale-recomp" / L"ironvale-recomp" /
                          L"releases" / L"latest";

class Source : public ::testing::Test {
  protected:
    void SetUp() override {
        Network(true);
        choices.folder = temp.path() / L"Ironvale";
        fs::create_directories(choices.folder);
        run.sourceDir = choices.folder / L"ironvale-recomp";
    }

    void Network(bool up) { OfferProject(up); }

    // git on the working tree, as a test arranges it.
    std::string Git(const std::wstring& args) {
        std::string first;
        setup::Run(L"git -c user.name=T -c user.email=t@127.0.0.1 -C " + Quote(run.sourceDir) +
                       L" " + args,
                   {}, [&](std::string_view line) {
                       if (first.empty())
                           first = line;
                   });
        return first;
    }

    std::wstring Step() {
        inbox.Pump();
        inbox.received.clear();
        return OutcomeOf([&] {
            run.releaseTag = LatestReleaseTag();
            CheckOutSource(choices, run);
        });
    }
    std::vector<std::wstring> Lines() {
        inbox.Pump();
        return inbox.Texts(kMsgLog);
    }
    bool Logged(const std::wstring& line) {
        const auto lines = Lines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    bool Ran(const std::wstring& args) { // a git command line of the step, as logged
        return Logged(L"$ git -C " + Quote(run.sourceDir) + L" " + args);
    }
    std::string Head() { return Git(L"describe --tags --always"); }

    Bridges bridges;
    TempFolder temp;
    Choices choices;
    RunState run;
    Inbox inbox;
};

TEST_F(Source, AFirstInstallClonesAndFollowsMain) {
    ASSERT_EQ(Step(), L"ok");
    EXPECT_TRUE(Logged(L"$ git clone " + Widen(IRONVALE_REPO_URL) + L" " + Quote(run.sourceDir)));
    EXPECT_TRUE(Logged(L"The source folder is on branch main: updating that branch."));
    EXPECT_TRUE(Ran(L"pull --ff-only"));
    EXPECT_FALSE(Ran(L"checkout v1.0.0"));
    EXPECT_EQ(Git(L"rev-parse --abbrev-ref HEAD"), "main");
    inbox.Pump();
    EXPECT_EQ(inbox.Texts(kMsgStatus).front(), L"Downloading the source code");
}

TEST_F(Source, ADetachedTreeMovesToTheLatestRelease) {
    ASSERT_EQ(Step(), L"ok");
    Git(L"checkout -q v0.1.0");
    ASSERT_EQ(Step(), L"ok");
    EXPECT_TRUE(Ran(L"checkout v1.0.0")); // the tag as it stands, unquoted
    EXPECT_TRUE(Logged(L"Building release v1.0.0."));
    EXPECT_EQ(Head(), "v1.0.0");
    inbox.Pump();
    EXPECT_EQ(inbox.Texts(kMsgStatus).front(), L"Updating the source code");
}

TEST_F(Source, ABranchIsFastForwardedOrLeftAsItIs) {
    ASSERT_EQ(Step(), L"ok");
    const std::string tip = Git(L"rev-parse HEAD");
    Git(L"reset -q --hard HEAD~1");
    ASSERT_EQ(Step(), L"ok");
    EXPECT_EQ(Git(L"rev-parse HEAD"), tip);

    Git(L"reset -q --hard HEAD~1");
    WriteBytes(run.sourceDir / L"mine.txt", "mine");
    Git(L"add mine.txt");
    Git(L"commit -q -m Mine");
    ASSERT_EQ(Step(), L"ok");
    EXPECT_TRUE(Logged(L"(couldn't update the branch - building the code as it is)"));
    EXPECT_EQ(Git(L"log -1 --format=%s"), "Mine");
}

TEST_F(Source, LocalEditsAreNeverTouched) {
    ASSERT_EQ(Step(), L"ok");
    Git(L"checkout -q v0.1.0");
    const fs::path script = run.sourceDir / L"tools" / L"build.py";
    const std::string edited = "print('my own build')\r\n\x01\xff";
    WriteBytes(script, edited);
    WriteBytes(run.sourceDir / L"notes.txt", "untracked");
    ASSERT_EQ(Step(), L"ok");
    EXPECT_TRUE(
        Logged(L"The source folder has changes of its own: building it as it is (no update)."));
    EXPECT_FALSE(Ran(L"checkout v1.0.0"));
    EXPECT_EQ(ReadBytes(script), edited);
    EXPECT_EQ(Head(), "v0.1.0"); // still where it was

    // An untracked file alone is not a change of the project's files: the update goes ahead.
    Git(L"checkout -q -- tools/build.py");
    ASSERT_EQ(Step(), L"ok");
    EXPECT_TRUE(Logged(L"Building release v1.0.0."));
    EXPECT_EQ(ReadBytes(run.sourceDir / L"notes.txt"), "untracked");

    // Unless it lies where the release has a file: then it stays, and so does the tree.
    Git(L"checkout -q v0.1.0");
    const std::string mine = "my own launcher\r\n\x01\xff";
    WriteBytes(run.sourceDir / L"tools" / L"launcher.bin", mine);
    ASSERT_EQ(Step(), L"ok");
    EXPECT_TRUE(Logged(L"(couldn't update - building the code as it is)"));
    EXPECT_EQ(ReadBytes(run.sourceDir / L"tools" / L"launcher.bin"), mine);
    EXPECT_EQ(Head(), "v0.1.0");
}

TEST_F(Source, WithoutNetworkTheFallbackTagOrMain) {
    ASSERT_EQ(Step(), L"ok");
    Git(L"checkout -q v1.0.0");
    Network(false);
    EXPECT_EQ(LatestReleaseTag(), L"v0.1.0");
    ASSERT_EQ(Step(), L"ok");
    EXPECT_TRUE(Ran(L"fetch --tags --force origin"));
    EXPECT_TRUE(Logged(L"Building release v0.1.0."));
    EXPECT_EQ(Head(), "v0.1.0");

    Git(L"checkout -q --detach HEAD");
    Git(L"tag -d v0.1.0");
    ASSERT_EQ(Step(), L"ok");
    EXPECT_TRUE(Ran(L"checkout main"));
    EXPECT_TRUE(Logged(L"(couldn't update - building the code as it is)")); // pull had no network
    EXPECT_EQ(Git(L"rev-parse --abbrev-ref HEAD"), "main");
}

TEST_F(Source, AForeignFolderIsRefusedAnEmptyOneIsClonedInto) {
    fs::create_directories(run.sourceDir);
    WriteBytes(run.sourceDir / L"thesis.doc", "precious");
    EXPECT_EQ(Step(),
              run.sourceDir.native() +
                  L" already exists and isn't a copy of the project. Choose another folder.");
    EXPECT_FALSE(fs::exists(run.sourceDir / L".git"));
    EXPECT_EQ(ReadBytes(run.sourceDir / L"thesis.doc"), "precious");
    for (const auto& line : Lines())
        EXPECT_NE(line.rfind(L"$ git clone", 0), 0u) << "cloned into a foreign folder";

    fs::remove(run.sourceDir / L"thesis.doc");
    EXPECT_EQ(Step(), L"ok");
    EXPECT_TRUE(fs::exists(run.sourceDir / L"tools" / L"build.py"));
}

TEST_F(Source, AFailedCloneSaysSo) {
    Network(false);
    EXPECT_EQ(Step(), L"Couldn't download the source code from GitHub.");
}

} // namespace
