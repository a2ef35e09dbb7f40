// The class factory's answers and the module's lifetime through whole sessions.
#include "OwnFields.h"
#include "ProviderTestSupport.h"
#include "VelkorCredential.h"

namespace
{
    const CLSID OTHER_CLSID = { 0x12345678, 0x1234, 0x1234, { 1, 2, 3, 4, 5, 6, 7, 8 } };
}

TEST_F(ProviderTest, ClassObjectOnlyForOurClassAndFactoryInterfaces)
{
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, DllGetClassObject(OTHER_CLSID, IID_IClassFactory, &pv));
    EXPECT_EQ(nullptr, pv);
    pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, DllGetClassObject(CLSID_PasswordCredentialProvider, IID_IClassFactory, &pv));
    EXPECT_EQ(nullptr, pv);

    pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, DllGetClassObject(CLSID_VelkorCredentialProvider, __uuidof(ICredentialProvider), &pv));
    EXPECT_EQ(nullptr, pv);

    IUnknown* pUnknown = nullptr;
    ASSERT_EQ(S_OK, DllGetClassObject(CLSID_VelkorCredentialProvider, IID_IUnknown, reinterpret_cast<void**>(&pUnknown)));
    EXPECT_EQ(S_FALSE, DllCanUnloadNow()) << "a live factory keeps the module";
    EXPECT_EQ(0u, pUnknown->Release()) << "the caller holds the only reference";
    EXPECT_EQ(S_OK, DllCanUnloadNow());
}

TEST_F(ProviderTest, CreateInstanceByInterface)
{
    IClassFactory* pFactory = Factory();
    ASSERT_NE(nullptr, pFactory);
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, pFactory->CreateInstance(nullptr, IID_IUnknown, &pv));
    EXPECT_EQ(nullptr, pv);
    pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, pFactory->CreateInstance(nullptr, IID_IClassFactory, &pv));
    EXPECT_EQ(nullptr, pv);
    for (const IID* piid : { &__uuidof(ICredentialProvider), &__uuidof(ICredentialProviderFilter), &IID_IUnknown })
    {
        pv = reinterpret_cast<void*>(1);
        EXPECT_EQ(CLASS_E_NOAGGREGATION, pFactory->CreateInstance(pFactory, *piid, &pv));
        EXPECT_EQ(nullptr, pv);
    }
    EXPECT_EQ(1, g_lModuleRefCount) << "the factory alone";

    ICredentialProvider* pProvider = nullptr;
    ASSERT_EQ(S_OK, pFactory->CreateInstance(nullptr, __uuidof(ICredentialProvider), reinterpret_cast<void**>(&pProvider)));
    EXPECT_EQ(2, g_lModuleRefCount);
    ICredentialProviderFilter* pWrongAsk = nullptr;
    EXPECT_EQ(E_NOINTERFACE, pProvider->QueryInterface(__uuidof(ICredentialProviderFilter), reinterpret_cast<void**>(&pWrongAsk)));
    EXPECT_EQ(nullptr, pWrongAsk);
    EXPECT_EQ(0u, pProvider->Release());
    EXPECT_EQ(1, g_lModuleRefCount);

    ICredentialProviderFilter* pFilter = nullptr;
    ASSERT_EQ(S_OK, pFactory->CreateInstance(nullptr, __uuidof(ICredentialProviderFilter), reinterpret_cast<void**>(&pFilter)));
    pFactory->Release();
    EXPECT_EQ(S_FALSE, DllCanUnloadNow()) << "a live filter keeps the module";
    EXPECT_EQ(2u, pFilter->AddRef());
    EXPECT_EQ(1u, pFilter->Release());
    EXPECT_EQ(0u, pFilter->Release()) << "the creator's single reference frees it";
    EXPECT_EQ(S_OK, DllCanUnloadNow());
}

// The password tile may keep our events relay after our credential is gone, and call it:
// the module must not be unloaded under it.
TEST_F(ProviderTest, RelayHeldByTheInnerCredentialKeepsTheModule)
{
    auto* pInner = new CFakePasswordCredential(L"alice");
    auto* pCredential = new CVelkorCredential();
    ASSERT_EQ(S_OK, pCredential->Initialize(s_rgOwnFieldDescriptors, s_rgOwnFieldStates, pInner, W, OWN_FIELD_COUNT_WITHOUT_HINT, CPUS_LOGON));
    auto* pEvents = new CRecordingCredentialEvents();
    ASSERT_EQ(S_OK, pCredential->Advise(pEvents));
    EXPECT_EQ(0u, pCredential->Release());
    ASSERT_NE(nullptr, pInner->Sink()) << "the inner tile still holds the relay";
    EXPECT_EQ(S_FALSE, DllCanUnloadNow());
    EXPECT_EQ(E_FAIL, pInner->NotifyFieldString(FAKE_FIELD_DISPLAY, L"late")) << "detached, and callable";

    EXPECT_EQ(S_OK, pInner->UnAdvise());
    EXPECT_EQ(S_OK, DllCanUnloadNow());
    pInner->Release();
    pEvents->Release();
}

TEST_F(ProviderTest, LockServerKeepsTheModule)
{
    IClassFactory* pFactory = Factory();
    EXPECT_EQ(S_OK, pFactory->LockServer(TRUE));
    pFactory->Release();
    EXPECT_EQ(S_FALSE, DllCanUnloadNow());
    pFactory = Factory();
    EXPECT_EQ(S_OK, pFactory->LockServer(FALSE));
    pFactory->Release();
    EXPECT_EQ(S_OK, DllCanUnloadNow());
}

TEST_F(ProviderTest, CredentialOutlivesItsProvider)
{
    FakeConfig().users = { L"alice", L"bob" };
    ICredentialProvider* pProvider = CreateProvider();
    ICredentialProviderCredential* pTile = FirstTile(pProvider, 1);
    ASSERT_NE(nullptr, pTile);
    EXPECT_EQ(3, g_lModuleRefCount) << "the provider and two credentials";
    EXPECT_EQ(0u, pProvider->Release());
    EXPECT_EQ(1, g_lModuleRefCount);
    EXPECT_EQ(S_FALSE, DllCanUnloadNow());

    LPWSTR pszUser = nullptr;
    ASSERT_EQ(S_OK, pTile->GetStringValue(FAKE_FIELD_USER_NAME, &pszUser));
    EXPECT_STREQ(L"bob", pszUser);
    CoTaskMemFree(pszUser);
    EXPECT_EQ(0u, pTile->Release());
    EXPECT_EQ(S_OK, DllCanUnloadNow());
}

TEST_F(ProviderTest, WholeSessionReturnsEveryReference)
{
    FakeConfig().users = { L"alice", L"bob", L"carol" };
    ICredentialProvider* pProvider = CreateProvider();
    auto* pEvents = new CRecordingCredentialEvents();
    EXPECT_EQ(S_OK, pProvider->Advise(pEvents, 42));
    ICredentialProviderCredential* pTile = FirstTile(pProvider, 2);
    EXPECT_EQ(S_OK, pTile->Advise(pEvents));
    BOOL autoLogon = TRUE;
    EXPECT_EQ(S_OK, pTile->SetSelected(&autoLogon));
    EXPECT_EQ(S_OK, pTile->UnAdvise());
    EXPECT_EQ(S_OK, pProvider->UnAdvise());
    pTile->Release();
    pProvider->Release();
    EXPECT_EQ(1, pEvents->RefCount()) << "every reference the sink lent was returned";
    pEvents->Release();
}
