// The two entry points MSV1_0 calls for every logon it processes.
#include "ConfigStore.h"
#include "DiagnosticLog.h"
#include "LogFormat.h"
#include "LogonEvents.h"
#include "RecentRefusals.h"
#include "RecoveryCode.h"
#include "SafeMode.h"
#include "SubAuthStatus.h"
#include "TokenLogonCheck.h"

#include <subauth.h>


namespace
{
    constexpr size_t INLINE_USER_NAME_CHARS = 256;
    constexpr size_t CODE_TEXT_CHARS = 256;

    // A typed code serves the logon it was typed for, which reads it within moments of the
    // tile storing it. One found later was left behind (a tile that never saw a result, a
    // logon that never came) and is not used.
    constexpr ULONGLONG TYPED_CODE_LIFETIME_100NS = 30ull * 10000000ull;
    // Clocks of the registry and of this process may differ by their resolution.
    constexpr ULONGLONG CLOCK_SLACK_100NS = 1ull * 10000000ull;

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

    ULONGLONG FileTimeValue(const FILETIME& ft)
    {
        return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    }

    // The age is that of the user's key: when the clock went back since, the age cannot
    // be told, and the code counts as expired.
    bool IsTypedCodeExpired(const FILETIME& ftKeyWritten)
    {
        FILETIME ftNow = {};
        GetSystemTimeAsFileTime(&ftNow);
        const ULONGLONG ullNow = FileTimeValue(ftNow);
        const ULONGLONG ullWritten = FileTimeValue(ftKeyWritten);
        if (ullWritten > ullNow)
        {
            return ullWritten - ullNow > CLOCK_SLACK_100NS;
        }
        return ullNow - ullWritten > TYPED_CODE_LIFETIME_100NS;
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

    // A code typed on the logon tile, when one waits for this user: true when it decides the
    // logon (*pResult), false when the token path is to decide.
    bool TypedCodeDecides(const wchar_t* pszUserName, BOOLEAN* pAuthoritative, CLogonLog& log, LONG* pResult)
    {
        BYTE rgbTyped[SEC_VALUE_BUFFER_SIZE] = {};
        DWORD cbTyped = sizeof(rgbTyped);
        FILETIME ftKeyWritten = {};
        if (ReadSecValue(pszUserName, rgbTyped, &cbTyped, &ftKeyWritten) != ERROR_SUCCESS)
        {
            SecureZeroMemory(rgbTyped, sizeof(rgbTyped));
            return false;
        }
        // A typed code serves the one logon it was typed for: taken out of the store before
        // it is judged, so no later logon can find it, whether or not a result ever reaches
        // the tile that wrote it.
        const bool fRemoved = DeleteSecValue(pszUserName);
        if (IsTypedCodeExpired(ftKeyWritten))
        {
            // It only grows older, so it is never used, even where it could not be removed.
            SecureZeroMemory(rgbTyped, sizeof(rgbTyped));
            log.Write(L"Recovery key expired\r\n");
            ReportRecoveryLogon(pszUserName, RecoveryCodeOutcome::Expired);
            return false;
        }
        *pResult = SUBAUTH_RECOVERY_FAILED;
        if (!fRemoved)
        {
            // Left in the store it would open the door again; taken by a concurrent logon
            // it has served its one logon already.
            SecureZeroMemory(rgbTyped, sizeof(rgbTyped));
            log.Write(L"Login with recovery key\r\n");
            log.Write(L"Recovery key could not be removed\r\n");
            ReportRecoveryLogon(pszUserName, RecoveryCodeOutcome::Refused);
            return true;
        }
        if (WasTokenLogonRefusedRecently(pszUserName))
        {
            // Nothing in the request tells the owner's logon from another logon of the same
            // account that found the code first; a logon of the account refused without its
            // token just before says someone else is trying the password.
            SecureZeroMemory(rgbTyped, sizeof(rgbTyped));
            log.Write(L"Login with recovery key\r\n");
            log.Write(L"Recovery key refused: a logon of this account was refused moments ago\r\n");
            ReportRecoveryLogon(pszUserName, RecoveryCodeOutcome::RefusedAfterRefusal);
            return true;
        }
        *pResult = RecoveryLogon(pszUserName, rgbTyped, cbTyped, pAuthoritative, log);
        ReportRecoveryLogon(pszUserName, *pResult == 0 ? RecoveryCodeOutcome::Accepted : RecoveryCodeOutcome::Refused);
        return true;
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

    LONG recovery = 0;
    if (IsInteractiveLogon(LogonLevel) && TypedCodeDecides(userName.Get(), pAuthoritative, log, &recovery))
    {
        return recovery;
    }
    TOKEN_CHECK_DETAILS details;
    const LONG result = CheckTokenLogon(userName.Get(), pAuthoritative, log, &details);
    // Only an interactive logon could have taken a typed code; only its refusals count.
    if (result != 0 && IsInteractiveLogon(LogonLevel))
    {
        RememberTokenRefusal(userName.Get());
    }
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
