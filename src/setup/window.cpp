// The setup window: start-up, controls, layout, the message loop and the window procedure.
#include "window.h"
#include "details.h"
#include "dpi.h"
#include "form.h"
#include "formrules.h"
#include "install.h"
#include "runner.h"
#include "statusline.h"
#include "steps.h"
#include "taskbar.h"

#include <commctrl.h>
#include <shellapi.h>

#include <vector>

namespace setup {

Worker s_workerMain = Install;

namespace {

LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

constexpr wchar_t kClassName[] = L"IronvaleSetup";
constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr int kClientWidth = 640;
constexpr int kClientHeight = 422;
constexpr int kClientHeightWithDetails = 660;
constexpr int kIconSize = 48;

bool s_closing = false; // the user closed the window during a run; it goes when the run ends

struct Control {
    int id;
    const wchar_t* className;
    DWORD style;
    const wchar_t* text;
    int x, y, width, height;
    bool title = false;
};

// In creation order, which is also the Tab order. Figures are client pixels at 96 DPI.
const Control kControls[] = {
    {kIdIcon, L"STATIC", SS_ICON, L"", 16, 12, kIconSize, kIconSize},
    {kIdTitle, L"STATIC", SS_LEFT, L"Ironvale Recompiled Setup", 76, 14, 540, 26, true},
    {kIdIntro, L"STATIC", SS_LEFT,
     L"Builds the game from your own copy of Ironvale. The build tools are downloaded if they "
     L"aren't installed; nothing from the game is downloaded.",
     76, 40, 548, 32},
    {kIdSourceFrame, L"BUTTON", BS_GROUPBOX, L"Your copy of Ironvale", 12, 78, 616, 96},
    {kIdImageChoice, L"BUTTON", BS_AUTORADIOBUTTON | WS_GROUP | WS_TABSTOP, L"Disc image (.iso)",
     28, 98, 150, 20},
    {kIdFolderChoice, L"BUTTON", BS_AUTORADIOBUTTON, L"Extracted disc folder", 190, 98, 190, 20},
    {kIdSource, L"EDIT", WS_BORDER | WS_GROUP | WS_TABSTOP | ES_AUTOHSCROLL, L"", 28, 122, 488, 23},
    {kIdSourceBrowse, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, L"Browse...", 524, 121, 88, 25},
    {kIdSourceHint, L"STATIC", SS_LEFT, L"", 28, 150, 588, 18},
    {kIdFolderFrame, L"BUTTON", BS_GROUPBOX, L"Install folder", 12, 182, 616, 74},
    {kIdFolder, L"EDIT", WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, nullptr, 28, 204, 488, 23},
    {kIdFolderBrowse, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, L"Browse...", 524, 203, 88, 25},
    {kIdFreeSpaceLine, L"STATIC", SS_LEFT, L"", 28, 232, 588, 18},
    {kIdOptionsFrame, L"BUTTON", BS_GROUPBOX, L"When it's done", 12, 264, 616, 86},
    {kIdShortcut, L"BUTTON", BS_AUTOCHECKBOX | WS_TABSTOP,
     L"Add a desktop shortcut to the launcher", 28, 284, 580, 20},
    {kIdFreeSpaceOption, L"BUTTON", BS_AUTOCHECKBOX | WS_TABSTOP,
     L"Free up space: delete the build tools and leftovers (2-4 GB; the next update gets them "
     L"again and takes longer)",
     28, 304, 590, 20},
    {kIdDeleteImage, L"BUTTON", BS_AUTOCHECKBOX | WS_TABSTOP,
     L"Delete the disc image once it's extracted (the game doesn't need it)", 28, 324, 580, 20},
    {kIdStatus, L"STATIC", SS_LEFTNOWORDWRAP | SS_ENDELLIPSIS, L"Ready.", 12, 364, 410, 20},
    {kIdPlay, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, L"Play", 434, 359, 90, 28},
    {kIdInstall, L"BUTTON", BS_DEFPUSHBUTTON | WS_TABSTOP, L"Install", 530, 359, 98, 28},
    {kIdProgress, PROGRESS_CLASSW, 0, L"", 12, 394, 504, 16},
    {kIdDetailsButton, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, L"Show details", 524, 390, 104, 24},
    {kIdDetails, L"EDIT",
     WS_BORDER | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY, L"", 12,
     422, 616, 228},
};

void RegisterWindowClass(HINSTANCE instance) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WndProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kClassName;
    RegisterClassW(&windowClass);
}

UniqueIcon s_icon; // drawn at the window's DPI, so made again when it changes

// Fonts, the icon and every control's place, at the DPI last set.
void ScaleControls() {
    s_icon.reset(
        static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1), IMAGE_ICON,
                                      Px(kIconSize), Px(kIconSize), LR_DEFAULTCOLOR)));
    for (const Control& c : kControls) {
        HWND control = Item(c.id);
        SendMessageW(control, WM_SETFONT,
                     reinterpret_cast<WPARAM>(c.title ? TitleFont() : MessageFont()), TRUE);
        if (c.id == kIdIcon)
            SendMessageW(control, STM_SETICON, reinterpret_cast<WPARAM>(s_icon.get()), 0);
        SetWindowPos(control, nullptr, Px(c.x), Px(c.y), Px(c.width), Px(c.height),
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

void CreateControls(HINSTANCE instance, const std::wstring& folder) {
    for (const Control& c : kControls) {
        const wchar_t* text = c.text ? c.text : folder.c_str();
        HWND control = CreateWindowExW(
            0, c.className, text, WS_CHILD | WS_VISIBLE | c.style, 0, 0, 0, 0, s_window,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.id)), instance, nullptr);
        if (c.id == kIdImageChoice || c.id == kIdShortcut)
            SendMessageW(control, BM_SETCHECK, BST_CHECKED, 0);
        if (c.id == kIdPlay)
            ShowWindow(control, SW_HIDE);
        if (c.id == kIdDetails) {
            SendMessageW(control, EM_LIMITTEXT, 0, 0);
            ShowWindow(control, SW_HIDE);
        }
    }
    ScaleControls();
}

