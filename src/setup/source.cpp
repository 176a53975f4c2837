// The project's source: the latest release's tag, and the Git working tree to build.
#include "channel.h"
#include "children.h"
#include "gitprogress.h"
#include "httppolicy.h"
#include "json.h"
#include "net.h"
#include "runner.h"
#include "steps.h"
#include "system.h"
#include "walk.h"
#include "seams.h"

#include <functional>

namespace setup {

namespace {

#ifndef IRONVALE_COMMIT
#define IRONVALE_COMMIT "0000000"
#endif
#ifndef IRONVALE_VERSION
#define IRONVALE_VERSION "0.0.0"
#endif

constexpr char kVersion[] = IRONVALE_VERSION " (" IRONVALE_COMMIT ")";

bool IsEmptyFolder(const fs::path& folder) {
    std::vector<FolderEntry> entries;
    return ListFolder(folder, entries) && entries.empty();
}

// A folder whose only entry is .git: what a clone that was cut off leaves behind.
bool HoldsOnlyGit(const fs::path& folder) {
    std::vector<FolderEntry> entries;
    return ListFolder(folder, entries) && entries.size() == 1 &&
           entries[0].path.filename() == L".git";
}

DWORD Git(const fs::path& installFolder, const std::wstring& args) {
    return Run(L"git " + args, installFolder);
}

// What an earlier run that was cut off while cloning left: the staging folder, or (from
// versions that cloned in place) a tree whose HEAD names no commit. Both are Setup's own.
void ClearCutOffClone(const fs::path& installFolder, const fs::path& sourceDir,
                      const fs::path& staging) {
    std::error_code error;
    bool cutOff = fs::exists(staging, error);
    if (!cutOff && HoldsOnlyGit(sourceDir))
        cutOff =
            Git(installFolder, L"-C " + Quote(sourceDir) + L" rev-parse --verify -q HEAD") != 0;
    if (!cutOff)
        return;
    Log(L"The last download of the source code was cut off: starting it again.");
    if (!Remove(staging) || (HoldsOnlyGit(sourceDir) && !Remove(sourceDir)))
        Fail(L"Couldn't clear what the last download of the source code left in " +
             installFolder.native() + L" (a file in it is in use).");
}

// A git command that downloads, with its progress shown, tried again while the connection is
// what failed: up to `attempts` times, with the waits of Setup's own downloads between them.
// `again` readies the next try. True once the command succeeded; networkFailed tells why not.
bool GitDownload(const fs::path& installFolder, const std::wstring& args,
                 const std::wstring& status, int attempts, const std::function<void()>& again,
                 bool& networkFailed) {
    for (int attempt = 1;; ++attempt) {
        PostProgress(-1); // until objects arrive, how far is unknown
        GitWatcher watcher(status);
        const DWORD exitCode =
            Run(L"git " + args, installFolder, std::ref(watcher), RunOptions{RunLog::CommandOnly});
        watcher.Flush();
        networkFailed = watcher.networkFailed();
        if (exitCode == 0)
            return true;
        if (!networkFailed || attempt >= attempts)
            return false;
        const DWORD wait = RetryWaitMs(attempt);
        Log(L"(the connection failed: trying again in " + std::to_wstring(wait / 1000) + L" s)");
        if (!s_seams.pause(wait))
            CheckCancel();
        again();
        Status(status);
    }
}

// The clone goes to the staging folder and takes sourceDir's name only once it is whole: a
// clone cut off by a cancel, a kill or the network never looks like an install.
void Clone(const fs::path& installFolder, const fs::path& sourceDir, const fs::path& staging) {
    bool networkFailed = false;
    const auto fresh = [&] {
        if (!Remove(staging))
            Fail(L"Couldn't clear " + staging.native() + L" (a file in it is in use).");
    };
    if (!GitDownload(installFolder, L"clone --progress " + Widen(kRepoUrl) + L" " + Quote(staging),
                     L"Downloading the source code", kAttempts, fresh, networkFailed)) {
        const std::wstring full = FullDriveNote(installFolder);
        if (networkFailed && full.empty())
            Fail(L"Couldn't download the source code from GitHub: the connection kept failing. "
                 L"Check the connection, then press Install again.");
        Fail(L"Couldn't download the source code from GitHub." + full);
    }
    std::error_code error;
    fs::remove(sourceDir, error); // an empty folder of that name, if any
    if (!Move(staging, sourceDir, false))
        Fail(L"Couldn't move the source code into " + sourceDir.native() + L".");
}

} // namespace

fs::path StagingFolder(const fs::path& sourceDir) {
    return sourceDir.parent_path() / (sourceDir.filename().native() + L".partial");
}

std::wstring LatestReleaseTag() {
    std::string body;
    if (Get(Widen(kReleaseApi), DocumentInto(body, L"The release lookup"))) {
        const auto tags = JsonStrings(body, "tag_name");
        if (!tags.empty())
            return Widen(tags.front());
    }
    CheckCancel(); // a cancelled lookup is no reason to go on with the fallback tag
    const std::string version = kVersion;
    return L"v" + Widen(version.substr(0, version.find(' ')));
}

void CheckOutSource(const Choices& choices, RunState& run) {
    const fs::path& folder = choices.folder;
    const fs::path staging = StagingFolder(run.sourceDir);
    PrepareChildren(folder, {run.sourceDir, staging});
    ClearCutOffClone(folder, run.sourceDir, staging);
    const std::wstring tree = Quote(run.sourceDir);
    std::error_code error;
    const bool update = fs::exists(run.sourceDir / L".git", error);
    const std::wstring status =
        update ? L"Updating the source code" : L"Downloading the source code";
    Status(status);
    if (!update) {
        if (fs::exists(run.sourceDir, error) && !IsEmptyFolder(run.sourceDir))
            Fail(run.sourceDir.native() +
                 L" already exists and isn't a copy of the project. Choose another folder.");
        Clone(folder, run.sourceDir, staging);
    }
    // Tried once more when the connection failed; without a network the tree builds as it is.
    bool networkFailed = false;
    GitDownload(
        folder, L"-C " + tree + L" fetch --progress --tags --force origin", status, 2, [] {},
        networkFailed);

    std::string branch;
    const bool onBranch =
        GitOutput(run.sourceDir, L"symbolic-ref -q --short HEAD", branch) && !branch.empty();
    std::string changes;
    GitOutput(run.sourceDir, L"status --porcelain --untracked-files=no --ignore-submodules=all",
              changes);

    if (!changes.empty()) {
        Log(L"The source folder has changes of its own: building it as it is (no update).");
    } else if (onBranch) {
        Log(L"The source folder is on branch " + Widen(branch) + L": updating that branch.");
        if (Git(folder, L"-C " + tree + L" pull --ff-only") != 0)
            Log(L"(couldn't update the branch - building the code as it is)");
    } else if (Git(folder, L"-C " + tree + L" checkout " + run.releaseTag) == 0) {
        // Not forced: git then refuses rather than overwrite an untracked file of the user's.
        Log(L"Building release " + run.releaseTag + L".");
    } else if (Git(folder, L"-C " + tree + L" checkout main") != 0 ||
               Git(folder, L"-C " + tree + L" pull --ff-only") != 0) {
        Log(L"(couldn't update - building the code as it is)");
    }
}

} // namespace setup
