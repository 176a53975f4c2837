// The setup window driven from outside, as a user would: the real setup.exe (and gui_host.exe,
// the same window around runs the test controls) under the rig's display, with real messages.
// No window manager runs under Xvfb, so geometry is read with GetClientRect and GetWindowRect.
#include "support.h"

#include <gtest/gtest.h>

#include <wincrypt.h>

#include <commctrl.h>
#include <shlobj.h>

#include <algorithm>
#include <cwchar>
#include <functional>
#include <optional>
#include <set>

using namespace setup;
using namespace testing_support;

namespace {

bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs = 20000) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(20);
    }
    return true;
}

std::wstring WindowText(HWND window) {
    const auto length = SendMessageW(window, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const auto got =
        SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(got));
    return text;
}

std::wstring ClassOf(HWND window) {
    wchar_t name[64] = L"";
    GetClassNameW(window, name, 64);
    return name;
}

// The system's DPI as the window under test sees it: both run in the same prefix.
int Scaled(int pixels) {
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return MulDiv(pixels, dpi, 96);
}

// One running setup window and the ways a user reaches it.
class App {
  public:
    App(const fs::path& exe, const std::wstring& args, const std::wstring& hostRun = L"",
        const fs::path& folder = {}) {
        if (!hostRun.empty())
            SetEnvironmentVariableW(L"IRONVALE_HOST_RUN", hostRun.c_str());
        std::wstring command = Quote(exe) + (args.empty() ? L"" : L" " + args);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        const BOOL started =
            CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                           folder.empty() ? nullptr : folder.c_str(), &startup, &info);
        SetEnvironmentVariableW(L"IRONVALE_HOST_RUN", nullptr);
        if (!started)
            return;
        m_process.reset(info.hProcess);
        UniqueHandle thread(info.hThread);
        m_id = info.dwProcessId;
        // Found once start-up has shown it and its message loop is waiting for input.
        WaitFor([this] { return (window = Find()) != nullptr && IsWindowVisible(window); });
        WaitForInputIdle(m_process.get(), 20000);
    }

    ~App() {
        if (m_process && WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT) {
            TerminateProcess(m_process.get(), 1);
            WaitForSingleObject(m_process.get(), 10000);
        }
    }

    HWND Item(int id) const { return GetDlgItem(window, id); }
    std::wstring Text(int id) const { return WindowText(Item(id)); }
    void SetText(int id, const std::wstring& text) const {
        SendMessageW(Item(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
    // Typing a folder ends with the box losing the focus.
    void TypeFolder(const std::wstring& folder) const {
        SetText(kIdFolder, folder);
        SendMessageW(window, WM_COMMAND, MAKEWPARAM(kIdFolder, EN_KILLFOCUS),
                     reinterpret_cast<LPARAM>(Item(kIdFolder)));
    }
    bool Checked(int id) const { return SendMessageW(Item(id), BM_GETCHECK, 0, 0) == BST_CHECKED; }
    void Check(int id, bool on) const {
        SendMessageW(Item(id), BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
    }
    bool Enabled(int id) const { return IsWindowEnabled(Item(id)) != FALSE; }
    bool Visible(int id) const { return IsWindowVisible(Item(id)) != FALSE; }
    // Posted, as a click may open a modal box the test then has to answer.
    void Click(int id) const { PostMessageW(Item(id), BM_CLICK, 0, 0); }
    // Sent: returns once the window has handled the click.
    void ClickAndWait(int id) const { SendMessageW(Item(id), BM_CLICK, 0, 0); }
    // The form filled in as a person would, and Install pressed.
    void Install(const fs::path& source, const fs::path& folder) const {
        SetText(kIdSource, source.native());
        SetText(kIdFolder, folder.native());
        Click(kIdInstall);
    }
    SIZE Client() const {
        RECT rect{};
        GetClientRect(window, &rect);
        return {rect.right, rect.bottom};
    }

    // The message box the window owns, once it shows; but not `other`, one already open.
    HWND WaitForBox(DWORD timeoutMs = 20000, HWND other = nullptr) const {
        HWND box = nullptr;
        WaitFor([&] { return (box = FindBox(other)) != nullptr; }, timeoutMs);
        return box;
    }
    static std::wstring BoxText(HWND box) {
        std::wstring text;
        EnumChildWindows(
            box,
            [](HWND child, LPARAM found) -> BOOL {
                if (ClassOf(child) == L"Static" && WindowText(child).size() > 0) {
                    *reinterpret_cast<std::wstring*>(found) = WindowText(child);
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&text));
        return text;
    }
    static void Answer(HWND box, int button) {
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
    }
    // Reads and answers the next box; returns its text, or "(no box)".
    std::wstring ExpectBox(int button = IDOK, std::wstring* caption = nullptr,
                           DWORD timeoutMs = 20000) const {
        HWND box = WaitForBox(timeoutMs);
        if (!box)
            return L"(no box)";
        const std::wstring text = BoxText(box);
        if (caption)
            *caption = WindowText(box);
        Answer(box, button);
        WaitFor([&] { return !IsWindow(box); });
        return text;
    }

    // As Windows tells a window that went to a monitor at another DPI: the place it suggests,
    // returned, is the client area scaled in a frame drawn at the new DPI (Wine keeps the frame
    // it has). The rectangle is read in the window's own process, so it is put there.
    RECT ChangeDpi(int from, int to) const {
        RECT now{}, client{};
        GetWindowRect(window, &now);
        GetClientRect(window, &client);
        const RECT suggested{
            40, 30, 40 + MulDiv(client.right, to, from) + now.right - now.left - client.right,
            30 + MulDiv(client.bottom, to, from) + now.bottom - now.top - client.bottom};
        void* remote = VirtualAllocEx(m_process.get(), nullptr, sizeof suggested,
                                      MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        WriteProcessMemory(m_process.get(), remote, &suggested, sizeof suggested, nullptr);
        SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(to, to), reinterpret_cast<LPARAM>(remote));
        VirtualFreeEx(m_process.get(), remote, 0, MEM_RELEASE);
        return suggested;
    }

    void Kill() const { // as a crash ends it
        TerminateProcess(m_process.get(), 3);
        WaitForSingleObject(m_process.get(), 20000);
    }
    bool Exited(DWORD timeoutMs = 20000) const {
        return WaitForSingleObject(m_process.get(), timeoutMs) == WAIT_OBJECT_0;
    }
    bool Idle() const { return Text(kIdInstall) != L"Cancel"; }
    // Returns once the window has handled everything posted to it before: a box that any of it
    // opens is open by then. The mark is the progress bar's step, which Setup never uses.
    void Settle() const {
        static WPARAM mark = 10;
        PostMessageW(Item(kIdProgress), PBM_SETSTEP, ++mark, 0);
        WaitFor(
            [&] { return SendMessageW(Item(kIdProgress), PBM_GETSTEP, 0, 0) == LRESULT(mark); });
    }
    // Once settled: no run started and no box opened.
    bool StillIdle() const {
        Settle();
        return Idle() && !FindBox(nullptr);
    }

  private:
    static HWND FindTopLevel(const std::function<bool(HWND)>& match) {
        struct Search {
            const std::function<bool(HWND)>* match;
            HWND found;
        } search{&match, nullptr};
        EnumWindows(
            [](HWND candidate, LPARAM data) -> BOOL {
                auto* s = reinterpret_cast<Search*>(data);
                if (!(*s->match)(candidate))
                    return TRUE;
                s->found = candidate;
                return FALSE;
            },
            reinterpret_cast<LPARAM>(&search));
        return search.found;
    }
    HWND Find() const {
        return FindTopLevel([this](HWND candidate) {
            DWORD owner = 0;
            GetWindowThreadProcessId(candidate, &owner);
            return owner == m_id && ClassOf(candidate) == L"IronvaleSetup";
        });
    }
    HWND FindBox(HWND other) const {
        return FindTopLevel([this, other](HWND candidate) {
            return candidate != other && ClassOf(candidate) == L"#32770" &&
                   GetWindow(candidate, GW_OWNER) == window && IsWindowVisible(candidate);
        });
    }

    UniqueHandle m_process;
    DWORD m_id = 0;

  public:
    HWND window = nullptr;
};

fs::path SetupExe() {
    return HelperFolder() / L"setup.exe";
}
fs::path HostExe() {
    return HelperFolder() / L"gui_host.exe";
}

// The screen's pixels in that rectangle, top row first, as 32-bit BGRX.
std::vector<DWORD> Capture(const RECT& area) {
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
    GdiFlush();
    std::vector<DWORD> pixels(static_cast<const DWORD*>(bits),
                              static_cast<const DWORD*>(bits) +
                                  static_cast<size_t>(width) * height);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

// Keeps a picture of the screen for people to look at (there is no window manager, so the
// window is all there is).
void SaveScreenshot(const std::wstring& name) {
    const fs::path folder = HelperFolder().parent_path() / L"screenshots";
    fs::create_directories(folder);
    // No event tells when Wine's window surfaces reach the screen: painting through
    // RedrawWindow's UPDATENOW first still left a window that had just grown blank below.
    Sleep(300);
    const int width = GetSystemMetrics(SM_CXSCREEN);
    const int height = GetSystemMetrics(SM_CYSCREEN);
    std::vector<DWORD> pixels = Capture({0, 0, width, height});
    // GDI leaves the alpha byte as it pleases; image viewers would take it for transparency.
    for (DWORD& pixel : pixels)
        pixel |= 0xFF000000;
    const DWORD size = static_cast<DWORD>(pixels.size() * 4);
    BITMAPINFOHEADER header{sizeof header, width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    BITMAPFILEHEADER file{0x4D42, static_cast<DWORD>(sizeof file + sizeof header + size), 0, 0,
                          static_cast<DWORD>(sizeof file + sizeof header)};
    std::string bytes(reinterpret_cast<const char*>(&file), sizeof file);
    bytes.append(reinterpret_cast<const char*>(&header), sizeof header);
    bytes.append(reinterpret_cast<const char*>(pixels.data()), size);
    WriteBytes(folder / (name + L".bmp"), bytes);
}

// The keyboard focus of the window's thread.
HWND Focus(const App& app) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(app.window, nullptr), &info);
    return info.hwndFocus;
}

// Typed into the focused control, through the window's message loop; true once the focus moved.
bool PressMovesFocus(const App& app, WPARAM key) {
    HWND from = Focus(app);
    PostMessageW(from ? from : app.window, WM_KEYDOWN, key, 1);
    return WaitFor([&] { return Focus(app) != from; }, 5000);
}

// Every control's place in client pixels, from kIdSource on.
std::vector<RECT> Places(const App& app) {
    std::vector<RECT> places(kIdOptionsFrame - kIdSource + 1);
    for (int id = kIdSource; id <= kIdOptionsFrame; ++id) {
        GetWindowRect(app.Item(id), &places[id - kIdSource]);
        MapWindowPoints(nullptr, app.window, reinterpret_cast<POINT*>(&places[id - kIdSource]), 2);
    }
    return places;
}

bool Within(const RECT& inner, const RECT& outer) {
    RECT both{};
    return IntersectRect(&both, &inner, &outer) && EqualRect(&both, &inner);
}

// What a person sees is whole: each shown control inside the client area, and none on another
// but inside its frame.
void ExpectTidy(const App& app) {
    RECT client{}, both{};
    GetClientRect(app.window, &client);
    const auto at = Places(app);
    auto frame = [](int id) {
        return id == kIdSourceFrame || id == kIdFolderFrame || id == kIdOptionsFrame;
    };
    for (int a = kIdSource; a <= kIdOptionsFrame; ++a) {
        const RECT& place = at[a - kIdSource];
        EXPECT_TRUE(!app.Visible(a) || Within(place, client)) << a;
        for (int b = a + 1; b <= kIdOptionsFrame; ++b)
            if (app.Visible(a) && app.Visible(b) &&
                IntersectRect(&both, &place, &at[b - kIdSource])) {
                EXPECT_TRUE(frame(a) ? Within(at[b - kIdSource], place)
                                     : frame(b) && Within(place, at[b - kIdSource]))
                    << a << " overlaps " << b;
            }
    }
}

// How many pixel rows of a control its text inks: the height its font is drawn at.
int InkRows(const App& app, int id) {
    RedrawWindow(app.window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    RECT rect{};
    GetWindowRect(app.Item(id), &rect);
    const std::vector<DWORD> pixels = Capture(rect);
    const long width = rect.right - rect.left;
    int rows = 0;
    for (long row = 0; row < rect.bottom - rect.top; ++row)
        rows += std::any_of(pixels.begin() + row * width, pixels.begin() + (row + 1) * width,
                            [](DWORD pixel) { return (pixel & 0xFF) < 96; });
    return rows;
}

const std::wstring kFullFolder =
    L"Choose a full folder path without ';', such as C:\\Ironvale-Recomp.";
const std::wstring kChooseSource =
    L"Choose your Ironvale disc image (.iso) or extracted disc folder first.";

TEST(Start, CommandLineDecidesFolderAndWhetherTheRunStartsByItself) {
    TempFolder temp;
    const std::wstring a = (temp.path() / L"a").native();
    const std::wstring b = (temp.path() / L"b").native();
    struct Case {
        std::wstring args;
        std::wstring folder;
        bool starts;
    };
    const Case cases[] = {
        {L"", L"C:\\Ironvale-Recomp", false},
        {L"--update " + Quote(a), a, true},
        {L"--update", L"C:\\Ironvale-Recomp", false},
        {L"--update \"\"", L"C:\\Ironvale-Recomp", false},
        {L"--Update " + Quote(a), L"C:\\Ironvale-Recomp", false},
        {L"--update " + Quote(a) + L" --update " + Quote(b), b, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(fs::path(c.args).string());
        App app(SetupExe(), c.args);
        ASSERT_TRUE(app.window);
        EXPECT_EQ(app.Text(kIdFolder), c.folder);
        if (c.starts) {
            // Nothing to build from, so the run that started by itself refuses at once.
            EXPECT_EQ(app.ExpectBox(), kChooseSource);
            EXPECT_TRUE(fs::exists(fs::path(c.folder) / L"setup.log"));
        } else {
            EXPECT_TRUE(app.StillIdle());
            EXPECT_EQ(app.Text(kIdStatus), L"Ready.");
        }
    }
}

// Paths past MAX_PATH (a deep Downloads folder, a long install folder) work only for programs
// whose manifest says so.
TEST(Start, TheManifestAndTheVersionAreComplete) {
    const HMODULE exe = LoadLibraryExW(SetupExe().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_TRUE(exe);
    const HRSRC found = FindResourceW(exe, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_TRUE(found);
    const char* text = static_cast<const char*>(LockResource(LoadResource(exe, found)));
    const std::string manifest(text, SizeofResource(exe, found));
    FreeLibrary(exe);
    for (const char* part :
         {"WindowsSettings\">true</longPathAware>", "name=\"IronvaleRecomp.Setup\"",
          "<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>",
          "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>",
          "WindowsSettings\">PerMonitorV2, PerMonitor</dpiAwareness>"})
        EXPECT_NE(manifest.find(part), std::string::npos) << part;

    // Properties, Details: what people and IT departments read before they run it.
    DWORD ignored = 0;
    std::vector<char> info(GetFileVersionInfoSizeW(SetupExe().c_str(), &ignored));
    ASSERT_FALSE(info.empty());
    ASSERT_TRUE(
        GetFileVersionInfoW(SetupExe().c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
    const std::pair<const wchar_t*, std::wstring> fields[] = {
        {L"FileDescription", L"Ironvale Recompiled Setup"},
        {L"ProductName", L"Ironvale Recompiled Setup"},
        {L"OriginalFilename", L"setup.exe"},
        {L"InternalName", L"setup"},
        {L"FileVersion", Widen(IRONVALE_VERSION)},
        {L"ProductVersion", Widen(IRONVALE_VERSION)},
    };
    for (const auto& [name, expected] : fields) {
        wchar_t* value = nullptr;
        UINT length = 0;
        const std::wstring key = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
        ASSERT_TRUE(
            VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &length))
            << Narrow(name);
        EXPECT_EQ(std::wstring(value), expected) << Narrow(name);
    }
}

TEST(Start, SetupInsideAnInstallDefaultsToIt) {
    TempFolder temp;
    const fs::path install = temp.path() / L"Ironvale";
    fs::create_directories(install / L"ironvale-recomp" / L".git");
    fs::copy_file(SetupExe(), install / L"setup.exe");
    {
        App app(install / L"setup.exe", L"");
        ASSERT_TRUE(app.window);
        EXPECT_EQ(app.Text(kIdFolder), install.native());
        EXPECT_EQ(app.Text(kIdInstall), L"Install");
        EXPECT_TRUE(app.Enabled(kIdSource));
    }
    MakeInstalled(install);
    App app(install / L"setup.exe", L"");
    ASSERT_TRUE(app.window);
    EXPECT_EQ(app.Text(kIdInstall), L"Update");
    EXPECT_EQ(app.Text(kIdStatus),
              L"Already installed here: Update gets the latest version and rebuilds.");
    EXPECT_EQ(app.Text(kIdSourceHint),
              L"Not needed: the game's files are already in this install.");
    for (int id : {kIdImageChoice, kIdFolderChoice, kIdSource, kIdSourceBrowse, kIdDeleteImage})
        EXPECT_FALSE(app.Enabled(id)) << id;
    EXPECT_TRUE(app.Enabled(kIdFolder));
    SaveScreenshot(L"existing-install");
}

// Also run by the 144 DPI suite: every figure scales with the system DPI.
// To a monitor at 144 DPI (from 144, to one at 96, as the screen has no room for more), and
// back: every control, both fonts and the frame follow, and nothing else changes.
void ExpectMovingBetweenDpisScales(const App& app, const RECT& window) {
    const auto places = Places(app);
    const int status = InkRows(app, kIdStatus), title = InkRows(app, kIdTitle);
    const int from = Scaled(96), to = from == 144 ? 96 : 144;
    auto scale = [&](int pixels) { return MulDiv(pixels, to, from); };
    const RECT suggested = app.ChangeDpi(from, to);
    RECT now{};
    GetWindowRect(app.window, &now);
    EXPECT_TRUE(EqualRect(&now, &suggested));
    ExpectTidy(app);
    const auto scaled = Places(app);
    for (size_t i = 0; i < places.size(); ++i) {
        const RECT &was = places[i], &is = scaled[i];
        EXPECT_LE(std::max({std::abs(is.left - scale(was.left)), std::abs(is.top - scale(was.top)),
                            std::abs(is.right - scale(was.right)),
                            std::abs(is.bottom - scale(was.bottom))}),
                  2)
            << kIdSource + i;
    }
    EXPECT_NEAR(InkRows(app, kIdStatus), scale(status), 2);
    EXPECT_NEAR(InkRows(app, kIdTitle), scale(title), 2);
    EXPECT_EQ(app.Text(kIdStatus), L"Ready.");
    SaveScreenshot(L"idle-" + std::to_wstring(from) + L"dpi-moved-to-" + std::to_wstring(to) +
                   L"dpi");
    app.ChangeDpi(to, from);
    GetWindowRect(app.window, &now);
    EXPECT_EQ(now.right - now.left, window.right - window.left);
    EXPECT_EQ(now.bottom - now.top, window.bottom - window.top);
    const auto back = Places(app);
    for (size_t i = 0; i < places.size(); ++i)
        EXPECT_TRUE(EqualRect(&back[i], &places[i])) << kIdSource + i;
    EXPECT_EQ(InkRows(app, kIdStatus), status);
}

// Tab visits every control a person can use once, the details box too, as they read the
// window: rows from the top, left to right in a row.
void ExpectTabGoesAsRead(const App& app) {
    SetForegroundWindow(app.window);
    std::vector<HWND> visited;
    while (PressMovesFocus(app, VK_TAB) &&
           std::find(visited.begin(), visited.end(), Focus(app)) == visited.end())
        visited.push_back(Focus(app));
    ASSERT_FALSE(visited.empty());
    EXPECT_EQ(Focus(app), visited.front()) << "Tab goes round";
    std::vector<HWND> usable;
    for (int id = kIdSource; id <= kIdOptionsFrame; ++id)
        if ((GetWindowLongW(app.Item(id), GWL_STYLE) & WS_TABSTOP) && app.Visible(id) &&
            app.Enabled(id) && id != kIdFolderChoice) // a radio group is one stop
            usable.push_back(app.Item(id));
    EXPECT_EQ(std::set<HWND>(visited.begin(), visited.end()),
              std::set<HWND>(usable.begin(), usable.end()));
    // From the first control on screen, the source's radio group.
    const auto first = std::find(visited.begin(), visited.end(), app.Item(kIdImageChoice));
    ASSERT_NE(first, visited.end());
    std::rotate(visited.begin(), first, visited.end());
    for (size_t i = 1; i < visited.size(); ++i) {
        RECT a{}, b{};
        GetWindowRect(visited[i - 1], &a);
        GetWindowRect(visited[i], &b);
        EXPECT_TRUE(a.bottom <= b.top || (a.top < b.bottom && a.right <= b.left))
            << GetDlgCtrlID(visited[i - 1]) << " before " << GetDlgCtrlID(visited[i]);
    }
}

TEST(Geometry, FirstShowingAndDetails) {
    wchar_t expected[16] = L"";
    if (GetEnvironmentVariableW(L"IRONVALE_EXPECT_DPI", expected, 16)) {
        ASSERT_EQ(Scaled(96), std::wcstol(expected, nullptr, 10)) << "the prefix's DPI";
    }
    App app(SetupExe(), L"");
    ASSERT_TRUE(app.window);
    const SIZE client = app.Client();
    EXPECT_EQ(client.cx, Scaled(640));
    EXPECT_EQ(client.cy, Scaled(422));
    RECT window{}, screen{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    GetWindowRect(app.window, &window);
    EXPECT_TRUE(Within(window, screen));
    ExpectTidy(app);
    EXPECT_FALSE(app.Visible(kIdPlay));
    EXPECT_FALSE(app.Visible(kIdDetails));
    EXPECT_EQ(app.Text(kIdDetailsButton), L"Show details");
    EXPECT_EQ(app.Text(kIdStatus), L"Ready.");
    EXPECT_TRUE(app.Checked(kIdImageChoice));
    EXPECT_TRUE(app.Checked(kIdShortcut));
    EXPECT_FALSE(app.Checked(kIdDeleteImage));
    const std::wstring dpi = std::to_wstring(Scaled(96));
    SaveScreenshot(L"idle-" + dpi + L"dpi");

    ExpectMovingBetweenDpisScales(app, window);
    app.ClickAndWait(kIdDetailsButton);
    EXPECT_EQ(app.Client().cx, Scaled(640));
    EXPECT_EQ(app.Client().cy, Scaled(660));
    EXPECT_TRUE(app.Visible(kIdDetails));
    EXPECT_EQ(app.Text(kIdDetailsButton), L"Hide details");
    SaveScreenshot(L"details-" + dpi + L"dpi");

    ExpectTabGoesAsRead(app);
    // Enter in the folder box presses Install.
    while (Focus(app) != app.Item(kIdFolder))
        ASSERT_TRUE(PressMovesFocus(app, VK_TAB));
    app.SetText(kIdFolder, L"");
    PostMessageW(app.Item(kIdFolder), WM_KEYDOWN, VK_RETURN, 1);
    EXPECT_EQ(app.ExpectBox(), L"Choose a folder to install to.");

    app.ClickAndWait(kIdDetailsButton);
    EXPECT_EQ(app.Client().cy, Scaled(422));
    EXPECT_FALSE(app.Visible(kIdDetails));
    PostMessageW(app.window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(app.Exited()); // idle: no question
}

TEST(Form, RefusalsAndQuestionsBeforeARun) {
    FakeTools tools; // inherited by setup.exe
    TempFolder temp;
    const fs::path disc = temp.path() / L"Ironvale.iso";
    WriteBytes(disc, "disc");
    App app(SetupExe(), L"");
    ASSERT_TRUE(app.window);

    std::wstring caption;
    app.SetText(kIdFolder, L"");
    app.Click(kIdInstall);
    EXPECT_EQ(app.ExpectBox(IDOK, &caption), L"Choose a folder to install to.");
    EXPECT_EQ(caption, L"Ironvale Recompiled Setup");
    EXPECT_TRUE(app.Idle());

    // The rules are the form's (window_test); here, that a refusal starts nothing.
    app.Install(L"", temp.path() / L"Iron;vale");
    EXPECT_EQ(app.ExpectBox(), kFullFolder);
    EXPECT_TRUE(app.Idle());
    EXPECT_FALSE(fs::exists(temp.path() / L"Iron;vale"));
    // A share is a full path: taken, and the run says whether it could make the folder there.
    const std::wstring share = L"\\\\nowhere.invalid\\share\\Ironvale";
    app.Install(L"", share);
    EXPECT_EQ(app.ExpectBox(), L"Couldn't create " + share);

    const std::wstring nonAscii =
        L"The folder's path has non-English characters, which some build tools can't handle. "
        L"A folder like C:\\Ironvale-Recomp is safer. Continue anyway?";
    const fs::path umlaut = temp.path() / L"Spi\u00e4\u00f6le";
    app.Install(L"", umlaut);
    EXPECT_EQ(app.ExpectBox(IDNO), nonAscii);
    EXPECT_TRUE(app.StillIdle()); // asked once, and No starts nothing
    EXPECT_FALSE(fs::exists(umlaut));
    app.Click(kIdInstall);
    EXPECT_EQ(app.ExpectBox(IDYES), nonAscii);
    EXPECT_EQ(app.ExpectBox(), kChooseSource); // the run started and refused the empty source
    EXPECT_TRUE(fs::exists(umlaut / L"setup.log"));

    app.ClickAndWait(kIdFolderChoice);
    app.Install(disc, temp.path() / L"plain");
    EXPECT_EQ(app.ExpectBox(), L"That isn't a folder. Choose the folder of your extracted disc.");
    EXPECT_FALSE(fs::exists(temp.path() / L"plain"));

    app.ClickAndWait(kIdImageChoice);
    app.Check(kIdDeleteImage, true);
    app.Install(disc, temp.path() / L"plain");
    EXPECT_EQ(app.ExpectBox(IDNO),
              L"Delete the disc image when it's been extracted?\n\n" + disc.native() +
                  L"\n\nThe game only needs the extracted files; you'd need the disc image again "
                  L"only to install somewhere else.");
    EXPECT_TRUE(app.StillIdle());
    EXPECT_TRUE(app.Checked(kIdDeleteImage));
    EXPECT_FALSE(fs::exists(temp.path() / L"plain"));
}

TEST(Form, NoDeleteQuestionInUpdateMode) {
    FakeTools tools; // inherited by setup.exe
    TempFolder temp;
    const fs::path disc = temp.path() / L"Ironvale.iso";
    WriteBytes(disc, "disc");
    const fs::path folder = temp.path() / L"Ironvale";
    {
        App relative(SetupExe(), L"--update Ironvale", L"", temp.path());
        ASSERT_TRUE(relative.window);
        EXPECT_EQ(relative.ExpectBox(), kFullFolder);
        EXPECT_TRUE(relative.Idle());
        EXPECT_FALSE(fs::exists(folder));
    }
    App app(SetupExe(), L"--update " + Quote(folder));
    ASSERT_TRUE(app.window);
    EXPECT_EQ(app.ExpectBox(), kChooseSource);
    app.Check(kIdDeleteImage, true);
    app.Install(disc, folder);
    // Straight into the run, which gets as far as is built.
    EXPECT_EQ(app.ExpectBox(), L"The build finished but IronvaleLauncher.exe isn't there.");
}

TEST(Form, SourceChoicesEmptyTheBoxAndSetTheDeleteOption) {
    App app(SetupExe(), L"");
    ASSERT_TRUE(app.window);
    EXPECT_EQ(app.Text(kIdSourceHint), L"A dump of your own Xbox 360 disc of Ironvale (2011).");
    app.Check(kIdDeleteImage, true);
    app.SetText(kIdSource, L"C:\\disc.iso");
    app.ClickAndWait(kIdFolderChoice);
    EXPECT_EQ(app.Text(kIdSource), L"");
    EXPECT_FALSE(app.Enabled(kIdDeleteImage));
    EXPECT_FALSE(app.Checked(kIdDeleteImage));
    EXPECT_EQ(app.Text(kIdSourceHint), L"The folder with default.xex and Cache.Xbox360 (from "
                                       L"extract-xiso, Xenia, etc.). It's copied.");
    app.SetText(kIdSource, L"C:\\disc");
    app.ClickAndWait(kIdImageChoice);
    EXPECT_EQ(app.Text(kIdSource), L"");
    EXPECT_TRUE(app.Enabled(kIdDeleteImage));
    EXPECT_FALSE(app.Checked(kIdDeleteImage));
    app.SetText(kIdSource, L"C:\\again.iso");
    app.ClickAndWait(kIdImageChoice); // already selected: emptied all the same
    EXPECT_EQ(app.Text(kIdSource), L"");
}

TEST(Form, FreeSpaceLineFollowsTheFolder) {
    App app(SetupExe(), L"");
    ASSERT_TRUE(app.window);
    const std::wstring sentence =
        L" free on that drive; about 12 GB is needed (6 GB once the disc is extracted).";
    app.TypeFolder(L"C:\\not\\there\\yet");
    const std::wstring line = app.Text(kIdFreeSpaceLine);
    ASSERT_GT(line.size(), sentence.size());
    EXPECT_EQ(line.substr(line.size() - sentence.size()), sentence);
    EXPECT_TRUE(line.find(L" GB free") != std::wstring::npos ||
                line.find(L" MB free") != std::wstring::npos);
    app.TypeFolder(L"Q:\\Games\\Ironvale");
    EXPECT_EQ(app.Text(kIdFreeSpaceLine), L"");
    app.TypeFolder(L"");
    EXPECT_EQ(app.Text(kIdFreeSpaceLine), L"");
}

TEST(Form, ProgressBar) {
    App app(HostExe(), L"", L"progress");
    ASSERT_TRUE(app.window);
    EXPECT_FALSE(GetWindowLongPtrW(app.Item(kIdProgress), GWL_STYLE) & PBS_MARQUEE);
    app.Click(kIdInstall);
    EXPECT_EQ(app.ExpectBox(), L"Progress shown.");
    // -1 twice, 40, 150, -1, then 100: what the bar showed after each.
    EXPECT_NE(app.Text(kIdDetails)
                  .find(L"bar marquee\r\nbar marquee\r\nbar 40\r\nbar 100\r\n"
                        L"bar marquee\r\nbar 100\r\n"),
              std::wstring::npos)
        << Narrow(app.Text(kIdDetails));
    // And drawn full: a marquee that ends where the bar stood leaves no block of itself behind.
    RECT bar{};
    GetWindowRect(app.Item(kIdProgress), &bar);
    const UniqueScreenDc screen(GetDC(nullptr));
    for (const LONG x : {bar.left + 4, (bar.left + bar.right) / 2, bar.right - 4})
        EXPECT_EQ(GetPixel(screen.get(), x, (bar.top + bar.bottom) / 2),
                  GetSysColor(COLOR_HIGHLIGHT))
            << x - bar.left;
}

// Process ids that the blocking run's child printed into the details box.
std::vector<UniqueHandle> ChildrenIn(const std::wstring& details) {
    std::vector<UniqueHandle> children;
    for (const std::wstring prefix : {L"\r\nchild ", L"\r\ngrandchild "}) {
        const size_t at = details.find(prefix);
        if (at == std::wstring::npos)
            continue;
        children.push_back(
            WatchProcess(std::wcstoul(details.c_str() + at + prefix.size(), nullptr, 10)));
    }
    return children;
}

void ExpectEndedByTheJob(const std::vector<UniqueHandle>& children) {
    ASSERT_EQ(children.size(), 2u);
    for (const auto& child : children)
        EXPECT_EQ(ExitCodeOf(child), 1u); // ended by the job, not by finishing its sleep
}

// The calls on the taskbar button by the host windows started while it lives, as the host's
// recording stand-in wrote them.
class TaskbarRecord {
  public:
    std::vector<std::string> Lines() const { return SplitLines(ReadBytes(m_file)); }
    // The button as the calls so far leave it. matchedBar turns false for good once the button
    // disagreed with the window's bar: a value under 100 that isn't the bar's, or a marquee on
    // one side only.
    struct Button {
        std::string state = "none";
        int value = 0;
        bool wasIndeterminate = false;
        bool matchedBar = true;
        std::string flash; // the last flash asked for
    };
    Button Now() const {
        Button button;
        for (const std::string& line : Lines()) {
            int done = 0;
            int bar = 0;
            if (std::sscanf(line.c_str(), "value %d/100 bar %d", &done, &bar) == 2) {
                button.value = done;
                button.matchedBar &= done == 100 || done == bar;
            } else if (line.rfind("state ", 0) == 0) {
                const size_t marquee = line.find(" marquee");
                button.state = line.substr(6, marquee == std::string::npos ? marquee : marquee - 6);
                button.wasIndeterminate |= button.state == "indeterminate";
                button.matchedBar &=
                    (marquee != std::string::npos) == (button.state == "indeterminate");
            } else if (line.rfind("flash", 0) == 0) {
                button.flash = line;
            }
        }
        return button;
    }
    // What screen readers were told: each as "MS TEXT", MS since the one before.
    std::vector<std::string> Announced() const { return SplitLines(ReadBytes(m_announced)); }
    // What Explorer does once the window's button exists.
    static void ButtonCreated(const App& app) {
        SendMessageW(app.window, RegisterWindowMessageW(L"TaskbarButtonCreated"), 0, 0);
    }

  private:
    TempFolder m_temp;
    fs::path m_file = m_temp.path() / L"taskbar.log";
    fs::path m_announced = m_temp.path() / L"announced.log";
    ScopedVariable m_taskbarLog{L"IRONVALE_TASKBAR_LOG", m_file.native()};
    ScopedVariable m_announceLog{L"IRONVALE_ANNOUNCE_LOG", m_announced.native()};
};

using Calls = std::vector<std::string>;

TEST(Run, CancelKeepsTheFormBusyUntilTheRunHasEnded) {
    TaskbarRecord taskbar;
    App app(HostExe(), L"", L"hold");
    ASSERT_TRUE(app.window);
    TaskbarRecord::ButtonCreated(app);
    SetForegroundWindow(app.window);
    UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, L"IronvaleHostRelease"));
    app.ClickAndWait(kIdInstall);
    ASSERT_TRUE(
        WaitFor([&] { return app.Text(kIdDetails).find(L"grandchild ") != std::wstring::npos; }));
    EXPECT_EQ(app.Text(kIdInstall), L"Cancel");
    EXPECT_EQ(app.Text(kIdStatus), L"Waiting in a child");
    for (int id : {kIdSource, kIdFolder, kIdShortcut, kIdImageChoice, kIdDeleteImage})
        EXPECT_FALSE(app.Enabled(id)) << id;
    EXPECT_TRUE(app.Enabled(kIdInstall));
    const auto children = ChildrenIn(app.Text(kIdDetails));

    app.ClickAndWait(kIdInstall);
    EXPECT_EQ(app.Text(kIdStatus), L"Cancelling...");
    ExpectEndedByTheJob(children);
    EXPECT_EQ(app.Text(kIdInstall), L"Cancel"); // the worker has not reported yet
    EXPECT_FALSE(app.Enabled(kIdSource));

    SetEvent(release.get());
    std::wstring caption;
    EXPECT_EQ(app.ExpectBox(IDOK, &caption), L"Cancelled.");
    EXPECT_EQ(caption, L"Ironvale Recompiled Setup");
    EXPECT_EQ(app.Text(kIdInstall), L"Install");
    EXPECT_EQ(app.Text(kIdStatus), L"Cancelled.");
    EXPECT_TRUE(app.Visible(kIdDetails));
    EXPECT_EQ(app.Client().cy, Scaled(660));
    EXPECT_TRUE(app.Enabled(kIdSource));
    EXPECT_FALSE(app.Visible(kIdPlay));
    // Red on the taskbar; no flash, as the window has the focus.
    const TaskbarRecord::Button button = taskbar.Now();
    EXPECT_EQ(button.state, "error");
    EXPECT_EQ(button.value, 100);
    EXPECT_EQ(button.flash, "");
    EXPECT_TRUE(button.matchedBar);
}

TEST(Run, TheTaskbarButtonFollowsTheRun) {
    const struct {
        const wchar_t* hostRun;
        bool elsewhere; // another window has the focus when the run ends
        const wchar_t* box;
        const char* state;
        int value;
        const char* flash;
    } cases[] = {
        {L"steps:ok", false, L"Stepped through.", "none", 75, ""},
        {L"steps:fail", true, L"Stepped and failed.", "error", 100, "flash until back"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.hostRun);
        TaskbarRecord taskbar;
        App app(HostExe(), L"", c.hostRun);
        ASSERT_TRUE(app.window);
        UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, L"IronvaleHostRelease"));
        EXPECT_EQ(taskbar.Lines(), Calls{}); // nothing before Explorer has made the button
        TaskbarRecord::ButtonCreated(app);
        app.ClickAndWait(kIdInstall);
        // The run waits after its last step: the marquee came and went, the bar is at 75.
        ASSERT_TRUE(WaitFor([&] { return taskbar.Now().value == 75; }));
        TaskbarRecord::Button button = taskbar.Now();
        EXPECT_EQ(button.state, "normal");
        EXPECT_TRUE(button.wasIndeterminate);
        EXPECT_EQ(button.flash, "");

        HWND other = CreateWindowExW(0, L"STATIC", L"Another program", WS_POPUP | WS_VISIBLE, 0, 0,
                                     100, 100, nullptr, nullptr, nullptr, nullptr);
        HWND focus = c.elsewhere ? other : app.window;
        SetForegroundWindow(focus);
        ASSERT_TRUE(WaitFor([&] { return GetForegroundWindow() == focus; }, 5000))
            << GetForegroundWindow();
        SetEvent(release.get());
        EXPECT_EQ(app.ExpectBox(), c.box);
        DestroyWindow(other);
        // The status and the end each once, a second apart at least; the steps of the bar not.
        ASSERT_TRUE(WaitFor([&] { return taskbar.Announced().size() >= 2; }));
        const Calls told = taskbar.Announced();
        ASSERT_EQ(told.size(), 2u);
        EXPECT_EQ(told[0].substr(told[0].find(' ')), " Stepping");
        EXPECT_EQ(told[1].substr(told[1].find(' ')), " " + Narrow(c.box));
        EXPECT_GE(std::stoi(told[1]), 900) << told[1];
        button = taskbar.Now();
        EXPECT_EQ(button.state, c.state);
        EXPECT_EQ(button.value, c.value);
        EXPECT_EQ(button.flash, c.flash);
        EXPECT_TRUE(button.matchedBar);
    }
}

bool Responsive(HWND window) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 50, &result) != 0;
}

// Another program can post the window's private messages with any parameters: it takes them
// for a hint to look at the channel, and the run goes on to its normal end.
TEST(Run, PostsFromElsewhereCarryNothingTheWindowTrusts) {
    App app(HostExe(), L"", L"steps:ok");
    ASSERT_TRUE(app.window);
    UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, L"IronvaleHostRelease"));
    app.ClickAndWait(kIdInstall);
    for (int round = 0; round < 3; ++round) {
        for (UINT message = WM_APP + 1; message <= WM_APP + 5; ++message)
            PostMessageW(app.window, message, 0x5a5a5a5a, static_cast<LPARAM>(0x1234 + round));
        EXPECT_TRUE(Responsive(app.window));
    }
    EXPECT_EQ(app.Text(kIdInstall), L"Cancel"); // still running
    SetEvent(release.get());
    EXPECT_EQ(app.ExpectBox(), L"Stepped through.");
    EXPECT_EQ(app.Text(kIdStatus), L"Stepped through.");
}

TEST(Run, ClosingWhileBusyAsksAndStopsTheRunFirst) {
    App app(HostExe(), L"", L"hold");
    UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, L"IronvaleHostRelease"));
    ASSERT_TRUE(app.window);
    app.ClickAndWait(kIdInstall);
    ASSERT_TRUE(
        WaitFor([&] { return app.Text(kIdDetails).find(L"grandchild ") != std::wstring::npos; }));
    const auto children = ChildrenIn(app.Text(kIdDetails));
    ASSERT_EQ(children.size(), 2u);

    PostMessageW(app.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(app.ExpectBox(IDNO), L"Setup is still running. Stop it?");
    app.Settle();
    EXPECT_TRUE(IsWindow(app.window));
    EXPECT_EQ(app.Text(kIdInstall), L"Cancel");
    EXPECT_EQ(WaitForSingleObject(children[0].get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    PostMessageW(app.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(app.ExpectBox(IDYES), L"Setup is still running. Stop it?");
    ExpectEndedByTheJob(children);
    // The run holds on after its child has gone: the window waits for it, answering all along.
    PostMessageW(app.window, WM_CLOSE, 0, 0); // asks nothing again
    app.Settle();
    EXPECT_EQ(app.WaitForBox(0), nullptr);
    EXPECT_TRUE(IsWindow(app.window));
    EXPECT_EQ(app.Text(kIdStatus), L"Cancelling...");
    EXPECT_FALSE(app.Enabled(kIdInstall));
    // The run's thread takes seconds more to end after its last message: the window is gone
    // without waiting for it.
    SetEvent(release.get());
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(app.window); }, 1000));
    EXPECT_TRUE(app.Exited());

    // A run that ends by itself while the question is open shows its end; Yes then closes the
    // window, with nothing left to stop.
    ResetEvent(release.get());
    App ending(HostExe(), L"", L"steps:ok");
    ASSERT_TRUE(ending.window);
    ending.ClickAndWait(kIdInstall);
    PostMessageW(ending.window, WM_CLOSE, 0, 0);
    HWND stop = ending.WaitForBox();
    ASSERT_TRUE(stop);
    SetEvent(release.get());
    HWND done = ending.WaitForBox(20000, stop);
    ASSERT_TRUE(done);
    EXPECT_EQ(App::BoxText(done), L"Stepped through.");
    App::Answer(done, IDOK);
    App::Answer(stop, IDYES);
    EXPECT_TRUE(ending.Exited());
}

// Starts the host's run that asks the disk-space question about folder; the question's box.
const std::wstring kOneGigabyteFree =
    L"The drive has 1 GB free; about 12 GB is needed. Continue anyway?";

HWND AskingRun(const App& app, const std::wstring& folder) {
    if (!app.window)
        return nullptr;
    app.SetText(kIdFolder, folder);
    app.Click(kIdInstall);
    return app.WaitForBox();
}

// The worker's disk-space question is owned by the window: a close while it is open must
// neither block the window nor leave the question unanswerable.
TEST(Run, ClosingDuringTheDiskSpaceQuestion) {
    TempFolder temp;
    App app(HostExe(), L"", L"question");
    HWND question = AskingRun(app, temp.path().native());
    ASSERT_TRUE(question);
    EXPECT_EQ(App::BoxText(question), kOneGigabyteFree);
    PostMessageW(app.window, WM_CLOSE, 0, 0);
    HWND stop = app.WaitForBox(20000, question);
    ASSERT_TRUE(stop);
    EXPECT_EQ(App::BoxText(stop), L"Setup is still running. Stop it?");
    App::Answer(stop, IDYES);
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(stop); }));
    EXPECT_TRUE(Responsive(app.window));
    EXPECT_TRUE(IsWindow(question));
    App::Answer(question, IDNO);
    EXPECT_TRUE(app.Exited());
    const auto log = SplitLines(ReadBytes(temp.path() / L"setup.log"));
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "Not enough disk space.");
}

