// Finishing: the launcher check, the shortcut read back through the shell, freeing space and
// deleting the disc image, and the end text they make.
#include "maintenance.h"
#include "support.h"

#include <gtest/gtest.h>

#include <shlobj.h>

#include <thread>

using namespace setup;
using namespace testing_support;

namespace {

const std::wstring kDone = L"Done. Start the game with the launcher";
const std::wstring kDesktopSuffix = L" (\"Ironvale Recompiled\" on the desktop).";
const std::wstring kImageSentence =
    L"\n\nThe disc image was deleted (the game's files are in ironvale-recomp\\game\\extracted).";

std::wstring Freed(const std::wstring& size) {
    return L"\n\nFreed " + size +
           L" (the next update downloads the tools again and rebuilds from scratch).";
}

fs::path Desktop() {
    wchar_t desktop[MAX_PATH];
    SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, desktop);
    return fs::path(desktop) / L"Ironvale Recompiled.lnk";
}

HRESULT WINAPI NoDesktop(HWND, int, HANDLE, DWORD, LPWSTR) {
    return E_FAIL;
}

struct Shortcut {
    std::wstring target, folder, description;
};

Shortcut ReadShortcut(const fs::path& file) {
    Shortcut read;
    UniqueCom<IShellLinkW> link;
    UniqueCom<IPersistFile> persist;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                link.putVoid())) ||
        FAILED(link->QueryInterface(IID_IPersistFile, persist.putVoid())) ||
        FAILED(persist->Load(file.c_str(), STGM_READ)))
        return read;
    wchar_t text[MAX_PATH] = L"";
    link->GetPath(text, MAX_PATH, nullptr, 0);
    read.target = text;
    link->GetWorkingDirectory(text, MAX_PATH);
    read.folder = text;
    link->GetDescription(text, MAX_PATH);
    read.description = text;
    return read;
}

class Finishing : public ::testing::Test {
  protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        std::error_code error;
        fs::remove(Desktop(), error);
        run.sourceDir = MakeInstalled(temp.path(), HelperFolder() / L"launcher.exe");
        runtime = run.sourceDir / L"build" / L"runtime";
        choices.source = temp.path() / L"Ironvale.iso";
        WriteBytes(choices.source, "disc");
    }
    void TearDown() override { CoUninitialize(); }

    void Leftovers() {
        fs::create_directories(run.sourceDir / L"build" / L"obj");
        // 5 MiB in all, so that the totals show what was counted.
        WriteBytes(run.sourceDir / L"build" / L"obj" / L"a.obj", std::string(2 << 20, 'o'));
        WriteBytes(run.sourceDir / L"build" / L"obj" / L"b.lib", std::string(3 << 20, 'l'));
    }
    // Three tools Setup unpacked (Clang's program read-only, as archives may have it), and the
    // user's own things, a Python of theirs among them.
    void Tools() {
        for (const wchar_t* name : {L"Git", L"CMake", L"Clang"}) {
            fs::create_directories(tools / name);
            WriteBytes(tools / name / L"program.exe", std::string(1 << 20, 't')); // 3 MiB in all
            WriteBytes(tools / name / maintenance::kToolMark, "");
        }
        SetFileAttributesW((tools / L"Clang" / L"program.exe").c_str(), FILE_ATTRIBUTE_READONLY);
        WriteBytes(tools / L"users-own.txt", "not Setup's");
        fs::create_directories(tools / L"Python");
        WriteBytes(tools / L"Python" / L"python.exe", "the user's own");
    }
    std::wstring Outcome() {
        inbox.Pump();
        inbox.received.clear();
        try {
            return Finish(choices, run);
        } catch (const Failed& failed) {
            return L"failed: " + failed.message;
        }
    }

    TempFolder temp;
    Choices choices;
    RunState run;
    fs::path runtime;
    fs::path tools = temp.path() / L"tools";
    Inbox inbox;
};

TEST_F(Finishing, NoOptionDoesNothingButCheck) {
    Leftovers();
    EXPECT_EQ(Outcome(), kDone + L".");
    EXPECT_EQ(s_installed, runtime / L"IronvaleLauncher.exe");
    EXPECT_TRUE(inbox.Logged().empty());
    EXPECT_TRUE(fs::exists(run.sourceDir / L"build" / L"obj" / L"a.obj"));
    EXPECT_FALSE(fs::exists(Desktop()));
}

TEST_F(Finishing, AMissingLauncherFailsBeforeAnyOption) {
    Leftovers();
    Tools();
    fs::remove(runtime / L"IronvaleLauncher.exe");
    choices = {choices.source, choices.folder, true, true, true};
    EXPECT_EQ(Outcome(), L"failed: The build finished but IronvaleLauncher.exe isn't there.");
    EXPECT_EQ(s_installed, runtime / L"IronvaleLauncher.exe"); // set before the check
    EXPECT_TRUE(fs::exists(run.sourceDir / L"build" / L"obj" / L"a.obj"));
    EXPECT_TRUE(fs::exists(tools / L"Clang"));
    EXPECT_TRUE(fs::exists(choices.source));
    EXPECT_FALSE(fs::exists(Desktop()));
}

TEST_F(Finishing, TheShortcutPointsAtTheLauncherAndIsReplaced) {
    choices.shortcut = true;
    EXPECT_EQ(Outcome(), kDone + kDesktopSuffix);
    const Shortcut first = ReadShortcut(Desktop());
    EXPECT_EQ(first.target, (runtime / L"IronvaleLauncher.exe").native());
    EXPECT_EQ(first.folder, runtime.native());
    EXPECT_EQ(first.description, L"Ironvale Recompiled");
    WriteBytes(Desktop(), "not a shortcut any more");
    EXPECT_EQ(Outcome(), kDone + kDesktopSuffix);
    EXPECT_EQ(ReadShortcut(Desktop()).target, (runtime / L"IronvaleLauncher.exe").native());

    // No desktop to be had: the end text doesn't claim a shortcut, and the log says so.
    {
        Override noDesktop(&Seams::folderPath, NoDesktop);
        fs::remove(Desktop());
        EXPECT_EQ(Outcome(), kDone + L".");
    }
    EXPECT_EQ(inbox.Logged(), std::vector<std::wstring>{L"Couldn't make the desktop shortcut."});
}

