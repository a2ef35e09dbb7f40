// Custom actions of the installer: what Windows Installer's own tables cannot express.
// - the MSV1_0 Auth0 slot is taken only when free, and given back only when it is ours;
// - a rolled-back installation or removal puts Auth0 back as it was, and never leaves it
//   naming our package without its DLL;
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

    enum class Auth0Kind
    {
        Absent,
        Text,
        Other, // not text, or too long to hold here: never ours, never written back
    };

    struct Auth0State
    {
        Auth0Kind kind = Auth0Kind::Absent;
        DWORD type = REG_NONE;
        std::wstring text;
    };

    Auth0State QueryAuth0()
    {
        Auth0State state;
        wchar_t buffer[MAX_PATH] = {};
        DWORD cb = sizeof(buffer) - sizeof(wchar_t);
        HKEY hKey = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, MSV1_0_KEY, 0, KEY_QUERY_VALUE | VIEW_64, &hKey) != ERROR_SUCCESS) return state;
        const LONG status = RegQueryValueExW(hKey, AUTH0, nullptr, &state.type, reinterpret_cast<BYTE*>(buffer), &cb);
        RegCloseKey(hKey);
        if (status == ERROR_MORE_DATA)
        {
            state.kind = Auth0Kind::Other;
            state.text = L"(a value too long to show)";
        }
        else if (status == ERROR_SUCCESS)
        {
            const bool fText = state.type == REG_SZ || state.type == REG_EXPAND_SZ;
            state.kind = fText ? Auth0Kind::Text : Auth0Kind::Other;
            state.text = fText ? std::wstring(buffer) : L"(a value that is not text)";
        }
        return state;
    }

    // Auth0 as it stands; false when there is none.
    bool ReadAuth0(std::wstring& value)
    {
        const Auth0State state = QueryAuth0();
        value = state.text;
        return state.kind != Auth0Kind::Absent;
    }

    // What a rollback action carries: "absent", "sz:<text>", "expand:<text>" or "other".
    const wchar_t STATE_ABSENT[] = L"absent";
    const wchar_t STATE_SZ[] = L"sz:";
    const wchar_t STATE_EXPAND_SZ[] = L"expand:";
    const wchar_t STATE_OTHER[] = L"other";

    std::wstring EncodeAuth0(const Auth0State& state)
    {
        switch (state.kind)
        {
        case Auth0Kind::Absent:
            return STATE_ABSENT;
        case Auth0Kind::Text:
            return (state.type == REG_EXPAND_SZ ? STATE_EXPAND_SZ : STATE_SZ) + state.text;
        default:
            return STATE_OTHER;
        }
    }

    bool StartsWith(const std::wstring& text, const wchar_t* pszPrefix)
    {
        return text.compare(0, wcslen(pszPrefix), pszPrefix) == 0;
    }

    LONG SetAuth0(DWORD type, const std::wstring& text)
    {
        HKEY hKey = nullptr;
        LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, MSV1_0_KEY, 0, nullptr, 0, KEY_SET_VALUE | VIEW_64, nullptr, &hKey, nullptr);
        if (status != ERROR_SUCCESS) return status;
        const DWORD cb = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
        status = RegSetValueExW(hKey, AUTH0, 0, type, reinterpret_cast<const BYTE*>(text.c_str()), cb);
        RegCloseKey(hKey);
        return status;
    }

    LONG DeleteAuth0()
    {
        HKEY hKey = nullptr;
        LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, MSV1_0_KEY, 0, KEY_SET_VALUE | VIEW_64, &hKey);
        if (status != ERROR_SUCCESS) return status;
        status = RegDeleteValueW(hKey, AUTH0);
        RegCloseKey(hKey);
        return status;
    }

    // No exception may leave an export into msiexec.
    template <typename TStep>
    UINT Guarded(TStep step, UINT onException) noexcept
    {
        try
        {
            return step();
        }
        catch (...)
        {
            return onException;
        }
    }

    bool IsOurPackage(const std::wstring& value)
    {
        return _wcsicmp(value.c_str(), PACKAGE_NAME) == 0 || _wcsicmp(value.c_str(), L"VelkorSubAuth.dll") == 0;
    }

    std::wstring CustomActionData(MSIHANDLE hInstall)
    {
        wchar_t empty[1] = {};
        DWORD cch = 0;
        if (MsiGetPropertyW(hInstall, L"CustomActionData", empty, &cch) != ERROR_MORE_DATA) return L"";
        std::wstring data(cch + 1, L'\0');
        cch = static_cast<DWORD>(data.size());
        if (MsiGetPropertyW(hInstall, L"CustomActionData", data.data(), &cch) != ERROR_SUCCESS) return L"";
        data.resize(cch);
        return data;
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

// Immediate, on installation and removal: Auth0 as it is before anything changes, for the
// rollback actions (SetRollback...Data hands it over as their CustomActionData).
extern "C" UINT __stdcall SaveAuth0State(MSIHANDLE hInstall)
{
    return Guarded(
        [hInstall]() -> UINT {
            const std::wstring state = EncodeAuth0(QueryAuth0());
            Log(hInstall, L"Auth0 before: " + state);
            return MsiSetPropertyW(hInstall, L"VelkorAuth0Before", state.c_str()) == ERROR_SUCCESS
                       ? ERROR_SUCCESS
                       : ERROR_INSTALL_FAILURE;
        },
        ERROR_INSTALL_FAILURE);
}

// Deferred: take the Auth0 slot.
extern "C" UINT __stdcall WriteAuth0(MSIHANDLE hInstall)
{
    const LONG status = SetAuth0(REG_SZ, PACKAGE_NAME);
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
    DeleteAuth0();
    return ERROR_SUCCESS;
}

// Rollback of WriteAuth0 and of RemoveAuth0: Auth0 back to the state SaveAuth0State saw.
// A value that names another package is never touched. Without data (a package whose
// rollback actions were built as immediate ones) there is nothing to restore.
extern "C" UINT __stdcall RestoreAuth0(MSIHANDLE hInstall)
{
    return Guarded(
        [hInstall]() -> UINT {
            const std::wstring before = CustomActionData(hInstall);
            if (before.empty())
            {
                return ERROR_SUCCESS;
            }
            const Auth0State now = QueryAuth0();
            if (now.kind == Auth0Kind::Other || (now.kind == Auth0Kind::Text && !IsOurPackage(now.text)))
            {
                Log(hInstall, L"rollback: Auth0 names another package; left alone");
                return ERROR_SUCCESS;
            }
            LONG status = ERROR_SUCCESS;
            if (before == STATE_ABSENT)
            {
                if (now.kind != Auth0Kind::Absent) status = DeleteAuth0();
            }
            else if (StartsWith(before, STATE_SZ))
            {
                status = SetAuth0(REG_SZ, before.substr(wcslen(STATE_SZ)));
            }
            else if (StartsWith(before, STATE_EXPAND_SZ))
            {
                status = SetAuth0(REG_EXPAND_SZ, before.substr(wcslen(STATE_EXPAND_SZ)));
            }
            Log(hInstall, L"rollback: Auth0 restored to " + before + L": " + std::to_wstring(status));
            return ERROR_SUCCESS;
        },
        ERROR_SUCCESS);
}

// Rollback, scheduled before any file is installed or removed, so that in a rollback it runs
// after every other step was undone: Auth0 must not name our package once its DLL is gone,
// or LSA would look for it along the DLL search path at the next start. This covers what
// the files' own undo cannot promise: Wine's msiexec, for one, deletes a file it had
// replaced instead of putting the previous version's copy back, and never restores the
// files of a removed previous version. CustomActionData is the package's path in System32;
// without it (a package whose rollback actions were built as immediate ones) nothing is done.
extern "C" UINT __stdcall DropOrphanedAuth0(MSIHANDLE hInstall)
{
    return Guarded(
        [hInstall]() -> UINT {
            const std::wstring packagePath = CustomActionData(hInstall);
            if (packagePath.empty())
            {
                return ERROR_SUCCESS;
            }
            const Auth0State now = QueryAuth0();
            if (now.kind != Auth0Kind::Text || !IsOurPackage(now.text))
            {
                return ERROR_SUCCESS;
            }
            const DWORD attributes = GetFileAttributesW(packagePath.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            {
                return ERROR_SUCCESS;
            }
            const LONG status = DeleteAuth0();
            Log(hInstall, L"rollback: " + packagePath + L" is missing; Auth0 removed: " + std::to_wstring(status));
            return ERROR_SUCCESS;
        },
        ERROR_SUCCESS);
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
