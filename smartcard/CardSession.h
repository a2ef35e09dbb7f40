#pragma once
// The smart-card objects of one logon or one administration action: the context, the
// connection to the token's reader and its transaction, all under one deadline. One
// thread talks to the token through them; the thread that waits for it may let go at any
// time. Letting go cancels the session's waits (a transaction another program holds, say);
// whatever the talking thread sends afterwards meets the deadline and fails, and Close
// gives the card back and releases the context.
#include "SmartCardContext.h"
#include "SmartCardReader.h"

class CCardSession
{
public:
    explicit CCardSession(ULONGLONG ullDeadline) : _ullDeadline(ullDeadline) {}
    ~CCardSession() { Close(); }
    CCardSession(const CCardSession&) = delete;
    CCardSession& operator=(const CCardSession&) = delete;

    ULONGLONG Deadline() const { return _ullDeadline; }
    bool PastDeadline() const { return GetTickCount64() >= _ullDeadline; }

    // The context; its status (SCARD_E_TIMEOUT once the deadline has passed).
    LONG EstablishContext();
    CSmartCardContext& Context() { return _context; }

    // Connects to the named reader in shared mode and takes a transaction on it, so that
    // concurrent logons with one token do not select applets under each other's feet. A
    // transaction that cannot be had is gone without: a logon may then fail, never pass
    // wrongly. Returns the connection's status; the reader stays (unconnected after a
    // failure) until Close.
    LONG Connect(const wchar_t* pszReaderName, bool fTraceResults, bool fTraceData);
    // Null before Connect.
    CSmartCardReader* Reader() { return _fReaderNamed ? &_reader : nullptr; }

    // A new deadline for the next step, set while no thread works on the session.
    void ExtendDeadline(ULONGLONG ullDeadline);

    // From the waiting thread.
    void LetGo();
    // Ends the transaction, the connection and the context.
    void Close();

private:
    SRWLOCK _lock = SRWLOCK_INIT;
    ULONGLONG _ullDeadline;
    bool _fLetGo = false;
    CSmartCardContext _context;
    CSmartCardReader _reader;
    bool _fReaderNamed = false;
};
