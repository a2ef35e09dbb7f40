#include "EnrolmentCommands.h"
#include "AccountNames.h"
#include "AdminEvents.h"
#include "ConfigDirectory.h"
#include "ConfigStore.h"
#include "CtlText.h"
#include "EnrolmentDocument.h"
#include "EnrolmentImport.h"
#include "LockoutPreflight.h"
#include "TokenCredentialStore.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <set>

namespace
{
    constexpr DWORD ACCOUNT_NAME_CHARS = 257;
    constexpr DWORD TOKEN_NAME_CHARS = 512;
    constexpr size_t TOKEN_USER_TEXT_CHARS = TOKEN_USER_BUFFER_SIZE + 1;

    bool CollectName(void* pContext, const wchar_t* pszName)
    {
        static_cast<std::vector<std::wstring>*>(pContext)->push_back(pszName);
        return true;
    }

    // A token key's display name, when it has one.
    std::wstring ReadTokenName(const std::wstring& id)
    {
        wchar_t szName[TOKEN_NAME_CHARS] = {};
        DWORD cbName = sizeof(szName);
        const std::wstring path = std::wstring(TOKENS_KEY_PREFIX) + id;
        if (RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), L"name", RRF_RT_REG_SZ, nullptr, szName, &cbName) != ERROR_SUCCESS)
        {
            return std::wstring();
        }
        return szName;
    }

    std::string AnsiName(const std::wstring& name)
    {
        char szAnsi[TOKEN_USER_BUFFER_SIZE];
        int cchAnsi = 0;
        return UserNameToAnsi(name.c_str(), szAnsi, &cchAnsi) == ERROR_SUCCESS ? std::string(szAnsi, static_cast<size_t>(cchAnsi))
                                                                               : std::string();
    }

    // The whole file, or why not. Larger files are refused before they are read.
    DWORD ReadDocumentFile(const std::wstring& path, std::string* pBytes, bool* pfTooLarge)
    {
        *pfTooLarge = false;
        HANDLE hFile = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
        if (hFile == INVALID_HANDLE_VALUE) return GetLastError();
        LARGE_INTEGER size = {};
        DWORD status = GetFileSizeEx(hFile, &size) ? ERROR_SUCCESS : GetLastError();
        if (status == ERROR_SUCCESS && static_cast<unsigned long long>(size.QuadPart) > ENROLMENT_MAX_BYTES)
        {
            *pfTooLarge = true;
        }
        else if (status == ERROR_SUCCESS)
        {
            pBytes->resize(static_cast<size_t>(size.QuadPart));
            DWORD cbRead = 0;
            if (!ReadFile(hFile, pBytes->data(), static_cast<DWORD>(pBytes->size()), &cbRead, nullptr))
                status = GetLastError();
            else
                pBytes->resize(cbRead);
        }
        CloseHandle(hFile);
        return status;
    }

    DWORD WriteDocumentFile(const std::wstring& path, const std::string& bytes)
    {
        HANDLE hFile = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (hFile == INVALID_HANDLE_VALUE) return GetLastError();
        DWORD cbWritten = 0;
        DWORD status = WriteFile(hFile, bytes.data(), static_cast<DWORD>(bytes.size()), &cbWritten, nullptr) ? ERROR_SUCCESS
                                                                                                          : GetLastError();
        if (status == ERROR_SUCCESS && cbWritten != bytes.size()) status = ERROR_WRITE_FAULT;
        CloseHandle(hFile);
        return status;
    }

    bool ConfigurationKeysExist()
    {
        for (const wchar_t* pszPrefix : { USERS_KEY_PREFIX, TOKENS_KEY_PREFIX })
        {
            std::wstring path = pszPrefix;
            path.pop_back(); // the trailing backslash
            HKEY hKey = nullptr;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS) return false;
            RegCloseKey(hKey);
        }
        return true;
    }

    void WarnToReport(void* pContext, const wchar_t* pszWarning)
    {
        static_cast<CCtlReport*>(pContext)->Warning(pszWarning);
    }

    // Without --file the document is standard output: nothing else may go there.
    void Warn(CCtlReport& report, bool fToStandardOutput, const std::wstring& text)
    {
        if (fToStandardOutput)
            report.Output().ErrorLine(L"WARNING: " + text);
        else
            report.Warning(text);
    }
}

