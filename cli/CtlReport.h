#pragma once
// What one velkorctl command has to say, for people or for scripts. For people every
// result is a line as it happens: messages, warnings ("WARNING: ...") and the "NOT
// ENFORCED: ..." line on standard output, errors on standard error. With --json
// standard output carries exactly one JSON object, printed at the end; warnings and
// errors also go to standard error as lines.
#include "CtlOutput.h"
#include "JsonFormat.h"

#include <string>
#include <vector>

// velkorctl's exit codes.
constexpr int CTL_EXIT_OK = 0;
constexpr int CTL_EXIT_REFUSED = 1;      // refused by a rule
constexpr int CTL_EXIT_USAGE = 2;
constexpr int CTL_EXIT_NOT_ENFORCED = 3;
constexpr int CTL_EXIT_ERROR = 4;        // token, PC/SC or registry
constexpr int CTL_EXIT_NOT_ELEVATED = 5;

class CCtlReport
{
public:
    CCtlReport(CCtlOutput& output, bool fJson, const std::wstring& command);
    ~CCtlReport();
    CCtlReport(const CCtlReport&) = delete;
    CCtlReport& operator=(const CCtlReport&) = delete;

    bool IsJson() const { return _fJson; }
    CCtlOutput& Output() { return _output; }

    // The account the command works on, as the system stores it.
    void Account(const std::wstring& name) { _account = name; }
    void Message(const std::wstring& text);
    // A line for people only: with --json the same facts are members of the object.
    void Detail(const std::wstring& text);
    // Without the "WARNING: " prefix, which the line gets here.
    void Warning(const std::wstring& text);
    void Error(const std::wstring& text);
    void NotEnforced(const std::wstring& line);
    void RecoveryCode(const std::wstring& code);
    void Serial(const std::wstring& serial) { _serial = serial; }
    bool HasRecoveryCode() const { return !_recoveryCode.empty(); }
    bool HasErrors() const { return !_errors.empty(); }

    // Members only this command has, placed after the common ones.
    CJsonObject& Fields() { return _fields; }

    // Prints the JSON object (with --json) and returns exitCode.
    int Finish(int exitCode);

private:
    CCtlOutput& _output;
    bool _fJson;
    std::wstring _command;
    std::wstring _account;
    std::wstring _serial;
    std::wstring _recoveryCode;
    std::wstring _notEnforced;
    std::vector<std::wstring> _messages;
    std::vector<std::wstring> _warnings;
    std::vector<std::wstring> _errors;
    CJsonObject _fields;
};
