// Shared pieces of the tests: a stand-in window, temporary folders, the child helper, and
// counters of handles and heap blocks.
#pragma once

#include "install.h"
#include "json.h"
#include "maintenance.h"
#include "net.h"
#include "proxy.h"
#include "runner.h"
#include "seams.h"
#include "system.h"
#include "window.h"

#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

namespace fs = std::filesystem;

// Replaces one seam for a scope; the default comes back when the scope ends, however it ends:
//   Override asking(&setup::Seams::ask, Answer);
template <typename Function> class Override {
  public:
    Override(Function setup::Seams::*seam, Function replacement)
        : m_seam(seam), m_saved(setup::s_seams.*seam) {
        setup::s_seams.*seam = replacement;
    }
    ~Override() { setup::s_seams.*m_seam = m_saved; }
    Override(const Override&) = delete;
    Override& operator=(const Override&) = delete;

  private:
    Function setup::Seams::*m_seam;
    Function m_saved;
};

// What a step ended with: "ok", or the sentence it failed with. Every test starts and ends with
// no cancel and the seams' defaults (support.cpp puts them back).
template <typename Step> std::wstring OutcomeOf(Step&& step) {
    try {
        step();
        return L"ok";
    } catch (const setup::Failed& failed) {
        return failed.message;
    }
}

// What the tests' inbox records of each report the window would take from the channel: a line,
// the status, the progress. Test names only: no window gets these messages.
enum : UINT { kMsgLog = WM_APP + 101, kMsgStatus, kMsgProgress };

struct Received {
    UINT message;
    WPARAM wParam;
    std::wstring text;
};

// The post function tests run with: each doorbell of the worker is answered at once, its
// reports kept one by one (kMsgLog, kMsgStatus, kMsgProgress), so tests see every report in
// order, and the inbox is told to look.
BOOL WINAPI PostEach(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The waits between attempts that Get asked for since a test last cleared them. Tests wait none
// of them; a cancel still ends the wait.
std::vector<DWORD>& Pauses();

// A message-only window standing in for the setup window: becomes s_window, frees every
// string it receives exactly as the real window must, and keeps what arrived.
class Inbox {
  public:
    Inbox();
    ~Inbox();
    Inbox(const Inbox&) = delete;
    Inbox& operator=(const Inbox&) = delete;

    void Pump();                         // everything already queued
    bool PumpUntilDone(DWORD timeoutMs); // until a kMsgDone arrives
    std::vector<std::wstring> Texts(UINT message) const;
    int Count(UINT message) const;
    // The log lines that arrived, pumped first: every one, or those with `part` in them.
    std::vector<std::wstring> Logged(const std::wstring& part = L"");
    bool LoggedLine(const std::wstring& line); // exactly that line, among them

    std::vector<Received> received;

  private:
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    HWND m_window = nullptr;
};

// A fresh folder under the Windows temp folder, removed with everything in it.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    const fs::path& path() const { return m_path; }

  private:
    fs::path m_path;
};

// Sets a variable in this process's environment, which children inherit, for as long as it
// lives; then puts back what was there, or nothing.
class ScopedVariable {
  public:
    ScopedVariable(const wchar_t* name, const std::wstring& value);
    ~ScopedVariable();
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

  private:
    const wchar_t* m_name;
    std::optional<std::wstring> m_before;
};

// Puts a folder first on this process's PATH for as long as it lives, before the rest of PATH
// or before `rest`.
class PathFront : public ScopedVariable {
  public:
    explicit PathFront(const fs::path& folder, const wchar_t* rest = nullptr);
};

// The five build tools, as small stand-ins first on PATH, for runs that are not about tools.
class FakeTools {
  public:
    FakeTools();

  private:
    TempFolder m_bin;
    std::unique_ptr<PathFront> m_front;
};

// git.exe and python.exe that run the machine's real git and python3, first on PATH.
class Bridges : public PathFront {
  public:
    Bridges();
};

// An install folder as an earlier run leaves it: the working tree with its .git, the extracted
// game and, when one is given, a copy of `launcher` as the built launcher. Returns the tree.
fs::path MakeInstalled(const fs::path& folder, const fs::path& launcher = {});