int RunExport(CCtlReport& report, const CtlCommand& command)
{
    const bool fToStandardOutput = command.file.empty();
    // The accounts asked for, as this computer stores them and as token keys name them.
    std::set<std::string> wanted;
    std::vector<std::wstring> wantedNames;
    for (const std::wstring& typed : command.names)
    {
        wchar_t szStored[ACCOUNT_NAME_CHARS] = {};
        const DWORD status = ResolveLocalAccountName(typed.c_str(), szStored, ACCOUNT_NAME_CHARS);
        if (status == ERROR_NONE_MAPPED)
        {
            report.Error(L"No local account " + typed + L" on this computer");
            return report.Finish(CTL_EXIT_REFUSED);
        }
        if (status != ERROR_SUCCESS)
        {
            report.Error(L"Cannot look up the account " + typed + L": " + DescribedStatus(status));
            return report.Finish(CTL_EXIT_ERROR);
        }
        wanted.insert(AnsiName(szStored));
        wantedNames.push_back(szStored);
    }

    std::vector<std::wstring> ids;
    const LONG enumStatus = EnumerateTokenKeys(CollectName, &ids);
    if (enumStatus != ERROR_SUCCESS)
    {
        report.Error(L"Cannot read the tokens of the configuration: " + DescribedStatus(static_cast<DWORD>(enumStatus)));
        return report.Finish(CTL_EXIT_ERROR);
    }
    std::vector<EnrolmentToken> tokens;
    std::set<std::string> exportedUsers;
    std::vector<std::wstring> exportedIds;
    const auto pCredential = std::make_unique<TOKEN_CREDENTIAL>();
    for (const std::wstring& id : ids)
    {
        const std::string narrowId = WideToUtf8(id);
        if (!IsTokenKeyName(narrowId))
        {
            Warn(report, fToStandardOutput, L"tokens\\" + id + L" is not named as a token key is; not exported");
            continue;
        }
        BYTE rgbUser[TOKEN_USER_BUFFER_SIZE] = {};
        DWORD cbUser = sizeof(rgbUser);
        if (ReadTokenUser(id.c_str(), rgbUser, &cbUser) != ERROR_SUCCESS || memchr(rgbUser, 0, cbUser) == nullptr)
        {
            Warn(report, fToStandardOutput, L"token " + id + L" names no account; not exported");
            continue;
        }
        const std::string ansiUser(reinterpret_cast<const char*>(rgbUser));
        if (!wanted.empty() && wanted.count(ansiUser) == 0) continue;
        wchar_t szUser[TOKEN_USER_TEXT_CHARS] = {};
        AnsiValueToWide(rgbUser, cbUser, szUser, TOKEN_USER_TEXT_CHARS);

        EnrolmentToken token;
        token.id = narrowId;
        token.user = WideToUtf8(szUser);
        const TokenCredentialState state = ReadTokenCredential(id.c_str(), pCredential.get());
        if (state == TokenCredentialState::Malformed)
        {
            Warn(report, fToStandardOutput, L"token " + id + L" of " + szUser + L" holds a credential that cannot be used; not exported");
            continue;
        }
        if (state == TokenCredentialState::Present)
        {
            token.credentialId.assign(pCredential->rgbCredentialId, pCredential->rgbCredentialId + pCredential->cbCredentialId);
            token.publicKey.assign(pCredential->rgbPublicKey, pCredential->rgbPublicKey + TOKEN_PUBLIC_KEY_BYTES);
        }
        token.name = WideToUtf8(ReadTokenName(id));
        tokens.push_back(std::move(token));
        exportedUsers.insert(ansiUser);
        exportedIds.push_back(id);
    }
    for (const std::wstring& name : wantedNames)
    {
        if (exportedUsers.count(AnsiName(name)) == 0) Warn(report, fToStandardOutput, name + L" has no tokens to export");
    }

    const std::string document = FormatEnrolmentDocument(tokens);
    report.Fields().Raw(L"tokens", JsonStringArray(exportedIds));
    if (fToStandardOutput)
    {
        std::wstring text;
        Utf8ToWide(document.substr(0, document.size() - 1), &text);
        report.Output().Line(text);
        return report.Finish(CTL_EXIT_OK);
    }
    const DWORD writeStatus = WriteDocumentFile(command.file, document);
    if (writeStatus != ERROR_SUCCESS)
    {
        report.Error(L"Cannot write " + command.file + L": " + DescribedStatus(writeStatus));
        return report.Finish(CTL_EXIT_ERROR);
    }
    report.Message(L"Exported " + std::to_wstring(tokens.size()) + (tokens.size() == 1 ? L" token to " : L" tokens to ") +
                   command.file);
    return report.Finish(CTL_EXIT_OK);
}

