#pragma once
// CNG checks of what a virtual key signs, for tests of the virtual keys themselves.
#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <vector>

inline std::vector<BYTE> TestSha256(const std::vector<BYTE>& data)
{
    std::vector<BYTE> digest(32);
    BCRYPT_ALG_HANDLE alg = nullptr;
    if (BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) return std::vector<BYTE>();
    const bool hashed = BCryptHash(alg, nullptr, 0, const_cast<PUCHAR>(data.data()), static_cast<ULONG>(data.size()), digest.data(), 32) == 0;
    BCryptCloseAlgorithmProvider(alg, 0);
    return hashed ? digest : std::vector<BYTE>();
}

// Whether r || s signs SHA-256(message) for the public key 04 || X || Y.
inline bool TestVerifies(const BYTE* publicKey, const std::vector<BYTE>& message, const BYTE* signature)
{
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_KEY_HANDLE key = nullptr;
    BYTE blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64];
    const BCRYPT_ECCKEY_BLOB header = { BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32 };
    memcpy(blob, &header, sizeof(header));
    memcpy(blob + sizeof(header), publicKey + 1, 64);
    std::vector<BYTE> digest = TestSha256(message);
    const bool verified = digest.size() == 32 && BCryptOpenAlgorithmProvider(&alg, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) == 0 &&
                          BCryptImportKeyPair(alg, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob, sizeof(blob), 0) == 0 &&
                          BCryptVerifySignature(key, nullptr, digest.data(), 32, const_cast<PUCHAR>(signature), 64, 0) == 0;
    if (key != nullptr) BCryptDestroyKey(key);
    if (alg != nullptr) BCryptCloseAlgorithmProvider(alg, 0);
    return verified;
}
