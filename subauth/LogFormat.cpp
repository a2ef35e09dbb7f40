#include "LogFormat.h"

namespace
{
    class CLineWriter
    {
    public:
        CLineWriter(wchar_t* pszBuffer, size_t cchBuffer) : _pszBuffer(pszBuffer), _cchBuffer(cchBuffer) {}

        void Put(wchar_t ch)
        {
            if (_cchWritten + 1 < _cchBuffer)
            {
                _pszBuffer[_cchWritten++] = ch;
            }
            else
            {
                _fTruncated = true;
            }
        }

        // Padding beyond a full buffer only marks the line as cut.
        bool IsFull() const { return _cchWritten + 1 >= _cchBuffer; }

        int Finish()
        {
            _pszBuffer[_cchWritten] = L'\0';
            return _fTruncated ? -1 : static_cast<int>(_cchWritten);
        }

    private:
        wchar_t* _pszBuffer;
        size_t _cchBuffer;
        size_t _cchWritten = 0;
        bool _fTruncated = false;
    };

    void PutPadded(CLineWriter& writer, const wchar_t* pszDigits, size_t cchDigits, bool fNegative,
                   size_t width, bool fZeroPad)
    {
        const size_t cchBody = cchDigits + (fNegative ? 1 : 0);
        const size_t cchPadding = width > cchBody ? width - cchBody : 0;
        if (!fZeroPad)
        {
            for (size_t i = 0; i < cchPadding && !writer.IsFull(); ++i) writer.Put(L' ');
            if (cchPadding > 0 && writer.IsFull()) writer.Put(L' ');
        }
        if (fNegative) writer.Put(L'-');
        if (fZeroPad)
        {
            for (size_t i = 0; i < cchPadding && !writer.IsFull(); ++i) writer.Put(L'0');
            if (cchPadding > 0 && writer.IsFull()) writer.Put(L'0');
        }
        for (size_t i = 0; i < cchDigits; ++i) writer.Put(pszDigits[i]);
    }

    void PutNumber(CLineWriter& writer, unsigned long long value, unsigned base, bool fUpper, bool fNegative,
                   size_t width, bool fZeroPad)
    {
        const wchar_t* pszDigitSet = fUpper ? L"0123456789ABCDEF" : L"0123456789abcdef";
        wchar_t rgchReversed[24];
        size_t cch = 0;
        do
        {
            rgchReversed[cch++] = pszDigitSet[value % base];
            value /= base;
        } while (value != 0);
        wchar_t rgchDigits[24];
        for (size_t i = 0; i < cch; ++i) rgchDigits[i] = rgchReversed[cch - 1 - i];
        PutPadded(writer, rgchDigits, cch, fNegative, width, fZeroPad);
    }
}

int FormatLineV(wchar_t* pszBuffer, size_t cchBuffer, const wchar_t* pszFormat, va_list args)
{
    if (pszBuffer == nullptr || cchBuffer == 0)
    {
        return -1;
    }
    CLineWriter writer(pszBuffer, cchBuffer);
    for (const wchar_t* pch = pszFormat; *pch != L'\0'; ++pch)
    {
        if (*pch != L'%')
        {
            writer.Put(*pch);
            continue;
        }
        ++pch;
        bool fZeroPad = false;
        if (*pch == L'0')
        {
            fZeroPad = true;
            ++pch;
        }
        size_t width = 0;
        while (*pch >= L'0' && *pch <= L'9')
        {
            width = width * 10 + static_cast<size_t>(*pch - L'0');
            ++pch;
        }
        if (*pch == L'l')
        {
            ++pch; // sizes are 32-bit here whatever the modifier says
        }
        switch (*pch)
        {
        case L's':
        {
            const wchar_t* pszText = va_arg(args, const wchar_t*);
            if (pszText == nullptr) pszText = L"(null)";
            for (; *pszText != L'\0'; ++pszText) writer.Put(*pszText);
            break;
        }
        case L'd':
        {
            const int value = va_arg(args, int);
            const bool fNegative = value < 0;
            const unsigned long long magnitude = fNegative ? 0ull - static_cast<unsigned long long>(static_cast<long long>(value))
                                                           : static_cast<unsigned long long>(value);
            PutNumber(writer, magnitude, 10, false, fNegative, width, fZeroPad);
            break;
        }
        case L'u':
            PutNumber(writer, va_arg(args, unsigned int), 10, false, false, width, fZeroPad);
            break;
        case L'x':
        case L'X':
            PutNumber(writer, va_arg(args, unsigned int), 16, *pch == L'X', false, width, fZeroPad);
            break;
        case L'%':
            writer.Put(L'%');
            break;
        case L'\0':
            --pch; // a lone % at the end: stop at the terminator
            break;
        default:
            writer.Put(L'%');
            writer.Put(*pch);
            break;
        }
    }
    return writer.Finish();
}

int FormatLine(wchar_t* pszBuffer, size_t cchBuffer, const wchar_t* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    const int result = FormatLineV(pszBuffer, cchBuffer, pszFormat, args);
    va_end(args);
    return result;
}

bool FormatLogHeader(const struct tm& localTime, wchar_t (&szHeader)[LOG_HEADER_CHARS + 1])
{
    static const wchar_t DAYS[] = L"SunMonTueWedThuFriSat";
    static const wchar_t MONTHS[] = L"JanFebMarAprMayJunJulAugSepOctNovDec";
    szHeader[0] = L'\0';
    const long long year = static_cast<long long>(localTime.tm_year) + 1900;
    if (localTime.tm_wday < 0 || localTime.tm_wday > 6 || localTime.tm_mon < 0 || localTime.tm_mon > 11 ||
        localTime.tm_mday < 1 || localTime.tm_mday > 31 || localTime.tm_hour < 0 || localTime.tm_hour > 23 ||
        localTime.tm_min < 0 || localTime.tm_min > 59 || localTime.tm_sec < 0 || localTime.tm_sec > 60 ||
        year < 1000 || year > 9999)
    {
        return false;
    }
    wchar_t szDay[4] = {};
    wchar_t szMonth[4] = {};
    for (int i = 0; i < 3; ++i)
    {
        szDay[i] = DAYS[localTime.tm_wday * 3 + i];
        szMonth[i] = MONTHS[localTime.tm_mon * 3 + i];
    }
    const int cch = FormatLine(szHeader, LOG_HEADER_CHARS + 1, L"%s %s %2d %02d:%02d:%02d %d\n", szDay, szMonth,
                               localTime.tm_mday, localTime.tm_hour, localTime.tm_min, localTime.tm_sec,
                               static_cast<int>(year));
    if (cch != static_cast<int>(LOG_HEADER_CHARS))
    {
        szHeader[0] = L'\0';
        return false;
    }
    return true;
}