// A second Setup on a folder that a run is using, under any other spelling of it, stops at once
// and leaves that run and its setup.log alone.
TEST(Run, ASecondSetupOnTheSameFolderStopsAtOnce) {
    TempFolder temp;
    const fs::path folder = temp.path() / L"Ironvale Recomp Long Name";
    fs::create_directories(folder); // an install to update: it has its 8.3 name
    App first(HostExe(), L"", L"question");
    HWND question = AskingRun(first, folder.native());
    ASSERT_TRUE(question);

    std::wstring upper = folder.native() + L"\\";
    CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    wchar_t shortName[MAX_PATH] = L"";
    GetShortPathNameW(folder.c_str(), shortName, MAX_PATH);
    const std::wstring spellings[] = {
        upper, L"\\\\?\\" + folder.native(), shortName,
        L"Y:" + folder.native().substr(2), // the rig's second letter for drive C
    };
    for (const std::wstring& spelling : spellings) {
        SCOPED_TRACE(Narrow(spelling));
        ASSERT_TRUE(fs::is_directory(spelling));
        App second(HostExe(), L"", L"question");
        ASSERT_TRUE(second.window);
        second.SetText(kIdFolder, spelling);
        second.Click(kIdInstall);
        EXPECT_EQ(second.ExpectBox(), L"Setup is already running for this folder.");
    }

    EXPECT_TRUE(IsWindow(question));
    App::Answer(question, IDNO);
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(question); }));
    EXPECT_EQ(first.ExpectBox(), L"Not enough disk space.");
    EXPECT_EQ(SplitLines(ReadBytes(folder / L"setup.log")),
              (std::vector<std::string>{"Ironvale Recompiled Setup, installing to " +
                                            Narrow(folder.native()),
                                        "Not enough disk space."}));

    // A Setup that died holding the folder leaves it to the next one.
    App crashed(HostExe(), L"", L"question");
    ASSERT_TRUE(AskingRun(crashed, folder.native()));
    crashed.Kill();
    App next(HostExe(), L"", L"question");
    HWND asked = AskingRun(next, folder.native());
    ASSERT_TRUE(asked);
    EXPECT_EQ(App::BoxText(asked), kOneGigabyteFree);
    App::Answer(asked, IDNO);
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(asked); }));
    EXPECT_EQ(next.ExpectBox(), L"Not enough disk space.");
}

