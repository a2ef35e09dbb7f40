#pragma once
// The administration flows' messages as velkorctl's lines: information becomes a
// message, an error an error, a warning a warning; every question is answered from the
// command's options (one answer per command), and the serial number and recovery code
// the flows hand out go into the report.
#include "AdminPrompts.h"
#include "CtlReport.h"

#include <string>

class CConsolePrompts final : public IAdminPrompts
{
public:
    // pinFile: where a key's PIN is read from; empty: asked for at the console.
    CConsolePrompts(CCtlReport& report, bool fAnswerYes, const std::wstring& pinFile = std::wstring())
        : _report(report), _fAnswerYes(fAnswerYes), _pinFile(pinFile) {}

    int Show(const wchar_t* pszText, UINT uType) override;
    void ShowRecoveryCode(const wchar_t* pszCode) override;
    void TokenRecorded(const wchar_t* pszSerial) override;
    // "Token 1234ABCD added to user alice": the key and the account by name.
    void TokenAdded(const wchar_t* pszUserName) override;
    // "Touch the key now" while the key makes its credential: a person at the console reads
    // it at once (on standard error with --json, whose standard output is the object alone).
    void ShowProgress(const wchar_t* pszText) override;
    // The key's PIN: the first line of the --pin-file file, or typed at the console without
    // echo. Neither: an error line, and none.
    bool AskPin(const wchar_t* pszQuestion, wchar_t (&szPin)[PIN_INPUT_CHARS]) override;

private:
    bool ReadPinFile(wchar_t (&szPin)[PIN_INPUT_CHARS]);
    bool ReadPinAtConsole(const wchar_t* pszQuestion, wchar_t (&szPin)[PIN_INPUT_CHARS]);

    CCtlReport& _report;
    bool _fAnswerYes;
    std::wstring _pinFile;
    std::wstring _serial;
};

// Asks a person at the console to type "yes". False without a console on standard input
// (scripts confirm with an option instead) and for any other answer.
bool ConfirmAtConsole(CCtlOutput& output, const std::wstring& question);
