// The install run: how every kind of run ends, and preflight.
#include "support.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <stdexcept>
#include <thread>

using namespace setup;
using namespace testing_support;

namespace {

// What the end-of-run post found when it was made.
struct AtDone {
    int posts = 0;
    bool logOpen = true;
    bool comInitialised = true;
} g_atDone;
std::atomic<int> g_doneRefusals{0};

BOOL WINAPI WatchDone(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kMsgDone) {
        if (g_doneRefusals-- > 0)
            return FALSE; // a full queue, as Windows has it
        ++g_atDone.posts;
        g_atDone.logOpen = LogIsOpen();
        // Succeeds with S_OK only on a thread whose apartment has been left again.
        const HRESULT result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        g_atDone.comInitialised = result != S_OK;
        if (SUCCEEDED(result))
            CoUninitialize();
    }
    return PostEach(window, message, wParam, lParam);
}

std::vector<EXECUTION_STATE> g_states;
EXECUTION_STATE WINAPI RecordState(EXECUTION_STATE state) {
    g_states.push_back(state);
    return ES_CONTINUOUS;
}

std::vector<std::wstring> g_questions;
int g_answer = IDYES;
int WINAPI Answer(HWND, LPCWSTR text, LPCWSTR caption, UINT flags) {
    EXPECT_STREQ(caption, L"Ironvale Recompiled Setup");
    EXPECT_EQ(flags, static_cast<UINT>(MB_YESNO | MB_ICONWARNING));
    g_questions.emplace_back(text);
    return g_answer;
}

class InstallRun : public ::testing::Test {
  protected:
    void SetUp() override {
        g_states.clear();
        g_atDone = {};
        g_doneRefusals = 0;
        g_questions.clear();
        g_answer = IDYES;
        WriteBytes(disc, "not really a disc");
        choices.source = disc;
        choices.folder = temp.path() / L"Ironvale";
    }
    fs::path Log() const { return choices.folder / L"setup.log"; }
    std::vector<std::string> LogLines() const { return SplitLines(ReadBytes(Log())); }

    // Every run must end with exactly one kMsgDone, its last message, after setup.log has been
    // closed and COM left.
    void ExpectEnd(bool success, const std::wstring& text) {
        ASSERT_EQ(inbox.Count(kMsgDone), 1);
        const Received& last = inbox.received.back();
        EXPECT_EQ(last.message, kMsgDone);
        EXPECT_EQ(last.wParam, success ? 1u : 0u);
        EXPECT_EQ(last.text, text);
        EXPECT_EQ(inbox.Texts(kMsgLog).back(), text);
        EXPECT_EQ(g_atDone.posts, 1);
        EXPECT_FALSE(g_atDone.logOpen);
        EXPECT_FALSE(g_atDone.comInitialised);
        // Kept awake from the start of the run, and let sleep again at its end.
        EXPECT_EQ(g_states, (std::vector<EXECUTION_STATE>{ES_CONTINUOUS | ES_SYSTEM_REQUIRED,
                                                          ES_CONTINUOUS}));
        g_states.clear();
    }

    Override<decltype(Seams::post)> posting{&Seams::post, WatchDone};
    Override<decltype(Seams::ask)> asking{&Seams::ask, Answer};
    Override<decltype(Seams::executionState)> awake{&Seams::executionState, RecordState};
    TempFolder temp;
    fs::path disc = temp.path() / L"Ironvale.iso";
    Choices choices;
    Inbox inbox;
    FakeTools tools;
};

