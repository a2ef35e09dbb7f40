#include "StatusCommand.h"
#include "AccountNames.h"
#include "ConfigDirectory.h"
#include "ConfigStore.h"
#include "CtlText.h"
#include "InstallationHealth.h"
#include "LockoutPreflight.h"
#include "RecoveryStore.h"
#include "TokenCredentialStore.h"

#include <string>
#include <vector>

namespace
{
    constexpr DWORD ACCOUNT_NAME_CHARS = 257;
    constexpr size_t TOKEN_USER_TEXT_CHARS = TOKEN_USER_BUFFER_SIZE + 1;

    struct SwitchRow
    {
        const wchar_t* name;
        bool on;
    };

    struct TokenRow
    {
        std::wstring serial;
        std::wstring user;     // for display; empty when there is none
        BYTE rgbUser[TOKEN_USER_BUFFER_SIZE];
        DWORD cbUser;          // 0 when the value could not be read
        TOKEN_PROOF_STATE proof;
        std::wstring name; // the key's product name (keys over USB); empty when none
    };

    struct AccountRow
    {
        std::wstring name;
        bool enabled;
        bool recoveryCode;
        bool exists;
        std::vector<std::wstring> tokens;
        bool tokenFactor; // one of the tokens is one the package would accept
    };

    bool CollectName(void* pContext, const wchar_t* pszName)
    {
        static_cast<std::vector<std::wstring>*>(pContext)->push_back(pszName);
        return true;
    }

    const wchar_t* OnOff(bool fOn)
    {
        return fOn ? L"on" : L"off";
    }

    std::wstring Joined(const std::vector<std::wstring>& items)
    {
        std::wstring text;
        for (const std::wstring& item : items)
        {
            if (!text.empty()) text += L", ";
            text += item;
        }
        return text;
    }

    TokenRow ReadToken(const std::wstring& serial)
    {
        TokenRow row = {};
        row.serial = serial;
        row.cbUser = sizeof(row.rgbUser);
        if (ReadTokenUser(serial.c_str(), row.rgbUser, &row.cbUser) == ERROR_SUCCESS)
        {
            wchar_t szUser[TOKEN_USER_TEXT_CHARS] = {};
            AnsiValueToWide(row.rgbUser, row.cbUser, szUser, TOKEN_USER_TEXT_CHARS);
            row.user = szUser;
        }
        else
        {
            row.cbUser = 0;
        }
        ReadTokenProofState(serial.c_str(), &row.proof);
        wchar_t szName[256] = {};
        ReadTokenName(serial.c_str(), szName, ARRAYSIZE(szName));
        row.name = szName;
        return row;
    }

    AccountRow ReadAccount(const std::wstring& name, const std::vector<TokenRow>& tokens, bool fProofRequired)
    {
        AccountRow row = {};
        row.name = name;
        row.enabled = IsUserEnabled(name.c_str());
        row.recoveryCode = HasRecoveryCode(name.c_str());
        wchar_t szStored[ACCOUNT_NAME_CHARS] = {};
        row.exists = ResolveLocalAccountName(name.c_str(), szStored, ACCOUNT_NAME_CHARS) == ERROR_SUCCESS;
        // A token belongs to the account as the logon path decides it: exact bytes.
        char szAnsi[TOKEN_USER_BUFFER_SIZE];
        int cchAnsi = 0;
        if (UserNameToAnsi(name.c_str(), szAnsi, &cchAnsi) == ERROR_SUCCESS)
        {
            for (const TokenRow& token : tokens)
            {
                if (token.cbUser > 0 && StoredTokenUserMatches(token.rgbUser, token.cbUser, szAnsi))
                {
                    row.tokens.push_back(token.serial);
                    row.tokenFactor = row.tokenFactor || IsTokenAFactor(token.proof.credential, fProofRequired);
                }
            }
        }
        return row;
    }

    std::wstring InstallationLine(const INSTALLATION_HEALTH& health)
    {
        if (!IsInstalled(health))
        {
            return L"Installation: not installed";
        }
        std::wstring line = L"Installation: Auth0 ";
        line += health.szAuth0[0] == L'\0' ? L"not set" : L"\"" + std::wstring(health.szAuth0) + L"\"";
        line += health.fAuth0IsOurs ? L" (ours)" : L" (not ours)";
        line += L", ";
        line += health.szPackagePath[0] != L'\0' ? health.szPackagePath : L"VelkorSubAuth.dll";
        line += health.fPackageInstalled ? L" present" : L" missing";
        line += health.fProviderRegistered ? L", provider registered" : L", provider not registered";
        line += health.fFilterRegistered ? L", filter registered" : L", filter not registered";
        line += health.fServerRegistered ? L", COM class registered" : L", COM class not registered";
        if (!health.fRunAsPplPresent)
        {
            line += L", RunAsPPL not set";
        }
        else
        {
            line += L", RunAsPPL " + std::to_wstring(health.dwRunAsPpl);
            line += health.fLsaProtectionRefuses ? L" (refuses our package)" : L" (no protection)";
        }
        return line;
    }

