#include "SmartCardReader.h"
#include "HexTrace.h"

#include <cwchar>

namespace
{
    void DebugOutputSink(void*, const wchar_t* pszLine)
    {
        OutputDebugStringW(pszLine);
    }
}

CSmartCardReader::CSmartCardReader(SCARDCONTEXT hContext, const wchar_t* pszReaderName)
    : context(hContext)
{
    Name(hContext, pszReaderName);
}

void CSmartCardReader::Name(SCARDCONTEXT hContext, const wchar_t* pszReaderName)
{
    context = hContext;
    readerName[0] = L'\0';
    if (pszReaderName != nullptr && wcsnlen(pszReaderName, READER_NAME_CHARS) < READER_NAME_CHARS)
    {
        wcscpy_s(readerName, pszReaderName);
    }
}

CSmartCardReader::~CSmartCardReader()
{
    // A reader that never named one (held in place until a connection is made) was not one.
    if (context != 0 || readerName[0] != L'\0')
    {
        OutputDebugStringW(L"~CSmartCardReader() called");
    }
    Close();
}

void CSmartCardReader::Close()
{
    if (card != 0 && inTransaction)
    {
        SCardEndTransaction(card, SCARD_LEAVE_CARD);
        inTransaction = false;
    }
    if (card != 0)
    {
        SCardDisconnect(card, SCARD_LEAVE_CARD);
        card = 0;
    }
}

bool CSmartCardReader::PastDeadline() const
{
    return deadline != 0 && GetTickCount64() >= deadline;
}

LONG CSmartCardReader::Finish(const wchar_t* pszCallName, LONG result)
{
    lastResult = static_cast<DWORD>(result);
    if (traceResults)
    {
        FormatResultLine(pszCallName, lastResult, traceText, TRACE_TEXT_CHARS);
        OutputDebugStringW(traceText);
    }
    return result;
}

void CSmartCardReader::TraceBytes(const wchar_t* pszLabel, const BYTE* pbData, DWORD cbData)
{
    WriteHexTrace(pszLabel, pbData, cbData, traceText, TRACE_TEXT_CHARS, DebugOutputSink, nullptr);
}

LONG CSmartCardReader::Connect(DWORD dwShareMode, DWORD dwPreferredProtocols)
{
    if (readerName[0] == L'\0')
    {
        return Finish(L"SCardConnect", SCARD_E_UNKNOWN_READER);
    }
    if (PastDeadline())
    {
        return Finish(L"SCardConnect", SCARD_E_TIMEOUT);
    }
    return Finish(L"SCardConnect",
                  SCardConnectW(context, readerName, dwShareMode, dwPreferredProtocols, &card, &activeProtocol));
}

LONG CSmartCardReader::Disconnect(DWORD dwDisposition)
{
    const LONG result = SCardDisconnect(card, dwDisposition);
    if (result == SCARD_S_SUCCESS)
    {
        card = 0;
    }
    return Finish(L"SCardDisconnect", result);
}

LONG CSmartCardReader::Reconnect(DWORD dwShareMode, DWORD dwPreferredProtocols, DWORD dwInitialization)
{
    return Finish(L"SCardReconnect",
                  SCardReconnect(card, dwShareMode, dwPreferredProtocols, dwInitialization, &activeProtocol));
}

LONG CSmartCardReader::Transmit(const BYTE* pbCommand, DWORD cbCommand, BYTE* pbResponse, DWORD* pcbResponse)
{
    if (PastDeadline())
    {
        return Finish(L"SCardTransmit", SCARD_E_TIMEOUT);
    }
    if (traceData)
    {
        TraceBytes(L"APDU: ", pbCommand, cbCommand);
    }
    const SCARD_IO_REQUEST* pioSendPci = (activeProtocol == SCARD_PROTOCOL_T0) ? SCARD_PCI_T0 : SCARD_PCI_T1;
    const DWORD cbOffered = *pcbResponse;
    const LONG result = Finish(L"SCardTransmit",
                               SCardTransmit(card, pioSendPci, pbCommand, cbCommand, nullptr, pbResponse, pcbResponse));
    if (traceData && result == SCARD_S_SUCCESS)
    {
        TraceBytes(L"RESP: ", pbResponse, *pcbResponse <= cbOffered ? *pcbResponse : cbOffered);
    }
    return result;
}

LONG CSmartCardReader::Control(const BYTE* pbInput, DWORD cbInput, BYTE* pbOutput, DWORD cbOutput, DWORD* pcbReturned)
{
    if (PastDeadline())
    {
        return Finish(L"SCardControl", SCARD_E_TIMEOUT);
    }
    if (traceData)
    {
        TraceBytes(L"SEND: ", pbInput, cbInput);
    }
    const LONG result = Finish(L"SCardControl",
                               SCardControl(card, SCARD_CTL_CODE(3500), pbInput, cbInput, pbOutput, cbOutput, pcbReturned));
    if (traceData && result == SCARD_S_SUCCESS)
    {
        TraceBytes(L"RECV: ", pbOutput, *pcbReturned <= cbOutput ? *pcbReturned : cbOutput);
    }
    return result;
}

LONG CSmartCardReader::BeginTransaction()
{
    if (PastDeadline())
    {
        return Finish(L"SCardBeginTransaction", SCARD_E_TIMEOUT);
    }
    const LONG result = Finish(L"SCardBeginTransaction", SCardBeginTransaction(card));
    inTransaction = result == SCARD_S_SUCCESS;
    return result;
}

LONG CSmartCardReader::EndTransaction(DWORD dwDisposition)
{
    const LONG result = Finish(L"SCardEndTransaction", SCardEndTransaction(card, dwDisposition));
    if (result == SCARD_S_SUCCESS)
    {
        inTransaction = false;
    }
    return result;
}
