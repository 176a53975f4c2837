// Process runner: command lines run hidden, inside s_job, their output cut into lines.
#include "channel.h"
#include "runner.h"
#include "seams.h"

#include <atomic>
#include <thread>
#include <vector>

namespace setup {

UniqueHandle s_job;

namespace {

constexpr DWORD kReadBlock = 4096;

// Progress redraws ("  45% ...") go to the caller but would flood the log.
bool IsProgressRedraw(std::string_view line) {
    return line.size() >= 2 && line[0] == ' ' && line[1] == ' ' &&
           line.find('%') != std::string_view::npos;
}

void Deliver(std::string_view line, bool terminated, const LineCallback& onLine, bool log) {
    if (onLine)
        onLine(line);
    if (!log || (terminated && IsProgressRedraw(line)))
        return;
    bool utf8 = false;
    const std::wstring text = Widen(line, &utf8);
    if (utf8)
        Log(text, line); // the same bytes: no need to convert them back
    else
        Log(text);
}

// Reads until every holder of the pipe's write end has gone. Each CR and each LF ends a line
// on its own; the empty lines this makes of CR LF are dropped.
void ReadLines(HANDLE readEnd, const LineCallback& onLine, bool log) {
    std::string pending;
    size_t scanned = 0; // pending[0, scanned) is known to hold no terminator
    char block[kReadBlock];
    DWORD got = 0;
    while (ReadFile(readEnd, block, kReadBlock, &got, nullptr) && got > 0) {
        pending.append(block, got);
        size_t start = 0;
        size_t end = 0;
        while ((end = pending.find_first_of("\r\n", scanned)) != std::string::npos) {
            if (end > start)
                Deliver(std::string_view(pending).substr(start, end - start), true, onLine, log);
            start = scanned = end + 1;
        }
        pending.erase(0, start);
        scanned = pending.size();
    }
    if (!pending.empty())
        Deliver(pending, false, onLine, log);
}

// An entry of PATH a program may come from.
bool Trusted(const std::wstring& entry) {
    static const fs::path own = ProgramFolder();
    std::error_code error;
    return !entry.empty() && entry.find(L"WindowsApps") == std::wstring::npos &&
           fs::path(entry).is_absolute() && !fs::equivalent(entry, own, error);
}

} // namespace

std::wstring ReadPath() {
    return LongText(
        [](wchar_t* buffer, DWORD size) { return GetEnvironmentVariableW(L"PATH", buffer, size); });
}

fs::path ProgramFolder() {
    return fs::path(LongText([](wchar_t* buffer, DWORD size) {
               return GetModuleFileNameW(nullptr, buffer, size);
           }))
        .parent_path();
}

std::vector<fs::path> FindAllOnPath(const fs::path& program, bool filesOnly) {
    const std::wstring path = ReadPath();
    std::vector<fs::path> found;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(L';', start);
        if (end == std::wstring::npos)
            end = path.size();
        const std::wstring piece = path.substr(start, end - start);
        start = end + 1;
        if (!Trusted(piece))
            continue;
        const fs::path candidate = fs::path(piece) / program;
        std::error_code error;
        const fs::file_status status = fs::status(candidate, error);
        if (fs::exists(status) && !(filesOnly && fs::is_directory(status)))
            found.push_back(candidate);
    }
    return found;
}

fs::path FindOnPath(const fs::path& program, bool filesOnly) {
    const std::vector<fs::path> found = FindAllOnPath(program, filesOnly);
    return found.empty() ? fs::path() : found.front();
}

namespace {

// The full path of the program a command line starts: its first word, quoted or not, as it
// stands when that is a full path, else found with FindOnPath (".exe" added when it has no
// extension). Empty when there is none.
fs::path ProgramOf(const std::wstring& commandLine) {
    std::wstring word;
    if (!commandLine.empty() && commandLine[0] == L'"')
        word = commandLine.substr(1, commandLine.find(L'"', 1) - 1);
    else
        word = commandLine.substr(0, commandLine.find_first_of(L" \t"));
    fs::path program = word;
    if (word.empty() || program.is_absolute())
        return program;
    // A folder in a name that is not a full one would be looked up from the current folder.
    if (program.has_parent_path() || program.has_root_name())
        return {};
    if (!program.has_extension())
        program += L".exe";
    return FindOnPath(program, true);
}

} // namespace

