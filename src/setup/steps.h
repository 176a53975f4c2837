// The install steps: the folder, its lock and preflight, the tools, the source, the build and
// finishing; and the rules they share with the window.
#pragma once

#include "basics.h"

#include <string>
#include <string_view>

namespace setup {

// Where the extracted game's files show, under the source folder: there, the game needs no
// disc image or extracted disc folder any more.
constexpr wchar_t kGameMarker[] = L"game\\extracted\\default.xex";

// The space a run needs on the install drive, before and once the game is extracted.
constexpr ULONGLONG kGiB = 1ull << 30;
constexpr ULONGLONG kSpaceToExtract = 12 * kGiB;
constexpr ULONGLONG kSpaceExtracted = 6 * kGiB;

// The longest install folder Setup takes: the tools' deepest files (llvm-mingw's headers,
// Python's packages) lie about 120 characters below it, and past 260 in all Windows' file calls
// fail unless the machine has long paths switched on.
constexpr size_t kLongestInstallFolder = 100;
constexpr wchar_t kLongFolderText[] =
    L"Choose a shorter install folder (at most 100 characters): the build's deepest files would "
    L"pass Windows' limit of 260 characters.";

struct Choices {
    fs::path source;
    fs::path folder;
    bool shortcut = false;
    bool freeSpace = false;
    bool deleteImage = false;
};

// What one run hands from step to step.
struct RunState {
    fs::path sourceDir;
    bool gameExtracted = false;
    std::wstring releaseTag;
};

// Makes the install folder if it isn't there. The first folder Setup makes for it, outside
// the user's profile, gets an access list that keeps other accounts from changing it.
bool MakeInstallFolder(const fs::path& folder);
// Why the install folder gets no access list of its own on a drive of this kind, or empty when
// it does: the rule, and the rule for the folder's own drive.
std::wstring AccessListNote(DWORD fileSystemFlags, UINT driveType);
std::wstring AccessListNote(const fs::path& folder);

// Held by the run that works in an install folder; a second Setup can't take it until the first
// lets go or ends. Taken and released on the worker thread, as a mutex must be.
class FolderLock {
  public:
    FolderLock() = default;
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    ~FolderLock() { Release(); }
    bool Take(const fs::path& folder); // false: another run holds it
    void Release();

  private:
    UniqueHandle m_mutex;
    bool m_owned = false;
};

// The install drive: the bytes free to the user there (0 when unknown), its name ("D:"), and
// " Drive D: is full." when it has next to nothing left, else empty.
ULONGLONG FreeBytes(const fs::path& folder);
std::wstring DriveName(const fs::path& path);
std::wstring FullDriveNote(const fs::path& folder);

// The disk-space question, or an empty text when there is nothing to ask.
std::wstring SpaceQuestion(ULONGLONG freeBytes, bool gameExtracted);
void Preflight(const Choices& choices, RunState& run);

fs::path FindUnder(const fs::path& folder, const wchar_t* name);
void ProvideTools(const fs::path& installFolder);
std::wstring LatestReleaseTag(); // the fallback tag when the lookup fails
// Where a clone is made before it takes the source folder's name: beside it, on its drive.
fs::path StagingFolder(const fs::path& sourceDir);
void CheckOutSource(const Choices& choices, RunState& run);
void OnBuildLine(std::string_view line);
std::wstring BuildCommand(const Choices& choices, const RunState& run);
void BuildGame(const Choices& choices, const RunState& run);
// The launcher check and the chosen options; returns the end text of the run.
std::wstring Finish(const Choices& choices, const RunState& run);

extern fs::path s_installed; // the launcher a successful run built

} // namespace setup
