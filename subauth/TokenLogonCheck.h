#pragma once
// The token path of a logon: exactly one token reader, a connection, the token's serial
// number, the user the configuration associates with it, that user must be the one
// logging on, and a token with a credential must prove that it holds it.
#include "DiagnosticLog.h"
#include "SubAuthStatus.h"

// Returns 0 or one of SUBAUTH_NO_TOKEN, SUBAUTH_MULTIPLE_TOKENS, SUBAUTH_CONNECT_FAILED,
// SUBAUTH_WRONG_USER, SUBAUTH_PROOF_FAILED; sets *pAuthoritative to FALSE when the token
// belongs to another user. Writes its log lines and the closing result line.
LONG CheckTokenLogon(const wchar_t* pszUserName, BOOLEAN* pAuthoritative, CLogonLog& log);
