#pragma once
// Account names as the system stores them. The name a logon session reports can be
// spelled as it was typed ("ALICE" for the account "Alice"), while the logon path
// compares a token's owner exactly: the configuration must hold the stored spelling.
#include <windows.h>

// The name of the account this process runs as, from its token's user SID through
// LookupAccountSidW (without the domain part). Returns 0 or the failing status; the
// buffer is empty on failure.
DWORD GetRunningAccountName(wchar_t* pszName, DWORD cchName);

// A local account an administrator named ("alice", ".\alice" or "COMPUTER\alice"), as
// the system stores it: the name must resolve (LookupAccountNameW) to a user account of
// this computer, not a group, a well-known or a domain account; LookupAccountSidW then
// gives its stored spelling (without the domain part). pSid (may be null, cbSid bytes)
// receives its SID. Returns 0, ERROR_NONE_MAPPED when there is no such local user, or
// the failing status; the name is empty on failure.
DWORD ResolveLocalAccountName(const wchar_t* pszName, wchar_t* pszStored, DWORD cchStored, PSID pSid = nullptr,
                              DWORD cbSid = 0);
