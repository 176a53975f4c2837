// Linked into the test build's setup.exe only. A GUI test that lets many downloads fail on
// purpose sets IRONVALE_QUICK_WAITS, and the waits between attempts then last a fiftieth of
// their time: the log still says "trying again in 1 s". Without it the waits are whole, so a
// test can still stop a run during one.
#include "seams.h"

namespace {

bool (*s_wholePause)(DWORD) = nullptr;

bool QuickPause(DWORD milliseconds) {
    return s_wholePause(milliseconds / 50);
}

struct QuickWaits {
    QuickWaits() {
        if (GetEnvironmentVariableW(L"IRONVALE_QUICK_WAITS", nullptr, 0) == 0)
            return;
        s_wholePause = setup::s_seams.pause;
        setup::s_seams.pause = QuickPause;
    }
} s_quickWaits;

} // namespace
