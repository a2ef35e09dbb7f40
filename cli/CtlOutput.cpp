#include "CtlOutput.h"

#include <windows.h>

#include <climits>

namespace
{
    bool IsConsole(HANDLE hOutput)
    {
        DWORD dwMode = 0;
        return GetFileType(hOutput) == FILE_TYPE_CHAR && GetConsoleMode(hOutput, &dwMode);
    }
}

void CCtlOutput::Write(bool fError, const std::wstring& text)
{
    const HANDLE hOutput = GetStdHandle(fError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    if (hOutput == nullptr || hOutput == INVALID_HANDLE_VALUE || text.empty() || text.size() > INT_MAX / 4)
    {
        return;
    }
    DWORD dwWritten = 0;
    if (IsConsole(hOutput))
    {
        WriteConsoleW(hOutput, text.data(), static_cast<DWORD>(text.size()), &dwWritten, nullptr);
        return;
    }
    const int cchText = static_cast<int>(text.size());
    const int cbUtf8 = WideCharToMultiByte(CP_UTF8, 0, text.data(), cchText, nullptr, 0, nullptr, nullptr);
    if (cbUtf8 <= 0)
    {
        return;
    }
    std::string utf8(static_cast<size_t>(cbUtf8), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), cchText, utf8.data(), cbUtf8, nullptr, nullptr);
    WriteFile(hOutput, utf8.data(), static_cast<DWORD>(utf8.size()), &dwWritten, nullptr);
}
