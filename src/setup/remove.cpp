// Deleting and renaming on Windows. Archives mark files read-only, which DeleteFileW refuses,
// and a virus scanner or the search indexer holds a fresh file for a moment (real-time
// protection scans a file as it is closed): every deletion and rename Setup makes goes through
// here, on the \\?\ form of the path, so that depth is no limit.
#include "system.h"
#include "walk.h"

#include <algorithm>
#include <vector>

namespace setup {

namespace {

constexpr DWORD kFirstPauseMs = 50;
constexpr DWORD kGiveUpMs = 5000;

bool Gone(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Another program has the file open: a scanner answers access denied while it looks.
bool Held(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
           error == ERROR_LOCK_VIOLATION;
}

// Tries again while the file is held, with growing pauses, for about kGiveUpMs in all. A folder
// whose children were just deleted may still answer "not empty" while one of them waits to go:
// a deletion is pending until the last handle to the file closes.
template <typename Attempt> bool Retry(Attempt attempt, bool emptied = false) {
    DWORD waited = 0;
    DWORD pause = kFirstPauseMs;
    for (;;) {
        if (attempt())
            return true;
        const DWORD error = GetLastError();
        if (!(Held(error) || (emptied && error == ERROR_DIR_NOT_EMPTY)) || waited >= kGiveUpMs)
            return false;
        pause = std::min(pause, kGiveUpMs - waited);
        Sleep(pause);
        waited += pause;
        pause *= 2;
    }
}

} // namespace

bool Remove(const fs::path& path, bool clearReadOnly) {
    const std::wstring at = LongForm(path);
    const DWORD attributes = GetFileAttributesW(at.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return Gone(GetLastError());
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        if (!clearReadOnly) // the user's own protection stays
            return false;
        SetFileAttributesW(at.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    const bool folder = attributes & FILE_ATTRIBUTE_DIRECTORY;
    if (!folder)
        return Retry([&] { return DeleteFileW(at.c_str()) || Gone(GetLastError()); });
    bool whole = true;
    // A junction or symbolic link goes by itself: what it points at is not Setup's.
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        std::vector<FolderEntry> children;
        whole = ListFolder(path, children);
        for (const FolderEntry& child : children)
            whole = Remove(child.path, clearReadOnly) && whole;
    }
    return Retry([&] { return RemoveDirectoryW(at.c_str()) || Gone(GetLastError()); }, whole) &&
           whole;
}

bool Move(const fs::path& from, const fs::path& to, bool replace) {
    const std::wstring source = LongForm(from);
    const std::wstring target = LongForm(to);
    const DWORD flags = replace ? MOVEFILE_REPLACE_EXISTING : 0;
    return Retry([&] { return MoveFileExW(source.c_str(), target.c_str(), flags) != 0; });
}

} // namespace setup
