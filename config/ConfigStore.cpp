#include "ConfigStore.h"
#include "RegistryHandles.h"

#include <climits>
#include <cstring>

const wchar_t SETTINGS_KEY_PATH[] = L"SOFTWARE\\Halvane\\FIDO2\\auth\\settings";
const wchar_t USERS_KEY_PREFIX[] = L"SOFTWARE\\Halvane\\FIDO2\\auth\\users\\";
const wchar_t TOKENS_KEY_PREFIX[] = L"SOFTWARE\\Halvane\\FIDO2\\auth\\tokens\\";

namespace
{
    bool IsEmpty(const wchar_t* psz)
    {
        return psz == nullptr || psz[0] == L'\0';
    }

    // An empty name would address the users or tokens key itself.
    LONG OpenNamedKey(const wchar_t* pszPrefix, const wchar_t* pszName, REGSAM samDesired, CRegKey& key)
    {
        if (IsEmpty(pszName))
        {
            return ERROR_INVALID_PARAMETER;
        }
        CKeyPath path(pszPrefix, pszName);
        if (!path.IsValid())
        {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.Get(), 0, samDesired, key.Put());
    }

    LONG ReadNamedString(const char* pszValueName, const wchar_t* pszPrefix, const wchar_t* pszName,
                         BYTE* pbData, DWORD* pcbData)
    {
        CRegKey key;
        const LONG status = OpenNamedKey(pszPrefix, pszName, KEY_READ, key);
        if (status != ERROR_SUCCESS)
        {
            return status;
        }
        return RegQueryValueExA(key.Get(), pszValueName, nullptr, nullptr, pbData, pcbData);
    }

    LONG WriteFlag(HKEY hKey, bool fEnabled)
    {
        const DWORD dwValue = fEnabled ? 1 : 0;
        return RegSetKeyValueA(hKey, nullptr, "enabled", REG_DWORD, &dwValue, sizeof(dwValue));
    }
}

LONG OpenTokenKey(const wchar_t* pszName, REGSAM samDesired, CRegKey& key)
{
    return OpenNamedKey(TOKENS_KEY_PREFIX, pszName, samDesired, key);
}

namespace
{
    bool ReadRegistryFlag(const char* pszValueName, const wchar_t* pszKeyPath)
    {
        CRegKey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, pszKeyPath, 0, KEY_READ, key.Put()) != ERROR_SUCCESS)
        {
            return false;
        }
        BYTE rgbValue[4] = {};
        DWORD cbValue = sizeof(rgbValue);
        if (RegQueryValueExA(key.Get(), pszValueName, nullptr, nullptr, rgbValue, &cbValue) != ERROR_SUCCESS)
        {
            return false;
        }
        const DWORD dwValue = rgbValue[0] | (DWORD(rgbValue[1]) << 8) | (DWORD(rgbValue[2]) << 16) | (DWORD(rgbValue[3]) << 24);
        return dwValue == 1;
    }
}

bool IsAuthEnabled()
{
    return ReadRegistryFlag("enabled", SETTINGS_KEY_PATH);
}

bool IsSafeModeEnabled()
{
    return ReadRegistryFlag("safemodeEnabled", SETTINGS_KEY_PATH);
}

bool IsLoggingEnabled()
{
    return ReadRegistryFlag("loggingEnabled", SETTINGS_KEY_PATH);
}

namespace
{
    // A switch that counts only as a REG_DWORD: false when it is absent or of another kind.
    bool ReadSettingsDword(const char* pszValueName, DWORD* pdwValue)
    {
        CRegKey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SETTINGS_KEY_PATH, 0, KEY_READ, key.Put()) != ERROR_SUCCESS)
        {
            return false;
        }
        DWORD dwType = REG_NONE;
        DWORD cbValue = sizeof(*pdwValue);
        return RegQueryValueExA(key.Get(), pszValueName, nullptr, &dwType, reinterpret_cast<BYTE*>(pdwValue), &cbValue) ==
                   ERROR_SUCCESS &&
               dwType == REG_DWORD && cbValue == sizeof(*pdwValue);
    }
}

