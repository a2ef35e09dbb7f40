#include "CngCrypto.h"

#include <cstring>

bool HashPiece(BCRYPT_HASH_HANDLE hHash, const BYTE* pb, size_t cb)
{
    while (cb > 0)
    {
        const ULONG cbChunk = cb > 0x10000000 ? 0x10000000 : static_cast<ULONG>(cb);
        if (!BCRYPT_SUCCESS(BCryptHashData(hHash, const_cast<BYTE*>(pb), cbChunk, 0)))
        {
            return false;
        }
        pb += cbChunk;
        cb -= cbChunk;
    }
    return true;
}

bool Sha256Cng(const BYTE* pbFirst, size_t cbFirst, const BYTE* pbSecond, size_t cbSecond, BYTE (&rgbDigest)[32])
{
    CCngAlgorithm sha256(BCRYPT_SHA256_ALGORITHM);
    CCngHash hash;
    return sha256.Get() != nullptr &&
           BCRYPT_SUCCESS(BCryptCreateHash(sha256.Get(), hash.Put(), nullptr, 0, nullptr, 0, 0)) &&
           HashPiece(hash.Get(), pbFirst, cbFirst) && HashPiece(hash.Get(), pbSecond, cbSecond) &&
           BCRYPT_SUCCESS(BCryptFinishHash(hash.Get(), rgbDigest, sizeof(rgbDigest), 0));
}

Es256Verification VerifyEs256(const BYTE (&rgbPublicKey)[P256_POINT_BYTES], const BYTE (&rgbDigest)[32],
                              const BYTE (&rgbSignature)[2 * P256_SCALAR_BYTES])
{
    if (rgbPublicKey[0] != 0x04)
    {
        return Es256Verification::KeyUnusable;
    }
    CCngAlgorithm ecdsa(BCRYPT_ECDSA_P256_ALGORITHM);
    if (ecdsa.Get() == nullptr)
    {
        return Es256Verification::KeyUnusable;
    }
    BYTE rgbBlob[sizeof(BCRYPT_ECCKEY_BLOB) + 2 * P256_SCALAR_BYTES] = {};
    auto* pHeader = reinterpret_cast<BCRYPT_ECCKEY_BLOB*>(rgbBlob);
    pHeader->dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    pHeader->cbKey = P256_SCALAR_BYTES;
    memcpy(rgbBlob + sizeof(BCRYPT_ECCKEY_BLOB), rgbPublicKey + 1, 2 * P256_SCALAR_BYTES);
    CCngKey key;
    if (!BCRYPT_SUCCESS(BCryptImportKeyPair(ecdsa.Get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.Put(), rgbBlob,
                                            sizeof(rgbBlob), 0)))
    {
        return Es256Verification::KeyUnusable;
    }
    return BCRYPT_SUCCESS(BCryptVerifySignature(key.Get(), nullptr, const_cast<BYTE*>(rgbDigest), sizeof(rgbDigest),
                                                const_cast<BYTE*>(rgbSignature), sizeof(rgbSignature), 0))
               ? Es256Verification::Valid
               : Es256Verification::Invalid;
}
