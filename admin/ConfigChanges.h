#pragma once
// The configuration changes an administrator makes outside the token flows: the two
// switches and the recovery code. Each is written through the configuration store and,
// once written, reported as an event (AdminEvents.h), so the Login Manager and the
// command-line tool report the same changes.
#include <windows.h>

// settings\enabled; returns the registry status (the settings key must exist).
LONG ChangeComputerSwitch(bool fEnabled);

// users\<name>\enabled; returns the registry status (the user's key must exist).
LONG ChangeUserSwitch(const wchar_t* pszUserName, bool fEnabled);

// A new recovery code for the account, replacing any earlier one, written into pszCode
// (at least 33 characters) only once its verifier is stored. Creates users\<name> first
// when it is missing (factor off), so a code can be made before the factor is switched
// on. Returns 0, the registry status or ERROR_INTERNAL_ERROR (no random secret).
LONG GenerateAccountRecoveryCode(const wchar_t* pszUserName, wchar_t* pszCode, size_t cchCode);

// Deletes the account's recovery verifier; returns the registry status.
LONG RemoveAccountRecoveryCode(const wchar_t* pszUserName);