bool IsProofRequired()
{
    DWORD dwValue = 0;
    return ReadSettingsDword("requireProof", &dwValue) && dwValue == 1;
}

bool IsTouchRequired()
{
    DWORD dwValue = 0;
    return ReadSettingsDword("requireTouch", &dwValue) && dwValue == 1;
}

bool IsEventLogEnabled()
{
    DWORD dwValue = 1;
    return !(ReadSettingsDword("eventLogEnabled", &dwValue) && dwValue == 0);
}

bool IsNetworkLogonAllowed()
{
    DWORD dwValue = 0;
    return ReadSettingsDword("networkLogons", &dwValue) && dwValue == 1;
}

bool IsUserEnabled(const wchar_t* pszUserName)
{
    if (IsEmpty(pszUserName))
    {
        return false;
    }
    CKeyPath path(USERS_KEY_PREFIX, pszUserName);
    return path.IsValid() && ReadRegistryFlag("enabled", path.Get());
}

LONG ReadRegistryString(const char* pszValueName, const wchar_t* pszKeyPath, BYTE* pbData, DWORD* pcbData)
{
    CRegKey key;
    const LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, pszKeyPath, 0, KEY_READ, key.Put());
    if (status != ERROR_SUCCESS)
    {
        return status;
    }
    return RegQueryValueExA(key.Get(), pszValueName, nullptr, nullptr, pbData, pcbData);
}

LONG ReadSecValue(const wchar_t* pszUserName, BYTE* pbData, DWORD* pcbData, FILETIME* pftKeyWritten)
{
    if (pftKeyWritten == nullptr)
    {
        return ReadNamedString("sec", USERS_KEY_PREFIX, pszUserName, pbData, pcbData);
    }
    CRegKey key;
    LONG status = OpenNamedKey(USERS_KEY_PREFIX, pszUserName, KEY_READ, key);
    if (status != ERROR_SUCCESS)
    {
        return status;
    }
    status = RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr, pftKeyWritten);
    if (status != ERROR_SUCCESS)
    {
        return status;
    }
    return RegQueryValueExA(key.Get(), "sec", nullptr, nullptr, pbData, pcbData);
}

LONG ReadRecoveryValue(const wchar_t* pszUserName, BYTE* pbData, DWORD* pcbData)
{
    return ReadNamedString("Recovery", USERS_KEY_PREFIX, pszUserName, pbData, pcbData);
}

LONG ReadTokenUser(const wchar_t* pszSerial, BYTE* pbData, DWORD* pcbData)
{
    return ReadNamedString("user", TOKENS_KEY_PREFIX, pszSerial, pbData, pcbData);
}

LONG SetAuthEnabled(bool fEnabled)
{
    CRegKey key;
    const LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, SETTINGS_KEY_PATH, 0, KEY_WRITE, key.Put());
    if (status != ERROR_SUCCESS)
    {
        return status;
    }
    return WriteFlag(key.Get(), fEnabled);
}

LONG SetUserEnabled(const wchar_t* pszUserName, bool fEnabled)
{
    CRegKey key;
    const LONG status = OpenNamedKey(USERS_KEY_PREFIX, pszUserName, KEY_WRITE, key);
    if (status != ERROR_SUCCESS)
    {
        return status;
    }
    return WriteFlag(key.Get(), fEnabled);
}

LONG SetAnsiStringValue(HKEY hKey, const char* pszValueName, const char* pszText, size_t cchText)
{
    if (cchText >= MAXDWORD)
    {
        return ERROR_INVALID_PARAMETER;
    }
    return RegSetKeyValueA(hKey, nullptr, pszValueName, REG_SZ, pszText, static_cast<DWORD>(cchText + 1));
}

