#include "CtlArguments.h"

#include <cstddef>

namespace
{
    constexpr size_t SERIAL_DIGITS = 8;
    constexpr size_t FIDO_ID_DIGITS = 16;

    enum class Operand
    {
        None,
        Name,  // exactly one account
        Names, // any number of accounts
        Path,  // one file
    };

    struct VerbRow
    {
        const wchar_t* first;
        const wchar_t* second; // nullptr: a one-word command
        Operand operand;
        CtlVerb verb;
    };

    const VerbRow VERBS[] = {
        { L"status", nullptr, Operand::None, CtlVerb::Status },
        { L"enable", L"computer", Operand::None, CtlVerb::EnableComputer },
        { L"enable", L"user", Operand::Name, CtlVerb::EnableUser },
        { L"disable", L"computer", Operand::None, CtlVerb::DisableComputer },
        { L"disable", L"user", Operand::Name, CtlVerb::DisableUser },
        { L"associate", nullptr, Operand::Name, CtlVerb::Associate },
        { L"dissociate", nullptr, Operand::Name, CtlVerb::Dissociate },
        { L"recovery", L"generate", Operand::Name, CtlVerb::RecoveryGenerate },
        { L"recovery", L"remove", Operand::Name, CtlVerb::RecoveryRemove },
        { L"export", nullptr, Operand::Names, CtlVerb::Export },
        { L"import", nullptr, Operand::Path, CtlVerb::Import },
        { L"forget", nullptr, Operand::Name, CtlVerb::Forget },
    };

    // Options that take a value, given as "--option VALUE" or "--option=VALUE".
    const wchar_t* const VALUE_OPTIONS[] = { L"--serial", L"--file", L"--interface", L"--pin-file" };
    // Options that stand alone besides --json, --help and --version.
    const wchar_t* const FLAG_OPTIONS[] = { L"--force", L"--recovery", L"--remove-recovery", L"--enable", L"--yes" };

    // Command words and option names are ASCII; case folding stops there.
    std::wstring Lower(const std::wstring& text)
    {
        std::wstring lower = text;
        for (wchar_t& ch : lower)
        {
            if (ch >= L'A' && ch <= L'Z') ch = static_cast<wchar_t>(ch - L'A' + L'a');
        }
        return lower;
    }

    bool IsTopic(const std::wstring& word)
    {
        for (const VerbRow& row : VERBS)
        {
            if (Lower(word) == row.first) return true;
        }
        return false;
    }

    // Which options a command accepts besides --json and --help.
    bool Accepts(CtlVerb verb, const std::wstring& option)
    {
        if (option == L"--force")
            return verb == CtlVerb::EnableUser || verb == CtlVerb::RecoveryRemove || verb == CtlVerb::Import;
        if (option == L"--recovery" || option == L"--pin-file") return verb == CtlVerb::Associate;
        if (option == L"--serial" || option == L"--remove-recovery") return verb == CtlVerb::Dissociate;
        if (option == L"--file") return verb == CtlVerb::Export;
        if (option == L"--interface") return verb == CtlVerb::Associate || verb == CtlVerb::Dissociate;
        if (option == L"--enable") return verb == CtlVerb::Import;
        if (option == L"--yes") return verb == CtlVerb::Forget;
        return false;
    }

    CtlCommand UsageError(CtlCommand command, const std::wstring& error)
    {
        command.verb = CtlVerb::None;
        command.error = error;
        return command;
    }
}

bool NormalizeSerial(const std::wstring& text, std::wstring* pSerial)
{
    // A key known by its credential: fido- and 16 hexadecimal digits.
    const std::wstring prefix = L"fido-";
    const bool fFido = Lower(text.substr(0, prefix.size())) == prefix;
    const size_t cDigits = fFido ? FIDO_ID_DIGITS : SERIAL_DIGITS;
    const std::wstring digits = fFido ? text.substr(prefix.size()) : text;
    if (digits.size() != cDigits) return false;
    std::wstring serial = fFido ? prefix : std::wstring();
    for (wchar_t ch : digits)
    {
        if (ch >= L'a' && ch <= L'f') ch = static_cast<wchar_t>(ch - L'a' + L'A');
        const bool digit = (ch >= L'0' && ch <= L'9') || (ch >= L'A' && ch <= L'F');
        if (!digit) return false;
        serial += ch;
    }
    *pSerial = serial;
    return true;
}

