// The tool step: PATH, the tools folder and downloads from the stand-in, unpacked by the real
// bsdtar behind system32\tar.exe, with the real git and python behind the archived bridges.
#include "maintenance.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace setup;
using namespace testing_support;

namespace {

const fs::path kArchives = Widen(IRONVALE_ARCHIVES);

// The stand-in serves one test archive under another's name.
void Serve(const std::wstring& archive, const std::wstring& as) {
    fs::remove(standin::File(as));
    fs::copy_file(kArchives / archive, standin::File(as));
}

std::wstring Outcome(const fs::path& folder) {
    return OutcomeOf([&] { ProvideTools(folder); });
}

class Tools : public ::testing::Test {
  protected:
    void SetUp() override { OfferTools(); }

    PathFront systemOnly{L"C:\\windows\\system32", L"C:\\windows"};
    TempFolder temp;
    fs::path folder = temp.path() / L"\u0141\u00f3d\u017a-\u0100"; // Łódź-Ā
    fs::path tools = folder / L"tools";
    Inbox inbox;
};

TEST_F(Tools, DownloadsUnpacksAndPutsEachOnPath) {
    const std::wstring before = ReadPath();
    ASSERT_EQ(Outcome(folder), L"ok");
    const auto downloads = inbox.Logged(L": downloading ");
    ASSERT_EQ(downloads.size(), 5u);
    const wchar_t* order[] = {L"Git", L"CMake", L"Ninja", L"Clang", L"Python"};
    for (size_t i = 0; i < 5; ++i)
        EXPECT_EQ(downloads[i].rfind(std::wstring(order[i]) + L": downloading http", 0), 0u);
    EXPECT_EQ(ReadPath(),
              (tools / L"Python" / L"tools").native() + L";" +
                  (tools / L"Clang" / L"llvm-mingw-20240606-ucrt-x86_64" / L"bin").native() + L";" +
                  (tools / L"Ninja").native() + L";" +
                  (tools / L"CMake" / L"cmake-3.30.0-windows-x86_64" / L"bin").native() + L";" +
                  (tools / L"Git" / L"cmd").native() + L";" + before);
    EXPECT_EQ(inbox.Logged(L"Git: ").back(),
              L"Git: " + (tools / L"Git" / L"cmd" / L"git.exe").native());
    // Checked where the release publishes a digest for the archive: not Ninja's (none), not
    // Clang's (only another asset's); Python's against NuGet's SHA-512.
    EXPECT_EQ(inbox.Logged(L": checksum"),
              (std::vector<std::wstring>{L"Git: checksum OK", L"CMake: checksum OK",
                                         L"Python: checksum OK"}));
    for (const auto& entry : fs::directory_iterator(tools))
        EXPECT_NE(entry.path().extension(), L".zip") << entry.path().string();
    // Windows' tar loses what its code page lacks: its command holds no name of the folder's.
    const auto unpacks = inbox.Logged(L"tar.exe\" -xf ");
    EXPECT_EQ(unpacks.size(), 5u);
    for (const std::wstring& command : unpacks)
        EXPECT_EQ(Narrow(command), std::string(command.begin(), command.end()));
    inbox.Pump();
    const auto statuses = inbox.Texts(kMsgStatus);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), L"Checking the tools"), 1);
    EXPECT_EQ(statuses.back(), L"Unpacking Python");
    const Received* lastProgress = nullptr;
    for (const auto& item : inbox.received)
        if (item.message == kMsgProgress)
            lastProgress = &item;
    ASSERT_TRUE(lastProgress);
    EXPECT_EQ(static_cast<INT_PTR>(lastProgress->wParam), -1);

    // What was unpacked runs by its bare name: the real git and python behind the bridges.
    std::string version;
    EXPECT_EQ(setup::Run(L"git --version", {}, [&](std::string_view line) { version = line; }), 0u);
    EXPECT_EQ(version.rfind("git version ", 0), 0u);
    EXPECT_EQ(setup::Run(L"python -c \"import sys; sys.exit(5)\"", {}), 5u);

    // Again in this process: all on PATH now, nothing changes.
    inbox.Pump();
    inbox.received.clear();
    const std::wstring after = ReadPath();
    ASSERT_EQ(Outcome(folder), L"ok");
    EXPECT_EQ(inbox.Logged(L": using ").size(), 5u);
    EXPECT_EQ(ReadPath(), after);

    // A new process (PATH as it was): found in the tools folder, nothing downloaded.
    inbox.Pump();
    inbox.received.clear();
    SetEnvironmentVariableW(L"PATH", before.c_str());
    ASSERT_EQ(Outcome(folder), L"ok");
    EXPECT_TRUE(inbox.Logged(L": downloading ").empty());
    EXPECT_TRUE(inbox.Logged(L": using ").empty());
    EXPECT_EQ(inbox.Logged(L"Python: ").back(),
              L"Python: " + (tools / L"Python" / L"tools" / L"python.exe").native());
}

