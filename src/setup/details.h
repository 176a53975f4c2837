// The worker's reports on the window: lines in the details box, the status and the progress.
#pragma once

#include "controls.h"

namespace setup {

constexpr UINT_PTR kFeedTimer = 1;
LRESULT OnPending();
LRESULT OnFeedTimer();
void ShowAllReports(); // everything reported so far, before the end of the run is shown

} // namespace setup