TEST_F(InstallRun, EveryOutcomeEndsWithOneDoneMessage) {
    struct Case {
        const char* name;
        Steps steps;
        bool success;
        std::wstring text;
    };
    const Case cases[] = {
        {"success",
         [](const Choices& c, RunState& run) {
             Preflight(c, run);
             return std::wstring(L"Done. Start the game with the launcher.");
         },
         true, L"Done. Start the game with the launcher."},
        {"Failed",
         [](const Choices& c, RunState& run) -> std::wstring {
             Preflight(c, run);
             Fail(L"Couldn't download the source code from GitHub.");
         },
         false, L"Couldn't download the source code from GitHub."},
        {"standard exception",
         [](const Choices& c, RunState& run) -> std::wstring {
             Preflight(c, run);
             throw std::runtime_error("disk on fire");
         },
         false, L"Unexpected error: disk on fire"},
        {"cancel",
         [](const Choices& c, RunState& run) -> std::wstring {
             Preflight(c, run);
             s_cancel = true;
             CheckCancel();
             return L"not reached";
         },
         false, L"Cancelled."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        inbox.received.clear();
        g_atDone = {};
        s_cancel = false;
        fs::remove(Log());
        InstallWith(choices, c.steps);
        inbox.Pump();
        ExpectEnd(c.success, c.text);
        const auto lines = LogLines();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(Widen(lines.front()),
                  L"Ironvale Recompiled Setup, installing to " + choices.folder.native());
        EXPECT_EQ(Widen(lines.back()), c.text); // the end text is the last line
    }
}

TEST_F(InstallRun, AFolderThatCannotBeMadeFailsBeforeTheLogOpens) {
    const fs::path file = temp.path() / L"a file";
    WriteBytes(file, "x");
    for (const fs::path& folder : {file, file / L"below"}) {
        SCOPED_TRACE(folder.string());
        inbox.received.clear();
        g_atDone = {};
        choices.folder = folder;
        Install(choices);
        inbox.Pump();
        ExpectEnd(false, L"Couldn't create " + folder.native());
        EXPECT_EQ(inbox.Count(kMsgLog), 1); // the end text only: there was no log to write
    }
    EXPECT_EQ(ReadBytes(file), "x");
}

// Windows gives a folder made at a drive root the root's access list, which lets every account
// change it; Wine keeps no lists, so the folders Setup makes are recorded with the list asked for.
std::vector<std::pair<std::wstring, std::wstring>> g_made; // folder, the list as SDDL
BOOL WINAPI RecordFolder(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) {
    std::wstring sddl;
    wchar_t* text = nullptr;
    if (attributes && ConvertSecurityDescriptorToStringSecurityDescriptorW(
                          attributes->lpSecurityDescriptor, SDDL_REVISION_1,
                          DACL_SECURITY_INFORMATION, &text, nullptr)) {
        sddl = text;
        LocalFree(text);
    }
    g_made.emplace_back(path, sddl);
    return CreateDirectoryW(path, nullptr);
}

// The install drive as the volume seam tells it: Wine's drives keep no access lists at all.
DWORD g_volumeFlags = 0;
UINT g_driveType = 0;
bool AnswerVolume(const wchar_t*, DWORD& flags, UINT& driveType) {
    flags = g_volumeFlags;
    driveType = g_driveType;
    return true;
}

TEST_F(InstallRun, AFolderMadeOutsideTheProfileIsClosedToOtherAccounts) {
    const fs::path root = L"C:\\ivtest-acl-" + std::to_wstring(GetCurrentProcessId());
    const Steps preflight = [](const Choices& c, RunState& run) {
        Preflight(c, run);
        return std::wstring(L"ok");
    };
    constexpr DWORD kNtfs = FILE_PERSISTENT_ACLS;
    const std::wstring fat = L"The install folder's drive keeps no access lists (FAT or exFAT): "
                             L"Setup gives it none of its own.";
    const std::wstring share =
        L"The install folder is on a network drive, whose server doesn't "
        L"know this PC's accounts: Setup gives it no access list of its own.";
    struct Case {
        const char* name;
        fs::path folder;
        std::vector<bool> listed; // per folder made, outermost first
        DWORD volumeFlags = kNtfs;
        UINT driveType = DRIVE_FIXED;
        std::wstring note;
    };
    const Case cases[] = {
        {"at a drive root, with the folder above it",
         root / L"Ironvale",
         {true, false},
         kNtfs,
         DRIVE_FIXED,
         L""},
        {"inside the profile", temp.path() / L"Ironvale", {false}, kNtfs, DRIVE_FIXED, L""},
        {"there already", root, {}, kNtfs, DRIVE_FIXED, L""},
        {"on FAT", root / L"Fat", {false}, 0, DRIVE_FIXED, fat},
        {"on a network drive", root / L"Share", {false}, kNtfs, DRIVE_REMOTE, share},
    };
    Override making(&Seams::makeFolder, RecordFolder);
    Override volume(&Seams::volume, AnswerVolume);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_made.clear();
        g_volumeFlags = c.volumeFlags;
        g_driveType = c.driveType;
        choices.folder = c.folder;
        InstallWith(choices, preflight);
        EXPECT_TRUE(fs::is_directory(c.folder));
        EXPECT_EQ(inbox.LoggedLine(c.note), !c.note.empty());
        ASSERT_EQ(g_made.size(), c.listed.size());
        for (size_t i = 0; i < c.listed.size(); ++i) {
            const std::wstring& sddl = g_made[i].second;
            EXPECT_EQ(!sddl.empty(), c.listed[i]) << i;
            if (c.listed[i]) { // nothing from the root; the user and the system in full
                EXPECT_EQ(sddl.rfind(L"D:P(", 0), 0u) << Narrow(sddl);
                for (const wchar_t* ace : {L"(A;OICI;FA;;;S-1-5-21-", L"(A;OICI;FA;;;BA)",
                                           L"(A;OICI;FA;;;SY)", L"(A;OICI;0x1200a9;;;AU)"})
                    EXPECT_NE(sddl.find(ace), std::wstring::npos) << Narrow(ace);
            }
        }
        inbox.Pump();
    }
    std::error_code error;
    fs::remove_all(root, error);
}