// remove_all, also for read-only files (git's objects), which Windows will not delete as such.
void RemoveTree(const fs::path& folder);

fs::path HelperFolder(); // where the test executables and child.exe are
std::wstring ChildCommand(const std::wstring& args);
std::string ReadBytes(const fs::path& file);
void WriteBytes(const fs::path& file, const std::string& bytes);
std::vector<std::string> SplitLines(const std::string& text); // at CR LF

// Waits for work done on another thread; rather than hang the suite, a stuck one ends the
// test process with a message.
void WaitOrDie(std::future<void>& work, int seconds, const char* what);

// The stand-in services offer the five tools' releases and archives (another archive may be
// served as ninja-win.zip), and the fixture project with its release (or neither: no network).
void OfferTools(const std::wstring& ninja = L"ninja-win.zip");
std::string ArchiveSha256(const std::wstring& archive); // as sha256sum saw the test archive
// The Python package's hash as NuGet publishes it (base64) in its catalog entry; none, when empty.
void PublishPythonHash(const std::string& base64, const std::string& algorithm = "SHA512");
void OfferProject(bool up, bool large = false); // large: a few MB more history
// The system's proxy as Settings > Proxy writes it, where WinHTTP reads it: a PAC file's address
// or a fixed proxy with its bypass list. Unless direct, nothing answers on the endpoints'
// address meanwhile but through the stand-in's proxy. Both come back as they were when this
// ends, and the next lookup of each host looks again.
class SystemProxy {
  public:
    SystemProxy(const std::string& pac, const std::string& fixed, const std::string& bypass,
                bool direct = false);
    ~SystemProxy();
    SystemProxy(const SystemProxy&) = delete;
    SystemProxy& operator=(const SystemProxy&) = delete;

  private:
    bool m_direct;
};
std::string ProxyPassed(); // what the stand-in's proxy passed on, a request a line

// What the stand-in counted so far: "count" (requests) or "sent" (body bytes).
unsigned long long StandInFigure(const wchar_t* what);

// The stand-in services' folder, as tests/standin.py serves it, and the faults it meets.
namespace standin {
fs::path Root();
fs::path File(const std::wstring& name);          // an archive under files/
fs::path Release(const std::wstring& repository); // GitHub's latest release of "owner/name"
fs::path PythonIndex();                           // NuGet's versions of the python package
fs::path PythonRegistration(const std::wstring& version);
fs::path Repository();  // the project's git repository
std::string Requests(); // every path asked for so far, a line each
// While it lives, the first request of every served path outside git/ meets the fault (see
// standin.py: "503", "reset", "half", "chunked", "chunked-cut"; "git-stall" and "git-cut" for
// the repository's objects). Another fault, or the same again, starts over.
class Fault {
  public:
    explicit Fault(const std::string& mode = "") { Set(mode); }
    ~Fault();
    Fault(const Fault&) = delete;
    Fault& operator=(const Fault&) = delete;
    void Set(const std::string& mode);
};
// While it lives, a served file stalls (".stall": half of it, then nothing) or hangs (".hang":
// no answer at all).
class Stall {
  public:
    Stall(const fs::path& file, const wchar_t* how = L".stall");
    ~Stall() { End(); }
    Stall(const Stall&) = delete;
    Stall& operator=(const Stall&) = delete;
    void End();

  private:
    fs::path m_marker;
};
} // namespace standin

// A process by its id, to watch how it ends, and how it ended (waiting up to 10 s for that).
setup::UniqueHandle WatchProcess(DWORD id);
DWORD ExitCodeOf(const setup::UniqueHandle& process);
// How many of the machine's own processes, seen through Wine's Z: drive, are alive (not zombies
// waiting to be reaped) and match: by their id and command line.
int LinuxProcessesRunning(
    const std::function<bool(const std::wstring& id, const std::string& cmdline)>& match);

size_t CountHandles();       // this process's open handles, from the system's table
long long LiveAllocations(); // operator new minus operator delete, process-wide

} // namespace testing_support
