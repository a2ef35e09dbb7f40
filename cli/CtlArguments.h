#pragma once
// The command line of velkorctl, parsed without touching the system: which command,
// which account, which options. Pure logic (no Windows headers).
#include <string>
#include <vector>

enum class CtlVerb
{
    None,
    Help,
    Status,
    EnableComputer,
    DisableComputer,
    EnableUser,
    DisableUser,
    Associate,
    Dissociate,
    RecoveryGenerate,
    RecoveryRemove,
};

struct CtlCommand
{
    CtlVerb verb = CtlVerb::None;
    std::wstring commandText; // "enable user", as JSON reports it
    std::wstring helpTopic;   // for Help: the command asked about, empty for all
    std::wstring name;        // the account as typed
    std::wstring serial;      // --serial, upper-case
    bool json = false;
    bool force = false;
    bool recovery = false;       // associate --recovery
    bool removeRecovery = false; // dissociate --remove-recovery
    std::wstring error;          // a usage error; nothing else is meaningful then
};

// args: the arguments after the program name.
CtlCommand ParseCtlArguments(const std::vector<std::wstring>& args);

// A token serial number as the configuration names it: exactly 8 hexadecimal digits,
// returned in upper case. False for anything else.
bool NormalizeSerial(const std::wstring& text, std::wstring* pSerial);
