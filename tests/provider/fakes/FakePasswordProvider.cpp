#include "FakePasswordProvider.h"

#include <shlwapi.h>

#include <cstdlib>

namespace
{
    LONG g_lLiveObjects = 0;

    const CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR FIELDS[FAKE_FIELD_COUNT] = {
        { FAKE_FIELD_DISPLAY, CPFT_LARGE_TEXT, const_cast<LPWSTR>(L"Display name"), GUID_NULL },
        { FAKE_FIELD_USER_NAME, CPFT_EDIT_TEXT, const_cast<LPWSTR>(L"User name"), GUID_NULL },
        { FAKE_FIELD_PASSWORD, CPFT_PASSWORD_TEXT, const_cast<LPWSTR>(L"Password"), GUID_NULL },
        { FAKE_FIELD_SUBMIT, CPFT_SUBMIT_BUTTON, const_cast<LPWSTR>(L"Submit"), GUID_NULL },
    };

    std::wstring ReadEnvironment(const wchar_t* pszName)
    {
        wchar_t szValue[1024] = {};
        const DWORD cch = GetEnvironmentVariableW(pszName, szValue, ARRAYSIZE(szValue));
        return (cch > 0 && cch < ARRAYSIZE(szValue)) ? std::wstring(szValue, cch) : std::wstring();
    }
}

FakePasswordConfig& FakeConfig()
{
    static FakePasswordConfig config;
    return config;
}

std::vector<FakeReportedResult>& FakeReportedResults()
{
    static std::vector<FakeReportedResult> results;
    return results;
}

LONG FakeLiveObjects()
{
    return g_lLiveObjects;
}

void FakeConfigureFromEnvironment()
{
    FakePasswordConfig& config = FakeConfig();
    const std::wstring tiles = ReadEnvironment(L"VELKOR_FAKE_PASSWORD_TILES");
    if (!tiles.empty())
    {
        config.users.clear();
        size_t start = 0;
        while (start <= tiles.size())
        {
            const size_t comma = tiles.find(L',', start);
            const std::wstring user = tiles.substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start);
            if (!user.empty()) config.users.push_back(user);
            if (comma == std::wstring::npos) break;
            start = comma + 1;
        }
    }
    const std::wstring failures = ReadEnvironment(L"VELKOR_FAKE_PASSWORD_FAIL");
    config.refuseScenario = failures.find(L"scenario") != std::wstring::npos;
    config.failGetCredentialAt = failures.find(L"credentialat") != std::wstring::npos;
    config.failSerialization = failures.find(L"serialization") != std::wstring::npos;
    if (failures.find(L"zerotiles") != std::wstring::npos) config.users.clear();
}

std::wstring FakeSerializationText(const CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION& serialization)
{
    if (serialization.rgbSerialization == nullptr) return L"";
    return std::wstring(reinterpret_cast<const wchar_t*>(serialization.rgbSerialization),
                        serialization.cbSerialization / sizeof(wchar_t));
}

CFakePasswordCredential::CFakePasswordCredential(const std::wstring& user) : _user(user)
{
    InterlockedIncrement(&g_lLiveObjects);
}

CFakePasswordCredential::~CFakePasswordCredential()
{
    if (_pEvents != nullptr) _pEvents->Release();
    InterlockedDecrement(&g_lLiveObjects);
}

HRESULT CFakePasswordCredential::NotifyFieldString(DWORD dwFieldID, LPCWSTR psz)
{
    return _pEvents != nullptr ? _pEvents->SetFieldString(this, dwFieldID, psz) : E_UNEXPECTED;
}

IFACEMETHODIMP CFakePasswordCredential::QueryInterface(REFIID riid, void** ppv)
{
    static const QITAB qit[] = { QITABENT(CFakePasswordCredential, ICredentialProviderCredential), { nullptr, 0 } };
    return QISearch(this, qit, riid, ppv);
}

IFACEMETHODIMP_(ULONG) CFakePasswordCredential::AddRef() { return static_cast<ULONG>(++_lRefCount); }

