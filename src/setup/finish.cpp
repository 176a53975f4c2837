// Finishing: the launcher check, and the three end-of-run options.
#include "channel.h"
#include "seams.h"
#include "steps.h"
#include "system.h"

#include "maintenance.h"

#include <shlobj.h>

namespace setup {

namespace {

// True once the shortcut is saved on the desktop.
bool MakeShortcut() {
    wchar_t desktop[MAX_PATH];
    if (FAILED(s_seams.folderPath(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT,
                                  desktop)))
        return false;
    UniqueCom<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                link.putVoid())))
        return false;
    // Any step that fails makes a shortcut that wouldn't start the game: none is saved.
    if (FAILED(link->SetPath(s_installed.c_str())) ||
        FAILED(link->SetWorkingDirectory(s_installed.parent_path().c_str())) ||
        FAILED(link->SetDescription(L"Ironvale Recompiled")))
        return false;
    UniqueCom<IPersistFile> file;
    return SUCCEEDED(link->QueryInterface(IID_IPersistFile, file.putVoid())) &&
           SUCCEEDED(file->Save((fs::path(desktop) / L"Ironvale Recompiled.lnk").c_str(), TRUE));
}

// Deletes what the two parts list; the total counts only parts that went entirely.
std::wstring FreeSpace(const RunState& run) {
    Status(L"Freeing up space");
    const maintenance::Part parts[] = {maintenance::Leftovers(run.sourceDir),
                                       maintenance::Tools(run.sourceDir)};
    ULONGLONG total = 0;
    for (const maintenance::Part& part : parts) {
        Log(L"Deleting " + part.label + L": " + SizeText(part.size));
        bool whole = true;
        for (const fs::path& path : part.paths)
            whole = Remove(path) && whole;
        if (whole)
            total += part.size;
        else
            Log(L"(some of it couldn't be deleted)");
    }
    return L"\n\nFreed " + SizeText(total) +
           L" (the next update downloads the tools again and rebuilds from scratch).";
}

std::wstring DeleteImage(const Choices& choices, const RunState& run) {
    std::error_code error;
    if (!fs::is_regular_file(choices.source, error) ||
        !fs::exists(run.sourceDir / kGameMarker, error))
        return {};
    if (!Remove(choices.source, false)) {
        Log(L"Couldn't delete the disc image " + choices.source.native());
        return {};
    }
    Log(L"Deleted the disc image " + choices.source.native());
    return L"\n\nThe disc image was deleted (the game's files are in "
           L"ironvale-recomp\\game\\extracted).";
}

} // namespace

std::wstring Finish(const Choices& choices, const RunState& run) {
    s_installed = run.sourceDir / L"build" / L"runtime" / L"IronvaleLauncher.exe";
    std::error_code error;
    if (!fs::exists(s_installed, error))
        Fail(L"The build finished but IronvaleLauncher.exe isn't there.");
    const bool onDesktop = choices.shortcut && MakeShortcut();
    if (choices.shortcut && !onDesktop)
        Log(L"Couldn't make the desktop shortcut.");
    std::wstring endText = L"Done. Start the game with the launcher";
    endText += onDesktop ? L" (\"Ironvale Recompiled\" on the desktop)." : L".";
    if (choices.freeSpace)
        endText += FreeSpace(run);
    if (choices.deleteImage && !run.gameExtracted)
        endText += DeleteImage(choices, run);
    return endText;
}

} // namespace setup
