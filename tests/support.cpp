#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

// Counting every heap block lets tests see a string leaked or freed twice on its way through
// the message queue.
namespace {
std::atomic<long long> g_live{0};

void* Allocate(std::size_t size) {
    void* block = std::malloc(size ? size : 1);
    if (!block)
        throw std::bad_alloc();
    ++g_live;
    return block;
}

void Release(void* block) noexcept {
    if (!block)
        return;
    --g_live;
    std::free(block);
}
} // namespace

void* operator new(std::size_t size) {
    return Allocate(size);
}
void* operator new[](std::size_t size) {
    return Allocate(size);
}
void operator delete(void* block) noexcept {
    Release(block);
}
void operator delete[](void* block) noexcept {
    Release(block);
}
void operator delete(void* block, std::size_t) noexcept {
    Release(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    Release(block);
}

namespace testing_support {

namespace {

constexpr wchar_t kInboxClass[] = L"IronvaleTestInbox";

// Every test process gets the job the setup program makes at start-up.
class JobEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { setup::s_job = setup::MakeJob(); }
    void TearDown() override { setup::s_job.reset(); }
};
const auto* const g_jobEnvironment = ::testing::AddGlobalTestEnvironment(new JobEnvironment);

// A crash must fail the suite at once, not wait in Wine's debugger.
LONG WINAPI Crashed(EXCEPTION_POINTERS* info) {
    std::fprintf(stderr, "FATAL: unhandled exception 0x%08lx\n",
                 static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode));
    std::fflush(stderr);
    ExitProcess(4);
}
const auto g_crashFilter = SetUnhandledExceptionFilter(Crashed);

// The reports the worker left for the window, as the one-message-per-report view tests read.
void Unpack(std::vector<Received>& received) {
    setup::Pending pending = setup::TakePending();
    for (auto& line : pending.lines)
        received.push_back({kMsgLog, 0, std::move(line)});
    if (pending.status)
        received.push_back({kMsgStatus, 0, std::move(*pending.status)});
    if (pending.progress)
        received.push_back(
            {kMsgProgress, static_cast<WPARAM>(static_cast<INT_PTR>(*pending.progress)), {}});
}

// Reports PostEach took from the channel, waiting for the inbox; PostEach runs on the worker.
std::mutex g_reportsLock;
std::vector<Received> g_reports;

void TakeReports(std::vector<Received>& received) {
    std::lock_guard<std::mutex> lock(g_reportsLock);
    for (auto& report : g_reports)
        received.push_back(std::move(report));
    g_reports.clear();
}

bool NoPause(DWORD milliseconds) {
    Pauses().push_back(milliseconds);
    return !setup::s_cancel;
}

// Every test starts, and ends, with no cancel and the tests' defaults for the seams: it reads
// each report on its own (PostEach) and spends no time between download attempts. A test that
// cancels or replaces a seam leaves neither to the next, however it ends.
class Defaults : public ::testing::EmptyTestEventListener {
    void OnTestProgramStart(const ::testing::UnitTest&) override {
        m_seams = setup::s_seams;
        m_seams.post = PostEach;
        m_seams.pause = NoPause;
    }
    void OnTestStart(const ::testing::TestInfo&) override { Restore(); }
    void OnTestEnd(const ::testing::TestInfo&) override { Restore(); }
    void Restore() {
        setup::s_cancel = false;
        setup::s_seams = m_seams;
    }
    setup::Seams m_seams{};
};
const bool g_defaults = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new Defaults);
    return true;
}();

} // namespace

std::vector<DWORD>& Pauses() {
    static std::vector<DWORD> pauses;
    return pauses;
}

BOOL WINAPI PostEach(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == setup::kMsgPending) {
        std::lock_guard<std::mutex> lock(g_reportsLock);
        Unpack(g_reports);
    }
    return PostMessageW(window, message, wParam, lParam);
}

