#pragma once
// Interactive logons refused on the token path, remembered for a few seconds in this
// process only. Someone who knows an account's password can loop password-only logons of
// it and so take a recovery code the moment the owner's tile stores it; each of those
// logons is such a refusal, and a recovery code that arrives right after one is refused.
//
// The table is fixed in size and lives in the module: remembering never allocates, never
// fails and never touches the registry. When it is full, the oldest refusal is forgotten
// first.
#include <windows.h>

// How long a token-path refusal of an interactive logon bars the recovery path.
constexpr ULONGLONG RECENT_REFUSAL_MS = 3000;
constexpr size_t RECENT_REFUSAL_SLOTS = 128;

void RememberTokenRefusal(const wchar_t* pszUserName);
// True when an interactive logon of this account (names compared ignoring case, as the
// configuration's keys are) was refused on the token path less than RECENT_REFUSAL_MS ago.
bool WasTokenLogonRefusedRecently(const wchar_t* pszUserName);
