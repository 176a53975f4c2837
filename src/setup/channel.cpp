// Status channel: what the worker tells the window, and setup.log.
#include "setup.h"

#include <climits>

namespace setup {

HWND s_window = nullptr;
std::atomic<bool> s_cancel{false};
std::ofstream s_logFile;
std::mutex s_logLock;
PostFunction s_post = PostMessageW;

namespace {

constexpr DWORD kDoneRetryMs = 5;

int ClampedSize(size_t size) {
    return size > INT_MAX ? INT_MAX : static_cast<int>(size);
}

// The one place that posts for the worker. The string is the window's only once the post has
// succeeded; a failed post (a full queue on Windows) leaves it here, and the owner frees it.
bool Post(UINT message, WPARAM wParam, std::unique_ptr<std::wstring>& text) {
    if (!s_post(s_window, message, wParam, reinterpret_cast<LPARAM>(text.get())))
        return false;
    text.release();
    return true;
}

void PostText(UINT message, const std::wstring& text) {
    auto copy = std::make_unique<std::wstring>(text);
    Post(message, 0, copy);
}

} // namespace

void Fail(const std::wstring& message) {
    throw Failed{message};
}

void CheckCancel() {
    if (s_cancel)
        Fail(L"Cancelled.");
}

std::wstring Widen(std::string_view bytes) {
    if (bytes.empty())
        return {};
    const int size = ClampedSize(bytes.size());
    int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
    UINT codePage = CP_UTF8;
    DWORD flags = MB_ERR_INVALID_CHARS;
    if (length <= 0) {
        // Not UTF-8: tools that write in the ANSI code page still read correctly.
        codePage = CP_ACP;
        flags = 0;
        length = MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, nullptr, 0);
        if (length <= 0)
            return {};
    }
    std::wstring text(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(codePage, flags, bytes.data(), size, text.data(), length);
    return text;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty())
        return {};
    const int size = ClampedSize(text.size());
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    if (length <= 0)
        return {};
    std::string bytes(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, bytes.data(), length, nullptr, nullptr);
    return bytes;
}

void Log(const std::wstring& text) {
    {
        std::lock_guard<std::mutex> lock(s_logLock);
        // A stream that was never opened reports no error flags, so ask whether it is open too.
        if (s_logFile.is_open() && !s_logFile.fail()) {
            const std::string bytes = Narrow(text);
            s_logFile.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            s_logFile.put('\n');
            s_logFile.flush();
        }
    }
    PostText(kMsgLog, text);
}

void Status(const std::wstring& text) {
    Log(L"== " + text);
    PostText(kMsgStatus, text);
}

void PostStatus(const std::wstring& text) {
    PostText(kMsgStatus, text);
}

void PostProgress(int value) {
    s_post(s_window, kMsgProgress, static_cast<WPARAM>(static_cast<INT_PTR>(value)), 0);
}

void PostDone(bool success, const std::wstring& text) {
    auto copy = std::make_unique<std::wstring>(text);
    // A lost end-of-run message would leave the window busy for good, and a closing window
    // waits for it before it goes: so wait for room in the queue for as long as the window is
    // there. It keeps pumping messages in every state, so room comes.
    while (!Post(kMsgDone, success ? 1 : 0, copy) && IsWindow(s_window))
        Sleep(kDoneRetryMs);
}

std::unique_ptr<std::wstring> TakeText(LPARAM lParam) {
    return std::unique_ptr<std::wstring>(reinterpret_cast<std::wstring*>(lParam));
}

void OpenLog(const fs::path& file) {
    std::lock_guard<std::mutex> lock(s_logLock);
    if (s_logFile.is_open())
        s_logFile.close();
    s_logFile.clear();
    // Text mode: every line feed is stored as CR LF. Append: earlier runs stay.
    s_logFile.open(file, std::ios::out | std::ios::app);
}

void CloseLog() {
    std::lock_guard<std::mutex> lock(s_logLock);
    if (s_logFile.is_open()) {
        s_logFile.flush();
        s_logFile.close();
    }
}

} // namespace setup
