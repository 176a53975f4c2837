// The source step with real git (through the bridge) on a fixture project served by the
// stand-in over git's dumb HTTP protocol: origin with main, v0.1.0, v1.0.0 and a later commit.
#include "children.h"
#include "gitprogress.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>

using namespace setup;
using namespace testing_support;

namespace {

const fs::path kServed = standin::Repository();
const fs::path kRelease = standin::Release(L"ironvale-recomp/ironvale-recomp");

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
    bool Ran(const std::wstring& args) { // a git command line of the step, as logged
        return inbox.LoggedLine(L"$ git -C " + Quote(run.sourceDir) + L" " + args);
    }
    std::string Head() { return Git(L"describe --tags --always"); }
    // How many packs of the repository the stand-in has been asked for.
    size_t PacksAsked() {
        const std::string paths = standin::Requests();
        size_t count = 0;
        for (size_t at = 0; (at = paths.find("git-upload-pack (pack)", at)) != std::string::npos;
             ++at)
            ++count;
        return count;
    }

    Bridges bridges;
    TempFolder temp;
    Choices choices;
    RunState run;
    Inbox inbox;
};

TEST_F(Source, AFirstInstallClonesAndFollowsMain) {
    ASSERT_EQ(Step(), L"ok");
    EXPECT_TRUE(inbox.LoggedLine(L"$ git clone --progress " + Widen(IRONVALE_REPO_URL) + L" " +
                                 Quote(StagingFolder(run.sourceDir))));
    EXPECT_FALSE(fs::exists(StagingFolder(run.sourceDir)));
    EXPECT_TRUE(inbox.LoggedLine(L"The source folder is on branch main: updating that branch."));
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
    EXPECT_TRUE(inbox.LoggedLine(L"Building release v1.0.0."));
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
    EXPECT_TRUE(inbox.LoggedLine(L"(couldn't update the branch - building the code as it is)"));
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
    EXPECT_TRUE(inbox.LoggedLine(
        L"The source folder has changes of its own: building it as it is (no update)."));
    EXPECT_FALSE(Ran(L"checkout v1.0.0"));
    EXPECT_EQ(ReadBytes(script), edited);
    EXPECT_EQ(Head(), "v0.1.0"); // still where it was

    // An untracked file alone is not a change of the project's files: the update goes ahead.
    Git(L"checkout -q -- tools/build.py");
    ASSERT_EQ(Step(), L"ok");
    EXPECT_TRUE(inbox.LoggedLine(L"Building release v1.0.0."));
    EXPECT_EQ(ReadBytes(run.sourceDir / L"notes.txt"), "untracked");

    // Unless it lies where the release has a file: then it stays, and so does the tree.
    Git(L"checkout -q v0.1.0");
    const std::string mine = "my own launcher\r\n\x01\xff";
    WriteBytes(run.sourceDir / L"tools" / L"launcher.bin", mine);
    ASSERT_EQ(Step(), L"ok");
    EXPECT_TRUE(inbox.LoggedLine(L"(couldn't update - building the code as it is)"));
    EXPECT_EQ(ReadBytes(run.sourceDir / L"tools" / L"launcher.bin"), mine);
    EXPECT_EQ(Head(), "v0.1.0");
}

TEST_F(Source, WithoutNetworkTheFallbackTagOrMain) {
    ASSERT_EQ(Step(), L"ok");
    Git(L"checkout -q v1.0.0");
    Network(false);
    EXPECT_EQ(LatestReleaseTag(), L"v0.1.0");
    ASSERT_EQ(Step(), L"ok");
    EXPECT_TRUE(Ran(L"fetch --progress --tags --force origin"));
    EXPECT_TRUE(inbox.LoggedLine(L"Building release v0.1.0."));
    EXPECT_EQ(Head(), "v0.1.0");

    Git(L"checkout -q --detach HEAD");
    Git(L"tag -d v0.1.0");
    ASSERT_EQ(Step(), L"ok");
    EXPECT_TRUE(Ran(L"checkout main"));
    EXPECT_TRUE(
        inbox.LoggedLine(L"(couldn't update - building the code as it is)")); // pull had no network
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
    for (const auto& line : inbox.Logged())
        EXPECT_NE(line.rfind(L"$ git clone", 0), 0u) << "cloned into a foreign folder";

    fs::remove(run.sourceDir / L"thesis.doc");
    EXPECT_EQ(Step(), L"ok");
    EXPECT_TRUE(fs::exists(run.sourceDir / L"tools" / L"build.py"));
}