TEST_F(Tools, PathIsSearchedAsItStands) {
    TempFolder bin;
    const fs::path apps = bin.path() / L"WindowsApps";
    fs::create_directories(apps);
    for (const wchar_t* program : {L"git.exe", L"cmake.exe", L"ninja.exe", L"clang++.exe"})
        fs::copy_file(HelperFolder() / L"child.exe", bin.path() / program);
    fs::copy_file(HelperFolder() / L"child.exe", apps / L"python.exe");
    fs::create_directories(bin.path() / L"dir" / L"ninja.exe"); // a folder counts on PATH
    const std::wstring path =
        L";" + apps.native() + L";;" + (bin.path() / L"dir").native() + L";" + bin.path().native();
    SetEnvironmentVariableW(L"PATH", path.c_str());

    ASSERT_EQ(Outcome(folder), L"ok");
    EXPECT_EQ(inbox.Logged(L": using "),
              (std::vector<std::wstring>{
                  L"Git: using " + (bin.path() / L"git.exe").native(),
                  L"CMake: using " + (bin.path() / L"cmake.exe").native(),
                  L"Ninja: using " + (bin.path() / L"ninja.exe").native(),
                  L"Clang: using " + (bin.path() / L"clang++.exe").native(),
              }));
    // The only python.exe was under WindowsApps: Python was downloaded and put in front.
    EXPECT_EQ(inbox.Logged(L": downloading ").size(), 1u);
    EXPECT_EQ(ReadPath(), (tools / L"Python" / L"tools").native() + L";" + path);
    EXPECT_EQ(inbox.Logged(L": passing over "),
              (std::vector<std::wstring>{L"Ninja: passing over " +
                                         (bin.path() / L"dir" / L"ninja.exe").native() +
                                         L" (it doesn't start)"}));
}

// Old and wrong tools first on PATH are asked and passed over, and the next good one is used.
TEST_F(Tools, OldAndWrongToolsOnPathArePassedOver) {
    TempFolder old;
    TempFolder good;
    const std::pair<const wchar_t*, const char*> answers[] = {
        {L"git.exe", "git version 2.30.0.windows.1\n"},
        {L"cmake.exe", "cmake version 3.10.2\n"},
        {L"ninja.exe", "hang"},
        {L"clang++.exe", "clang version 18.1.8\nTarget: x86_64-pc-windows-msvc\n"},
        {L"python.exe", "Python 3.8.10\n"},
    };
    for (const auto& [program, answer] : answers) {
        fs::copy_file(HelperFolder() / L"child.exe", old.path() / program);
        WriteBytes(old.path() / (std::wstring(program) + L".version"), answer);
    }
    for (const wchar_t* program : {L"cmake.exe", L"ninja.exe"})
        fs::copy_file(HelperFolder() / L"child.exe", good.path() / program);
    const std::wstring path = old.path().native() + L";" + good.path().native() + L";" + ReadPath();
    SetEnvironmentVariableW(L"PATH", path.c_str());

    const ULONGLONG start = GetTickCount64();
    ASSERT_EQ(Outcome(folder), L"ok");
    EXPECT_LT(GetTickCount64() - start, 15000u); // the Ninja that never answers costs its 5 s
    const auto over = [&](const wchar_t* name, const wchar_t* program, const wchar_t* why) {
        return std::wstring(name) + L": passing over " + (old.path() / program).native() + L" (" +
               why + L")";
    };
    EXPECT_EQ(
        inbox.Logged(L": passing over "),
        (std::vector<std::wstring>{
            over(L"Git", L"git.exe", L"2.30.0; Setup needs 2.38 or newer"),
            over(L"CMake", L"cmake.exe", L"3.10.2; the build needs 3.25 or newer"),
            over(L"Ninja", L"ninja.exe", L"it didn't answer within 5 s"),
            over(L"Clang", L"clang++.exe", L"it builds for x86_64-pc-windows-msvc, not MinGW"),
            over(L"Python", L"python.exe", L"3.8.10; the build needs 3.12 or newer"),
        }));
    EXPECT_EQ(
        inbox.Logged(L": using "),
        (std::vector<std::wstring>{L"CMake: using " + (good.path() / L"cmake.exe").native(),
                                   L"Ninja: using " + (good.path() / L"ninja.exe").native()}));
    EXPECT_EQ(inbox.Logged(L": downloading ").size(), 3u); // Git, Clang and Python: Setup's own
}

