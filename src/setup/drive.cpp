// The install drive: its name as people know it and how full it is. A failure on a full drive
// reads as a fault of the network or the build unless the message says so.
#include "seams.h"
#include "steps.h"

namespace setup {

namespace {

// Under this much free space an unpack, a clone or a build that failed most likely failed for it.
constexpr ULONGLONG kNearlyFull = 100ull << 20;

} // namespace

ULONGLONG FreeBytes(const fs::path& folder) {
    ULARGE_INTEGER available{};
    if (!s_seams.freeSpace(folder.c_str(), &available, nullptr, nullptr))
        return 0;
    return available.QuadPart;
}

std::wstring DriveName(const fs::path& path) {
    std::error_code error;
    const fs::path full = fs::absolute(path, error);
    return (error ? path : full).root_name().native();
}

std::wstring FullDriveNote(const fs::path& folder) {
    const ULONGLONG free = FreeBytes(folder);
    // Zero: the query failed, and a guess would send the user the wrong way.
    if (free == 0 || free >= kNearlyFull)
        return {};
    return L" Drive " + DriveName(folder) + L" is full.";
}

} // namespace setup