Inbox::Inbox() {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = Proc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kInboxClass;
    RegisterClassW(&windowClass); // fails harmlessly once registered
    m_window = CreateWindowExW(0, kInboxClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               windowClass.hInstance, nullptr);
    SetWindowLongPtrW(m_window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    setup::s_window = m_window;
    // Left by an earlier test that had no window.
    setup::TakePending();
    setup::TakeEnd();
    std::vector<Received> stale;
    TakeReports(stale);
}

Inbox::~Inbox() {
    Pump(); // whatever is still queued or pending is ours to free
    setup::TakePending();
    setup::TakeEnd();
    std::vector<Received> stale;
    TakeReports(stale);
    if (setup::s_window == m_window)
        setup::s_window = nullptr;
    DestroyWindow(m_window);
}

LRESULT CALLBACK Inbox::Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* inbox = reinterpret_cast<Inbox*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if ((message != setup::kMsgPending && message != setup::kMsgDone) || !inbox)
        return DefWindowProcW(window, message, wParam, lParam);
    TakeReports(inbox->received);
    Unpack(inbox->received);
    if (message == setup::kMsgDone) {
        if (auto end = setup::TakeEnd())
            inbox->received.push_back({message, end->success ? 1u : 0u, std::move(end->text)});
    }
    return 0;
}

void Inbox::Pump() {
    MSG msg;
    while (PeekMessageW(&msg, m_window, 0, 0, PM_REMOVE))
        DispatchMessageW(&msg);
}

bool Inbox::PumpUntilDone(DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        Pump();
        if (Count(setup::kMsgDone) > 0)
            return true;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now),
                                  QS_POSTMESSAGE);
    }
}

std::vector<std::wstring> Inbox::Texts(UINT message) const {
    std::vector<std::wstring> texts;
    for (const auto& item : received)
        if (item.message == message)
            texts.push_back(item.text);
    return texts;
}

std::vector<std::wstring> Inbox::Logged(const std::wstring& part) {
    Pump();
    std::vector<std::wstring> lines;
    for (const auto& line : Texts(kMsgLog))
        if (line.find(part) != std::wstring::npos)
            lines.push_back(line);
    return lines;
}

bool Inbox::LoggedLine(const std::wstring& line) {
    const auto lines = Logged(line);
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

int Inbox::Count(UINT message) const {
    int count = 0;
    for (const auto& item : received)
        count += item.message == message;
    return count;
}

TempFolder::TempFolder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    static std::atomic<int> serial{0};
    m_path = fs::path(temp) / (L"ivtest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                               std::to_wstring(++serial));
    RemoveTree(m_path); // Wine gives a new process the ids an earlier one had
    fs::create_directories(m_path);
}

TempFolder::~TempFolder() {
    RemoveTree(m_path);
}

fs::path MakeInstalled(const fs::path& folder, const fs::path& launcher) {
    const fs::path tree = folder / L"ironvale-recomp";
    fs::create_directories(tree / L".git");
    fs::create_directories((tree / setup::kGameMarker).parent_path());
    WriteBytes(tree / setup::kGameMarker, "xex");
    if (!launcher.empty()) {
        fs::create_directories(tree / L"build" / L"runtime");
        fs::copy_file(launcher, tree / L"build" / L"runtime" / L"IronvaleLauncher.exe");
    }
    return tree;
}

void RemoveTree(const fs::path& folder) {
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error))
        SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
    fs::remove_all(folder, error);
}

ScopedVariable::ScopedVariable(const wchar_t* name, const std::wstring& value) : m_name(name) {
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size > 0) {
        m_before.emplace(size, L'\0');
        m_before->resize(GetEnvironmentVariableW(name, m_before->data(), size));
    }
    SetEnvironmentVariableW(name, value.c_str());
}

ScopedVariable::~ScopedVariable() {
    SetEnvironmentVariableW(m_name, m_before ? m_before->c_str() : nullptr);
}

PathFront::PathFront(const fs::path& folder, const wchar_t* rest)
    : ScopedVariable(L"PATH", folder.native() + L";" + (rest ? rest : setup::ReadPath())) {}

FakeTools::FakeTools() {
    for (const auto& tool : maintenance::kToolTable)
        fs::copy_file(HelperFolder() / L"child.exe", m_bin.path() / tool.program);
    m_front = std::make_unique<PathFront>(m_bin.path());
}

Bridges::Bridges() : PathFront(HelperFolder().parent_path() / L"bridge" / L"stub") {}

fs::path HelperFolder() {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return fs::path(self).parent_path();
}

std::wstring ChildCommand(const std::wstring& args) {
    return setup::Quote(HelperFolder() / L"child.exe") + L" " + args;
}