TEST(Run, DetailsKeepTheNewestLinesPastTheLimit) {
    App app(HostExe(), L"", L"lines:6000");
    ASSERT_TRUE(app.window);
    app.Click(kIdInstall);
    EXPECT_EQ(app.ExpectBox(), L"Logged 6000 lines.");
    const std::wstring details = app.Text(kIdDetails);
    // 6000 lines of 102 characters: the oldest were cut, 100,000 characters at a time.
    EXPECT_LE(details.size(), 400000u + 64u * 1024u + 102u);
    EXPECT_GT(details.size(), 300000u - 102u);
    EXPECT_EQ(details.find(L"line 0 "), std::wstring::npos);
    EXPECT_NE(details.find(L"\r\nline 5999 ....."), std::wstring::npos);
    const std::wstring end = L"\r\nLogged 6000 lines.\r\n";
    ASSERT_GT(details.size(), end.size());
    EXPECT_EQ(details.substr(details.size() - end.size()), end);
    // Nothing lost or reordered between the cut and the end.
    const size_t first = details.find(L"\r\nline ") + 2;
    const unsigned long firstNumber = std::wcstoul(details.c_str() + first + 5, nullptr, 10);
    const size_t span = details.size() - (end.size() - 2) - first; // whole lines, CR LF each
    EXPECT_EQ(span % 102, 0u);
    EXPECT_EQ(span / 102, 6000u - firstNumber);
}

