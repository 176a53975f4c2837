// The form: what the user chooses, and the buttons that start, cancel and play.
#pragma once

#include "controls.h"

namespace setup {

void UpdateSourceChoice();
void UpdateFreeSpace();
void BrowseSource();
void BrowseDir();
void StartOrCancel();
void CancelRun(); // ends the run's children at once; downloads and the worker follow
void SetBusy(bool busy);
void SetProgress(int percent);
void Play();

} // namespace setup
