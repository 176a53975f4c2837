// System libraries, hashing and deleting: what the layers above take from Windows itself.
#pragma once

#include "basics.h"

#include <initializer_list>
#include <string>

namespace setup {

// An export of a DLL in System32, never of one beside setup.exe; null when either is missing.
void* SystemFunction(const wchar_t* library, const char* name);

// One entry of a table of functions bound at run time: where the address goes, and the name.
struct Export {
    template <typename Function>
    Export(Function& function, const char* exportName) : slot(&function), name(exportName) {
        static_assert(sizeof(Function) == sizeof(void*), "a function pointer");
    }
    void* slot; // a function pointer's own address
    const char* name;
};
// Binds every entry from the library in System32; false unless all of them are there.
bool BindAll(const wchar_t* library, std::initializer_list<Export> exports);

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
    // What the file reads from where it stands, up to limit bytes or its end; false when it
    // can't be read or hashed. added counts what was taken in.
    bool AddFile(HANDLE file, ULONGLONG limit, ULONGLONG& added);
    std::string Hex(); // lowercase; ends the hash

  private:
    // CNG's handles, BCRYPT_ALG_HANDLE and BCRYPT_HASH_HANDLE, kept without bcrypt.h here.
    static void CloseAlgorithm(void* algorithm);
    static void DestroyHash(void* hash);
    Unique<void*, CloseAlgorithm> m_algorithm;
    Unique<void*, DestroyHash> m_hash; // made from m_algorithm: declared after it, so gone first
    ULONG m_size = 0;
    bool m_ok = false;
};

// Deletes a file, or a folder with everything in it; true when nothing of it is left. A file
// held by another program is retried for about five seconds. Read-only files go too, unless
// clearReadOnly is false (the user's own file keeps its protection).
bool Remove(const fs::path& path, bool clearReadOnly = true);
// Renames a file or folder, replacing a file of the new name when asked; a file held by another
// program is retried as Remove retries it. False, with GetLastError's answer, when it can't.
bool Move(const fs::path& from, const fs::path& to, bool replace);

} // namespace setup
