#include "InstallationHealth.h"
#include "RegistryHandles.h"

#include <strsafe.h>

const wchar_t PROVIDER_CLSID_TEXT[] = L"{A614094D-EFED-4B38-94BB-E14B932584B0}";

namespace
{
    const wchar_t MSV1_0_KEY[] = L"SYSTEM\\CurrentControlSet\\Control\\Lsa\\MSV1_0";
    const wchar_t LSA_KEY[] = L"SYSTEM\\CurrentControlSet\\Control\\Lsa";
    const wchar_t PROVIDERS_KEY[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Authentication\\Credential Providers\\";
    const wchar_t FILTERS_KEY[] =
        L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Authentication\\Credential Provider Filters\\";
    const wchar_t CLASSES_KEY[] = L"SOFTWARE\\Classes\\CLSID\\";
    const wchar_t PACKAGE_NAME[] = L"VelkorSubAuth";
    const wchar_t PACKAGE_FILE[] = L"VelkorSubAuth.dll";

    bool KeyExists(const wchar_t* pszPrefix, const wchar_t* pszName)
    {
        CKeyPath path(pszPrefix, pszName);
        CRegKey key;
        return path.IsValid() && RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.Get(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
    }

    bool ServerRegistered()
    {
        wchar_t szName[64] = {};
        StringCchPrintfW(szName, 64, L"%ls\\InprocServer32", PROVIDER_CLSID_TEXT);
        CKeyPath path(CLASSES_KEY, szName);
        if (!path.IsValid())
        {
            return false;
        }
        wchar_t szServer[MAX_PATH] = {};
        DWORD cbServer = sizeof(szServer);
        return RegGetValueW(HKEY_LOCAL_MACHINE, path.Get(), nullptr, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                            nullptr, szServer, &cbServer) == ERROR_SUCCESS &&
               szServer[0] != L'\0';
    }

    void Append(wchar_t (&szText)[HEALTH_TEXT_CHARS], bool* pfFirst, const wchar_t* pszReason)
    {
        StringCchCatW(szText, HEALTH_TEXT_CHARS, *pfFirst ? L"" : L"; ");
        StringCchCatW(szText, HEALTH_TEXT_CHARS, pszReason);
        *pfFirst = false;
    }
}

void ReadInstallationHealth(INSTALLATION_HEALTH* pHealth)
{
    ZeroMemory(pHealth, sizeof(*pHealth));

    DWORD cbAuth0 = sizeof(pHealth->szAuth0);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, MSV1_0_KEY, L"Auth0", RRF_RT_REG_SZ, nullptr, pHealth->szAuth0, &cbAuth0) !=
        ERROR_SUCCESS)
    {
        pHealth->szAuth0[0] = L'\0';
    }
    pHealth->fAuth0IsOurs = CompareStringOrdinal(pHealth->szAuth0, -1, PACKAGE_NAME, -1, TRUE) == CSTR_EQUAL ||
                            CompareStringOrdinal(pHealth->szAuth0, -1, PACKAGE_FILE, -1, TRUE) == CSTR_EQUAL;

    wchar_t szSystem[MAX_PATH] = {};
    const UINT cchSystem = GetSystemDirectoryW(szSystem, MAX_PATH);
    if (cchSystem > 0 && cchSystem < MAX_PATH &&
        SUCCEEDED(StringCchPrintfW(pHealth->szPackagePath, MAX_PATH, L"%ls\\%ls", szSystem, PACKAGE_FILE)))
    {
        const DWORD dwAttributes = GetFileAttributesW(pHealth->szPackagePath);
        pHealth->fPackageInstalled = dwAttributes != INVALID_FILE_ATTRIBUTES && !(dwAttributes & FILE_ATTRIBUTE_DIRECTORY);
    }

    pHealth->fProviderRegistered = KeyExists(PROVIDERS_KEY, PROVIDER_CLSID_TEXT);
    pHealth->fFilterRegistered = KeyExists(FILTERS_KEY, PROVIDER_CLSID_TEXT);
    pHealth->fServerRegistered = ServerRegistered();

    DWORD dwRunAsPpl = 0;
    DWORD cbRunAsPpl = sizeof(dwRunAsPpl);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, LSA_KEY, L"RunAsPPL", RRF_RT_REG_DWORD, nullptr, &dwRunAsPpl, &cbRunAsPpl) ==
        ERROR_SUCCESS)
    {
        pHealth->fRunAsPplPresent = true;
        pHealth->dwRunAsPpl = dwRunAsPpl;
        // 1: protected; 2: protected without the UEFI lock. Both load signed packages only.
        pHealth->fRunAsPplProtects = dwRunAsPpl == 1 || dwRunAsPpl == 2;
    }

    // LSA protection can be on without RunAsPPL (new installations of Windows 11 24H2),
    // and RunAsPPL takes effect only at the next start: the running LSA tells.
    pHealth->fLsaChecked = pHealth->fAuth0IsOurs && pHealth->fPackageInstalled;
    if (pHealth->fLsaChecked)
    {
        ReadLsaProtection(pHealth->szPackagePath, &pHealth->lsa);
    }
    const LSA_PROTECTION_STATE& lsa = pHealth->lsa;
    pHealth->fRunningLsaRefuses =
        (lsa.process == LsaProcessProtection::Protected && !lsa.fMicrosoftSigned) || lsa.refused.fFound;
    pHealth->fLsaProtectionRefuses =
        pHealth->fRunningLsaRefuses ||
        (pHealth->fRunAsPplProtects && !lsa.fMicrosoftSigned && lsa.process != LsaProcessProtection::Unprotected);
}