TEST_F(Finishing, FreeingSpaceLogsEachPartAndTheTotal) {
    choices.freeSpace = true;
    EXPECT_EQ(Outcome(), kDone + L"." + Freed(L"0 MB"));
    EXPECT_EQ(
        inbox.Logged(),
        (std::vector<std::wstring>{
            L"== Freeing up space",
            L"Deleting Build leftovers (object files, libraries, generated C++): 0 MB",
            L"Deleting Build tools Setup downloaded (Git, CMake, Ninja, Clang, Python): 0 MB"}));

    // A locked leftover: its part is not counted; everything else still goes.
    Leftovers();
    Tools();
    UniqueHandle locked(CreateFileW((run.sourceDir / L"build" / L"obj" / L"a.obj").c_str(),
                                    GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(locked);
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(Outcome(), kDone + L"." + Freed(L"3 MB")); // the tools alone
    const ULONGLONG waited = GetTickCount64() - start;   // for the lock to go, before giving up
    EXPECT_GE(waited, 4500u);
    EXPECT_LT(waited, 9000u);
    const auto lines = inbox.Logged();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1], L"Deleting Build leftovers (object files, libraries, generated C++): 5 MB");
    EXPECT_EQ(lines[2], L"(some of it couldn't be deleted)");
    EXPECT_EQ(lines[3],
              L"Deleting Build tools Setup downloaded (Git, CMake, Ninja, Clang, Python): 3 MB");
    EXPECT_FALSE(fs::exists(run.sourceDir / L"build" / L"obj" / L"b.lib"));
    EXPECT_FALSE(fs::exists(tools / L"Clang"));                    // read-only inside
    EXPECT_EQ(ReadBytes(tools / L"users-own.txt"), "not Setup's"); // never Setup's to delete
    EXPECT_EQ(ReadBytes(tools / L"Python" / L"python.exe"), "the user's own");
    EXPECT_TRUE(fs::exists(runtime / L"IronvaleLauncher.exe"));

    // Held for a moment, as a virus scanner holds a new file: the retry deletes it.
    locked.reset();
    Leftovers();
    locked.reset(CreateFileW((run.sourceDir / L"build" / L"obj" / L"a.obj").c_str(), GENERIC_READ,
                             0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(locked);
    std::thread scanner([&] {
        Sleep(1000);
        locked.reset();
    });
    const std::wstring outcome = Outcome();
    scanner.join();
    EXPECT_EQ(outcome, kDone + L"." + Freed(L"5 MB"));
    EXPECT_FALSE(fs::exists(run.sourceDir / L"build" / L"obj" / L"a.obj"));
    EXPECT_EQ(inbox.Logged().size(), 3u); // nothing couldn't be deleted
}

TEST_F(Finishing, TheImageGoesOnlyWhenThisRunExtractedIt) {
    choices.deleteImage = true;
    run.gameExtracted = true; // an update: the game was there before
    EXPECT_EQ(Outcome(), kDone + L".");
    EXPECT_TRUE(fs::exists(choices.source));
    EXPECT_TRUE(inbox.Logged().empty());

    run.gameExtracted = false;
    {
        UniqueHandle held(CreateFileW(choices.source.c_str(), GENERIC_READ, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
        EXPECT_EQ(Outcome(), kDone + L".");
        EXPECT_EQ(inbox.Logged(), std::vector<std::wstring>{L"Couldn't delete the disc image " +
                                                      choices.source.native()});
    }
    // No extracted copy to show for it (the run never made one): the image is all there is.
    const fs::path marker = run.sourceDir / kGameMarker;
    fs::rename(marker, marker.native() + L".away");
    EXPECT_EQ(Outcome(), kDone + L".");
    EXPECT_TRUE(fs::exists(choices.source));
    fs::rename(marker.native() + L".away", marker);
    // A read-only image keeps its protection: the user's own choice.
    SetFileAttributesW(choices.source.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(Outcome(), kDone + L".");
    EXPECT_TRUE(GetFileAttributesW(choices.source.c_str()) & FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW(choices.source.c_str(), FILE_ATTRIBUTE_NORMAL);

    const fs::path folder = temp.path() / L"disc folder";
    fs::create_directories(folder);
    const fs::path image = choices.source;
    choices.source = folder; // a folder source is never deleted
    EXPECT_EQ(Outcome(), kDone + L".");
    EXPECT_TRUE(fs::exists(folder));
    choices.source = image;
}

TEST_F(Finishing, AllThreeOptionsInOrder) {
    Leftovers();
    Tools();
    choices = {choices.source, choices.folder, true, true, true};
    EXPECT_EQ(Outcome(), kDone + kDesktopSuffix + Freed(L"8 MB") + kImageSentence);
    EXPECT_FALSE(fs::exists(choices.source));
    EXPECT_TRUE(fs::exists(runtime / L"IronvaleLauncher.exe"));
    EXPECT_TRUE(fs::exists(run.sourceDir / kGameMarker));
    EXPECT_FALSE(fs::exists(tools / L"Git"));
    EXPECT_TRUE(fs::exists(Desktop()));
    EXPECT_EQ(inbox.Logged().back(), L"Deleted the disc image " + choices.source.native());
}

} // namespace
