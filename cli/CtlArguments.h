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
    Export,
    Import,
    Forget,
    Version,
};

// Where associate and dissociate look for the key: a token reader and then USB, or one of them.
enum class CtlKeyInterface
{
    Any,
    Reader,
    Usb,
};

struct CtlCommand
{
    CtlVerb verb = CtlVerb::None;
    std::wstring commandText; // "enable user", as JSON reports it
    std::wstring helpTopic;   // for Help: the command asked about, empty for all
    std::wstring name;        // the account as typed
    std::vector<std::wstring> names; // export: the accounts as typed, none for all
    std::wstring path;        // import: the document
    std::wstring file;        // export --file
    std::wstring serial;      // --serial, upper-case (fido- in lower case)
    CtlKeyInterface keyInterface = CtlKeyInterface::Any; // --interface
    std::wstring pinFile;     // associate --pin-file: the file the key's PIN is read from
    bool json = false;
    bool force = false;
    bool recovery = false;       // associate --recovery
    bool removeRecovery = false; // dissociate --remove-recovery
    bool enable = false;         // import --enable
    bool yes = false;            // forget --yes
    std::wstring error;          // a usage error; nothing else is meaningful then
};

// args: the arguments after the program name. Commands and options are matched in any
// case, as Windows tools are; account names, paths and serial numbers keep theirs.
CtlCommand ParseCtlArguments(const std::vector<std::wstring>& args);

// A token key as the configuration names it: exactly 8 hexadecimal digits, or fido- and
// 16, returned with upper-case digits. False for anything else.
bool NormalizeSerial(const std::wstring& text, std::wstring* pSerial);
