// The user's cancel, and the one wait that it ends.
#include "cancel.h"

#include <algorithm>

namespace setup {

std::atomic<bool> s_cancel{false};

namespace {

// A cancel is noticed within this long, whatever the wait is for.
constexpr DWORD kCancelPollMs = 50;

} // namespace

bool WaitUnlessCancelled(HANDLE object, DWORD milliseconds) {
    const ULONGLONG until = GetTickCount64() + milliseconds;
    for (;;) {
        if (s_cancel)
            return false;
        ULONGLONG slice = kCancelPollMs;
        if (milliseconds != INFINITE) {
            const ULONGLONG now = GetTickCount64();
            if (now >= until)
                return !object; // a timed wait for an object that never came: not done
            slice = std::min<ULONGLONG>(slice, until - now);
        }
        if (!object)
            Sleep(static_cast<DWORD>(slice));
        else if (WaitForSingleObject(object, static_cast<DWORD>(slice)) != WAIT_TIMEOUT)
            return true;
    }
}

} // namespace setup
