#pragma once
// Small owners of CNG handles and the hashing and signature checks the proof of
// possession needs. All cryptography of the product comes from CNG.
#include <windows.h>
#include <bcrypt.h>

#include <cstddef>

class CCngAlgorithm
{
public:
    explicit CCngAlgorithm(const wchar_t* pszAlgorithm, ULONG dwFlags = 0)
    {
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&_hAlgorithm, pszAlgorithm, nullptr, dwFlags)))
        {
            _hAlgorithm = nullptr;
        }
    }
    ~CCngAlgorithm()
    {
        if (_hAlgorithm != nullptr) BCryptCloseAlgorithmProvider(_hAlgorithm, 0);
    }
    CCngAlgorithm(const CCngAlgorithm&) = delete;
    CCngAlgorithm& operator=(const CCngAlgorithm&) = delete;
    BCRYPT_ALG_HANDLE Get() const { return _hAlgorithm; }

private:
    BCRYPT_ALG_HANDLE _hAlgorithm = nullptr;
};

class CCngHash
{
public:
    CCngHash() = default;
    ~CCngHash()
    {
        if (_hHash != nullptr) BCryptDestroyHash(_hHash);
    }
    CCngHash(const CCngHash&) = delete;
    CCngHash& operator=(const CCngHash&) = delete;
    BCRYPT_HASH_HANDLE* Put() { return &_hHash; }
    BCRYPT_HASH_HANDLE Get() const { return _hHash; }

private:
    BCRYPT_HASH_HANDLE _hHash = nullptr;
};

class CCngKey
{
public:
    CCngKey() = default;
    ~CCngKey()
    {
        if (_hKey != nullptr) BCryptDestroyKey(_hKey);
    }
    CCngKey(const CCngKey&) = delete;
    CCngKey& operator=(const CCngKey&) = delete;
    BCRYPT_KEY_HANDLE* Put() { return &_hKey; }
    BCRYPT_KEY_HANDLE Get() const { return _hKey; }

private:
    BCRYPT_KEY_HANDLE _hKey = nullptr;
};

// Feeds any length to a hash, in pieces CNG takes.
bool HashPiece(BCRYPT_HASH_HANDLE hHash, const BYTE* pb, size_t cb);

// SHA-256 of two pieces one after the other.
bool Sha256Cng(const BYTE* pbFirst, size_t cbFirst, const BYTE* pbSecond, size_t cbSecond, BYTE (&rgbDigest)[32]);

enum class Es256Verification
{
    Valid,
    KeyUnusable, // not an uncompressed P-256 point CNG takes
    Invalid,
};

constexpr size_t P256_POINT_BYTES = 65;  // 04 || X || Y
constexpr size_t P256_SCALAR_BYTES = 32;

// ECDSA P-256 over a SHA-256 digest: the key 04 || X || Y, the signature r || s.
Es256Verification VerifyEs256(const BYTE (&rgbPublicKey)[P256_POINT_BYTES], const BYTE (&rgbDigest)[32],
                              const BYTE (&rgbSignature)[2 * P256_SCALAR_BYTES]);
