// The install run: the steps in order on the worker thread, and how every run ends.
#pragma once

#include "steps.h"

#include <functional>
#include <string>

namespace setup {

void Install(Choices choices);

// The run's steps, returning the end text of a success. Install passes its own; tests pass
// theirs to reach the end-of-run handling from every kind of outcome.
using Steps = std::function<std::wstring(const Choices&, RunState&)>;
void InstallWith(const Choices& choices, const Steps& steps);

// What a run does: Install in setup.exe; the window tests host the same window around runs
// of their own.
using Worker = void (*)(Choices);
extern Worker s_workerMain;

} // namespace setup
