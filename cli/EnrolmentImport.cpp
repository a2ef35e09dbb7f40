#include "EnrolmentImport.h"
#include "ConfigDirectory.h"
#include "ConfigStore.h"
#include "RegistryHandles.h"
#include "TokenCredentialStore.h"

#include <cstring>
#include <memory>

namespace
{
    constexpr DWORD MAX_VALUE_NAME_CHARS = 16384;

    struct SavedValue
    {
        std::wstring name;
        DWORD type;
        std::vector<BYTE> data;
    };

    // One step done, and how to take it back.
    struct UndoStep
    {
        enum class Kind
        {
            CreatedTokenKey,  // delete it
            ReplacedTokenKey, // write the saved values back
            CreatedUserKey,   // delete it
            UserSwitch,       // put `enabled` back as it was (or delete it)
        } kind;
        std::wstring name;
        std::vector<SavedValue> values; // ReplacedTokenKey: the key's values; UserSwitch: `enabled`, if any
    };

    std::wstring TokenPath(const std::wstring& id) { return std::wstring(TOKENS_KEY_PREFIX) + id; }
    std::wstring UserPath(const std::wstring& user) { return std::wstring(USERS_KEY_PREFIX) + user; }

    LONG SaveValues(const std::wstring& path, std::vector<SavedValue>* pValues, const wchar_t* pszOnly = nullptr)
    {
        pValues->clear();
        CRegKey key;
        LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.Put());
        if (status != ERROR_SUCCESS) return status;
        for (DWORD i = 0;; ++i)
        {
            std::vector<wchar_t> name(MAX_VALUE_NAME_CHARS);
            DWORD cchName = MAX_VALUE_NAME_CHARS;
            DWORD type = REG_NONE;
            DWORD cbData = 0;
            status = RegEnumValueW(key.Get(), i, name.data(), &cchName, nullptr, &type, nullptr, &cbData);
            if (status == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
            if (status != ERROR_SUCCESS) return status;
            SavedValue value = { std::wstring(name.data(), cchName), type, std::vector<BYTE>(cbData) };
            if (pszOnly != nullptr && _wcsicmp(value.name.c_str(), pszOnly) != 0) continue;
            status = RegQueryValueExW(key.Get(), value.name.c_str(), nullptr, &value.type, value.data.data(), &cbData);
            if (status != ERROR_SUCCESS) return status;
            value.data.resize(cbData);
            pValues->push_back(std::move(value));
        }
    }

    LONG SetValue(HKEY hKey, const std::wstring& name, DWORD type, const std::vector<BYTE>& data)
    {
        return RegSetKeyValueW(hKey, nullptr, name.c_str(), type, data.empty() ? nullptr : data.data(),
                               static_cast<DWORD>(data.size()));
    }