// Windows refuses posts past 10,000 in a queue (the host stands in for that limit): a build
// that prints far faster than the box takes lines must still lose none of them.
// Half of the window's posts refused, as by a full queue: the window still answers, and shows
// the newest lines and the latest status and progress.
TEST(Run, AFloodThroughAQueueThatRefusesPostsLosesNothing) {
    TempFolder temp;
    UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, L"IronvaleHostRelease"));
    App app(HostExe(), L"", L"flood:200000");
    ASSERT_TRUE(app.window);
    app.SetText(kIdFolder, temp.path().native());
    app.Click(kIdInstall);
    // The box may take a moment longer than the status line to catch up.
    const std::wstring end = L"\r\nnote: generated function 99998\r\n"
                             L"[99999/100000] Compiling src/ppc/recomp_99999.cpp\r\n== Linking\r\n";
    std::wstring details;
    EXPECT_TRUE(WaitFor(
        [&] {
            details = app.Text(kIdDetails); // the window answers all along
            return details.size() > end.size() &&
                   details.compare(details.size() - end.size(), end.size(), end) == 0;
        },
        90000))
        << Narrow(details.substr(details.size() - std::min<size_t>(details.size(), 200)));
    EXPECT_EQ(app.Text(kIdStatus), L"Linking");
    EXPECT_EQ(SendMessageW(app.Item(kIdProgress), PBM_GETPOS, 0, 0), 33);

    // Every line, in the order printed, across the status changes: two runs of 66,667 logged
    // lines (their command and two lines in three) between the three statuses.
    const auto log = SplitLines(ReadBytes(temp.path() / L"setup.log"));
    ASSERT_EQ(log.size(), 3u + 2u * 66667u);
    EXPECT_EQ(log[0], "== Compiling, part one");
    EXPECT_EQ(log[1 + 66667], "== Compiling, part two");
    EXPECT_EQ(log[1 + 66667 - 1], "[99999/100000] Compiling src/ppc/recomp_99999.cpp");
    EXPECT_EQ(log[2 + 2 * 66667 - 1], "[99999/100000] Compiling src/ppc/recomp_99999.cpp");
    EXPECT_EQ(log.back(), "== Linking");

    SetEvent(release.get());
    EXPECT_EQ(app.ExpectBox(), L"Flooded with 200000 lines.");
}

