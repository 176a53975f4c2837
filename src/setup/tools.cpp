// Build tools: found on PATH or in the tools folder, else the latest release is downloaded
// and unpacked with the tar.exe of Windows.
#include "channel.h"
#include "net.h"
#include "runner.h"
#include "steps.h"
#include "system.h"
#include "walk.h"

#include "maintenance.h"

#include <fstream>
#include <vector>

namespace setup {

namespace {

using maintenance::ArchiveName;
using maintenance::ToolEntry;

Download LatestOf(const ToolEntry& tool) {
    return tool.repository ? LatestAsset(tool.repository, tool.pattern) : LatestPython();
}

UniqueHandle HoldUnchanged(const fs::path& file) {
    return UniqueHandle(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

// The hash of what the handle reads from its start; empty if it can't be read.
std::string HexOf(HANDLE file, Digest::Algorithm algorithm) {
    Hash hash(algorithm);
    ULONGLONG added = 0;
    return hash.AddFile(file, ~0ull, added) ? hash.Hex() : std::string();
}

// The tool's folder, emptied and marked as Setup's; a folder of the user's stops the run.
fs::path PrepareFolder(const std::wstring& name, const fs::path& tools) {
    const fs::path folder = tools / name;
    std::error_code error;
    if (!fs::is_empty(folder, error) && !error &&
        !fs::exists(folder / maintenance::kToolMark, error))
        Fail(L"tools\\" + name +
             L" holds files Setup didn't put there. Move them away or choose another install "
             L"folder.");
    if (!Remove(folder))
        Fail(L"Couldn't clear " + folder.native() + L" (a file in it is in use).");
    fs::create_directories(folder, error);
    // Marked before anything is put there: free space and the next run know it as Setup's.
    std::ofstream(folder / maintenance::kToolMark).close();
    return folder;
}

// The archive, downloaded whole and checked, or the run stops saying why not. What is left of
// an interrupted download stays as archive.part, for Get to continue.
void DownloadArchive(const std::wstring& name, const Download& download, const fs::path& archive) {
    HttpAnswer answer;
    GetOptions options;
    options.file = &archive;
    options.label = name;
    options.progress = true;
    options.digest = download.digest;
    options.answer = &answer;
    if (Get(download.url, options))
        return;
    CheckCancel();
    if (answer.damaged) {
        Log(name + L": expected " + AlgorithmName(download.digest.algorithm) + L" " +
            Widen(download.digest.hex) + L", got " + Widen(answer.got));
        Fail(name + L" was damaged on the way (its checksum doesn't match). Try again.");
    }
    if (answer.diskFull)
        Fail(L"Couldn't download " + name + L": drive " + DriveName(archive) +
             L" is full. Free some space, then press Install again.");
    const std::wstring refusal = ProxySignInRefusal(answer);
    if (!refusal.empty())
        Fail(refusal);
    Fail(L"Couldn't download " + name + L".");
}

// Unpacks the archive with Windows' own tar. Held without write sharing, and checked again
// through that handle, until tar has read it: another account that can write in tools\ could
// otherwise swap the checked archive for its own before tar opens it.
void UnpackArchive(const std::wstring& name, const Digest& digest, const fs::path& archive,
                   const fs::path& folder) {
    UniqueHandle held = HoldUnchanged(archive);
    if (!held)
        Fail(L"Couldn't download " + name + L".");
    if (digest.algorithm != Digest::kNone) {
        if (HexOf(held.get(), digest.algorithm) != digest.hex) {
            held.reset();
            Remove(archive);
            Fail(name + L" was damaged on the way (its checksum doesn't match). Try again.");
        }
        Log(name + L": checksum OK");
    }
    Status(L"Unpacking " + name);
    PostProgress(-1);
    // Windows' tar takes its arguments in the ANSI code page and loses every character outside
    // it: the install folder's name stays out of the command, as tar runs in the tools folder.
    const fs::path system =
        LongText([](wchar_t* buffer, DWORD size) { return GetSystemDirectoryW(buffer, size); });
    const std::wstring command = Quote(system / L"tar.exe") + L" -xf " +
                                 archive.filename().native() + L" -C " + folder.filename().native();
    const DWORD exitCode = Run(command, archive.parent_path());
    held.reset();
    if (exitCode != 0) {
        Log(name + L": tar ended with exit code " + std::to_wstring(exitCode));
        Fail(L"Couldn't unpack " + name + L"." + FullDriveNote(folder));
    }
    Remove(archive);
}

// Provides the tool from its latest release: its program, unpacked under tools.
fs::path Provide(const ToolEntry& tool, const fs::path& tools) {
    const std::wstring name = tool.name;
    const Download download = LatestOf(tool);
    Log(name + L": downloading " + download.url);
    const fs::path folder = PrepareFolder(name, tools);
    const fs::path archive = tools / ArchiveName(name);
    DownloadArchive(name, download, archive);
    UnpackArchive(name, download.digest, archive, folder);
    fs::path program = FindUnder(folder, tool.program);
    if (program.empty())
        Fail(name + L" didn't contain " + tool.program + L".");
    return program;
}

// How long a program on PATH may take to say its version: a Store alias or a broken shim may
// never answer, and a real tool answers in well under a second.
constexpr DWORD kVersionLimitMs = 5000;

// Why the copy of the tool at program can't do the job, or empty when it can.
std::wstring ProbeVerdict(const ToolEntry& tool, const fs::path& program) {
    std::string output;
    DWORD exitCode = 0;
    const RunOptions quiet{RunLog::Nothing, kVersionLimitMs};
    try {
        exitCode = Run(
            Quote(program) + L" --version", {},
            [&output](std::string_view line) { output.append(line).append("\n"); }, quiet);
    } catch (const Failed&) {
        CheckCancel();
        return L"it doesn't start";
    }
    if (exitCode == kTimedOut)
        return L"it didn't answer within " + std::to_wstring(kVersionLimitMs / 1000) + L" s";
    if (exitCode != 0)
        return L"it ended with exit code " + std::to_wstring(exitCode);
    return maintenance::ToolVerdict(tool, output);
}

// The first copy of the tool on PATH that can do the job; those that can't are named in the log.
// Setup's own copies in the tools folder are not asked: Setup put them there.
fs::path UsableOnPath(const ToolEntry& tool, const fs::path& tools) {
    for (const fs::path& program : FindAllOnPath(tool.program)) {
        if (IsInside(program, tools))
            return program;
        const std::wstring verdict = ProbeVerdict(tool, program);
        if (verdict.empty())
            return program;
        Log(std::wstring(tool.name) + L": passing over " + program.native() + L" (" + verdict +
            L")");
    }
    return {};
}

} // namespace

fs::path FindUnder(const fs::path& folder, const wchar_t* name) {
    fs::path found;
    Walk(
        folder,
        [&](const FolderEntry& entry, int) {
            if (entry.folder() || entry.path.filename().native() != name)
                return true;
            found = entry.path;
            return false;
        },
        3); // nothing below depth 3 is looked at
    return found;
}

void ProvideTools(const fs::path& installFolder) {
    Status(L"Checking the tools");
    const fs::path tools = installFolder / L"tools";
    std::error_code error;
    fs::create_directories(tools, error);
    for (const ToolEntry& tool : maintenance::kToolTable) {
        CheckCancel();
        const std::wstring name = tool.name;
        const fs::path onPath = UsableOnPath(tool, tools);
        if (!onPath.empty()) {
            Log(name + L": using " + onPath.native());
            continue;
        }
        fs::path program = FindUnder(tools / name, tool.program);
        if (program.empty())
            program = Provide(tool, tools);
        Log(name + L": " + program.native());
        SetEnvironmentVariableW(L"PATH",
                                (program.parent_path().native() + L";" + ReadPath()).c_str());
    }
    PostProgress(-1);
}

} // namespace setup
