#include "AccountNames.h"
#include "AdminHandles.h"

#include <strsafe.h>

namespace
{
    constexpr DWORD DOMAIN_NAME_CHARS = 256;
}

DWORD GetRunningAccountName(wchar_t* pszName, DWORD cchName)
{
    if (pszName == nullptr || cchName == 0)
    {
        return ERROR_INVALID_PARAMETER;
    }
    pszName[0] = L'\0';
    CKernelHandle token;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.Put()) &&
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put()))
    {
        return GetLastError();
    }
    // TOKEN_USER with a SID of the largest size fits in this buffer.
    alignas(TOKEN_USER) BYTE rgbUser[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    DWORD cbUser = 0;
    if (!GetTokenInformation(token.Get(), TokenUser, rgbUser, sizeof(rgbUser), &cbUser))
    {
        return GetLastError();
    }
    const auto* pUser = reinterpret_cast<const TOKEN_USER*>(rgbUser);
    wchar_t szDomain[DOMAIN_NAME_CHARS] = {};
    DWORD cchDomain = DOMAIN_NAME_CHARS;
    DWORD cchAccount = cchName;
    SID_NAME_USE use = SidTypeUnknown;
    if (!LookupAccountSidW(nullptr, pUser->User.Sid, pszName, &cchAccount, szDomain, &cchDomain, &use))
    {
        const DWORD error = GetLastError();
        pszName[0] = L'\0';
        return error;
    }
    return ERROR_SUCCESS;
}

DWORD ResolveLocalAccountName(const wchar_t* pszName, wchar_t* pszStored, DWORD cchStored, PSID pSid, DWORD cbSid)
{
    if (pszStored == nullptr || cchStored == 0)
    {
        return ERROR_INVALID_PARAMETER;
    }
    pszStored[0] = L'\0';
    if (pszName == nullptr || pszName[0] == L'\0')
    {
        return ERROR_NONE_MAPPED;
    }
    // ".\name" is how services name a local account; the lookup wants the bare name.
    const wchar_t* pszLookup = (pszName[0] == L'.' && pszName[1] == L'\\') ? pszName + 2 : pszName;

    BYTE rgbSid[SECURITY_MAX_SID_SIZE] = {};
    DWORD cbFound = sizeof(rgbSid);
    wchar_t szDomain[DOMAIN_NAME_CHARS] = {};
    DWORD cchDomain = DOMAIN_NAME_CHARS;
    SID_NAME_USE use = SidTypeUnknown;
    if (!LookupAccountNameW(nullptr, pszLookup, rgbSid, &cbFound, szDomain, &cchDomain, &use))
    {
        const DWORD error = GetLastError();
        return error == ERROR_INSUFFICIENT_BUFFER ? ERROR_NONE_MAPPED : error;
    }
    // Only a user of this computer's own account database: its domain is the computer.
    wchar_t szComputer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD cchComputer = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(szComputer, &cchComputer))
    {
        return GetLastError();
    }
    if (use != SidTypeUser || CompareStringOrdinal(szDomain, -1, szComputer, -1, TRUE) != CSTR_EQUAL)
    {
        return ERROR_NONE_MAPPED;
    }

    cchDomain = DOMAIN_NAME_CHARS;
    DWORD cchAccount = cchStored;
    if (!LookupAccountSidW(nullptr, rgbSid, pszStored, &cchAccount, szDomain, &cchDomain, &use))
    {
        const DWORD error = GetLastError();
        pszStored[0] = L'\0';
        return error;
    }
    if (pSid != nullptr && !CopySid(cbSid, pSid, rgbSid))
    {
        const DWORD error = GetLastError();
        pszStored[0] = L'\0';
        return error;
    }
    return ERROR_SUCCESS;
}