std::string ReadBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::string bytes;
    try {
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::ios_base::failure&) {
        // A file that went while it was read (a process's entry in /proc): what there was.
    }
    return bytes;
}

void WriteBytes(const fs::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    size_t end = 0;
    while ((end = text.find("\r\n", start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

setup::UniqueHandle WatchProcess(DWORD id) {
    return setup::UniqueHandle(
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
}

DWORD ExitCodeOf(const setup::UniqueHandle& process) {
    EXPECT_EQ(WaitForSingleObject(process.get(), 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    return code;
}

int LinuxProcessesRunning(
    const std::function<bool(const std::wstring& id, const std::string& cmdline)>& match) {
    int running = 0;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(L"Z:\\proc", error)) {
        const std::wstring id = entry.path().filename().native();
        if (id.empty() || id.find_first_not_of(L"0123456789") != std::wstring::npos)
            continue;
        const std::string stat = ReadBytes(entry.path() / L"stat");
        const size_t close = stat.rfind(')');
        const bool alive = close != std::string::npos && close + 2 < stat.size() &&
                           stat[close + 2] != 'Z' && stat[close + 2] != 'X';
        running += alive && match(id, ReadBytes(entry.path() / L"cmdline"));
    }
    return running;
}

size_t CountHandles() {
    // GetProcessHandleCount answers 0 under Wine, so the system's handle table is read instead.
    struct Entry {
        USHORT processId;
        USHORT creatorBackTraceIndex;
        UCHAR objectTypeIndex;
        UCHAR attributes;
        USHORT handle;
        PVOID object;
        ULONG grantedAccess;
    };
    struct Table {
        ULONG count;
        Entry entries[1];
    };
    using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    constexpr ULONG kSystemHandleInformation = 16;
    constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
    static const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<char> buffer(1 << 16);
    ULONG needed = 0;
    LONG status;
    while ((status = query(kSystemHandleInformation, buffer.data(),
                           static_cast<ULONG>(buffer.size()), &needed)) == kInfoLengthMismatch)
        buffer.resize(buffer.size() * 2);
    if (status != 0)
        return 0;
    const auto* table = reinterpret_cast<const Table*>(buffer.data());
    const auto self = static_cast<USHORT>(GetCurrentProcessId());
    size_t count = 0;
    for (ULONG i = 0; i < table->count; ++i)
        count += table->entries[i].processId == self;
    return count;
}

void WaitOrDie(std::future<void>& work, int seconds, const char* what) {
    if (work.wait_for(std::chrono::seconds(seconds)) == std::future_status::ready) {
        work.get();
        return;
    }
    std::fprintf(stderr, "FATAL: %s did not finish within %d s\n", what, seconds);
    std::fflush(stderr);
    ExitProcess(3);
}

namespace {
const fs::path kRoot = standin::Root();
const fs::path kArchives = setup::Widen(IRONVALE_ARCHIVES);
const std::wstring kFiles = setup::Widen(IRONVALE_SERVICES) + L"/files/";
} // namespace

// copy_file's overwrite option fails under MinGW's libstdc++ when the target exists.
static void Replace(const fs::path& from, const fs::path& to) {
    std::error_code error;
    fs::remove(to, error);
    fs::copy_file(from, to);
}

// The digest a sums file (as sha256sum writes it: digest, two spaces, name) gives archive.
static std::string Sum(const wchar_t* sums, const std::wstring& archive) {
    const std::string text = ReadBytes(kArchives / sums);
    const std::string name = "  " + setup::Narrow(archive) + "\n";
    const size_t at = text.find(name);
    const size_t start = at == std::string::npos ? at : text.rfind('\n', at);
    if (at == std::string::npos)
        return {};
    return text.substr(start == std::string::npos ? 0 : start + 1,
                       at - (start == std::string::npos ? 0 : start + 1));
}

std::string ArchiveSha256(const std::wstring& archive) {
    return Sum(L"SHA256SUMS", archive);
}

void PublishPythonHash(const std::string& base64, const std::string& algorithm) {
    const fs::path leaf = standin::PythonRegistration(L"3.12.10");
    const fs::path entry = kRoot / L"nuget" / L"v3" / L"catalog0" / L"data" /
                           L"2025.04.08.18.02.11" / L"python.3.12.10.json";
    fs::create_directories(leaf.parent_path());
    fs::create_directories(entry.parent_path());
    const std::string api = IRONVALE_SERVICES "/nuget";
    WriteBytes(leaf, R"({"@id":")" + api +
                         R"(/v3/registration5-semver1/python/3.12.10.json",)"
                         R"("catalogEntry":")" +
                         api +
                         R"(/v3/catalog0/data/2025.04.08.18.02.11/python.3.12.10.json",)"
                         R"("packageContent":")" +
                         api + R"(/v3-flatcontainer/python/3.12.10/python.3.12.10.nupkg"})");
    std::error_code error;
    fs::remove(entry, error);
    if (base64.empty())
        return;
    WriteBytes(entry, R"({"id":"python","packageHash":")" + base64 +
                          R"(","packageHashAlgorithm":")" + algorithm +
                          R"(","version":"3.12.10"})");
}

