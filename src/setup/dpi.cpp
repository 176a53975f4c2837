// The window's DPI and what follows from it. The per-DPI functions came with Windows 10 1607;
// before it, and where they are missing, the system DPI is the only one there is.
#include "dpi.h"
#include "system.h"

namespace setup {

namespace {

int s_dpi = 96;
UniqueGdi<HFONT> s_font;
UniqueGdi<HFONT> s_titleFont;

int SystemDpi() {
    const UniqueScreenDc screen(GetDC(nullptr));
    const int dpi = screen ? GetDeviceCaps(screen.get(), LOGPIXELSY) : 0;
    return dpi > 0 ? dpi : 96;
}

// The message font as the system sets it for people at that DPI.
LOGFONTW MessageFontAt(int dpi) {
    static BOOL(WINAPI * metricsForDpi)(UINT, UINT, void*, UINT, UINT) = nullptr;
    static const bool bound =
        BindAll(L"user32.dll", {{metricsForDpi, "SystemParametersInfoForDpi"}});
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (bound &&
        metricsForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, static_cast<UINT>(dpi)))
        return metrics.lfMessageFont;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    metrics.lfMessageFont.lfHeight = MulDiv(metrics.lfMessageFont.lfHeight, dpi, SystemDpi());
    return metrics.lfMessageFont;
}

} // namespace

int WindowDpi(HWND window) {
    static UINT(WINAPI * dpiForWindow)(HWND) = nullptr;
    static const bool bound = BindAll(L"user32.dll", {{dpiForWindow, "GetDpiForWindow"}});
    const int dpi = bound ? static_cast<int>(dpiForWindow(window)) : 0;
    return dpi > 0 ? dpi : SystemDpi();
}

void ScaleTo(int dpi) {
    s_dpi = dpi > 0 ? dpi : 96;
    LOGFONTW font = MessageFontAt(s_dpi);
    s_font.reset(CreateFontIndirectW(&font));
    font.lfHeight = font.lfHeight * 3 / 2;
    font.lfWeight = FW_BOLD;
    s_titleFont.reset(CreateFontIndirectW(&font));
}

int Px(int pixelsAt96Dpi) {
    return MulDiv(pixelsAt96Dpi, s_dpi, 96);
}

HFONT MessageFont() {
    return s_font.get();
}

HFONT TitleFont() {
    return s_titleFont.get();
}

SIZE WindowSizeFor(int clientWidth, int clientHeight, DWORD style) {
    static BOOL(WINAPI * adjustForDpi)(RECT*, DWORD, BOOL, DWORD, UINT) = nullptr;
    static const bool bound = BindAll(L"user32.dll", {{adjustForDpi, "AdjustWindowRectExForDpi"}});
    RECT rect{0, 0, clientWidth, clientHeight};
    if (!bound || !adjustForDpi(&rect, style, FALSE, 0, static_cast<UINT>(s_dpi)))
        AdjustWindowRect(&rect, style, FALSE);
    return {rect.right - rect.left, rect.bottom - rect.top};
}

} // namespace setup
