// What an install can do without once the game is built: the build leftovers and the tools
// Setup downloaded. Only looks; deleting is the caller's business.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace maintenance {

// The build tools, in the order Setup provides them: the folder each gets under tools\, the
// program that shows it is there, and the GitHub repository whose latest release has it, as
// the first asset whose file name matches the pattern (Python comes from NuGet instead).
struct ToolEntry {
    const wchar_t* name;
    const wchar_t* program;
    const char* repository; // null: NuGet's python package
    const char* pattern;
};
constexpr ToolEntry kToolTable[] = {
    {L"Git", L"git.exe", "git-for-windows/git", R"(MinGit-[0-9.]+-64-bit\.zip)"},
    {L"CMake", L"cmake.exe", "Kitware/CMake", R"(cmake-[0-9.]+-windows-x86_64\.zip)"},
    {L"Ninja", L"ninja.exe", "ninja-build/ninja", R"(ninja-win\.zip)"},
    {L"Clang", L"clang++.exe", "mstorsjo/llvm-mingw", R"(llvm-mingw-[0-9]+-ucrt-x86_64\.zip)"},
    {L"Python", L"python.exe", nullptr, nullptr},
};
// The tools' names, joined by ", " and before the last by last: "Git, CMake, ... and Python".
std::wstring ToolList(const wchar_t* last = L" and ");

// The archive a tool is downloaded as, in the tools folder: "Clang.zip".
std::wstring ArchiveName(const std::wstring& tool);

// The mark Setup leaves in each tool folder it unpacks: a folder without it is the user's.
constexpr wchar_t kToolMark[] = L"unpacked-by-ironvale-setup";

struct Part {
    std::wstring label;
    std::vector<std::filesystem::path> paths; // each deleted whole
    std::uint64_t size = 0;                   // bytes of the regular files under paths
};

Part Leftovers(const std::filesystem::path& sourceDir);
Part Tools(const std::filesystem::path& sourceDir);
std::uint64_t SizeOf(const std::filesystem::path& path);
bool Lower(const std::filesystem::path& path, const std::wstring& extension);

} // namespace maintenance
