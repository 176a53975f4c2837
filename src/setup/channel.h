// Status channel: what the worker tells the window, and setup.log.
//
// Worker-to-window messages carry no pointer and nothing the window trusts: what the worker
// reports waits here, and a message only tells the window to look. Another program can post
// either; the window then looks early and finds nothing new.
#pragma once

#include "cancel.h"

#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace setup {

// The worker's doorbell: lines, a status or a progress value wait in the channel, and the
// window takes them all at once with TakePending. The worker's reports go this way rather than
// as one post each: a build prints faster than an edit box takes lines one by one, and Windows
// refuses posts to a queue that already holds 10,000. At most one doorbell is ever queued.
constexpr UINT kMsgPending = WM_APP + 5;
// The end of the run: it waits in the channel, for TakeEnd.
constexpr UINT kMsgDone = WM_APP + 4;

// The details box keeps about this many characters; past it the oldest are cut.
constexpr size_t kDetailsLimit = 400000;

// What the worker has reported since the window last took it.
struct Pending {
    std::vector<std::wstring> lines;    // in order; only as many as the details box could show
    std::optional<std::wstring> status; // the latest
    std::optional<int> progress;        // the latest
    bool dropped = false; // older lines were dropped: the window had not taken them in time
};

// How a run ended: the last thing the worker reports.
struct RunEnd {
    bool success = false;
    std::wstring text;
};

void CheckCancel(); // fails with "Cancelled." once the user has said stop
void Log(const std::wstring& text);
void Log(const std::wstring& text, std::string_view utf8); // utf8: the text's UTF-8, at hand
void Status(const std::wstring& text);
void PostProgress(int value);
void PostStatus(const std::wstring& text); // the status line alone, not logged
void PostDone(bool success, const std::wstring& text);

Pending TakePending(); // for the window: everything reported since, and the doorbell rearmed
std::optional<RunEnd> TakeEnd(); // for the window: empty unless a run has ended since

// setup.log: opened by preflight, closed at the end of the run.
void OpenLog(const fs::path& file);
void CloseLog();
bool LogIsOpen();

extern HWND s_window;

} // namespace setup