void PlaceWindow() {
    RECT rect{};
    GetWindowRect(s_window, &rect);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    SetWindowPos(s_window, nullptr, (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - height) / 3, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

void ShowExistingInstall() {
    std::error_code error;
    const fs::path xex = fs::path(Text(kIdFolder)) / L"ironvale-recomp" / kGameMarker;
    if (!fs::exists(xex, error))
        return;
    SetWindowTextW(Item(kIdInstall), L"Update");
    ShowStatus(L"Already installed here: Update gets the latest version and rebuilds.");
    for (int id : {kIdImageChoice, kIdFolderChoice, kIdSource, kIdSourceBrowse, kIdDeleteImage})
        EnableWindow(Item(id), FALSE);
    SetWindowTextW(Item(kIdSourceHint),
                   L"Not needed: the game's files are already in this install.");
}

// --- Window procedure handlers ---------------------------------------------------------------

LRESULT OnCommand(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (LOWORD(wParam)) {
    case kIdSourceBrowse:
        BrowseSource();
        return 0;
    case kIdFolder:
        if (HIWORD(wParam) == EN_KILLFOCUS)
            UpdateFreeSpace();
        return 0;
    case kIdFolderBrowse:
        BrowseDir();
        UpdateFreeSpace();
        return 0;
    case kIdInstall:
        StartOrCancel();
        return 0;
    case kIdPlay:
        Play();
        return 0;
    case kIdImageChoice:
    case kIdFolderChoice:
        SetWindowTextW(Item(kIdSource), L"");
        UpdateSourceChoice();
        return 0;
    case kIdDetailsButton:
        s_showLog = !s_showLog;
        Layout();
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

LRESULT OnColorStatic(HWND window, WPARAM wParam, LPARAM lParam) {
    const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
    if (id != kIdSourceHint && id != kIdFreeSpaceLine)
        return DefWindowProcW(window, WM_CTLCOLORSTATIC, wParam, lParam);
    HDC dc = reinterpret_cast<HDC>(wParam);
    SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
    SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
}

// The worker has posted its end-of-run message and touches the window no more, but its last
// steps may take seconds (a cancelled HTTPS request's clean-up): the window goes now, and the
// process waits for the worker once no window is left to answer.
void CloseNow() {
    DestroyWindow(s_window);
}

// A busy window never waits for the worker here: it stops the run and goes on pumping (the
// worker may still be showing a box this window owns) until the run's end-of-run message.
LRESULT OnClose() {
    if (s_closing)
        return 0;
    if (s_busy && MessageBoxW(s_window, L"Setup is still running. Stop it?", kCaption,
                              MB_ICONQUESTION | MB_YESNO) != IDYES)
        return 0;
    if (!s_busy) { // idle, or the run ended while the question was open
        CloseNow();
        return 0;
    }
    s_closing = true;
    CancelRun();
    EnableWindow(Item(kIdInstall), FALSE); // the rest of the form is off while busy
    return 0;
}

// The window moved to a monitor of another scale, or the scale changed: it is laid out again at
// the new DPI and takes the place Windows suggests, so its text stays sharp.
LRESULT OnDpiChanged(WPARAM wParam, LPARAM lParam) {
    ScaleTo(HIWORD(wParam));
    ScaleControls();
    const RECT& suggested = *reinterpret_cast<const RECT*>(lParam);
    SetWindowPos(s_window, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                 suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
    RedrawWindow(s_window, nullptr, nullptr, RDW_ERASE | RDW_INVALIDATE | RDW_ALLCHILDREN);
    return 0;
}

// The window is no dialog, but its message loop lets the dialog manager move the focus and
// press buttons: these are the two questions the manager asks of a dialog. Enter presses
// Install, unless a run is on: then a run stops only by pressing Cancel itself.
LRESULT OnGetDefaultId() {
    return s_busy ? 0 : MAKELRESULT(kIdInstall, DC_HASDEFID);
}

// A multiline box (the details) passes Tab on with this, as a dialog's would; unanswered, the
// focus would stay in the box for good.
LRESULT OnNextControl(WPARAM wParam, LPARAM lParam) {
    HWND next = LOWORD(lParam) ? reinterpret_cast<HWND>(wParam)
                               : GetNextDlgTabItem(s_window, GetFocus(), wParam != 0);
    if (next)
        SetFocus(next);
    return 0;
}

LRESULT OnDestroy() {
    EndStatusLive();
    PostQuitMessage(0);
    return 0;
}

LRESULT OnDone() {
    const std::optional<RunEnd> end = TakeEnd();
    if (!end) // not the worker's: no run has ended
        return 0;
    if (s_closing) { // the user has already left: no box about how the run ended
        CloseNow();
        return 0;
    }
    ShowAllReports(); // the last reports, and any whose doorbell the queue refused
    const bool success = end->success;
    const std::wstring& text = end->text;
    ShowStatus(text);
    SetBusy(false);
    SetProgress(success ? 100 : 0);
    ShowRunEndOnTaskbar(success);
    if (success) {
        SetWindowTextW(Item(kIdInstall), L"Update");
        ShowWindow(Item(kIdPlay), SW_SHOW);
        if (s_updateMode)
            Play();
        else
            MessageBoxW(s_window, text.c_str(), kCaption, MB_ICONINFORMATION);
        return 0;
    }
    if (!s_showLog) {
        s_showLog = true;
        Layout();
    }
    MessageBoxW(s_window, text.c_str(), kCaption, MB_ICONWARNING);
    return 0;
}

} // namespace

void Layout() {
    const SIZE size = WindowSizeFor(
        Px(kClientWidth), Px(s_showLog ? kClientHeightWithDetails : kClientHeight), kWindowStyle);
    SetWindowPos(s_window, nullptr, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER);
    ShowWindow(Item(kIdDetails), s_showLog ? SW_SHOW : SW_HIDE);
    SetWindowTextW(Item(kIdDetailsButton), s_showLog ? L"Hide details" : L"Show details");
}

namespace {

LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        return OnCommand(window, message, wParam, lParam);
    case WM_CTLCOLORSTATIC:
        return OnColorStatic(window, wParam, lParam);
    case WM_CLOSE:
        return OnClose();
    case WM_DESTROY:
        return OnDestroy();
    case DM_GETDEFID:
        return OnGetDefaultId();
    case WM_NEXTDLGCTL:
        return OnNextControl(wParam, lParam);
    case WM_DPICHANGED:
        return OnDpiChanged(wParam, lParam);
    case kMsgDone:
        return OnDone();
    case kMsgPending:
        return OnPending();
    case WM_TIMER:
        return wParam == kFeedTimer     ? OnFeedTimer()
               : wParam == kStatusTimer ? OnStatusTimer()
                                        : DefWindowProcW(window, message, wParam, lParam);
    default:
        return message == TaskbarButtonCreated() ? OnTaskbarButtonCreated()
                                                 : DefWindowProcW(window, message, wParam, lParam);
    }
}

} // namespace

int RunSetup(HINSTANCE instance, int show) {
    // The folder picker and the taskbar need COM; without it they fail on their own terms.
    const UniqueComInit com = InitCom(COINIT_APARTMENTTHREADED);
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    s_job = MakeJob();
    RegisterWindowClass(instance);

    const std::wstring updateFolder = UpdateFolder(GetCommandLineW());
    s_updateMode = !updateFolder.empty();
    const std::wstring folder = DefaultFolder(updateFolder, ProgramFolder());

    s_window = CreateWindowExW(0, kClassName, kCaption, kWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                               100, 100, nullptr, nullptr, instance, nullptr);
    if (!s_window) {
        s_job.reset();
        return 0;
    }
    AllowTaskbarButtonMessage();
    ScaleTo(WindowDpi(s_window));
    CreateControls(instance, folder);
    MakeStatusLive();
    UpdateSourceChoice();
    UpdateFreeSpace();
    Layout();
    PlaceWindow();
    ShowExistingInstall();
    ShowWindow(s_window, show);
    if (s_updateMode)
        PostMessageW(s_window, WM_COMMAND, MAKEWPARAM(kIdInstall, 0), 0);

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (IsDialogMessageW(s_window, &msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }

    if (s_worker.joinable())
        s_worker.join();
    ReleaseTaskbar();
    s_job.reset();
    return 0;
}

} // namespace setup