const std::wstring kKeptFailing = L"Couldn't download the source code from GitHub: the connection "
                                  L"kept failing. Check the connection, then press Install again.";

// A download that goes silent ends in a second here, not in git's 30 s.
unsigned QuickSilence() {
    return 1;
}

// The clone shows how far it is, and a connection that goes silent is tried again.
TEST_F(Source, TheCloneShowsItsProgressAndOutlastsASilentConnection) {
    Override silence(&Seams::gitSilence, QuickSilence);
    OfferProject(true, true);
    standin::Fault fault("git-slow"); // about 1 MB/s: seconds of progress
    ULONGLONG start = GetTickCount64();
    ASSERT_EQ(Step(), L"ok");
    std::printf("a clone at 1 MB/s: %.1f s\n", (GetTickCount64() - start) / 1000.0);
    inbox.Pump();
    // While objects arrive: from the first status that says what has come to the last.
    const auto& got = inbox.received;
    auto arriving = [](const Received& item) {
        return item.message == kMsgStatus &&
               item.text.rfind(L"Downloading the source code: ", 0) == 0;
    };
    const auto first = std::find_if(got.begin(), got.end(), arriving);
    ASSERT_NE(first, got.end());
    const auto last = std::find_if(got.rbegin(), got.rend(), arriving).base();
    std::vector<INT_PTR> bar;
    for (auto item = first; item < last; ++item)
        if (item->message == kMsgProgress)
            bar.push_back(static_cast<INT_PTR>(item->wParam));
    EXPECT_GE(std::count_if(first, last, arriving), 3);
    EXPECT_GE(bar.size(), 3u);
    EXPECT_EQ(std::count(bar.begin(), bar.end(), -1), 0); // no marquee while objects arrive
    EXPECT_EQ(inbox.Logged(L"Receiving objects: ").size(), 1u);
    EXPECT_EQ(inbox.Logged(L"remote: Counting objects: ").size(), 1u);

    // A stall for good fails as the network gone does, in ACloneCutOffIsStartedAgain.
    RemoveTree(choices.folder);
    fs::create_directories(choices.folder);
    fault.Set("git-stall-once");
    start = GetTickCount64();
    EXPECT_EQ(Step(), L"ok");
    std::printf("a clone that stalls once: %.1f s\n", (GetTickCount64() - start) / 1000.0);
    EXPECT_EQ(inbox.Logged(L"(the connection failed: trying again in ").size(), 1u);
}