// What a copy on PATH answers to --version, and whether it can do the job.
TEST(ToolVerdict, VersionsAndTargets) {
    const auto& git = maintenance::kToolTable[0];
    const auto& cmake = maintenance::kToolTable[1];
    const auto& ninja = maintenance::kToolTable[2];
    const auto& clang = maintenance::kToolTable[3];
    const auto& python = maintenance::kToolTable[4];
    struct Case {
        const maintenance::ToolEntry& tool;
        const char* output;
        const wchar_t* verdict;
    };
    const Case cases[] = {
        {git, "git version 2.47.1.windows.1\n", L""},
        {git, "git version 2.38.0-rc3", L""},
        {git, "git version 2.37.9", L"2.37.9; Setup needs 2.38 or newer"},
        {cmake, "cmake version 3.31.10\n\nCMake suite maintained and supported by Kitware", L""},
        {ninja, "1.12.1\n", L""},
        {ninja, "1.10.2\n", L"1.10.2; the build needs 1.11 or newer"},
        {clang,
         "clang version 19.1.7 (https://github.com/llvm/llvm-project.git cd70802)\r\nTarget: "
         "x86_64-w64-windows-gnu\r\nThread model: posix\r\nInstalledDir: C:/llvm-mingw/bin\r\n",
         L""},
        {clang,
         "clang version 18.1.8\nTarget: x86_64-pc-windows-msvc\nThread model: posix\n"
         "InstalledDir: C:\\Program Files\\LLVM\\bin\n",
         L"it builds for x86_64-pc-windows-msvc, not MinGW"},
        {clang, "Vendor clang version 18.1.0 (build 7)\nTarget: x86_64-w64-windows-gnu\n", L""},
        {clang, "clang version 17.0.6\nTarget: x86_64-w64-windows-gnu\n",
         L"17.0.6; the build needs 18 or newer"},
        {clang, "clang version 19.1.7\n", L"it builds for no target it names, not MinGW"},
        {python, "Python 3.12.7\r\n", L""},
        {python, "Python 3.8.10\r\n", L"3.8.10; the build needs 3.12 or newer"},
        {python, "Python 4.0.1\n", L"4.0.1; the build needs 3.12 or newer, below 4"},
        {python, "", L"it printed no version"},
        {python, "Python was not found; run without arguments to install from the Store",
         L"it printed no version"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(maintenance::ToolVerdict(c.tool, c.output), c.verdict)
            << "row " << &c - cases + 1;
}

TEST_F(Tools, FailuresNameTheirTool) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::wstring message;
    };
    const fs::path tar = L"C:\\windows\\system32\\tar.exe";
    const std::wstring answered = standin::Release(L"Kitware/CMake").native() + L".status";
    const fs::path hidden = L"C:\\windows\\system32\\tar.exe.away";
    const Case cases[] = {
        {"substituted archive", [&] { Serve(L"corrupt.zip", L"MinGit-2.45.1-64-bit.zip"); },
         L"Git was damaged on the way (its checksum doesn't match). Try again."},
        {"corrupt archive without a digest", [&] { Serve(L"corrupt.zip", L"ninja-win.zip"); },
         L"Couldn't unpack Ninja."},
        {"release document over 32 MiB",
         [&] { WriteBytes(standin::Release(L"Kitware/CMake"), std::string((32u << 20) + 1, ' ')); },
         L"Couldn't reach GitHub to find Kitware/CMake. Check the internet connection."},
        {"no release document", [&] { fs::remove(standin::Release(L"Kitware/CMake")); },
         L"Couldn't reach GitHub to find Kitware/CMake. Check the internet connection."},
        {"a plain 403, not the rate limit", [&] { WriteBytes(answered, "403"); },
         L"Couldn't reach GitHub to find Kitware/CMake. Check the internet connection."},
        {"archive gone", [&] { fs::remove(standin::File(L"ninja-win.zip")); },
         L"Couldn't download Ninja."},
        {"program too deep", [&] { OfferTools(L"ninja-deep.zip"); },
         L"Ninja didn't contain ninja.exe."},
        {"no Python 3.12", [&] { WriteBytes(standin::PythonIndex(), "[]"); },
         L"No Python 3.12 package on NuGet."},
        {"cancelled", [&] { s_cancel = true; }, L"Cancelled."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder run;
        OfferTools();
        c.arrange();
        EXPECT_EQ(Outcome(run.path()), c.message);
        fs::remove(answered);
        s_cancel = false;
        SetEnvironmentVariableW(L"PATH", L"C:\\windows\\system32;C:\\windows");
    }

    // GitHub's secondary limit: 429 with Retry-After names the time it ends (the minute may turn
    // while the run goes, so only the sentence is compared).
    {
        TempFolder run;
        OfferTools();
        WriteBytes(answered, "429 3600");
        const std::wstring outcome = Outcome(run.path());
        fs::remove(answered);
        EXPECT_EQ(
            outcome.rfind(L"GitHub's limit of requests from this network is used up until ", 0), 0u)
            << Narrow(outcome);
    }

    // Without tar.exe the unpack command itself cannot start.
    TempFolder run;
    OfferTools();
    fs::rename(tar, hidden);
    const std::wstring outcome = Outcome(run.path());
    fs::rename(hidden, tar);
    EXPECT_EQ(outcome, L"Couldn't start: " + Quote(tar) + L" -xf Git.zip -C Git");
}

TEST_F(Tools, ADamagedDownloadIsDeletedAndFetchedAgainNextTime) {
    Serve(L"corrupt.zip", L"MinGit-2.45.1-64-bit.zip");
    EXPECT_EQ(Outcome(folder),
              L"Git was damaged on the way (its checksum doesn't match). Try again.");
    EXPECT_FALSE(fs::exists(tools / L"Git.zip"));
    EXPECT_EQ(inbox.Logged(L"Git: expected "),
              std::vector<std::wstring>{L"Git: expected SHA-256 " +
                                        Widen(ArchiveSha256(L"MinGit-2.45.1-64-bit.zip")) +
                                        L", got " + Widen(ArchiveSha256(L"corrupt.zip"))});
    OfferTools();
    ASSERT_EQ(Outcome(folder), L"ok");
    EXPECT_EQ(inbox.Logged(L"Git: checksum OK").size(), 1u);
}

// One tool downloaded, the others stand-ins on PATH: what a part file left by an interrupted
// download becomes in the next run. The stand-in counts the bytes it served.
TEST_F(Tools, AnInterruptedArchiveIsContinuedNextTime) {
    const std::wstring cmakeZip = L"cmake-3.30.0-windows-x86_64.zip";
    const fs::path served = standin::File(cmakeZip);
    const std::string whole = ReadBytes(kArchives / cmakeZip);
    const std::string half = whole.substr(0, whole.size() / 2);
    const fs::path part = tools / L"CMake.zip.part";
    struct Case {
        const char* name;
        const wchar_t* tool;
        const wchar_t* program;
        std::function<void()> arrange;
        std::wstring outcome;
        std::vector<std::wstring> lines; // in setup.log, in this order
        bool wholeAgain;                 // the archive was served in full once more
    };
    const Case cases[] = {
        {"stalled half way and cancelled",
         L"CMake",
         L"cmake.exe",
         [&] {
             standin::Stall stall(served);
             auto run = std::async(std::launch::async, [&] { return Outcome(folder); });
             for (int i = 0; i < 300 && !(fs::exists(part) && fs::file_size(part) > 0); ++i)
                 Sleep(50);
             s_cancel = true;
             EXPECT_EQ(run.get(), L"Cancelled.");
             s_cancel = false;
             stall.End();
             // All that arrived, but for the block still being read when the cancel came.
             const std::string kept = ReadBytes(part);
             EXPECT_EQ(whole.compare(0, kept.size(), kept), 0);
             EXPECT_LE(kept.size(), half.size());
             EXPECT_GT(kept.size() + (64 << 10), half.size());
         },
         L"ok",
         {L"CMake: resuming at 0 MB", L"CMake: checksum OK"},
         false},
        {"a server that ignores Range",
         L"CMake",
         L"cmake.exe",
         [&] {
             WriteBytes(part, half);
             WriteBytes(served.native() + L".norange", "");
         },
         L"ok",
         {L"CMake: the server can't resume; starting over", L"CMake: checksum OK"},
         true},
        {"a whole part: 416",
         L"CMake",
         L"cmake.exe",
         [&] { WriteBytes(part, whole); },
         L"ok",
         {L"CMake: checksum OK"},
         false},
        {"a part of another release",
         L"CMake",
         L"cmake.exe",
         [&] { WriteBytes(part, std::string(half.size(), 'x')); },
         L"CMake was damaged on the way (its checksum doesn't match). Try again.",
         {L"CMake: resuming at 0 MB", L"CMake: its checksum doesn't match",
          L"CMake: expected SHA-256 "},
         false},
        {"Python's hash not NuGet's",
         L"Python",
         L"python.exe",
         [&] { PublishPythonHash(std::string(86, 'A') + "=="); },
         L"Python was damaged on the way (its checksum doesn't match). Try again.",
         {L"Python: expected SHA-512 0000"},
         true},
        {"no hash published for Python",
         L"Python",
         L"python.exe",
         [&] { PublishPythonHash(""); },
         L"ok",
         {},
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder bin;
        for (const auto& tool : maintenance::kToolTable)
            if (std::wstring(tool.program) != c.program)
                fs::copy_file(HelperFolder() / L"child.exe", bin.path() / tool.program);
        SetEnvironmentVariableW(L"PATH", (bin.path().native() + L";C:\\windows\\system32").c_str());
        RemoveTree(folder);
        fs::create_directories(tools);
        c.arrange();
        inbox.Pump();
        inbox.received.clear();
        const unsigned long long before = StandInFigure(L"sent");
        EXPECT_EQ(Outcome(folder), c.outcome);
        const unsigned long long sent = StandInFigure(L"sent") - before;
        const size_t size = std::wstring(c.tool) == L"CMake"
                                ? whole.size()
                                : ReadBytes(kArchives / L"python.3.12.10.nupkg").size();
        EXPECT_EQ(sent >= size, c.wholeAgain) << sent << " bytes served";
        const std::vector<std::wstring> logged = inbox.Logged(std::wstring(c.tool) + L": ");
        size_t at = 0;
        for (const std::wstring& line : c.lines) {
            while (at < logged.size() && logged[at].rfind(line, 0) != 0)
                ++at;
            EXPECT_LT(at, logged.size()) << "missing, or out of order: " << Narrow(line);
        }
        if (c.lines.empty()) {
            EXPECT_TRUE(inbox.Logged(L": checksum").empty());
        }
        EXPECT_FALSE(fs::exists(part)); // taken as the archive, or deleted as damaged
        fs::remove(served.native() + L".norange");
        OfferTools();
    }
}

// A drive that fills up during a download: the message names the drive, not the network; the
// part stays, and once there is room the next run goes on from it. X: is a drive of 4 MB.
TEST_F(Tools, AFullDriveIsNamedAndTheDownloadGoesOnOnceThereIsRoom) {
    const fs::path drive = L"X:\\";
    ULARGE_INTEGER free{};
    ULARGE_INTEGER total{};
    ASSERT_TRUE(GetDiskFreeSpaceExW(drive.c_str(), &free, &total, nullptr));
    ASSERT_LT(total.QuadPart, 64ull << 20) << "X: is no small drive (scripts/wine-env mounts one)";
    const fs::path small = drive / L"Ironvale";
    const fs::path filler = drive / L"filler.bin";
    struct Cleanup {
        const fs::path& small;
        const fs::path& filler;
        ~Cleanup() {
            RemoveTree(small);
            std::error_code error;
            fs::remove(filler, error);
        }
    } cleanup{small, filler};
    WriteBytes(filler, std::string(free.QuadPart - (100 << 10), '\0')); // less than CMake's
    TempFolder bin;
    for (const wchar_t* program : {L"git.exe", L"ninja.exe", L"clang++.exe", L"python.exe"})
        fs::copy_file(HelperFolder() / L"child.exe", bin.path() / program);
    PathFront others(bin.path());

    EXPECT_EQ(Outcome(small), L"Couldn't download CMake: drive X: is full. Free some space, then "
                              L"press Install again.");
    const fs::path part = small / L"tools" / L"CMake.zip.part";
    ASSERT_TRUE(fs::exists(part));
    EXPECT_GT(fs::file_size(part), 0u);
    fs::remove(filler);
    EXPECT_EQ(Outcome(small), L"ok");
    EXPECT_EQ(inbox.Logged(L"CMake: resuming at ").size(), 1u);
    EXPECT_FALSE(FindUnder(small / L"tools" / L"CMake", L"cmake.exe").empty());
}

TEST_F(Tools, ATooDeepToolIsDownloadedAgainNextTime) {
    OfferTools(L"ninja-deep.zip");
    EXPECT_EQ(Outcome(folder), L"Ninja didn't contain ninja.exe.");
    const fs::path deep = tools / L"Ninja" / L"a" / L"b" / L"c" / L"d" / L"ninja.exe";
    EXPECT_TRUE(fs::exists(deep));
    SetFileAttributesW(deep.c_str(), FILE_ATTRIBUTE_READONLY); // as archives may leave it
    OfferTools();
    inbox.Pump();
    inbox.received.clear();
    ASSERT_EQ(Outcome(folder), L"ok");
    EXPECT_EQ(inbox.Logged(L": downloading ").size(), 3u); // Ninja again, and the two after it
    EXPECT_FALSE(fs::exists(tools / L"Ninja" / L"a"));     // the old content went first
}

// A folder of a tool's name that Setup didn't make is the user's: used if it has the program,
// never wiped to unpack into.
TEST_F(Tools, FoldersSetupDidNotMarkAreNeverWiped) {
    fs::create_directories(tools / L"Python");
    WriteBytes(tools / L"Python" / L"notes.txt", "mine");
    EXPECT_EQ(Outcome(folder), L"tools\\Python holds files Setup didn't put there. Move them "
                               L"away or choose another install folder.");
    EXPECT_EQ(ReadBytes(tools / L"Python" / L"notes.txt"), "mine");

    // Setup's own, but a file in it is held open: cleared in vain for a while, then said so.
    fs::remove(tools / L"Python" / L"notes.txt");
    WriteBytes(tools / L"Python" / maintenance::kToolMark, "");
    UniqueHandle held(CreateFileW((tools / L"Python" / maintenance::kToolMark).c_str(),
                                  GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_EQ(Outcome(folder),
              L"Couldn't clear " + (tools / L"Python").native() + L" (a file in it is in use).");
}

TEST(FindUnder, ExactNamesToDepthThree) {
    TempFolder temp;
    const fs::path root = temp.path();
    fs::create_directories(root / L"a" / L"b" / L"c" / L"d");
    WriteBytes(root / L"a" / L"b" / L"c" / L"clang++.exe", "x");
    WriteBytes(root / L"a" / L"b" / L"c" / L"d" / L"ninja.exe", "x");
    WriteBytes(root / L"Git.EXE", "x");
    fs::create_directories(root / L"cmake.exe");
    WriteBytes(root / L"a" / L"cmake.exe", "x");
    EXPECT_EQ(FindUnder(root, L"clang++.exe"), root / L"a" / L"b" / L"c" / L"clang++.exe");
    EXPECT_EQ(FindUnder(root, L"ninja.exe"), fs::path());
    EXPECT_EQ(FindUnder(root, L"git.exe"), fs::path());
    EXPECT_EQ(FindUnder(root, L"cmake.exe"), root / L"a" / L"cmake.exe");
    EXPECT_EQ(FindUnder(root / L"missing", L"cmake.exe"), fs::path());
}

} // namespace

namespace {

// The Linux side of a bridge: gone, or a zombie waiting to be reaped, once the bridge has ended.
bool LinuxProcessAlive(const std::string& pid) {
    return LinuxProcessesRunning(
               [&](const std::wstring& id, const std::string&) { return id == Widen(pid); }) > 0;
}

TEST(Bridge, EndingTheBridgeEndsTheLinuxProgram) {
    Inbox inbox;
    const std::wstring python =
        Quote(HelperFolder().parent_path() / L"bridge" / L"stub" / L"python.exe");
    std::string pid;
    UniqueHandle started(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::wstring failure;
    auto running = std::async(std::launch::async, [&] {
        failure = OutcomeOf([&] {
            setup::Run(
                python +
                    L" -c \"import os, time; print(os.getpid(), flush=True); time.sleep(600)\"",
                {}, [&](std::string_view line) {
                    pid = line;
                    SetEvent(started.get());
                });
        });
    });
    ASSERT_EQ(WaitForSingleObject(started.get(), 30000), WAIT_OBJECT_0);
    EXPECT_TRUE(LinuxProcessAlive(pid));
    s_cancel = true;
    TerminateJobObject(s_job.get(), 1);
    WaitOrDie(running, 30, "Run of a bridged program after a cancel");
    EXPECT_EQ(failure, L"Cancelled.");
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i, Sleep(100))
        gone = !LinuxProcessAlive(pid);
    EXPECT_TRUE(gone) << "python3 " << pid << " outlived its bridge";
}

} // namespace
