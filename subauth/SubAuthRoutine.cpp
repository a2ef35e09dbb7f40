// The two entry points MSV1_0 calls for every logon it processes.
#include "ConfigStore.h"
#include "DiagnosticLog.h"
#include "LogFormat.h"
#include "LogonEvents.h"
#include "RecoveryCode.h"
#include "SafeMode.h"
#include "SubAuthStatus.h"
#include "TokenLogonCheck.h"

#include <subauth.h>


namespace
{
    constexpr size_t INLINE_USER_NAME_CHARS = 256;
    constexpr size_t CODE_TEXT_CHARS = 256;

    // The logon name carried whole: a cut name could address another user's key.
    // Short names live inline; longer ones on the heap.
    class CLogonUserName
    {
    public:
        CLogonUserName() = default;
        ~CLogonUserName()
        {
            if (_pszName != _szInline) HeapFree(GetProcessHeap(), 0, _pszName);
        }
        CLogonUserName(const CLogonUserName&) = delete;
        CLogonUserName& operator=(const CLogonUserName&) = delete;

        // False when the name cannot be held or holds a null character: such a name
        // cannot be looked up as it is.
        bool Assign(const UNICODE_STRING* pName)
        {
            const size_t cch = (pName != nullptr && pName->Buffer != nullptr) ? pName->Length / sizeof(wchar_t) : 0;
            if (cch >= INLINE_USER_NAME_CHARS)
            {
                _pszName = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, (cch + 1) * sizeof(wchar_t)));
                if (_pszName == nullptr)
                {
                    _pszName = _szInline;
                    return false;
                }
            }
            for (size_t i = 0; i < cch; ++i)
            {
                _pszName[i] = pName->Buffer[i];
            }
            _pszName[cch] = L'\0';
            return wcslen(_pszName) == cch;
        }

        const wchar_t* Get() const { return _pszName; }

    private:
        wchar_t _szInline[INLINE_USER_NAME_CHARS] = {};
        wchar_t* _pszName = _szInline;
    };

    // Only a person at the logon screen can have typed a code. A network or service logon of
    // the same account must never consume, or be let in by, a code waiting for it.
    bool IsInteractiveLogon(NETLOGON_LOGON_INFO_CLASS logonLevel)
    {
        return logonLevel == NetlogonInteractiveInformation || logonLevel == NetlogonInteractiveTransitiveInformation;
    }

    // File shares, remote management and the network half of Remote Desktop's NLA: the key
    // is never at this computer for those.
    bool IsNetworkLogon(NETLOGON_LOGON_INFO_CLASS logonLevel)
    {
        return logonLevel == NetlogonNetworkInformation || logonLevel == NetlogonNetworkTransitiveInformation;
    }

    LONG RecoveryLogon(const wchar_t* pszUserName, BYTE (&rgbTyped)[SEC_VALUE_BUFFER_SIZE], DWORD cbTyped,
                       BOOLEAN* pAuthoritative, CLogonLog& log)
    {
        wchar_t szText[CODE_TEXT_CHARS] = {};
        log.Write(L"Login with recovery key\r\n");
        if (log.IsEnabled())
        {
            AnsiValueToWide(rgbTyped, cbTyped, szText, CODE_TEXT_CHARS);
        }
        log.Line(L"secKey = [%s] secKeyLength = %d\r\n", szText, static_cast<int>(cbTyped));

        BYTE rgbStored[RECOVERY_VALUE_BUFFER_SIZE] = {};
        DWORD cbStored = sizeof(rgbStored);
        if (ReadRecoveryValue(pszUserName, rgbStored, &cbStored) != ERROR_SUCCESS)
        {
            SecureZeroMemory(rgbTyped, sizeof(rgbTyped));
            SecureZeroMemory(szText, sizeof(szText));
            log.Write(L"No recovery key set\r\n");
            return SUBAUTH_RECOVERY_FAILED;
        }
        log.Write(L"Recovery key pulled\r\n");
        if (log.IsEnabled())
        {
            AnsiValueToWide(rgbStored, cbStored, szText, CODE_TEXT_CHARS);
        }
        log.Line(L"recoveryKey = [%s] recoveryKeyLength = %d\r\n", szText, static_cast<int>(cbStored));

        // The lengths leave out the stored terminator; an empty value gives -1.
        const bool fMatched = VerifyRecoveryCode(reinterpret_cast<const char*>(rgbTyped), static_cast<int>(cbTyped) - 1,
                                                 reinterpret_cast<const char*>(rgbStored), static_cast<int>(cbStored) - 1);
        SecureZeroMemory(rgbTyped, sizeof(rgbTyped));
        SecureZeroMemory(rgbStored, sizeof(rgbStored));
        SecureZeroMemory(szText, sizeof(szText));
        if (!fMatched)
        {
            log.Write(L"Invalid recovery key\r\n");
            return SUBAUTH_RECOVERY_FAILED;
        }
        log.Write(L"Recovery key matched\r\n");
        *pAuthoritative = FALSE;
        return 0;
    }
}

