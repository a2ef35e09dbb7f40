#include "CtlText.h"

#include <strsafe.h>

std::wstring HexStatus(DWORD dwStatus)
{
    wchar_t szText[16] = {};
    StringCchPrintfW(szText, 16, L"0x%08X", static_cast<unsigned int>(dwStatus));
    return szText;
}
