// The install run: its steps in their fixed order, and the one way every run ends.
#include "install.h"
#include "channel.h"
#include "proxy.h"
#include "seams.h"

#include <exception>

namespace setup {

fs::path s_installed;

namespace {

// A first install takes up to half an hour, and laptops go to sleep when left alone: the
// system stays awake while a run is under way, whatever way it ends. The display may still go
// off. The state belongs to the worker thread that sets it.
class AwakeWhileRunning {
  public:
    AwakeWhileRunning() { s_seams.executionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED); }
    ~AwakeWhileRunning() { s_seams.executionState(ES_CONTINUOUS); }
    AwakeWhileRunning(const AwakeWhileRunning&) = delete;
    AwakeWhileRunning& operator=(const AwakeWhileRunning&) = delete;
};

} // namespace

std::wstring SpaceQuestion(ULONGLONG freeBytes, bool gameExtracted) {
    const ULONGLONG needed = gameExtracted ? kSpaceExtracted : kSpaceToExtract;
    // Zero means the query failed: better to go on than to ask about a figure we don't have.
    if (freeBytes == 0 || freeBytes >= needed)
        return {};
    return L"The drive has " + std::to_wstring(freeBytes / kGiB) + L" GB free; about " +
           std::to_wstring(needed / kGiB) + L" GB is needed. Continue anyway?";
}

void Preflight(const Choices& choices, RunState& run) {
    const fs::path& folder = choices.folder;
    std::error_code error;
    fs::create_directories(folder, error);
    if (!fs::is_directory(folder, error))
        Fail(L"Couldn't create " + folder.native());

    OpenLog(folder / L"setup.log");
    Log(L"Ironvale Recompiled Setup, installing to " + folder.native());
    if (folder.native().size() > kLongestInstallFolder) // an install from before the limit
        Log(kLongFolderText);
    const std::wstring accessNote = AccessListNote(folder);
    if (!accessNote.empty())
        Log(accessNote);

    run.sourceDir = folder / L"ironvale-recomp";
    run.gameExtracted = fs::exists(run.sourceDir / kGameMarker, error);
    if (!run.gameExtracted && (choices.source.empty() || !fs::exists(choices.source, error)))
        Fail(L"Choose your Ironvale disc image (.iso) or extracted disc folder first.");

    const std::wstring question = SpaceQuestion(FreeBytes(folder), run.gameExtracted);
    if (!question.empty() &&
        s_seams.ask(s_window, question.c_str(), kCaption, MB_YESNO | MB_ICONWARNING) != IDYES)
        Fail(L"Not enough disk space.");
}

namespace {

std::wstring InstallSteps(const Choices& choices, RunState& run) {
    ForgetProxies(); // the network may have changed since the last run
    Preflight(choices, run);
    ProvideTools(choices.folder);
    run.releaseTag = LatestReleaseTag();
    CheckOutSource(choices, run);
    BuildGame(choices, run);

    return Finish(choices, run);
}

} // namespace

void InstallWith(const Choices& choices, const Steps& steps) {
    UniqueComInit com = InitCom(COINIT_APARTMENTTHREADED); // the shortcut is made through COM

    const AwakeWhileRunning awake; // until the run has ended
    bool success = false;
    std::wstring endText;
    FolderLock lock; // until setup.log is closed
    try {
        // Made first: the lock is named by the folder itself, not by how it was spelt.
        if (!MakeInstallFolder(choices.folder))
            Fail(L"Couldn't create " + choices.folder.native());
        if (!lock.Take(choices.folder))
            Fail(L"Setup is already running for this folder.");
        RunState run;
        endText = steps(choices, run);
        success = true;
    } catch (const Failed& failed) {
        endText = failed.message;
    } catch (const std::exception& error) {
        endText = L"Unexpected error: " + Widen(error.what());
    }

    Log(endText);
    CloseLog();
    lock.Release();
    com.reset();
    PostDone(success, endText);
}

void Install(Choices choices) {
    InstallWith(choices, InstallSteps);
}

} // namespace setup
