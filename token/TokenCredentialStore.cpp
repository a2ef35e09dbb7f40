#include "TokenCredentialStore.h"
#include "RegistryHandles.h"

namespace
{
    enum class ValueRead
    {
        Absent,
        Read,
        Unusable, // wrong kind, wrong length, or not readable
    };

    ValueRead ReadExactValue(HKEY hKey, const char* pszName, DWORD dwExpectedType, BYTE* pbData, DWORD cbMin,
                             DWORD cbMax, DWORD* pcbRead)
    {
        DWORD dwType = REG_NONE;
        DWORD cb = cbMax;
        const LONG status = RegQueryValueExA(hKey, pszName, nullptr, &dwType, pbData, &cb);
        if (status == ERROR_FILE_NOT_FOUND)
        {
            return ValueRead::Absent;
        }
        if (status != ERROR_SUCCESS || dwType != dwExpectedType || cb < cbMin || cb > cbMax)
        {
            return ValueRead::Unusable;
        }
        *pcbRead = cb;
        return ValueRead::Read;
    }
}

TokenCredentialState ReadTokenCredential(const wchar_t* pszSerial, TOKEN_CREDENTIAL* pCredential)
{
    CRegKey key;
    const LONG status = OpenTokenKey(pszSerial, KEY_READ, key);
    if (status == ERROR_FILE_NOT_FOUND)
    {
        return TokenCredentialState::None;
    }
    if (status != ERROR_SUCCESS)
    {
        return TokenCredentialState::Malformed;
    }
    TOKEN_CREDENTIAL credential = {};
    DWORD cbPublicKey = 0;
    DWORD cbSignCount = 0;
    const ValueRead id = ReadExactValue(key.Get(), "credentialId", REG_BINARY, credential.rgbCredentialId, 1,
                                        TOKEN_CREDENTIAL_ID_MAX_BYTES, &credential.cbCredentialId);
    const ValueRead publicKey = ReadExactValue(key.Get(), "publicKey", REG_BINARY, credential.rgbPublicKey,
                                               TOKEN_PUBLIC_KEY_BYTES, TOKEN_PUBLIC_KEY_BYTES, &cbPublicKey);
    if (id == ValueRead::Absent && publicKey == ValueRead::Absent)
    {
        return TokenCredentialState::None;
    }
    if (id != ValueRead::Read || publicKey != ValueRead::Read || credential.rgbPublicKey[0] != 0x04)
    {
        return TokenCredentialState::Malformed;
    }
    const ValueRead signCount = ReadExactValue(key.Get(), "signCount", REG_DWORD, reinterpret_cast<BYTE*>(&credential.signCount),
                                               sizeof(DWORD), sizeof(DWORD), &cbSignCount);
    if (signCount == ValueRead::Unusable)
    {
        return TokenCredentialState::Malformed;
    }
    *pCredential = credential;
    SecureZeroMemory(&credential, sizeof(credential));
    return TokenCredentialState::Present;
}

LONG WriteTokenCredential(const wchar_t* pszSerial, const BYTE* pbCredentialId, DWORD cbCredentialId,
                          const BYTE (&rgbPublicKey)[TOKEN_PUBLIC_KEY_BYTES], DWORD signCount)
{
    if (pbCredentialId == nullptr || cbCredentialId == 0 || cbCredentialId > TOKEN_CREDENTIAL_ID_MAX_BYTES)
    {
        return ERROR_INVALID_PARAMETER;
    }
    CRegKey key;
    LONG status = OpenTokenKey(pszSerial, KEY_WRITE, key);
    if (status != ERROR_SUCCESS)
    {
        return status;
    }
    status = RegSetKeyValueA(key.Get(), nullptr, "credentialId", REG_BINARY, pbCredentialId, cbCredentialId);
    if (status == ERROR_SUCCESS)
    {
        status = RegSetKeyValueA(key.Get(), nullptr, "publicKey", REG_BINARY, rgbPublicKey, TOKEN_PUBLIC_KEY_BYTES);
    }
    if (status == ERROR_SUCCESS)
    {
        status = RegSetKeyValueA(key.Get(), nullptr, "signCount", REG_DWORD, &signCount, sizeof(signCount));
    }
    return status;
}

namespace
{
    // Concurrent logons with one key each present a higher counter; whichever writes last
    // must not put a lower one back.
    SRWLOCK g_signCountLock = SRWLOCK_INIT;
}

LONG RaiseTokenSignCount(const wchar_t* pszSerial, DWORD dwSignCount)
{
    CRegKey key;
    LONG status = OpenTokenKey(pszSerial, KEY_QUERY_VALUE | KEY_SET_VALUE, key);
    if (status != ERROR_SUCCESS)
    {
        return status;
    }
    AcquireSRWLockExclusive(&g_signCountLock);
    DWORD dwType = REG_NONE;
    DWORD dwStored = 0;
    DWORD cbStored = sizeof(dwStored);
    status = RegQueryValueExA(key.Get(), "signCount", nullptr, &dwType, reinterpret_cast<BYTE*>(&dwStored), &cbStored);
    const bool fStoredUsable = status == ERROR_SUCCESS && dwType == REG_DWORD && cbStored == sizeof(dwStored);
    if (status == ERROR_FILE_NOT_FOUND || (fStoredUsable && dwStored < dwSignCount))
    {
        status = RegSetKeyValueA(key.Get(), nullptr, "signCount", REG_DWORD, &dwSignCount, sizeof(dwSignCount));
    }
    else if (fStoredUsable)
    {
        status = ERROR_SUCCESS;
    }
    ReleaseSRWLockExclusive(&g_signCountLock);
    return status;
}

LONG WriteTokenCredentialValues(void* pCredential, const wchar_t* pszSerial)
{
    const auto* pStored = static_cast<const TOKEN_CREDENTIAL*>(pCredential);
    return WriteTokenCredential(pszSerial, pStored->rgbCredentialId, pStored->cbCredentialId, pStored->rgbPublicKey,
                                pStored->signCount);
}

LONG ReadTokenProofState(const wchar_t* pszSerial, TOKEN_PROOF_STATE* pState)
{
    ZeroMemory(pState, sizeof(*pState));
    if (pszSerial == nullptr || pszSerial[0] == L'\0')
    {
        return ERROR_INVALID_PARAMETER;
    }
    CRegKey key;
    const LONG status = OpenTokenKey(pszSerial, KEY_READ, key);
    if (status != ERROR_SUCCESS)
    {
        return status;
    }
    TOKEN_CREDENTIAL credential;
    pState->credential = ReadTokenCredential(pszSerial, &credential);
    SecureZeroMemory(&credential, sizeof(credential));
    DWORD dwType = 0;
    DWORD dwCount = 0;
    DWORD cbCount = sizeof(dwCount);
    if (RegQueryValueExW(key.Get(), L"signCount", nullptr, &dwType, reinterpret_cast<BYTE*>(&dwCount), &cbCount) ==
            ERROR_SUCCESS &&
        dwType == REG_DWORD && cbCount == sizeof(dwCount))
    {
        pState->fHasSignCount = true;
        pState->dwSignCount = dwCount;
    }
    return ERROR_SUCCESS;
}
