// The form: what the user chooses, and the buttons that start, cancel and play.
#pragma once

#include "window.h"

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

fs::path NearestExisting(const fs::path& path);
fs::path InstallFolderFor(const fs::path& picked);

} // namespace setup
