// SHA-256 of downloads, by Windows' own CNG: no hashing code of our own to trust.
#include "setup.h"

#include <bcrypt.h>

#include <algorithm>

namespace setup {

namespace {

constexpr wchar_t kLibrary[] = L"bcrypt.dll";
constexpr ULONG kDigestSize = 32;

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
            Bind(table.OpenAlgorithmProvider, kLibrary, "BCryptOpenAlgorithmProvider") &&
            Bind(table.CloseAlgorithmProvider, kLibrary, "BCryptCloseAlgorithmProvider") &&
            Bind(table.CreateHash, kLibrary, "BCryptCreateHash") &&
            Bind(table.HashData, kLibrary, "BCryptHashData") &&
            Bind(table.FinishHash, kLibrary, "BCryptFinishHash") &&
            Bind(table.DestroyHash, kLibrary, "BCryptDestroyHash");
        return ok ? &table : nullptr;
    }();
    return cng;
}

} // namespace

Sha256::Sha256() {
    const Cng* cng = LoadCng();
    if (!cng)
        return;
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(
            cng->OpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return;
    m_algorithm = algorithm;
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!BCRYPT_SUCCESS(cng->CreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0)))
        return;
    m_hash = hash;
    m_ok = true;
}

Sha256::~Sha256() {
    const Cng* cng = LoadCng();
    if (m_hash)
        cng->DestroyHash(m_hash);
    if (m_algorithm)
        cng->CloseAlgorithmProvider(m_algorithm, 0);
}

bool Sha256::Add(const char* data, size_t size) {
    while (m_ok && size > 0) {
        const ULONG piece = static_cast<ULONG>(std::min<size_t>(size, 1u << 30));
        auto* bytes = reinterpret_cast<PUCHAR>(const_cast<char*>(data));
        m_ok = BCRYPT_SUCCESS(LoadCng()->HashData(m_hash, bytes, piece, 0));
        data += piece;
        size -= piece;
    }
    return m_ok;
}

std::string Sha256::Hex() {
    UCHAR digest[kDigestSize];
    if (!m_ok || !BCRYPT_SUCCESS(LoadCng()->FinishHash(m_hash, digest, kDigestSize, 0)))
        return {};
    m_ok = false; // a finished hash takes no more data
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (UCHAR byte : digest) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    return hex;
}

} // namespace setup
