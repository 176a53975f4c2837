// The window: the one top-level window of Setup, its controls and its message procedure.
#pragma once

#include "controls.h"

namespace setup {

int RunSetup(HINSTANCE instance, int show);
void Layout();

} // namespace setup