// One asset object as GitHub's API writes it, in its field order; digest null when empty.
static std::string AssetObject(const std::wstring& file, const std::string& sha256) {
    const std::string name = setup::Narrow(file);
    return R"({"url":"https://api.github.invalid/assets/1","id":1,"name":")" + name +
           R"(","uploader":{"login":"github-actions[bot]","id":41898282,"type":"Bot"},)"
           R"("content_type":"application/zip","state":"uploaded","size":1000,"digest":)" +
           (sha256.empty() ? std::string("null") : "\"sha256:" + sha256 + "\"") +
           R"(,"browser_download_url":")" + setup::Narrow(kFiles + file) + "\"}";
}

// A latest-release document of repository with the given assets (file and its digest).
static void Publish(const std::wstring& repository,
                    const std::vector<std::pair<std::wstring, std::string>>& assets) {
    std::string body = R"({"url":"https://api.github.invalid/releases/1","tag_name":"v1",)"
                       R"("name":"Latest","assets":[)";
    for (const auto& [file, sha256] : assets)
        body += AssetObject(file, sha256) + (&file == &assets.back().first ? "" : ",");
    body += "]}";
    const fs::path doc = standin::Release(repository);
    fs::create_directories(doc.parent_path());
    WriteBytes(doc, body);
}

// The stand-in offers each tool's archive under the name its provider looks for (another may
// be served as ninja-win.zip). Git and CMake publish digests; Ninja none, as older releases;
// Clang's release has one only for an asset Setup doesn't take. NuGet publishes Python's SHA-512.
void OfferTools(const std::wstring& ninja) {
    fs::create_directories(standin::File(L""));
    for (const auto& entry : fs::directory_iterator(kArchives))
        Replace(entry.path(), standin::File(entry.path().filename()));
    const std::wstring git = L"MinGit-2.45.1-64-bit.zip";
    const std::wstring cmake = L"cmake-3.30.0-windows-x86_64.zip";
    Publish(L"git-for-windows/git",
            {{L"Git-2.45.1-64-bit.exe", ArchiveSha256(L"corrupt.zip")}, {git, ArchiveSha256(git)}});
    Publish(L"Kitware/CMake", {{cmake, ArchiveSha256(cmake)}});
    Publish(L"mstorsjo/llvm-mingw",
            {{L"llvm-mingw-20240606-msvcrt-x86_64.zip", ArchiveSha256(L"corrupt.zip")},
             {L"llvm-mingw-20240606-ucrt-x86_64.zip", ""}});
    Replace(kArchives / ninja, standin::File(L"ninja-win.zip"));
    Publish(L"ninja-build/ninja", {{L"ninja-win.zip", ""}});
    const fs::path index = standin::PythonIndex();
    fs::create_directories(index.parent_path());
    WriteBytes(index, R"({"versions":["3.12.9","3.12.10"]})");
    const fs::path package =
        kRoot / L"nuget" / L"v3-flatcontainer" / L"python" / L"3.12.10" / L"python.3.12.10.nupkg";
    fs::create_directories(package.parent_path());
    Replace(kArchives / L"python.3.12.10.nupkg", package);
    PublishPythonHash(Sum(L"SHA512SUMS", L"python.3.12.10.nupkg"));
}

static void CopyTree(const fs::path& from, const fs::path& to) {
    RemoveTree(to);
    fs::create_directories(to.parent_path());
    fs::copy(from, to, fs::copy_options::recursive);
}

