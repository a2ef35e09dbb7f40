#pragma once
// Hides the system password provider's own tiles, which the provider shows wrapped.
#include "CredentialProviderApi.h"

class CProviderFilter final : public ICredentialProviderFilter
{
public:
    CProviderFilter();

    IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    IFACEMETHODIMP_(ULONG) AddRef() override;
    IFACEMETHODIMP_(ULONG) Release() override;
    IFACEMETHODIMP Filter(CREDENTIAL_PROVIDER_USAGE_SCENARIO cpus, DWORD dwFlags, GUID* rgclsidProviders,
                          BOOL* rgbAllow, DWORD cProviders) override;
    IFACEMETHODIMP UpdateRemoteCredential(const CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcsIn,
                                          CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcsOut) override;

private:
    ~CProviderFilter();

    LONG _lRefCount = 1;
};
