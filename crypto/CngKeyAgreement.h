#pragma once
// ECDH on P-256 through CNG: the platform's side of the key agreement with a security key
// that protects its PIN on the way. One key pair per agreement; the shared secret leaves
// CNG only as the x-coordinate the PIN/UV auth protocols derive their keys from.
#include "CngCrypto.h"

constexpr size_t P256_COORDINATE_BYTES = P256_SCALAR_BYTES;

class CEcdhP256KeyPair
{
public:
    CEcdhP256KeyPair();
    CEcdhP256KeyPair(const CEcdhP256KeyPair&) = delete;
    CEcdhP256KeyPair& operator=(const CEcdhP256KeyPair&) = delete;

    // A fresh key pair; false when CNG cannot make one.
    bool Generate();
    // A known key pair instead (published example values).
    bool Import(const BYTE (&rgbD)[P256_SCALAR_BYTES], const BYTE (&rgbX)[P256_COORDINATE_BYTES],
                const BYTE (&rgbY)[P256_COORDINATE_BYTES]);
    // Its public point, big-endian coordinates.
    bool ExportPublicKey(BYTE (&rgbX)[P256_COORDINATE_BYTES], BYTE (&rgbY)[P256_COORDINATE_BYTES]) const;
    // Z, the x-coordinate of d times the peer's point, big-endian. False when the peer's
    // point is not one CNG takes (not on the curve, say) or no secret can be had.
    bool AgreeSecret(const BYTE (&rgbPeerX)[P256_COORDINATE_BYTES], const BYTE (&rgbPeerY)[P256_COORDINATE_BYTES],
                     BYTE (&rgbSecret)[P256_COORDINATE_BYTES]) const;

private:
    CCngAlgorithm _algorithm;
    CCngKey _key;
};
