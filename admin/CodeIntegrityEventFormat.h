#pragma once
// What one Code Integrity event, rendered as XML by the event log, says about our package:
// its ID, whether it names VelkorSubAuth.dll, and when it was logged. Pure logic without
// Windows headers; the text comes from the event log and is read within its length only.
#include <cstddef>

constexpr size_t CI_EVENT_TIME_CHARS = 24; // "YYYY-MM-DD HH:MM:SS UTC" and its terminator

struct CODE_INTEGRITY_EVENT_FACTS
{
    unsigned long eventId;                // 0 when the XML names none
    bool namesPackage;                    // VelkorSubAuth.dll as a file name, in any case
    wchar_t szTime[CI_EVENT_TIME_CHARS];  // the creation time in UTC; empty when not well-formed
};

CODE_INTEGRITY_EVENT_FACTS ReadCodeIntegrityEvent(const wchar_t* pszXml, size_t cchXml);
