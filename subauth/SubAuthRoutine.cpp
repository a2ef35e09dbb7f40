// The two entry points MSV1_0 calls for every logon it processes.
#include "ConfigStore.h"
#include "DiagnosticLog.h"
#include "LogFormat.h"
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

    LONG RecoveryLogon(const wchar_t* pszUserName, BYTE (&rgbTyped)[SEC_VALUE_BUFFER_SIZE], DWORD cbTyped,
                       BOOLEAN* pAuthoritative, wchar_t (&szLine)[LOG_LINE_CHARS])
    {
        wchar_t szText[CODE_TEXT_CHARS] = {};
        WriteLog(L"Login with recovery key\r\n");
        AnsiValueToWide(rgbTyped, cbTyped, szText, CODE_TEXT_CHARS);
        LogLine(szLine, L"secKey = [%s] secKeyLength = %d\r\n", szText, static_cast<int>(cbTyped));

        BYTE rgbStored[RECOVERY_VALUE_BUFFER_SIZE] = {};
        DWORD cbStored = sizeof(rgbStored);
        if (ReadRecoveryValue(pszUserName, rgbStored, &cbStored) != ERROR_SUCCESS)
        {
            SecureZeroMemory(rgbTyped, sizeof(rgbTyped));
            SecureZeroMemory(szText, sizeof(szText));
            WriteLog(L"No recovery key set\r\n");
            return SUBAUTH_RECOVERY_FAILED;
        }
        WriteLog(L"Recovery key pulled\r\n");
        AnsiValueToWide(rgbStored, cbStored, szText, CODE_TEXT_CHARS);
        LogLine(szLine, L"recoveryKey = [%s] recoveryKeyLength = %d\r\n", szText, static_cast<int>(cbStored));

        // The lengths leave out the stored terminator; an empty value gives -1.
        const bool fMatched = VerifyRecoveryCode(reinterpret_cast<const char*>(rgbTyped), static_cast<int>(cbTyped) - 1,
                                                 reinterpret_cast<const char*>(rgbStored), static_cast<int>(cbStored) - 1);
        SecureZeroMemory(rgbTyped, sizeof(rgbTyped));
        SecureZeroMemory(rgbStored, sizeof(rgbStored));
        SecureZeroMemory(szText, sizeof(szText));
        if (!fMatched)
        {
            WriteLog(L"Invalid recovery key\r\n");
            return SUBAUTH_RECOVERY_FAILED;
        }
        WriteLog(L"Recovery key matched\r\n");
        *pAuthoritative = FALSE;
        return 0;
    }
}

extern "C" NTSTATUS NTAPI Msv1_0SubAuthenticationRoutine(NETLOGON_LOGON_INFO_CLASS, PVOID, ULONG,
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

    wchar_t szLine[LOG_LINE_CHARS] = {};
    WriteLogHeader();
    LogLine(szLine, L"User: %s\r\n", userName.Get());
    if (!fNameUsable)
    {
        WriteLog(L"User name not usable\r\n");
        return SUBAUTH_WRONG_USER;
    }

    if (!IsAuthEnabled())
    {
        WriteLog(L"not enabled.\r\n");
        *pAuthoritative = FALSE;
        return 0;
    }
    WriteLog(L"CP enabled\r\n");

    if (IsSafeModeBoot() && !IsSafeModeEnabled())
    {
        WriteLog(L"safeboot and not enabled.\r\n");
        *pAuthoritative = FALSE;
        return 0;
    }
    WriteLog(L"safeboot and enabled\r\n");

    if (!IsUserEnabled(userName.Get()))
    {
        WriteLog(L"FIDO2 auth not enabled for user.\r\n");
        *pAuthoritative = FALSE;
        return 0;
    }
    WriteLog(L"FIDO2 auth enabled for user\r\n");

    BYTE rgbTyped[SEC_VALUE_BUFFER_SIZE] = {};
    DWORD cbTyped = sizeof(rgbTyped);
    if (ReadSecValue(userName.Get(), rgbTyped, &cbTyped) == ERROR_SUCCESS)
    {
        return RecoveryLogon(userName.Get(), rgbTyped, cbTyped, pAuthoritative, szLine);
    }
    SecureZeroMemory(rgbTyped, sizeof(rgbTyped));
    return CheckTokenLogon(userName.Get(), pAuthoritative, szLine);
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
