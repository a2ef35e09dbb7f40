#include "TokenCredentialStore.h"
#include "CngCrypto.h"
#include "ConfigDirectory.h"
#include "RegistryHandles.h"

#include <cwchar>

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

bool MakeFidoTokenKeyName(const BYTE* pbCredentialId, DWORD cbCredentialId, wchar_t (&szName)[TOKEN_KEY_NAME_CHARS])
{
    BYTE rgbDigest[32];
    if (pbCredentialId == nullptr || cbCredentialId == 0 || !Sha256Cng(pbCredentialId, cbCredentialId, nullptr, 0, rgbDigest))
    {
        return false;
    }
    static const wchar_t s_rgHex[] = L"0123456789ABCDEF";
    wcscpy_s(szName, FIDO_TOKEN_PREFIX);
    size_t cch = wcslen(szName);
    for (size_t i = 0; i < 8; ++i)
    {
        szName[cch++] = s_rgHex[rgbDigest[i] >> 4];
        szName[cch++] = s_rgHex[rgbDigest[i] & 0x0F];
    }
    szName[cch] = L'\0';
    return true;
}

bool IsFidoTokenKeyName(const wchar_t* pszName)
{
    const size_t cchPrefix = wcslen(FIDO_TOKEN_PREFIX);
    if (pszName == nullptr || wcsncmp(pszName, FIDO_TOKEN_PREFIX, cchPrefix) != 0 || wcslen(pszName) != cchPrefix + 16)
    {
        return false;
    }
    for (const wchar_t* pch = pszName + cchPrefix; *pch != L'\0'; ++pch)
    {
        if (!((*pch >= L'0' && *pch <= L'9') || (*pch >= L'A' && *pch <= L'F')))
        {
            return false;
        }
    }
    return true;
}

LONG WriteTokenRegistrationValues(void* pValues, const wchar_t* pszTokenKey)
{
    const auto* pRegistration = static_cast<const TOKEN_REGISTRATION_VALUES*>(pValues);
    LONG status = ERROR_SUCCESS;
    if (pRegistration->pCredential != nullptr)
    {
        status = WriteTokenCredentialValues(const_cast<TOKEN_CREDENTIAL*>(pRegistration->pCredential), pszTokenKey);
    }
    if (status == ERROR_SUCCESS && pRegistration->pszName != nullptr && pRegistration->pszName[0] != L'\0')
    {
        CRegKey key;
        status = OpenTokenKey(pszTokenKey, KEY_SET_VALUE, key);
        if (status == ERROR_SUCCESS)
        {
            const size_t cchName = wcsnlen(pRegistration->pszName, 255);
            status = RegSetKeyValueW(key.Get(), nullptr, L"name", REG_SZ, pRegistration->pszName,
                                     static_cast<DWORD>((cchName + 1) * sizeof(wchar_t)));
        }
    }
    return status;
}

void ReadTokenName(const wchar_t* pszTokenKey, wchar_t* pszName, size_t cchName)
{
    if (cchName == 0)
    {
        return;
    }
    pszName[0] = L'\0';
    CRegKey key;
    if (OpenTokenKey(pszTokenKey, KEY_QUERY_VALUE, key) != ERROR_SUCCESS)
    {
        return;
    }
    wchar_t szValue[256] = {};
    DWORD dwType = REG_NONE;
    DWORD cbValue = sizeof(szValue) - sizeof(wchar_t);
    // Only a string, whatever the device put in it; never trusted, only shown.
    if (RegQueryValueExW(key.Get(), L"name", nullptr, &dwType, reinterpret_cast<BYTE*>(szValue), &cbValue) == ERROR_SUCCESS &&
        dwType == REG_SZ)
    {
        szValue[cbValue / sizeof(wchar_t) < 255 ? cbValue / sizeof(wchar_t) : 255] = L'\0';
        wcsncpy_s(pszName, cchName, szValue, _TRUNCATE);
    }
}

namespace
{
    struct CREDENTIAL_SEARCH
    {
        bool fAnyUser;
        char szAnsiUser[TOKEN_USER_BUFFER_SIZE];
        USER_CREDENTIAL_TOKENS* pTokens;
    };

    bool VisitCredentialToken(void* pContext, const wchar_t* pszTokenKey)
    {
        auto* pSearch = static_cast<CREDENTIAL_SEARCH*>(pContext);
        USER_CREDENTIAL_TOKENS& tokens = *pSearch->pTokens;
        if (tokens.cTokens == MAX_USER_CREDENTIALS || wcslen(pszTokenKey) >= TOKEN_KEY_NAME_CHARS)
        {
            return tokens.cTokens < MAX_USER_CREDENTIALS;
        }
        BYTE rgbUser[TOKEN_USER_BUFFER_SIZE] = {};
        DWORD cbUser = sizeof(rgbUser);
        if (ReadTokenUser(pszTokenKey, rgbUser, &cbUser) != ERROR_SUCCESS ||
            (!pSearch->fAnyUser && !StoredTokenUserMatches(rgbUser, cbUser, pSearch->szAnsiUser)))
        {
            return true;
        }
        USER_CREDENTIAL_TOKEN& token = tokens.rgTokens[tokens.cTokens];
        if (ReadTokenCredential(pszTokenKey, &token.credential) == TokenCredentialState::Present)
        {
            wcscpy_s(token.szTokenKey, pszTokenKey);
            ++tokens.cTokens;
        }
        return true;
    }
}

LONG FindUserCredentialTokens(const wchar_t* pszUserName, USER_CREDENTIAL_TOKENS* pTokens)
{
    pTokens->cTokens = 0;
    CREDENTIAL_SEARCH search = {};
    search.pTokens = pTokens;
    search.fAnyUser = pszUserName == nullptr;
    int cchAnsi = 0;
    // A name without an exact ANSI form is named by no token key.
    if (!search.fAnyUser && UserNameToAnsi(pszUserName, search.szAnsiUser, &cchAnsi) != ERROR_SUCCESS)
    {
        return ERROR_SUCCESS;
    }
    return EnumerateTokenKeys(VisitCredentialToken, &search);
}
