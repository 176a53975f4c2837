// Entry point of setup.exe.
#include "setup.h"

using namespace setup;

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    s_job = MakeJob();
    // The window, its form and the message loop are not built yet.
    s_job.reset();
    CoUninitialize();
    return 0;
}
