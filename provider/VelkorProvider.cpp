#include "VelkorProvider.h"
#include "ConfigStore.h"
#include "Dll.h"
#include "OwnFields.h"
#include "VelkorCredential.h"

#include <shlwapi.h>

#include <new>

CVelkorProvider::CVelkorProvider()
{
    Trace(L"CVelkorProvider()");
    ModuleAddRef();
}

CVelkorProvider::~CVelkorProvider()
{
    Trace(L"~CVelkorProvider()");
    ReleaseAllCredentials();
    _pInnerProvider.Reset();
    ModuleRelease();
}

IFACEMETHODIMP CVelkorProvider::QueryInterface(REFIID riid, void** ppv)
{
    static const QITAB qit[] = {
        QITABENT(CVelkorProvider, ICredentialProvider),
        { nullptr, 0 },
    };
    return QISearch(this, qit, riid, ppv);
}

IFACEMETHODIMP_(ULONG) CVelkorProvider::AddRef()
{
    return static_cast<ULONG>(++_lRefCount);
}

IFACEMETHODIMP_(ULONG) CVelkorProvider::Release()
{
    const LONG lRefCount = --_lRefCount;
    if (lRefCount == 0)
    {
        delete this;
    }
    return static_cast<ULONG>(lRefCount);
}

IFACEMETHODIMP CVelkorProvider::SetUsageScenario(CREDENTIAL_PROVIDER_USAGE_SCENARIO cpus, DWORD dwFlags)
{
    Trace(L"CVelkorProvider::SetUsageScenario()");
    // A second scenario starts from a fresh inner provider.
    ReleaseAllCredentials();
    _pInnerProvider.Reset();
    _cpus = cpus;
    // Read once per scenario: the tiles of one scenario all show the same fields.
    _dwOwnFieldCount = IsTouchRequired() ? OWN_FIELD_COUNT : OWN_FIELD_COUNT_WITHOUT_HINT;

    Microsoft::WRL::ComPtr<IUnknown> pUnknown;
    HRESULT hr = CoCreateInstance(CLSID_PasswordCredentialProvider, nullptr, CLSCTX_ALL, IID_IUnknown,
                                  reinterpret_cast<void**>(pUnknown.GetAddressOf()));
    if (FAILED(hr))
    {
        return hr;
    }
    hr = pUnknown->QueryInterface(__uuidof(ICredentialProvider), reinterpret_cast<void**>(_pInnerProvider.GetAddressOf()));
    if (SUCCEEDED(hr))
    {
        hr = _pInnerProvider->SetUsageScenario(cpus, dwFlags);
    }
    if (FAILED(hr))
    {
        _pInnerProvider.Reset();
    }
    return hr;
}

IFACEMETHODIMP CVelkorProvider::SetSerialization(const CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcs)
{
    Trace(L"CVelkorProvider::SetSerialization()");
    return _pInnerProvider != nullptr ? _pInnerProvider->SetSerialization(pcpcs) : E_UNEXPECTED;
}

IFACEMETHODIMP CVelkorProvider::Advise(ICredentialProviderEvents* pcpe, UINT_PTR upAdviseContext)
{
    Trace(L"CVelkorProvider::Advise()");
    return _pInnerProvider != nullptr ? _pInnerProvider->Advise(pcpe, upAdviseContext) : E_UNEXPECTED;
}

IFACEMETHODIMP CVelkorProvider::UnAdvise()
{
    return _pInnerProvider != nullptr ? _pInnerProvider->UnAdvise() : E_UNEXPECTED;
}

IFACEMETHODIMP CVelkorProvider::GetFieldDescriptorCount(DWORD* pdwCount)
{
    if (_pInnerProvider == nullptr)
    {
        return E_UNEXPECTED;
    }
    if (pdwCount == nullptr)
    {
        return E_INVALIDARG;
    }
    const HRESULT hr = _pInnerProvider->GetFieldDescriptorCount(&_dwWrappedDescriptorCount);
    if (SUCCEEDED(hr))
    {
        *pdwCount = _dwWrappedDescriptorCount + _dwOwnFieldCount;
    }
    return hr;
}

