#include "ClassFactory.h"
#include "CredentialProviderApi.h"
#include "Dll.h"
#include "ProviderFilter.h"
#include "VelkorProvider.h"

#include <shlwapi.h>

#include <new>

// Every object the module hands out keeps it loaded until its last release.
CClassFactory::CClassFactory()
{
    ModuleAddRef();
}

CClassFactory::~CClassFactory()
{
    ModuleRelease();
}

IFACEMETHODIMP CClassFactory::QueryInterface(REFIID riid, void** ppv)
{
    static const QITAB qit[] = {
        QITABENT(CClassFactory, IClassFactory),
        { nullptr, 0 },
    };
    return QISearch(this, qit, riid, ppv);
}

IFACEMETHODIMP_(ULONG) CClassFactory::AddRef()
{
    return static_cast<ULONG>(InterlockedIncrement(&_lRefCount));
}

IFACEMETHODIMP_(ULONG) CClassFactory::Release()
{
    const LONG lRefCount = InterlockedDecrement(&_lRefCount);
    if (lRefCount == 0)
    {
        delete this;
    }
    return static_cast<ULONG>(lRefCount);
}

namespace
{
    // A new object's creation reference is dropped once the caller holds its own.
    template <typename T>
    HRESULT CreateAndQuery(REFIID riid, void** ppv)
    {
        T* pObject = new (std::nothrow) T();
        if (pObject == nullptr)
        {
            return E_OUTOFMEMORY;
        }
        const HRESULT hr = pObject->QueryInterface(riid, ppv);
        pObject->Release();
        return hr;
    }
}

IFACEMETHODIMP CClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv)
{
    if (ppv == nullptr)
    {
        return E_POINTER;
    }
    if (pUnkOuter != nullptr)
    {
        *ppv = nullptr;
        return CLASS_E_NOAGGREGATION;
    }
    if (IsEqualIID(riid, __uuidof(ICredentialProvider)))
    {
        return CreateAndQuery<CVelkorProvider>(riid, ppv);
    }
    if (IsEqualIID(riid, __uuidof(ICredentialProviderFilter)))
    {
        return CreateAndQuery<CProviderFilter>(riid, ppv);
    }
    *ppv = nullptr;
    return CLASS_E_NOAGGREGATION;
}

IFACEMETHODIMP CClassFactory::LockServer(BOOL fLock)
{
    if (fLock)
    {
        ModuleAddRef();
    }
    else
    {
        ModuleRelease();
    }
    return S_OK;
}
