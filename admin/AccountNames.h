#pragma once
// Account names as the system stores them. The name a logon session reports can be
// spelled as it was typed ("ALICE" for the account "Alice"), while the logon path
// compares a token's owner exactly: the configuration must hold the stored spelling.
#include <windows.h>

// The name of the account this process runs as, from its token's user SID through
// LookupAccountSidW (without the domain part). Returns 0 or the failing status; the
// buffer is empty on failure.
DWORD GetRunningAccountName(wchar_t* pszName, DWORD cchName);
