// git's progress and failures, read from its output.
#include "gitprogress.h"
#include "channel.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace setup {

namespace {

constexpr std::string_view kRemote = "remote: ";

// Phases in which the files are set up from what arrived: the bar goes on, the text changes.
bool SettingUp(const std::string& phase) {
    return phase == "Resolving deltas" || phase == "Updating files" ||
           phase == "Checking out files";
}

// Without the blanks, or the clear-to-end of a terminal, that end a line of the server's.
std::string_view Trimmed(std::string_view text) {
    constexpr std::string_view kClear = "\x1b[K";
    if (text.size() >= kClear.size() && text.substr(text.size() - kClear.size()) == kClear)
        text.remove_suffix(kClear.size());
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    return text;
}

} // namespace

std::optional<GitProgress> ReadGitProgress(std::string_view line) {
    line = Trimmed(line);
    std::string_view text = line;
    if (text.substr(0, kRemote.size()) == kRemote)
        text.remove_prefix(kRemote.size());
    // A phase is words of letters and blanks, capitalised, then ": ".
    const size_t colon = text.find(": ");
    if (colon == std::string_view::npos || colon == 0 ||
        !std::isupper(static_cast<unsigned char>(text[0])))
        return std::nullopt;
    for (char c : text.substr(0, colon))
        if (!std::isalpha(static_cast<unsigned char>(c)) && c != ' ')
            return std::nullopt;
    std::string_view rest = text.substr(colon + 2);
    while (!rest.empty() && rest.front() == ' ')
        rest.remove_prefix(1);
    size_t digits = 0;
    while (digits < rest.size() && std::isdigit(static_cast<unsigned char>(rest[digits])))
        ++digits;
    if (digits == 0)
        return std::nullopt;
    GitProgress progress;
    progress.phase = std::string(line.substr(0, line.size() - text.size() + colon));
    if (digits < rest.size() && rest[digits] == '%') { // "45% (1234/2700), 12.30 MiB | ..."
        progress.percent = std::atoi(std::string(rest.substr(0, digits)).c_str());
        const size_t close = rest.find("), ");
        if (close != std::string_view::npos)
            progress.detail = std::string(rest.substr(close + 3));
    } else if (rest.substr(digits) != "" && rest.substr(digits) != ", done.") {
        return std::nullopt; // "Total 5 (delta 0), reused 0": a count, but no phase of progress
    }
    const size_t done = progress.detail.find(", done.");
    if (done != std::string::npos)
        progress.detail.erase(done);
    return progress;
}

std::wstring TransferText(std::string_view detail) {
    // "12.30 MiB | 2.10 MiB/s": the size, and the speed once git knows it.
    std::wstring text;
    const size_t bar = detail.find(" | ");
    const std::string size(detail.substr(0, bar));
    const std::string speed(bar == std::string_view::npos ? "" : detail.substr(bar + 3));
    auto people = [](const std::string& amount, const char* format) {
        char unit[16] = "";
        double number = 0;
        if (std::sscanf(amount.c_str(), "%lf %15s", &number, unit) != 2)
            return std::wstring();
        std::string name = unit;
        const size_t i = name.find("i");
        if (i != std::string::npos)
            name.erase(i, 1); // MiB: MB, as the rest of Setup writes sizes
        char buffer[48];
        std::snprintf(buffer, sizeof buffer, format, number, name.c_str());
        return Widen(buffer);
    };
    text = people(size, "%.0f %s");
    if (!speed.empty() && !text.empty())
        text += L", " + people(speed, "%.1f %s");
    return text;
}

bool IsNetworkFailure(std::string_view line) {
    constexpr std::string_view kSigns[] = {
        "Operation too slow",     "RPC failed",        "early EOF",
        "Could not resolve host", "Failed to connect", "Connection reset",
        "Connection timed out",   "returned error: 5", "handshake",
    };
    for (std::string_view sign : kSigns)
        if (line.find(sign) != std::string_view::npos)
            return true;
    return false;
}

void GitWatcher::operator()(std::string_view line) {
    if (IsNetworkFailure(line))
        m_networkFailed = true;
    const std::optional<GitProgress> progress = ReadGitProgress(line);
    if (!progress) { // the server's lines come between the updates of a phase
        Log(Widen(line));
        return;
    }
    if (m_phase && m_phase->phase != progress->phase)
        Flush();
    m_phase = progress;
    m_last.assign(Trimmed(line));
    std::wstring shown;
    if (progress->phase == "Receiving objects") {
        const std::wstring got = TransferText(progress->detail);
        shown = got.empty() ? m_base : m_base + L": " + got;
    } else if (SettingUp(progress->phase)) {
        shown = L"Setting up the source code";
    } else {
        return; // the server's own phases: the bar waits for what arrives
    }
    if (shown != m_shown) {
        m_shown = shown;
        PostStatus(shown);
    }
    if (progress->percent != m_shownPercent) {
        m_shownPercent = progress->percent;
        PostProgress(progress->percent);
    }
}

void GitWatcher::Flush() {
    if (!m_last.empty())
        Log(Widen(m_last));
    m_last.clear();
    m_phase.reset();
}

} // namespace setup