bool IsInstalled(const INSTALLATION_HEALTH& health)
{
    return health.fAuth0IsOurs || health.fPackageInstalled || health.fProviderRegistered || health.fFilterRegistered ||
           health.fServerRegistered;
}

bool IsPackageEnforced(const INSTALLATION_HEALTH& health)
{
    return health.fAuth0IsOurs && health.fPackageInstalled && !health.fLsaProtectionRefuses;
}

bool FormatNotEnforced(const INSTALLATION_HEALTH& health, wchar_t (&szText)[HEALTH_TEXT_CHARS])
{
    szText[0] = L'\0';
    if (IsPackageEnforced(health))
    {
        return false;
    }
    if (health.fRunningLsaRefuses)
    {
        StringCchCopyW(szText, HEALTH_TEXT_CHARS,
                       L"NOT ENFORCED: LSA runs as a protected process and refuses VelkorSubAuth.dll");
        const CODE_INTEGRITY_FINDING& refused = health.lsa.refused;
        if (refused.fFound)
        {
            wchar_t szEvent[96] = {};
            StringCchPrintfW(szEvent, 96, refused.szTime[0] != L'\0' ? L" (Code Integrity event %lu at %ls)"
                                                                     : L" (Code Integrity event %lu)",
                             refused.dwEventId, refused.szTime);
            StringCchCatW(szText, HEALTH_TEXT_CHARS, szEvent);
        }
        return true;
    }
    StringCchCopyW(szText, HEALTH_TEXT_CHARS, L"NOT ENFORCED: logons are not checked by VelkorSubAuth: ");
    bool fFirst = true;
    wchar_t szReason[HEALTH_TEXT_CHARS] = {};
    if (health.szAuth0[0] == L'\0')
    {
        Append(szText, &fFirst, L"MSV1_0 Auth0 is not set");
    }
    else if (!health.fAuth0IsOurs)
    {
        StringCchPrintfW(szReason, HEALTH_TEXT_CHARS, L"MSV1_0 Auth0 names \"%ls\", not VelkorSubAuth", health.szAuth0);
        Append(szText, &fFirst, szReason);
    }
    if (!health.fPackageInstalled)
    {
        StringCchPrintfW(szReason, HEALTH_TEXT_CHARS, L"%ls is missing", health.szPackagePath[0] != L'\0'
                                                                              ? health.szPackagePath
                                                                              : PACKAGE_FILE);
        Append(szText, &fFirst, szReason);
    }
    if (health.fLsaProtectionRefuses)
    {
        StringCchPrintfW(szReason, HEALTH_TEXT_CHARS,
                         L"LSA protection is on (RunAsPPL = %lu) and refuses the unsigned VelkorSubAuth.dll",
                         health.dwRunAsPpl);
        Append(szText, &fFirst, szReason);
    }
    return true;
}

bool FormatProviderWarning(const INSTALLATION_HEALTH& health, wchar_t (&szText)[HEALTH_TEXT_CHARS])
{
    szText[0] = L'\0';
    if (health.fProviderRegistered && health.fFilterRegistered && health.fServerRegistered)
    {
        return false;
    }
    StringCchPrintfW(szText, HEALTH_TEXT_CHARS, L"the logon screen part %ls is not registered as ", PROVIDER_CLSID_TEXT);
    bool fFirst = true;
    if (!health.fProviderRegistered)
    {
        Append(szText, &fFirst, L"credential provider");
    }
    if (!health.fFilterRegistered)
    {
        Append(szText, &fFirst, L"credential provider filter");
    }
    if (!health.fServerRegistered)
    {
        Append(szText, &fFirst, L"COM class (InprocServer32)");
    }
    StringCchCatW(szText, HEALTH_TEXT_CHARS,
                  L": the package still decides every logon, but the tile has no recovery field and the plain "
                  L"password tiles may show");
    return true;
}

bool FormatLsaWarning(const INSTALLATION_HEALTH& health, wchar_t (&szText)[HEALTH_TEXT_CHARS])
{
    szText[0] = L'\0';
    if (!health.fLsaChecked || health.fRunningLsaRefuses || health.lsa.fMicrosoftSigned)
    {
        return false;
    }
    bool fFirst = true;
    wchar_t szReason[HEALTH_TEXT_CHARS] = {};
    const CODE_INTEGRITY_FINDING& audited = health.lsa.audited;
    if (audited.fFound)
    {
        StringCchPrintfW(szReason, HEALTH_TEXT_CHARS,
                         audited.szTime[0] != L'\0'
                             ? L"LSA protection would refuse VelkorSubAuth.dll once enforced (Code Integrity audit event %lu at %ls)"
                             : L"LSA protection would refuse VelkorSubAuth.dll once enforced (Code Integrity audit event %lu)",
                         audited.dwEventId, audited.szTime);
        Append(szText, &fFirst, szReason);
    }
    if (health.fRunAsPplProtects && health.lsa.process == LsaProcessProtection::Unprotected)
    {
        StringCchPrintfW(szReason, HEALTH_TEXT_CHARS,
                         L"RunAsPPL is %lu but LSA still runs unprotected: once Windows restarts, LSA protection "
                         L"refuses VelkorSubAuth.dll",
                         health.dwRunAsPpl);
        Append(szText, &fFirst, szReason);
    }
    return !fFirst;
}

bool FormatLsaNotChecked(const INSTALLATION_HEALTH& health, wchar_t (&szText)[HEALTH_TEXT_CHARS])
{
    szText[0] = L'\0';
    if (!health.fLsaChecked || health.lsa.szNotChecked[0] == L'\0')
    {
        return false;
    }
    StringCchPrintfW(szText, HEALTH_TEXT_CHARS, L"LSA protection could not be checked: %ls", health.lsa.szNotChecked);
    return true;
}
