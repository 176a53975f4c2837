// What an install can do without once the game is built: the build leftovers and the tools
// Setup downloaded. Only looks; deleting is the caller's business.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace maintenance {

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
