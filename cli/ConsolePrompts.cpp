#include "ConsolePrompts.h"

int CConsolePrompts::Show(const wchar_t* pszText, UINT uType)
{
    const std::wstring text = pszText != nullptr ? pszText : L"";
    if ((uType & MB_TYPEMASK) == MB_YESNO)
    {
        return _fAnswerYes ? IDYES : IDNO;
    }
    switch (uType & MB_ICONMASK)
    {
    case MB_ICONERROR:
        _report.Error(text);
        break;
    case MB_ICONWARNING:
        _report.Warning(text);
        break;
    default:
        _report.Message(text);
        break;
    }
    return IDOK;
}

void CConsolePrompts::ShowRecoveryCode(const wchar_t* pszCode)
{
    _report.RecoveryCode(pszCode != nullptr ? pszCode : L"");
}

void CConsolePrompts::TokenRecorded(const wchar_t* pszSerial)
{
    _serial = pszSerial != nullptr ? pszSerial : L"";
    _report.Serial(_serial);
}

void CConsolePrompts::TokenAdded(const wchar_t* pszUserName)
{
    _report.Message(L"Token " + _serial + L" added to user " + (pszUserName != nullptr ? pszUserName : L""));
}

void CConsolePrompts::ShowProgress(const wchar_t* pszText)
{
    if (pszText == nullptr)
    {
        return;
    }
    if (_report.IsJson())
    {
        _report.Output().ErrorLine(pszText);
    }
    else
    {
        _report.Output().Line(pszText);
    }
}

bool ConfirmAtConsole(CCtlOutput& output, const std::wstring& question)
{
    const HANDLE hInput = GetStdHandle(STD_INPUT_HANDLE);
    DWORD dwMode = 0;
    if (hInput == nullptr || hInput == INVALID_HANDLE_VALUE || GetFileType(hInput) != FILE_TYPE_CHAR ||
        !GetConsoleMode(hInput, &dwMode))
    {
        return false;
    }
    output.Line(question + L" Type yes to confirm:");
    wchar_t szAnswer[16] = {};
    DWORD cchRead = 0;
    if (!ReadConsoleW(hInput, szAnswer, ARRAYSIZE(szAnswer) - 1, &cchRead, nullptr))
    {
        return false;
    }
    std::wstring answer(szAnswer, cchRead);
    while (!answer.empty() && (answer.back() == L'\n' || answer.back() == L'\r' || answer.back() == L' ')) answer.pop_back();
    return CompareStringOrdinal(answer.c_str(), -1, L"yes", -1, TRUE) == CSTR_EQUAL;
}