IFACEMETHODIMP_(ULONG) CFakePasswordCredential::Release()
{
    const LONG count = --_lRefCount;
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

IFACEMETHODIMP CFakePasswordCredential::Advise(ICredentialProviderCredentialEvents* pcpce)
{
    if (_pEvents != nullptr) _pEvents->Release();
    _pEvents = pcpce;
    if (_pEvents != nullptr) _pEvents->AddRef();
    return S_OK;
}

IFACEMETHODIMP CFakePasswordCredential::UnAdvise()
{
    if (_pEvents != nullptr) _pEvents->Release();
    _pEvents = nullptr;
    return S_OK;
}

IFACEMETHODIMP CFakePasswordCredential::SetSelected(BOOL* pbAutoLogon)
{
    if (pbAutoLogon != nullptr) *pbAutoLogon = FakeConfig().autoLogonOnSelect ? TRUE : FALSE;
    // Selecting a tile focuses its password field, as the real tile does.
    if (_pEvents != nullptr) _pEvents->SetFieldInteractiveState(this, FAKE_FIELD_PASSWORD, CPFIS_FOCUSED);
    return S_OK;
}

IFACEMETHODIMP CFakePasswordCredential::SetDeselected()
{
    _password.clear();
    return S_OK;
}

IFACEMETHODIMP CFakePasswordCredential::GetFieldState(DWORD dwFieldID, CREDENTIAL_PROVIDER_FIELD_STATE* pcpfs,
                                                      CREDENTIAL_PROVIDER_FIELD_INTERACTIVE_STATE* pcpfis)
{
    if (dwFieldID >= FAKE_FIELD_COUNT || pcpfs == nullptr || pcpfis == nullptr) return E_INVALIDARG;
    *pcpfs = dwFieldID == FAKE_FIELD_DISPLAY ? CPFS_DISPLAY_IN_BOTH : CPFS_DISPLAY_IN_SELECTED_TILE;
    *pcpfis = CPFIS_NONE;
    return S_OK;
}

IFACEMETHODIMP CFakePasswordCredential::GetStringValue(DWORD dwFieldID, LPWSTR* ppsz)
{
    if (ppsz == nullptr) return E_INVALIDARG;
    switch (dwFieldID)
    {
    case FAKE_FIELD_DISPLAY:
    case FAKE_FIELD_USER_NAME: return SHStrDupW(_user.c_str(), ppsz);
    case FAKE_FIELD_PASSWORD: return SHStrDupW(_password.c_str(), ppsz);
    default: return E_INVALIDARG;
    }
}

IFACEMETHODIMP CFakePasswordCredential::GetBitmapValue(DWORD, HBITMAP*) { return E_NOTIMPL; }
IFACEMETHODIMP CFakePasswordCredential::GetCheckboxValue(DWORD, BOOL*, LPWSTR*) { return E_NOTIMPL; }

IFACEMETHODIMP CFakePasswordCredential::GetSubmitButtonValue(DWORD dwFieldID, DWORD* pdwAdjacentTo)
{
    if (dwFieldID != FAKE_FIELD_SUBMIT || pdwAdjacentTo == nullptr) return E_INVALIDARG;
    *pdwAdjacentTo = FAKE_FIELD_PASSWORD;
    return S_OK;
}

IFACEMETHODIMP CFakePasswordCredential::GetComboBoxValueCount(DWORD, DWORD*, DWORD*) { return E_NOTIMPL; }
IFACEMETHODIMP CFakePasswordCredential::GetComboBoxValueAt(DWORD, DWORD, LPWSTR*) { return E_NOTIMPL; }

IFACEMETHODIMP CFakePasswordCredential::SetStringValue(DWORD dwFieldID, LPCWSTR psz)
{
    switch (dwFieldID)
    {
    case FAKE_FIELD_USER_NAME: _user = psz != nullptr ? psz : L""; return S_OK;
    case FAKE_FIELD_PASSWORD: _password = psz != nullptr ? psz : L""; return S_OK;
    default: return E_INVALIDARG;
    }
}

IFACEMETHODIMP CFakePasswordCredential::SetCheckboxValue(DWORD, BOOL) { return E_NOTIMPL; }
IFACEMETHODIMP CFakePasswordCredential::SetComboBoxSelectedValue(DWORD, DWORD) { return E_NOTIMPL; }
IFACEMETHODIMP CFakePasswordCredential::CommandLinkClicked(DWORD) { return E_NOTIMPL; }

IFACEMETHODIMP CFakePasswordCredential::GetSerialization(CREDENTIAL_PROVIDER_GET_SERIALIZATION_RESPONSE* pcpgsr,
                                                         CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcs,
                                                         LPWSTR* ppszOptionalStatusText,
                                                         CREDENTIAL_PROVIDER_STATUS_ICON* pcpsiOptionalStatusIcon)
{
    if (pcpgsr == nullptr || pcpcs == nullptr) return E_INVALIDARG;
    if (ppszOptionalStatusText != nullptr) *ppszOptionalStatusText = nullptr;
    if (pcpsiOptionalStatusIcon != nullptr) *pcpsiOptionalStatusIcon = CPSI_NONE;
    if (FakeConfig().failSerialization)
    {
        *pcpgsr = CPGSR_NO_CREDENTIAL_NOT_FINISHED;
        return E_FAIL;
    }
    const std::wstring text = L"FAKE:" + _user + L":" + _password;
    const ULONG cb = static_cast<ULONG>(text.size() * sizeof(wchar_t));
    auto* pb = static_cast<byte*>(CoTaskMemAlloc(cb));
    if (pb == nullptr) return E_OUTOFMEMORY;
    memcpy(pb, text.data(), cb);
    pcpcs->ulAuthenticationPackage = FAKE_AUTHENTICATION_PACKAGE;
    pcpcs->clsidCredentialProvider = CLSID_PasswordCredentialProvider;
    pcpcs->cbSerialization = cb;
    pcpcs->rgbSerialization = pb;
    *pcpgsr = CPGSR_RETURN_CREDENTIAL_FINISHED;
    return S_OK;
}

IFACEMETHODIMP CFakePasswordCredential::ReportResult(NTSTATUS ntsStatus, NTSTATUS ntsSubstatus,
                                                     LPWSTR* ppszOptionalStatusText,
                                                     CREDENTIAL_PROVIDER_STATUS_ICON* pcpsiOptionalStatusIcon)
{
    FakeReportedResults().push_back({ ntsStatus, ntsSubstatus, _user });
    if (ppszOptionalStatusText != nullptr) *ppszOptionalStatusText = nullptr;
    if (pcpsiOptionalStatusIcon != nullptr) *pcpsiOptionalStatusIcon = CPSI_NONE;
    if (ntsStatus != 0 && ppszOptionalStatusText != nullptr)
    {
        SHStrDupW(L"The user name or password is incorrect.", ppszOptionalStatusText);
        if (pcpsiOptionalStatusIcon != nullptr) *pcpsiOptionalStatusIcon = CPSI_ERROR;
    }
    return S_OK;
}

CFakePasswordProvider::CFakePasswordProvider()
{
    InterlockedIncrement(&g_lLiveObjects);
}

CFakePasswordProvider::~CFakePasswordProvider()
{
    for (auto* pCredential : _credentials) pCredential->Release();
    if (_pEvents != nullptr) _pEvents->Release();
    InterlockedDecrement(&g_lLiveObjects);
}

IFACEMETHODIMP CFakePasswordProvider::QueryInterface(REFIID riid, void** ppv)
{
    static const QITAB qit[] = { QITABENT(CFakePasswordProvider, ICredentialProvider), { nullptr, 0 } };
    return QISearch(this, qit, riid, ppv);
}

IFACEMETHODIMP_(ULONG) CFakePasswordProvider::AddRef() { return static_cast<ULONG>(++_lRefCount); }

IFACEMETHODIMP_(ULONG) CFakePasswordProvider::Release()
{
    const LONG count = --_lRefCount;
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

IFACEMETHODIMP CFakePasswordProvider::SetUsageScenario(CREDENTIAL_PROVIDER_USAGE_SCENARIO cpus, DWORD)
{
    if (FakeConfig().refuseScenario) return E_NOTIMPL;
    switch (cpus)
    {
    case CPUS_LOGON:
    case CPUS_UNLOCK_WORKSTATION:
    case CPUS_CHANGE_PASSWORD:
    case CPUS_CREDUI: break;
    default: return E_NOTIMPL;
    }
    for (const auto& user : FakeConfig().users)
    {
        auto* pCredential = new CFakePasswordCredential(user);
        _credentials.push_back(pCredential);
    }
    return S_OK;
}

IFACEMETHODIMP CFakePasswordProvider::SetSerialization(const CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION*)
{
    return E_NOTIMPL;
}

IFACEMETHODIMP CFakePasswordProvider::Advise(ICredentialProviderEvents* pcpe, UINT_PTR)
{
    if (_pEvents != nullptr) _pEvents->Release();
    _pEvents = pcpe;
    if (_pEvents != nullptr) _pEvents->AddRef();
    return S_OK;
}

IFACEMETHODIMP CFakePasswordProvider::UnAdvise()
{
    if (_pEvents != nullptr) _pEvents->Release();
    _pEvents = nullptr;
    return S_OK;
}

IFACEMETHODIMP CFakePasswordProvider::GetFieldDescriptorCount(DWORD* pdwCount)
{
    *pdwCount = FAKE_FIELD_COUNT;
    return S_OK;
}

IFACEMETHODIMP CFakePasswordProvider::GetFieldDescriptorAt(DWORD dwIndex, CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR** ppcpfd)
{
    if (dwIndex >= FAKE_FIELD_COUNT || ppcpfd == nullptr) return E_INVALIDARG;
    auto* pDescriptor = static_cast<CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR*>(CoTaskMemAlloc(sizeof(**ppcpfd)));
    if (pDescriptor == nullptr) return E_OUTOFMEMORY;
    *pDescriptor = FIELDS[dwIndex];
    SHStrDupW(FIELDS[dwIndex].pszLabel, &pDescriptor->pszLabel);
    *ppcpfd = pDescriptor;
    return S_OK;
}

IFACEMETHODIMP CFakePasswordProvider::GetCredentialCount(DWORD* pdwCount, DWORD* pdwDefault, BOOL* pbAutoLogonWithDefault)
{
    *pdwCount = static_cast<DWORD>(_credentials.size());
    *pdwDefault = FakeConfig().defaultTile;
    *pbAutoLogonWithDefault = FakeConfig().autoLogonWithDefault;
    return S_OK;
}

IFACEMETHODIMP CFakePasswordProvider::GetCredentialAt(DWORD dwIndex, ICredentialProviderCredential** ppcpc)
{
    if (FakeConfig().failGetCredentialAt) return E_FAIL;
    if (dwIndex >= _credentials.size() || ppcpc == nullptr) return E_INVALIDARG;
    return _credentials[dwIndex]->QueryInterface(__uuidof(ICredentialProviderCredential), reinterpret_cast<void**>(ppcpc));
}

IFACEMETHODIMP CFakePasswordProviderFactory::QueryInterface(REFIID riid, void** ppv)
{
    static const QITAB qit[] = { QITABENT(CFakePasswordProviderFactory, IClassFactory), { nullptr, 0 } };
    return QISearch(this, qit, riid, ppv);
}

IFACEMETHODIMP_(ULONG) CFakePasswordProviderFactory::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&_lRefCount)); }

IFACEMETHODIMP_(ULONG) CFakePasswordProviderFactory::Release()
{
    const LONG count = InterlockedDecrement(&_lRefCount);
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

IFACEMETHODIMP CFakePasswordProviderFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv)
{
    *ppv = nullptr;
    if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
    auto* pProvider = new CFakePasswordProvider();
    const HRESULT hr = pProvider->QueryInterface(riid, ppv);
    pProvider->Release();
    return hr;
}
