#include "VanishedAccounts.h"
#include "ConfigDirectory.h"
#include "ConfigStore.h"

namespace
{
    constexpr size_t TOKEN_USER_TEXT_CHARS = TOKEN_USER_BUFFER_SIZE + 1;

    bool CollectName(void* pContext, const wchar_t* pszName)
    {
        static_cast<std::vector<std::wstring>*>(pContext)->push_back(pszName);
        return true;
    }

    bool SameName(const std::wstring& a, const std::wstring& b)
    {
        return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
    }

    // "alice" of "alice", ".\alice" or "COMPUTER\alice".
    std::wstring BareName(const std::wstring& typed)
    {
        const size_t slash = typed.rfind(L'\\');
        return slash == std::wstring::npos ? typed : typed.substr(slash + 1);
    }

    std::wstring StoredTokenOwner(const std::wstring& id)
    {
        BYTE rgbUser[TOKEN_USER_BUFFER_SIZE] = {};
        DWORD cbUser = sizeof(rgbUser);
        if (ReadTokenUser(id.c_str(), rgbUser, &cbUser) != ERROR_SUCCESS) return std::wstring();
        wchar_t szUser[TOKEN_USER_TEXT_CHARS] = {};
        AnsiValueToWide(rgbUser, cbUser, szUser, TOKEN_USER_TEXT_CHARS);
        return szUser;
    }
}

bool FindConfiguredName(const std::wstring& typed, std::wstring* pConfigured)
{
    const std::wstring bare = BareName(typed);
    if (bare.empty()) return false;
    std::vector<std::wstring> users;
    if (EnumerateUserKeys(CollectName, &users) != ERROR_SUCCESS) return false;
    for (const std::wstring& user : users)
    {
        if (SameName(user, bare))
        {
            *pConfigured = user;
            return true;
        }
    }
    std::vector<std::wstring> ids;
    if (EnumerateTokenKeys(CollectName, &ids) != ERROR_SUCCESS) return false;
    for (const std::wstring& id : ids)
    {
        const std::wstring user = StoredTokenOwner(id);
        if (!user.empty() && SameName(user, bare))
        {
            *pConfigured = user;
            return true;
        }
    }
    return false;
}

std::vector<std::wstring> TokensNaming(const std::wstring& name)
{
    std::vector<std::wstring> ids;
    std::vector<std::wstring> naming;
    if (EnumerateTokenKeys(CollectName, &ids) != ERROR_SUCCESS) return naming;
    for (const std::wstring& id : ids)
    {
        const std::wstring user = StoredTokenOwner(id);
        if (!user.empty() && SameName(user, name)) naming.push_back(id);
    }
    return naming;
}

LONG ForgetAccountConfiguration(const std::wstring& name, std::vector<std::wstring>* pRemoved, bool* pfUserKeyRemoved)
{
    pRemoved->clear();
    *pfUserKeyRemoved = false;
    // The tokens first: a key whose owner is gone must not stay "already registered".
    for (const std::wstring& id : TokensNaming(name))
    {
        const LONG status = UnregisterToken(id.c_str());
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return status;
        pRemoved->push_back(id);
    }
    const std::wstring path = std::wstring(USERS_KEY_PREFIX) + name;
    const LONG status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
    if (status == ERROR_SUCCESS)
    {
        *pfUserKeyRemoved = true;
        return ERROR_SUCCESS;
    }
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}
