#include "AdminEvents.h"
#include "AccountNames.h"
#include "ConfigStore.h"

#include <strsafe.h>

const wchar_t ADMIN_EVENT_SOURCE[] = L"Velkor FIDO2 Login";

namespace
{
    // The message table's IDs for these events (subauth/VelkorEvents.mc).
    constexpr DWORD EVENT_COMPUTER_SWITCHED_ON = 2000;
    constexpr DWORD EVENT_COMPUTER_SWITCHED_OFF = 2001;
    constexpr DWORD EVENT_USER_SWITCHED_ON = 2002;
    constexpr DWORD EVENT_USER_SWITCHED_OFF = 2003;
    constexpr DWORD EVENT_TOKEN_ASSOCIATED = 2004;
    constexpr DWORD EVENT_TOKEN_DISSOCIATED = 2005;
    constexpr DWORD EVENT_RECOVERY_CODE_GENERATED = 2006;
    constexpr DWORD EVENT_RECOVERY_CODE_REMOVED = 2007;

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

        HANDLE hSource = RegisterEventSourceW(nullptr, ADMIN_EVENT_SOURCE);
        if (hSource == nullptr)
        {
            OutputDebugStringW(L"RegisterEventSourceW failed; the change is not reported\r\n");
            return;
        }
        if (!ReportEventW(hSource, EVENTLOG_INFORMATION_TYPE, 0, dwEventId, nullptr, cStrings, 0, rgpszStrings, nullptr))
        {
            OutputDebugStringW(L"ReportEventW failed; the change is not reported\r\n");
        }
        DeregisterEventSource(hSource);
    }
}

void ReportComputerSwitched(bool fEnabled)
{
    Report(fEnabled ? EVENT_COMPUTER_SWITCHED_ON : EVENT_COMPUTER_SWITCHED_OFF);
}

void ReportUserSwitched(const wchar_t* pszUserName, bool fEnabled)
{
    Report(fEnabled ? EVENT_USER_SWITCHED_ON : EVENT_USER_SWITCHED_OFF, pszUserName);
}

void ReportTokenAssociated(const wchar_t* pszSerial, const wchar_t* pszUserName)
{
    Report(EVENT_TOKEN_ASSOCIATED, pszSerial, pszUserName);
}

void ReportTokenDissociated(const wchar_t* pszSerial, const wchar_t* pszUserName)
{
    Report(EVENT_TOKEN_DISSOCIATED, pszSerial, pszUserName);
}

void ReportRecoveryCodeGenerated(const wchar_t* pszUserName)
{
    Report(EVENT_RECOVERY_CODE_GENERATED, pszUserName);
}

void ReportRecoveryCodeRemoved(const wchar_t* pszUserName)
{
    Report(EVENT_RECOVERY_CODE_REMOVED, pszUserName);
}
