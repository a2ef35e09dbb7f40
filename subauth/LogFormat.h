#pragma once
// Text formatting for the log file. No Windows headers: also built natively.
#include <cstdarg>
#include <cstddef>
#include <ctime>

// printf-style formatting of one line into pszBuffer (cchBuffer characters). Knows
// %s / %ls (wide string), %d, %u, %x, %X with an optional 0 flag and width, and %%.
// Returns the characters written without the terminator; a line that does not fit is
// cut to cchBuffer - 1 characters, terminated, and -1 is returned.
int FormatLine(wchar_t* pszBuffer, size_t cchBuffer, const wchar_t* pszFormat, ...);
int FormatLineV(wchar_t* pszBuffer, size_t cchBuffer, const wchar_t* pszFormat, va_list args);

constexpr size_t LOG_HEADER_CHARS = 25; // asctime layout, line feed included

// The header text "Www Mmm dd hh:mm:ss yyyy\n" of a local time. An empty text (false)
// when the time cannot be shown in that layout.
bool FormatLogHeader(const struct tm& localTime, wchar_t (&szHeader)[LOG_HEADER_CHARS + 1]);
