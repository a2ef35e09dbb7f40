#include "CtlCommands.h"
#include "AccountActions.h"
#include "AccountNames.h"
#include "AdminEvents.h"
#include "ConfigChanges.h"
#include "ConfigDirectory.h"
#include "ConfigStore.h"
#include "ConsolePrompts.h"
#include "CtlArguments.h"
#include "CtlHelp.h"
#include "CtlReport.h"
#include "CtlText.h"
#include "EnrolmentCommands.h"
#include "Elevation.h"
#include "InstallationHealth.h"
#include "LockoutPreflight.h"
#include "RecoveryStore.h"
#include "StatusCommand.h"
#include "VanishedAccounts.h"
#include "VelkorVersion.h"

namespace
{
    constexpr DWORD ACCOUNT_NAME_CHARS = 257;
    constexpr size_t RECOVERY_CODE_CHARS_WITH_NULL = 64;

    // The account a command works on, as the system stores it.
    struct CtlAccount
    {
        wchar_t szName[ACCOUNT_NAME_CHARS];
        BYTE rgbSid[SECURITY_MAX_SID_SIZE];
        bool fVanished; // no such local account; the configuration still names it
    };

    // Commands that clean up after an account that was renamed or deleted: they work on
    // the name the configuration uses.
    bool CleansUp(CtlVerb verb)
    {
        return verb == CtlVerb::Dissociate || verb == CtlVerb::DisableUser || verb == CtlVerb::RecoveryRemove ||
               verb == CtlVerb::Forget;
    }

    // ---- what every command does first ---------------------------------------------

