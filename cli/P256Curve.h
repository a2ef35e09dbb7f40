#pragma once
// Whether an uncompressed public key is a point of the NIST P-256 curve. Some CNG
// implementations import a point that is not on the curve without complaint (Wine's
// does), so a key that comes from a file is checked here first. Pure logic (no Windows
// headers).
#include <cstddef>
#include <cstdint>

constexpr size_t P256_PUBLIC_KEY_BYTES = 65; // 04 || X || Y

// True when pbKey is 04 followed by the big-endian coordinates X and Y, each below the
// field prime p, with y^2 = x^3 - 3x + b (mod p). The point at infinity has no such form.
bool IsP256PublicKey(const uint8_t* pbKey, size_t cbKey);