// A built install: the extracted game and a launcher that records how it was started.
fs::path PrepareInstall(const fs::path& folder) {
    return MakeInstalled(folder, HelperFolder() / L"launcher.exe") / L"build" / L"runtime";
}

std::wstring Marker(const fs::path& runtime) {
    const std::string bytes = ReadBytes(runtime / L"launched.txt");
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
}

TEST(Run, SuccessOffersPlayAndUpdateModeStartsTheLauncher) {
    FakeTools tools; // inherited by setup.exe
    TempFolder temp;
    const fs::path folder = temp.path() / L"Ironvale";
    const fs::path runtime = PrepareInstall(folder);
    App app(SetupExe(), L"");
    ASSERT_TRUE(app.window);
    app.SetText(kIdFolder, folder.native());

    // Play before a successful run, or with the launcher gone: nothing happens.
    PostMessageW(app.window, WM_COMMAND, kIdPlay, 0);
    EXPECT_TRUE(app.StillIdle());
    EXPECT_FALSE(app.Exited(0));

    app.Click(kIdInstall);
    EXPECT_EQ(app.ExpectBox(), L"Done. Start the game with the launcher (\"Ironvale Recompiled\" "
                               L"on the desktop).");
    EXPECT_TRUE(app.Visible(kIdPlay));
    EXPECT_EQ(app.Text(kIdInstall), L"Update");
    EXPECT_EQ(SendMessageW(app.Item(kIdProgress), PBM_GETPOS, 0, 0), 100);

    // A launcher taken away (a virus scanner's quarantine, say): the system's reason, and the
    // window stays.
    fs::rename(runtime / L"IronvaleLauncher.exe", runtime / L"away.exe");
    app.Click(kIdPlay);
    const std::wstring refused = app.ExpectBox(IDOK);
    EXPECT_EQ(refused.rfind(L"Couldn't start the game: ", 0), 0u) << Narrow(refused);
    EXPECT_GT(refused.size(), 30u);
    EXPECT_FALSE(app.Exited(0));
    fs::rename(runtime / L"away.exe", runtime / L"IronvaleLauncher.exe");

    app.Click(kIdPlay);
    EXPECT_TRUE(app.Exited());
    // The launcher makes its marker, then writes it: wait for what it writes.
    ASSERT_TRUE(WaitFor([&] { return !Marker(runtime).empty(); }));
    EXPECT_EQ(Marker(runtime), runtime.native() + L"\nno job");

    // In update mode a success starts the launcher without a question.
    fs::remove(runtime / L"launched.txt");
    App update(SetupExe(), L"--update " + Quote(folder));
    ASSERT_TRUE(update.window);
    EXPECT_TRUE(update.Exited());
    // The launcher makes its marker, then writes it: wait for what it writes.
    ASSERT_TRUE(WaitFor([&] { return !Marker(runtime).empty(); }));
    EXPECT_EQ(Marker(runtime), runtime.native() + L"\nno job");
}

} // namespace

