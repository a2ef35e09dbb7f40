#include "ConfigDirectory.h"
#include "RegistryHandles.h"

#include <cstring>

namespace
{
    const wchar_t USERS_KEY_PATH[] = L"SOFTWARE\\Halvane\\FIDO2\\auth\\users";
    const wchar_t TOKENS_KEY_PATH[] = L"SOFTWARE\\Halvane\\FIDO2\\auth\\tokens";
    constexpr DWORD MAX_KEY_NAME_CHARS = 256;

    LONG EnumerateSubkeys(const wchar_t* pszParent, ConfigKeyVisitor pfnVisit, void* pContext)
    {
        CRegKey key;
        LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, pszParent, 0, KEY_READ, key.Put());
        if (status == ERROR_FILE_NOT_FOUND)
        {
            return ERROR_SUCCESS;
        }
        if (status != ERROR_SUCCESS)
        {
            return status;
        }
        for (DWORD i = 0;; ++i)
        {
            wchar_t szName[MAX_KEY_NAME_CHARS] = {};
            DWORD cchName = MAX_KEY_NAME_CHARS;
            status = RegEnumKeyExW(key.Get(), i, szName, &cchName, nullptr, nullptr, nullptr, nullptr);
            if (status == ERROR_NO_MORE_ITEMS)
            {
                return ERROR_SUCCESS;
            }
            if (status != ERROR_SUCCESS)
            {
                return status;
            }
            if (!pfnVisit(pContext, szName))
            {
                return ERROR_SUCCESS;
            }
        }
    }

    struct USER_SEARCH
    {
        const char* pszAnsiUser;
        bool fFound;
    };

    bool VisitTokenForUser(void* pContext, const wchar_t* pszSerial)
    {
        auto* pSearch = static_cast<USER_SEARCH*>(pContext);
        BYTE rgbUser[TOKEN_USER_BUFFER_SIZE] = {};
        DWORD cbUser = sizeof(rgbUser);
        if (ReadTokenUser(pszSerial, rgbUser, &cbUser) == ERROR_SUCCESS &&
            StoredTokenUserMatches(rgbUser, cbUser, pSearch->pszAnsiUser))
        {
            pSearch->fFound = true;
            return false;
        }
        return true;
    }
}

LONG EnumerateUserKeys(ConfigKeyVisitor pfnVisit, void* pContext)
{
    return EnumerateSubkeys(USERS_KEY_PATH, pfnVisit, pContext);
}

LONG EnumerateTokenKeys(ConfigKeyVisitor pfnVisit, void* pContext)
{
    return EnumerateSubkeys(TOKENS_KEY_PATH, pfnVisit, pContext);
}

bool StoredTokenUserMatches(const BYTE* pbStored, DWORD cbStored, const char* pszAnsiUser)
{
    if (cbStored == 0 || cbStored > TOKEN_USER_BUFFER_SIZE || memchr(pbStored, '\0', cbStored) == nullptr)
    {
        return false;
    }
    return strcmp(reinterpret_cast<const char*>(pbStored), pszAnsiUser) == 0;
}

LONG UserHasTokens(const wchar_t* pszUserName, bool* pfHasTokens)
{
    *pfHasTokens = false;
    char szAnsiUser[TOKEN_USER_BUFFER_SIZE];
    int cchAnsiUser = 0;
    const LONG conversionStatus = UserNameToAnsi(pszUserName, szAnsiUser, &cchAnsiUser);
    if (conversionStatus != ERROR_SUCCESS)
    {
        return conversionStatus;
    }
    USER_SEARCH search = { szAnsiUser, false };
    const LONG status = EnumerateTokenKeys(VisitTokenForUser, &search);
    *pfHasTokens = search.fFound;
    return status;
}
