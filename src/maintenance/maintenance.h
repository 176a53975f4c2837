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
// the first asset whose file name matches the pattern (Python comes from NuGet instead). A copy
// already on PATH is used when `program --version` names, after the version prefix, a version
// from the minimum up to (not including) the major version `below` (0: no bound), and, where the
// table names one, a "Target:" that ends as `target` does; `needs` says who needs it.
struct ToolEntry {
    const wchar_t* name;
    const wchar_t* program;
    const char* repository; // null: NuGet's python package
    const char* pattern;
    const char* versionPrefix;
    const char* minimum;
    int below;
    const wchar_t* needs;
    const char* target; // null: any
};
constexpr ToolEntry kToolTable[] = {
    // Setup gives git its settings through the environment, which git reads since 2.38.
    {L"Git", L"git.exe", "git-for-windows/git", R"(MinGit-[0-9.]+-64-bit\.zip)", "git version ",
     "2.38", 0, L"Setup needs", nullptr},
    // Older ones can't read the project's presets.
    {L"CMake", L"cmake.exe", "Kitware/CMake", R"(cmake-[0-9.]+-windows-x86_64\.zip)",
     "cmake version ", "3.25", 0, L"the build needs", nullptr},
    {L"Ninja", L"ninja.exe", "ninja-build/ninja", R"(ninja-win\.zip)", "", "1.11", 0,
     L"the build needs", nullptr},
    // And one that builds for MinGW, as llvm-mingw's does, not for MSVC.
    {L"Clang", L"clang++.exe", "mstorsjo/llvm-mingw", R"(llvm-mingw-[0-9]+-ucrt-x86_64\.zip)",
     "clang version ", "18", 0, L"the build needs", "-windows-gnu"},
    // The build script is written for 3.12.
    {L"Python", L"python.exe", nullptr, nullptr, "Python ", "3.12", 4, L"the build needs", nullptr},
};
// Whether a copy on PATH that answered --version with output can do the job: empty when it
// can, else why not, as the log gives it ("3.8.10; the build needs 3.12 or newer").
std::wstring ToolVerdict(const ToolEntry& tool, const std::string& output);

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
