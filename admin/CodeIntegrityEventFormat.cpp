#include "CodeIntegrityEventFormat.h"

#include <cwctype>

namespace
{
    const wchar_t PACKAGE_FILE[] = L"velkorsubauth.dll";
    constexpr size_t PACKAGE_FILE_CHARS = sizeof(PACKAGE_FILE) / sizeof(PACKAGE_FILE[0]) - 1;

    // The first occurrence of pszNeedle (exact case) at or after from; cch when there is none.
    size_t Find(const wchar_t* psz, size_t cch, const wchar_t* pszNeedle, size_t from)
    {
        size_t cchNeedle = 0;
        while (pszNeedle[cchNeedle] != L'\0') ++cchNeedle;
        for (size_t i = from; i + cchNeedle <= cch; ++i)
        {
            size_t j = 0;
            while (j < cchNeedle && psz[i + j] == pszNeedle[j]) ++j;
            if (j == cchNeedle) return i;
        }
        return cch;
    }

    bool IsDigit(wchar_t c)
    {
        return c >= L'0' && c <= L'9';
    }

    // The file name stands alone: after a path separator, a quote or the start of an
    // element's text, and before the end of one.
    bool IsNameBoundary(wchar_t c)
    {
        return c == L'\\' || c == L'/' || c == L'>' || c == L'<' || c == L'"' || c == L'\'' || c == L' ';
    }

    bool NamesPackage(const wchar_t* psz, size_t cch)
    {
        for (size_t i = 0; i + PACKAGE_FILE_CHARS <= cch; ++i)
        {
            size_t j = 0;
            while (j < PACKAGE_FILE_CHARS && static_cast<wchar_t>(std::towlower(psz[i + j])) == PACKAGE_FILE[j]) ++j;
            if (j != PACKAGE_FILE_CHARS) continue;
            const bool fStart = i == 0 || IsNameBoundary(psz[i - 1]);
            const bool fEnd = i + j == cch || IsNameBoundary(psz[i + j]);
            if (fStart && fEnd) return true;
        }
        return false;
    }

    // <EventID>3033</EventID> or <EventID Qualifiers='...'>3033</EventID>
    unsigned long EventId(const wchar_t* psz, size_t cch)
    {
        size_t at = Find(psz, cch, L"<EventID", 0);
        if (at == cch) return 0;
        at = Find(psz, cch, L">", at);
        unsigned long id = 0;
        size_t digits = 0;
        for (++at; at < cch && IsDigit(psz[at]) && digits < 5; ++at, ++digits) id = id * 10 + (psz[at] - L'0');
        return (digits > 0 && at < cch && psz[at] == L'<') ? id : 0;
    }

    // <TimeCreated SystemTime='2025-03-04T05:06:07.1234567Z'/> as "2025-03-04 05:06:07 UTC".
    void Time(const wchar_t* psz, size_t cch, wchar_t (&szTime)[CI_EVENT_TIME_CHARS])
    {
        szTime[0] = L'\0';
        size_t at = Find(psz, cch, L"SystemTime=", Find(psz, cch, L"<TimeCreated", 0));
        at += 12; // past the name and the opening quote
        const wchar_t PATTERN[] = L"dddd-dd-ddTdd:dd:dd";
        const size_t cchPattern = sizeof(PATTERN) / sizeof(PATTERN[0]) - 1;
        if (at > cch || cch - at < cchPattern) return;
        for (size_t i = 0; i < cchPattern; ++i)
        {
            const wchar_t c = psz[at + i];
            if (PATTERN[i] == L'd' ? !IsDigit(c) : c != PATTERN[i]) return;
        }
        for (size_t i = 0; i < cchPattern; ++i) szTime[i] = PATTERN[i] == L'T' ? L' ' : psz[at + i];
        const wchar_t SUFFIX[] = L" UTC";
        for (size_t i = 0; i <= 4; ++i) szTime[cchPattern + i] = SUFFIX[i];
    }
}

CODE_INTEGRITY_EVENT_FACTS ReadCodeIntegrityEvent(const wchar_t* pszXml, size_t cchXml)
{
    CODE_INTEGRITY_EVENT_FACTS facts = {};
    if (pszXml == nullptr)
    {
        return facts;
    }
    facts.eventId = EventId(pszXml, cchXml);
    facts.namesPackage = NamesPackage(pszXml, cchXml);
    Time(pszXml, cchXml, facts.szTime);
    return facts;
}
