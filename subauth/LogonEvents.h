#pragma once
// The decision of every logon of an account whose factor is on, reported to the
// Application log unless settings `eventLogEnabled` is 0. Reporting never changes a
// logon's result.
#include "TokenLogonCheck.h"

enum class RecoveryCodeOutcome
{
    Accepted,
    Refused,                // wrong, missing, or could not be taken out of the store
    Expired,                // discarded unused; the token path decides the logon
    RefusedAfterRefusal,    // arrived moments after a token-path refusal of the account
};

void ReportRecoveryLogon(const wchar_t* pszUserName, RecoveryCodeOutcome outcome);
void ReportTokenLogon(const wchar_t* pszUserName, LONG result, const TOKEN_CHECK_DETAILS& details);
// A network logon of a protected account let through by settings `networkLogons`.
void ReportNetworkLogonByPolicy(const wchar_t* pszUserName);