// What git's lines mean: its progress for the status line, and failures the network may mend.
TEST(GitOutput, ProgressAndNetworkFailures) {
    const struct {
        const char* line;
        const char* phase; // null: no progress
        int percent;
        const wchar_t* shown;
    } progress[] = {
        {"Receiving objects:  45% (1234/2700), 12.30 MiB | 2.10 MiB/s", "Receiving objects", 45,
         L"12 MB, 2.1 MB/s"},
        {"Receiving objects: 100% (2700/2700), 1.20 GiB | 5.10 MiB/s, done.", "Receiving objects",
         100, L"1 GB, 5.1 MB/s"},
        {"Receiving objects:   1% (3/300)", "Receiving objects", 1, L""},
        {"remote: Counting objects: 100% (5/5), done.   ", "remote: Counting objects", 100, L""},
        {"remote: Enumerating objects: 42, done.", "remote: Enumerating objects", -1, L""},
        {"remote: Total 5 (delta 0), reused 0 (delta 0), pack-reused 0", nullptr, 0, L""},
        {"Cloning into 'C:/Games/ironvale-recomp.partial'...", nullptr, 0, L""},
    };
    for (const auto& row : progress) {
        SCOPED_TRACE(row.line);
        const auto read = ReadGitProgress(row.line);
        ASSERT_EQ(read.has_value(), row.phase != nullptr);
        if (read) {
            EXPECT_EQ(read->phase, row.phase);
            EXPECT_EQ(read->percent, row.percent);
            EXPECT_EQ(TransferText(read->detail), row.shown);
        }
    }
    const std::pair<const char*, bool> failures[] = {
        {"error: RPC failed; curl 28 Operation too slow. Less than 10 bytes/sec transferred", true},
        {"fatal: early EOF", true},
        {"fatal: unable to access 'x': Could not resolve host: github.com", true},
        {"fatal: unable to access 'x': Failed to connect to github.com port 443", true},
        {"fatal: unable to access 'x': The requested URL returned error: 502", true},
        {"fatal: unable to access 'x': schannel: failed to receive handshake", true},
        {"remote: Repository not found.", false},
        {"fatal: unable to access 'x': The requested URL returned error: 404", false},
        {"fatal: Authentication failed for 'https://github.com/x.git/'", false},
    };
    for (const auto& [line, network] : failures)
        EXPECT_EQ(IsNetworkFailure(line), network) << line;
}

