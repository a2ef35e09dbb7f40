#include "Dll.h"
#include "ClassFactory.h"
#include "CredentialProviderApi.h"

#include <new>

LONG g_lModuleRefCount = 0;

void ModuleAddRef()
{
    InterlockedIncrement(&g_lModuleRefCount);
}

void ModuleRelease()
{
    InterlockedDecrement(&g_lModuleRefCount);
}

void Trace(const wchar_t* pszText)
{
    OutputDebugStringW(pszText);
}

BOOL WINAPI DllMain(HINSTANCE hinstDll, DWORD dwReason, void*)
{
    if (dwReason == DLL_PROCESS_ATTACH)
    {
        DisableThreadLibraryCalls(hinstDll);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv)
{
    if (ppv == nullptr)
    {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (!IsEqualCLSID(rclsid, CLSID_VelkorCredentialProvider))
    {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    CClassFactory* pFactory = new (std::nothrow) CClassFactory();
    if (pFactory == nullptr)
    {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = pFactory->QueryInterface(riid, ppv);
    pFactory->Release();
    return hr;
}

STDAPI DllCanUnloadNow()
{
    return g_lModuleRefCount > 0 ? S_FALSE : S_OK;
}
