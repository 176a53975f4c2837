// The setup window's controls and shared state.
#include "controls.h"

namespace setup {

bool s_updateMode = false;
bool s_showLog = false;
std::atomic<bool> s_busy{false};
std::thread s_worker;

HWND Item(int id) {
    return GetDlgItem(s_window, id);
}

std::wstring Text(int id) {
    HWND control = Item(id);
    const int length = GetWindowTextLengthW(control);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const int got = GetWindowTextW(control, text.data(), length + 1);
    text.resize(static_cast<size_t>(got > 0 ? got : 0));
    return text;
}

} // namespace setup