LONG UserNameToAnsi(const wchar_t* pszUserName, char (&szAnsi)[TOKEN_USER_BUFFER_SIZE], int* pcchAnsi)
{
    ZeroMemory(szAnsi, sizeof(szAnsi));
    *pcchAnsi = 0;
    if (IsEmpty(pszUserName))
    {
        return ERROR_INVALID_PARAMETER;
    }
    // Ask for the size first: a name is stored whole or not at all.
    BOOL fUsedDefault = FALSE;
    const DWORD dwFlags = (GetACP() == CP_UTF8) ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL* pfUsedDefault = (GetACP() == CP_UTF8) ? nullptr : &fUsedDefault;
    const int cbNeeded = WideCharToMultiByte(CP_ACP, dwFlags, pszUserName, -1, nullptr, 0, nullptr, pfUsedDefault);
    if (cbNeeded <= 0 || fUsedDefault)
    {
        return ERROR_NO_UNICODE_TRANSLATION;
    }
    if (cbNeeded > static_cast<int>(TOKEN_USER_BUFFER_SIZE))
    {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    const int cbWritten = WideCharToMultiByte(CP_ACP, dwFlags, pszUserName, -1, szAnsi, cbNeeded, nullptr, pfUsedDefault);
    if (cbWritten != cbNeeded || fUsedDefault)
    {
        ZeroMemory(szAnsi, sizeof(szAnsi));
        return ERROR_NO_UNICODE_TRANSLATION;
    }
    *pcchAnsi = cbWritten - 1;
    return ERROR_SUCCESS;
}

RegisterTokenResult RegisterToken(const wchar_t* pszSerial, const wchar_t* pszUserName, TokenValuesWriter pfnWriteValues,
                                  void* pWriteContext)
{
    char szAnsiUser[TOKEN_USER_BUFFER_SIZE];
    int cchAnsiUser = 0;
    LONG status = UserNameToAnsi(pszUserName, szAnsiUser, &cchAnsiUser);
    if (status != ERROR_SUCCESS)
    {
        return { status, RegisterTokenStep::ConvertUserName, false, false };
    }
    if (IsEmpty(pszSerial))
    {
        return { ERROR_INVALID_PARAMETER, RegisterTokenStep::CreateTokenKey, false, false };
    }
    CKeyPath tokenPath(TOKENS_KEY_PREFIX, pszSerial);
    CKeyPath userPath(USERS_KEY_PREFIX, pszUserName);
    if (!tokenPath.IsValid() || !userPath.IsValid())
    {
        return { ERROR_NOT_ENOUGH_MEMORY, RegisterTokenStep::CreateTokenKey, false, false };
    }

    // Step 1: the token key must be new; an existing one means the token is taken.
    {
        CRegKey key;
        DWORD dwDisposition = 0;
        status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, tokenPath.Get(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 0, nullptr, key.Put(), &dwDisposition);
        if (status != ERROR_SUCCESS)
        {
            return { status, RegisterTokenStep::CreateTokenKey, false, false };
        }
        if (dwDisposition == REG_OPENED_EXISTING_KEY)
        {
            return { ERROR_ALREADY_EXISTS, RegisterTokenStep::None, true, false };
        }
    }

    // The token's other values before the user: a key that names its user always holds
    // what it must prove, never passes on its serial alone while that is still to come.
    if (pfnWriteValues != nullptr)
    {
        status = pfnWriteValues(pWriteContext, pszSerial);
        if (status != ERROR_SUCCESS)
        {
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, tokenPath.Get());
            return { status, RegisterTokenStep::WriteValues, false, false };
        }
    }

    // Step 2: the token's user. A token key without it would block the serial for
    // good, so a failure here removes the key again.
    {
        CRegKey key;
        status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, tokenPath.Get(), 0, KEY_WRITE, key.Put());
        if (status == ERROR_SUCCESS)
        {
            status = SetAnsiStringValue(key.Get(), "user", szAnsiUser, static_cast<size_t>(cchAnsiUser));
        }
        if (status != ERROR_SUCCESS)
        {
            key.Reset();
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, tokenPath.Get());
            return { status, RegisterTokenStep::WriteUser, false, false };
        }
    }

    // Step 3: the user's key, opened as it is when it exists already.
    bool fUserKeyCreated = false;
    status = CreateUserKey(pszUserName, &fUserKeyCreated);
    if (status != ERROR_SUCCESS)
    {
        return { status, RegisterTokenStep::CreateUserKey, false, false };
    }
    return { ERROR_SUCCESS, RegisterTokenStep::None, false, fUserKeyCreated };
}

