#pragma once
// The recovery code's text form and its stored verifier. No Windows headers.
//
// A code is a 16-byte secret shown as 32 hexadecimal characters. What is stored is
// HMAC-SHA256 keyed with the secret's second half over the whole secret, as 64
// upper-case hexadecimal characters.
#include <cstddef>
#include <cstdint>

constexpr size_t RECOVERY_SECRET_SIZE = 16;
constexpr size_t RECOVERY_CODE_CHARS = 32;
constexpr size_t RECOVERY_VERIFIER_CHARS = 64;

// Writes the 32-character code text and a terminator; cchCode must be at least 33.
bool FormatRecoveryCode(const uint8_t (&rgbSecret)[RECOVERY_SECRET_SIZE], wchar_t* pszCode, size_t cchCode);

// The 64 verifier characters and a terminator.
void ComputeRecoveryVerifier(const uint8_t (&rgbSecret)[RECOVERY_SECRET_SIZE],
                             char (&szVerifier)[RECOVERY_VERIFIER_CHARS + 1]);

// True when the typed code (32 hexadecimal characters, either case) matches the stored
// verifier (64 hexadecimal characters). Any other length or character is a mismatch.
// Lengths are signed: a caller that derives one from an empty value passes -1.
bool VerifyRecoveryCode(const char* pszTyped, int cchTyped, const char* pszStored, int cchStored);