void OfferProject(bool up, bool large) {
    const fs::path served = standin::Repository();
    const fs::path release = standin::Release(L"ironvale-recomp/ironvale-recomp");
    std::error_code error;
    RemoveTree(served);
    fs::remove(release, error);
    if (!up)
        return;
    CopyTree(setup::Widen(IRONVALE_ORIGIN) + (large ? L"-large" : L""), served);
    fs::create_directories(release.parent_path());
    WriteBytes(release, R"({"url":"x","tag_name": "v1.0.0","name":"Ironvale 1.0"})");
}

namespace {
constexpr wchar_t kConnections[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";

void Direct(bool on) {
    std::string ignored;
    setup::Get(setup::Widen(IRONVALE_STANDIN) + L"/fault/direct/" + (on ? L"1" : L"0"),
               setup::DocumentInto(ignored, std::wstring()));
}
} // namespace

SystemProxy::SystemProxy(const std::string& pac, const std::string& fixed,
                         const std::string& bypass, bool direct)
    : m_direct(direct) {
    std::string blob;
    auto dword = [&](DWORD value) { blob.append(reinterpret_cast<const char*>(&value), 4); };
    auto text = [&](const std::string& value) {
        dword(static_cast<DWORD>(value.size()));
        blob += value;
    };
    dword(0x46); // the format's version
    dword(1);    // how often the settings were changed
    dword(1 | (fixed.empty() ? 0 : 2) | (pac.empty() ? 0 : 4)); // direct, fixed, a PAC file
    text(fixed);
    text(bypass);
    text(pac);
    blob.append(32, '\0');
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kConnections, 0, nullptr, 0, KEY_SET_VALUE,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, L"DefaultConnectionSettings", 0, REG_BINARY,
                             reinterpret_cast<const BYTE*>(blob.data()),
                             static_cast<DWORD>(blob.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
    setup::ForgetProxies();
    if (!m_direct)
        Direct(false);
}

SystemProxy::~SystemProxy() {
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kConnections, L"DefaultConnectionSettings");
    setup::ForgetProxies();
    if (!m_direct)
        Direct(true);
}

std::string ProxyPassed() {
    std::string passed;
    setup::Get(setup::Widen(IRONVALE_STANDIN) + L"/fault/passed/0",
               setup::DocumentInto(passed, std::wstring()));
    return passed;
}

namespace standin {

fs::path Root() {
    return setup::Widen(IRONVALE_STANDIN_ROOT);
}
fs::path File(const std::wstring& name) {
    return Root() / L"files" / name;
}
fs::path Release(const std::wstring& repository) {
    return Root() / L"github" / L"repos" / repository / L"releases" / L"latest";
}
fs::path PythonIndex() {
    return Root() / L"nuget" / L"v3-flatcontainer" / L"python" / L"index.json";
}
fs::path PythonRegistration(const std::wstring& version) {
    return Root() / L"nuget" / L"v3" / L"registration5-semver1" / L"python" / (version + L".json");
}
fs::path Repository() {
    return Root() / L"git" / L"ironvale-recomp.git";
}
std::string Requests() {
    std::string paths;
    setup::Get(setup::Widen(IRONVALE_STANDIN) + L"/fault/paths/0",
               setup::DocumentInto(paths, std::wstring()));
    return paths;
}

void Fault::Set(const std::string& mode) {
    if (mode.empty())
        fs::remove(Root() / L"faults");
    else
        WriteBytes(Root() / L"faults", mode);
}
Fault::~Fault() {
    std::error_code error;
    fs::remove(Root() / L"faults", error);
}

Stall::Stall(const fs::path& file, const wchar_t* how) : m_marker(file.native() + how) {
    WriteBytes(m_marker, "");
}
void Stall::End() {
    std::error_code error;
    fs::remove(m_marker, error);
}

} // namespace standin

unsigned long long StandInFigure(const wchar_t* what) {
    std::string figure;
    setup::Get(setup::Widen(IRONVALE_STANDIN) + L"/fault/" + what + L"/0",
               setup::DocumentInto(figure, std::wstring()));
    return std::stoull(figure);
}

long long LiveAllocations() {
    return g_live.load();
}

} // namespace testing_support