    void PrintHelp(CCtlOutput& output, const std::wstring& topic)
    {
        const std::wstring text = CtlHelpText(topic);
        size_t start = 0;
        while (start < text.size())
        {
            const size_t end = text.find(L'\n', start);
            output.Line(text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
            if (end == std::wstring::npos) break;
            start = end + 1;
        }
    }

    int UsageError(CCtlOutput& output, const CtlCommand& command)
    {
        CCtlReport report(output, command.json, command.commandText);
        report.Error(L"velkorctl: " + command.error);
        if (!command.json) output.ErrorLine(L"Run \"velkorctl --help\" for the commands and their options.");
        return report.Finish(CTL_EXIT_USAGE);
    }

    // Changing or reading the logon configuration is for elevated administrators only.
    bool IsAllowed(CCtlReport& report)
    {
        bool fElevated = false;
        const DWORD status = CheckElevatedAdministrator(&fElevated);
        if (fElevated)
        {
            return true;
        }
        std::wstring text = L"velkorctl must run as an elevated administrator: start it from a prompt opened with "
                            L"\"Run as administrator\"";
        if (status != ERROR_SUCCESS) text += L" (the process token could not be read: " + DescribedStatus(status) + L")";
        report.Error(text);
        return false;
    }

    // Returns 0, or the exit code of the refusal already reported.
    int ResolveAccount(CCtlReport& report, CtlVerb verb, const std::wstring& typed, CtlAccount* pAccount)
    {
        const DWORD status =
            ResolveLocalAccountName(typed.c_str(), pAccount->szName, ACCOUNT_NAME_CHARS, pAccount->rgbSid, sizeof(pAccount->rgbSid));
        if (status == ERROR_SUCCESS)
        {
            report.Account(pAccount->szName);
            return CTL_EXIT_OK;
        }
        std::wstring configured;
        if (status == ERROR_NONE_MAPPED && CleansUp(verb) && FindConfiguredName(typed, &configured) &&
            configured.size() < ACCOUNT_NAME_CHARS)
        {
            wcscpy_s(pAccount->szName, ACCOUNT_NAME_CHARS, configured.c_str());
            pAccount->fVanished = true;
            report.Account(configured);
            report.Message(L"No local account " + typed + L" on this computer (renamed or deleted); working on the "
                           L"configuration that names " + configured);
            return CTL_EXIT_OK;
        }
        if (status == ERROR_NONE_MAPPED)
        {
            report.Error(L"No local account " + typed + L" on this computer");
            return CTL_EXIT_REFUSED;
        }
        report.Error(L"Cannot look up the account " + typed + L": " + DescribedStatus(status));
        return CTL_EXIT_ERROR;
    }

    // What a token flow returned, as an exit code.
    int FlowExitCode(DWORD result)
    {
        if (result == ERROR_SUCCESS) return CTL_EXIT_OK;
        if (result == TOKEN_FLOW_REFUSED) return CTL_EXIT_REFUSED;
        return CTL_EXIT_ERROR; // no single token, connection, serial, PC/SC or registry
    }

    void WarnToReport(void* pContext, const wchar_t* pszWarning)
    {
        static_cast<CCtlReport*>(pContext)->Warning(pszWarning);
    }

    // Services and scheduled tasks that will fail while the account's token is absent.
    void WarnAboutRuns(CCtlReport& report, const CtlAccount& account)
    {
        const ACCOUNT_RUNS_CHECK check =
            WarnAboutAccountRuns(account.szName, const_cast<BYTE*>(account.rgbSid), WarnToReport, &report);
        if (check.dwServicesStatus != ERROR_SUCCESS)
        {
            report.Warning(std::wstring(L"services could not all be checked for ") + account.szName + L": " +
                           DescribedStatus(check.dwServicesStatus));
        }
        if (FAILED(check.hrTasks))
        {
            report.Warning(std::wstring(L"scheduled tasks could not all be checked for ") + account.szName +
                           L": Task Scheduler: " + DescribedStatus(static_cast<DWORD>(check.hrTasks)));
        }
    }

    void NoteComputerSwitch(CCtlReport& report)
    {
        if (!IsAuthEnabled())
        {
            report.Message(L"The computer-wide switch is off: nothing is checked until \"velkorctl enable computer\"");
        }
    }

    // ---- the commands -----------------------------------------------------------------

    int SwitchComputer(CCtlReport& report, bool fEnabled)
    {
        const LONG status = ChangeComputerSwitch(fEnabled);
        if (status != ERROR_SUCCESS)
        {
            std::wstring text = fEnabled ? L"Error enabling credential provider" : L"Error disabling credential provider";
            text += L": " + DescribedStatus(static_cast<DWORD>(status));
            if (status == ERROR_FILE_NOT_FOUND) text += L"; the settings key is missing: is Velkor FIDO2 Login installed?";
            report.Error(text);
            return report.Finish(CTL_EXIT_ERROR);
        }
        report.Fields().Bool(L"enabled", IsAuthEnabled());
        report.Message(fEnabled ? L"Factor switched on for this computer" : L"Factor switched off for this computer");
        if (!fEnabled)
        {
            return report.Finish(CTL_EXIT_OK);
        }
        INSTALLATION_HEALTH health = {};
        ReadInstallationHealth(&health);
        wchar_t szText[HEALTH_TEXT_CHARS] = {};
        if (FormatLsaNotChecked(health, szText))
        {
            report.Message(szText);
        }
        if (FormatLsaWarning(health, szText))
        {
            report.Warning(szText);
        }
        if (FormatNotEnforced(health, szText))
        {
            report.NotEnforced(szText);
            return report.Finish(CTL_EXIT_NOT_ENFORCED);
        }
        return report.Finish(CTL_EXIT_OK);
    }

    int EnableUser(CCtlReport& report, const CtlAccount& account, bool fForce)
    {
        ACCOUNT_LOCKOUT lockout = {};
        const LONG lockoutStatus = CheckAccountLockout(account.szName, &lockout);
        if (lockoutStatus != ERROR_SUCCESS)
        {
            report.Error(L"Cannot read the tokens of the configuration: " + DescribedStatus(static_cast<DWORD>(lockoutStatus)));
            return report.Finish(CTL_EXIT_ERROR);
        }
        if (lockout.fLockedOut)
        {
            wchar_t szText[PREFLIGHT_TEXT_CHARS] = {};
            FormatLockoutText(account.szName, lockout, szText);
            if (!fForce)
            {
                report.Error(szText);
                if (!report.IsJson()) report.Output().ErrorLine(L"(--force switches the factor on all the same)");
                return report.Finish(CTL_EXIT_REFUSED);
            }
            report.Warning(std::wstring(szText) + L" (switched on because of --force)");
        }
        WarnAboutRuns(report, account);

        // An account without configuration gets its key here, as association makes it: what
        // the preflight let through (or --force overrode) is then switched on, never half.
        LONG status = CreateUserKey(account.szName, nullptr);
        if (status == ERROR_SUCCESS)
        {
            status = ChangeUserSwitch(account.szName, true);
        }
        if (status != ERROR_SUCCESS)
        {
            report.Error(L"Error enabling FIDO2 login for user " + std::wstring(account.szName) + L": " +
                         DescribedStatus(static_cast<DWORD>(status)));
            return report.Finish(CTL_EXIT_ERROR);
        }
        report.Fields().Bool(L"enabled", IsUserEnabled(account.szName));
        report.Message(std::wstring(L"Factor switched on for ") + account.szName);
        NoteComputerSwitch(report);
        return report.Finish(CTL_EXIT_OK);
    }

    int DisableUser(CCtlReport& report, const CtlAccount& account)
    {
        const LONG status = ChangeUserSwitch(account.szName, false);
        if (status == ERROR_FILE_NOT_FOUND)
        {
            // Never configured: off already, and nothing to write.
            report.Fields().Bool(L"enabled", false);
            report.Message(std::wstring(account.szName) + L" has no configuration: the factor is off");
            return report.Finish(CTL_EXIT_OK);
        }
        if (status != ERROR_SUCCESS)
        {
            report.Error(L"Error disabling FIDO2 login for user " + std::wstring(account.szName) + L": " +
                         DescribedStatus(static_cast<DWORD>(status)));
            return report.Finish(CTL_EXIT_ERROR);
        }
        report.Fields().Bool(L"enabled", IsUserEnabled(account.szName));
        report.Message(std::wstring(L"Factor switched off for ") + account.szName);
        return report.Finish(CTL_EXIT_OK);
    }

    AssociationInterface KeyInterface(CtlKeyInterface keyInterface)
    {
        switch (keyInterface)
        {
        case CtlKeyInterface::Reader: return AssociationInterface::Reader;
        case CtlKeyInterface::Usb: return AssociationInterface::Usb;
        case CtlKeyInterface::Any: break;
        }
        return AssociationInterface::Any;
    }

    int Associate(CCtlReport& report, const CtlAccount& account, bool fRecovery, CtlKeyInterface keyInterface,
                  const std::wstring& pinFile)
    {
        WarnAboutRuns(report, account);
        CConsolePrompts prompts(report, fRecovery, pinFile);
        wchar_t szTrace[MANAGER_TRACE_TEXT_CHARS] = {};
        const DWORD result = AssociateTokenWithAccount(prompts, szTrace, account.szName, KeyInterface(keyInterface));
        SecureZeroMemory(szTrace, sizeof(szTrace));
        int exitCode = FlowExitCode(result);
        if (exitCode == CTL_EXIT_OK)
        {
            report.Fields().Bool(L"enabled", IsUserEnabled(account.szName));
            // The token is recorded; the code that was asked for is not.
            if (fRecovery && !report.HasRecoveryCode()) exitCode = CTL_EXIT_ERROR;
            NoteComputerSwitch(report);
        }
        return report.Finish(exitCode);
    }

    int Dissociate(CCtlReport& report, const CtlAccount& account, const std::wstring& serial, bool fRemoveRecovery,
                   CtlKeyInterface keyInterface)
    {
        CConsolePrompts prompts(report, fRemoveRecovery);
        wchar_t szTrace[MANAGER_TRACE_TEXT_CHARS] = {};
        const DWORD result = DissociateTokenFromAccount(prompts, szTrace, account.szName,
                                                        serial.empty() ? nullptr : serial.c_str(), KeyInterface(keyInterface));
        SecureZeroMemory(szTrace, sizeof(szTrace));
        int exitCode = FlowExitCode(result);
        if (exitCode == CTL_EXIT_OK)
        {
            report.Fields().Bool(L"enabled", IsUserEnabled(account.szName)).Bool(L"hasRecoveryCode", HasRecoveryCode(account.szName));
            // The token is gone; a recovery code that was to go is still there.
            if (fRemoveRecovery && report.HasErrors()) exitCode = CTL_EXIT_ERROR;
        }
        return report.Finish(exitCode);
    }

    int GenerateRecovery(CCtlReport& report, const CtlAccount& account)
    {
        const bool fReplacing = HasRecoveryCode(account.szName);
        wchar_t szCode[RECOVERY_CODE_CHARS_WITH_NULL] = {};
        const LONG status = GenerateAccountRecoveryCode(account.szName, szCode, RECOVERY_CODE_CHARS_WITH_NULL);
        if (status != ERROR_SUCCESS)
        {
            report.Error(L"Error generating recovery key for " + std::wstring(account.szName) + L": " +
                         DescribedStatus(static_cast<DWORD>(status)));
            return report.Finish(CTL_EXIT_ERROR);
        }
        report.Message(fReplacing ? std::wstring(L"Recovery code of ") + account.szName +
                                        L" replaced; the earlier code no longer works"
                                  : std::wstring(L"Recovery code generated for ") + account.szName);
        report.RecoveryCode(szCode);
        SecureZeroMemory(szCode, sizeof(szCode));
        return report.Finish(CTL_EXIT_OK);
    }

    int RemoveRecovery(CCtlReport& report, const CtlAccount& account, bool fForce)
    {
        if (!HasRecoveryCode(account.szName))
        {
            report.Message(std::wstring(account.szName) + L" has no recovery code");
            return report.Finish(CTL_EXIT_OK);
        }
        // The code may be the account's only way in.
        const bool fProofRequired = IsProofRequired();
        bool fHasTokens = false;
        bool fTokenFactor = false;
        const LONG tokensStatus = FindAccountTokens(account.szName, fProofRequired, &fHasTokens, &fTokenFactor);
        if (tokensStatus != ERROR_SUCCESS)
        {
            report.Error(L"Cannot read the tokens of the configuration: " + DescribedStatus(static_cast<DWORD>(tokensStatus)));
            return report.Finish(CTL_EXIT_ERROR);
        }
        // An account that no longer exists cannot be locked out.
        if (!account.fVanished && IsUserEnabled(account.szName) && !fTokenFactor)
        {
            const std::wstring reason = fHasTokens ? NoTokenFactorReason(fProofRequired) : L"no token names it";
            const std::wstring text = std::wstring(account.szName) + L" would be locked out: its factor is on and " +
                                      reason + L"; associate a token or switch the factor off first";
            if (!fForce)
            {
                report.Error(text);
                if (!report.IsJson()) report.Output().ErrorLine(L"(--force removes the code all the same)");
                return report.Finish(CTL_EXIT_REFUSED);
            }
            report.Warning(text + L" (removed because of --force)");
        }
        const LONG status = RemoveAccountRecoveryCode(account.szName);
        if (status != ERROR_SUCCESS)
        {
            report.Error(L"Error removing recovery key of " + std::wstring(account.szName) + L": " +
                         DescribedStatus(static_cast<DWORD>(status)));
            return report.Finish(CTL_EXIT_ERROR);
        }
        report.Message(std::wstring(L"Recovery code of ") + account.szName + L" removed");
        return report.Finish(CTL_EXIT_OK);
    }

    // Everything the configuration holds for an account that no longer exists.
    int Forget(CCtlReport& report, const std::wstring& typed, bool fYes)
    {
        wchar_t szStored[ACCOUNT_NAME_CHARS] = {};
        const DWORD lookup = ResolveLocalAccountName(typed.c_str(), szStored, ACCOUNT_NAME_CHARS);
        if (lookup == ERROR_SUCCESS)
        {
            report.Account(szStored);
            report.Error(std::wstring(szStored) + L" is a local account of this computer: forget is for accounts that were "
                         L"renamed or deleted (use dissociate, disable user or recovery remove)");
            return report.Finish(CTL_EXIT_REFUSED);
        }
        if (lookup != ERROR_NONE_MAPPED)
        {
            report.Error(L"Cannot look up the account " + typed + L": " + DescribedStatus(lookup));
            return report.Finish(CTL_EXIT_ERROR);
        }
        std::wstring name;
        if (!FindConfiguredName(typed, &name))
        {
            report.Message(L"The configuration does not name " + typed + L": nothing to forget");
            return report.Finish(CTL_EXIT_OK);
        }
        report.Account(name);
        const std::vector<std::wstring> tokens = TokensNaming(name);
        std::wstring what = L"users\\" + name;
        for (const std::wstring& id : tokens) what += L", tokens\\" + id;
        const std::wstring question = L"No local account " + name + L" exists. Remove all of its configuration (" + what + L")?";
        if (!fYes && (report.IsJson() || !ConfirmAtConsole(report.Output(), question)))
        {
            report.Error(L"forget removes " + what + L": run it again with --yes to confirm");
            return report.Finish(CTL_EXIT_REFUSED);
        }
        std::vector<std::wstring> removed;
        bool fUserKeyRemoved = false;
        const LONG status = ForgetAccountConfiguration(name, &removed, &fUserKeyRemoved);
        for (const std::wstring& id : removed)
        {
            ReportTokenDissociated(id.c_str(), name.c_str());
            report.Message(L"Token " + id + L" removed");
        }
        report.Fields().Raw(L"tokens", JsonStringArray(removed));
        if (status != ERROR_SUCCESS)
        {
            report.Error(L"Error removing the configuration of " + name + L": " + DescribedStatus(static_cast<DWORD>(status)));
            return report.Finish(CTL_EXIT_ERROR);
        }
        ReportAccountForgotten(name.c_str());
        report.Message(L"Configuration of " + name + L" removed");
        return report.Finish(CTL_EXIT_OK);
    }

    int PrintVersion(CCtlReport& report)
    {
        report.Detail(L"velkorctl " VELKOR_VERSION_WTEXT);
        report.Fields().String(L"version", VELKOR_VERSION_WTEXT);
        return report.Finish(CTL_EXIT_OK);
    }
}

int RunVelkorCtl(const std::vector<std::wstring>& args, CCtlOutput& output)
{
    const CtlCommand command = ParseCtlArguments(args);
    if (!command.error.empty())
    {
        return UsageError(output, command);
    }
    if (command.verb == CtlVerb::Help)
    {
        PrintHelp(output, command.helpTopic);
        return CTL_EXIT_OK;
    }

    CCtlReport report(output, command.json, command.commandText);
    if (command.verb == CtlVerb::Version)
    {
        return PrintVersion(report);
    }
    if (!IsAllowed(report))
    {
        return report.Finish(CTL_EXIT_NOT_ELEVATED);
    }
    if (command.verb == CtlVerb::Status)
    {
        return RunStatus(report);
    }
    if (command.verb == CtlVerb::EnableComputer || command.verb == CtlVerb::DisableComputer)
    {
        return SwitchComputer(report, command.verb == CtlVerb::EnableComputer);
    }

    if (command.verb == CtlVerb::Export)
    {
        return RunExport(report, command);
    }
    if (command.verb == CtlVerb::Import)
    {
        return RunImport(report, command);
    }
    if (command.verb == CtlVerb::Forget)
    {
        return Forget(report, command.name, command.yes);
    }

    // Every other command names an account; nothing is written for one that is not there.
    CtlAccount account = {};
    const int refusal = ResolveAccount(report, command.verb, command.name, &account);
    if (refusal != CTL_EXIT_OK)
    {
        return report.Finish(refusal);
    }
    switch (command.verb)
    {
    case CtlVerb::EnableUser:
        return EnableUser(report, account, command.force);
    case CtlVerb::DisableUser:
        return DisableUser(report, account);
    case CtlVerb::Associate:
        return Associate(report, account, command.recovery, command.keyInterface, command.pinFile);
    case CtlVerb::Dissociate:
        return Dissociate(report, account, command.serial, command.removeRecovery, command.keyInterface);
    case CtlVerb::RecoveryGenerate:
        return GenerateRecovery(report, account);
    case CtlVerb::RecoveryRemove:
        return RemoveRecovery(report, account, command.force);
    default:
        report.Error(L"velkorctl: this command is not handled");
        return report.Finish(CTL_EXIT_USAGE);
    }
}
