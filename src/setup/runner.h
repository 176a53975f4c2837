// Process runner: command lines run hidden, inside s_job, their output cut into lines; and
// where the programs they name are found.
#pragma once

#include "basics.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace setup {

// One output line of a child, raw bytes without its terminator.
using LineCallback = std::function<void(std::string_view line)>;

// What setup.log gets of a run: its command line and output, the command line alone (the
// caller logs what it keeps of the output), or nothing.
enum class RunLog { All, CommandOnly, Nothing };
struct RunOptions {
    RunLog log = RunLog::All;
    DWORD limitMs = INFINITE; // past it the child is ended, and Run answers kTimedOut
};
constexpr DWORD kTimedOut = 0xFFFFFFFE;

DWORD Run(const std::wstring& command, const fs::path& folder, const LineCallback& onLine = {},
          const RunOptions& options = {});
std::wstring Quote(const fs::path& path);
bool GitOutput(const fs::path& folder, const std::wstring& args, std::string& output);

// Every child of a run joins s_job, so a cancel, or the end of the process, ends them all.
UniqueHandle MakeJob();
extern UniqueHandle s_job;

fs::path ProgramFolder(); // the folder of setup.exe

// The first entry of PATH, as the tool step leaves it, that holds program (a folder of that
// name counts too unless filesOnly). Entries a program may not come from are passed over:
// empty and relative ones (the current folder), WindowsApps (app execution aliases) and
// Setup's own folder (Downloads, beside whatever else was downloaded). Empty when none has it.
fs::path FindOnPath(const fs::path& program, bool filesOnly = false);
std::vector<fs::path> FindAllOnPath(const fs::path& program, bool filesOnly = false); // in order
std::wstring ReadPath(); // PATH as it stands

} // namespace setup
