// Text conversion and the worker's failure.
#include "basics.h"

#include <climits>
#include <cwchar>

namespace setup {

namespace {

int ClampedSize(size_t size) {
    return size > INT_MAX ? INT_MAX : static_cast<int>(size);
}

} // namespace

void Fail(const std::wstring& message) {
    throw Failed{message};
}

std::wstring Widen(std::string_view bytes, bool* utf8) {
    if (utf8)
        *utf8 = true;
    if (bytes.empty())
        return {};
    const int size = ClampedSize(bytes.size());
    int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
    UINT codePage = CP_UTF8;
    DWORD flags = MB_ERR_INVALID_CHARS;
    if (length <= 0) {
        // Not UTF-8: tools that write in the ANSI code page still read correctly.
        if (utf8)
            *utf8 = false;
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

std::wstring SizeText(ULONGLONG bytes, SizeUnits units) {
    wchar_t text[32];
    if (bytes >= (1ull << 30) && units == SizeUnits::Fitting)
        std::swprintf(text, 32, L"%.1f GB", static_cast<double>(bytes) / (1ull << 30));
    else
        std::swprintf(text, 32, L"%.0f MB", static_cast<double>(bytes) / (1ull << 20));
    return text;
}

std::wstring ErrorText(DWORD error, bool withNumber) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    const UniqueLocal owned(text);
    std::wstring sentence =
        length ? std::wstring(text, length) : L"error " + std::to_wstring(error);
    while (!sentence.empty() &&
           (sentence.back() == L'\n' || sentence.back() == L'\r' || sentence.back() == L' '))
        sentence.pop_back();
    if (withNumber && length)
        sentence += L" (" + std::to_wstring(error) + L")";
    return sentence;
}

bool IsInside(const fs::path& path, const fs::path& folder) {
    const std::wstring inner = path.lexically_normal().native();
    std::wstring outer = folder.lexically_normal().native();
    if (!outer.empty() && outer.back() != L'\\')
        outer += L'\\';
    return inner.size() > outer.size() &&
           CompareStringOrdinal(inner.c_str(), static_cast<int>(outer.size()), outer.c_str(),
                                static_cast<int>(outer.size()), TRUE) == CSTR_EQUAL;
}

} // namespace setup
