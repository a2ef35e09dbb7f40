#pragma once
// The package's log file: an account of every decision while loggingEnabled is on.
#include "LogFormat.h"
#include "SubAuthStatus.h"

#include <windows.h>

extern const wchar_t LOG_FILE_PATH[]; // L"C:\\Velkor.txt"

// Appends the text (without its terminator). Does nothing and reports success while
// logging is off; false when the file could not be opened (the text is lost).
bool WriteLog(const wchar_t* pszText);
// The local date and time in asctime layout, then "\r\n".
void WriteLogHeader();

// Formats one line into the caller's line buffer and appends it.
template <typename... Args>
void LogLine(wchar_t (&szLine)[LOG_LINE_CHARS], const wchar_t* pszFormat, Args... args)
{
    FormatLine(szLine, LOG_LINE_CHARS, pszFormat, args...);
    WriteLog(szLine);
}