UniqueHandle MakeJob() {
    UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    // Without the limit a cancel still ends the job's children; only a Setup that is killed
    // would leave them running. That is no reason to refuse every run.
    if (job && !SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                        sizeof limits))
        OutputDebugStringW(L"Setup: the job's kill-on-close limit couldn't be set\n");
    return job;
}

namespace {

// The attribute list that hands a child exactly the handles named, and no other inheritable
// handle of Setup's (another thread's pipe, a file a library opened inheritable).
class HandleList {
  public:
    explicit HandleList(std::vector<HANDLE> handles) : m_handles(std::move(handles)) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        m_storage.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(m_storage.data());
        if (InitializeProcThreadAttributeList(list, 1, 0, &size)) {
            m_list = list;
            if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                           m_handles.data(), m_handles.size() * sizeof(HANDLE),
                                           nullptr, nullptr))
                m_ok = false;
        }
    }
    HandleList(const HandleList&) = delete;
    HandleList& operator=(const HandleList&) = delete;
    ~HandleList() {
        if (m_list)
            DeleteProcThreadAttributeList(m_list);
    }
    // Null when the list couldn't be made: the child then isn't started at all.
    LPPROC_THREAD_ATTRIBUTE_LIST get() const { return m_ok ? m_list : nullptr; }

  private:
    std::vector<HANDLE> m_handles; // read by CreateProcessW, so kept until the list goes
    std::vector<unsigned char> m_storage;
    LPPROC_THREAD_ATTRIBUTE_LIST m_list = nullptr;
    bool m_ok = true;
};

constexpr DWORD kFirstStartPauseMs = 100;
constexpr DWORD kLastStartPauseMs = 800;

// Refusals that another try can't change: the program or the folder isn't there, or isn't one.
bool NeverStarts(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
           error == ERROR_DIRECTORY || error == ERROR_BAD_EXE_FORMAT ||
           error == ERROR_INVALID_PARAMETER;
}

// Nothing a child runs may wait for a person: there is no console to answer on. git fails
// instead of asking for a sign-in, and Python writes UTF-8 rather than the ANSI code page,
// which can't spell every user's name and stops the build script with UnicodeEncodeError.
void QuietChildren() {
    SetEnvironmentVariableW(L"GIT_TERMINAL_PROMPT", L"0");
    SetEnvironmentVariableW(L"GCM_INTERACTIVE", L"never");
    SetEnvironmentVariableW(L"PYTHONUTF8", L"1");
}

// The pipe a child writes its output into: the read end stays Setup's, the write end is the
// child's alone.
struct ChildPipe {
    UniqueHandle readEnd;
    UniqueHandle writeEnd;
    UniqueHandle input; // input that ends at once: a child that reads it finds nobody there
};

ChildPipe MakeChildPipe() {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (!CreatePipe(&read, &write, &inheritable, 0))
        Fail(L"Couldn't create a pipe.");
    ChildPipe pipe{UniqueHandle(read), UniqueHandle(write), UniqueHandle()};
    // Inherited, the read end would keep the pipe open after the child ends: no end of stream.
    if (!SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0))
        Fail(L"Couldn't create a pipe.");
    pipe.input.reset(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 &inheritable, OPEN_EXISTING, 0, nullptr));
    return pipe;
}

// Starts the child suspended, with exactly the pipe's handles; 0, or why it didn't start.
DWORD StartSuspended(const std::wstring& command, const fs::path& folder, const ChildPipe& pipe,
                     PROCESS_INFORMATION& info) {
    const HandleList handles(pipe.input ? std::vector<HANDLE>{pipe.writeEnd.get(), pipe.input.get()}
                                        : std::vector<HANDLE>{pipe.writeEnd.get()});
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.StartupInfo.wShowWindow = SW_HIDE;
    startup.StartupInfo.hStdInput = pipe.input.get();
    startup.StartupInfo.hStdOutput = pipe.writeEnd.get();
    startup.StartupInfo.hStdError = pipe.writeEnd.get();
    startup.lpAttributeList = handles.get();

    // Named by its full path: left to itself, CreateProcessW would look in setup.exe's folder
    // and the current folder before PATH, and run whatever git.exe lies in Downloads.
    const fs::path program = ProgramOf(command);
    if (program.empty())
        return ERROR_FILE_NOT_FOUND;
    if (!startup.lpAttributeList)
        return ERROR_INVALID_PARAMETER;
    // A virus scanner holds a program it has just seen for a moment, and a loaded machine can
    // refuse a start for want of resources: such refusals are tried again for about 1.5 s.
    for (DWORD pause = kFirstStartPauseMs;; pause *= 2) {
        std::wstring commandLine = command; // CreateProcessW may write into it
        if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                           CREATE_SUSPENDED | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT,
                           nullptr, folder.empty() ? nullptr : folder.c_str(), &startup.StartupInfo,
                           &info))
            return 0;
        const DWORD error = GetLastError();
        if (NeverStarts(error) || pause > kLastStartPauseMs ||
            !s_seams.pause(pause)) // ends early on a cancel
            return error;
    }
}