TEST_F(InstallRun, AGameSourceIsNeededUntilTheGameIsExtracted) {
    const std::wstring choose =
        L"Choose your Ironvale disc image (.iso) or extracted disc folder first.";
    for (const fs::path& source : {fs::path(), temp.path() / L"gone.iso"}) {
        inbox.received.clear();
        g_atDone = {};
        choices.source = source;
        Install(choices);
        inbox.Pump();
        ExpectEnd(false, choose);
        EXPECT_EQ(Widen(LogLines().back()), choose);
    }

    // Once extracted, the source is not looked at: the run goes on to the launcher check.
    const fs::path marker = MakeInstalled(choices.folder) / kGameMarker;
    inbox.received.clear();
    g_atDone = {};
    choices.source.clear();
    Install(choices);
    inbox.Pump();
    ExpectEnd(false, L"The build finished but IronvaleLauncher.exe isn't there.");
    EXPECT_EQ(s_installed, choices.folder / L"ironvale-recomp" / L"build" / L"runtime" /
                               L"IronvaleLauncher.exe");
    EXPECT_TRUE(fs::exists(marker)); // nothing is rolled back
}

TEST_F(InstallRun, ABuiltLauncherEndsInSuccess) {
    const fs::path runtime = choices.folder / L"ironvale-recomp" / L"build" / L"runtime";
    fs::create_directories(runtime);
    fs::create_directories(choices.folder / L"ironvale-recomp" / L".git");
    WriteBytes(runtime / L"IronvaleLauncher.exe", "MZ");
    for (bool shortcut : {false, true}) {
        inbox.received.clear();
        g_atDone = {};
        choices.shortcut = shortcut;
        Install(choices);
        inbox.Pump();
        ExpectEnd(true, shortcut ? L"Done. Start the game with the launcher "
                                   L"(\"Ironvale Recompiled\" on the desktop)."
                                 : L"Done. Start the game with the launcher.");
    }
    // Both runs are in the one log, each starting with its header, the tools checked between.
    const auto lines = LogLines();
    const std::string header = "Ironvale Recompiled Setup, installing to ";
    std::vector<size_t> headers;
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].rfind(header, 0) == 0)
            headers.push_back(i);
    ASSERT_EQ(headers.size(), 2u);
    EXPECT_EQ(headers[0], 0u);
    EXPECT_EQ(lines[1], "== Checking the tools");
    EXPECT_EQ(lines[2].rfind("Git: using ", 0), 0u);
    EXPECT_EQ(lines[headers[1] - 1], "Done. Start the game with the launcher.");
}

TEST_F(InstallRun, OnAWorkerThreadTheEndWaitsForRoomInTheQueue) {
    g_doneRefusals = 5;
    std::thread worker(Install, choices);
    const bool done = inbox.PumpUntilDone(30000);
    worker.join();
    ASSERT_TRUE(done);
    inbox.Pump();
    ExpectEnd(false, L"The build finished but IronvaleLauncher.exe isn't there.");
}

ULONGLONG g_free = 0;
BOOL WINAPI FreeSpace(LPCWSTR, PULARGE_INTEGER available, PULARGE_INTEGER, PULARGE_INTEGER) {
    available->QuadPart = g_free;
    return g_free != 0; // none: the query failed
}

// Asked before anything is downloaded, of the drive as it is; No stops the run there.
TEST_F(InstallRun, PreflightAsksOnlyWhenShortOfSpace) {
    struct Case {
        ULONGLONG freeBytes;
        bool extracted;
        std::wstring question;
    };
    const Case cases[] = {
        {12 * kGiB, false, L""},
        {12 * kGiB - 1, false,
         L"The drive has 11 GB free; about 12 GB is needed. Continue anyway?"},
        {3 * kGiB + 7, false, L"The drive has 3 GB free; about 12 GB is needed. Continue anyway?"},
        {100, false, L"The drive has 0 GB free; about 12 GB is needed. Continue anyway?"},
        {0, false, L""},
        {4000 * kGiB, false, L""},
        {6 * kGiB, true, L""}, // from here on, the game is extracted
        {6 * kGiB - 1, true, L"The drive has 5 GB free; about 6 GB is needed. Continue anyway?"},
    };
    Override space(&Seams::freeSpace, FreeSpace);
    auto preflight = [&] {
        g_questions.clear();
        RunState run;
        const std::wstring outcome = OutcomeOf([&] { Preflight(choices, run); });
        CloseLog();
        return outcome;
    };
    g_answer = IDNO;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.freeBytes);
        g_free = c.freeBytes;
        if (c.extracted)
            MakeInstalled(choices.folder);
        EXPECT_EQ(preflight(), c.question.empty() ? L"ok" : L"Not enough disk space.");
        EXPECT_EQ(g_questions, c.question.empty() ? std::vector<std::wstring>{}
                                                  : std::vector<std::wstring>{c.question});
    }
    g_answer = IDYES; // goes on
    EXPECT_EQ(preflight(), L"ok");
    EXPECT_EQ(g_questions.size(), 1u);
}

} // namespace
