#pragma once
// The package's log file: an account of every decision while loggingEnabled is on.
#include "LogFormat.h"
#include "SubAuthStatus.h"

#include <windows.h>

extern const wchar_t LOG_FILE_PATH[]; // L"C:\\Velkor.txt"

// Lets a thread that may outlive its logon write that logon's lines, and what the logon
// reads back of its progress, only while the logon still waits for it.
class CLogGate
{
public:
    CLogGate() = default;
    CLogGate(const CLogGate&) = delete;
    CLogGate& operator=(const CLogGate&) = delete;

    // False once closed; otherwise Leave follows.
    bool Enter()
    {
        AcquireSRWLockShared(&_lock);
        if (_fClosed)
        {
            ReleaseSRWLockShared(&_lock);
            return false;
        }
        return true;
    }
    void Leave() { ReleaseSRWLockShared(&_lock); }
    // Returns once no line is being written; nothing passes afterwards.
    void Close()
    {
        AcquireSRWLockExclusive(&_lock);
        _fClosed = true;
        ReleaseSRWLockExclusive(&_lock);
    }

private:
    SRWLOCK _lock = SRWLOCK_INIT;
    bool _fClosed = false;
};

// The log of one logon. Whether logging is on is decided once, when the logon starts, so
// the switch costs one registry read per logon and a logon's account is never cut in two
// by a change of the switch.
class CLogonLog
{
public:
    explicit CLogonLog(bool fEnabled, CLogGate* pGate = nullptr) : _fEnabled(fEnabled), _pGate(pGate) {}
    CLogonLog(const CLogonLog&) = delete;
    CLogonLog& operator=(const CLogonLog&) = delete;

    bool IsEnabled() const { return _fEnabled; }

    // Appends the text (without its terminator) at once. Does nothing and reports success
    // while logging is off; false when the file could not be written (the text is lost).
    bool Write(const wchar_t* pszText);
    // The local date and time in asctime layout, then "\r\n".
    void WriteHeader();

    // Formats one line into the log's own line buffer and appends it.
    template <typename... Args>
    void Line(const wchar_t* pszFormat, Args... args)
    {
        if (!_fEnabled)
        {
            return;
        }
        FormatLine(_szLine, LOG_LINE_CHARS, pszFormat, args...);
        Write(_szLine);
    }

private:
    bool WriteFileText(const wchar_t* pszText);

    bool _fEnabled;
    CLogGate* _pGate;
    wchar_t _szLine[LOG_LINE_CHARS] = {};
};