CtlCommand ParseCtlArguments(const std::vector<std::wstring>& args)
{
    CtlCommand command;
    std::vector<std::wstring> words;
    std::vector<std::wstring> options;
    bool help = false;
    bool version = false;
    bool serialGiven = false;
    bool fileGiven = false;
    bool interfaceGiven = false;
    bool pinFileGiven = false;
    std::wstring serialText;
    std::wstring interfaceText;

    for (size_t i = 0; i < args.size(); ++i)
    {
        const std::wstring& arg = args[i];
        const size_t equals = arg.find(L'=');
        const std::wstring option = arg.rfind(L"--", 0) == 0 ? Lower(arg.substr(0, equals)) : std::wstring();
        if (arg == L"/?" || Lower(arg) == L"-h" || option == L"--help")
        {
            help = true;
            continue;
        }
        if (option.empty())
        {
            words.push_back(arg);
            continue;
        }
        bool takesValue = false;
        for (const wchar_t* name : VALUE_OPTIONS) takesValue = takesValue || option == name;
        bool isFlag = false;
        for (const wchar_t* name : FLAG_OPTIONS) isFlag = isFlag || option == name;
        if (takesValue)
        {
            bool& given = option == L"--serial"      ? serialGiven
                          : option == L"--interface" ? interfaceGiven
                          : option == L"--file"      ? fileGiven
                                                     : pinFileGiven;
            if (given) return UsageError(command, option + L" is given twice");
            given = true;
            std::wstring value;
            if (equals == std::wstring::npos)
            {
                if (i + 1 >= args.size()) return UsageError(command, option + L" needs a value");
                value = args[++i];
            }
            else
            {
                value = arg.substr(equals + 1);
            }
            (option == L"--serial"      ? serialText
             : option == L"--interface" ? interfaceText
             : option == L"--file"      ? command.file
                                        : command.pinFile) = value;
            options.push_back(option);
        }
        else if (equals != std::wstring::npos)
        {
            return UsageError(command, L"unknown option " + arg);
        }
        else if (option == L"--json")
        {
            command.json = true;
        }
        else if (option == L"--version")
        {
            version = true;
        }
        else if (isFlag)
        {
            options.push_back(option);
        }
        else
        {
            return UsageError(command, L"unknown option " + arg);
        }
    }

    if (!words.empty() && Lower(words[0]) == L"help")
    {
        words.erase(words.begin());
        help = true;
    }
    if (help)
    {
        command.verb = CtlVerb::Help;
        command.commandText = L"help";
        if (!words.empty())
        {
            if (!IsTopic(words[0])) return UsageError(command, L"no command " + words[0]);
            command.helpTopic = Lower(words[0]);
        }
        return command;
    }
    if (version)
    {
        if (!words.empty() || !options.empty()) return UsageError(command, L"--version goes alone (or with --json)");
        command.verb = CtlVerb::Version;
        command.commandText = L"version";
        return command;
    }
    if (words.empty()) return UsageError(command, L"no command given");

    const VerbRow* pFound = nullptr;
    for (const VerbRow& row : VERBS)
    {
        if (Lower(words[0]) != row.first) continue;
        if (row.second == nullptr || (words.size() > 1 && Lower(words[1]) == row.second))
        {
            pFound = &row;
            break;
        }
    }
    if (pFound == nullptr)
    {
        if (!IsTopic(words[0])) return UsageError(command, L"unknown command " + words[0]);
        return UsageError(command, words.size() > 1 ? L"unknown command " + words[0] + L" " + words[1]
                                                    : L"incomplete command " + words[0]);
    }
    command.verb = pFound->verb;
    command.commandText = pFound->first;
    size_t next = 1;
    if (pFound->second != nullptr)
    {
        command.commandText += L" ";
        command.commandText += pFound->second;
        next = 2;
    }
    switch (pFound->operand)
    {
    case Operand::Name:
        if (words.size() <= next) return UsageError(command, command.commandText + L" needs an account name");
        command.name = words[next++];
        if (command.name.empty()) return UsageError(command, L"the account name is empty");
        break;
    case Operand::Names:
        for (; next < words.size(); ++next)
        {
            if (words[next].empty()) return UsageError(command, L"the account name is empty");
            command.names.push_back(words[next]);
        }
        break;
    case Operand::Path:
        if (words.size() <= next) return UsageError(command, command.commandText + L" needs a file");
        command.path = words[next++];
        if (command.path.empty()) return UsageError(command, L"the file name is empty");
        break;
    case Operand::None:
        break;
    }
    if (words.size() > next) return UsageError(command, L"unexpected argument " + words[next]);

    for (const std::wstring& option : options)
    {
        if (!Accepts(command.verb, option)) return UsageError(command, option + L" does not apply to " + command.commandText);
        if (option == L"--force") command.force = true;
        if (option == L"--recovery") command.recovery = true;
        if (option == L"--remove-recovery") command.removeRecovery = true;
        if (option == L"--enable") command.enable = true;
        if (option == L"--yes") command.yes = true;
    }
    if (serialGiven && !NormalizeSerial(serialText, &command.serial))
    {
        return UsageError(command, L"--serial wants 8 hexadecimal digits or fido- and 16, not \"" + serialText + L"\"");
    }
    if (interfaceGiven)
    {
        const std::wstring iface = Lower(interfaceText);
        if (iface != L"reader" && iface != L"usb")
        {
            return UsageError(command, L"--interface wants reader or usb, not \"" + interfaceText + L"\"");
        }
        command.keyInterface = iface == L"reader" ? CtlKeyInterface::Reader : CtlKeyInterface::Usb;
    }
    if (fileGiven && command.file.empty()) return UsageError(command, L"--file needs a file name");
    if (pinFileGiven && command.pinFile.empty()) return UsageError(command, L"--pin-file needs a file name");
    if (command.verb == CtlVerb::Export && command.json && command.file.empty())
    {
        return UsageError(command, L"export --json writes the document with --file PATH (standard output carries the report)");
    }
    return command;
}
