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
    void LogSink(void*, const wchar_t* pszText)
    {
        WriteLog(pszText);
    }

    LONG CheckWithReader(CSmartCardContext& context, const wchar_t* pszReaderName, const wchar_t* pszUserName,
                         BOOLEAN* pAuthoritative, wchar_t (&szLine)[LOG_LINE_CHARS])
    {
        CSmartCardReader* pReader = HeapNew<CSmartCardReader>(context.context, pszReaderName);
        if (pReader == nullptr)
        {
            return SUBAUTH_CONNECT_FAILED;
        }
        pReader->traceResults = IsLoggingEnabled();
        pReader->traceData = IsLoggingEnabled();

        LONG result = SUBAUTH_WRONG_USER;
        wchar_t szSerial[64] = {};
        if (pReader->Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1) != SCARD_S_SUCCESS)
        {
            LogLine(szLine, L"Connect failed: %X\r\n", static_cast<unsigned int>(pReader->lastResult));
            result = SUBAUTH_CONNECT_FAILED;
        }
        else
        {
            const int serialStatus = ReadTokenSerial(*pReader, szSerial, ARRAYSIZE(szSerial));
            LogLine(szLine, L"Serial number: %s\r\n", szSerial);
            BYTE rgbUser[TOKEN_USER_BUFFER_SIZE] = {};
            DWORD cbUser = sizeof(rgbUser);
            // An unread serial is never looked up: it would name the tokens key itself.
            if (serialStatus != 0 || ReadTokenUser(szSerial, rgbUser, &cbUser) != ERROR_SUCCESS)
            {
                WriteLog(L"No user associated with token\r\n");
            }
            else
            {
                wchar_t szTokenUser[TOKEN_USER_BUFFER_SIZE] = {};
                AnsiValueToWide(rgbUser, cbUser, szTokenUser, ARRAYSIZE(szTokenUser));
                LogLine(szLine, L"uname from registry: %s\r\n", szTokenUser);
                if (wcscmp(pszUserName, szTokenUser) != 0)
                {
                    *pAuthoritative = FALSE;
                    WriteLog(L"Token is not for this user\r\n");
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

    LONG RunCheck(CSmartCardContext& context, const wchar_t* pszUserName, BOOLEAN* pAuthoritative,
                  wchar_t (&szLine)[LOG_LINE_CHARS])
    {
        // Without the smart-card service no token can be shown, and on recent Windows the
        // service stops when the last reader goes: that must not open the door.
        const LONG establishResult = context.EstablishContext();
        if (establishResult != SCARD_S_SUCCESS)
        {
            LogLine(szLine, L"Smart card service unavailable: 0x%08X\r\n", static_cast<unsigned int>(establishResult));
            return SUBAUTH_NO_TOKEN;
        }
        if (context.ListReaders() == nullptr)
        {
            WriteLog(L"No readers found\r\n");
            return SUBAUTH_NO_TOKEN;
        }
        const wchar_t* pszTokenReader = nullptr;
        const int tokenCount = CountTokenReaders(context, szLine, LOG_LINE_CHARS, LogSink, nullptr, &pszTokenReader);
        if (tokenCount == 0)
        {
            return SUBAUTH_NO_TOKEN;
        }
        if (tokenCount > 1)
        {
            return SUBAUTH_MULTIPLE_TOKENS;
        }
        return CheckWithReader(context, pszTokenReader, pszUserName, pAuthoritative, szLine);
    }
}

LONG CheckTokenLogon(const wchar_t* pszUserName, BOOLEAN* pAuthoritative, wchar_t (&szLine)[LOG_LINE_CHARS])
{
    LONG result = SUBAUTH_NO_TOKEN;
    CSmartCardContext* pContext = HeapNew<CSmartCardContext>();
    const HRESULT hrCom = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (pContext != nullptr)
    {
        result = RunCheck(*pContext, pszUserName, pAuthoritative, szLine);
        pContext->Release();
        HeapDelete(pContext);
    }
    if (SUCCEEDED(hrCom))
    {
        CoUninitialize();
    }
    LogLine(szLine, L"returnVal 0x%08X *Authoritative %d\r\n", static_cast<unsigned int>(result), *pAuthoritative ? 1 : 0);
    return result;
}
