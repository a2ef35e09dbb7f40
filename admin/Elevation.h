#pragma once
// Whether this process may change the configuration. The token decides, not
// IsUserAnAdmin: an administrator's limited token (UAC) must be refused, and some
// systems answer IsUserAnAdmin with TRUE for it.
#include <windows.h>

// True only when the process token is elevated (TokenElevation, and not the limited
// half of a split token) and the Administrators group is enabled in it
// (CheckTokenMembership). Returns 0 and the answer, or the status of a query that
// failed (the answer is then false).
DWORD CheckElevatedAdministrator(bool* pfElevatedAdministrator);
