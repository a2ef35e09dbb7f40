#pragma once
// One connection to one named reader. Every PC/SC call's result goes to lastResult and,
// with traceResults set, to the debugger output; with traceData set, commands and
// answers are traced as hex lines.
#include <windows.h>
#include <winscard.h>

constexpr size_t READER_NAME_CHARS = 64;
constexpr size_t TRACE_TEXT_CHARS = 512;

class CSmartCardReader
{
public:
    // A name that does not fit readerName is refused, not cut: the reader then has an
    // empty name and every Connect fails with SCARD_E_UNKNOWN_READER.
    CSmartCardReader(SCARDCONTEXT hContext, const wchar_t* pszReaderName);
    // Not yet naming a reader: every Connect fails until Name.
    CSmartCardReader() : context(0) {}
    ~CSmartCardReader();
    void Name(SCARDCONTEXT hContext, const wchar_t* pszReaderName);
    // Ends a transaction still held and disconnects, leaving the card in place.
    void Close();
    CSmartCardReader(const CSmartCardReader&) = delete;
    CSmartCardReader& operator=(const CSmartCardReader&) = delete;

    LONG Connect(DWORD dwShareMode, DWORD dwPreferredProtocols);
    LONG Disconnect(DWORD dwDisposition);
    LONG Reconnect(DWORD dwShareMode, DWORD dwPreferredProtocols, DWORD dwInitialization);
    LONG Transmit(const BYTE* pbCommand, DWORD cbCommand, BYTE* pbResponse, DWORD* pcbResponse);
    LONG Control(const BYTE* pbInput, DWORD cbInput, BYTE* pbOutput, DWORD cbOutput, DWORD* pcbReturned);
    // The commands between these two reach the card without another connection's commands
    // in between: an applet selected stays selected. Destruction ends a transaction still held.
    LONG BeginTransaction();
    LONG EndTransaction(DWORD dwDisposition);

    SCARDCONTEXT context;
    wchar_t readerName[READER_NAME_CHARS] = {};
    SCARDHANDLE card = 0;
    DWORD activeProtocol = 0;
    DWORD lastResult = 0;
    bool traceResults = true;
    bool traceData = true;
    wchar_t traceText[TRACE_TEXT_CHARS] = {};
    bool inTransaction = false;
    // A GetTickCount64 value; once it has passed, Connect, BeginTransaction, Transmit and
    // Control send nothing and answer SCARD_E_TIMEOUT. 0: no deadline.
    ULONGLONG deadline = 0;

private:
    bool PastDeadline() const;
    LONG Finish(const wchar_t* pszCallName, LONG result);
    void TraceBytes(const wchar_t* pszLabel, const BYTE* pbData, DWORD cbData);
};
