#include "CtlReport.h"

#include <windows.h>

namespace
{
    const wchar_t* ResultName(int exitCode)
    {
        switch (exitCode)
        {
        case CTL_EXIT_OK: return L"ok";
        case CTL_EXIT_REFUSED: return L"refused";
        case CTL_EXIT_USAGE: return L"usage";
        case CTL_EXIT_NOT_ENFORCED: return L"notEnforced";
        case CTL_EXIT_NOT_ELEVATED: return L"notElevated";
        default: return L"error";
        }
    }

    void Wipe(std::wstring& text)
    {
        if (!text.empty()) SecureZeroMemory(text.data(), text.size() * sizeof(wchar_t));
        text.clear();
    }
}

CCtlReport::CCtlReport(CCtlOutput& output, bool fJson, const std::wstring& command)
    : _output(output), _fJson(fJson), _command(command)
{
}

CCtlReport::~CCtlReport()
{
    Wipe(_recoveryCode);
}

void CCtlReport::Message(const std::wstring& text)
{
    _messages.push_back(text);
    if (!_fJson) _output.Line(text);
}

void CCtlReport::Detail(const std::wstring& text)
{
    if (!_fJson) _output.Line(text);
}

void CCtlReport::Warning(const std::wstring& text)
{
    _warnings.push_back(text);
    if (_fJson)
        _output.ErrorLine(L"WARNING: " + text);
    else
        _output.Line(L"WARNING: " + text);
}

void CCtlReport::Error(const std::wstring& text)
{
    _errors.push_back(text);
    _output.ErrorLine(text);
}

void CCtlReport::NotEnforced(const std::wstring& line)
{
    _notEnforced = line;
    if (_fJson)
        _output.ErrorLine(line);
    else
        _output.Line(line);
}

void CCtlReport::RecoveryCode(const std::wstring& code)
{
    _recoveryCode = code;
    if (_fJson) return;
    std::wstring line = L"Recovery code for " + _account + L" (shown once; write it down): " + code;
    _output.Line(line);
    Wipe(line);
}

int CCtlReport::Finish(int exitCode)
{
    if (!_fJson) return exitCode;
    CJsonObject json;
    json.String(L"command", _command).String(L"result", ResultName(exitCode)).Number(L"exitCode", static_cast<unsigned>(exitCode));
    if (!_account.empty()) json.String(L"account", _account);
    json.Merge(_fields);
    if (!_serial.empty()) json.String(L"serial", _serial);
    if (!_recoveryCode.empty()) json.String(L"recoveryCode", _recoveryCode);
    if (!_notEnforced.empty()) json.String(L"notEnforced", _notEnforced);
    json.Raw(L"messages", JsonStringArray(_messages))
        .Raw(L"warnings", JsonStringArray(_warnings))
        .Raw(L"errors", JsonStringArray(_errors));
    std::wstring text = json.Text();
    json.Clear();
    _output.Line(text);
    Wipe(text);
    return exitCode;
}
