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
