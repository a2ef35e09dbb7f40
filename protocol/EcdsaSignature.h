#pragma once
// ECDSA P-256 signatures between the DER form an authenticator sends and the 64-byte
// r || s form CNG verifies. No Windows headers: also built natively.
#include <cstddef>
#include <cstdint>

constexpr size_t ECDSA_P256_SCALAR_BYTES = 32;
constexpr size_t ECDSA_P256_SIGNATURE_BYTES = 2 * ECDSA_P256_SCALAR_BYTES; // r || s
// SEQUENCE { INTEGER r, INTEGER s } with both integers at their longest (33 bytes).
constexpr size_t ECDSA_P256_DER_MAX_BYTES = 2 + 2 * (2 + ECDSA_P256_SCALAR_BYTES + 1);

// Converts a DER signature to r || s, each left-padded to 32 bytes. Strict: a SEQUENCE
// of exactly two INTEGERs and nothing after it, definite minimal lengths, each integer
// minimally encoded (a leading 00 only before a byte with its high bit set), positive
// (not zero, not negative) and at most 33 bytes of which at most 32 are significant.
// rgbRawSignature is written only on success.
bool ConvertDerSignature(const uint8_t* pbDer, size_t cbDer, uint8_t (&rgbRawSignature)[ECDSA_P256_SIGNATURE_BYTES]);

// The DER form of r || s, as an authenticator writes it. Returns its length (at most
// ECDSA_P256_DER_MAX_BYTES), or 0 when r or s is zero or cbDer is too small.
size_t EncodeDerSignature(const uint8_t (&rgbRawSignature)[ECDSA_P256_SIGNATURE_BYTES], uint8_t* pbDer,
                          size_t cbDer);
