// The Windows basics every part of Setup stands on: owners for what Windows hands out, text
// conversion, the worker's failure, and the limits and names the whole program shares.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <objbase.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

namespace setup {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------------------------
// Ownership

template <typename T> bool NotNull(T value) {
    return value != T{};
}
// Both "no handle" values of the Win32 API count as empty.
inline bool ValidHandle(HANDLE handle) {
    return handle && handle != INVALID_HANDLE_VALUE;
}
inline void CloseKernelHandle(HANDLE handle) {
    CloseHandle(handle);
}
template <typename T> void DeleteGdiObject(T object) {
    DeleteObject(object);
}
inline void DestroyIconHandle(HICON icon) {
    DestroyIcon(icon);
}
inline void FreeLocal(void* memory) {
    LocalFree(memory);
}
inline void FreeCoTaskMem(void* memory) {
    CoTaskMemFree(memory);
}
inline void ReleaseScreenDc(HDC dc) {
    ReleaseDC(nullptr, dc);
}
inline void EndCom(bool) {
    CoUninitialize();
}

// Move-only owner of one thing Windows hands out, released by Close on every path. Empty is
// whatever Valid says isn't one; the owner starts and ends empty as nullptr.
template <typename T, void (*Close)(T), bool (*Valid)(T) = NotNull<T>> class Unique {
  public:
    Unique() = default;
    explicit Unique(T value) : m_value(value) {}
    Unique(Unique&& other) noexcept : m_value(other.release()) {}
    Unique& operator=(Unique&& other) noexcept {
        reset(other.release());
        return *this;
    }
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    ~Unique() { reset(); }

    T get() const { return m_value; }
    explicit operator bool() const { return Valid(m_value); }
    T release() { return std::exchange(m_value, T{}); }
    void reset(T value = T{}) {
        if (Valid(m_value))
            Close(m_value);
        m_value = value;
    }

  private:
    T m_value{};
};

using UniqueHandle = Unique<HANDLE, CloseKernelHandle, ValidHandle>;
template <typename T> using UniqueGdi = Unique<T, DeleteGdiObject<T>>; // fonts, brushes
using UniqueIcon = Unique<HICON, DestroyIconHandle>;
using UniqueLocal = Unique<void*, FreeLocal>;         // memory Windows allocated with LocalAlloc
using UniqueCoTaskMem = Unique<void*, FreeCoTaskMem>; // memory COM handed out
using UniqueScreenDc = Unique<HDC, ReleaseScreenDc>;  // GetDC(nullptr)
// COM on this thread, when CoInitializeEx took (S_FALSE too: every success is undone once).
using UniqueComInit = Unique<bool, EndCom>;
inline UniqueComInit InitCom(DWORD model) {
    return UniqueComInit(SUCCEEDED(CoInitializeEx(nullptr, model)));
}

// Move-only owner of one COM interface pointer, with the same interface.
template <typename T> class UniqueCom {
  public:
    UniqueCom() = default;
    UniqueCom(UniqueCom&& other) noexcept : m_object(other.release()) {}
    UniqueCom& operator=(UniqueCom&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueCom(const UniqueCom&) = delete;
    UniqueCom& operator=(const UniqueCom&) = delete;
    ~UniqueCom() { reset(); }

    T* get() const { return m_object; }
    T* operator->() const { return m_object; }
    explicit operator bool() const { return m_object != nullptr; }
    T* release() { return std::exchange(m_object, nullptr); }
    void reset(T* object = nullptr) {
        if (m_object)
            m_object->Release();
        m_object = object;
    }
    T** put() { // only on an empty owner
        reset();
        return &m_object;
    }
    void** putVoid() { return reinterpret_cast<void**>(put()); }

  private:
    T* m_object = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Text, limits and names

std::wstring Widen(std::string_view bytes, bool* utf8 = nullptr); // utf8: they were UTF-8
std::string Narrow(const std::wstring& text);                     // UTF-8, for setup.log
// A size as people read it: "1.5 GB", "120 MB"; in megabytes alone where sizes are compared,
// as in "120 MB of 512 MB". Units are powers of two; megabytes are rounded to nearest.
enum class SizeUnits { Fitting, Megabytes };
std::wstring SizeText(ULONGLONG bytes, SizeUnits units = SizeUnits::Fitting);
// The system's own sentence for a Win32 error, and its number: "Access is denied. (5)"; a
// message box for the user leaves the number out.
std::wstring ErrorText(DWORD error, bool withNumber = true);

// The longest path, or PATH, Windows takes: with the manifest's longPathAware, paths may be
// longer than MAX_PATH.
constexpr DWORD kLongPath = 32768;
// What a Win32 call writes into a buffer of kLongPath characters, given the buffer and its size
// and answering the length; empty when the call fails or the text doesn't fit.
template <typename Call> std::wstring LongText(Call call) {
    std::wstring text(kLongPath, L'\0');
    const DWORD length = call(text.data(), kLongPath);
    text.resize(length < kLongPath ? length : 0);
    return text;
}

// Whether path lies below folder, as paths are spelt (no link is followed; case is ignored, as
// Windows ignores it).
bool IsInside(const fs::path& path, const fs::path& folder);

constexpr wchar_t kCaption[] = L"Ironvale Recompiled Setup";

// The worker's failure: a whole sentence for the user. Deliberately not a std::exception, so
// the handler for unexpected errors never swallows it.
struct Failed {
    std::wstring message;
};

[[noreturn]] void Fail(const std::wstring& message);

} // namespace setup
