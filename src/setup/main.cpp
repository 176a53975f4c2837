// Entry point of setup.exe.
#include "window.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    // Before anything can load a DLL: Windows would otherwise look in setup.exe's own folder,
    // Downloads as a rule, for every DLL that is not a KnownDLL.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    return setup::RunSetup(instance, show);
}
