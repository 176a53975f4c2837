// Internal header of setup.exe: the pieces its source files share, and what tests link against.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <thread>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct ITaskbarList3; // <shobjidl.h>, where it is used

namespace setup {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------------------------
// Ownership

// Move-only owner of a kernel handle; both "no handle" values of the Win32 API count as empty.
class UniqueHandle {
  public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : m_handle(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : m_handle(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    HANDLE get() const { return m_handle; }
    explicit operator bool() const { return m_handle && m_handle != INVALID_HANDLE_VALUE; }
    HANDLE release() { return std::exchange(m_handle, nullptr); }
    void reset(HANDLE handle = nullptr) {
        if (*this)
            CloseHandle(m_handle);
        m_handle = handle;
    }

  private:
    HANDLE m_handle = nullptr;
};

// ---------------------------------------------------------------------------------------------
// System libraries

// An export of a DLL in System32, never of one beside setup.exe; null when either is missing.
void* SystemFunction(const wchar_t* library, const char* name);

// Points function at that export; false when there is none.
template <typename Function>
bool Bind(Function& function, const wchar_t* library, const char* name) {
    function = reinterpret_cast<Function>(SystemFunction(library, name));
    return function != nullptr;
}

// What a download must hash to, in lowercase hex; no algorithm, nothing to check.
struct Digest {
    enum Algorithm { kNone, kSha256, kSha512 } algorithm = kNone;
    std::string hex;
};
const wchar_t* AlgorithmName(Digest::Algorithm algorithm); // "SHA-256", as logs name it

// A hash by Windows' own hashing (CNG). Hex() is empty when the hash could not be made.
class Hash {
  public:
    explicit Hash(Digest::Algorithm algorithm = Digest::kSha256);
    ~Hash();
    Hash(const Hash&) = delete;
    Hash& operator=(const Hash&) = delete;
    bool Add(const char* data, size_t size);
    std::string Hex(); // lowercase; ends the hash

  private:
    void* m_algorithm = nullptr;
    void* m_hash = nullptr;
    ULONG m_size = 0;
    bool m_ok = false;
};

// ---------------------------------------------------------------------------------------------
// Status channel and setup log

// Worker-to-window messages carry no pointer and nothing the window trusts: what the worker
// reports waits in the channel, and a message only tells the window to look. Another program
// can post either; the window then looks early and finds nothing new.
// The end of the run: it waits in the channel, for TakeEnd.
constexpr UINT kMsgDone = WM_APP + 4;
// The worker's doorbell: lines, a status or a progress value wait in the channel, and the
// window takes them all at once with TakePending. The worker's reports go this way rather than
// as one post each: a build prints faster than an edit box takes lines one by one, and Windows
// refuses posts to a queue that already holds 10,000. At most one doorbell is ever queued.
constexpr UINT kMsgPending = WM_APP + 5;

// The details box keeps about this many characters; past it the oldest are cut.
constexpr size_t kDetailsLimit = 400000;
constexpr size_t kDetailsCut = 100000;

// What the worker has reported since the window last took it.
struct Pending {
    std::vector<std::wstring> lines;    // in order; only as many as the details box could show
    std::optional<std::wstring> status; // the latest
    std::optional<int> progress;        // the latest
    bool dropped = false; // older lines were dropped: the window had not taken them in time
};

// How a run ended: the last thing the worker reports.
struct RunEnd {
    bool success = false;
    std::wstring text;
};

// The worker's failure: a whole sentence for the user. Deliberately not a std::exception, so
// the handler for unexpected errors never swallows it.
struct Failed {
    std::wstring message;
};

[[noreturn]] void Fail(const std::wstring& message);
void CheckCancel();
std::wstring Widen(std::string_view bytes, bool* utf8 = nullptr); // utf8: they were UTF-8
std::string Narrow(const std::wstring& text);                     // UTF-8, for setup.log
void Log(const std::wstring& text);
void Log(const std::wstring& text, std::string_view utf8); // utf8: the text's UTF-8, at hand
void Status(const std::wstring& text);

void PostProgress(int value);
void PostStatus(const std::wstring& text); // the status line alone, not logged
void PostDone(bool success, const std::wstring& text);
Pending TakePending(); // for the window: everything reported since, and the doorbell rearmed
std::optional<RunEnd> TakeEnd(); // for the window: empty unless a run has ended since

// setup.log: opened by preflight, closed at the end of the run, both under s_logLock.
void OpenLog(const fs::path& file);
void CloseLog();

extern HWND s_window;
extern std::atomic<bool> s_cancel;
extern std::ofstream s_logFile;
extern std::mutex s_logLock;

// Windows drops posts to a queue that already holds 10,000 messages; Wine never does. Tests
// replace this to see how the worker copes with a full queue.
using PostFunction = BOOL(WINAPI*)(HWND, UINT, WPARAM, LPARAM);
extern PostFunction s_post;

// ---------------------------------------------------------------------------------------------
// Process runner

// One output line of a child, raw bytes without its terminator.
using LineCallback = std::function<void(std::string_view line)>;

DWORD Run(const std::wstring& command, const fs::path& folder, const LineCallback& onLine = {});
std::wstring Quote(const fs::path& path);
bool GitOutput(const fs::path& folder, const std::wstring& args, std::string& output);

// Every child of a run joins s_job, so a cancel, or the end of the process, ends them all.
UniqueHandle MakeJob();
extern UniqueHandle s_job;

// ---------------------------------------------------------------------------------------------
// Download and tools

// Why a GET answered as it did, for callers that need to know: the status (0 when there was
// none), GitHub's rate-limit headers (empty when absent), and what went wrong last.
struct HttpAnswer {
    DWORD status = 0;
    std::wstring remaining;  // x-ratelimit-remaining
    std::wstring reset;      // x-ratelimit-reset: the epoch second the limit resets
    std::wstring retryAfter; // retry-after: seconds
    std::wstring reason;     // the last failure in words, as setup.log has it
    bool damaged = false;    // the body arrived whole but didn't match the digest
    std::string got;         // what it hashed to then
};

// What one Get is for; every member may be left out.
struct GetOptions {
    // The body is appended here, up to 32 MiB (else the GET fails).
    std::string* body = nullptr;
    // The body goes to file + ".part", which takes this name once it is whole and matches
    // digest. A part left by a failed attempt, a cancel or a killed Setup is continued.
    const fs::path* file = nullptr;
    std::wstring label;    // names the download in setup.log when it is retried or fails
    bool progress = false; // reports progress under label
    Digest digest;
    HttpAnswer* answer = nullptr;
};

// One GET of url, tried up to four times while it fails in a way that may pass (no answer, a
// cut-off body, 500, 502, 503, 504); true when the whole body arrived with status 200 (or the
// rest of a part with 206) and matched its digest.
bool Get(const std::wstring& url, const GetOptions& options = {});
// A small document read into memory, retried and logged under label.
GetOptions Document(std::string& body, const std::wstring& label, HttpAnswer* answer = nullptr);

// Waits between attempts; false when the run was cancelled meanwhile. Tests replace it so that
// retries cost them no time.
using PauseFunction = bool (*)(DWORD milliseconds);
extern PauseFunction s_pause;

// A release archive, and the digest its release publishes for it, if any.
struct Download {
    std::wstring url;
    Digest digest;
};

Download LatestAsset(const std::string& repository, const std::string& pattern);
Download LatestPython();
fs::path FindUnder(const fs::path& folder, const wchar_t* name);
void ProvideTools(const fs::path& installFolder);

// The first entry of PATH, as the tool step leaves it, that holds program (a folder of that
// name counts too unless filesOnly). Entries a program may not come from are passed over:
// empty and relative ones (the current folder), WindowsApps (app execution aliases) and
// Setup's own folder (Downloads, beside whatever else was downloaded). Empty when none has it.
// The longest path, or PATH, Windows takes: with the manifest's longPathAware, paths may be
// longer than MAX_PATH.
constexpr DWORD kLongPath = 32768;

fs::path ProgramFolder(); // the folder of setup.exe

fs::path FindOnPath(const fs::path& program, bool filesOnly = false);
// The full path of the program a command line starts: its first word, quoted or not, as it
// stands when that is a full path, else found with FindOnPath (".exe" added when it has no
// extension). Empty when there is none.
fs::path ProgramOf(const std::wstring& commandLine);

// What the release documents are read for, scanned by hand: std::regex recurses once per
// character of a match and brings the process down on a long enough value.
// Every value of "name": "value" in the body, in order, as the expression
// "name"\s*:\s*"([^"]+)" finds them, taken as they stand; keys receives where each key starts.
std::vector<std::string> JsonStrings(const std::string& body, const std::string& name,
                                     std::vector<size_t>* keys = nullptr);
// The "digest" of the object whose own key starts at keyAt, as 64 lowercase hex digits, when
// it is "sha256:" and 64 hex digits and the only one there; empty whenever there is doubt.
std::string AssetDigest(const std::string& body, size_t keyAt);
std::string NewestPython312(const std::string& body); // empty when there is none
bool AssetMatches(const std::string& address, const std::string& pattern);

// ---------------------------------------------------------------------------------------------
// Install run

struct Choices {
    fs::path source;
    fs::path folder;
    bool shortcut = false;
    bool freeSpace = false;
    bool deleteImage = false;
};

// What one run hands from step to step.
struct RunState {
    fs::path sourceDir;
    bool gameExtracted = false;
    std::wstring releaseTag;
};

void Install(Choices choices);

// The run's steps, returning the end text of a success. Install passes its own; tests pass
// theirs to reach the end-of-run handling from every kind of outcome.
using Steps = std::function<std::wstring(const Choices&, RunState&)>;
void InstallWith(const Choices& choices, const Steps& steps);
std::wstring InstallSteps(const Choices& choices, RunState& run);

void Preflight(const Choices& choices, RunState& run);
std::wstring LatestReleaseTag(); // the fallback tag when the lookup fails
void CheckOutSource(const Choices& choices, RunState& run);
void OnBuildLine(std::string_view line);
std::wstring BuildCommand(const Choices& choices, const RunState& run);
void BuildGame(const Choices& choices, const RunState& run);
// The launcher check and the chosen options; returns the end text of the run.
std::wstring Finish(const Choices& choices, const RunState& run);

// Deletes a file, or a folder with everything in it; true when nothing of it is left. A file
// held by another program is retried for about five seconds. Read-only files go too, unless
// clearReadOnly is false (the user's own file keeps its protection).
bool Remove(const fs::path& path, bool clearReadOnly = true);

// Makes the install folder if it isn't there; one Setup makes itself gets an access list that
// keeps other accounts from changing it (outside the user's profile). Windows applies the list;
// Wine keeps none, so tests replace the call that makes a folder.
using FolderMaker = BOOL(WINAPI*)(LPCWSTR, LPSECURITY_ATTRIBUTES);
extern FolderMaker s_makeFolder;
bool MakeInstallFolder(const fs::path& folder);

// Held by the run that works in an install folder; a second Setup can't take it until the first
// lets go or ends. Taken and released on the worker thread, as a mutex must be.
class FolderLock {
  public:
    FolderLock() = default;
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    ~FolderLock() { Release(); }
    bool Take(const fs::path& folder); // false: another run holds it
    void Release();

  private:
    UniqueHandle m_mutex;
    bool m_owned = false;
};

// Finds the desktop for the shortcut. On Windows the lookup can fail (a Desktop redirected to a
// share that is offline, a profile policy); Wine always answers, so tests replace this.
using FolderLookup = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);
extern FolderLookup s_folderPath;
// The disk-space question, or an empty text when there is nothing to ask.
std::wstring SpaceQuestion(ULONGLONG freeBytes, bool gameExtracted);

// The worker's one dialog; tests answer it without a screen.
using AskFunction = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT);
extern AskFunction s_ask;

// Keeps the system awake during a run. Windows sleeps when left alone; Wine never does and
// shows nothing of the call, so tests replace it to see the states set.
using ExecutionStateFunction = EXECUTION_STATE(WINAPI*)(EXECUTION_STATE);
extern ExecutionStateFunction s_executionState;

extern fs::path s_installed;

constexpr wchar_t kCaption[] = L"Ironvale Recompiled Setup";

// ---------------------------------------------------------------------------------------------
// Window

// Move-only owner of a GDI object (fonts here).
template <typename T> class UniqueGdi {
  public:
    UniqueGdi() = default;
    explicit UniqueGdi(T object) : m_object(object) {}
    UniqueGdi(UniqueGdi&& other) noexcept : m_object(std::exchange(other.m_object, nullptr)) {}
    UniqueGdi& operator=(UniqueGdi&& other) noexcept {
        reset(std::exchange(other.m_object, nullptr));
        return *this;
    }
    UniqueGdi(const UniqueGdi&) = delete;
    UniqueGdi& operator=(const UniqueGdi&) = delete;
    ~UniqueGdi() { reset(); }
    T get() const { return m_object; }
    void reset(T object = nullptr) {
        if (m_object)
            DeleteObject(m_object);
        m_object = object;
    }

  private:
    T m_object = nullptr;
};

// Move-only owner of one COM interface pointer.
template <typename T> class UniqueCom {
  public:
    UniqueCom() = default;
    UniqueCom(UniqueCom&& other) noexcept : m_object(std::exchange(other.m_object, nullptr)) {}
    UniqueCom(const UniqueCom&) = delete;
    UniqueCom& operator=(const UniqueCom&) = delete;
    UniqueCom& operator=(UniqueCom&&) = delete;
    ~UniqueCom() { reset(); }
    T* get() const { return m_object; }
    T* operator->() const { return m_object; }
    T** put() { return &m_object; } // only on an empty owner
    void** putVoid() { return reinterpret_cast<void**>(&m_object); }
    void reset() {
        if (m_object)
            std::exchange(m_object, nullptr)->Release();
    }

  private:
    T* m_object = nullptr;
};

// Control ids.
enum : int {
    kIdSource = 100,
    kIdSourceBrowse = 101,
    kIdFolder = 102,
    kIdFolderBrowse = 103,
    kIdInstall = 104,
    kIdStatus = 105,
    kIdProgress = 106,
    kIdDetails = 107,
    kIdShortcut = 108,
    kIdPlay = 109,
    kIdImageChoice = 110,
    kIdFolderChoice = 111,
    kIdFreeSpaceOption = 112,
    kIdDeleteImage = 113,
    kIdDetailsButton = 114,
    kIdSourceFrame = 115,
    kIdSourceHint = 116,
    kIdFreeSpaceLine = 117,
};

extern UniqueGdi<HFONT> s_font;
extern UniqueGdi<HFONT> s_titleFont;
extern bool s_updateMode;
extern bool s_showLog;
extern std::atomic<bool> s_busy;
extern std::thread s_worker;
extern int s_dpi; // the system's, read at start-up: every layout figure is scaled by it

int RunSetup(HINSTANCE instance, int show);
LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void Layout();
std::wstring Text(int id);
HWND Item(int id); // a control of the setup window

// The worker's reports on the window: lines, status and progress (details.cpp).
constexpr UINT_PTR kFeedTimer = 1;
LRESULT OnPending();
LRESULT OnFeedTimer();
void ShowAllReports(); // everything reported so far, before the end of the run is shown

// The taskbar button (taskbar.cpp). Explorer makes it after the window shows and says so with
// a registered message; Wine has no taskbar and never does, so tests send the message and
// replace the interface and the flash with recording stand-ins.
using TaskbarMaker = HRESULT(WINAPI*)(ITaskbarList3**);
extern TaskbarMaker s_makeTaskbar;
using FlashFunction = BOOL(WINAPI*)(PFLASHWINFO);
extern FlashFunction s_flash;
UINT TaskbarButtonCreated();
void AllowTaskbarButtonMessage();
LRESULT OnTaskbarButtonCreated();
void ShowRunOnTaskbar(int percent); // 0 to 100, or -1: under way, how far unknown
void ShowRunEndOnTaskbar(bool success);
void ReleaseTaskbar(); // before COM ends
int Px(int pixelsAt96Dpi);

// The update folder named by the command line ("--update" FOLDER, the last pair wins), or empty.
std::wstring UpdateFolder(const wchar_t* commandLine);
// The install folder the form starts with. The environment lookup is passed in so that the
// rule for a missing SystemDrive can be tested (Wine gives every process SystemDrive=C:).
using EnvironmentLookup = DWORD(WINAPI*)(LPCWSTR, LPWSTR, DWORD);
std::wstring DefaultFolder(const std::wstring& updateFolder, const fs::path& programFolder,
                           EnvironmentLookup lookup = GetEnvironmentVariableW);

// Form logic
void UpdateSourceChoice();
void UpdateFreeSpace();
void BrowseSource();
void BrowseDir();
fs::path PickFolder();
void StartOrCancel();
void CancelRun(); // ends the run's children at once; downloads and the worker follow
void SetBusy(bool busy);
void SetProgress(int percent);
void Play();

std::wstring SizeText(ULONGLONG bytes);
fs::path NearestExisting(const fs::path& path);
fs::path InstallFolderFor(const fs::path& picked);

// What a run does: Install in setup.exe; the window tests host the same window around runs
// of their own.
using Worker = void (*)(Choices);
extern Worker s_install;

} // namespace setup
