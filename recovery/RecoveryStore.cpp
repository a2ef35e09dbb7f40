#include "RecoveryStore.h"
#include "ConfigStore.h"
#include "RandomBytes.h"
#include "RecoveryCode.h"
#include "RegistryHandles.h"

namespace
{
    LONG OpenUserKey(const wchar_t* pszUserName, REGSAM samDesired, CRegKey& key)
    {
        if (pszUserName == nullptr || pszUserName[0] == L'\0')
        {
            return ERROR_INVALID_PARAMETER;
        }
        CKeyPath path(USERS_KEY_PREFIX, pszUserName);
        if (!path.IsValid())
        {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.Get(), 0, samDesired, key.Put());
    }
}

LONG GenerateRecoveryCode(const wchar_t* pszUserName, wchar_t* pszCode, size_t cchCode)
{
    if (pszCode == nullptr || cchCode < RECOVERY_CODE_CHARS + 1)
    {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    uint8_t rgbSecret[RECOVERY_SECRET_SIZE];
    if (!FillRandomBytes(rgbSecret, sizeof(rgbSecret)))
    {
        return ERROR_INTERNAL_ERROR;
    }
    char szVerifier[RECOVERY_VERIFIER_CHARS + 1] = {};
    ComputeRecoveryVerifier(rgbSecret, szVerifier);

    CRegKey key;
    LONG status = OpenUserKey(pszUserName, KEY_WRITE, key);
    if (status == ERROR_SUCCESS)
    {
        status = SetAnsiStringValue(key.Get(), "Recovery", szVerifier, RECOVERY_VERIFIER_CHARS);
    }
    // The code is handed out only once its verifier is stored: a code that was never
    // stored would be shown to nobody's benefit and keep the secret in the caller's memory.
    if (status == ERROR_SUCCESS)
    {
        FormatRecoveryCode(rgbSecret, pszCode, cchCode);
    }
    SecureZeroMemory(rgbSecret, sizeof(rgbSecret));
    return status;
}

bool HasRecoveryCode(const wchar_t* pszUserName)
{
    CRegKey key;
    if (OpenUserKey(pszUserName, KEY_READ, key) != ERROR_SUCCESS)
    {
        return false;
    }
    BYTE rgbValue[RECOVERY_VALUE_BUFFER_SIZE] = {};
    DWORD cbValue = sizeof(rgbValue);
    return RegQueryValueExA(key.Get(), "Recovery", nullptr, nullptr, rgbValue, &cbValue) == ERROR_SUCCESS;
}

LONG RemoveRecoveryCode(const wchar_t* pszUserName)
{
    CRegKey key;
    const LONG status = OpenUserKey(pszUserName, KEY_SET_VALUE, key);
    if (status != ERROR_SUCCESS)
    {
        return status;
    }
    return RegDeleteKeyValueW(key.Get(), nullptr, L"Recovery");
}
