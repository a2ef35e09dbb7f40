#include "TokenIdentification.h"
#include "ApduResponse.h"
#include "RandomBytes.h"

#include <cwchar>

const wchar_t TokenReaderName[] = L"Halvane Velkor FIDO2 Security Key";

namespace
{
    constexpr DWORD SERIAL_RESPONSE_SIZE = 512;
    constexpr DWORD PROBE_RESPONSE_SIZE = 256;

    const BYTE SELECT_NO_NAME[] = { 0x00, 0xA4, 0x04, 0x00 };
    const BYTE GET_DATA_CPLC[] = { 0x80, 0xCA, 0x9F, 0x7F, 0x00 };
    const BYTE SELECT_OTP_APPLET[] = { 0x00, 0xA4, 0x04, 0x00, 0x09, 0x4A, 0x4E, 0x45, 0x54, 0x5F, 0x4F, 0x54, 0x50, 0x01 };
    const BYTE GET_DATA_BF52[] = { 0x80, 0xCA, 0xBF, 0x52, 0x00, 0x00, 0x00 };
    const BYTE INITIALIZE_UPDATE_HEADER[] = { 0x80, 0x50, 0x00, 0x00, 0x08 };
    constexpr DWORD HOST_CHALLENGE_SIZE = 8;

    bool SendProbeCommand(CSmartCardReader& reader, const BYTE* pbCommand, DWORD cbCommand)
    {
        BYTE rgbResponse[PROBE_RESPONSE_SIZE] = {};
        DWORD cbResponse = sizeof(rgbResponse);
        reader.Transmit(pbCommand, cbCommand, rgbResponse, &cbResponse);
        return reader.lastResult == SCARD_S_SUCCESS && cbResponse <= sizeof(rgbResponse) &&
               IsStatusOk(rgbResponse, cbResponse);
    }

    // A line too long for the buffer is cut, never left unterminated.
    template <typename T>
    void FormatTrace(wchar_t* pszText, size_t cchText, const wchar_t* pszFormat, T argument)
    {
        if (cchText == 0)
        {
            return;
        }
        if (swprintf(pszText, cchText, pszFormat, argument) < 0)
        {
            pszText[cchText - 1] = L'\0';
        }
    }

    void Trace(TokenTraceSink pfnSink, void* pSinkContext, wchar_t* pszText, size_t cchText,
               const wchar_t* pszFixed, const wchar_t* pszName = nullptr)
    {
        if (pszName != nullptr)
        {
            FormatTrace(pszText, cchText, pszFixed, pszName);
            pfnSink(pSinkContext, pszText);
        }
        else
        {
            pfnSink(pSinkContext, pszFixed);
        }
    }
}

bool IsTokenReaderName(const wchar_t* pszReaderName)
{
    return pszReaderName != nullptr && wcsstr(pszReaderName, TokenReaderName) != nullptr;
}

int CountTokenReaders(CSmartCardContext& context, wchar_t* pszText, size_t cchText,
                      TokenTraceSink pfnSink, void* pSinkContext, const wchar_t** ppszTokenReader)
{
    wchar_t** ppszNames = context.ListReaders();
    if (ppszNames == nullptr)
    {
        return 0;
    }
    int tokenCount = 0;
    const wchar_t* pszTokenReader = nullptr;
    for (int i = 0; i < context.readerCount; ++i)
    {
        Trace(pfnSink, pSinkContext, pszText, cchText, L"Reader: %ls\r\n", ppszNames[i]);
        if (IsTokenReaderName(ppszNames[i]))
        {
            ++tokenCount;
            pszTokenReader = ppszNames[i];
        }
        else
        {
            Trace(pfnSink, pSinkContext, pszText, cchText, L"no match\r\n");
        }
    }
    FormatTrace(pszText, cchText, L"tokenCount: %d\r\n", tokenCount);
    pfnSink(pSinkContext, pszText);
    if (tokenCount == 0)
    {
        Trace(pfnSink, pSinkContext, pszText, cchText, L"No token detected\r\n");
    }
    else if (tokenCount > 1)
    {
        Trace(pfnSink, pSinkContext, pszText, cchText, L"More than one token detected\r\n");
    }
    else
    {
        Trace(pfnSink, pSinkContext, pszText, cchText, L"Velkor FIDO2 Token detected\r\n");
        *ppszTokenReader = pszTokenReader;
    }
    return tokenCount;
}

int ReadTokenSerial(CSmartCardReader& reader, wchar_t* pszSerial, size_t cchSerial)
{
    if (pszSerial == nullptr || cchSerial < SERIAL_TEXT_CHARS)
    {
        return -1;
    }
    BYTE rgbResponse[SERIAL_RESPONSE_SIZE] = {};
    DWORD cbResponse = sizeof(rgbResponse);
    // The card may answer the bare SELECT with an error status; only the transmission counts.
    reader.Transmit(SELECT_NO_NAME, sizeof(SELECT_NO_NAME), rgbResponse, &cbResponse);
    if (reader.lastResult != SCARD_S_SUCCESS)
    {
        return -1;
    }
    SecureZeroMemory(rgbResponse, sizeof(rgbResponse));
    cbResponse = sizeof(rgbResponse);
    reader.Transmit(GET_DATA_CPLC, sizeof(GET_DATA_CPLC), rgbResponse, &cbResponse);
    uint8_t rgbSerial[4] = {};
    if (reader.lastResult != SCARD_S_SUCCESS || cbResponse > sizeof(rgbResponse) ||
        !ParseCplcSerial(rgbResponse, cbResponse, rgbSerial))
    {
        return -1;
    }
    wchar_t szSerial[SERIAL_TEXT_CHARS];
    FormatSerialText(rgbSerial, szSerial);
    wcscpy_s(pszSerial, cchSerial, szSerial);
    return 0;
}

bool SelectOtpApplet(CSmartCardReader& reader)
{
    return SendProbeCommand(reader, SELECT_OTP_APPLET, sizeof(SELECT_OTP_APPLET));
}

bool GetDataBF52(CSmartCardReader& reader)
{
    return SendProbeCommand(reader, GET_DATA_BF52, sizeof(GET_DATA_BF52));
}

bool InitializeUpdate(CSmartCardReader& reader)
{
    BYTE rgbCommand[sizeof(INITIALIZE_UPDATE_HEADER) + HOST_CHALLENGE_SIZE] = {};
    memcpy(rgbCommand, INITIALIZE_UPDATE_HEADER, sizeof(INITIALIZE_UPDATE_HEADER));
    // Without a real challenge the command is not sent at all.
    if (!FillRandomBytes(rgbCommand + sizeof(INITIALIZE_UPDATE_HEADER), HOST_CHALLENGE_SIZE))
    {
        return false;
    }
    return SendProbeCommand(reader, rgbCommand, sizeof(rgbCommand));
}

void ProbeOtpApplet(CSmartCardReader& reader)
{
    if (SelectOtpApplet(reader) && GetDataBF52(reader))
    {
        InitializeUpdate(reader);
    }
}