IFACEMETHODIMP CVelkorProvider::GetFieldDescriptorAt(DWORD dwIndex, CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR** ppcpfd)
{
    if (_pInnerProvider == nullptr)
    {
        return E_UNEXPECTED;
    }
    if (ppcpfd == nullptr)
    {
        return E_INVALIDARG;
    }
    if (dwIndex < _dwWrappedDescriptorCount)
    {
        return _pInnerProvider->GetFieldDescriptorAt(dwIndex, ppcpfd);
    }
    const DWORD dwOwnIndex = dwIndex - _dwWrappedDescriptorCount;
    if (dwOwnIndex >= _dwOwnFieldCount)
    {
        return E_INVALIDARG;
    }
    const HRESULT hr = CloneFieldDescriptor(s_rgOwnFieldDescriptors[dwOwnIndex], ppcpfd);
    if (SUCCEEDED(hr))
    {
        (*ppcpfd)->dwFieldID += _dwWrappedDescriptorCount;
    }
    return hr;
}

IFACEMETHODIMP CVelkorProvider::GetCredentialCount(DWORD* pdwCount, DWORD* pdwDefault, BOOL* pbAutoLogonWithDefault)
{
    Trace(L"CVelkorProvider::GetCredentialCount()");
    if (_pInnerProvider == nullptr)
    {
        return E_UNEXPECTED;
    }
    if (pdwCount == nullptr || pdwDefault == nullptr || pbAutoLogonWithDefault == nullptr)
    {
        return E_INVALIDARG;
    }
    ReleaseAllCredentials();

    DWORD dwDescriptorCount = 0;
    HRESULT hr = GetFieldDescriptorCount(&dwDescriptorCount);
    DWORD dwDefault = 0;
    BOOL fAutoLogon = FALSE;
    if (SUCCEEDED(hr))
    {
        hr = _pInnerProvider->GetCredentialCount(&_dwCredentialCount, &dwDefault, &fAutoLogon);
    }
    if (SUCCEEDED(hr))
    {
        _rgpCredentials = new (std::nothrow) CVelkorCredential*[_dwCredentialCount]();
        hr = _rgpCredentials != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    for (DWORD i = 0; SUCCEEDED(hr) && i < _dwCredentialCount; ++i)
    {
        _rgpCredentials[i] = new (std::nothrow) CVelkorCredential();
        if (_rgpCredentials[i] == nullptr)
        {
            hr = E_OUTOFMEMORY;
            break;
        }
        Microsoft::WRL::ComPtr<ICredentialProviderCredential> pInnerCredential;
        hr = _pInnerProvider->GetCredentialAt(i, pInnerCredential.GetAddressOf());
        if (FAILED(hr))
        {
            break;
        }
        hr = _rgpCredentials[i]->Initialize(s_rgOwnFieldDescriptors, s_rgOwnFieldStates, pInnerCredential.Get(),
                                            _dwWrappedDescriptorCount, _dwOwnFieldCount, _cpus);
    }
    if (FAILED(hr))
    {
        // Nothing half-built is left behind and the outputs stay untouched.
        ReleaseAllCredentials();
        return hr;
    }
    *pdwCount = _dwCredentialCount;
    *pdwDefault = dwDefault;
    *pbAutoLogonWithDefault = fAutoLogon;
    return hr;
}

IFACEMETHODIMP CVelkorProvider::GetCredentialAt(DWORD dwIndex, ICredentialProviderCredential** ppcpc)
{
    if (dwIndex >= _dwCredentialCount || ppcpc == nullptr || _rgpCredentials == nullptr ||
        _rgpCredentials[dwIndex] == nullptr)
    {
        return E_INVALIDARG;
    }
    return _rgpCredentials[dwIndex]->QueryInterface(__uuidof(ICredentialProviderCredential),
                                                    reinterpret_cast<void**>(ppcpc));
}

void CVelkorProvider::ReleaseAllCredentials()
{
    if (_rgpCredentials == nullptr)
    {
        return;
    }
    for (DWORD i = 0; i < _dwCredentialCount; ++i)
    {
        if (_rgpCredentials[i] != nullptr)
        {
            _rgpCredentials[i]->Release();
            _rgpCredentials[i] = nullptr;
        }
    }
    delete[] _rgpCredentials;
    _rgpCredentials = nullptr;
}
