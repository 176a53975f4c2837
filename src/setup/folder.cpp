// The install folder, made so that only its user and the administrators can change it.
//
// A folder made at a drive root, or below one Setup made there, inherits the root's access list,
// under which every signed-in account may change what it holds: another account could then
// replace tools\Git\cmd\git.exe, and the next run would start it as this user. So the first
// folder Setup makes gets an access list of its own, inherited by everything below it. Inside the
// user's profile the inherited list is already private, and a folder that exists is left as its
// owner set it.
#include "seams.h"
#include "steps.h"

#include <sddl.h>
#include <shlobj.h>

#include <vector>

namespace setup {

namespace {

// Full control for this user, the administrators and the system; reading and running for other
// accounts; nothing from the folder above (P).
std::wstring FolderSddl() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return {};
    UniqueHandle owned(token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    wchar_t* sid = nullptr;
    if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size) ||
        !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid))
        return {};
    const UniqueLocal ownedSid(sid);
    const std::wstring user = sid;
    return L"D:P(A;OICI;FA;;;" + user + L")(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;FRFX;;;AU)";
}

bool InsideProfile(const fs::path& folder) {
    wchar_t profile[MAX_PATH];
    if (FAILED(s_seams.folderPath(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, profile)))
        return false;
    std::wstring inside = folder.native() + L"\\";
    std::wstring home = fs::path(profile).native();
    if (home.empty())
        return false;
    if (home.back() != L'\\')
        home += L'\\';
    if (inside.size() < home.size())
        return false;
    return CompareStringOrdinal(inside.c_str(), static_cast<int>(home.size()), home.c_str(),
                                static_cast<int>(home.size()), TRUE) == CSTR_EQUAL;
}

} // namespace

std::wstring AccessListNote(DWORD fileSystemFlags, UINT driveType) {
    if (driveType == DRIVE_REMOTE)
        return L"The install folder is on a network drive, whose server doesn't know this PC's "
               L"accounts: Setup gives it no access list of its own.";
    if (!(fileSystemFlags & FILE_PERSISTENT_ACLS))
        return L"The install folder's drive keeps no access lists (FAT or exFAT): Setup gives "
               L"it none of its own.";
    return {};
}

std::wstring AccessListNote(const fs::path& folder) {
    std::wstring root = LongText([&folder](wchar_t* buffer, DWORD size) {
        return GetVolumePathNameW(folder.c_str(), buffer, size)
                   ? static_cast<DWORD>(lstrlenW(buffer))
                   : 0;
    });
    if (root.empty())
        root = folder.root_path().native();
    DWORD flags = 0;
    UINT driveType = DRIVE_UNKNOWN;
    // Unknown: as on a drive that keeps them, which costs nothing where it doesn't.
    if (!s_seams.volume(root.c_str(), flags, driveType))
        return {};
    return AccessListNote(flags, driveType);
}

bool MakeInstallFolder(const fs::path& folder) {
    std::error_code error;
    if (fs::is_directory(folder, error))
        return true;
    // The folders to make, the outermost first.
    std::vector<fs::path> missing;
    for (fs::path at = folder; !at.empty() && !fs::exists(at, error); at = at.parent_path()) {
        missing.insert(missing.begin(), at);
        if (at == at.parent_path())
            break;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const bool listed = !InsideProfile(folder) && AccessListNote(folder).empty();
    const std::wstring sddl = listed ? FolderSddl() : std::wstring();
    if (!sddl.empty() && !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                             sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
        descriptor = nullptr;
    const UniqueLocal ownedDescriptor(descriptor);
    SECURITY_ATTRIBUTES protect{sizeof protect, descriptor, FALSE};
    bool first = true;
    for (const fs::path& at : missing) {
        // Only the outermost gets the list: the rest inherit it.
        if (!s_seams.makeFolder(at.c_str(), first && descriptor ? &protect : nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS)
            break;
        first = false;
    }
    return fs::is_directory(folder, error);
}

} // namespace setup
