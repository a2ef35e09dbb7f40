#pragma once
// The results the package hands back to MSV1_0, besides 0 for success.
#include <windows.h>

constexpr LONG SUBAUTH_NO_TOKEN = static_cast<LONG>(0xFFFF0011);
constexpr LONG SUBAUTH_MULTIPLE_TOKENS = static_cast<LONG>(0xFFFF0012);
constexpr LONG SUBAUTH_CONNECT_FAILED = static_cast<LONG>(0xFFFF0013);
constexpr LONG SUBAUTH_WRONG_USER = static_cast<LONG>(0xFFFF0015);
constexpr LONG SUBAUTH_RECOVERY_FAILED = static_cast<LONG>(0xFFFF0016);
// The token could not prove that it holds the credential of its association.
constexpr LONG SUBAUTH_PROOF_FAILED = static_cast<LONG>(0xFFFF0017);

constexpr size_t LOG_LINE_CHARS = 512;
