// The fake password provider as an in-process COM server, for separate processes such as
// the logon simulator. Configured from the environment (see FakeConfigureFromEnvironment).
#include "FakePasswordProvider.h"

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv)
{
    *ppv = nullptr;
    if (!IsEqualCLSID(rclsid, CLSID_PasswordCredentialProvider))
    {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    static bool s_fConfigured = false;
    if (!s_fConfigured)
    {
        FakeConfigureFromEnvironment();
        s_fConfigured = true;
    }
    auto* pFactory = new CFakePasswordProviderFactory();
    const HRESULT hr = pFactory->QueryInterface(riid, ppv);
    pFactory->Release();
    return hr;
}

STDAPI DllCanUnloadNow()
{
    return FakeLiveObjects() == 0 ? S_OK : S_FALSE;
}