    // A new token key; the caller writes `user` last.
    LONG CreateNewKey(const std::wstring& path, CRegKey& key)
    {
        DWORD dwDisposition = 0;
        const LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                            KEY_READ | KEY_WRITE, nullptr, key.Put(), &dwDisposition);
        if (status != ERROR_SUCCESS) return status;
        return dwDisposition == REG_CREATED_NEW_KEY ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS;
    }

    // Saved values back into a key made anew, `user` last as always.
    void RestoreKey(const std::wstring& path, const std::vector<SavedValue>& values)
    {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
        CRegKey key;
        if (CreateNewKey(path, key) != ERROR_SUCCESS) return;
        for (const SavedValue& value : values)
        {
            if (_wcsicmp(value.name.c_str(), L"user") != 0) SetValue(key.Get(), value.name, value.type, value.data);
        }
        for (const SavedValue& value : values)
        {
            if (_wcsicmp(value.name.c_str(), L"user") == 0) SetValue(key.Get(), value.name, value.type, value.data);
        }
    }

    void Undo(const std::vector<UndoStep>& steps)
    {
        for (auto step = steps.rbegin(); step != steps.rend(); ++step)
        {
            switch (step->kind)
            {
            case UndoStep::Kind::CreatedTokenKey:
                RegDeleteTreeW(HKEY_LOCAL_MACHINE, TokenPath(step->name).c_str());
                break;
            case UndoStep::Kind::ReplacedTokenKey:
                RestoreKey(TokenPath(step->name), step->values);
                break;
            case UndoStep::Kind::CreatedUserKey:
                RegDeleteTreeW(HKEY_LOCAL_MACHINE, UserPath(step->name).c_str());
                break;
            case UndoStep::Kind::UserSwitch:
            {
                CRegKey key;
                if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, UserPath(step->name).c_str(), 0, KEY_WRITE, key.Put()) != ERROR_SUCCESS)
                    break;
                if (step->values.empty())
                    RegDeleteValueW(key.Get(), L"enabled");
                else
                    SetValue(key.Get(), step->values[0].name, step->values[0].type, step->values[0].data);
                break;
            }
            }
        }
    }

    LONG WriteRecord(const ImportRecord& record, std::vector<UndoStep>& steps)
    {
        char szAnsiUser[TOKEN_USER_BUFFER_SIZE];
        int cchAnsiUser = 0;
        LONG status = UserNameToAnsi(record.user.c_str(), szAnsiUser, &cchAnsiUser);
        if (status != ERROR_SUCCESS) return status;
        const std::wstring path = TokenPath(record.id);
        if (record.replace)
        {
            UndoStep step = { UndoStep::Kind::ReplacedTokenKey, record.id, {} };
            status = SaveValues(path, &step.values);
            if (status != ERROR_SUCCESS) return status;
            steps.push_back(std::move(step));
            // The old key goes whole, `user` with it, before anything new is written.
            status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
            if (status != ERROR_SUCCESS) return status;
        }
        CRegKey key;
        status = CreateNewKey(path, key);
        if (status != ERROR_SUCCESS) return status;
        if (!record.replace) steps.push_back({ UndoStep::Kind::CreatedTokenKey, record.id, {} });

        if (!record.credentialId.empty())
        {
            const DWORD signCount = 0;
            status = SetValue(key.Get(), L"credentialId", REG_BINARY, record.credentialId);
            if (status == ERROR_SUCCESS) status = SetValue(key.Get(), L"publicKey", REG_BINARY, record.publicKey);
            if (status == ERROR_SUCCESS)
            {
                status = RegSetKeyValueW(key.Get(), nullptr, L"signCount", REG_DWORD, &signCount, sizeof(signCount));
            }
        }
        if (status == ERROR_SUCCESS && !record.name.empty())
        {
            status = RegSetKeyValueW(key.Get(), nullptr, L"name", REG_SZ, record.name.c_str(),
                                     static_cast<DWORD>((record.name.size() + 1) * sizeof(wchar_t)));
        }
        if (status == ERROR_SUCCESS)
        {
            status = SetAnsiStringValue(key.Get(), "user", szAnsiUser, static_cast<size_t>(cchAnsiUser));
        }
        if (status != ERROR_SUCCESS) return status;

        bool fUserKeyCreated = false;
        status = CreateUserKey(record.user.c_str(), &fUserKeyCreated);
        if (status == ERROR_SUCCESS && fUserKeyCreated) steps.push_back({ UndoStep::Kind::CreatedUserKey, record.user, {} });
        return status;
    }

    LONG SwitchUserOn(const std::wstring& user, std::vector<UndoStep>& steps)
    {
        UndoStep step = { UndoStep::Kind::UserSwitch, user, {} };
        LONG status = SaveValues(UserPath(user), &step.values, L"enabled");
        if (status != ERROR_SUCCESS) return status;
        steps.push_back(std::move(step));
        return SetUserEnabled(user.c_str(), true);
    }

    bool SameBytes(const std::vector<BYTE>& bytes, const BYTE* pb, DWORD cb)
    {
        return bytes.size() == cb && (cb == 0 || memcmp(bytes.data(), pb, cb) == 0);
    }
}

ExistingToken CompareExistingToken(const ImportRecord& record)
{
    const std::wstring path = TokenPath(record.id);
    CRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.Put()) == ERROR_FILE_NOT_FOUND)
    {
        return ExistingToken::Absent;
    }
    BYTE rgbUser[TOKEN_USER_BUFFER_SIZE] = {};
    DWORD cbUser = sizeof(rgbUser);
    char szAnsiUser[TOKEN_USER_BUFFER_SIZE];
    int cchAnsiUser = 0;
    if (ReadTokenUser(record.id.c_str(), rgbUser, &cbUser) != ERROR_SUCCESS ||
        UserNameToAnsi(record.user.c_str(), szAnsiUser, &cchAnsiUser) != ERROR_SUCCESS ||
        !StoredTokenUserMatches(rgbUser, cbUser, szAnsiUser))
    {
        return ExistingToken::OtherAccount;
    }
    const auto pCredential = std::make_unique<TOKEN_CREDENTIAL>();
    const TokenCredentialState state = ReadTokenCredential(record.id.c_str(), pCredential.get());
    bool fSame = false;
    if (state == TokenCredentialState::None)
    {
        fSame = record.credentialId.empty();
    }
    else if (state == TokenCredentialState::Present)
    {
        fSame = SameBytes(record.credentialId, pCredential->rgbCredentialId, pCredential->cbCredentialId) &&
                SameBytes(record.publicKey, pCredential->rgbPublicKey, TOKEN_PUBLIC_KEY_BYTES);
    }
    return fSame ? ExistingToken::Same : ExistingToken::OtherCredential;
}

LONG WriteImportRecords(const std::vector<ImportRecord>& records, const std::vector<std::wstring>& enableUsers,
                        std::wstring* pFailure)
{
    std::vector<UndoStep> steps;
    for (const ImportRecord& record : records)
    {
        const LONG status = WriteRecord(record, steps);
        if (status != ERROR_SUCCESS)
        {
            *pFailure = L"writing token " + record.id;
            Undo(steps);
            return status;
        }
    }
    for (const std::wstring& user : enableUsers)
    {
        const LONG status = SwitchUserOn(user, steps);
        if (status != ERROR_SUCCESS)
        {
            *pFailure = L"switching the factor on for " + user;
            Undo(steps);
            return status;
        }
    }
    return ERROR_SUCCESS;
}
