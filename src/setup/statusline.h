// The status line, and screen readers. The line is a live region: a reader speaks each new
// text without the user going there, but no more than about once a second, so that a
// download's running count isn't read out as a stream.
#pragma once

#include "controls.h"

namespace setup {

constexpr UINT_PTR kStatusTimer = 2;
void MakeStatusLive();                     // once the status line exists
void ShowStatus(const std::wstring& text); // shows it, and tells readers when it is new
LRESULT OnStatusTimer();
void EndStatusLive(); // as the window goes

} // namespace setup
