// What git prints while it downloads: its progress, for the status line and the bar, and its
// failures, of which those of the network may pass if tried again.
#pragma once

#include "basics.h"

#include <optional>
#include <string>
#include <string_view>

namespace setup {

// One of git's progress lines ("Receiving objects:  45% (1234/2700), 12.30 MiB | 2.10 MiB/s",
// "remote: Counting objects: 100% (5/5), done."): its phase, including any "remote: ", the
// percentage (-1 where the phase only counts), and what follows the count ("12.30 MiB |
// 2.10 MiB/s"). Empty for any other line.
struct GitProgress {
    std::string phase;
    int percent = -1;
    std::string detail;
};
std::optional<GitProgress> ReadGitProgress(std::string_view line);

// What has come, as the status line gives it: "12 MB, 2.1 MB/s" of "12.30 MiB | 2.10 MiB/s".
std::wstring TransferText(std::string_view detail);

// Whether a line of git's says the connection failed, which another try may mend (a host that
// can't be found, a connection reset or too slow, a 5xx answer, a failed TLS handshake); not a
// repository that isn't there or a sign-in.
bool IsNetworkFailure(std::string_view line);

// Reads the output of a git command that downloads: moves the status line and the bar while
// objects arrive and files are written, and logs one line a phase, the last, and every other
// line as it comes. `base` is the step's status ("Downloading the source code").
class GitWatcher {
  public:
    explicit GitWatcher(std::wstring base) : m_base(std::move(base)) {}
    GitWatcher(const GitWatcher&) = delete;
    GitWatcher& operator=(const GitWatcher&) = delete;
    void operator()(std::string_view line);
    void Flush(); // logs the phase's last line; the command has ended
    bool networkFailed() const { return m_networkFailed; }

  private:
    std::wstring m_base;
    std::optional<GitProgress> m_phase;
    std::string m_last; // the phase's last line, not yet logged
    std::wstring m_shown;
    int m_shownPercent = -2;
    bool m_networkFailed = false;
};

} // namespace setup
