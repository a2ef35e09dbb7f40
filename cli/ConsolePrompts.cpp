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
    _report.Serial(pszSerial != nullptr ? pszSerial : L"");
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
