#pragma once
// The user's recovery code in the configuration: generated and removed by the Login
// Manager, which alone shows the code text, once.
#include <windows.h>

// Draws a new secret, stores its verifier as the user's `Recovery` value (replacing any
// earlier one) and then writes the 32-character code text into pszCode (at least 33
// characters). The user's key must exist. Returns the registry status, or
// ERROR_INTERNAL_ERROR when no random secret could be drawn. On any failure nothing is
// stored and pszCode is left as it was.
LONG GenerateRecoveryCode(const wchar_t* pszUserName, wchar_t* pszCode, size_t cchCode);

bool HasRecoveryCode(const wchar_t* pszUserName);
LONG RemoveRecoveryCode(const wchar_t* pszUserName);
