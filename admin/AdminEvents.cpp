#include "AdminEvents.h"
#include "AccountNames.h"
#include "ConfigStore.h"
#include "EventReport.h"

#include <strsafe.h>

namespace
{
    constexpr DWORD ADMIN_NAME_CHARS = 257;
    const wchar_t UNKNOWN_ADMIN[] = L"(unknown)";

    // The administrator first, then what the event names; a missing string ends the list.
    void Report(DWORD dwEventId, const wchar_t* pszSecond = nullptr, const wchar_t* pszThird = nullptr)
    {
        if (!IsEventLogEnabled())
        {
            return;
        }
        wchar_t szAdmin[ADMIN_NAME_CHARS] = {};
        if (GetRunningAccountName(szAdmin, ADMIN_NAME_CHARS) != ERROR_SUCCESS)
        {
            StringCchCopyW(szAdmin, ADMIN_NAME_CHARS, UNKNOWN_ADMIN);
        }
        const wchar_t* rgpszStrings[3] = { szAdmin, pszSecond, pszThird };
        WORD cStrings = 1;
        if (pszSecond != nullptr)
        {
            cStrings = static_cast<WORD>(pszThird != nullptr ? 3 : 2);
        }
        ReportVelkorEvent(dwEventId, rgpszStrings, cStrings);
    }
}

void ReportComputerSwitched(bool fEnabled)
{
    Report(fEnabled ? VELKOR_EVENT_COMPUTER_ENABLED : VELKOR_EVENT_COMPUTER_DISABLED);
}

void ReportUserSwitched(const wchar_t* pszUserName, bool fEnabled)
{
    Report(fEnabled ? VELKOR_EVENT_USER_ENABLED : VELKOR_EVENT_USER_DISABLED, pszUserName);
}

void ReportTokenAssociated(const wchar_t* pszSerial, const wchar_t* pszUserName)
{
    Report(VELKOR_EVENT_TOKEN_ASSOCIATED, pszSerial, pszUserName);
}

void ReportTokenDissociated(const wchar_t* pszSerial, const wchar_t* pszUserName)
{
    Report(VELKOR_EVENT_TOKEN_DISSOCIATED, pszSerial, pszUserName);
}

void ReportRecoveryCodeGenerated(const wchar_t* pszUserName)
{
    Report(VELKOR_EVENT_RECOVERY_GENERATED, pszUserName);
}

void ReportRecoveryCodeRemoved(const wchar_t* pszUserName)
{
    Report(VELKOR_EVENT_RECOVERY_REMOVED, pszUserName);
}

void ReportAccountForgotten(const wchar_t* pszUserName)
{
    Report(VELKOR_EVENT_ACCOUNT_FORGOTTEN, pszUserName);
}
