// Custom actions of the installer: what Windows Installer's own tables cannot express.
// - the MSV1_0 Auth0 slot is taken only when free, and given back only when it is ours;
// - the configuration tree gets a DACL for SYSTEM and Administrators only;
// - the administrator-only switches can be set at deployment.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <cwchar>
#include <string>

namespace
{
    const wchar_t MSV1_0_KEY[] = L"SYSTEM\\CurrentControlSet\\Control\\Lsa\\MSV1_0";
    const wchar_t AUTH0[] = L"Auth0";
    const wchar_t PACKAGE_NAME[] = L"VelkorSubAuth";
    const wchar_t AUTH_KEY[] = L"SOFTWARE\\Halvane\\FIDO2\\auth";
    const wchar_t* const STORE_SUBKEYS[] = { L"settings", L"users", L"tokens" };
    constexpr REGSAM VIEW_64 = KEY_WOW64_64KEY;

    void Log(MSIHANDLE hInstall, const std::wstring& text)
    {
        PMSIHANDLE hRecord = MsiCreateRecord(1);
        MsiRecordSetStringW(hRecord, 0, (L"VelkorSetup: " + text).c_str());
        MsiProcessMessage(hInstall, INSTALLMESSAGE_INFO, hRecord);
    }

    void ShowError(MSIHANDLE hInstall, const std::wstring& text)
    {
        PMSIHANDLE hRecord = MsiCreateRecord(1);
        MsiRecordSetStringW(hRecord, 0, text.c_str());
        MsiProcessMessage(hInstall, INSTALLMESSAGE(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR), hRecord);
    }

    // Auth0 as it stands; false when there is none.
    bool ReadAuth0(std::wstring& value)
    {
        wchar_t buffer[MAX_PATH] = {};
        DWORD cb = sizeof(buffer) - sizeof(wchar_t);
        DWORD type = 0;
        HKEY hKey = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, MSV1_0_KEY, 0, KEY_QUERY_VALUE | VIEW_64, &hKey) != ERROR_SUCCESS) return false;
        const LONG status = RegQueryValueExW(hKey, AUTH0, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &cb);
        RegCloseKey(hKey);
        if (status == ERROR_MORE_DATA)
        {
            value = L"(a value too long to show)";
            return true;
        }
        if (status != ERROR_SUCCESS) return false;
        value = (type == REG_SZ || type == REG_EXPAND_SZ) ? std::wstring(buffer) : L"(a value that is not text)";
        return true;
    }

    bool IsOurPackage(const std::wstring& value)
    {
        return _wcsicmp(value.c_str(), PACKAGE_NAME) == 0 || _wcsicmp(value.c_str(), L"VelkorSubAuth.dll") == 0;
    }

    std::wstring CustomActionData(MSIHANDLE hInstall)
    {
        wchar_t buffer[256] = {};
        DWORD cch = ARRAYSIZE(buffer);
        if (MsiGetPropertyW(hInstall, L"CustomActionData", buffer, &cch) != ERROR_SUCCESS) return L"";
        return buffer;
    }

    // SYSTEM and Administrators, full control, inherited by every subkey; nothing else.
    class CStoreSecurity
    {
    public:
        CStoreSecurity()
        {
            DWORD cbSystem = sizeof(_rgbSystem);
            DWORD cbAdmins = sizeof(_rgbAdmins);
            auto* pAcl = reinterpret_cast<PACL>(_rgbAcl);
            const DWORD inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
            _fValid = CreateWellKnownSid(WinLocalSystemSid, nullptr, _rgbSystem, &cbSystem) &&
                      CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, _rgbAdmins, &cbAdmins) &&
                      InitializeAcl(pAcl, sizeof(_rgbAcl), ACL_REVISION) &&
                      AddAccessAllowedAceEx(pAcl, ACL_REVISION, inherit, KEY_ALL_ACCESS, _rgbSystem) &&
                      AddAccessAllowedAceEx(pAcl, ACL_REVISION, inherit, KEY_ALL_ACCESS, _rgbAdmins) &&
                      InitializeSecurityDescriptor(&_descriptor, SECURITY_DESCRIPTOR_REVISION) &&
                      SetSecurityDescriptorDacl(&_descriptor, TRUE, pAcl, FALSE) &&
                      SetSecurityDescriptorControl(&_descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
        }

        bool IsValid() const { return _fValid; }
        PSECURITY_DESCRIPTOR Get() { return &_descriptor; }

    private:
        alignas(DWORD) BYTE _rgbSystem[SECURITY_MAX_SID_SIZE] = {};
        alignas(DWORD) BYTE _rgbAdmins[SECURITY_MAX_SID_SIZE] = {};
        alignas(DWORD) BYTE _rgbAcl[sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE)] = {};
        SECURITY_DESCRIPTOR _descriptor = {};
        bool _fValid = false;
    };

    // The key and every key below it: Windows would propagate the inherited entries, but
    // setting each key explicitly also covers registries that do not.
    LONG SecureTree(HKEY hParent, const wchar_t* pszPath, CStoreSecurity& security)
    {
        HKEY hKey = nullptr;
        LONG status = RegOpenKeyExW(hParent, pszPath, 0, WRITE_DAC | KEY_ENUMERATE_SUB_KEYS | VIEW_64, &hKey);
        if (status != ERROR_SUCCESS) return status;
        status = RegSetKeySecurity(hKey, DACL_SECURITY_INFORMATION, security.Get());
        for (DWORD i = 0; status == ERROR_SUCCESS; ++i)
        {
            wchar_t name[256];
            DWORD cch = ARRAYSIZE(name);
            const LONG enumStatus = RegEnumKeyExW(hKey, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
            if (enumStatus != ERROR_SUCCESS) break;
            status = SecureTree(hKey, name, security);
        }
        RegCloseKey(hKey);
        return status;
    }

    LONG SetFlag(const wchar_t* pszName)
    {
        const DWORD value = 1;
        const std::wstring settings = std::wstring(AUTH_KEY) + L"\\settings";
        HKEY hKey = nullptr;
        LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, settings.c_str(), 0, KEY_SET_VALUE | VIEW_64, &hKey);
        if (status != ERROR_SUCCESS) return status;
        status = RegSetValueExW(hKey, pszName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
        RegCloseKey(hKey);
        return status;
    }
}

