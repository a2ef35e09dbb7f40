#include "CngSymmetric.h"
#include "CngCrypto.h"

#include <cstring>

namespace
{
    constexpr size_t AES_CBC_MAX_BYTES = 4096;

    bool RunAesCbc(bool fEncrypt, const BYTE (&rgbKey)[AES256_KEY_BYTES], const BYTE (&rgbIv)[AES_BLOCK_BYTES],
                   const BYTE* pbIn, size_t cb, BYTE* pbOut)
    {
        if (cb == 0 || cb % AES_BLOCK_BYTES != 0 || cb > AES_CBC_MAX_BYTES || pbIn == nullptr || pbOut == nullptr)
        {
            return false;
        }
        CCngAlgorithm aes(BCRYPT_AES_ALGORITHM);
        CCngKey key;
        if (aes.Get() == nullptr ||
            !BCRYPT_SUCCESS(BCryptSetProperty(aes.Get(), BCRYPT_CHAINING_MODE,
                                              reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_CBC)),
                                              sizeof(BCRYPT_CHAIN_MODE_CBC), 0)) ||
            !BCRYPT_SUCCESS(BCryptGenerateSymmetricKey(aes.Get(), key.Put(), nullptr, 0, const_cast<PUCHAR>(rgbKey),
                                                       sizeof(rgbKey), 0)))
        {
            return false;
        }
        // CNG writes the last block back into the IV: it gets a copy.
        BYTE rgbChain[AES_BLOCK_BYTES];
        memcpy(rgbChain, rgbIv, sizeof(rgbChain));
        BYTE rgbBuffer[AES_CBC_MAX_BYTES];
        memcpy(rgbBuffer, pbIn, cb);
        ULONG cbDone = 0;
        const NTSTATUS status =
            fEncrypt ? BCryptEncrypt(key.Get(), rgbBuffer, static_cast<ULONG>(cb), nullptr, rgbChain, sizeof(rgbChain),
                                     rgbBuffer, static_cast<ULONG>(cb), &cbDone, 0)
                     : BCryptDecrypt(key.Get(), rgbBuffer, static_cast<ULONG>(cb), nullptr, rgbChain, sizeof(rgbChain),
                                     rgbBuffer, static_cast<ULONG>(cb), &cbDone, 0);
        const bool fDone = BCRYPT_SUCCESS(status) && cbDone == cb;
        if (fDone)
        {
            memcpy(pbOut, rgbBuffer, cb);
        }
        SecureZeroMemory(rgbBuffer, cb);
        SecureZeroMemory(rgbChain, sizeof(rgbChain));
        return fDone;
    }
}

bool HmacSha256(const BYTE* pbKey, size_t cbKey, const BYTE* pbFirst, size_t cbFirst, const BYTE* pbSecond,
                size_t cbSecond, BYTE (&rgbMac)[SHA256_DIGEST_BYTES])
{
    if (pbKey == nullptr || cbKey == 0 || cbKey > 0xFFFFFFFFu)
    {
        return false;
    }
    CCngAlgorithm hmac(BCRYPT_SHA256_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG);
    CCngHash hash;
    return hmac.Get() != nullptr &&
           BCRYPT_SUCCESS(BCryptCreateHash(hmac.Get(), hash.Put(), nullptr, 0, const_cast<PUCHAR>(pbKey),
                                           static_cast<ULONG>(cbKey), 0)) &&
           HashPiece(hash.Get(), pbFirst, cbFirst) && HashPiece(hash.Get(), pbSecond, cbSecond) &&
           BCRYPT_SUCCESS(BCryptFinishHash(hash.Get(), rgbMac, sizeof(rgbMac), 0));
}

bool HkdfSha256(const BYTE* pbSalt, size_t cbSalt, const BYTE* pbKeyMaterial, size_t cbKeyMaterial, const BYTE* pbInfo,
                size_t cbInfo, BYTE (&rgbKey)[SHA256_DIGEST_BYTES])
{
    // An empty salt is a block of zeros, as for HMAC keys.
    const BYTE rgbZeroSalt[SHA256_DIGEST_BYTES] = {};
    if (pbSalt == nullptr || cbSalt == 0)
    {
        pbSalt = rgbZeroSalt;
        cbSalt = sizeof(rgbZeroSalt);
    }
    BYTE rgbPseudoRandomKey[SHA256_DIGEST_BYTES];
    const BYTE counter = 0x01;
    const bool fDone = HmacSha256(pbSalt, cbSalt, pbKeyMaterial, cbKeyMaterial, nullptr, 0, rgbPseudoRandomKey);
    bool fExpanded = false;
    if (fDone)
    {
        // T(1) = HMAC(PRK, info || 0x01): one block is all the protocols need. The info and
        // the counter are hashed as one piece after the other.
        CCngAlgorithm hmac(BCRYPT_SHA256_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG);
        CCngHash hash;
        fExpanded = hmac.Get() != nullptr &&
                    BCRYPT_SUCCESS(BCryptCreateHash(hmac.Get(), hash.Put(), nullptr, 0, rgbPseudoRandomKey,
                                                    sizeof(rgbPseudoRandomKey), 0)) &&
                    HashPiece(hash.Get(), pbInfo, cbInfo) && HashPiece(hash.Get(), &counter, 1) &&
                    BCRYPT_SUCCESS(BCryptFinishHash(hash.Get(), rgbKey, sizeof(rgbKey), 0));
    }
    SecureZeroMemory(rgbPseudoRandomKey, sizeof(rgbPseudoRandomKey));
    return fExpanded;
}

bool Aes256CbcEncrypt(const BYTE (&rgbKey)[AES256_KEY_BYTES], const BYTE (&rgbIv)[AES_BLOCK_BYTES], const BYTE* pbIn,
                      size_t cb, BYTE* pbOut)
{
    return RunAesCbc(true, rgbKey, rgbIv, pbIn, cb, pbOut);
}

bool Aes256CbcDecrypt(const BYTE (&rgbKey)[AES256_KEY_BYTES], const BYTE (&rgbIv)[AES_BLOCK_BYTES], const BYTE* pbIn,
                      size_t cb, BYTE* pbOut)
{
    return RunAesCbc(false, rgbKey, rgbIv, pbIn, cb, pbOut);
}
