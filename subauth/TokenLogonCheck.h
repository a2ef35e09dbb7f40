#pragma once
// The token path of a logon: exactly one token reader, a connection, the token's serial
// number, the user the configuration associates with it, that user must be the one
// logging on, and a token with a credential must prove that it holds it.
#include "DiagnosticLog.h"
#include "SubAuthStatus.h"

// What a token logon's event names besides the account.
struct TOKEN_CHECK_DETAILS
{
    wchar_t szSerial[32];       // the token key: the serial number read, or fido-...; empty when none
    bool fServiceUnavailable;   // no smart-card service: dwStatus is its status
    DWORD dwStatus;             // the PC/SC status of a missing service or a failed connection
    wchar_t szProofFailure[64]; // why the proof of possession failed
};

// Returns 0 or one of SUBAUTH_NO_TOKEN, SUBAUTH_MULTIPLE_TOKENS, SUBAUTH_CONNECT_FAILED,
// SUBAUTH_WRONG_USER, SUBAUTH_PROOF_FAILED; sets *pAuthoritative to FALSE when the token
// belongs to another user. Writes its log lines and the closing result line.
LONG CheckTokenLogon(const wchar_t* pszUserName, BOOLEAN* pAuthoritative, CLogonLog& log, TOKEN_CHECK_DETAILS* pDetails);
