#include "CardSession.h"

LONG CCardSession::EstablishContext()
{
    if (PastDeadline())
    {
        return SCARD_E_TIMEOUT;
    }
    SCARDCONTEXT hContext = 0;
    const LONG result = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &hContext);
    AcquireSRWLockExclusive(&_lock);
    _context.lastResult = static_cast<DWORD>(result);
    if (result == SCARD_S_SUCCESS)
    {
        _context.context = hContext;
        // A waiter that let go meanwhile cancelled nothing: this context is new to it.
        if (_fLetGo)
        {
            SCardCancel(hContext);
        }
    }
    ReleaseSRWLockExclusive(&_lock);
    return result;
}

LONG CCardSession::Connect(const wchar_t* pszReaderName, bool fTraceResults, bool fTraceData)
{
    _reader.Close();
    _reader.Name(_context.context, pszReaderName);
    _fReaderNamed = true;
    _reader.traceResults = fTraceResults;
    _reader.traceData = fTraceData;
    _reader.deadline = _ullDeadline;
    const LONG result = _reader.Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    if (result == SCARD_S_SUCCESS)
    {
        _reader.BeginTransaction();
    }
    return result;
}

void CCardSession::ExtendDeadline(ULONGLONG ullDeadline)
{
    _ullDeadline = ullDeadline;
    _reader.deadline = ullDeadline;
}

void CCardSession::LetGo()
{
    AcquireSRWLockExclusive(&_lock);
    _fLetGo = true;
    if (_context.context != 0)
    {
        SCardCancel(_context.context);
    }
    ReleaseSRWLockExclusive(&_lock);
}

void CCardSession::Close()
{
    // The reader first: it borrows the context's handle. It ends the transaction and
    // leaves the card in place.
    _reader.Close();
    AcquireSRWLockExclusive(&_lock);
    _context.Release();
    ReleaseSRWLockExclusive(&_lock);
}
