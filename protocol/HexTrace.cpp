#include "HexTrace.h"

#include <cwchar>

namespace
{
    const wchar_t HEX_DIGITS[] = L"0123456789ABCDEF";
}

void WriteHexTrace(const wchar_t* pszLabel, const uint8_t* pbData, size_t cbData,
                   wchar_t* pszBuffer, size_t cchBuffer, TraceLineSink pfnSink, void* pContext)
{
    if (cchBuffer < HEX_TRACE_MIN_BUFFER)
    {
        return;
    }
    wmemset(pszBuffer, L'\0', cchBuffer);
    wmemcpy(pszBuffer, pszLabel, HEX_TRACE_LABEL_LENGTH);
    size_t cchLine = HEX_TRACE_LABEL_LENGTH;
    for (size_t i = 0; i < cbData; ++i)
    {
        pszBuffer[cchLine++] = HEX_DIGITS[pbData[i] >> 4];
        pszBuffer[cchLine++] = HEX_DIGITS[pbData[i] & 0x0F];
        pszBuffer[cchLine++] = L' ';
        if ((i + 1) % HEX_TRACE_BYTES_PER_LINE == 0)
        {
            pfnSink(pContext, pszBuffer);
            wmemset(pszBuffer, L'\0', cchBuffer);
            wmemset(pszBuffer, L' ', HEX_TRACE_LABEL_LENGTH);
            cchLine = HEX_TRACE_LABEL_LENGTH;
        }
    }
    pfnSink(pContext, pszBuffer);
}

void FormatResultLine(const wchar_t* pszCallName, uint32_t result, wchar_t* pszBuffer, size_t cchBuffer)
{
    static const wchar_t SEPARATOR[] = L" = 0x";
    const size_t cchName = wcslen(pszCallName);
    const size_t cchSeparator = sizeof(SEPARATOR) / sizeof(SEPARATOR[0]) - 1;
    if (cchBuffer == 0)
    {
        return;
    }
    if (cchName + cchSeparator + 8 >= cchBuffer)
    {
        pszBuffer[0] = L'\0';
        return;
    }
    wmemcpy(pszBuffer, pszCallName, cchName);
    wmemcpy(pszBuffer + cchName, SEPARATOR, cchSeparator);
    wchar_t* pszDigits = pszBuffer + cchName + cchSeparator;
    for (int i = 0; i < 8; ++i)
    {
        pszDigits[i] = HEX_DIGITS[(result >> (28 - 4 * i)) & 0x0F];
    }
    pszDigits[8] = L'\0';
}
