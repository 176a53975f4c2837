// The part a download grows in.
#include "partfile.h"

namespace setup {

ULONGLONG PartFile::Size() const {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(m_part.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool PartFile::HashInto(Hash& hash, ULONGLONG size) const {
    const UniqueHandle in(CreateFileW(m_part.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    ULONGLONG added = 0;
    return size == 0 || (in && hash.AddFile(in.get(), size, added) && added == size);
}

// Written unbuffered: a killed Setup leaves every byte it received for the next run, a full disk
// fails the write it happens in, and nothing is copied twice on the way.
DWORD PartFile::Open(bool fresh) {
    m_out.reset(); // an attempt that failed may have left it open, and it shares no writing
    m_out.reset(CreateFileW(m_part.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            fresh ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER end{};
    if (!m_out || !SetFilePointerEx(m_out.get(), end, nullptr, FILE_END))
        return GetLastError();
    return 0;
}

DWORD PartFile::Append(const char* data, DWORD size) {
    while (size > 0) {
        DWORD wrote = 0;
        if (!WriteFile(m_out.get(), data, size, &wrote, nullptr))
            return GetLastError();
        if (wrote == 0)
            return ERROR_WRITE_FAULT;
        data += wrote;
        size -= wrote;
    }
    return 0;
}

void PartFile::Drop() {
    m_out.reset();
    Remove(m_part);
}

DWORD PartFile::TakeName() {
    m_out.reset();
    return Move(m_part, m_file, true) ? 0 : GetLastError();
}

} // namespace setup
