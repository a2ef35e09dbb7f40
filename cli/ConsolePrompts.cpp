#include "ConsolePrompts.h"
#include "CtlText.h"

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

bool CConsolePrompts::AskPin(const wchar_t* pszQuestion, wchar_t (&szPin)[PIN_INPUT_CHARS])
{
    SecureZeroMemory(szPin, sizeof(szPin));
    return _pinFile.empty() ? ReadPinAtConsole(pszQuestion, szPin) : ReadPinFile(szPin);
}

bool CConsolePrompts::ReadPinFile(wchar_t (&szPin)[PIN_INPUT_CHARS])
{
    // A PIN is at most 63 bytes: a first line longer than a PIN's room is no PIN.
    constexpr DWORD PIN_FILE_READ_BYTES = 4 * PIN_INPUT_CHARS;
    const HANDLE hFile = CreateFileW(_pinFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
    {
        _report.Error(L"velkorctl: cannot read the PIN file " + _pinFile + L": " + DescribedStatus(GetLastError()));
        return false;
    }
    char rgchFile[PIN_FILE_READ_BYTES] = {};
    DWORD cbRead = 0;
    const BOOL fRead = ReadFile(hFile, rgchFile, sizeof(rgchFile), &cbRead, nullptr);
    const DWORD dwError = GetLastError();
    CloseHandle(hFile);
    if (!fRead)
    {
        SecureZeroMemory(rgchFile, sizeof(rgchFile));
        _report.Error(L"velkorctl: cannot read the PIN file " + _pinFile + L": " + DescribedStatus(dwError));
        return false;
    }
    DWORD start = 0;
    if (cbRead >= 3 && rgchFile[0] == '\xEF' && rgchFile[1] == '\xBB' && rgchFile[2] == '\xBF')
    {
        start = 3; // a UTF-8 byte order mark
    }
    DWORD end = start;
    while (end < cbRead && rgchFile[end] != '\r' && rgchFile[end] != '\n') ++end;
    int cchPin = 0;
    if (end < cbRead || cbRead < sizeof(rgchFile))
    {
        cchPin = end == start ? 0
                              : MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, rgchFile + start, static_cast<int>(end - start),
                                                    szPin, PIN_INPUT_CHARS - 1);
    }
    SecureZeroMemory(rgchFile, sizeof(rgchFile));
    if (cchPin <= 0)
    {
        SecureZeroMemory(szPin, sizeof(szPin));
        _report.Error(L"velkorctl: the first line of the PIN file " + _pinFile + L" is no PIN (empty, too long or not UTF-8)");
        return false;
    }
    szPin[cchPin] = L'\0';
    return true;
}

bool CConsolePrompts::ReadPinAtConsole(const wchar_t* pszQuestion, wchar_t (&szPin)[PIN_INPUT_CHARS])
{
    const HANDLE hInput = GetStdHandle(STD_INPUT_HANDLE);
    DWORD dwMode = 0;
    if (hInput == nullptr || hInput == INVALID_HANDLE_VALUE || GetFileType(hInput) != FILE_TYPE_CHAR ||
        !GetConsoleMode(hInput, &dwMode))
    {
        _report.Error(L"velkorctl: the key needs its PIN and there is no console to type it at: give --pin-file PATH");
        return false;
    }
    const std::wstring question = std::wstring(pszQuestion != nullptr ? pszQuestion : L"") + L". PIN:";
    if (_report.IsJson())
    {
        _report.Output().ErrorLine(question);
    }
    else
    {
        _report.Output().Line(question);
    }
    // Typed without echo; the console's own mode comes back whatever happens.
    SetConsoleMode(hInput, (dwMode | ENABLE_LINE_INPUT) & ~ENABLE_ECHO_INPUT);
    DWORD cchRead = 0;
    const BOOL fRead = ReadConsoleW(hInput, szPin, PIN_INPUT_CHARS - 1, &cchRead, nullptr);
    SetConsoleMode(hInput, dwMode);
    // Enter was not echoed either: the next line starts on a line of its own.
    if (_report.IsJson())
    {
        _report.Output().ErrorLine(L"");
    }
    else
    {
        _report.Output().Line(L"");
    }
    if (!fRead)
    {
        SecureZeroMemory(szPin, sizeof(szPin));
        return false;
    }
    while (cchRead > 0 && (szPin[cchRead - 1] == L'\n' || szPin[cchRead - 1] == L'\r'))
    {
        szPin[--cchRead] = L'\0';
    }
    szPin[cchRead] = L'\0';
    return cchRead > 0;
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
