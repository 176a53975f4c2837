// SHA-256 and SHA-512 of downloads, by Windows' own CNG: no hashing code of our own to trust.
#include "system.h"

#include <bcrypt.h>

#include <algorithm>
#include <vector>

namespace setup {

namespace {

constexpr wchar_t kLibrary[] = L"bcrypt.dll";
constexpr ULONG kLargestDigest = 64;

struct Algorithm {
    const wchar_t* cng;
    const wchar_t* name;
    ULONG size;
};

Algorithm Describe(Digest::Algorithm algorithm) {
    return algorithm == Digest::kSha512 ? Algorithm{BCRYPT_SHA512_ALGORITHM, L"SHA-512", 64}
                                        : Algorithm{BCRYPT_SHA256_ALGORITHM, L"SHA-256", 32};
}

struct Cng {
    decltype(&::BCryptOpenAlgorithmProvider) OpenAlgorithmProvider;
    decltype(&::BCryptCloseAlgorithmProvider) CloseAlgorithmProvider;
    decltype(&::BCryptCreateHash) CreateHash;
    decltype(&::BCryptHashData) HashData;
    decltype(&::BCryptFinishHash) FinishHash;
    decltype(&::BCryptDestroyHash) DestroyHash;
};

// bcrypt.dll is no KnownDLL, so it comes from System32 like winhttp.dll; null without it.
const Cng* LoadCng() {
    static const Cng* const cng = []() -> const Cng* {
        static Cng table;
        const bool ok =
            BindAll(kLibrary, {{table.OpenAlgorithmProvider, "BCryptOpenAlgorithmProvider"},
                               {table.CloseAlgorithmProvider, "BCryptCloseAlgorithmProvider"},
                               {table.CreateHash, "BCryptCreateHash"},
                               {table.HashData, "BCryptHashData"},
                               {table.FinishHash, "BCryptFinishHash"},
                               {table.DestroyHash, "BCryptDestroyHash"}});
        return ok ? &table : nullptr;
    }();
    return cng;
}

} // namespace

const wchar_t* AlgorithmName(Digest::Algorithm algorithm) {
    return Describe(algorithm).name;
}

void Hash::CloseAlgorithm(void* algorithm) {
    LoadCng()->CloseAlgorithmProvider(algorithm, 0);
}

void Hash::DestroyHash(void* hash) {
    LoadCng()->DestroyHash(hash);
}

Hash::Hash(Digest::Algorithm kind) : m_size(Describe(kind).size) {
    const Cng* cng = LoadCng();
    if (!cng)
        return;
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(cng->OpenAlgorithmProvider(&algorithm, Describe(kind).cng, nullptr, 0)))
        return;
    m_algorithm.reset(algorithm);
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!BCRYPT_SUCCESS(cng->CreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0)))
        return;
    m_hash.reset(hash);
    m_ok = true;
}

Hash::~Hash() = default;

bool Hash::Add(const char* data, size_t size) {
    while (m_ok && size > 0) {
        const ULONG piece = static_cast<ULONG>(std::min<size_t>(size, 1u << 30));
        auto* bytes = reinterpret_cast<PUCHAR>(const_cast<char*>(data));
        m_ok = BCRYPT_SUCCESS(LoadCng()->HashData(m_hash.get(), bytes, piece, 0));
        data += piece;
        size -= piece;
    }
    return m_ok;
}

bool Hash::AddFile(HANDLE file, ULONGLONG limit, ULONGLONG& added) {
    std::vector<char> block(1 << 20);
    while (added < limit) {
        const ULONGLONG want = std::min<ULONGLONG>(block.size(), limit - added);
        DWORD got = 0;
        if (!ReadFile(file, block.data(), static_cast<DWORD>(want), &got, nullptr))
            return false;
        if (got == 0)
            return limit == ~0ull; // the end, and no more was asked for than there was
        if (!Add(block.data(), got))
            return false;
        added += got;
    }
    return true;
}

std::string Hash::Hex() {
    UCHAR digest[kLargestDigest];
    if (!m_ok || !BCRYPT_SUCCESS(LoadCng()->FinishHash(m_hash.get(), digest, m_size, 0)))
        return {};
    m_ok = false; // a finished hash takes no more data
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (ULONG i = 0; i < m_size; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 15];
    }
    return hex;
}

} // namespace setup
