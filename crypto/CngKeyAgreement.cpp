#include "CngKeyAgreement.h"

#include <cstring>

namespace
{
    class CCngSecret
    {
    public:
        CCngSecret() = default;
        ~CCngSecret()
        {
            if (_hSecret != nullptr) BCryptDestroySecret(_hSecret);
        }
        CCngSecret(const CCngSecret&) = delete;
        CCngSecret& operator=(const CCngSecret&) = delete;
        BCRYPT_SECRET_HANDLE* Put() { return &_hSecret; }
        BCRYPT_SECRET_HANDLE Get() const { return _hSecret; }

    private:
        BCRYPT_SECRET_HANDLE _hSecret = nullptr;
    };

    struct ECC_PUBLIC_BLOB
    {
        BCRYPT_ECCKEY_BLOB header;
        BYTE rgbX[P256_COORDINATE_BYTES];
        BYTE rgbY[P256_COORDINATE_BYTES];
    };
}

CEcdhP256KeyPair::CEcdhP256KeyPair() : _algorithm(BCRYPT_ECDH_P256_ALGORITHM)
{
}

bool CEcdhP256KeyPair::Generate()
{
    return _algorithm.Get() != nullptr && _key.Get() == nullptr &&
           BCRYPT_SUCCESS(BCryptGenerateKeyPair(_algorithm.Get(), _key.Put(), 256, 0)) &&
           BCRYPT_SUCCESS(BCryptFinalizeKeyPair(_key.Get(), 0));
}

bool CEcdhP256KeyPair::Import(const BYTE (&rgbD)[P256_SCALAR_BYTES], const BYTE (&rgbX)[P256_COORDINATE_BYTES],
                              const BYTE (&rgbY)[P256_COORDINATE_BYTES])
{
    struct
    {
        ECC_PUBLIC_BLOB pub;
        BYTE rgbD[P256_SCALAR_BYTES];
    } blob = {};
    blob.pub.header.dwMagic = BCRYPT_ECDH_PRIVATE_P256_MAGIC;
    blob.pub.header.cbKey = P256_COORDINATE_BYTES;
    memcpy(blob.pub.rgbX, rgbX, sizeof(rgbX));
    memcpy(blob.pub.rgbY, rgbY, sizeof(rgbY));
    memcpy(blob.rgbD, rgbD, sizeof(rgbD));
    const bool fImported = _algorithm.Get() != nullptr && _key.Get() == nullptr &&
                           BCRYPT_SUCCESS(BCryptImportKeyPair(_algorithm.Get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, _key.Put(),
                                                              reinterpret_cast<PUCHAR>(&blob), sizeof(blob), 0));
    SecureZeroMemory(&blob, sizeof(blob));
    return fImported;
}

bool CEcdhP256KeyPair::ExportPublicKey(BYTE (&rgbX)[P256_COORDINATE_BYTES], BYTE (&rgbY)[P256_COORDINATE_BYTES]) const
{
    ECC_PUBLIC_BLOB blob = {};
    ULONG cbBlob = 0;
    if (_key.Get() == nullptr ||
        !BCRYPT_SUCCESS(BCryptExportKey(_key.Get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, reinterpret_cast<PUCHAR>(&blob),
                                        sizeof(blob), &cbBlob, 0)) ||
        cbBlob != sizeof(blob) || blob.header.dwMagic != BCRYPT_ECDH_PUBLIC_P256_MAGIC ||
        blob.header.cbKey != P256_COORDINATE_BYTES)
    {
        return false;
    }
    memcpy(rgbX, blob.rgbX, sizeof(rgbX));
    memcpy(rgbY, blob.rgbY, sizeof(rgbY));
    return true;
}

bool CEcdhP256KeyPair::AgreeSecret(const BYTE (&rgbPeerX)[P256_COORDINATE_BYTES],
                                   const BYTE (&rgbPeerY)[P256_COORDINATE_BYTES],
                                   BYTE (&rgbSecret)[P256_COORDINATE_BYTES]) const
{
    if (_key.Get() == nullptr)
    {
        return false;
    }
    ECC_PUBLIC_BLOB blob = {};
    blob.header.dwMagic = BCRYPT_ECDH_PUBLIC_P256_MAGIC;
    blob.header.cbKey = P256_COORDINATE_BYTES;
    memcpy(blob.rgbX, rgbPeerX, sizeof(blob.rgbX));
    memcpy(blob.rgbY, rgbPeerY, sizeof(blob.rgbY));
    CCngKey peer;
    CCngSecret secret;
    if (!BCRYPT_SUCCESS(BCryptImportKeyPair(_algorithm.Get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, peer.Put(),
                                            reinterpret_cast<PUCHAR>(&blob), sizeof(blob), 0)) ||
        !BCRYPT_SUCCESS(BCryptSecretAgreement(_key.Get(), peer.Get(), secret.Put(), 0)))
    {
        return false;
    }
    // The raw secret comes out little-endian: Z is its bytes in reverse order.
    BYTE rgbRaw[P256_COORDINATE_BYTES] = {};
    ULONG cbRaw = 0;
    const bool fDerived = BCRYPT_SUCCESS(BCryptDeriveKey(secret.Get(), BCRYPT_KDF_RAW_SECRET, nullptr, rgbRaw,
                                                         sizeof(rgbRaw), &cbRaw, 0)) &&
                          cbRaw == sizeof(rgbRaw);
    if (fDerived)
    {
        for (size_t i = 0; i < P256_COORDINATE_BYTES; ++i)
        {
            rgbSecret[i] = rgbRaw[P256_COORDINATE_BYTES - 1 - i];
        }
    }
    SecureZeroMemory(rgbRaw, sizeof(rgbRaw));
    return fDerived;
}
