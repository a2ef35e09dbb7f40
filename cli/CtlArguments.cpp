#include "CtlArguments.h"

#include <cstddef>

namespace
{
    constexpr size_t SERIAL_DIGITS = 8;

    struct VerbRow
    {
        const wchar_t* first;
        const wchar_t* second; // nullptr: a one-word command
        bool takesName;
        CtlVerb verb;
    };

    const VerbRow VERBS[] = {
        { L"status", nullptr, false, CtlVerb::Status },
        { L"enable", L"computer", false, CtlVerb::EnableComputer },
        { L"enable", L"user", true, CtlVerb::EnableUser },
        { L"disable", L"computer", false, CtlVerb::DisableComputer },
        { L"disable", L"user", true, CtlVerb::DisableUser },
        { L"associate", nullptr, true, CtlVerb::Associate },
        { L"dissociate", nullptr, true, CtlVerb::Dissociate },
        { L"recovery", L"generate", true, CtlVerb::RecoveryGenerate },
        { L"recovery", L"remove", true, CtlVerb::RecoveryRemove },
    };

    bool IsTopic(const std::wstring& word)
    {
        for (const VerbRow& row : VERBS)
        {
            if (word == row.first) return true;
        }
        return false;
    }

    // Which options a command accepts besides --json and --help.
    bool Accepts(CtlVerb verb, const std::wstring& option)
    {
        if (option == L"--force") return verb == CtlVerb::EnableUser || verb == CtlVerb::RecoveryRemove;
        if (option == L"--recovery") return verb == CtlVerb::Associate;
        if (option == L"--serial" || option == L"--remove-recovery") return verb == CtlVerb::Dissociate;
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
    if (text.size() != SERIAL_DIGITS) return false;
    std::wstring serial;
    for (wchar_t ch : text)
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
    bool serialGiven = false;
    std::wstring serialText;

    for (size_t i = 0; i < args.size(); ++i)
    {
        const std::wstring& arg = args[i];
        if (arg == L"--help" || arg == L"-h" || arg == L"/?")
        {
            help = true;
        }
        else if (arg == L"--json")
        {
            command.json = true;
        }
        else if (arg == L"--serial" || arg.rfind(L"--serial=", 0) == 0)
        {
            if (serialGiven) return UsageError(command, L"--serial is given twice");
            serialGiven = true;
            if (arg == L"--serial")
            {
                if (i + 1 >= args.size()) return UsageError(command, L"--serial needs a serial number");
                serialText = args[++i];
            }
            else
            {
                serialText = arg.substr(9);
            }
            options.push_back(L"--serial");
        }
        else if (arg == L"--force" || arg == L"--recovery" || arg == L"--remove-recovery")
        {
            options.push_back(arg);
        }
        else if (arg.rfind(L"--", 0) == 0)
        {
            return UsageError(command, L"unknown option " + arg);
        }
        else
        {
            words.push_back(arg);
        }
    }

    if (!words.empty() && words[0] == L"help")
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
            command.helpTopic = words[0];
        }
        return command;
    }
    if (words.empty()) return UsageError(command, L"no command given");

    const VerbRow* pFound = nullptr;
    for (const VerbRow& row : VERBS)
    {
        if (words[0] != row.first) continue;
        if (row.second == nullptr || (words.size() > 1 && words[1] == row.second))
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
    if (pFound->takesName)
    {
        if (words.size() <= next) return UsageError(command, command.commandText + L" needs an account name");
        command.name = words[next++];
        if (command.name.empty()) return UsageError(command, L"the account name is empty");
    }
    if (words.size() > next) return UsageError(command, L"unexpected argument " + words[next]);

    for (const std::wstring& option : options)
    {
        if (!Accepts(command.verb, option)) return UsageError(command, option + L" does not apply to " + command.commandText);
        if (option == L"--force") command.force = true;
        if (option == L"--recovery") command.recovery = true;
        if (option == L"--remove-recovery") command.removeRecovery = true;
    }
    if (serialGiven && !NormalizeSerial(serialText, &command.serial))
    {
        return UsageError(command, L"--serial wants 8 hexadecimal digits, not \"" + serialText + L"\"");
    }
    return command;
}
