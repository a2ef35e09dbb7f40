#include "CtlText.h"
#include "StatusWords.h"

#include <strsafe.h>

#include <climits>

std::wstring HexStatus(DWORD dwStatus)
{
    wchar_t szText[16] = {};
    StringCchPrintfW(szText, 16, L"0x%08X", static_cast<unsigned int>(dwStatus));
    return szText;
}

std::wstring DescribedStatus(DWORD dwStatus)
{
    wchar_t szWords[STATUS_WORDS_CHARS] = {};
    FormatStatusWords(dwStatus, szWords);
    return std::wstring(szWords) + L" (error " + HexStatus(dwStatus) + L")";
}

bool Utf8ToWide(const std::string& utf8, std::wstring* pWide)
{
    pWide->clear();
    if (utf8.empty()) return true;
    if (utf8.size() > INT_MAX) return false;
    const int cch = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    if (cch <= 0) return false;
    pWide->resize(static_cast<size_t>(cch));
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), pWide->data(), cch) == cch;
}

std::string WideToUtf8(const std::wstring& wide)
{
    if (wide.empty() || wide.size() > INT_MAX / 4) return std::string();
    const int cb = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    if (cb <= 0) return std::string();
    std::string utf8(static_cast<size_t>(cb), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), cb, nullptr, nullptr);
    return utf8;
}
