// One run per install folder: two Setups on one folder would run git, tar and the build in the
// same tree at once. A named mutex stands for the folder; Windows releases it when its owner
// ends, however it ends.
#include "steps.h"
#include "system.h"

namespace setup {

namespace {

// Every spelling of one folder names one lock: \\?\ paths, 8.3 names, \\localhost\C$, a subst
// or mapped drive all reach the same volume and file ID. The folder must exist; should it not
// open, its full path, upper case, stands in for it.
std::wstring LockName(const fs::path& folder) {
    UniqueHandle handle(CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (handle && GetFileInformationByHandle(handle.get(), &info)) {
        wchar_t name[64];
        swprintf(name, 64, L"Global\\IronvaleSetup-%08lx-%08lx%08lx",
                 static_cast<unsigned long>(info.dwVolumeSerialNumber),
                 static_cast<unsigned long>(info.nFileIndexHigh),
                 static_cast<unsigned long>(info.nFileIndexLow));
        return name;
    }
    std::wstring path = LongText([&folder](wchar_t* buffer, DWORD size) {
        return GetFullPathNameW(folder.c_str(), size, buffer, nullptr);
    });
    if (path.empty())
        path = folder.native();
    while (path.size() > 3 && path.back() == L'\\')
        path.pop_back();
    CharUpperBuffW(path.data(), static_cast<DWORD>(path.size()));
    Hash hash;
    const std::string bytes = Narrow(path);
    hash.Add(bytes.data(), bytes.size());
    return L"Global\\IronvaleSetup-" + Widen(hash.Hex());
}

} // namespace

bool FolderLock::Take(const fs::path& folder) {
    Release();
    m_mutex.reset(CreateMutexW(nullptr, FALSE, LockName(folder).c_str()));
    // Denied: another user's Setup made it, and it holds the folder.
    if (!m_mutex)
        return false;
    const DWORD wait = WaitForSingleObject(m_mutex.get(), 0);
    m_owned = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED; // abandoned: its owner died
    if (!m_owned)
        m_mutex.reset();
    return m_owned;
}

void FolderLock::Release() {
    if (m_owned)
        ReleaseMutex(m_mutex.get());
    m_owned = false;
    m_mutex.reset();
}

} // namespace setup
