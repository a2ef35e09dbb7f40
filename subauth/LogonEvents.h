#pragma once
// The decision of every logon of an account whose factor is on, reported to the
// Application log unless settings `eventLogEnabled` is 0. Reporting never changes a
// logon's result.
#include "TokenLogonCheck.h"

void ReportRecoveryLogon(const wchar_t* pszUserName, bool fAccepted);
void ReportTokenLogon(const wchar_t* pszUserName, LONG result, const TOKEN_CHECK_DETAILS& details);
// A network logon of a protected account let through by settings `networkLogons`.
void ReportNetworkLogonByPolicy(const wchar_t* pszUserName);
