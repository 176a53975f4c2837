// The window's scale. Setup is aware of each monitor's DPI: Windows draws the window at the DPI
// of the monitor it is on and says so when that changes, rather than stretching a bitmap of it.
// Every figure and both fonts follow the DPI set here.
#pragma once

#include "basics.h"

namespace setup {

int WindowDpi(HWND window); // the window's own; the system's where Windows can't say
void ScaleTo(int dpi);      // remakes the fonts at that DPI
int Px(int pixelsAt96Dpi);  // at the DPI last set
HFONT MessageFont();
HFONT TitleFont();
// The window rectangle around a client area of that size, its frame at the DPI last set.
SIZE WindowSizeFor(int clientWidth, int clientHeight, DWORD style);

} // namespace setup
