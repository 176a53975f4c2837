// The part a download grows in, beside the file it becomes: continued by the next attempt or
// the next run, and given the file's name only once it is whole and checked.
#pragma once

#include "system.h"

namespace setup {

class PartFile {
  public:
    PartFile() = default;
    explicit PartFile(const fs::path& file) : m_file(file), m_part(file.native() + L".part") {}

    const fs::path& path() const { return m_part; }
    ULONGLONG Size() const; // 0 when there is none
    // Feeds the part's first `size` bytes to hash; false when they can't all be read.
    bool HashInto(Hash& hash, ULONGLONG size) const;
    // Opens the part for writing at its end, or anew when fresh; 0, or why not.
    DWORD Open(bool fresh);
    // Writes the whole block; 0, or why not. A drive that fills up takes part of a block first,
    // and only the write after says it is full.
    DWORD Append(const char* data, DWORD size);
    void Close() { m_out.reset(); }
    void Drop();
    // The part becomes the file, replacing any file of that name; 0, or why not.
    DWORD TakeName();

  private:
    fs::path m_file;
    fs::path m_part;
    UniqueHandle m_out;
};

} // namespace setup
