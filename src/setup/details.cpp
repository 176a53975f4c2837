// The worker's reports on the window: lines into the details box, the status line, the bar.
// A build can print far more than an edit box takes (Wine's takes about 2 us a character), so
// the window takes reports on a timer and feeds the box a little per turn of its message loop:
// it never stops answering, and the box always ends with the newest lines, without gaps.
#include "details.h"
#include "form.h"
#include "statusline.h"

#include <algorithm>
#include <chrono>

namespace setup {

namespace {

// Wine's edit box takes 7 to 15 ms for any replace, however short, and 1.5 us more a
// character: the box gets one short slice at a time, and at most an eighth of the window's time
// while a build floods it. A ping that comes during a replace waits for it.
constexpr UINT kFeedIntervalMs = 40;
constexpr UINT kFeedShare = 8;
constexpr size_t kSliceChars = 512;
// While a flood keeps the box on the newest slice, it changes no more often than this: each
// change holds the window up for as long as any append, and no one reads lines flying past.
constexpr auto kPreviewEvery = std::chrono::milliseconds(250);
// Everything at once (the end of a run) goes in pieces this long; between them the window
// answers what other threads send it, so that no one waits on it for long.
constexpr size_t kPieceChars = 4096;
// The box loses its oldest lines at least this many characters at a time.
constexpr size_t kDetailsCut = 100000;

using Clock = std::chrono::steady_clock;

std::wstring s_backlog; // taken lines not yet in the box, each ending in CR LF
bool s_gap = false;     // lines between the box and the backlog were dropped: start the box anew
bool s_feeding = false; // the timer runs
// While the box shows the newest slice after a gap: every line since the gap that left the
// backlog, up to the box's limit, so that the box can show them all once the run ends.
std::wstring s_history;
bool s_preview = false;
Clock::time_point s_previewShown;

// Appends whole lines. The box keeps about kDetailsLimit characters: the oldest go first, at
// least kDetailsCut at a time. After a gap, or for lines that fill it alone, the box starts
// anew, in the same replace: every replace costs Wine's box about 20 ms, whatever its size.
void AppendDetails(const wchar_t* text, size_t size) {
    HWND details = Item(kIdDetails);
    // Drawn once afterwards, not by every change the box makes on the way. (Redraw on sets the
    // visible style too: a hidden box is left as it is.)
    const bool shown = IsWindowVisible(details) != FALSE;
    if (shown)
        SendMessageW(details, WM_SETREDRAW, FALSE, 0);
    auto length = static_cast<size_t>(GetWindowTextLengthW(details));
    const bool anew = s_gap || size >= kDetailsLimit;
    s_gap = false;
    if (!anew && length + size > kDetailsLimit) {
        const size_t cut = std::max(kDetailsCut, length + size - kDetailsLimit);
        SendMessageW(details, EM_SETSEL, 0, static_cast<LPARAM>(cut));
        SendMessageW(details, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
        length = static_cast<size_t>(GetWindowTextLengthW(details));
    }
    const std::wstring batch(text, size);
    SendMessageW(details, EM_SETSEL, anew ? 0 : length, anew ? -1 : static_cast<LPARAM>(length));
    SendMessageW(details, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(batch.c_str()));
    if (shown) {
        SendMessageW(details, WM_SETREDRAW, TRUE, 0);
        InvalidateRect(details, nullptr, TRUE);
    }
}

// Lets in the messages other threads send the window (a ping, a screen reader's question);
// posted messages wait for the loop.
void AnswerSentMessages() {
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

// Where the backlog's first `chars` characters end, rounded up to a whole line.
size_t WholeLinesEnd(size_t chars) {
    if (s_backlog.size() <= chars)
        return s_backlog.size();
    const size_t end = s_backlog.find(L"\r\n", chars - 2);
    return end == std::wstring::npos ? s_backlog.size() : end + 2;
}

// How many of the oldest characters to drop, in whole lines, so that at most `keep` are left;
// the newest line stays, however long.
size_t OlderThan(const std::wstring& lines, size_t keep) {
    if (lines.size() <= keep)
        return 0;
    const size_t from = lines.size() - keep;
    const size_t cutThrough = lines.find(L"\r\n", from >= 2 ? from - 2 : 0);
    const size_t beforeNewest = lines.rfind(L"\r\n", lines.size() - 3);
    if (beforeNewest == std::wstring::npos)
        return 0;
    return std::min(cutThrough, beforeNewest) + 2;
}

// Drops the oldest whole lines until at most `keep` characters are left (the box's limit, by
// default). True when any went.
bool TrimToBox(std::wstring& lines, size_t keep = kDetailsLimit) {
    const size_t drop = OlderThan(lines, keep);
    lines.erase(0, drop);
    return drop > 0;
}

void TrimBacklog(size_t keep = kDetailsLimit) {
    if (TrimToBox(s_backlog, keep)) {
        s_gap = true;
        s_history.clear(); // no longer joins the backlog
    }
}

// Takes the worker's reports; the status and the bar show at once, the lines join the backlog.
bool Take() {
    Pending pending = TakePending();
    if (pending.dropped) {
        s_backlog.clear();
        s_history.clear();
        s_gap = true;
    }
    // Room is made before the new lines join, not after: a flood brings a box's worth each
    // turn, and copying the backlog through twice held the window up.
    size_t incoming = 0;
    for (const auto& line : pending.lines)
        incoming += line.size() + 2;
    TrimBacklog(kDetailsLimit - std::min(incoming, kDetailsLimit));
    for (const auto& line : pending.lines)
        s_backlog.append(line).append(L"\r\n");
    TrimBacklog();
    AnswerSentMessages();
    if (pending.status)
        ShowStatus(*pending.status);
    if (pending.progress)
        SetProgress(*pending.progress);
    return !pending.lines.empty() || pending.status || pending.progress || pending.dropped;
}

// While a gap keeps the box starting anew, it shows the newest slice: what the build prints
// now, not what it printed while the window fell behind. The lines it passes over are kept.
void SkipToNewest() {
    const size_t skipped = OlderThan(s_backlog, kSliceChars);
    if (skipped == 0)
        return;
    s_history.append(s_backlog, 0, skipped);
    s_backlog.erase(0, skipped);
    s_preview = true;
}

// Gives the box the oldest backlog lines: a slice of whole lines or, with `all`, every one, in
// pieces. Once the run has ended, lines passed over for the newest come back.
void Feed(bool all = false) {
    if (all && s_preview) {
        s_backlog.insert(0, s_history);
        TrimToBox(s_backlog);
        s_history.clear();
        s_preview = false;
        s_gap = true;
    } else if (s_gap && !all) {
        if (s_preview && Clock::now() - s_previewShown < kPreviewEvery)
            return;
        SkipToNewest();
        s_previewShown = Clock::now();
    }
    while (!s_backlog.empty()) {
        const size_t end = WholeLinesEnd(all ? kPieceChars : kSliceChars);
        AppendDetails(s_backlog.data(), end);
        if (s_preview) {
            s_history.append(s_backlog, 0, end);
            TrimToBox(s_history);
        }
        s_backlog.erase(0, end);
        if (!all)
            return;
        AnswerSentMessages();
    }
}

void StopFeeding() {
    if (s_feeding)
        KillTimer(s_window, kFeedTimer);
    s_feeding = false;
}

// Takes and feeds again after kFeedIntervalMs, or later when the last turn took long.
void FeedAgain(Clock::duration took) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
    const auto interval = std::max<long long>(kFeedIntervalMs, ms * kFeedShare);
    s_feeding = SetTimer(s_window, kFeedTimer, static_cast<UINT>(interval), nullptr) != 0;
}

void StartFeeding(Clock::time_point start) {
    Feed();
    FeedAgain(Clock::now() - start);
}

} // namespace

// The first doorbell is answered at once; while reports keep coming, the timer takes them.
LRESULT OnPending() {
    if (s_feeding)
        return 0;
    const auto start = Clock::now();
    Take();
    StartFeeding(start);
    return 0;
}

LRESULT OnFeedTimer() {
    const auto start = Clock::now();
    const bool took = Take();
    AnswerSentMessages(); // between the two halves of the turn
    Feed();
    if (!took && s_backlog.empty())
        StopFeeding();
    else
        FeedAgain(Clock::now() - start);
    return 0;
}

void ShowAllReports() {
    StopFeeding();
    Take();
    Feed(true);
}

} // namespace setup