namespace {

fs::path DesktopShortcut() {
    wchar_t desktop[MAX_PATH];
    SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, desktop);
    return fs::path(desktop) / L"Ironvale Recompiled.lnk";
}

// What a planted program or DLL left behind when it ran: launched.txt for the marker programs,
// *.loaded for the marker winhttp.dll.
std::vector<std::wstring> MarksIn(const fs::path& folder) {
    std::vector<std::wstring> marks;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::wstring name = entry.path().filename().native();
        if (name == L"launched.txt" || entry.path().extension() == L".loaded")
            marks.push_back(entry.path().native());
    }
    return marks;
}

// An extracted disc in folder, with the fixture's game in it.
fs::path DiscFolder(const fs::path& folder) {
    const fs::path disc = folder / L"Ironvale disc";
    fs::create_directories(disc);
    WriteBytes(disc / L"default.xex", "the game");
    return disc;
}

// The whole road through the window: tools downloaded from the stand-in (the real git and
// python3 behind two of them), the fixture project cloned and built by its own script.
// setup.exe runs from a Downloads folder, as people run it, beside a git.exe, a python.exe and
// a winhttp.dll of someone else's, and with more of those programs in its current folder
// (the suite runs with WINEDLLOVERRIDES winhttp=n,b: the program's folder first, as Windows).
TEST(EndToEnd, FirstInstallUpdateAndAFailingBuild) {
    OfferTools();
    OfferProject(true);
    TempFolder temp;
    const fs::path disc = DiscFolder(temp.path());
    const fs::path folder = temp.path() / L"Ironvale";
    const fs::path tree = folder / L"ironvale-recomp";
    std::error_code error;
    fs::remove(DesktopShortcut(), error);
    const fs::path downloads = temp.path() / L"Downloads";
    const fs::path current = temp.path() / L"Current";
    for (const fs::path& planted : {downloads, current}) {
        fs::create_directories(planted);
        for (const wchar_t* program : {L"git.exe", L"python.exe"})
            fs::copy_file(HelperFolder() / L"launcher.exe", planted / program);
    }
    fs::copy_file(HelperFolder() / L"setup.exe", downloads / L"setup.exe");
    fs::copy_file(HelperFolder().parent_path() / L"marker" / L"winhttp.dll",
                  downloads / L"winhttp.dll");
    App app(downloads / L"setup.exe", L"", L"", current);
    ASSERT_TRUE(app.window);
    app.ClickAndWait(kIdFolderChoice);
    app.Install(disc, folder);
    HWND box = app.WaitForBox(180000);
    ASSERT_TRUE(box);
    EXPECT_EQ(App::BoxText(box), L"Done. Start the game with the launcher (\"Ironvale "
                                 L"Recompiled\" on the desktop).");
    App::Answer(box, IDOK);
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(box); }));
    EXPECT_EQ(app.Text(kIdInstall), L"Update");
    EXPECT_TRUE(app.Visible(kIdPlay));
    EXPECT_EQ(SendMessageW(app.Item(kIdProgress), PBM_GETPOS, 0, 0), 100);
    EXPECT_EQ(ReadBytes(tree / kGameMarker), "the game");
    EXPECT_TRUE(fs::exists(tree / L"build" / L"runtime" / L"IronvaleLauncher.exe"));
    EXPECT_TRUE(fs::exists(DesktopShortcut()));
    const std::string log = ReadBytes(folder / L"setup.log");
    EXPECT_EQ(MarksIn(downloads), std::vector<std::wstring>{});
    EXPECT_EQ(MarksIn(current), std::vector<std::wstring>{});
    for (const char* line :
         {"Git: downloading ", "Git: checksum OK", "Python: downloading ", "$ git clone ",
          "The source folder is on branch main: updating that branch.",
          "== Building (the first build takes 10-30 minutes)", "$ python -u tools\\build.py --iso ",
          "==> Compiling", "[20/20] "})
        EXPECT_NE(log.find(line), std::string::npos) << line;
    EXPECT_EQ(log.find("  25% extracting"), std::string::npos); // redraws stay out of the log
    SaveScreenshot(L"installed");
    app.ChangeDpi(96, 144); // on a monitor at 150 %
    SaveScreenshot(L"installed-moved-to-144dpi");
    app.ChangeDpi(144, 96);

    // Again on the same folder: the game is there, so no disc, and the tools are not fetched.
    app.SetText(kIdSource, L"");
    app.Click(kIdInstall);
    EXPECT_EQ(app.ExpectBox(IDOK, nullptr, 180000).rfind(L"Done. Start the game", 0), 0u);
    const std::string second = ReadBytes(folder / L"setup.log").substr(log.size());
    EXPECT_EQ(second.find(": downloading "), std::string::npos);
    EXPECT_NE(second.find("$ python -u tools\\build.py\r\n"), std::string::npos);

    // A build that fails: its text, a warning, the details open, no Play.
    WriteBytes(tree / L"build.fail", "");
    app.Click(kIdInstall);
    EXPECT_EQ(app.ExpectBox(IDOK, nullptr, 180000),
              L"The build failed. The log above (also in setup.log) says why; Help > Report a "
              L"bug in the launcher, or a GitHub issue with setup.log attached, gets it looked "
              L"at.");
    EXPECT_TRUE(app.Visible(kIdDetails));
    EXPECT_FALSE(app.Visible(kIdPlay));
    EXPECT_NE(app.Text(kIdDetails).find(L"error: this build was asked to fail"),
              std::wstring::npos);
}

} // namespace

