// The filter's table of scenarios and flags.
#include "ProviderTestSupport.h"

namespace
{
    const CLSID OTHER_PROVIDER = { 0x11111111, 0x2222, 0x3333, { 4, 4, 4, 4, 4, 4, 4, 4 } };

    ICredentialProviderFilter* CreateFilter()
    {
        IClassFactory* pFactory = nullptr;
        EXPECT_EQ(S_OK, DllGetClassObject(CLSID_VelkorCredentialProvider, IID_IClassFactory, reinterpret_cast<void**>(&pFactory)));
        ICredentialProviderFilter* pFilter = nullptr;
        EXPECT_EQ(S_OK, pFactory->CreateInstance(nullptr, __uuidof(ICredentialProviderFilter), reinterpret_cast<void**>(&pFilter)));
        pFactory->Release();
        return pFilter;
    }

    struct FilterOutcome
    {
        HRESULT hr;
        std::vector<BOOL> allow;
    };

    FilterOutcome RunFilter(int scenario, DWORD flags, std::vector<BOOL> allow)
    {
        ICredentialProviderFilter* pFilter = CreateFilter();
        GUID providers[] = { OTHER_PROVIDER, CLSID_PasswordCredentialProvider, CLSID_PasswordCredentialProvider };
        const HRESULT hr = pFilter->Filter(static_cast<CREDENTIAL_PROVIDER_USAGE_SCENARIO>(scenario), flags, providers,
                                           allow.data(), static_cast<DWORD>(allow.size()));
        EXPECT_EQ(0u, pFilter->Release());
        return { hr, allow };
    }
}

TEST(ProviderFilter, PasswordProviderIsHiddenWhereTheWrapperStands)
{
    for (int scenario : { CPUS_LOGON, CPUS_UNLOCK_WORKSTATION, CPUS_CHANGE_PASSWORD })
    {
        const auto outcome = RunFilter(scenario, 0, { TRUE, TRUE, TRUE });
        EXPECT_EQ(S_OK, outcome.hr) << scenario;
        EXPECT_EQ((std::vector<BOOL>{ TRUE, FALSE, FALSE }), outcome.allow) << scenario;
        EXPECT_EQ((std::vector<BOOL>{ FALSE, FALSE, FALSE }), RunFilter(scenario, 0, { FALSE, TRUE, FALSE }).allow)
            << "never allows what was disallowed";
    }
    EXPECT_EQ((std::vector<BOOL>{ TRUE, FALSE, FALSE }), RunFilter(CPUS_CREDUI, 0, { TRUE, TRUE, TRUE }).allow);
    EXPECT_EQ((std::vector<BOOL>{ TRUE, FALSE, FALSE }), RunFilter(CPUS_CREDUI, 0x10, { TRUE, TRUE, TRUE }).allow);
}

TEST(ProviderFilter, GenericCredentialPromptsAndOtherScenariosAreLeftAlone)
{
    for (DWORD flags : { 0x1u, 0x3u, 0xFFFFFFFFu })
    {
        const auto outcome = RunFilter(CPUS_CREDUI, flags, { TRUE, TRUE, TRUE });
        EXPECT_EQ(S_OK, outcome.hr);
        EXPECT_EQ((std::vector<BOOL>{ TRUE, TRUE, TRUE }), outcome.allow) << flags;
    }
    for (int scenario : { static_cast<int>(CPUS_INVALID), static_cast<int>(CPUS_PLAP), 6, -1 })
    {
        const auto outcome = RunFilter(scenario, 0, { TRUE, TRUE, TRUE });
        EXPECT_EQ(E_INVALIDARG, outcome.hr) << scenario;
        EXPECT_EQ((std::vector<BOOL>{ TRUE, TRUE, TRUE }), outcome.allow) << scenario;
    }
    ICredentialProviderFilter* pFilter = CreateFilter();
    EXPECT_EQ(S_OK, pFilter->Filter(CPUS_LOGON, 0, nullptr, nullptr, 0));
    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION in = {}, out = {};
    EXPECT_EQ(E_NOTIMPL, pFilter->UpdateRemoteCredential(&in, &out));
    EXPECT_EQ(nullptr, out.rgbSerialization);
    pFilter->Release();
}
