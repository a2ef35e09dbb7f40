// Prints the DACL of the configuration keys in SDDL, one line a key, for the installer
// tests: "<path> <sddl>", or "<path> missing".
#include <windows.h>
#include <sddl.h>

#include <cstdio>

int wmain()
{
    const wchar_t* const KEYS[] = {
        L"SOFTWARE\\Halvane\\FIDO2\\auth",
        L"SOFTWARE\\Halvane\\FIDO2\\auth\\settings",
        L"SOFTWARE\\Halvane\\FIDO2\\auth\\users",
        L"SOFTWARE\\Halvane\\FIDO2\\auth\\tokens",
    };
    for (const wchar_t* pszKey : KEYS)
    {
        HKEY hKey = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, pszKey, 0, READ_CONTROL | KEY_WOW64_64KEY, &hKey) != ERROR_SUCCESS)
        {
            wprintf(L"%ls missing\n", pszKey);
            continue;
        }
        BYTE descriptor[4096];
        DWORD cb = sizeof(descriptor);
        LPWSTR pszSddl = nullptr;
        if (RegGetKeySecurity(hKey, DACL_SECURITY_INFORMATION, descriptor, &cb) == ERROR_SUCCESS &&
            ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                                 &pszSddl, nullptr))
        {
            wprintf(L"%ls %ls\n", pszKey, pszSddl);
            LocalFree(pszSddl);
        }
        else
        {
            wprintf(L"%ls unreadable\n", pszKey);
        }
        RegCloseKey(hKey);
    }
    return 0;
}
