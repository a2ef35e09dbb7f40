#pragma once
// The symmetric cryptography of the PIN/UV auth protocols through CNG: HMAC-SHA-256, HKDF-
// SHA-256 (one block of output) and AES-256 in CBC mode without padding. Every buffer that
// held key material on the way is wiped before these return.
#include <windows.h>

#include <cstddef>

constexpr size_t SHA256_DIGEST_BYTES = 32;
constexpr size_t AES_BLOCK_BYTES = 16;
constexpr size_t AES256_KEY_BYTES = 32;

// HMAC-SHA-256 of the two pieces one after the other (the second may be empty).
bool HmacSha256(const BYTE* pbKey, size_t cbKey, const BYTE* pbFirst, size_t cbFirst, const BYTE* pbSecond,
                size_t cbSecond, BYTE (&rgbMac)[SHA256_DIGEST_BYTES]);

// HKDF-SHA-256 with 32 bytes of output: extract with the salt, expand with the info.
bool HkdfSha256(const BYTE* pbSalt, size_t cbSalt, const BYTE* pbKeyMaterial, size_t cbKeyMaterial, const BYTE* pbInfo,
                size_t cbInfo, BYTE (&rgbKey)[SHA256_DIGEST_BYTES]);

// AES-256-CBC over whole blocks (cb a multiple of 16, at most 4096); pbOut receives cb bytes
// and may be pbIn.
bool Aes256CbcEncrypt(const BYTE (&rgbKey)[AES256_KEY_BYTES], const BYTE (&rgbIv)[AES_BLOCK_BYTES], const BYTE* pbIn,
                      size_t cb, BYTE* pbOut);
bool Aes256CbcDecrypt(const BYTE (&rgbKey)[AES256_KEY_BYTES], const BYTE (&rgbIv)[AES_BLOCK_BYTES], const BYTE* pbIn,
                      size_t cb, BYTE* pbOut);
