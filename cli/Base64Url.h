#pragma once
// base64url (RFC 4648, section 5) without padding, as the enrolment document carries
// binary values. Pure logic (no Windows headers).
#include <cstdint>
#include <string>
#include <vector>

std::string Base64UrlEncode(const std::vector<uint8_t>& bytes);

// Strict: only the base64url alphabet, no padding, no white space, and the unused low
// bits of the last character zero, so every byte string has exactly one text. False for
// anything else (*pBytes is then empty).
bool Base64UrlDecode(const std::string& text, std::vector<uint8_t>* pBytes);