// Immediate, before anything is changed: stop when Auth0 names another package.
extern "C" UINT __stdcall CheckAuth0(MSIHANDLE hInstall)
{
    std::wstring value;
    if (!ReadAuth0(value) || value.empty() || IsOurPackage(value))
    {
        return ERROR_SUCCESS;
    }
    ShowError(hInstall, L"The MSV1_0 sub-authentication slot Auth0 is already used by \"" + value +
                            L"\". Velkor FIDO2 Login cannot be installed beside it; nothing was changed. "
                            L"Remove that package first.");
    return ERROR_INSTALL_FAILURE;
}

// Deferred: take the Auth0 slot.
extern "C" UINT __stdcall WriteAuth0(MSIHANDLE hInstall)
{
    HKEY hKey = nullptr;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, MSV1_0_KEY, 0, nullptr, 0, KEY_SET_VALUE | VIEW_64, nullptr, &hKey, nullptr);
    if (status == ERROR_SUCCESS)
    {
        status = RegSetValueExW(hKey, AUTH0, 0, REG_SZ, reinterpret_cast<const BYTE*>(PACKAGE_NAME), sizeof(PACKAGE_NAME));
        RegCloseKey(hKey);
    }
    Log(hInstall, L"Auth0 written: " + std::to_wstring(status));
    return status == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// Deferred, on removal: give Auth0 back only when it still names our package.
extern "C" UINT __stdcall RemoveAuth0(MSIHANDLE hInstall)
{
    std::wstring value;
    if (!ReadAuth0(value) || !IsOurPackage(value))
    {
        Log(hInstall, L"Auth0 does not name our package; left alone");
        return ERROR_SUCCESS;
    }
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, MSV1_0_KEY, 0, KEY_SET_VALUE | VIEW_64, &hKey) == ERROR_SUCCESS)
    {
        RegDeleteValueW(hKey, AUTH0);
        RegCloseKey(hKey);
    }
    return ERROR_SUCCESS;
}

// Deferred: the configuration keys with their security, and the deployment switches.
// CustomActionData is "<SAFEMODE>;<LOGGING>".
extern "C" UINT __stdcall ConfigureStore(MSIHANDLE hInstall)
{
    const std::wstring data = CustomActionData(hInstall);
    const size_t separator = data.find(L';');
    const std::wstring safeMode = data.substr(0, separator);
    const std::wstring logging = separator == std::wstring::npos ? L"" : data.substr(separator + 1);

    for (const wchar_t* pszSubkey : STORE_SUBKEYS)
    {
        const std::wstring path = std::wstring(AUTH_KEY) + L"\\" + pszSubkey;
        HKEY hKey = nullptr;
        const LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                            KEY_READ | VIEW_64, nullptr, &hKey, nullptr);
        if (status != ERROR_SUCCESS)
        {
            Log(hInstall, L"cannot create " + path + L": " + std::to_wstring(status));
            return ERROR_INSTALL_FAILURE;
        }
        RegCloseKey(hKey);
    }
    if (safeMode == L"1" && SetFlag(L"safemodeEnabled") != ERROR_SUCCESS) return ERROR_INSTALL_FAILURE;
    if (logging == L"1" && SetFlag(L"loggingEnabled") != ERROR_SUCCESS) return ERROR_INSTALL_FAILURE;

    CStoreSecurity security;
    if (!security.IsValid())
    {
        return ERROR_INSTALL_FAILURE;
    }
    const LONG status = SecureTree(HKEY_LOCAL_MACHINE, AUTH_KEY, security);
    Log(hInstall, L"configuration secured: " + std::to_wstring(status));
    return status == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// Deferred, on removal with REMOVECONFIG=1: the whole configuration goes.
extern "C" UINT __stdcall RemoveStore(MSIHANDLE hInstall)
{
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, AUTH_KEY);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, AUTH_KEY, VIEW_64, 0);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvane\\FIDO2", VIEW_64, 0);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvane", VIEW_64, 0);
    Log(hInstall, L"configuration removed");
    return ERROR_SUCCESS;
}
