// The build: the project's own script, its output turned into status text and progress.
#include "channel.h"
#include "runner.h"
#include "steps.h"

#include <climits>

namespace setup {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// A run of digits at `at` as a 32-bit number; false when there is none or it does not fit.
bool ReadNumber(std::string_view line, size_t& at, int& value) {
    const size_t start = at;
    long long number = 0;
    while (at < line.size() && IsDigit(line[at])) {
        number = number * 10 + (line[at] - '0');
        if (number > INT_MAX)
            return false;
        ++at;
    }
    value = static_cast<int>(number);
    return at > start;
}

// ^\[([0-9]+)/([0-9]+)\] and ^\s*([0-9]+)%, matched by hand: std::regex recurses once per
// character and would bring the run down on a long enough line.
bool StepLine(std::string_view line, int& done, int& total) {
    size_t at = 1;
    return !line.empty() && line[0] == '[' && ReadNumber(line, at, done) && at < line.size() &&
           line[at++] == '/' && ReadNumber(line, at, total) && at < line.size() && line[at] == ']';
}

bool PercentLine(std::string_view line, int& percent) {
    size_t at = 0;
    while (at < line.size() &&
           std::string_view(" \t\n\v\f\r").find(line[at]) != std::string_view::npos)
        ++at;
    return ReadNumber(line, at, percent) && at < line.size() && line[at] == '%';
}

} // namespace

void OnBuildLine(std::string_view line) {
    if (line.substr(0, 4) == "==> ") {
        PostStatus(Widen(line.substr(4)));
        PostProgress(-1);
        return;
    }
    int done = 0;
    int total = 0;
    if (StepLine(line, done, total) && total >= 1) {
        PostProgress(static_cast<int>(static_cast<long long>(done) * 100 / total));
        return;
    }
    int percent = 0;
    if (PercentLine(line, percent))
        PostProgress(percent);
}

std::wstring BuildCommand(const Choices& choices, const RunState& run) {
    std::wstring command = L"python -u tools\\build.py";
    if (!run.gameExtracted)
        command += L" --iso " + Quote(choices.source);
    return command;
}

void BuildGame(const Choices& choices, const RunState& run) {
    Status(L"Building (the first build takes 10-30 minutes)");
    if (Run(BuildCommand(choices, run), run.sourceDir, OnBuildLine) != 0)
        Fail(L"The build failed. The log above (also in setup.log) says why; Help > Report a bug "
             L"in the launcher, or a GitHub issue with setup.log attached, gets it looked at." +
             FullDriveNote(choices.folder));
}

} // namespace setup