    // What the running LSA showed; empty when its protection is not known.
    std::wstring RunningLsaLine(const INSTALLATION_HEALTH& health)
    {
        const LSA_PROTECTION_STATE& lsa = health.lsa;
        if (lsa.process == LsaProcessProtection::Unknown)
        {
            return L"";
        }
        if (lsa.process == LsaProcessProtection::Unprotected)
        {
            return L"Running LSA: not protected";
        }
        return L"Running LSA: protected (level " + std::to_wstring(lsa.dwProtectionLevel) + L"), VelkorSubAuth.dll " +
               (lsa.fMicrosoftSigned ? L"signed by Microsoft" : L"not signed by Microsoft");
    }

    std::wstring FindingJson(const CODE_INTEGRITY_FINDING& finding)
    {
        if (!finding.fFound) return L"null";
        CJsonObject json;
        json.Number(L"event", finding.dwEventId).StringOrNull(L"time", finding.szTime);
        return json.Text();
    }

    std::wstring RunningLsaJson(const INSTALLATION_HEALTH& health)
    {
        if (!health.fLsaChecked) return L"null";
        const LSA_PROTECTION_STATE& lsa = health.lsa;
        CJsonObject json;
        if (lsa.process == LsaProcessProtection::Unknown)
            json.Null(L"protected").Null(L"protectionLevel");
        else
            json.Bool(L"protected", lsa.process == LsaProcessProtection::Protected).Number(L"protectionLevel", lsa.dwProtectionLevel);
        json.Bool(L"packageSignedByMicrosoft", lsa.fMicrosoftSigned)
            .Raw(L"refusedEvent", FindingJson(lsa.refused))
            .Raw(L"auditEvent", FindingJson(lsa.audited))
            .StringOrNull(L"notChecked", lsa.szNotChecked);
        return json.Text();
    }

    std::wstring InstallationJson(const INSTALLATION_HEALTH& health)
    {
        CJsonObject json;
        json.StringOrNull(L"auth0", health.szAuth0)
            .Bool(L"auth0IsOurs", health.fAuth0IsOurs)
            .String(L"packagePath", health.szPackagePath)
            .Bool(L"packageInstalled", health.fPackageInstalled)
            .Bool(L"providerRegistered", health.fProviderRegistered)
            .Bool(L"filterRegistered", health.fFilterRegistered)
            .Bool(L"classRegistered", health.fServerRegistered)
            .Bool(L"installed", IsInstalled(health))
            .Raw(L"runningLsa", RunningLsaJson(health));
        if (health.fRunAsPplPresent)
            json.Number(L"runAsPPL", health.dwRunAsPpl);
        else
            json.Null(L"runAsPPL");
        json.Bool(L"lsaProtectionRefuses", health.fLsaProtectionRefuses).Bool(L"packageLoads", IsPackageEnforced(health));
        return json.Text();
    }
}

