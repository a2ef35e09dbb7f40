#include "PinUvAuthProtocol.h"
#include "CngCrypto.h"
#include "CngKeyAgreement.h"
#include "CngSymmetric.h"
#include "RandomBytes.h"

#include <cstring>

namespace
{
    constexpr BYTE HMAC_KEY_INFO[] = "CTAP2 HMAC key";
    constexpr BYTE AES_KEY_INFO[] = "CTAP2 AES key";
    constexpr size_t PROTOCOL_1_SECRET_BYTES = 32;
    constexpr size_t PROTOCOL_2_SECRET_BYTES = 64;
    constexpr size_t CIPHER_MAX_BYTES = 256;

    bool IsKnownProtocol(uint8_t protocol)
    {
        return protocol == 1 || protocol == 2;
    }
}

bool CPinUvAuthProtocol::Encapsulate(const CTAP_KEY_AGREEMENT& keyAgreement, CTAP_KEY_AGREEMENT* pPlatformKey)
{
    CEcdhP256KeyPair platform;
    BYTE rgbZ[CTAP_P256_COORDINATE_BYTES];
    CTAP_KEY_AGREEMENT platformKey;
    const bool fAgreed = IsKnownProtocol(_protocol) && platform.Generate() &&
                         platform.ExportPublicKey(platformKey.rgbX, platformKey.rgbY) &&
                         platform.AgreeSecret(keyAgreement.rgbX, keyAgreement.rgbY, rgbZ);
    const bool fDerived = fAgreed && DeriveSharedSecret(rgbZ);
    SecureZeroMemory(rgbZ, sizeof(rgbZ));
    if (fDerived)
    {
        *pPlatformKey = platformKey;
    }
    return fDerived;
}

bool CPinUvAuthProtocol::DeriveSharedSecret(const BYTE (&rgbZ)[CTAP_P256_COORDINATE_BYTES])
{
    _fSecret = false;
    SecureZeroMemory(_rgbSecret, sizeof(_rgbSecret));
    bool fDerived = false;
    if (_protocol == 1)
    {
        BYTE (&rgbKey)[SHA256_DIGEST_BYTES] = *reinterpret_cast<BYTE(*)[SHA256_DIGEST_BYTES]>(_rgbSecret);
        fDerived = Sha256Cng(rgbZ, sizeof(rgbZ), nullptr, 0, rgbKey);
    }
    else if (_protocol == 2)
    {
        // HMAC key, then AES key, both with a salt of 32 zero bytes.
        const BYTE rgbSalt[SHA256_DIGEST_BYTES] = {};
        BYTE (&rgbHmacKey)[SHA256_DIGEST_BYTES] = *reinterpret_cast<BYTE(*)[SHA256_DIGEST_BYTES]>(_rgbSecret);
        BYTE (&rgbAesKey)[SHA256_DIGEST_BYTES] =
            *reinterpret_cast<BYTE(*)[SHA256_DIGEST_BYTES]>(_rgbSecret + SHA256_DIGEST_BYTES);
        fDerived = HkdfSha256(rgbSalt, sizeof(rgbSalt), rgbZ, sizeof(rgbZ), HMAC_KEY_INFO, sizeof(HMAC_KEY_INFO) - 1,
                              rgbHmacKey) &&
                   HkdfSha256(rgbSalt, sizeof(rgbSalt), rgbZ, sizeof(rgbZ), AES_KEY_INFO, sizeof(AES_KEY_INFO) - 1,
                              rgbAesKey);
    }
    if (!fDerived)
    {
        SecureZeroMemory(_rgbSecret, sizeof(_rgbSecret));
    }
    _fSecret = fDerived;
    return fDerived;
}

size_t CPinUvAuthProtocol::Encrypt(const BYTE* pbPlain, size_t cbPlain, BYTE* pbOut, size_t cbOut) const
{
    const size_t cbIv = _protocol == 2 ? AES_BLOCK_BYTES : 0;
    if (!_fSecret || pbPlain == nullptr || pbOut == nullptr || cbPlain == 0 || cbPlain % AES_BLOCK_BYTES != 0 ||
        cbPlain > CIPHER_MAX_BYTES || cbOut < cbIv + cbPlain)
    {
        return 0;
    }
    const BYTE (&rgbAesKey)[AES256_KEY_BYTES] =
        *reinterpret_cast<const BYTE(*)[AES256_KEY_BYTES]>(_protocol == 2 ? _rgbSecret + SHA256_DIGEST_BYTES : _rgbSecret);
    BYTE rgbIv[AES_BLOCK_BYTES] = {};
    if (cbIv != 0 && !FillRandomBytes(rgbIv, sizeof(rgbIv)))
    {
        return 0;
    }
    if (!Aes256CbcEncrypt(rgbAesKey, rgbIv, pbPlain, cbPlain, pbOut + cbIv))
    {
        SecureZeroMemory(pbOut, cbOut);
        return 0;
    }
    memcpy(pbOut, rgbIv, cbIv);
    return cbIv + cbPlain;
}

size_t CPinUvAuthProtocol::Decrypt(const BYTE* pbCipher, size_t cbCipher, BYTE* pbOut, size_t cbOut) const
{
    const size_t cbIv = _protocol == 2 ? AES_BLOCK_BYTES : 0;
    if (!_fSecret || pbCipher == nullptr || pbOut == nullptr || cbCipher <= cbIv ||
        (cbCipher - cbIv) % AES_BLOCK_BYTES != 0 || cbCipher - cbIv > CIPHER_MAX_BYTES || cbOut < cbCipher - cbIv)
    {
        return 0;
    }
    const BYTE (&rgbAesKey)[AES256_KEY_BYTES] =
        *reinterpret_cast<const BYTE(*)[AES256_KEY_BYTES]>(_protocol == 2 ? _rgbSecret + SHA256_DIGEST_BYTES : _rgbSecret);
    BYTE rgbIv[AES_BLOCK_BYTES] = {};
    memcpy(rgbIv, pbCipher, cbIv);
    if (!Aes256CbcDecrypt(rgbAesKey, rgbIv, pbCipher + cbIv, cbCipher - cbIv, pbOut))
    {
        SecureZeroMemory(pbOut, cbOut);
        return 0;
    }
    return cbCipher - cbIv;
}

size_t AuthenticatePinUv(uint8_t protocol, const BYTE* pbKey, size_t cbKey, const BYTE* pbMessage, size_t cbMessage,
                         BYTE (&rgbParam)[PIN_UV_AUTH_PARAM_MAX_BYTES])
{
    if (!IsKnownProtocol(protocol) || pbKey == nullptr || cbKey == 0)
    {
        return 0;
    }
    // Under protocol 2 a longer key is the shared secret, whose first half is the HMAC key.
    if (protocol == 2 && cbKey > SHA256_DIGEST_BYTES)
    {
        cbKey = SHA256_DIGEST_BYTES;
    }
    BYTE rgbMac[SHA256_DIGEST_BYTES];
    if (!HmacSha256(pbKey, cbKey, pbMessage, cbMessage, nullptr, 0, rgbMac))
    {
        return 0;
    }
    const size_t cbParam = protocol == 1 ? 16 : SHA256_DIGEST_BYTES;
    memcpy(rgbParam, rgbMac, cbParam);
    SecureZeroMemory(rgbMac, sizeof(rgbMac));
    return cbParam;
}