// A clone that was cut off leaves nothing that looks like an install: the next run starts the
// download again, whatever cut it, and whichever Setup it was.
TEST_F(Source, ACloneCutOffIsStartedAgain) {
    const fs::path staging = StagingFolder(run.sourceDir);
    struct Row {
        const char* name;
        const char* fault;         // what the network does to the repository's objects
        std::function<void()> cut; // once git is waiting for them
        std::wstring outcome;
    };
    const Row rows[] = {
        {"Cancel", "git-stall",
         [] {
             s_cancel = true; // the window's order: the flag first, then the job
             TerminateJobObject(s_job.get(), 1);
         },
         L"Cancelled."},
        {"Setup killed", "git-stall", [] { TerminateJobObject(s_job.get(), 1); },
         L"Couldn't download the source code from GitHub."},
        {"the network gone", "git-cut", [] {}, kKeptFailing},
        {"an older Setup's clone in place", nullptr,
         [&] {
             fs::create_directories(run.sourceDir);
             Git(L"init -q");
         },
         L""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        RemoveTree(choices.folder);
        fs::create_directories(choices.folder);
        if (row.fault) {
            standin::Fault fault(row.fault);
            const size_t asked = PacksAsked();
            auto step = std::async(std::launch::async, [&] {
                return OutcomeOf([&] { CheckOutSource(choices, run); });
            });
            for (int i = 0; i < 400 && PacksAsked() == asked; ++i)
                Sleep(50);
            row.cut();
            EXPECT_EQ(step.get(), row.outcome);
            s_cancel = false;
        } else {
            row.cut();
        }
        ASSERT_EQ(Step(), L"ok");
        if (std::string(row.name) != "the network gone") { // git cleans up after itself then
            EXPECT_TRUE(inbox.LoggedLine(
                L"The last download of the source code was cut off: starting it again."));
        }
        EXPECT_TRUE(fs::exists(run.sourceDir / L"tools" / L"build.py"));
        EXPECT_EQ(Git(L"rev-parse --abbrev-ref HEAD"), "main");
        EXPECT_FALSE(fs::exists(staging));
    }
}

// A folder of another account, a drive that records no owner: git refuses such a tree unless
// it is named as safe. Linux git, run as root, refuses one another uid owns the same way.
TEST_F(Source, ATreeAnotherAccountOwnsIsUpdatedAllTheSame) {
    ASSERT_EQ(Step(), L"ok");
    Git(L"checkout -q v0.1.0");
    ASSERT_EQ(setup::Run(L"python -c \"import subprocess, sys; sys.exit(subprocess.run(['chown', "
                         L"'-R', '4242', sys.argv[1]]).returncode)\" " +
                             Quote(run.sourceDir),
                         {}),
              0u);
    ASSERT_EQ(Step(), L"ok");
    EXPECT_TRUE(inbox.LoggedLine(L"Building release v1.0.0."));
    EXPECT_EQ(Head(), "v1.0.0");
}

// What every git command is told, after the user's own settings: the trees, long paths and,
// for Setup's own MinGit alone, Windows' certificates (which Linux git has not: the bridge
// drops those and says so).
TEST_F(Source, GitIsToldWhatWindowsKnows) {
    const fs::path record = temp.path() / L"record.txt";
    ScopedVariable recording(L"IRONVALE_BRIDGE_RECORD", record.native());
    ScopedVariable count(L"GIT_CONFIG_COUNT", L"1"), key(L"GIT_CONFIG_KEY_0", L"user.name"),
        value(L"GIT_CONFIG_VALUE_0", L"Player");
    const std::string trees =
        "carried safe.directory=" + Narrow(GitPath(run.sourceDir)) +
        "\ncarried safe.directory=" + Narrow(GitPath(StagingFolder(run.sourceDir))) + "\n";
    const std::string own = "carried user.name=Player\n" + trees +
                            "carried core.longpaths=true\ncarried http.lowSpeedLimit=10\n"
                            "carried http.lowSpeedTime=30\n";
    const struct {
        const char* name;
        bool minGit;
        std::string clone; // what the clone's git was told
    } rows[] = {
        {"a git of the user's own", false, own},
        {"Setup's MinGit", true,
         own + "dropped http.sslBackend=schannel\ndropped http.schannelCheckRevoke=best-effort\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        RemoveTree(choices.folder);
        const fs::path cmd = choices.folder / L"tools" / L"Git" / L"cmd";
        fs::create_directories(cmd);
        fs::copy_file(HelperFolder().parent_path() / L"bridge" / L"stub" / L"git.exe",
                      cmd / L"git.exe");
        PathFront minGit(row.minGit ? cmd : temp.path());
        fs::remove(record);
        ASSERT_EQ(Step(), L"ok");
        const std::string told = ReadBytes(record);
        EXPECT_EQ(told.substr(0, row.clone.size()), row.clone);
    }
}

// What the build script is told of the proxy; git's settings are read back from the bridge
// above, and the proxy's through the whole installs of the GUI suite.
TEST(ChildEnvironment, ProxyVariablesLeaveTheUsersOwn) {
    const struct {
        const char* name;
        Proxy proxy;
        const wchar_t* userSet; // one the user's environment has
        std::vector<Variable> variables;
    } rows[] = {
        {"no proxy", {}, L"", {}},
        {"a proxy, a bypass list",
         {L"proxy:8080", L"<local>;*.corp.example"},
         L"",
         {{L"HTTPS_PROXY", L"http://proxy:8080"},
          {L"HTTP_PROXY", L"http://proxy:8080"},
          {L"NO_PROXY", L"localhost,.corp.example"}}},
        {"the user's HTTPS_PROXY",
         {L"proxy:8080", L""},
         L"HTTPS_PROXY",
         {{L"HTTP_PROXY", L"http://proxy:8080"}}},
    };
    for (const auto& row : rows)
        EXPECT_EQ(
            ProxyVariables(row.proxy,
                           [&](const wchar_t* name) { return std::wstring(name) == row.userSet; }),
            row.variables)
            << row.name;
}

TEST_F(Source, AFailedCloneSaysSo) {
    Network(false);
    EXPECT_EQ(Step(), L"Couldn't download the source code from GitHub.");
}

} // namespace