int RunStatus(CCtlReport& report)
{
    const SwitchRow switches[] = {
        { L"enabled", IsAuthEnabled() },
        { L"safemodeEnabled", IsSafeModeEnabled() },
        { L"loggingEnabled", IsLoggingEnabled() },
        { L"eventLogEnabled", IsEventLogEnabled() },
        { L"requireProof", IsProofRequired() },
        { L"networkLogons", IsNetworkLogonAllowed() },
        { L"requireTouch", IsTouchRequired() },
    };
    const bool fComputerOn = switches[0].on;
    const bool fSafeModeChecked = switches[1].on;
    const bool fProofRequired = switches[4].on;

    std::vector<std::wstring> tokenNames;
    std::vector<std::wstring> userNames;
    LONG status = EnumerateTokenKeys(CollectName, &tokenNames);
    if (status == ERROR_SUCCESS)
    {
        status = EnumerateUserKeys(CollectName, &userNames);
    }
    if (status != ERROR_SUCCESS)
    {
        report.Error(L"Cannot read the configuration under HKLM\\SOFTWARE\\Halvane\\FIDO2\\auth: " +
                     DescribedStatus(static_cast<DWORD>(status)));
        return report.Finish(CTL_EXIT_ERROR);
    }
    std::vector<TokenRow> tokens;
    for (const std::wstring& serial : tokenNames) tokens.push_back(ReadToken(serial));
    std::vector<AccountRow> accounts;
    for (const std::wstring& name : userNames) accounts.push_back(ReadAccount(name, tokens, fProofRequired));
    INSTALLATION_HEALTH health = {};
    ReadInstallationHealth(&health);

    // For people: one line per switch set, account, token and the installation.
    std::wstring settingsLine = L"Settings:";
    CJsonObject settingsJson;
    for (const SwitchRow& row : switches)
    {
        settingsLine += std::wstring(&row == switches ? L" " : L", ") + row.name + L" " + OnOff(row.on);
        settingsJson.Bool(row.name, row.on);
    }
    report.Detail(settingsLine);

    std::vector<std::wstring> accountsJson;
    if (accounts.empty()) report.Detail(L"Accounts: none");
    for (const AccountRow& account : accounts)
    {
        std::wstring line = L"Account " + account.name + L": factor " + OnOff(account.enabled);
        line += account.recoveryCode ? L", recovery code set" : L", no recovery code";
        line += account.tokens.empty() ? L", no tokens" : L", tokens " + Joined(account.tokens);
        if (!account.exists) line += L", no such local account";
        report.Detail(line);
        accountsJson.push_back(CJsonObject()
                                   .String(L"name", account.name)
                                   .Bool(L"enabled", account.enabled)
                                   .Bool(L"accountExists", account.exists)
                                   .Bool(L"hasRecoveryCode", account.recoveryCode)
                                   .Raw(L"tokens", JsonStringArray(account.tokens))
                                   .Text());
    }

    std::vector<std::wstring> tokensJson;
    if (tokens.empty()) report.Detail(L"Tokens: none");
    for (const TokenRow& token : tokens)
    {
        const bool fUsb = IsFidoTokenKeyName(token.serial.c_str());
        std::wstring line = L"Token " + token.serial;
        if (fUsb) line += token.name.empty() ? L" (security key over USB)" : L" (" + token.name + L", over USB)";
        line += L": user " + (token.user.empty() ? L"(none)" : token.user);
        const TokenCredentialState credential = token.proof.credential;
        line += credential == TokenCredentialState::Present ? L", proof credential"
                : credential == TokenCredentialState::None  ? L", no proof credential"
                                                            : L", unusable proof credential (its logons are refused)";
        if (token.proof.fHasSignCount) line += L", signCount " + std::to_wstring(token.proof.dwSignCount);
        report.Detail(line);
        CJsonObject json;
        json.String(L"serial", token.serial)
            .String(L"interface", fUsb ? L"usb" : L"reader")
            .StringOrNull(L"name", token.name)
            .StringOrNull(L"user", token.user)
            .Bool(L"credential", credential != TokenCredentialState::None)
            .Bool(L"credentialUsable", credential == TokenCredentialState::Present);
        if (token.proof.fHasSignCount)
            json.Number(L"signCount", token.proof.dwSignCount);
        else
            json.Null(L"signCount");
        tokensJson.push_back(json.Text());
    }
    report.Detail(InstallationLine(health));
    wchar_t szText[HEALTH_TEXT_CHARS] = {};
    const std::wstring runningLsa = RunningLsaLine(health);
    if (!runningLsa.empty()) report.Detail(runningLsa);
    if (FormatLsaNotChecked(health, szText)) report.Detail(szText);

    const bool fEnforced = fComputerOn && IsPackageEnforced(health);
    report.Fields()
        .Raw(L"settings", settingsJson.Text())
        .Raw(L"accounts", JsonArray(accountsJson))
        .Raw(L"tokens", JsonArray(tokensJson))
        .Raw(L"installation", InstallationJson(health))
        .Bool(L"enforced", fEnforced);

    int exitCode = CTL_EXIT_OK;
    if (fComputerOn && FormatNotEnforced(health, szText))
    {
        report.NotEnforced(szText);
        exitCode = CTL_EXIT_NOT_ENFORCED;
    }
    if (fComputerOn && FormatLsaWarning(health, szText))
    {
        report.Warning(szText);
    }
    if (fComputerOn && FormatProviderWarning(health, szText))
    {
        report.Warning(szText);
    }
    for (const AccountRow& account : accounts)
    {
        if (!account.enabled) continue;
        if (!account.exists)
        {
            report.Warning(L"users\\" + account.name + L" has the factor on but there is no local account " +
                           account.name + L" (renamed or deleted): under its new name that account logs on without "
                           L"the factor; \"velkorctl forget " + account.name + L"\" removes its configuration");
        }
        if (account.tokens.empty() && !account.recoveryCode)
        {
            report.Warning(account.name + L" has the factor on but neither a token nor a recovery code: " +
                           account.name + L" is locked out");
        }
        else if (!account.tokens.empty() && !account.tokenFactor)
        {
            report.Warning(account.name + L" has the factor on but " + NoTokenFactorReason(fProofRequired) + L": " +
                           account.name +
                           (account.recoveryCode ? L" logs on only with its recovery code" : L" has no recovery code and is locked out"));
        }
    }
    if (fComputerOn && !fSafeModeChecked)
    {
        report.Warning(L"safemodeEnabled is not 1: in safe mode every account logs on with its password alone");
    }
    return report.Finish(exitCode);
}
