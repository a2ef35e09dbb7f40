// Plays the logon user interface and LSA for one logon, so the whole road of a logon
// runs outside Windows: the registered providers and filters, the tiles, typing into
// them, the serialization, MSV1_0's call of the sub-authentication package named by
// Auth0, and the result as the tile shows it.
#include "CredentialProviderApi.h"

#include <windows.h>
#include <subauth.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace
{
    const wchar_t PROVIDERS_KEY[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Authentication\\Credential Providers";
    const wchar_t FILTERS_KEY[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Authentication\\Credential Provider Filters";
    const wchar_t MSV1_0_KEY[] = L"SYSTEM\\CurrentControlSet\\Control\\Lsa\\MSV1_0";
    // The user-name field of a password tile.
    constexpr DWORD USER_NAME_FIELD = 1;
    constexpr DWORD PASSWORD_FIELD = 2;

    using SubAuthFilter = NTSTATUS(NTAPI*)(NETLOGON_LOGON_INFO_CLASS, PVOID, ULONG, PUSER_ALL_INFORMATION, PULONG, PULONG,
                                           PBOOLEAN, PLARGE_INTEGER, PLARGE_INTEGER);

    struct Options
    {
        CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario = CPUS_LOGON;
        DWORD creduiFlags = 0;
        DWORD tile = 0;
        std::wstring user;
        bool typeUser = false;
        std::wstring password = L"password";
        std::wstring recoveryCode;
        bool useRecovery = false;
        std::wstring tokenScenario;
        bool registerOnly = false;
        bool registerStandInOnly = false;
        std::wstring fakeProvider = L"FakePasswordProvider.dll";
    };

    template <typename T>
    class CComPtr
    {
    public:
        CComPtr() = default;
        ~CComPtr() { Reset(); }
        CComPtr(const CComPtr&) = delete;
        CComPtr& operator=(const CComPtr&) = delete;
        T* operator->() const { return _p; }
        T* Get() const { return _p; }
        T** Put() { Reset(); return &_p; }
        void Reset() { if (_p != nullptr) { _p->Release(); _p = nullptr; } }

    private:
        T* _p = nullptr;
    };

    std::wstring GuidText(const GUID& guid)
    {
        wchar_t text[40] = {};
        StringFromGUID2(guid, text, 40);
        return text;
    }

    const wchar_t* FieldTypeName(CREDENTIAL_PROVIDER_FIELD_TYPE type)
    {
        static const wchar_t* const NAMES[] = { L"invalid", L"large text", L"small text", L"command link", L"edit text",
                                                L"password", L"tile image", L"checkbox", L"combobox", L"submit button" };
        return static_cast<unsigned>(type) < ARRAYSIZE(NAMES) ? NAMES[type] : L"?";
    }

    const wchar_t* FieldStateName(CREDENTIAL_PROVIDER_FIELD_STATE state)
    {
        static const wchar_t* const NAMES[] = { L"hidden", L"selected tile", L"deselected tile", L"both" };
        return static_cast<unsigned>(state) < ARRAYSIZE(NAMES) ? NAMES[state] : L"?";
    }

    const wchar_t* IconName(CREDENTIAL_PROVIDER_STATUS_ICON icon)
    {
        static const wchar_t* const NAMES[] = { L"no icon", L"error icon", L"warning icon", L"success icon" };
        return static_cast<unsigned>(icon) < ARRAYSIZE(NAMES) ? NAMES[icon] : L"?";
    }

    std::wstring ModuleFolder()
    {
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring folder = path;
        return folder.substr(0, folder.find_last_of(L'\\') + 1);
    }

    LONG SetString(HKEY hRoot, const std::wstring& path, const wchar_t* name, const std::wstring& value)
    {
        return RegSetKeyValueW(hRoot, path.c_str(), name, REG_SZ, value.c_str(),
                               static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }

    // What an installation writes: the COM classes, the provider and filter lists, Auth0;
    // or, beside an installed system, only the stand-in for the system password provider.
    bool Register(const Options& options)
    {
        if (options.registerStandInOnly)
        {
            const std::wstring password = GuidText(CLSID_PasswordCredentialProvider);
            const std::wstring server = L"SOFTWARE\\Classes\\CLSID\\" + password + L"\\InprocServer32";
            LONG status = SetString(HKEY_LOCAL_MACHINE, server, nullptr, ModuleFolder() + options.fakeProvider);
            if (status == ERROR_SUCCESS) status = SetString(HKEY_LOCAL_MACHINE, server, L"ThreadingModel", L"Apartment");
            if (status == ERROR_SUCCESS) status = SetString(HKEY_LOCAL_MACHINE, std::wstring(PROVIDERS_KEY) + L"\\" + password, nullptr, L"PasswordProvider");
            wprintf(status == ERROR_SUCCESS ? L"Registered the password provider stand-in\n" : L"Registration failed\n");
            return status == ERROR_SUCCESS;
        }
        const std::wstring folder = ModuleFolder();
        const std::wstring ours = GuidText(CLSID_VelkorCredentialProvider);
        const std::wstring password = GuidText(CLSID_PasswordCredentialProvider);
        const std::wstring oursServer = L"SOFTWARE\\Classes\\CLSID\\" + ours + L"\\InprocServer32";
        const std::wstring passwordServer = L"SOFTWARE\\Classes\\CLSID\\" + password + L"\\InprocServer32";
        LONG status = SetString(HKEY_LOCAL_MACHINE, oursServer, nullptr, folder + L"VelkorCredentialProvider.dll");
        if (status == ERROR_SUCCESS) status = SetString(HKEY_LOCAL_MACHINE, oursServer, L"ThreadingModel", L"Apartment");
        if (status == ERROR_SUCCESS) status = SetString(HKEY_LOCAL_MACHINE, passwordServer, nullptr, folder + options.fakeProvider);
        if (status == ERROR_SUCCESS) status = SetString(HKEY_LOCAL_MACHINE, passwordServer, L"ThreadingModel", L"Apartment");
        if (status == ERROR_SUCCESS) status = SetString(HKEY_LOCAL_MACHINE, std::wstring(PROVIDERS_KEY) + L"\\" + ours, nullptr, L"VelkorCredentialProvider");
        if (status == ERROR_SUCCESS) status = SetString(HKEY_LOCAL_MACHINE, std::wstring(PROVIDERS_KEY) + L"\\" + password, nullptr, L"PasswordProvider");
        if (status == ERROR_SUCCESS) status = SetString(HKEY_LOCAL_MACHINE, std::wstring(FILTERS_KEY) + L"\\" + ours, nullptr, L"VelkorCredentialProvider");
        if (status == ERROR_SUCCESS) status = SetString(HKEY_LOCAL_MACHINE, MSV1_0_KEY, L"Auth0", folder + L"VelkorSubAuth.dll");
        if (status != ERROR_SUCCESS)
        {
            wprintf(L"Registration failed: %ld\n", status);
            return false;
        }
        wprintf(L"Registered %ls, the password provider stand-in and Auth0 from %ls\n", ours.c_str(), folder.c_str());
        return true;
    }

    std::vector<CLSID> RegisteredClasses(const wchar_t* pszKey)
    {
        std::vector<CLSID> classes;
        HKEY hKey = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, pszKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS) return classes;
        wchar_t name[64];
        for (DWORD i = 0;; ++i)
        {
            DWORD cch = ARRAYSIZE(name);
            if (RegEnumKeyExW(hKey, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            CLSID clsid;
            if (SUCCEEDED(CLSIDFromString(name, &clsid))) classes.push_back(clsid);
        }
        RegCloseKey(hKey);
        return classes;
    }

    std::wstring StringField(ICredentialProviderCredential* pTile, DWORD field)
    {
        LPWSTR psz = nullptr;
        if (FAILED(pTile->GetStringValue(field, &psz)) || psz == nullptr) return L"";
        std::wstring text = psz;
        CoTaskMemFree(psz);
        return text;
    }

    // The logon user interface's sink: shows what a tile asks it to change.
    class CUiEvents final : public ICredentialProviderCredentialEvents, public ICredentialProviderEvents
    {
    public:
        IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override
        {
            if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, __uuidof(ICredentialProviderCredentialEvents)))
            {
                *ppv = static_cast<ICredentialProviderCredentialEvents*>(this);
            }
            else if (IsEqualIID(riid, __uuidof(ICredentialProviderEvents)))
            {
                *ppv = static_cast<ICredentialProviderEvents*>(this);
            }
            else
            {
                *ppv = nullptr;
                return E_NOINTERFACE;
            }
            AddRef();
            return S_OK;
        }
        IFACEMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++_lRefCount); }
        IFACEMETHODIMP_(ULONG) Release() override
        {
            const LONG count = --_lRefCount;
            if (count == 0) delete this;
            return static_cast<ULONG>(count);
        }
        IFACEMETHODIMP SetFieldState(ICredentialProviderCredential*, DWORD field, CREDENTIAL_PROVIDER_FIELD_STATE state) override
        {
            wprintf(L"  (the tile shows field %lu in: %ls)\n", field, FieldStateName(state));
            return S_OK;
        }
        IFACEMETHODIMP SetFieldInteractiveState(ICredentialProviderCredential*, DWORD, CREDENTIAL_PROVIDER_FIELD_INTERACTIVE_STATE) override { return S_OK; }
        IFACEMETHODIMP SetFieldString(ICredentialProviderCredential*, DWORD field, LPCWSTR psz) override
        {
            wprintf(L"  (the tile sets field %lu to \"%ls\")\n", field, psz != nullptr ? psz : L"");
            return S_OK;
        }
        IFACEMETHODIMP SetFieldCheckbox(ICredentialProviderCredential*, DWORD, BOOL, LPCWSTR) override { return S_OK; }
        IFACEMETHODIMP SetFieldBitmap(ICredentialProviderCredential*, DWORD, HBITMAP) override { return S_OK; }
        IFACEMETHODIMP SetFieldComboBoxSelectedItem(ICredentialProviderCredential*, DWORD, DWORD) override { return S_OK; }
        IFACEMETHODIMP DeleteFieldComboBoxItem(ICredentialProviderCredential*, DWORD, DWORD) override { return S_OK; }
        IFACEMETHODIMP AppendFieldComboBoxItem(ICredentialProviderCredential*, DWORD, LPCWSTR) override { return S_OK; }
        IFACEMETHODIMP SetFieldSubmitButton(ICredentialProviderCredential*, DWORD, DWORD) override { return S_OK; }
        IFACEMETHODIMP OnCreatingWindow(HWND* phwnd) override
        {
            *phwnd = nullptr;
            return S_OK;
        }
        IFACEMETHODIMP CredentialsChanged(UINT_PTR) override { return S_OK; }

    private:
        LONG _lRefCount = 1;
    };

    struct ProviderTiles
    {
        CLSID clsid;
        ICredentialProvider* pProvider = nullptr;
        std::vector<CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR*> fields;
        std::vector<ICredentialProviderCredential*> tiles;
    };

    void ShowTile(ICredentialProviderCredential* pTile, const ProviderTiles& provider, DWORD index)
    {
        wprintf(L"  Tile %lu:\n", index);
        for (const auto* pField : provider.fields)
        {
            CREDENTIAL_PROVIDER_FIELD_STATE state = CPFS_HIDDEN;
            CREDENTIAL_PROVIDER_FIELD_INTERACTIVE_STATE interactive = CPFIS_NONE;
            pTile->GetFieldState(pField->dwFieldID, &state, &interactive);
            std::wstring value = pField->cpft == CPFT_SUBMIT_BUTTON ? L"" : StringField(pTile, pField->dwFieldID);
            if (pField->cpft == CPFT_PASSWORD_TEXT) value.assign(value.size(), L'*');
            wprintf(L"    field %lu %-13ls %-16ls label \"%ls\" value \"%ls\"\n", pField->dwFieldID,
                    FieldTypeName(pField->cpft), FieldStateName(state),
                    pField->pszLabel != nullptr ? pField->pszLabel : L"", value.c_str());
        }
    }

    bool ParseOptions(int argc, wchar_t** argv, Options& options)
    {
        for (int i = 1; i < argc; ++i)
        {
            const std::wstring arg = argv[i];
            const bool hasValue = i + 1 < argc;
            if (arg == L"--register") options.registerOnly = true;
            else if (arg == L"--register-stand-in") options.registerStandInOnly = true;
            else if (arg == L"--scenario" && hasValue)
            {
                const std::wstring value = argv[++i];
                if (value == L"logon") options.scenario = CPUS_LOGON;
                else if (value == L"unlock") options.scenario = CPUS_UNLOCK_WORKSTATION;
                else if (value == L"changepassword") options.scenario = CPUS_CHANGE_PASSWORD;
                else if (value == L"credui") options.scenario = CPUS_CREDUI;
                else return false;
            }
            else if (arg == L"--credui-flags" && hasValue) options.creduiFlags = wcstoul(argv[++i], nullptr, 0);
            else if (arg == L"--tile" && hasValue) options.tile = wcstoul(argv[++i], nullptr, 10);
            else if (arg == L"--user" && hasValue) { options.user = argv[++i]; options.typeUser = true; }
            else if (arg == L"--password" && hasValue) options.password = argv[++i];
            else if (arg == L"--recovery" && hasValue) { options.recoveryCode = argv[++i]; options.useRecovery = true; }
            else if (arg == L"--token-scenario" && hasValue) options.tokenScenario = argv[++i];
            else if (arg == L"--fake-provider" && hasValue) options.fakeProvider = argv[++i];
            else return false;
        }
        return true;
    }

    void Usage()
    {
        wprintf(L"usage: logon_simulator [--register | --register-stand-in] [--scenario logon|unlock|changepassword|credui]\n"
                L"                       [--credui-flags N] [--tile N] [--user NAME] [--password TEXT]\n"
                L"                       [--recovery CODE] [--token-scenario FILE]\n");
    }

    // One logon on the chosen tile. Returns the process exit code: 0 logged on, 1 refused.
    int LogOn(const Options& options, ProviderTiles& provider, CUiEvents* pEvents)
    {
        if (options.tile >= provider.tiles.size())
        {
            wprintf(L"No tile %lu\n", options.tile);
            return 2;
        }
        ICredentialProviderCredential* pTile = provider.tiles[options.tile];
        BOOL autoLogon = FALSE;
        wprintf(L"Selecting tile %lu\n", options.tile);
        pTile->SetSelected(&autoLogon);
        if (options.typeUser)
        {
            wprintf(L"Typing user name \"%ls\"\n", options.user.c_str());
            pTile->SetStringValue(USER_NAME_FIELD, options.user.c_str());
        }
        wprintf(L"Typing the password\n");
        pTile->SetStringValue(PASSWORD_FIELD, options.password.c_str());
        const DWORD ownFields = static_cast<DWORD>(provider.fields.size()) - 2;
        if (options.useRecovery)
        {
            wprintf(L"Clicking \"%ls\"\n", StringField(pTile, ownFields + 1).c_str());
            pTile->CommandLinkClicked(ownFields + 1);
            wprintf(L"Typing recovery code \"%ls\"\n", options.recoveryCode.c_str());
            pTile->SetStringValue(ownFields, options.recoveryCode.c_str());
        }
        (void)pEvents;

        CREDENTIAL_PROVIDER_GET_SERIALIZATION_RESPONSE response = CPGSR_NO_CREDENTIAL_NOT_FINISHED;
        CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION serialization = {};
        LPWSTR pszText = nullptr;
        CREDENTIAL_PROVIDER_STATUS_ICON icon = CPSI_NONE;
        const HRESULT hr = pTile->GetSerialization(&response, &serialization, &pszText, &icon);
        CoTaskMemFree(pszText);
        if (FAILED(hr) || response != CPGSR_RETURN_CREDENTIAL_FINISHED)
        {
            wprintf(L"No serialization: 0x%08lX, response %d\n", static_cast<unsigned long>(hr), response);
            CoTaskMemFree(serialization.rgbSerialization);
            return 1;
        }
        wprintf(L"Serialization: package 0x%08lX, %lu bytes, from %ls\n", serialization.ulAuthenticationPackage,
                serialization.cbSerialization, GuidText(serialization.clsidCredentialProvider).c_str());
        SecureZeroMemory(serialization.rgbSerialization, serialization.cbSerialization);
        CoTaskMemFree(serialization.rgbSerialization);

        // MSV1_0's part: the package named by Auth0 decides for the tile's user.
        wchar_t packagePath[MAX_PATH] = {};
        DWORD cbPath = sizeof(packagePath);
        NTSTATUS status = static_cast<NTSTATUS>(0xC000006D);
        BOOLEAN authoritative = TRUE;
        if (RegGetValueW(HKEY_LOCAL_MACHINE, MSV1_0_KEY, L"Auth0", RRF_RT_REG_SZ, nullptr, packagePath, &cbPath) != ERROR_SUCCESS)
        {
            wprintf(L"MSV1_0 has no Auth0 package: the logon is not checked\n");
            status = 0;
        }
        else
        {
            HMODULE hPackage = LoadLibraryW(packagePath);
            // With the virtual PC/SC stack as winscard.dll, the package finds its HID keys
            // instead of the machine's, whether or not a scenario file was given.
            using InstallHid = int(WINAPI*)(HMODULE);
            const HMODULE hVirtualStack = GetModuleHandleW(L"winscard.dll");
            auto pfnInstallHid = hVirtualStack != nullptr && hPackage != nullptr
                                     ? reinterpret_cast<InstallHid>(reinterpret_cast<void*>(GetProcAddress(hVirtualStack, "VScardInstallHid")))
                                     : nullptr;
            if (pfnInstallHid != nullptr) pfnInstallHid(hPackage);
            auto pfnFilter = hPackage != nullptr ? reinterpret_cast<SubAuthFilter>(reinterpret_cast<void*>(
                                                       GetProcAddress(hPackage, "Msv1_0SubAuthenticationFilter")))
                                                 : nullptr;
            if (pfnFilter == nullptr)
            {
                wprintf(L"Cannot load %ls\n", packagePath);
                return 2;
            }
            std::wstring user = StringField(pTile, USER_NAME_FIELD);
            USER_ALL_INFORMATION userAll = {};
            userAll.UserName.Buffer = user.data();
            userAll.UserName.Length = static_cast<USHORT>(user.size() * sizeof(wchar_t));
            ULONG whichFields = 0, userFlags = 0;
            LARGE_INTEGER logoff = {}, kickoff = {};
            status = pfnFilter(NetlogonInteractiveInformation, nullptr, 0, &userAll, &whichFields, &userFlags,
                               &authoritative, &logoff, &kickoff);
            wprintf(L"Msv1_0SubAuthenticationFilter(%ls) = 0x%08lX, Authoritative %d\n", user.c_str(),
                    static_cast<unsigned long>(status), authoritative);
            if (pfnInstallHid != nullptr)
            {
                reinterpret_cast<InstallHid>(reinterpret_cast<void*>(GetProcAddress(hVirtualStack, "VScardUninstallHid")))(hPackage);
            }
            FreeLibrary(hPackage);
        }

        // Credential UI reports no result to the tile that was submitted.
        pszText = nullptr;
        icon = CPSI_NONE;
        if (options.scenario == CPUS_CREDUI)
        {
            wprintf(L"(Credential UI: no result is reported to the tile)\n");
        }
        else
        {
            pTile->ReportResult(status, 0, &pszText, &icon);
        }
        if (pszText != nullptr)
        {
            wprintf(L"Status: \"%ls\" [%ls]\n", pszText, IconName(icon));
            CoTaskMemFree(pszText);
        }
        wprintf(status == 0 ? L"Result: logged on\n" : L"Result: logon refused\n");
        return status == 0 ? 0 : 1;
    }

    int Run(const Options& options)
    {
        const std::vector<CLSID> providers = RegisteredClasses(PROVIDERS_KEY);
        const std::vector<CLSID> filters = RegisteredClasses(FILTERS_KEY);
        std::vector<BOOL> allow(providers.size(), TRUE);
        for (const CLSID& filterClass : filters)
        {
            CComPtr<ICredentialProviderFilter> filter;
            HRESULT hr = CoCreateInstance(filterClass, nullptr, CLSCTX_INPROC_SERVER, __uuidof(ICredentialProviderFilter),
                                          reinterpret_cast<void**>(filter.Put()));
            if (FAILED(hr))
            {
                wprintf(L"Filter %ls cannot be created: 0x%08lX\n", GuidText(filterClass).c_str(), static_cast<unsigned long>(hr));
                continue;
            }
            std::vector<GUID> list(providers.begin(), providers.end());
            hr = filter->Filter(options.scenario, options.creduiFlags, list.data(), allow.data(), static_cast<DWORD>(list.size()));
            wprintf(L"Filter %ls: 0x%08lX\n", GuidText(filterClass).c_str(), static_cast<unsigned long>(hr));
        }

        auto* pEvents = new CUiEvents();
        std::vector<ProviderTiles> shown;
        for (size_t i = 0; i < providers.size(); ++i)
        {
            wprintf(L"Provider %ls: %ls\n", GuidText(providers[i]).c_str(), allow[i] ? L"allowed" : L"filtered out");
            if (!allow[i]) continue;
            ProviderTiles provider;
            provider.clsid = providers[i];
            HRESULT hr = CoCreateInstance(providers[i], nullptr, CLSCTX_INPROC_SERVER, __uuidof(ICredentialProvider),
                                          reinterpret_cast<void**>(&provider.pProvider));
            if (SUCCEEDED(hr)) hr = provider.pProvider->SetUsageScenario(options.scenario, options.creduiFlags);
            if (SUCCEEDED(hr)) hr = provider.pProvider->Advise(pEvents, 1);
            DWORD fieldCount = 0;
            if (SUCCEEDED(hr)) hr = provider.pProvider->GetFieldDescriptorCount(&fieldCount);
            for (DWORD f = 0; SUCCEEDED(hr) && f < fieldCount; ++f)
            {
                CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR* pField = nullptr;
                hr = provider.pProvider->GetFieldDescriptorAt(f, &pField);
                if (SUCCEEDED(hr)) provider.fields.push_back(pField);
            }
            DWORD count = 0, defaultTile = 0;
            BOOL autoLogon = FALSE;
            if (SUCCEEDED(hr)) hr = provider.pProvider->GetCredentialCount(&count, &defaultTile, &autoLogon);
            for (DWORD t = 0; SUCCEEDED(hr) && t < count; ++t)
            {
                ICredentialProviderCredential* pTile = nullptr;
                hr = provider.pProvider->GetCredentialAt(t, &pTile);
                if (SUCCEEDED(hr))
                {
                    pTile->Advise(pEvents);
                    provider.tiles.push_back(pTile);
                    ShowTile(pTile, provider, t);
                }
            }
            if (FAILED(hr)) wprintf(L"  provider refused: 0x%08lX\n", static_cast<unsigned long>(hr));
            shown.push_back(provider);
        }

        // The Velkor provider's tiles are the ones a person uses.
        int exitCode = 2;
        for (auto& provider : shown)
        {
            if (IsEqualCLSID(provider.clsid, CLSID_VelkorCredentialProvider) && !provider.tiles.empty())
            {
                exitCode = LogOn(options, provider, pEvents);
            }
        }
        if (exitCode == 2) wprintf(L"No Velkor tile to log on with\n");

        for (auto& provider : shown)
        {
            for (auto* pTile : provider.tiles)
            {
                pTile->UnAdvise();
                pTile->Release();
            }
            for (auto* pField : provider.fields)
            {
                CoTaskMemFree(pField->pszLabel);
                CoTaskMemFree(pField);
            }
            if (provider.pProvider != nullptr)
            {
                provider.pProvider->UnAdvise();
                provider.pProvider->Release();
            }
        }
        pEvents->Release();
        return exitCode;
    }
}

int wmain(int argc, wchar_t** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options))
    {
        Usage();
        return 2;
    }
    if (!options.tokenScenario.empty())
    {
        // Read by the virtual PC/SC stack at its first call in this process.
        SetEnvironmentVariableW(L"VELKOR_VSCARD_SCENARIO", options.tokenScenario.c_str());
    }
    if (options.registerOnly || options.registerStandInOnly)
    {
        return Register(options) ? 0 : 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
    {
        return 2;
    }
    const int exitCode = Run(options);
    CoUninitialize();
    fflush(stdout);
    return exitCode;
}
