// The taskbar button (taskbar.cpp). Explorer makes it after the window shows and says so with
// a registered message; Wine has no taskbar and never does, so tests send the message and
// replace the interface and the flash through the seams.
#pragma once

#include "controls.h"

namespace setup {

UINT TaskbarButtonCreated();
void AllowTaskbarButtonMessage();
LRESULT OnTaskbarButtonCreated();
void ShowRunOnTaskbar(int percent); // 0 to 100, or -1: under way, how far unknown
void ShowRunEndOnTaskbar(bool success);
void ReleaseTaskbar(); // before COM ends

} // namespace setup
