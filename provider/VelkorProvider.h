#pragma once
// The credential provider: wraps every tile of the system password provider in a
// CVelkorCredential and forwards everything else to it.
#include "CredentialProviderApi.h"
#include "OwnFields.h"

#include <wrl/client.h>

class CVelkorCredential;

class CVelkorProvider final : public ICredentialProvider
{
public:
    CVelkorProvider();

    IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    IFACEMETHODIMP_(ULONG) AddRef() override;
    IFACEMETHODIMP_(ULONG) Release() override;

    IFACEMETHODIMP SetUsageScenario(CREDENTIAL_PROVIDER_USAGE_SCENARIO cpus, DWORD dwFlags) override;
    IFACEMETHODIMP SetSerialization(const CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcs) override;
    IFACEMETHODIMP Advise(ICredentialProviderEvents* pcpe, UINT_PTR upAdviseContext) override;
    IFACEMETHODIMP UnAdvise() override;
    IFACEMETHODIMP GetFieldDescriptorCount(DWORD* pdwCount) override;
    IFACEMETHODIMP GetFieldDescriptorAt(DWORD dwIndex, CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR** ppcpfd) override;
    IFACEMETHODIMP GetCredentialCount(DWORD* pdwCount, DWORD* pdwDefault, BOOL* pbAutoLogonWithDefault) override;
    IFACEMETHODIMP GetCredentialAt(DWORD dwIndex, ICredentialProviderCredential** ppcpc) override;

private:
    ~CVelkorProvider();
    void ReleaseAllCredentials();

    LONG _lRefCount = 1;
    CVelkorCredential** _rgpCredentials = nullptr;
    Microsoft::WRL::ComPtr<ICredentialProvider> _pInnerProvider;
    DWORD _dwCredentialCount = 0;
    DWORD _dwWrappedDescriptorCount = 0;
    // Our fields of this scenario: the touch hint only while requireTouch is on.
    DWORD _dwOwnFieldCount = OWN_FIELD_COUNT_WITHOUT_HINT;
    CREDENTIAL_PROVIDER_USAGE_SCENARIO _cpus = CPUS_INVALID;
};
