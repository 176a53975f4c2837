// What WinHTTP's errors and a server's answers mean for a download, as pure rules: which faults
// may pass, what an answer means for the part already on disk, the waits between attempts and
// the progress line.
#pragma once

#include "basics.h"

#include <string>

namespace setup {

// How an attempt ended: Done, worth another attempt after a wait (Retry), at once (Again: the
// part was dropped), or not at all (Stop: cancelled, or a fault that won't pass by waiting).
enum class Outcome { Done, Retry, Again, Stop };

constexpr int kAttempts = 4;
// The wait after the given failed attempt (1 to 3): about 1, 3 and 9 s, as other downloaders
// back off.
DWORD RetryWaitMs(int attempt);

// A WinHTTP error in words, as setup.log has it: "timed out", "connection reset", ...
std::wstring ErrorInWords(DWORD error);

// Why a request got no answer, and whether that may pass.
struct Fault {
    std::wstring reason;
    Outcome outcome;
};
Fault NoAnswerFault(const std::wstring& host, DWORD error);
// A status other than the one asked for: 500, 502, 503 and 504 may pass; the rest won't.
Fault StatusFault(DWORD status);

// "bytes START-END/TOTAL" or "bytes */TOTAL": START (npos for "*") and TOTAL (0 when unknown).
void ParseContentRange(const std::wstring& text, ULONGLONG& start, ULONGLONG& total);

// What the server's answer means for a part of `have` bytes left by an earlier attempt.
enum class PartPlan {
    Whole,     // 200 with no part: the body, from its start
    Resume,    // 206 from where the part ends: the rest, after it
    Restart,   // 200 to a range: the server can't resume; the part goes, the body is whole
    TakeName,  // 416: the part is the whole download already
    DoesntFit, // 416, and the part isn't the whole: it goes, and the GET starts over
    OtherPart, // 206 from elsewhere: the part goes, and the GET starts over
    Refused,   // any other status: see StatusFault
};
struct PartAnswer {
    ULONGLONG have = 0;
    DWORD status = 0;
    std::wstring contentRange;
    // With a digest to check: whether the part's bytes hash to it; without one, empty.
    int partMatchesDigest = -1; // -1: no digest, 0: no, 1: yes
};
PartPlan PlanFor(const PartAnswer& answer);

// The status line while a download runs: "Downloading CMake: 12 MB of 50 MB". Both counts
// round alike, so the count never passes the total.
std::wstring ProgressText(const std::wstring& label, ULONGLONG received, ULONGLONG expected);
// 0 to 100, or -1 when the size is unknown.
int ProgressPercent(ULONGLONG received, ULONGLONG expected);

} // namespace setup
