#include "maintenance.h"
#include "walk.h"

#include <cwctype>
#include <iterator>
#include <system_error>

namespace maintenance {

namespace fs = std::filesystem;

namespace {

constexpr const wchar_t* kLeftoverExtensions[] = {L".obj", L".o",   L".a",  L".lib",
                                                  L".pch", L".map", L".gch"};

bool IsLeftover(const fs::path& path) {
    for (const wchar_t* extension : kLeftoverExtensions)
        if (Lower(path, extension))
            return true;
    return false;
}

// Calls visit for every file below folder, with its size. The walk never goes into a junction
// or directory link: what it points at lies elsewhere.
template <typename Visit> void ForEachFile(const fs::path& folder, Visit visit) {
    setup::Walk(folder, [&visit](const setup::FolderEntry& entry, int) {
        if (!entry.folder())
            visit(entry.path, entry.size);
        return true;
    });
}

// Where a file or folder really is, with every link on the way resolved; empty if unknown.
std::wstring RealPath(const fs::path& path) {
    const setup::UniqueHandle file(
        CreateFileW(setup::LongForm(path).c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file)
        return {};
    return setup::LongText([&file](wchar_t* buffer, DWORD size) {
        return GetFinalPathNameByHandleW(file.get(), buffer, size, 0);
    });
}

// True when file's real path lies inside folder's: a link the walk didn't recognise as one
// (Wine shows a Unix symbolic link as a plain folder) can't lead it outside.
bool RealPathInside(const fs::path& file, const std::wstring& folder) {
    const std::wstring real = RealPath(file);
    return !folder.empty() && real.size() > folder.size() && real[folder.size()] == L'\\' &&
           CompareStringOrdinal(real.c_str(), static_cast<int>(folder.size()), folder.c_str(),
                                static_cast<int>(folder.size()), TRUE) == CSTR_EQUAL;
}

} // namespace

std::wstring ToolList(const wchar_t* last) {
    std::wstring list;
    const size_t count = std::size(kToolTable);
    for (size_t i = 0; i < count; ++i)
        list += std::wstring(i == 0 ? L"" : i + 1 == count ? last : L", ") + kToolTable[i].name;
    return list;
}

bool Lower(const fs::path& path, const std::wstring& extension) {
    std::wstring text = path.extension().wstring();
    for (wchar_t& unit : text)
        unit = static_cast<wchar_t>(std::towlower(unit));
    return text == extension;
}

std::wstring ArchiveName(const std::wstring& tool) {
    return tool + L".zip";
}

std::uint64_t SizeOf(const fs::path& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(setup::LongForm(path).c_str(), GetFileExInfoStandard, &data))
        return 0;
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    std::uint64_t size = 0;
    ForEachFile(path, [&size](const fs::path&, std::uint64_t bytes) { size += bytes; });
    return size;
}

Part Leftovers(const fs::path& sourceDir) {
    Part part{L"Build leftovers (object files, libraries, generated C++)", {}, 0};
    std::error_code error;
    const fs::path build = sourceDir / L"build";
    const std::wstring realBuild = RealPath(build);
    if (fs::is_directory(build, error))
        ForEachFile(build, [&](const fs::path& file, std::uint64_t bytes) {
            if (!IsLeftover(file) || !RealPathInside(file, realBuild))
                return;
            part.size += bytes;
            part.paths.push_back(file);
        });
    const fs::path generated = sourceDir / L"generated" / L"ppc";
    if (fs::is_directory(generated, error)) {
        part.size += SizeOf(generated);
        part.paths.push_back(generated);
    }
    return part;
}

Part Tools(const fs::path& sourceDir) {
    // What the tool step creates in the tools folder: one folder per tool and, until it has
    // been unpacked, its archive, or the part of it an interrupted download left. Nothing else
    // there is Setup's to delete.
    Part part{L"Build tools Setup downloaded (" + ToolList(L", ") + L")", {}, 0};
    const fs::path tools = sourceDir.parent_path() / L"tools";
    std::error_code error;
    // The tools folder may be shared with the user's own files, even a folder of a tool's name:
    // only the folders Setup marked go, with their archives.
    for (const ToolEntry& tool : kToolTable) {
        const wchar_t* name = tool.name;
        if (!fs::exists(tools / name / kToolMark, error))
            continue;
        const std::wstring archive = ArchiveName(name);
        for (const fs::path& path : {tools / name, tools / archive, tools / (archive + L".part")})
            if (fs::exists(path, error)) {
                part.size += SizeOf(path);
                part.paths.push_back(path);
            }
    }
    return part;
}

} // namespace maintenance
