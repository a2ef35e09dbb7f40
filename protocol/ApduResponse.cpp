#include "ApduResponse.h"

namespace
{
    constexpr size_t CPLC_SERIAL_OFFSET = 15;
    constexpr size_t CPLC_SERIAL_END = CPLC_SERIAL_OFFSET + 4;
}

bool IsStatusOk(const uint8_t* pbResponse, size_t cbResponse)
{
    return cbResponse >= 2 && pbResponse[cbResponse - 2] == 0x90 && pbResponse[cbResponse - 1] == 0x00;
}

bool ParseCplcSerial(const uint8_t* pbResponse, size_t cbResponse, uint8_t (&rgbSerial)[4])
{
    if (!IsStatusOk(pbResponse, cbResponse) || cbResponse - 2 < CPLC_SERIAL_END)
    {
        return false;
    }
    for (size_t i = 0; i < 4; ++i)
    {
        rgbSerial[i] = pbResponse[CPLC_SERIAL_OFFSET + i];
    }
    return true;
}

void FormatSerialText(const uint8_t (&rgbSerial)[4], wchar_t (&szSerial)[SERIAL_TEXT_CHARS])
{
    static const wchar_t HEX_DIGITS[] = L"0123456789ABCDEF";
    for (size_t i = 0; i < 4; ++i)
    {
        szSerial[2 * i] = HEX_DIGITS[rgbSerial[i] >> 4];
        szSerial[2 * i + 1] = HEX_DIGITS[rgbSerial[i] & 0x0F];
    }
    szSerial[8] = L'\0';
}
