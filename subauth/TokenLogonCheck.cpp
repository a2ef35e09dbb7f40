#include "TokenLogonCheck.h"
#include "ConfigStore.h"
#include "DiagnosticLog.h"
#include "HeapObject.h"
#include "LogFormat.h"
#include "SmartCardContext.h"
#include "SmartCardReader.h"
#include "TokenIdentification.h"


namespace
{
    void LogSink(void* pLog, const wchar_t* pszText)
    {
        static_cast<CLogonLog*>(pLog)->Write(pszText);
    }

    LONG CheckWithReader(CSmartCardContext& context, const wchar_t* pszReaderName, const wchar_t* pszUserName,
                         BOOLEAN* pAuthoritative, CLogonLog& log)
    {
        CSmartCardReader* pReader = HeapNew<CSmartCardReader>(context.context, pszReaderName);
        if (pReader == nullptr)
        {
            return SUBAUTH_CONNECT_FAILED;
        }
        pReader->traceResults = log.IsEnabled();
        pReader->traceData = log.IsEnabled();

        LONG result = SUBAUTH_WRONG_USER;
        wchar_t szSerial[64] = {};
        if (pReader->Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1) != SCARD_S_SUCCESS)
        {
            log.Line(L"Connect failed: %X\r\n", static_cast<unsigned int>(pReader->lastResult));
            result = SUBAUTH_CONNECT_FAILED;
        }
        else
        {
            const int serialStatus = ReadTokenSerial(*pReader, szSerial, ARRAYSIZE(szSerial));
            log.Line(L"Serial number: %s\r\n", szSerial);
            BYTE rgbUser[TOKEN_USER_BUFFER_SIZE] = {};
            DWORD cbUser = sizeof(rgbUser);
            // An unread serial is never looked up: it would name the tokens key itself.
            if (serialStatus != 0 || ReadTokenUser(szSerial, rgbUser, &cbUser) != ERROR_SUCCESS)
            {
                log.Write(L"No user associated with token\r\n");
            }
            else
            {
                wchar_t szTokenUser[TOKEN_USER_BUFFER_SIZE] = {};
                AnsiValueToWide(rgbUser, cbUser, szTokenUser, ARRAYSIZE(szTokenUser));
                log.Line(L"uname from registry: %s\r\n", szTokenUser);
                if (wcscmp(pszUserName, szTokenUser) != 0)
                {
                    *pAuthoritative = FALSE;
                    log.Write(L"Token is not for this user\r\n");
                }
                else
                {
                    ProbeOtpApplet(*pReader);
                    result = 0;
                }
            }
        }
        HeapDelete(pReader);
        return result;
    }

    LONG RunCheck(CSmartCardContext& context, const wchar_t* pszUserName, BOOLEAN* pAuthoritative, CLogonLog& log)
    {
        // Without the smart-card service no token can be shown, and on recent Windows the
        // service stops when the last reader goes: that must not open the door.
        const LONG establishResult = context.EstablishContext();
        if (establishResult != SCARD_S_SUCCESS)
        {
            log.Line(L"Smart card service unavailable: 0x%08X\r\n", static_cast<unsigned int>(establishResult));
            return SUBAUTH_NO_TOKEN;
        }
        if (context.ListReaders() == nullptr)
        {
            log.Write(L"No readers found\r\n");
            return SUBAUTH_NO_TOKEN;
        }
        const wchar_t* pszTokenReader = nullptr;
        wchar_t szTrace[LOG_LINE_CHARS] = {};
        const int tokenCount = CountTokenReaders(context, szTrace, LOG_LINE_CHARS, LogSink, &log, &pszTokenReader);
        if (tokenCount == 0)
        {
            return SUBAUTH_NO_TOKEN;
        }
        if (tokenCount > 1)
        {
            return SUBAUTH_MULTIPLE_TOKENS;
        }
        return CheckWithReader(context, pszTokenReader, pszUserName, pAuthoritative, log);
    }
}

LONG CheckTokenLogon(const wchar_t* pszUserName, BOOLEAN* pAuthoritative, CLogonLog& log)
{
    LONG result = SUBAUTH_NO_TOKEN;
    CSmartCardContext* pContext = HeapNew<CSmartCardContext>();
    const HRESULT hrCom = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (pContext != nullptr)
    {
        result = RunCheck(*pContext, pszUserName, pAuthoritative, log);
        pContext->Release();
        HeapDelete(pContext);
    }
    if (SUCCEEDED(hrCom))
    {
        CoUninitialize();
    }
    log.Line(L"returnVal 0x%08X *Authoritative %d\r\n", static_cast<unsigned int>(result), *pAuthoritative ? 1 : 0);
    return result;
}