// Joined while still suspended, so everything it starts is in the job as well. One that can't
// join would outlive a cancel: it never runs.
void JoinJobAndResume(const std::wstring& command, HANDLE process, HANDLE thread) {
    if (!AssignProcessToJobObject(s_job.get(), process)) {
        const DWORD error = GetLastError();
        TerminateProcess(process, 1);
        Log(L"AssignProcessToJobObject failed: " + ErrorText(error));
        Fail(L"Couldn't start: " + command);
    }
    // A cancel may have ended the job just before this child joined it. The flag is set before
    // the job is ended, so either this test or that termination catches every child.
    if (s_cancel) {
        TerminateProcess(process, 1);
        Fail(L"Cancelled.");
    }
    if (ResumeThread(thread) == static_cast<DWORD>(-1)) {
        TerminateProcess(process, 1);
        Fail(L"Couldn't start: " + command);
    }
}

// Ends the child once its time is up, unless it ends first. What the child started is left to
// the job: a program asked only for its version starts nothing that matters.
class Deadline {
  public:
    Deadline(HANDLE process, DWORD limitMs) {
        if (limitMs != INFINITE)
            m_watch = std::thread([this, process, limitMs] {
                if (WaitForSingleObject(process, limitMs) == WAIT_TIMEOUT) {
                    m_passed = true;
                    TerminateProcess(process, kTimedOut);
                }
            });
    }
    ~Deadline() {
        if (m_watch.joinable())
            m_watch.join(); // the child has ended by now, or was ended
    }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;
    bool passed() const { return m_passed; }

  private:
    std::atomic<bool> m_passed{false};
    std::thread m_watch;
};

} // namespace

DWORD Run(const std::wstring& command, const fs::path& folder, const LineCallback& onLine,
          const RunOptions& options) {
    CheckCancel(); // nothing starts once the user has said stop
    if (options.log != RunLog::Nothing)
        Log(L"$ " + command);
    QuietChildren();

    ChildPipe pipe = MakeChildPipe();
    PROCESS_INFORMATION info{};
    const DWORD startError = StartSuspended(command, folder, pipe, info);
    // Only the child may hold the write end now, so end-of-stream means it (and whatever it
    // started) has gone.
    pipe.writeEnd.reset();
    pipe.input.reset();
    if (startError) {
        if (!ProgramOf(command).empty())
            Log(L"CreateProcess failed: " + ErrorText(startError));
        Fail(L"Couldn't start: " + command);
    }
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    JoinJobAndResume(command, process.get(), thread.get());
    Deadline deadline(process.get(), options.limitMs);

    try {
        ReadLines(pipe.readEnd.get(), onLine, options.log == RunLog::All);
    } catch (...) {
        // The caller gave up on this child: end it and everything it started (ninja under
        // cmake, the compilers under ninja), not only the child itself.
        TerminateJobObject(s_job.get(), 1);
        throw;
    }
    pipe.readEnd.reset();

    WaitForSingleObject(process.get(), INFINITE);
    DWORD exitCode = 1;
    if (!GetExitCodeProcess(process.get(), &exitCode))
        exitCode = 1;
    CheckCancel();
    return deadline.passed() ? kTimedOut : exitCode;
}

std::wstring Quote(const fs::path& path) {
    const std::wstring& text = path.native();
    // Backslashes before the closing quote would escape it for every program that parses its
    // command line the usual way ("E:\" arrives as E:"), so those, and only those, are doubled.
    const size_t lastOther = text.find_last_not_of(L'\\');
    const size_t trailing =
        lastOther == std::wstring::npos ? text.size() : text.size() - lastOther - 1;
    return L"\"" + text + std::wstring(trailing, L'\\') + L"\"";
}

bool GitOutput(const fs::path& folder, const std::wstring& args, std::string& output) {
    output.clear();
    const std::wstring command = L"git -C " + Quote(folder) + L" " + args;
    const DWORD exitCode = Run(command, folder, [&output](std::string_view line) {
        if (output.empty())
            output.assign(line);
    });
    return exitCode == 0;
}

} // namespace setup