extern "C" NTSTATUS NTAPI Msv1_0SubAuthenticationRoutine(NETLOGON_LOGON_INFO_CLASS LogonLevel, PVOID, ULONG,
                                                         PUSER_ALL_INFORMATION UserAll, PULONG WhichFields,
                                                         PULONG UserFlags, PBOOLEAN Authoritative, PLARGE_INTEGER,
                                                         PLARGE_INTEGER)
{
    BOOLEAN fLocalAuthoritative = TRUE;
    BOOLEAN* pAuthoritative = Authoritative != nullptr ? Authoritative : &fLocalAuthoritative;
    *pAuthoritative = TRUE;
    if (UserFlags != nullptr) *UserFlags = 0;
    if (WhichFields != nullptr) *WhichFields = 0;

    CLogonUserName userName;
    const bool fNameUsable = userName.Assign(UserAll != nullptr ? &UserAll->UserName : nullptr);

    // Each setting is read once per logon; the log switch first, so every line of this
    // logon follows the same answer.
    CLogonLog log(IsLoggingEnabled());
    log.WriteHeader();
    log.Line(L"User: %s\r\n", userName.Get());
    if (!fNameUsable)
    {
        log.Write(L"User name not usable\r\n");
        return SUBAUTH_WRONG_USER;
    }

    if (!IsAuthEnabled())
    {
        log.Write(L"not enabled.\r\n");
        *pAuthoritative = FALSE;
        return 0;
    }
    log.Write(L"CP enabled\r\n");

    if (IsSafeModeBoot() && !IsSafeModeEnabled())
    {
        log.Write(L"safeboot and not enabled.\r\n");
        *pAuthoritative = FALSE;
        return 0;
    }
    log.Write(L"safeboot and enabled\r\n");

    if (!IsUserEnabled(userName.Get()))
    {
        log.Write(L"FIDO2 auth not enabled for user.\r\n");
        *pAuthoritative = FALSE;
        return 0;
    }
    log.Write(L"FIDO2 auth enabled for user\r\n");

    // Read only for a network logon of a protected account: other logons never see it.
    if (IsNetworkLogon(LogonLevel) && IsNetworkLogonAllowed())
    {
        log.Write(L"Network logon passed by policy\r\n");
        ReportNetworkLogonByPolicy(userName.Get());
        *pAuthoritative = FALSE;
        return 0;
    }

    if (IsInteractiveLogon(LogonLevel))
    {
        BYTE rgbTyped[SEC_VALUE_BUFFER_SIZE] = {};
        DWORD cbTyped = sizeof(rgbTyped);
        if (ReadSecValue(userName.Get(), rgbTyped, &cbTyped) == ERROR_SUCCESS)
        {
            // A typed code serves the one logon it was typed for: taken out of the store before
            // it is judged, so no later logon can find it, whether or not a result ever reaches
            // the tile that wrote it.
            if (!DeleteSecValue(userName.Get()))
            {
                // Left in the store it would open the door again; taken by a concurrent logon
                // it has served its one logon already.
                SecureZeroMemory(rgbTyped, sizeof(rgbTyped));
                log.Write(L"Login with recovery key\r\n");
                log.Write(L"Recovery key could not be removed\r\n");
                ReportRecoveryLogon(userName.Get(), false);
                return SUBAUTH_RECOVERY_FAILED;
            }
            const LONG recovery = RecoveryLogon(userName.Get(), rgbTyped, cbTyped, pAuthoritative, log);
            ReportRecoveryLogon(userName.Get(), recovery == 0);
            return recovery;
        }
        SecureZeroMemory(rgbTyped, sizeof(rgbTyped));
    }
    TOKEN_CHECK_DETAILS details;
    const LONG result = CheckTokenLogon(userName.Get(), pAuthoritative, log, &details);
    ReportTokenLogon(userName.Get(), result, details);
    return result;
}

extern "C" NTSTATUS NTAPI Msv1_0SubAuthenticationFilter(NETLOGON_LOGON_INFO_CLASS LogonLevel, PVOID LogonInformation,
                                                        ULONG Flags, PUSER_ALL_INFORMATION UserAll,
                                                        PULONG WhichFields, PULONG UserFlags, PBOOLEAN Authoritative,
                                                        PLARGE_INTEGER LogoffTime, PLARGE_INTEGER KickoffTime)
{
    OutputDebugStringW(L"Msv1_0SubAuthenticationFilter");
    return Msv1_0SubAuthenticationRoutine(LogonLevel, LogonInformation, Flags, UserAll, WhichFields, UserFlags,
                                          Authoritative, LogoffTime, KickoffTime);
}
