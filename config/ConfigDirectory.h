#pragma once
// Walks the users and tokens of the configuration: what the administration tools need
// to see the whole picture. The logon path never enumerates; it looks names up.
#include "ConfigStore.h"

// Called once per subkey name; return false to stop early.
using ConfigKeyVisitor = bool (*)(void* pContext, const wchar_t* pszName);

// The names of the subkeys of users or tokens, in registry order. Returns 0 (also when
// the parent key is missing: nothing to visit) or the registry status.
LONG EnumerateUserKeys(ConfigKeyVisitor pfnVisit, void* pContext);
LONG EnumerateTokenKeys(ConfigKeyVisitor pfnVisit, void* pContext);

// A token's stored `user` bytes as a string naming exactly this ANSI user name: the
// terminator must lie within what was read, and the comparison is case-sensitive, as
// the logon path compares.
bool StoredTokenUserMatches(const BYTE* pbStored, DWORD cbStored, const char* pszAnsiUser);

// Whether any token key names the user. Returns 0 and the answer, or the registry status
// of a walk that could not be finished.
LONG UserHasTokens(const wchar_t* pszUserName, bool* pfHasTokens);

