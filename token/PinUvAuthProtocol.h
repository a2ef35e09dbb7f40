#pragma once
// The two PIN/UV auth protocols a key protects its PIN and its pinUvAuthToken with, on the
// platform's side: the shared secret from an ECDH key agreement, encrypt and decrypt with
// it, and authenticate with a pinUvAuthToken. Protocol 1 hashes Z into one key, encrypts
// AES-256-CBC with a zero IV and truncates HMACs to 16 bytes; protocol 2 derives an HMAC
// key and an AES key from Z with HKDF-SHA-256, sends a random IV before every ciphertext
// and keeps whole HMACs. All of it through CNG; the secret is wiped with the object.
#include "CtapClientPin.h"

#include <windows.h>

constexpr size_t PIN_UV_SHARED_SECRET_MAX_BYTES = 64;
constexpr size_t PIN_UV_AUTH_PARAM_MAX_BYTES = 32;

class CPinUvAuthProtocol
{
public:
    // protocol: 1 or 2; any other number fails every call.
    explicit CPinUvAuthProtocol(uint8_t protocol) : _protocol(protocol) {}
    ~CPinUvAuthProtocol() { SecureZeroMemory(_rgbSecret, sizeof(_rgbSecret)); }
    CPinUvAuthProtocol(const CPinUvAuthProtocol&) = delete;
    CPinUvAuthProtocol& operator=(const CPinUvAuthProtocol&) = delete;

    uint8_t Number() const { return _protocol; }

    // A fresh platform key pair agreed with the key's: the shared secret is kept, and the
    // platform's public key goes into *pPlatformKey for the key to agree the same.
    bool Encapsulate(const CTAP_KEY_AGREEMENT& keyAgreement, CTAP_KEY_AGREEMENT* pPlatformKey);
    // The shared secret from Z, the x-coordinate the ECDH agreed on.
    bool DeriveSharedSecret(const BYTE (&rgbZ)[CTAP_P256_COORDINATE_BYTES]);

    // encrypt(shared secret, plaintext) of whole blocks: the ciphertext, under protocol 2 with
    // its random IV in front. Returns the bytes written, or 0.
    size_t Encrypt(const BYTE* pbPlain, size_t cbPlain, BYTE* pbOut, size_t cbOut) const;
    // decrypt(shared secret, ciphertext): the plaintext's length, or 0 for a ciphertext that is
    // not whole blocks (after the IV under protocol 2) or does not fit.
    size_t Decrypt(const BYTE* pbCipher, size_t cbCipher, BYTE* pbOut, size_t cbOut) const;

private:
    uint8_t _protocol;
    bool _fSecret = false;
    BYTE _rgbSecret[PIN_UV_SHARED_SECRET_MAX_BYTES] = {};
};

// authenticate(key, message): HMAC-SHA-256 with the key (under protocol 2 its first 32
// bytes), cut to 16 bytes under protocol 1. Returns the length of rgbParam used, or 0.
size_t AuthenticatePinUv(uint8_t protocol, const BYTE* pbKey, size_t cbKey, const BYTE* pbMessage, size_t cbMessage,
                         BYTE (&rgbParam)[PIN_UV_AUTH_PARAM_MAX_BYTES]);
