// What the free-space option may delete: leftovers by extension, and only Setup's own tools.
#include "maintenance.h"
#include "support.h"

#include "walk.h"

#include <gtest/gtest.h>

#include <thread>

#include <algorithm>

using namespace testing_support;

namespace {

std::vector<std::wstring> Names(const maintenance::Part& part) {
    std::vector<std::wstring> names;
    for (const auto& path : part.paths)
        names.push_back(path.filename().native());
    return names;
}

TEST(Maintenance, LowerComparesTheExtensionIgnoringCase) {
    struct Case {
        const wchar_t* name;
        const wchar_t* extension;
        bool result;
    };
    const Case cases[] = {
        {L"X.OBJ", L".obj", true},      {L"y.Lib", L".lib", true}, {L"z.objx", L".obj", false},
        {L"x.obj.bak", L".obj", false}, {L".obj", L".obj", false}, {L"..", L".", false},
        {L"a.tar.GZ", L".gz", true},    {L"noext", L"", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(maintenance::Lower(c.name, c.extension), c.result) << fs::path(c.name).string();
}

TEST(Maintenance, LeftoversAreTheSevenExtensionsThenGeneratedCode) {
    TempFolder temp;
    const fs::path tree = temp.path() / L"ironvale-recomp";
    EXPECT_TRUE(maintenance::Leftovers(tree).paths.empty());
    EXPECT_EQ(maintenance::Leftovers(tree).size, 0u);

    const fs::path build = tree / L"build";
    fs::create_directories(build / L"obj" / L"deep");
    fs::create_directories(build / L"runtime");
    const wchar_t* listed[] = {L"X.OBJ",   L"y.Lib",   L"libz.a", L"m.o",
                               L"app.map", L"pre.pch", L"h.gch"};
    const wchar_t* kept[] = {L"z.objx", L"w.so", L"v.pdb", L"x.obj.bak", L".obj"};
    for (const wchar_t* name : listed)
        WriteBytes(build / L"obj" / L"deep" / name, std::string(100, 'x'));
    for (const wchar_t* name : kept)
        WriteBytes(build / L"obj" / name, "keep");
    WriteBytes(build / L"runtime" / L"IronvaleLauncher.exe", "MZ");
    fs::create_directories(tree / L"generated" / L"ppc" / L"sub");
    WriteBytes(tree / L"generated" / L"ppc" / L"a.cpp", std::string(1000, 'c'));
    WriteBytes(tree / L"generated" / L"ppc" / L"sub" / L"b.cpp", std::string(234, 'c'));

    // A link under build\ to a folder of the user's: nothing there is a leftover.
    fs::create_directories(tree / L"outside");
    WriteBytes(tree / L"outside" / L"x.map", "the user's");
    const std::wstring tar = L"C:\\windows\\system32\\tar.exe";
    ASSERT_EQ(setup::Run(setup::Quote(tar) + L" -xf " +
                             setup::Quote(setup::Widen(IRONVALE_ARCHIVES) + L"\\linked.tar") +
                             L" -C " + setup::Quote(build),
                         {}),
              0u);
    ASSERT_TRUE(fs::exists(build / L"linked" / L"x.map"));

    const auto part = maintenance::Leftovers(tree);
    EXPECT_EQ(part.label, L"Build leftovers (object files, libraries, generated C++)");
    ASSERT_EQ(part.paths.size(), 8u);
    EXPECT_EQ(part.paths.back(), tree / L"generated" / L"ppc");
    auto names = Names(part);
    names.pop_back();
    std::sort(names.begin(), names.end());
    std::vector<std::wstring> expected(std::begin(listed), std::end(listed));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names, expected);
    EXPECT_EQ(part.size, 7u * 100u + 1234u);
    // Wine can't delete a Unix link to a folder: the Linux Python behind the bridge can.
    const fs::path python = HelperFolder().parent_path() / L"bridge" / L"stub" / L"python.exe";
    setup::Run(setup::Quote(python) + L" -c \"import os; os.unlink('linked')\"", build);
    EXPECT_FALSE(fs::exists(build / L"linked"));
}

TEST(Maintenance, SizeOf) {
    TempFolder temp;
    WriteBytes(temp.path() / L"file", std::string(4321, 'x'));
    fs::create_directories(temp.path() / L"empty");
    fs::create_directories(temp.path() / L"full" / L"sub");
    WriteBytes(temp.path() / L"full" / L"a", std::string(10, 'x'));
    WriteBytes(temp.path() / L"full" / L"sub" / L"b", std::string(20, 'x'));
    EXPECT_EQ(maintenance::SizeOf(temp.path() / L"file"), 4321u);
    EXPECT_EQ(maintenance::SizeOf(temp.path() / L"missing"), 0u);
    EXPECT_EQ(maintenance::SizeOf(temp.path() / L"empty"), 0u);
    EXPECT_EQ(maintenance::SizeOf(temp.path() / L"full"), 30u);

    // Past 260 characters the file calls need the \\?\ form, and the standard library's
    // listing of such a folder lists another one.
    fs::path deep = temp.path() / L"deep";
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
    while (deep.native().size() < 300) {
        deep /= std::wstring(40, L'd');
        ASSERT_TRUE(CreateDirectoryW(setup::LongForm(deep).c_str(), nullptr));
    }
    for (const fs::path& file : {deep / L"a.obj", temp.path() / L"deep" / L"b.obj"}) {
        setup::UniqueHandle out(CreateFileW(setup::LongForm(file).c_str(), GENERIC_WRITE, 0,
                                            nullptr, CREATE_NEW, 0, nullptr));
        DWORD wrote = 0;
        ASSERT_TRUE(WriteFile(out.get(), "123456", 6, &wrote, nullptr));
    }
    EXPECT_EQ(maintenance::SizeOf(temp.path() / L"deep"), 12u);
    EXPECT_TRUE(setup::Remove(temp.path() / L"deep"));
    EXPECT_FALSE(fs::exists(temp.path() / L"deep"));
}

// A virus scanner opens a file as it is closed, for a moment: the rename waits it out.
TEST(Maintenance, ARenameWaitsForAFileHeldForAMoment) {
    TempFolder temp;
    const fs::path part = temp.path() / L"Clang.zip.part";
    const fs::path archive = temp.path() / L"Clang.zip";
    for (const DWORD heldMs : {200u, INFINITE}) {
        WriteBytes(part, "whole");
        setup::UniqueHandle held(CreateFileW(part.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held);
        std::thread scanner([&] {
            if (heldMs != INFINITE) {
                Sleep(heldMs);
                held.reset();
            }
        });
        EXPECT_EQ(setup::Move(part, archive, true), heldMs != INFINITE) << heldMs;
        scanner.join();
        EXPECT_EQ(fs::exists(archive), heldMs != INFINITE) << heldMs;
        held.reset();
        fs::remove(archive);
    }
}

TEST(Maintenance, ToolsAreOnlyWhatSetupPutThere) {
    TempFolder temp;
    const fs::path tree = temp.path() / L"ironvale-recomp";
    const fs::path tools = temp.path() / L"tools";
    for (const wchar_t* name : {L"Git", L"Ninja"}) {
        fs::create_directories(tools / name);
        WriteBytes(tools / name / L"program.exe", std::string(50, 'x'));
    }
    EXPECT_TRUE(maintenance::Tools(tree).paths.empty()); // not marked as Setup's

    for (const wchar_t* name : {L"Git", L"Ninja", L"CMake", L"Clang", L"Python"}) {
        fs::create_directories(tools / name / L"bin");
        WriteBytes(tools / name / L"bin" / L"program.exe", std::string(50, 'x'));
        if (std::wstring(name) != L"Python")
            WriteBytes(tools / name / maintenance::kToolMark, "");
    }
    WriteBytes(tools / L"CMake.zip", std::string(7, 'z')); // a download not yet unpacked
    // The user's own things in a shared tools folder, their own Python included: never listed,
    // never counted.
    WriteBytes(tools / L"Python.zip", std::string(9, 'p'));
    WriteBytes(tools / L"my-own-tool.exe", std::string(100000, 'u'));
    fs::create_directories(tools / L"Scripts");
    WriteBytes(tools / L"Scripts" / L"backup.cmd", std::string(100000, 'u'));

    const auto part = maintenance::Tools(tree);
    EXPECT_EQ(part.label, L"Build tools Setup downloaded (Git, CMake, Ninja, Clang, Python)");
    EXPECT_EQ(Names(part),
              (std::vector<std::wstring>{L"Git", L"CMake", L"CMake.zip", L"Ninja", L"Clang"}));
    EXPECT_EQ(part.size, 2u * 50u + 4u * 50u + 7u);
}

} // namespace
