#include "LogonEvents.h"
#include "ConfigStore.h"
#include "EventReport.h"
#include "SubAuthStatus.h"

#include <cwchar>

namespace
{
    constexpr size_t STATUS_TEXT_CHARS = 16;

    void Report(DWORD dwEventId, const wchar_t* pszFirst, const wchar_t* pszSecond = nullptr, const wchar_t* pszThird = nullptr)
    {
        if (!IsEventLogEnabled())
        {
            return;
        }
        const wchar_t* rgpszStrings[] = { pszFirst, pszSecond, pszThird };
        const WORD cStrings = pszThird != nullptr ? 3 : pszSecond != nullptr ? 2 : 1;
        ReportVelkorEvent(dwEventId, rgpszStrings, cStrings);
    }

    // A serial that could not be read is named as such, never left blank.
    const wchar_t* SerialText(const TOKEN_CHECK_DETAILS& details)
    {
        return details.szSerial[0] != L'\0' ? details.szSerial : L"(serial number unread)";
    }
}

void ReportRecoveryLogon(const wchar_t* pszUserName, RecoveryCodeOutcome outcome)
{
    switch (outcome)
    {
    case RecoveryCodeOutcome::Accepted:
        Report(VELKOR_EVENT_LOGON_RECOVERY, pszUserName);
        return;
    case RecoveryCodeOutcome::Refused:
        Report(VELKOR_EVENT_REFUSED_RECOVERY, pszUserName);
        return;
    case RecoveryCodeOutcome::Expired:
        Report(VELKOR_EVENT_RECOVERY_EXPIRED, pszUserName);
        return;
    case RecoveryCodeOutcome::RefusedAfterRefusal:
        Report(VELKOR_EVENT_REFUSED_RECOVERY_AFTER_REFUSAL, pszUserName);
        return;
    }
}

void ReportTokenLogon(const wchar_t* pszUserName, LONG result, const TOKEN_CHECK_DETAILS& details)
{
    wchar_t szStatus[STATUS_TEXT_CHARS] = {};
    swprintf(szStatus, STATUS_TEXT_CHARS, L"0x%08X", static_cast<unsigned int>(details.dwStatus));
    switch (result)
    {
    case 0:
        Report(VELKOR_EVENT_LOGON_TOKEN, pszUserName, SerialText(details));
        return;
    case SUBAUTH_NO_TOKEN:
        if (details.fServiceUnavailable)
        {
            Report(VELKOR_EVENT_REFUSED_NO_SERVICE, pszUserName, szStatus);
            return;
        }
        Report(VELKOR_EVENT_REFUSED_NO_TOKEN, pszUserName);
        return;
    case SUBAUTH_MULTIPLE_TOKENS:
        Report(VELKOR_EVENT_REFUSED_SEVERAL_TOKENS, pszUserName);
        return;
    case SUBAUTH_CONNECT_FAILED:
        Report(VELKOR_EVENT_REFUSED_COMMUNICATION, pszUserName, szStatus);
        return;
    case SUBAUTH_WRONG_USER:
        Report(VELKOR_EVENT_REFUSED_WRONG_TOKEN, pszUserName, SerialText(details));
        return;
    case SUBAUTH_PROOF_FAILED:
        Report(VELKOR_EVENT_REFUSED_PROOF, pszUserName, SerialText(details), details.szProofFailure);
        return;
    }
}

void ReportNetworkLogonByPolicy(const wchar_t* pszUserName)
{
    Report(VELKOR_EVENT_LOGON_NETWORK_POLICY, pszUserName);
}
