// Windows libraries that are not KnownDLLs, loaded at run time from System32 alone.
//
// Windows takes a DLL named in an import table from the program's own folder first, unless it
// is a KnownDLL. setup.exe is run from Downloads, beside whatever else was downloaded, so a
// winhttp.dll there would run inside Setup before wWinMain. Such DLLs are therefore not imported
// but loaded here, with a search that looks nowhere but System32.
#include "setup.h"

#include <map>

namespace setup {

namespace {

// Move-only owner of a loaded module.
class UniqueModule {
  public:
    explicit UniqueModule(HMODULE module) : m_module(module) {}
    UniqueModule(const UniqueModule&) = delete;
    UniqueModule& operator=(const UniqueModule&) = delete;
    ~UniqueModule() {
        if (m_module)
            FreeLibrary(m_module);
    }
    HMODULE get() const { return m_module; }

  private:
    HMODULE m_module;
};

} // namespace

void* SystemFunction(const wchar_t* library, const char* name) {
    // Each library once, kept until the process ends: a function handed out stays valid.
    static std::mutex lock;
    static std::map<std::wstring, UniqueModule> loaded;
    std::lock_guard<std::mutex> hold(lock);
    auto it = loaded.find(library);
    if (it == loaded.end())
        it = loaded
                 .try_emplace(library,
                              LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32))
                 .first;
    if (!it->second.get())
        return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(it->second.get(), name));
}

} // namespace setup
