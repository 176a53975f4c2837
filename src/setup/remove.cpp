// Deleting on Windows. Archives mark files read-only, which DeleteFileW refuses, and a virus
// scanner or the search indexer holds a fresh file for a moment: every deletion Setup makes
// goes through here.
#include "system.h"

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

// Tries again while the file is held, with growing pauses, for about kGiveUpMs in all.
template <typename Attempt> bool Retry(Attempt attempt) {
    DWORD waited = 0;
    DWORD pause = kFirstPauseMs;
    for (;;) {
        if (attempt())
            return true;
        const DWORD error = GetLastError();
        if (Gone(error))
            return true;
        if (!Held(error) || waited >= kGiveUpMs)
            return false;
        pause = std::min(pause, kGiveUpMs - waited);
        Sleep(pause);
        waited += pause;
        pause *= 2;
    }
}

bool ClearReadOnly(const fs::path& path, DWORD attributes) {
    return !(attributes & FILE_ATTRIBUTE_READONLY) ||
           SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
}

} // namespace

bool Remove(const fs::path& path, bool clearReadOnly) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return Gone(GetLastError());
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        if (!clearReadOnly) // the user's own protection stays
            return false;
        ClearReadOnly(path, attributes);
    }
    const bool folder = attributes & FILE_ATTRIBUTE_DIRECTORY;
    if (!folder)
        return Retry([&] { return DeleteFileW(path.c_str()) != 0; });
    bool whole = true;
    // A junction or symbolic link goes by itself: what it points at is not Setup's.
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        std::vector<fs::path> children;
        std::error_code error;
        for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error))
            children.push_back(it->path());
        whole = !error;
        for (const fs::path& child : children)
            whole = Remove(child, clearReadOnly) && whole;
    }
    return Retry([&] { return RemoveDirectoryW(path.c_str()) != 0; }) && whole;
}

} // namespace setup
