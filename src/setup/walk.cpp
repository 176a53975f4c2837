// Walking a folder's tree through FindFirstFileExW on the \\?\ form of its path.
#include "walk.h"

namespace setup {

namespace {

void CloseFind(HANDLE find) {
    FindClose(find);
}
using UniqueFind = Unique<HANDLE, CloseFind, ValidHandle>;

bool IsDots(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

} // namespace

std::wstring LongForm(const fs::path& path) {
    std::wstring text = path.native();
    for (wchar_t& c : text)
        if (c == L'/')
            c = L'\\';
    if (text.rfind(L"\\\\?\\", 0) == 0)
        return text;
    // Made full, and with . and .. gone: the \\?\ form takes the path as it is written.
    const std::wstring full = LongText([&text](wchar_t* buffer, DWORD size) {
        return GetFullPathNameW(text.c_str(), size, buffer, nullptr);
    });
    if (!full.empty())
        text = full;
    if (text.rfind(L"\\\\", 0) == 0)
        return L"\\\\?\\UNC\\" + text.substr(2);
    return L"\\\\?\\" + text;
}

bool ListFolder(const fs::path& folder, std::vector<FolderEntry>& entries) {
    WIN32_FIND_DATAW data{};
    const UniqueFind find(FindFirstFileExW((LongForm(folder) + L"\\*").c_str(), FindExInfoBasic,
                                           &data, FindExSearchNameMatch, nullptr,
                                           FIND_FIRST_EX_LARGE_FETCH));
    if (!find) { // a drive's empty root has not even . in it
        const DWORD error = GetLastError();
        const DWORD attributes = GetFileAttributesW(LongForm(folder).c_str());
        return error == ERROR_FILE_NOT_FOUND && attributes != INVALID_FILE_ATTRIBUTES &&
               (attributes & FILE_ATTRIBUTE_DIRECTORY);
    }
    do {
        if (IsDots(data.cFileName))
            continue;
        entries.push_back({folder / data.cFileName, data.dwFileAttributes,
                           (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow});
    } while (FindNextFileW(find.get(), &data));
    return GetLastError() == ERROR_NO_MORE_FILES;
}

bool Walk(const fs::path& folder, const WalkVisit& visit, int maxDepth) {
    struct Level {
        std::vector<FolderEntry> entries;
        size_t next = 0;
    };
    std::vector<Level> levels(1);
    bool whole = ListFolder(folder, levels.back().entries);
    while (!levels.empty()) {
        Level& level = levels.back();
        if (level.next == level.entries.size()) {
            levels.pop_back();
            continue;
        }
        const FolderEntry entry = level.entries[level.next++];
        const int depth = static_cast<int>(levels.size()) - 1;
        if (!visit(entry, depth))
            return false;
        if (entry.folder() && !entry.link() && depth < maxDepth) {
            levels.emplace_back();
            whole = ListFolder(entry.path, levels.back().entries) && whole;
        }
    }
    return whole;
}

} // namespace setup
