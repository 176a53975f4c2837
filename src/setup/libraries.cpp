// Windows libraries that are not KnownDLLs, loaded at run time from System32 alone.
//
// Windows takes a DLL named in an import table from the program's own folder first, unless it
// is a KnownDLL. setup.exe is run from Downloads, beside whatever else was downloaded, so a
// winhttp.dll there would run inside Setup before wWinMain. Such DLLs are therefore not imported
// but loaded here, with a search that looks nowhere but System32.
#include "system.h"

#include <cstring>
#include <map>
#include <mutex>

namespace setup {

void* SystemFunction(const wchar_t* library, const char* name) {
    // Each library once, and never unloaded: WinHTTP's own threads may still be finishing a
    // cancelled request when the process ends, and code unmapped under them crashes the exit.
    static std::mutex lock;
    static std::map<std::wstring, HMODULE> loaded;
    std::lock_guard<std::mutex> hold(lock);
    auto it = loaded.find(library);
    if (it == loaded.end())
        it = loaded.emplace(library, LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32))
                 .first;
    if (!it->second)
        return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(it->second, name));
}

bool BindAll(const wchar_t* library, std::initializer_list<Export> exports) {
    for (const Export& entry : exports) {
        void* address = SystemFunction(library, entry.name);
        if (!address)
            return false;
        std::memcpy(entry.slot, &address, sizeof address);
    }
    return true;
}

} // namespace setup
