// Walking a folder's tree on Windows, however deep it goes. Past MAX_PATH (260 characters) the
// file calls take a path only in its \\?\ form, unless the machine has long paths switched on,
// which most don't; and the standard library's folder listing can't be trusted there at all:
// past MAX_PATH it may list another folder without saying so.
#pragma once

#include "basics.h"

#include <functional>
#include <vector>

namespace setup {

// The form of a full path that every file call takes at any length: \\?\C:\... for a drive,
// \\?\UNC\server\share\... for a share. A relative path is made full first.
std::wstring LongForm(const fs::path& path);

// One entry of a folder, as the listing tells it.
struct FolderEntry {
    fs::path path;
    DWORD attributes = 0;
    ULONGLONG size = 0; // of a file
    bool folder() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
    bool link() const { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
};

// The folder's entries; false, with entries as far as they came, when it can't be listed.
bool ListFolder(const fs::path& folder, std::vector<FolderEntry>& entries);

// Calls visit for every entry below folder, its own entries at depth 0, and goes into each
// folder that is no junction or link, down to maxDepth. visit answers false to end the walk.
// False when a folder couldn't be listed or visit ended the walk.
using WalkVisit = std::function<bool(const FolderEntry& entry, int depth)>;
bool Walk(const fs::path& folder, const WalkVisit& visit, int maxDepth = 1 << 16);

} // namespace setup
