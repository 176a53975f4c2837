// The form's rules that need no window.
#include "formrules.h"
#include "steps.h"

#include <shellapi.h>

#include <string_view>
#include <system_error>

namespace setup {

namespace {

constexpr wchar_t kInstallFolderName[] = L"Ironvale-Recomp";

bool IsAscii(const std::wstring& text) {
    for (wchar_t c : text)
        if (c > 127)
            return false;
    return true;
}

// A drive letter and a backslash, or \\server\share: anything else is taken relative to some
// current folder, and git, tar and the build each have their own.
bool IsFullPath(const std::wstring& path) {
    const wchar_t drive = path.empty() ? 0 : static_cast<wchar_t>(path[0] | 0x20);
    if (path.size() >= 3 && drive >= L'a' && drive <= L'z' && path[1] == L':' && path[2] == L'\\')
        return true;
    if (path.size() < 5 || path.compare(0, 2, L"\\\\") != 0)
        return false;
    const size_t share = path.find(L'\\', 2);
    return share != std::wstring::npos && share > 2 && share + 1 < path.size() &&
           path[share + 1] != L'\\';
}

// The refusal the folder and source get, if any.
const wchar_t* Refusal(const FormValues& values) {
    if (values.folder.empty())
        return L"Choose a folder to install to.";
    // A ";" would split the tools' entry on PATH.
    if (!IsFullPath(values.folder) || values.folder.find(L';') != std::wstring::npos)
        return L"Choose a full folder path without ';', such as C:\\Ironvale-Recomp.";
    // An install from before the limit is still updated.
    if (values.folder.size() > kLongestInstallFolder && !values.updateMode)
        return kLongFolderText;
    if (!values.source.empty() && !IsFullPath(values.source))
        return L"Choose the full path of your disc image or extracted disc folder.";
    return nullptr;
}

} // namespace

std::wstring UpdateFolder(const wchar_t* commandLine) {
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(commandLine, &count);
    const UniqueLocal owned(args);
    if (!args)
        return {};
    std::wstring folder;
    for (int i = 1; i + 1 < count; ++i)
        if (std::wstring_view(args[i]) == L"--update")
            folder = args[i + 1];
    return folder;
}

std::wstring DefaultFolder(const std::wstring& updateFolder, const fs::path& programFolder,
                           EnvironmentLookup lookup) {
    if (!updateFolder.empty())
        return updateFolder;
    std::error_code error;
    if (fs::exists(programFolder / L"ironvale-recomp" / L".git", error))
        return programFolder.native();
    wchar_t drive[8] = L"C:";
    const DWORD length = lookup(L"SystemDrive", drive, 8);
    if (length == 0 || length >= 8)
        return L"C:\\Ironvale-Recomp";
    return std::wstring(drive) + L"\\Ironvale-Recomp";
}

fs::path NearestExisting(const fs::path& path) {
    fs::path at = path;
    for (;;) {
        std::error_code error;
        if (fs::exists(at, error))
            return at;
        const fs::path parent = at.parent_path();
        if (parent.empty() || parent == at)
            return at;
        at = parent;
    }
}

fs::path InstallFolderFor(const fs::path& picked) {
    if (picked.filename().native() == kInstallFolderName)
        return picked;
    return picked / kInstallFolderName;
}

std::vector<Prompt> FormPrompts(const FormValues& values) {
    constexpr UINT kRefuse = MB_ICONINFORMATION;
    if (const wchar_t* refusal = Refusal(values))
        return {{refusal, kRefuse}};
    std::vector<Prompt> prompts;
    if (!IsAscii(values.folder))
        prompts.push_back(
            {L"The folder's path has non-English characters, which some build tools can't "
             L"handle. A folder like C:\\Ironvale-Recomp is safer. Continue anyway?",
             MB_ICONWARNING | MB_YESNO});
    if (values.folderChoice && !values.source.empty() && !values.sourceIsFolder) {
        prompts.push_back(
            {L"That isn't a folder. Choose the folder of your extracted disc.", kRefuse});
        return prompts;
    }
    if (values.deleteImage && !values.updateMode)
        prompts.push_back(
            {L"Delete the disc image when it's been extracted?\n\n" + values.source +
                 L"\n\nThe game only needs the extracted files; you'd need the disc image again "
                 L"only to install somewhere else.",
             MB_ICONQUESTION | MB_YESNO});
    return prompts;
}

} // namespace setup
