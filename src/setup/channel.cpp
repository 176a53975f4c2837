// Status channel: what the worker tells the window, and setup.log.
#include "channel.h"
#include "seams.h"

#include <fstream>
#include <mutex>

namespace setup {

HWND s_window = nullptr;

namespace {

// setup.log, written by the worker and closed before the run's end is posted.
std::ofstream s_logFile;
std::mutex s_logLock;

constexpr DWORD kDoneRetryMs = 5;

// Reports wait here for the window. s_rung: a doorbell is in the queue and not yet taken.
std::mutex s_pendingLock;
Pending s_pending;
std::optional<RunEnd> s_end;
size_t s_pendingChars = 0;
bool s_rung = false;

// Changes the pending reports, and rings unless a doorbell is already on its way.
template <typename Change> void Report(Change change) {
    bool ring = false;
    {
        std::lock_guard<std::mutex> lock(s_pendingLock);
        change(s_pending);
        ring = !std::exchange(s_rung, true);
    }
    // Posted without the lock: the window takes it to empty the reports.
    if (ring && !s_seams.post(s_window, kMsgPending, 0, 0)) {
        // A full queue: the next report rings again, and the end of the run takes the rest.
        std::lock_guard<std::mutex> lock(s_pendingLock);
        s_rung = false;
    }
}

// Lines the details box could not hold are dropped here, oldest first and in bulk; setup.log
// has them all.
void AddLine(Pending& pending, const std::wstring& text) {
    pending.lines.push_back(text);
    s_pendingChars += text.size() + 2;
    if (s_pendingChars <= 2 * kDetailsLimit)
        return;
    auto keep = pending.lines.end() - 1; // the newest stays whole, however long
    size_t kept = keep->size() + 2;
    while (keep != pending.lines.begin() && kept + (keep - 1)->size() + 2 <= kDetailsLimit)
        kept += (--keep)->size() + 2;
    pending.lines.erase(pending.lines.begin(), keep);
    pending.dropped = true;
    s_pendingChars = kept;
}

} // namespace

void CheckCancel() {
    if (s_cancel)
        Fail(L"Cancelled.");
}

void Log(const std::wstring& text, std::string_view utf8) {
    {
        std::lock_guard<std::mutex> lock(s_logLock);
        // A stream that was never opened reports no error flags, so ask whether it is open too.
        if (s_logFile.is_open() && !s_logFile.fail()) {
            s_logFile.write(utf8.data(), static_cast<std::streamsize>(utf8.size()));
            s_logFile.put('\n');
            s_logFile.flush();
        }
    }
    Report([&](Pending& pending) { AddLine(pending, text); });
}

void Log(const std::wstring& text) {
    Log(text, Narrow(text));
}

void Status(const std::wstring& text) {
    Log(L"== " + text);
    PostStatus(text);
}

void PostStatus(const std::wstring& text) {
    Report([&](Pending& pending) { pending.status = text; });
}

void PostProgress(int value) {
    Report([&](Pending& pending) { pending.progress = value; });
}

void PostDone(bool success, const std::wstring& text) {
    {
        std::lock_guard<std::mutex> lock(s_pendingLock);
        s_end = RunEnd{success, text};
    }
    // A lost end-of-run message would leave the window busy for good, and a closing window
    // waits for it before it goes: so wait for room in the queue for as long as the window is
    // there. It keeps pumping messages in every state, so room comes.
    while (!s_seams.post(s_window, kMsgDone, 0, 0)) {
        if (!IsWindow(s_window)) { // nobody is left to take it
            TakeEnd();
            return;
        }
        Sleep(kDoneRetryMs);
    }
}

std::optional<RunEnd> TakeEnd() {
    std::lock_guard<std::mutex> lock(s_pendingLock);
    return std::exchange(s_end, std::nullopt);
}

Pending TakePending() {
    std::lock_guard<std::mutex> lock(s_pendingLock);
    s_rung = false;
    s_pendingChars = 0;
    return std::exchange(s_pending, Pending{});
}

void OpenLog(const fs::path& file) {
    std::lock_guard<std::mutex> lock(s_logLock);
    if (s_logFile.is_open())
        s_logFile.close();
    s_logFile.clear();
    // Text mode: every line feed is stored as CR LF. Earlier runs stay: the file is created if
    // need be, then written from its end. Not in append mode, where the C runtime seeks to the
    // end before every write, doubling the cost of a line; one Setup writes a folder's log.
    { std::ofstream create(file, std::ios::out | std::ios::app); }
    s_logFile.open(file, std::ios::in | std::ios::out | std::ios::ate);
}

bool LogIsOpen() {
    std::lock_guard<std::mutex> lock(s_logLock);
    return s_logFile.is_open();
}

void CloseLog() {
    std::lock_guard<std::mutex> lock(s_logLock);
    if (s_logFile.is_open()) {
        s_logFile.flush();
        s_logFile.close();
    }
}

} // namespace setup