int RunImport(CCtlReport& report, const CtlCommand& command)
{
    const std::wstring nothing = L"; nothing was imported";
    std::string bytes;
    bool fTooLarge = false;
    const DWORD readStatus = ReadDocumentFile(command.path, &bytes, &fTooLarge);
    if (readStatus != ERROR_SUCCESS)
    {
        report.Error(L"Cannot read " + command.path + L": " + DescribedStatus(readStatus) + nothing);
        return report.Finish(CTL_EXIT_ERROR);
    }
    if (fTooLarge)
    {
        report.Error(command.path + L": larger than " + std::to_wstring(ENROLMENT_MAX_BYTES) + L" bytes" + nothing);
        return report.Finish(CTL_EXIT_REFUSED);
    }
    const EnrolmentParseResult parsed = ParseEnrolmentDocument(bytes);
    if (!parsed.ok)
    {
        std::wstring error;
        Utf8ToWide(parsed.error, &error);
        report.Error(command.path + L": " + error + nothing);
        return report.Finish(CTL_EXIT_REFUSED);
    }

    // The installer makes the configuration's keys readable by SYSTEM and Administrators
    // only; keys made here instead would carry the registry's ordinary permissions.
    if (!ConfigurationKeysExist())
    {
        report.Error(L"The configuration keys users and tokens under HKLM\\SOFTWARE\\Halvane\\FIDO2\\auth are missing: "
                     L"is Velkor FIDO2 Login installed?" + nothing);
        return report.Finish(CTL_EXIT_ERROR);
    }

    // Every account a local account of this computer, every record storable, every clash
    // named: all of it before anything is written.
    const bool fProofRequired = IsProofRequired();
    std::vector<ImportRecord> toWrite;
    std::vector<std::wstring> unchanged;
    std::vector<std::wstring> accounts;
    std::vector<std::wstring> refusals;
    int exitCode = CTL_EXIT_OK;
    for (size_t i = 0; i < parsed.tokens.size(); ++i)
    {
        const EnrolmentToken& token = parsed.tokens[i];
        const std::wstring where = L"tokens[" + std::to_wstring(i) + L"]";
        ImportRecord record = {};
        std::wstring typed;
        Utf8ToWide(token.id, &record.id);
        Utf8ToWide(token.user, &typed);
        Utf8ToWide(token.name, &record.name);
        wchar_t szStored[ACCOUNT_NAME_CHARS] = {};
        const DWORD lookup = ResolveLocalAccountName(typed.c_str(), szStored, ACCOUNT_NAME_CHARS);
        if (lookup != ERROR_SUCCESS)
        {
            refusals.push_back(where + L".user: " + (lookup == ERROR_NONE_MAPPED ? L"no local account " + typed + L" on this computer"
                                                                                  : L"cannot look up " + typed + L": " + DescribedStatus(lookup)));
            if (lookup != ERROR_NONE_MAPPED) exitCode = CTL_EXIT_ERROR;
            continue;
        }
        record.user = szStored;
        if (AnsiName(record.user).empty())
        {
            refusals.push_back(where + L".user: " + record.user + L" cannot be stored in the system code page or is too long");
            continue;
        }
        if (token.credentialId.empty() && fProofRequired)
        {
            refusals.push_back(where + L": token " + record.id + L" has no credential, and proof is required on this computer");
            continue;
        }
        record.credentialId.assign(token.credentialId.begin(), token.credentialId.end());
        record.publicKey.assign(token.publicKey.begin(), token.publicKey.end());
        const ExistingToken existing = CompareExistingToken(record);
        switch (existing)
        {
        case ExistingToken::Absent:
            break;
        case ExistingToken::Same:
            unchanged.push_back(record.id);
            break;
        case ExistingToken::OtherAccount:
        case ExistingToken::OtherCredential:
        {
            const bool fOtherAccount = existing == ExistingToken::OtherAccount;
            const std::wstring clash = L"token " + record.id + (fOtherAccount ? L" is registered to another account"
                                                                              : L" of " + record.user + L" holds another credential");
            if (!command.force)
            {
                refusals.push_back(where + L": " + clash + L" (--force replaces it)");
                continue;
            }
            report.Warning(clash + L"; replaced because of --force");
            record.replace = true;
            break;
        }
        }
        if (std::find(accounts.begin(), accounts.end(), record.user) == accounts.end()) accounts.push_back(record.user);
        if (std::find(unchanged.begin(), unchanged.end(), record.id) == unchanged.end()) toWrite.push_back(std::move(record));
    }
    if (!refusals.empty())
    {
        for (const std::wstring& refusal : refusals) report.Error(command.path + L": " + refusal);
        report.Error(L"Nothing was imported");
        return report.Finish(exitCode == CTL_EXIT_OK ? CTL_EXIT_REFUSED : exitCode);
    }

    std::vector<std::wstring> switchOn;
    if (command.enable)
    {
        for (const std::wstring& account : accounts)
        {
            if (IsUserEnabled(account.c_str())) continue;
            switchOn.push_back(account);
            // Every imported account has a token now, so none is locked out; what runs as
            // it is named as for enable user.
            BYTE rgbSid[SECURITY_MAX_SID_SIZE] = {};
            wchar_t szStored[ACCOUNT_NAME_CHARS] = {};
            const bool fSid = ResolveLocalAccountName(account.c_str(), szStored, ACCOUNT_NAME_CHARS, rgbSid, sizeof(rgbSid)) ==
                              ERROR_SUCCESS;
            WarnAboutAccountRuns(account.c_str(), fSid ? rgbSid : nullptr, WarnToReport, &report);
        }
    }

    std::wstring failure;
    const LONG writeStatus = WriteImportRecords(toWrite, switchOn, &failure);
    if (writeStatus != ERROR_SUCCESS)
    {
        report.Error(L"Import failed " + failure + L": " + DescribedStatus(static_cast<DWORD>(writeStatus)) +
                     L"; what was written is undone, nothing was imported");
        return report.Finish(CTL_EXIT_ERROR);
    }

    std::vector<std::wstring> imported;
    for (const ImportRecord& record : toWrite)
    {
        ReportTokenAssociated(record.id.c_str(), record.user.c_str());
        report.Message(L"Token " + record.id + L" imported for " + record.user);
        imported.push_back(record.id);
    }
    for (const std::wstring& id : unchanged) report.Message(L"Token " + id + L" is stored already: unchanged");
    for (const std::wstring& account : switchOn)
    {
        ReportUserSwitched(account.c_str(), true);
        report.Message(L"Factor switched on for " + account);
    }
    if (parsed.tokens.empty()) report.Message(L"The document holds no tokens: nothing to import");
    if (command.enable && !IsAuthEnabled())
    {
        report.Message(L"The computer-wide switch is off: nothing is checked until \"velkorctl enable computer\"");
    }
    report.Fields().Raw(L"imported", JsonStringArray(imported)).Raw(L"unchanged", JsonStringArray(unchanged));
    return report.Finish(CTL_EXIT_OK);
}
