// Entry point of setup.exe.
#include "setup.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    return setup::RunSetup(instance, show);
}