namespace {

// Linux processes whose command line passes the test, seen through Wine's Z: drive: the
// programs behind the bridges, not the Wine processes of the bridges themselves.

int BuildScriptsRunning() {
    return LinuxProcessesRunning([](const std::wstring&, const std::string& cmdline) {
        return cmdline.rfind("/usr/bin/python3", 0) == 0 &&
               cmdline.find("build.py") != std::string::npos;
    });
}

// What a run may have started: git and its remote helper, bsdtar, the build and its grandchild.
int RunProcessesLeft() {
    return BuildScriptsRunning() +
           LinuxProcessesRunning([](const std::wstring&, const std::string& cmdline) {
               return cmdline.find("ironvale-recomp.git") != std::string::npos ||
                      cmdline.rfind("/usr/bin/bsdtar", 0) == 0;
           });
}

// A network that has used up GitHub's requests for clients without a token: the user reads when
// they come back, not that the connection is down.
TEST(EndToEnd, GitHubsRateLimitIsNamed) {
    OfferTools();
    TempFolder temp;
    const fs::path disc = DiscFolder(temp.path());
    const fs::path limited = standin::Release(L"git-for-windows/git").native() + L".ratelimit";
    // Midnight UTC on 1 January and 1 July 2026: where clocks change, one of them is in summer
    // time whatever the season now, and the reset shows at that date's local time.
    for (const unsigned long long epoch : {1767225600ull, 1782864000ull}) {
        WriteBytes(limited, std::to_string(epoch));
        App app(SetupExe(), L"");
        ASSERT_TRUE(app.window);
        app.ClickAndWait(kIdFolderChoice);
        app.Install(disc, temp.path() / L"Ironvale");
        const std::wstring text = app.ExpectBox(IDOK, nullptr, 60000);
        fs::remove(limited);

        const ULONGLONG ticks = (epoch + 11644473600ull) * 10000000ull;
        const FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
        SYSTEMTIME universal{};
        SYSTEMTIME reset{};
        FileTimeToSystemTime(&utc, &universal);
        SystemTimeToTzSpecificLocalTime(nullptr, &universal, &reset);
        wchar_t until[8];
        std::swprintf(until, 8, L"%02u:%02u", reset.wHour, reset.wMinute);
        EXPECT_EQ(text, L"GitHub's limit of requests from this network is used up until " +
                            std::wstring(until) +
                            L". Try again then, or put Git, CMake, Ninja, Clang and Python on "
                            L"PATH.");
        PostMessageW(app.window, WM_CLOSE, 0, 0);
        EXPECT_TRUE(app.Exited());
    }
}

TEST(EndToEnd, ImageWithEveryOptionThenUpdateModeAndACancel) {
    OfferTools();
    OfferProject(true);
    TempFolder temp;
    const fs::path image = temp.path() / L"Ironvale.iso";
    WriteBytes(image, "IRONVALE-DISC\nthe game from the image");
    const fs::path folder = temp.path() / L"Ironvale";
    const fs::path tree = folder / L"ironvale-recomp";
    const fs::path runtime = tree / L"build" / L"runtime";
    {
        App app(SetupExe(), L"");
        ASSERT_TRUE(app.window);
        app.Check(kIdFreeSpaceOption, true);
        app.Check(kIdDeleteImage, true);
        app.Install(image, folder);
        EXPECT_EQ(app.ExpectBox(IDYES).rfind(L"Delete the disc image when it's been extracted?", 0),
                  0u);
        const std::wstring done = app.ExpectBox(IDOK, nullptr, 180000);
        EXPECT_EQ(done.rfind(L"Done. Start the game with the launcher (\"Ironvale Recompiled\" on "
                             L"the desktop).\n\nFreed ",
                             0),
                  0u)
            << fs::path(done).string();
        EXPECT_NE(done.find(L"\n\nThe disc image was deleted"), std::wstring::npos);
        EXPECT_FALSE(fs::exists(image));
        EXPECT_EQ(ReadBytes(tree / kGameMarker), "the game from the image");
        EXPECT_TRUE(fs::exists(runtime / L"IronvaleLauncher.exe"));
        EXPECT_FALSE(fs::exists(tree / L"build" / L"obj" / L"recomp.obj"));
        EXPECT_FALSE(fs::exists(tree / L"generated" / L"ppc"));
        EXPECT_FALSE(fs::exists(folder / L"tools" / L"Git"));
        PostMessageW(app.window, WM_CLOSE, 0, 0);
        EXPECT_TRUE(app.Exited());
    }
    {
        // Unattended: the run starts by itself, then the launcher, and the window closes.
        App app(SetupExe(), L"--update " + Quote(folder));
        ASSERT_TRUE(app.window);
        EXPECT_TRUE(app.Exited(180000));
        ASSERT_TRUE(WaitFor([&] { return fs::exists(runtime / L"launched.txt"); }));
        EXPECT_EQ(Marker(runtime), runtime.native() + L"\nno job");
    }
    {
        // Cancel in the middle of the build: nothing of the run is left running.
        WriteBytes(tree / L"build.slow", "");
        App app(SetupExe(), L"");
        ASSERT_TRUE(app.window);
        app.SetText(kIdFolder, folder.native());
        app.ClickAndWait(kIdInstall);
        ASSERT_TRUE(WaitFor(
            [&] { return app.Text(kIdDetails).find(L"[2/20]") != std::wstring::npos; }, 120000));
        EXPECT_EQ(BuildScriptsRunning(), 2); // the script and the grandchild it started
        // Live: the phase text in the status line, the bar moved by the step lines.
        EXPECT_EQ(app.Text(kIdStatus), L"Compiling");
        HWND bar = app.Item(kIdProgress);
        EXPECT_FALSE(GetWindowLongPtrW(bar, GWL_STYLE) & PBS_MARQUEE);
        const auto early = SendMessageW(bar, PBM_GETPOS, 0, 0);
        EXPECT_GE(early, 5);
        ASSERT_TRUE(WaitFor([&] { return SendMessageW(bar, PBM_GETPOS, 0, 0) > early; }, 30000));
        app.ClickAndWait(kIdInstall);
        EXPECT_EQ(app.ExpectBox(), L"Cancelled.");
        EXPECT_TRUE(WaitFor([] { return BuildScriptsRunning() == 0; }, 10000));
        fs::remove(tree / L"build.slow");
        app.Click(kIdInstall);
        EXPECT_EQ(app.ExpectBox(IDOK, nullptr, 180000).rfind(L"Done. Start the game", 0), 0u);
    }
}

// A network that fails as real ones do: each fault strikes the first request of every document
// or archive (not the git repository). The first install still goes through, and setup.log
// says what was tried again. Then Setup is killed in the middle of a download, and the next one
// goes on from where that one stopped.
// A whole install from the disc folder into folder: the end box's text.
std::wstring InstallAndWait(const fs::path& folder, const fs::path& disc) {
    App app(SetupExe(), L"");
    EXPECT_TRUE(app.window);
    app.Install(disc, folder);
    return app.ExpectBox(IDOK, nullptr, 180000);
}

void ExpectInOrder(const std::string& log, const std::vector<std::string>& lines) {
    size_t at = 0;
    for (const std::string& line : lines) {
        at = log.find(line, at);
        EXPECT_NE(at, std::string::npos) << "missing, or out of order: " << line;
    }
}

TEST(EndToEnd, AFirstInstallGetsPastAFailingNetwork) {
    ScopedVariable quick(L"IRONVALE_QUICK_WAITS", L"1");
    OfferTools();
    OfferProject(true);
    struct Row {
        const char* fault;
        std::vector<std::string> lines;
        const char* pac = nullptr; // or else the system's fixed proxy, when there is one
        const char* proxy = nullptr;
    };
    const std::string proxy = IRONVALE_PROXY;
    const std::string pac = "http://" + proxy + "/proxy.pac";
    const Row rows[] = {
        {"chunked-cut",
         {"git-for-windows/git: the download was cut off (", "; trying again in 1 s",
          "NuGet: the download was cut off (", "The release lookup: the download was cut off ("}},
        // A reset reads as a cut-off body or as a failed connection, as it comes.
        {"reset", {"git-for-windows/git: ", "; trying again in 1 s", "Python: checksum OK"}},
        {"503",
         {"git-for-windows/git: HTTP 503; trying again in 1 s",
          "Git: HTTP 503; trying again in 1 s", "Python: HTTP 503; trying again in 1 s",
          "Python: checksum OK"}},
        {"half",
         {"Clang: the download was cut off (the connection closed early); trying again in 1 s",
          "Clang: resuming at 0 MB", "Python: resuming at 0 MB", "Python: checksum OK"}},
        // A company's proxy, from its PAC file or fixed: every step goes through it, git too.
        {"",
         {"Proxy for 127.0.0.3: http://" + proxy + " (from the system's PAC file)",
          "Git: checksum OK", "$ git clone ", "== Building"},
         pac.c_str()},
        {"",
         {"Proxy for 127.0.0.3: http://" + proxy + " (from the system's settings)",
          "Git: checksum OK", "$ git clone ", "== Building"},
         nullptr,
         proxy.c_str()},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault);
        TempFolder temp;
        standin::Fault fault(row.fault);
        std::optional<SystemProxy> settings;
        if (row.pac || row.proxy)
            settings.emplace(row.pac ? row.pac : "", row.proxy ? row.proxy : "", "<local>");
        const size_t passedBefore = ProxyPassed().size();
        const fs::path folder = temp.path() / L"Ironvale";
        EXPECT_EQ(InstallAndWait(folder, DiscFolder(temp.path())).rfind(L"Done.", 0), 0u);
        ExpectInOrder(ReadBytes(folder / L"setup.log"), row.lines);
        if (settings) {
            const std::string passed = ProxyPassed().substr(passedBefore);
            for (const char* request : {"GET " IRONVALE_SERVICES "/github/repos/",
                                        "GET " IRONVALE_SERVICES "/files/MinGit",
                                        "GET " IRONVALE_SERVICES "/git/ironvale-recomp.git/"})
                EXPECT_NE(passed.find(request), std::string::npos) << request;
        }
    }
}

// Setup ended as Task Manager ends it, during a download: the next install continues the part.
TEST(EndToEnd, AKilledSetupsDownloadIsContinued) {
    OfferTools();
    OfferProject(true);
    standin::Stall stall(standin::File(L"cmake-3.30.0-windows-x86_64.zip"));
    TempFolder temp;
    const fs::path folder = temp.path() / L"Ironvale";
    const fs::path part = folder / L"tools" / L"CMake.zip.part";
    {
        App app(SetupExe(), L"");
        ASSERT_TRUE(app.window);
        app.Install(DiscFolder(temp.path()), folder);
        EXPECT_TRUE(WaitFor([&] { return fs::exists(part) && fs::file_size(part) > 0; }, 60000));
    } // setup.exe ends here as Task Manager ends it: no cancel, nothing cleaned up
    stall.End();
    EXPECT_EQ(InstallAndWait(folder, DiscFolder(temp.path())).rfind(L"Done.", 0), 0u);
    ExpectInOrder(ReadBytes(folder / L"setup.log"),
                  {"CMake: resuming at 0 MB", "CMake: checksum OK", "== Building"});
    EXPECT_FALSE(fs::exists(part));
}

