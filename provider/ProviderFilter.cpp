#include "ProviderFilter.h"
#include "Dll.h"

#include <shlwapi.h>

namespace
{
    // CREDUIWIN_GENERIC: a generic credential prompt, not a Windows logon.
    constexpr DWORD CREDUI_GENERIC_FLAG = 0x1;
}

CProviderFilter::CProviderFilter()
{
    Trace(L"CProviderFilter");
    ModuleAddRef();
}

CProviderFilter::~CProviderFilter()
{
    Trace(L"~CProviderFilter");
    ModuleRelease();
}

IFACEMETHODIMP CProviderFilter::QueryInterface(REFIID riid, void** ppv)
{
    static const QITAB qit[] = {
        QITABENT(CProviderFilter, ICredentialProviderFilter),
        { nullptr, 0 },
    };
    return QISearch(this, qit, riid, ppv);
}

IFACEMETHODIMP_(ULONG) CProviderFilter::AddRef()
{
    return static_cast<ULONG>(++_lRefCount);
}

IFACEMETHODIMP_(ULONG) CProviderFilter::Release()
{
    const LONG lRefCount = --_lRefCount;
    if (lRefCount == 0)
    {
        delete this;
    }
    return static_cast<ULONG>(lRefCount);
}

IFACEMETHODIMP CProviderFilter::Filter(CREDENTIAL_PROVIDER_USAGE_SCENARIO cpus, DWORD dwFlags, GUID* rgclsidProviders,
                                       BOOL* rgbAllow, DWORD cProviders)
{
    Trace(L"CProviderFilter::Filter");
    switch (static_cast<int>(cpus))
    {
    case CPUS_LOGON:
    case CPUS_UNLOCK_WORKSTATION:
    case CPUS_CHANGE_PASSWORD:
        break;
    case CPUS_CREDUI:
        if ((dwFlags & CREDUI_GENERIC_FLAG) != 0)
        {
            return S_OK;
        }
        break;
    default:
        return E_INVALIDARG;
    }
    if (cProviders > 0 && (rgclsidProviders == nullptr || rgbAllow == nullptr))
    {
        return E_INVALIDARG;
    }
    for (DWORD i = 0; i < cProviders; ++i)
    {
        if (IsEqualCLSID(rgclsidProviders[i], CLSID_PasswordCredentialProvider))
        {
            rgbAllow[i] = FALSE;
        }
    }
    return S_OK;
}

IFACEMETHODIMP CProviderFilter::UpdateRemoteCredential(const CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION*,
                                                       CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION*)
{
    return E_NOTIMPL;
}