void UndoRegisterToken(const wchar_t* pszSerial, const wchar_t* pszUserName, const RegisterTokenResult& registered)
{
    UnregisterToken(pszSerial);
    if (!registered.userKeyCreated)
    {
        return;
    }
    CKeyPath userPath(USERS_KEY_PREFIX, pszUserName);
    CRegKey key;
    DWORD cValues = 0;
    DWORD cSubkeys = 0;
    if (userPath.IsValid() && RegOpenKeyExW(HKEY_LOCAL_MACHINE, userPath.Get(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS &&
        RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &cSubkeys, nullptr, nullptr, &cValues, nullptr, nullptr,
                         nullptr, nullptr) == ERROR_SUCCESS &&
        cValues == 0 && cSubkeys == 0)
    {
        key.Reset();
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, userPath.Get());
    }
}

LONG CreateUserKey(const wchar_t* pszUserName, bool* pfCreated)
{
    if (pfCreated != nullptr)
    {
        *pfCreated = false;
    }
    if (IsEmpty(pszUserName))
    {
        return ERROR_INVALID_PARAMETER;
    }
    CKeyPath userPath(USERS_KEY_PREFIX, pszUserName);
    if (!userPath.IsValid())
    {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    CRegKey key;
    DWORD dwDisposition = 0;
    const LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, userPath.Get(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                        KEY_ALL_ACCESS, nullptr, key.Put(), &dwDisposition);
    if (status == ERROR_SUCCESS && pfCreated != nullptr)
    {
        *pfCreated = dwDisposition == REG_CREATED_NEW_KEY;
    }
    return status;
}

LONG UnregisterToken(const wchar_t* pszSerial)
{
    if (IsEmpty(pszSerial))
    {
        return ERROR_INVALID_PARAMETER;
    }
    CKeyPath path(TOKENS_KEY_PREFIX, pszSerial);
    if (!path.IsValid())
    {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.Get());
}

LONG TokenKeyExists(const wchar_t* pszSerial, bool* pfExists)
{
    *pfExists = false;
    if (IsEmpty(pszSerial))
    {
        return ERROR_INVALID_PARAMETER;
    }
    CRegKey key;
    const LONG status = OpenNamedKey(TOKENS_KEY_PREFIX, pszSerial, KEY_READ, key);
    if (status == ERROR_FILE_NOT_FOUND)
    {
        return ERROR_SUCCESS;
    }
    *pfExists = status == ERROR_SUCCESS;
    return status;
}

bool WriteSecValue(const wchar_t* pszUserName, const wchar_t* pszText)
{
    CRegKey key;
    if (pszText == nullptr || OpenNamedKey(USERS_KEY_PREFIX, pszUserName, KEY_SET_VALUE, key) != ERROR_SUCCESS)
    {
        return false;
    }
    const size_t cch = wcslen(pszText);
    if (cch >= MAXDWORD / sizeof(wchar_t))
    {
        return false;
    }
    return RegSetKeyValueW(key.Get(), nullptr, L"sec", REG_SZ, pszText,
                           static_cast<DWORD>((cch + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool DeleteSecValue(const wchar_t* pszUserName)
{
    CRegKey key;
    if (OpenNamedKey(USERS_KEY_PREFIX, pszUserName, KEY_SET_VALUE, key) != ERROR_SUCCESS)
    {
        return false;
    }
    return RegDeleteKeyValueW(key.Get(), nullptr, L"sec") == ERROR_SUCCESS;
}

void AnsiValueToWide(const BYTE* pbValue, DWORD cbValue, wchar_t* pszWide, size_t cchWide)
{
    if (cchWide == 0)
    {
        return;
    }
    pszWide[0] = L'\0';
    const size_t cchAnsi = strnlen(reinterpret_cast<const char*>(pbValue), cbValue);
    if (cchAnsi == 0 || cchWide > INT_MAX)
    {
        return;
    }
    const int cchConverted = MultiByteToWideChar(CP_ACP, 0, reinterpret_cast<const char*>(pbValue),
                                                 static_cast<int>(cchAnsi), pszWide, static_cast<int>(cchWide - 1));
    pszWide[cchConverted > 0 ? cchConverted : 0] = L'\0';
}
