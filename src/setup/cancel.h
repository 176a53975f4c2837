// The user's cancel, and the one wait that it ends.
#pragma once

#include "basics.h"

#include <atomic>

namespace setup {

// Set by the window when the user says stop; read by the worker and everything it waits for.
extern std::atomic<bool> s_cancel;

// Waits until object is signalled (true) or, with no object, until the time is up (true); a
// cancel ends the wait at once (false). The cancel flag is looked at every 50 ms.
bool WaitUnlessCancelled(HANDLE object, DWORD milliseconds = INFINITE);

} // namespace setup
