// The window's rules that need no window: command line, default folder, sizes and folders.
#include "form.h"
#include "formrules.h"
#include "support.h"

#include <gtest/gtest.h>

using namespace setup;
using namespace testing_support;

namespace {

TEST(CommandLine, OnlyUpdateWithAFolderAfterItCounts) {
    struct Case {
        const wchar_t* line;
        const wchar_t* folder;
    };
    const Case cases[] = {
        {L"setup.exe", L""},
        {L"setup.exe --update C:\\Games\\Ironvale", L"C:\\Games\\Ironvale"},
        {L"setup.exe --update \"C:\\My Games\\Ironvale\"", L"C:\\My Games\\Ironvale"},
        {L"setup.exe --update", L""},
        {L"setup.exe --update \"\"", L""},
        {L"setup.exe --Update C:\\X", L""},
        {L"setup.exe -update C:\\X", L""},
        {L"setup.exe --update C:\\A --update C:\\B", L"C:\\B"},
        {L"setup.exe --update C:\\A --update", L"C:\\A"},
        {L"setup.exe other --update C:\\A more", L"C:\\A"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(UpdateFolder(c.line), c.folder) << fs::path(c.line).string();
}

DWORD WINAPI NoVariable(LPCWSTR, LPWSTR, DWORD) {
    return 0;
}
DWORD WINAPI DriveD(LPCWSTR, LPWSTR buffer, DWORD) {
    wcscpy(buffer, L"D:");
    return 2;
}
DWORD WINAPI TooLong(LPCWSTR, LPWSTR, DWORD) {
    return 20;
} // the size it would need

TEST(DefaultFolder, FollowsUpdateThenInstallThenSystemDrive) {
    TempFolder temp;
    const fs::path plain = temp.path() / L"plain";
    const fs::path install = temp.path() / L"install";
    fs::create_directories(plain);
    fs::create_directories(install / L"ironvale-recomp" / L".git");

    EXPECT_EQ(DefaultFolder(L"E:\\Mine", install, NoVariable), L"E:\\Mine");
    EXPECT_EQ(DefaultFolder(L"", install, NoVariable), install.native());
    EXPECT_EQ(DefaultFolder(L"", plain, DriveD), L"D:\\Ironvale-Recomp");
    EXPECT_EQ(DefaultFolder(L"", plain, NoVariable), L"C:\\Ironvale-Recomp");
    EXPECT_EQ(DefaultFolder(L"", plain, TooLong), L"C:\\Ironvale-Recomp");
    EXPECT_EQ(DefaultFolder(L"", plain), L"C:\\Ironvale-Recomp"); // the real lookup
}

TEST(SizeText, PowersOfTwoWithOneDecimalForGigabytes) {
    struct Case {
        ULONGLONG bytes;
        const wchar_t* text;
    };
    const Case cases[] = {
        {0, L"0 MB"},
        {1048576, L"1 MB"},
        {1073741823, L"1024 MB"},
        {1073741824, L"1.0 GB"},
        {1610612736, L"1.5 GB"},
        {12884901888ull, L"12.0 GB"},
        {1099511627776ull * 1024, L"1048576.0 GB"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SizeText(c.bytes), c.text) << c.bytes;
}

TEST(Folders, NearestExistingAncestor) {
    TempFolder temp;
    const fs::path file = temp.path() / L"file";
    WriteBytes(file, "x");
    EXPECT_EQ(NearestExisting(temp.path() / L"a" / L"b" / L"c"), temp.path());
    EXPECT_EQ(NearestExisting(file), file);
    EXPECT_EQ(NearestExisting(file / L"below"), file);
    EXPECT_EQ(NearestExisting(L"Q:\\no\\such\\drive"), fs::path(L"Q:\\"));
}

TEST(Folders, PickedFolderBecomesTheInstallFolder) {
    struct Case {
        const wchar_t* picked;
        const wchar_t* folder;
    };
    const Case cases[] = {
        {L"D:\\Games", L"D:\\Games\\Ironvale-Recomp"},
        {L"D:\\Games\\Ironvale-Recomp", L"D:\\Games\\Ironvale-Recomp"},
        {L"D:\\Games\\ironvale-recomp", L"D:\\Games\\ironvale-recomp\\Ironvale-Recomp"},
        {L"D:\\", L"D:\\Ironvale-Recomp"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(InstallFolderFor(c.picked), fs::path(c.folder)) << fs::path(c.picked).string();
}

} // namespace

// Which boxes Install's values get, in order; the last refusal ends the list.
TEST(Form, RefusalsAndQuestionsBeforeARun) {
    const std::wstring folderFirst = L"Choose a folder to install to.";
    const std::wstring fullFolder =
        L"Choose a full folder path without ';', such as C:\\Ironvale-Recomp.";
    const std::wstring fullSource =
        L"Choose the full path of your disc image or extracted disc folder.";
    const std::wstring nonAscii =
        L"The folder's path has non-English characters, which some build tools can't handle. "
        L"A folder like C:\\Ironvale-Recomp is safer. Continue anyway?";
    const std::wstring notFolder =
        L"That isn't a folder. Choose the folder of your extracted disc.";
    const std::wstring deleteImage =
        L"Delete the disc image when it's been extracted?\n\nD:\\Ironvale.iso\n\nThe game only "
        L"needs the extracted files; you'd need the disc image again only to install somewhere "
        L"else.";
    const std::wstring shorter =
        L"Choose a shorter install folder (at most 100 characters): the build's deepest files "
        L"would pass Windows' limit of 260 characters.";
    const std::wstring longest = L"C:\\" + std::wstring(97, L'x'); // 100 characters
    constexpr UINT kInfo = MB_ICONINFORMATION;
    constexpr UINT kAsk = MB_ICONWARNING | MB_YESNO;
    constexpr UINT kDelete = MB_ICONQUESTION | MB_YESNO;
    struct Case {
        FormValues values;
        std::vector<std::pair<std::wstring, UINT>> prompts;
    };
    const std::wstring umlaut = L"C:\\Spi\u00e4\u00f6le";
    const Case cases[] = {
        {{L"", L""}, {{folderFirst, kInfo}}},
        {{L"", L"C:\\Ironvale"}, {}},
        {{L"", L"c:\\Ironvale"}, {}},
        {{L"", L"Ironvale"}, {{fullFolder, kInfo}}},
        {{L"", L"..\\Ironvale"}, {{fullFolder, kInfo}}},
        {{L"", L"C:Ironvale"}, {{fullFolder, kInfo}}},
        {{L"", L"\\Ironvale"}, {{fullFolder, kInfo}}},
        {{L"", L"\\\\server"}, {{fullFolder, kInfo}}},
        {{L"", L"\\\\server\\\\x"}, {{fullFolder, kInfo}}},
        {{L"", L"\\\\\\share\\x"}, {{fullFolder, kInfo}}},
        {{L"", L"\\\\server\\share\\Ironvale"}, {}},
        {{L"", L"C:\\Iron;vale"}, {{fullFolder, kInfo}}},
        {{L"Ironvale.iso", L"C:\\Ironvale"}, {{fullSource, kInfo}}},
        {{L"D:\\Ironvale.iso", L"C:\\Ironvale"}, {}},
        {{L"", umlaut}, {{nonAscii, kAsk}}},
        {{L"Ironvale.iso", umlaut}, {{fullSource, kInfo}}},
        {{L"D:\\Ironvale.iso", L"C:\\Ironvale", true, false}, {{notFolder, kInfo}}},
        {{L"D:\\Disc", L"C:\\Ironvale", true, true}, {}},
        {{L"", L"C:\\Ironvale", true, false}, {}},
        {{L"D:\\Ironvale.iso", umlaut, true, false}, {{nonAscii, kAsk}, {notFolder, kInfo}}},
        {{L"D:\\Ironvale.iso", L"C:\\Ironvale", false, false, true}, {{deleteImage, kDelete}}},
        {{L"D:\\Ironvale.iso", umlaut, false, false, true},
         {{nonAscii, kAsk}, {deleteImage, kDelete}}},
        {{L"D:\\Ironvale.iso", L"C:\\Ironvale", false, false, true, true}, {}},
        {{L"D:\\Ironvale.iso", longest}, {}},
        {{L"D:\\Ironvale.iso", longest + L"x"}, {{shorter, kInfo}}},
        {{L"", longest + L"x", false, false, false, true}, {}}, // an install from before
    };
    for (const auto& c : cases) {
        std::vector<std::pair<std::wstring, UINT>> got;
        for (const Prompt& prompt : FormPrompts(c.values))
            got.emplace_back(prompt.text, prompt.flags);
        EXPECT_EQ(got, c.prompts) << "row " << &c - cases + 1;
    }
}
