#include "DebugOutputCapture.h"

#include <windows.h>

namespace
{
    constexpr DWORD PRINT_EXCEPTION_ANSI = 0x40010006;  // DBG_PRINTEXCEPTION_C
    constexpr DWORD PRINT_EXCEPTION_WIDE = 0x4001000A;  // DBG_PRINTEXCEPTION_WIDE_C

    std::mutex g_lock;
    std::vector<std::wstring> g_lines;

    LONG CALLBACK OnException(EXCEPTION_POINTERS* pInfo)
    {
        const EXCEPTION_RECORD* pRecord = pInfo->ExceptionRecord;
        if (pRecord->ExceptionCode == PRINT_EXCEPTION_WIDE && pRecord->NumberParameters >= 2)
        {
            const wchar_t* pszText = reinterpret_cast<const wchar_t*>(pRecord->ExceptionInformation[1]);
            std::lock_guard<std::mutex> guard(g_lock);
            g_lines.emplace_back(pszText != nullptr ? pszText : L"");
            return EXCEPTION_CONTINUE_EXECUTION;
        }
        if (pRecord->ExceptionCode == PRINT_EXCEPTION_ANSI && pRecord->NumberParameters >= 2)
        {
            // Raised for the ANSI form as well; the wide text has been taken already
            // where the system raises both, so only keep it when nothing wide came.
            const char* pszText = reinterpret_cast<const char*>(pRecord->ExceptionInformation[1]);
            std::wstring text;
            for (const char* pch = pszText; pch != nullptr && *pch != '\0'; ++pch) text += static_cast<wchar_t>(static_cast<unsigned char>(*pch));
            std::lock_guard<std::mutex> guard(g_lock);
            if (g_lines.empty() || g_lines.back() != text) g_lines.push_back(text);
            return EXCEPTION_CONTINUE_EXECUTION;
        }
        return EXCEPTION_CONTINUE_SEARCH;
    }
}

CDebugOutputCapture::CDebugOutputCapture()
{
    Clear();
    _pHandler = AddVectoredExceptionHandler(1, OnException);
}

CDebugOutputCapture::~CDebugOutputCapture()
{
    RemoveVectoredExceptionHandler(_pHandler);
}

std::vector<std::wstring> CDebugOutputCapture::Lines() const
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_lines;
}

void CDebugOutputCapture::Clear()
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_lines.clear();
}
