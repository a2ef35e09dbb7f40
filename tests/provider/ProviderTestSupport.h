#pragma once
// A COM apartment with the fake password provider registered in place of the system's,
// and the provider's class factory reached as the logon user interface reaches it.
#include "CredentialProviderApi.h"
#include "FakePasswordProvider.h"
#include "RecordingEvents.h"
#include "TestRegistry.h"

#include <gtest/gtest.h>

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
STDAPI DllCanUnloadNow();
extern LONG g_lModuleRefCount;

class ProviderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        FakeConfig() = FakePasswordConfig();
        FakeReportedResults().clear();
        auto* pFactory = new CFakePasswordProviderFactory();
        ASSERT_EQ(S_OK, CoRegisterClassObject(CLSID_PasswordCredentialProvider, pFactory, CLSCTX_INPROC_SERVER,
                                              REGCLS_MULTIPLEUSE, &_dwRegistration));
        pFactory->Release();
        testreg::Reset();
        ASSERT_EQ(0, g_lModuleRefCount);
    }

    void TearDown() override
    {
        CoRevokeClassObject(_dwRegistration);
        EXPECT_EQ(0, g_lModuleRefCount) << "a provider or credential was left alive";
        EXPECT_EQ(0, FakeLiveObjects()) << "a wrapped object was not released";
        CoUninitialize();
        testreg::DeleteTree();
    }

    static IClassFactory* Factory()
    {
        IClassFactory* pFactory = nullptr;
        EXPECT_EQ(S_OK, DllGetClassObject(CLSID_VelkorCredentialProvider, IID_IClassFactory,
                                          reinterpret_cast<void**>(&pFactory)));
        return pFactory;
    }

    static ICredentialProvider* CreateProvider(CREDENTIAL_PROVIDER_USAGE_SCENARIO cpus = CPUS_LOGON)
    {
        IClassFactory* pFactory = Factory();
        ICredentialProvider* pProvider = nullptr;
        EXPECT_EQ(S_OK, pFactory->CreateInstance(nullptr, __uuidof(ICredentialProvider), reinterpret_cast<void**>(&pProvider)));
        pFactory->Release();
        if (pProvider != nullptr)
        {
            EXPECT_EQ(S_OK, pProvider->SetUsageScenario(cpus, 0));
        }
        return pProvider;
    }

    // The first tile after the logon user interface's usual sequence.
    static ICredentialProviderCredential* FirstTile(ICredentialProvider* pProvider, DWORD index = 0)
    {
        DWORD count = 0, defaultTile = 0;
        BOOL autoLogon = FALSE;
        DWORD fields = 0;
        EXPECT_EQ(S_OK, pProvider->GetFieldDescriptorCount(&fields));
        EXPECT_EQ(S_OK, pProvider->GetCredentialCount(&count, &defaultTile, &autoLogon));
        ICredentialProviderCredential* pTile = nullptr;
        EXPECT_EQ(S_OK, pProvider->GetCredentialAt(index, &pTile));
        return pTile;
    }

private:
    DWORD _dwRegistration = 0;
};

// W, the fake's field count: its fields keep 0..3, ours are 4 and 5.
constexpr DWORD W = FAKE_FIELD_COUNT;
constexpr DWORD RECOVERY_CODE_FIELD = W;
constexpr DWORD RECOVERY_LINK_FIELD = W + 1;
