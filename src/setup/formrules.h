// The form's rules that need no window: the command line, the folder the form starts with, the
// folder a pick becomes, and which questions the form's values get before a run starts.
#pragma once

#include "basics.h"

#include <string>
#include <vector>

namespace setup {

// The update folder named by the command line ("--update" FOLDER, the last pair wins), or empty.
std::wstring UpdateFolder(const wchar_t* commandLine);
// The install folder the form starts with. The environment lookup is passed in so that the
// rule for a missing SystemDrive can be tested (Wine gives every process SystemDrive=C:).
using EnvironmentLookup = DWORD(WINAPI*)(LPCWSTR, LPWSTR, DWORD);
std::wstring DefaultFolder(const std::wstring& updateFolder, const fs::path& programFolder,
                           EnvironmentLookup lookup = GetEnvironmentVariableW);

fs::path NearestExisting(const fs::path& path);
fs::path InstallFolderFor(const fs::path& picked);

// What the form holds when Install is pressed.
struct FormValues {
    std::wstring source;
    std::wstring folder;
    bool folderChoice = false;   // "Extracted disc folder" is chosen
    bool sourceIsFolder = false; // the source names an existing folder
    bool deleteImage = false;    // checked, and a disc image is chosen
    bool updateMode = false;
};

// A message box the form shows before it starts: a refusal (an information box; the run
// doesn't start) or a question (Yes/No; any answer but Yes stops it).
struct Prompt {
    std::wstring text;
    UINT flags;
    bool question() const { return (flags & MB_YESNO) != 0; }
};

// The boxes the values get, in the order they are shown; a refusal is always the last.
std::vector<Prompt> FormPrompts(const FormValues& values);

} // namespace setup
