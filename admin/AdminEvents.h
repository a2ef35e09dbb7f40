#pragma once
// Configuration changes reported to the Application event log under the source
// "Velkor FIDO2 Login", each with the name of the administrator who made it. Reporting
// never fails a change: a change that was written stays written when the log is
// unavailable. settings\eventLogEnabled = 0 switches the reports off.
//
// Events (their IDs as Event Viewer shows them; information, category 0; insertion strings in brackets):
//   2000 computer switched on [admin]          2001 computer switched off [admin]
//   2002 user switched on [admin, account]      2003 user switched off [admin, account]
//   2004 token associated [admin, serial, account]
//   2005 token dissociated [admin, serial, account]
//   2006 recovery code generated [admin, account]
//   2007 recovery code removed [admin, account]
//   2008 configuration of an account that no longer exists removed [admin, account]
// A recovery code is never an insertion string.
#include <windows.h>

void ReportComputerSwitched(bool fEnabled);
void ReportUserSwitched(const wchar_t* pszUserName, bool fEnabled);
void ReportTokenAssociated(const wchar_t* pszSerial, const wchar_t* pszUserName);
void ReportTokenDissociated(const wchar_t* pszSerial, const wchar_t* pszUserName);
void ReportRecoveryCodeGenerated(const wchar_t* pszUserName);
void ReportRecoveryCodeRemoved(const wchar_t* pszUserName);
void ReportAccountForgotten(const wchar_t* pszUserName);