// Every point at which a run can be stopped, by Cancel and by closing the window: the time
// from the press (for a close, the Yes to "Stop it?") to "Cancelled." or to the window gone.
// Windows trusts the stand-in's throwaway certificate for 127.0.0.1 from here on, as it would a
// company's own root: in the machine's root store, which is the test prefix's.
void TrustStandInCertificate() {
    const std::string der = ReadBytes(standin::Root() / L"tls" / L"cert.der");
    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    ASSERT_TRUE(store);
    EXPECT_TRUE(CertAddEncodedCertificateToStore(
        store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
        static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
    CertCloseStore(store, 0);
}

// Stops the run by Cancel or by closing the window (Yes to "Stop it?"): the milliseconds from
// the press to "Cancelled." or to the window gone; `ended` says whether either came.
double StopAndTime(App& app, bool close, bool& ended) {
    ULONGLONG pressed = 0;
    if (close) {
        PostMessageW(app.window, WM_CLOSE, 0, 0);
        HWND box = app.WaitForBox();
        if (!box) {
            ADD_FAILURE() << "no box asked whether to stop";
            return 0;
        }
        pressed = GetTickCount64();
        App::Answer(box, IDYES);
        // Gone at once, and answering until it is: a ping may go unanswered only while the
        // window is being destroyed.
        bool answered = true;
        ended = WaitFor(
            [&] {
                answered = answered && (Responsive(app.window) ||
                                        WaitFor([&] { return !IsWindow(app.window); }, 500));
                return !IsWindow(app.window);
            },
            30000);
        EXPECT_TRUE(answered);
        EXPECT_TRUE(app.Exited(30000));
    } else {
        pressed = GetTickCount64();
        app.Click(kIdInstall);
        HWND box = app.WaitForBox(30000);
        ended = box && App::BoxText(box) == L"Cancelled.";
        if (box)
            App::Answer(box, IDOK);
    }
    return static_cast<double>(GetTickCount64() - pressed);
}

TEST(EndToEnd, StopsAnswerAtOnceWhereverTheRunIs) {
    OfferTools();
    OfferProject(true);
    TempFolder temp;
    const fs::path disc = DiscFolder(temp.path());
    const fs::path gitRelease = standin::Release(L"git-for-windows/git");
    const fs::path projectRelease = standin::Release(L"ironvale-recomp/ironvale-recomp");
    const fs::path refs = standin::Repository() / L"info" / L"refs";
    const std::wstring files = Widen(IRONVALE_STANDIN) + L"/";
    auto gitArchiveAt = [&](const std::wstring& path) {
        WriteBytes(gitRelease, "{\"assets\":[{\"browser_download_url\":\"" + Narrow(files + path) +
                                   "/MinGit-2.45.1-64-bit.zip\"}]}");
    };
    auto hang = [](const fs::path& file) { WriteBytes(file.native() + L".hang", ""); };

    // Tools from PATH, so that a row downloads only what it is about: fakes for CMake, Clang
    // and (but for one row) Ninja, the bridges for git and python.
    TempFolder bin;
    for (const wchar_t* program : {L"cmake.exe", L"clang++.exe", L"ninja.exe"})
        fs::copy_file(HelperFolder() / L"child.exe", bin.path() / program);
    const fs::path bridges = HelperFolder().parent_path() / L"bridge" / L"stub";
    PathFront onPath(bin.path());

    // An install to build again, for the build row.
    const fs::path installed = temp.path() / L"installed";
    {
        PathFront withBridges(bridges);
        ASSERT_EQ(InstallAndWait(installed, disc).rfind(L"Done.", 0), 0u);
    }
    WriteBytes(installed / L"ironvale-recomp" / L"build.slow", "");

    struct Row {
        const char* name;
        bool gitOnPath;
        std::function<void()> arrange;
        std::function<bool(App&)> reached;
        bool installedFolder = false;
    };
    auto logged = [](const wchar_t* text) {
        return [text](App& app) { return app.Text(kIdDetails).find(text) != std::wstring::npos; };
    };
    auto status = [](const wchar_t* text) {
        return [text](App& app) { return app.Text(kIdStatus).rfind(text, 0) == 0; };
    };
    // The run waits for an answer once its request has reached the stand-in.
    size_t requestsBefore = 0;
    auto requestedSince = [&](const char* path) {
        return standin::Requests().find(path, requestsBefore) != std::string::npos;
    };
    auto requested = [&](const char* path) {
        return [&, path](App&) { return requestedSince(path); };
    };
    auto clearFaults = [&] {
        for (const fs::path& file : {gitRelease, projectRelease, refs})
            fs::remove(file.native() + L".hang");
        fs::remove(gitRelease.native() + L".tls");
    };
    TrustStandInCertificate();
    const Row rows[] = {
        {"tool lookup", false, [&] { hang(gitRelease); }, requested("git/releases/latest")},
        {"tool lookup, HTTPS", false,
         [&] {
             hang(gitRelease);
             WriteBytes(gitRelease.native() + L".tls", "");
         },
         requested("git/releases/latest")},
        {"download, no answer", false, [&] { gitArchiveAt(L"fault/hang/0"); },
         requested("fault/hang/0")},
        {"download, stalled", false, [&] { gitArchiveAt(L"fault/stall/4000000"); },
         status(L"Downloading Git: ")},
        {"retry wait", false, [&] { gitArchiveAt(L"fault/status/503"); },
         logged(L"Git: HTTP 503; trying again in ")},
        {"release lookup", true, [&] { hang(projectRelease); },
         requested("ironvale-recomp/releases/latest")},
        {"clone", true, [&] { hang(refs); }, requested("ironvale-recomp.git/info/refs")},
        {"unpacking", true,
         [&] {
             fs::remove(bin.path() / L"ninja.exe");
             OfferTools(L"ninja-big.zip");
         },
         status(L"Unpacking Ninja")},
        {"build", true, [] {}, logged(L"[2/20] "), true},
    };
    std::printf("%-20s %10s %10s\n", "stopped during", "Cancel", "close");
    for (const Row& row : rows) {
        double took[2] = {};
        for (int close = 0; close < 2; ++close) {
            SCOPED_TRACE(std::string(row.name) + (close ? ", close" : ", Cancel"));
            OfferTools();
            OfferProject(true);
            clearFaults();
            if (!fs::exists(bin.path() / L"ninja.exe"))
                fs::copy_file(HelperFolder() / L"child.exe", bin.path() / L"ninja.exe");
            row.arrange();
            std::unique_ptr<PathFront> withBridges;
            if (row.gitOnPath)
                withBridges = std::make_unique<PathFront>(bridges);
            TempFolder fresh;
            App app(SetupExe(), L"");
            withBridges.reset();
            ASSERT_TRUE(app.window);
            requestsBefore = standin::Requests().size();
            app.Install(disc, row.installedFolder ? installed : fresh.path());
            ASSERT_TRUE(WaitFor([&] { return row.reached(app); }, 120000));
            bool ended = false;
            took[close] = StopAndTime(app, close != 0, ended);
            EXPECT_TRUE(ended);
            // A close, and a wait between attempts, give way at once; every stop is quick
            // enough that a hang shows.
            EXPECT_LT(took[close], close || std::string(row.name) == "retry wait" ? 1000 : 2000);
            EXPECT_TRUE(WaitFor([] { return RunProcessesLeft() == 0; }, 10000));
            // The run has ended and left no process: a clone would have been asked for.
            if (std::string(row.name) == "release lookup") {
                EXPECT_FALSE(requestedSince("ironvale-recomp.git"));
            }
            PostMessageW(app.window, WM_CLOSE, 0, 0);
            app.Exited();
        }
        std::printf("%-20s %7.0f ms %7.0f ms\n", row.name, took[0], took[1]);
    }
    clearFaults();
    OfferTools();
}

} // namespace

namespace {

// Not a test: scripts/demo runs it to show a whole first install, and keeps what it made.
TEST(Demo, DISABLED_FirstInstallAsAUserWould) {
    OfferTools();
    OfferProject(true);
    const fs::path disc = L"C:\\Ironvale-Demo-Disc";
    const fs::path folder = L"C:\\Ironvale-Demo";
    RemoveTree(folder);
    fs::create_directories(disc);
    WriteBytes(disc / L"default.xex", "the sample game");
    App app(SetupExe(), L"");
    ASSERT_TRUE(app.window);
    SaveScreenshot(L"demo-1-start");
    app.ClickAndWait(kIdFolderChoice);
    app.SetText(kIdSource, disc.native());
    app.TypeFolder(folder.native());
    SaveScreenshot(L"demo-2-filled-in");
    app.Click(kIdInstall);
    // The fixture's build takes a second a step while build.slow lies in its tree: the picture
    // is taken while it compiles, then it goes on at full speed.
    const fs::path slow = folder / L"ironvale-recomp" / L"build.slow";
    ASSERT_TRUE(
        WaitFor([&] { return fs::exists(slow.parent_path() / L"tools" / L"build.py"); }, 180000));
    WriteBytes(slow, "");
    ASSERT_TRUE(WaitFor(
        [&] { return app.Text(kIdStatus).find(L"Compiling") != std::wstring::npos; }, 180000));
    Sleep(2500); // a few steps in, and the bar drawn
    SaveScreenshot(L"demo-3-running");
    fs::remove(slow);
    HWND box = app.WaitForBox(180000);
    ASSERT_TRUE(box);
    SaveScreenshot(L"demo-4-done");
    App::Answer(box, IDOK);
    WaitFor([&] { return !IsWindow(box); });
    app.ClickAndWait(kIdDetailsButton);
    SaveScreenshot(L"demo-5-details");
    EXPECT_TRUE(app.Visible(kIdPlay));
}

} // namespace
