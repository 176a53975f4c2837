#include "maintenance.h"
#include "walk.h"

#include <cctype>
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

// The version after prefix in line, as digits.digits[.digits] ("2.47.1" of "2.47.1.windows.1"),
// each part in numbers; empty when there is none.
std::string VersionIn(const std::string& line, const char* prefix, std::vector<int>& parts) {
    const size_t at = line.find(prefix);
    if (at == std::string::npos)
        return {};
    size_t end = at + std::char_traits<char>::length(prefix);
    const size_t start = end;
    parts.clear();
    while (parts.size() < 3 && end < line.size() &&
           std::isdigit(static_cast<unsigned char>(line[end]))) {
        int part = 0;
        while (end < line.size() && std::isdigit(static_cast<unsigned char>(line[end])))
            part = part * 10 + (line[end++] - '0');
        parts.push_back(part);
        if (parts.size() == 3 || end + 1 >= line.size() || line[end] != '.' ||
            !std::isdigit(static_cast<unsigned char>(line[end + 1])))
            break;
        ++end;
    }
    if (parts.size() < 2)
        return {};
    return line.substr(start, end - start);
}

// Clang's "Target:" line, trimmed; empty when it has none.
std::string TargetIn(const std::string& output) {
    const size_t at = output.find("Target: ");
    if (at == std::string::npos)
        return {};
    const size_t start = at + 8;
    const size_t end = output.find_first_of("\r\n", start);
    return output.substr(start, end == std::string::npos ? end : end - start);
}

std::wstring Wide(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

} // namespace

std::wstring ToolVerdict(const ToolEntry& tool, const std::string& output) {
    const std::string first = output.substr(0, output.find_first_of("\r\n"));
    std::vector<int> version;
    std::vector<int> minimum;
    const std::string text = VersionIn(first, tool.versionPrefix, version);
    VersionIn(tool.minimum, "", minimum);
    if (text.empty())
        return L"it printed no version";
    minimum.resize(3);
    version.resize(3);
    const bool tooNew = tool.below && version[0] >= tool.below;
    if (version < minimum || tooNew)
        return Wide(text) + L"; " + tool.needs + L" " + Wide(tool.minimum) + L" or newer" +
               (tooNew ? L", below " + std::to_wstring(tool.below) : L"");
    if (std::wstring(tool.program) == L"clang++.exe") {
        const std::string target = TargetIn(output);
        const std::string gnu = "-windows-gnu";
        if (target.size() < gnu.size() ||
            target.compare(target.size() - gnu.size(), gnu.size(), gnu) != 0)
            return L"it builds for " + (target.empty() ? L"no target it names" : Wide(target)) +
                   L", not MinGW";
    }
    return {};
}

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
