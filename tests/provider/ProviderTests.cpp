// The wrapping provider: field numbering, descriptors, tiles and the inner provider's answers.
#include "DebugOutputCapture.h"
#include "ProviderTestSupport.h"

#include <algorithm>
#include <string>
#include <vector>

TEST_F(ProviderTest, OwnFieldsFollowTheInnerOnes)
{
    ICredentialProvider* pProvider = CreateProvider();
    DWORD count = 0;
    ASSERT_EQ(S_OK, pProvider->GetFieldDescriptorCount(&count));
    EXPECT_EQ(W + 2, count);

    CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR* pDescriptor = nullptr;
    ASSERT_EQ(S_OK, pProvider->GetFieldDescriptorAt(0, &pDescriptor));
    EXPECT_EQ(0u, pDescriptor->dwFieldID);
    EXPECT_EQ(CPFT_LARGE_TEXT, pDescriptor->cpft);
    CoTaskMemFree(pDescriptor->pszLabel);
    CoTaskMemFree(pDescriptor);

    ASSERT_EQ(S_OK, pProvider->GetFieldDescriptorAt(W, &pDescriptor));
    EXPECT_EQ(W, pDescriptor->dwFieldID);
    EXPECT_EQ(CPFT_EDIT_TEXT, pDescriptor->cpft);
    EXPECT_STREQ(L"Type recovery code", pDescriptor->pszLabel);
    EXPECT_TRUE(IsEqualGUID(GUID_NULL, pDescriptor->guidFieldType));
    // Both blocks are task memory the caller frees; the heap check would catch any other kind.
    CoTaskMemFree(pDescriptor->pszLabel);
    CoTaskMemFree(pDescriptor);

    ASSERT_EQ(S_OK, pProvider->GetFieldDescriptorAt(W + 1, &pDescriptor));
    EXPECT_EQ(W + 1, pDescriptor->dwFieldID);
    EXPECT_EQ(CPFT_COMMAND_LINK, pDescriptor->cpft);
    ASSERT_NE(nullptr, pDescriptor->pszLabel);
    EXPECT_STREQ(L"", pDescriptor->pszLabel);
    CoTaskMemFree(pDescriptor->pszLabel);
    CoTaskMemFree(pDescriptor);

    pDescriptor = reinterpret_cast<CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR*>(1);
    EXPECT_EQ(E_INVALIDARG, pProvider->GetFieldDescriptorAt(W + 2, &pDescriptor));
    EXPECT_EQ(E_INVALIDARG, pProvider->GetFieldDescriptorAt(0xFFFFFFFF, &pDescriptor));
    EXPECT_EQ(E_INVALIDARG, pProvider->GetFieldDescriptorAt(W, nullptr));
    pProvider->Release();
}

// While every proof asks for a touch, each tile says so under the password field wherever
// a logon follows; otherwise the tile has no such field at all.
TEST_F(ProviderTest, TouchHintStandsUnderThePasswordWhileTouchIsRequired)
{
    const struct { CREDENTIAL_PROVIDER_USAGE_SCENARIO cpus; DWORD requireTouch; DWORD fields; CREDENTIAL_PROVIDER_FIELD_STATE hint; } cases[] = {
        { CPUS_LOGON, 1, W + 3, CPFS_DISPLAY_IN_SELECTED_TILE },
        { CPUS_UNLOCK_WORKSTATION, 1, W + 3, CPFS_DISPLAY_IN_SELECTED_TILE },
        { CPUS_CREDUI, 1, W + 3, CPFS_DISPLAY_IN_SELECTED_TILE },
        { CPUS_CHANGE_PASSWORD, 1, W + 3, CPFS_HIDDEN },
        { CPUS_LOGON, 2, W + 2, CPFS_HIDDEN },
        { CPUS_LOGON, 0, W + 2, CPFS_HIDDEN },
    };
    for (const auto& c : cases)
    {
        testreg::SetDword(testreg::Settings(), L"requireTouch", c.requireTouch);
        ICredentialProvider* pProvider = CreateProvider(c.cpus);
        DWORD count = 0;
        ASSERT_EQ(S_OK, pProvider->GetFieldDescriptorCount(&count));
        EXPECT_EQ(c.fields, count) << c.cpus << " " << c.requireTouch;
        DWORD tiles = 0, defaultTile = 0;
        BOOL autoLogon = FALSE;
        ASSERT_EQ(S_OK, pProvider->GetCredentialCount(&tiles, &defaultTile, &autoLogon));
        ICredentialProviderCredential* pTile = nullptr;
        ASSERT_EQ(S_OK, pProvider->GetCredentialAt(0, &pTile));
        CREDENTIAL_PROVIDER_FIELD_STATE state = CPFS_HIDDEN;
        CREDENTIAL_PROVIDER_FIELD_INTERACTIVE_STATE interactive = CPFIS_NONE;
        if (count == W + 3)
        {
            CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR* pDescriptor = nullptr;
            ASSERT_EQ(S_OK, pProvider->GetFieldDescriptorAt(W + 2, &pDescriptor));
            EXPECT_EQ(CPFT_SMALL_TEXT, pDescriptor->cpft);
            CoTaskMemFree(pDescriptor->pszLabel);
            CoTaskMemFree(pDescriptor);
            ASSERT_EQ(S_OK, pTile->GetFieldState(W + 2, &state, &interactive));
            LPWSTR pszHint = nullptr;
            ASSERT_EQ(S_OK, pTile->GetStringValue(W + 2, &pszHint));
            EXPECT_STREQ(L"Touch your security key when it flashes", pszHint);
            CoTaskMemFree(pszHint);
        }
        else
        {
            EXPECT_EQ(E_INVALIDARG, pTile->GetFieldState(W + 2, &state, &interactive));
        }
        EXPECT_EQ(c.hint, state) << c.cpus << " " << c.requireTouch;
        pTile->Release();
        pProvider->Release();
    }
}

TEST_F(ProviderTest, TilesAreWrappedOneForOneWithTheInnerDefaults)
{
    FakeConfig().users = { L"alice", L"bob" };
    FakeConfig().defaultTile = 1;
    FakeConfig().autoLogonWithDefault = TRUE;
    ICredentialProvider* pProvider = CreateProvider();
    DWORD count = 0, defaultTile = 0;
    BOOL autoLogon = FALSE;
    ASSERT_EQ(S_OK, pProvider->GetCredentialCount(&count, &defaultTile, &autoLogon));
    EXPECT_EQ(2u, count);
    EXPECT_EQ(1u, defaultTile);
    EXPECT_EQ(TRUE, autoLogon);
    for (DWORD i = 0; i < count; ++i)
    {
        ICredentialProviderCredential* pTile = nullptr;
        ASSERT_EQ(S_OK, pProvider->GetCredentialAt(i, &pTile));
        LPWSTR pszUser = nullptr;
        ASSERT_EQ(S_OK, pTile->GetStringValue(FAKE_FIELD_USER_NAME, &pszUser));
        EXPECT_STREQ(FakeConfig().users[i].c_str(), pszUser);
        CoTaskMemFree(pszUser);
        pTile->Release();
    }
    ICredentialProviderCredential* pTile = reinterpret_cast<ICredentialProviderCredential*>(1);
    EXPECT_EQ(E_INVALIDARG, pProvider->GetCredentialAt(2, &pTile));
    EXPECT_EQ(E_INVALIDARG, pProvider->GetCredentialAt(0, nullptr));
    pProvider->Release();
}

TEST_F(ProviderTest, NoTilesIsNotAnError)
{
    FakeConfig().users.clear();
    FakeConfig().defaultTile = CREDENTIAL_PROVIDER_NO_DEFAULT;
    ICredentialProvider* pProvider = CreateProvider();
    DWORD count = 7, defaultTile = 0;
    BOOL autoLogon = TRUE;
    ASSERT_EQ(S_OK, pProvider->GetCredentialCount(&count, &defaultTile, &autoLogon));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(CREDENTIAL_PROVIDER_NO_DEFAULT, defaultTile);
    EXPECT_EQ(FALSE, autoLogon);
    ICredentialProviderCredential* pTile = nullptr;
    EXPECT_EQ(E_INVALIDARG, pProvider->GetCredentialAt(0, &pTile));
    pProvider->Release();
}

TEST_F(ProviderTest, RefusedScenarioLeavesNoInnerProvider)
{
    FakeConfig().refuseScenario = true;
    IClassFactory* pFactory = Factory();
    ICredentialProvider* pProvider = nullptr;
    ASSERT_EQ(S_OK, pFactory->CreateInstance(nullptr, __uuidof(ICredentialProvider), reinterpret_cast<void**>(&pProvider)));
    pFactory->Release();
    EXPECT_EQ(E_NOTIMPL, pProvider->SetUsageScenario(CPUS_LOGON, 0)) << "the inner refusal, unchanged";
    EXPECT_EQ(E_NOTIMPL, pProvider->SetUsageScenario(CPUS_PLAP, 0));
    DWORD count = 0, defaultTile = 0;
    BOOL autoLogon = FALSE;
    EXPECT_EQ(E_UNEXPECTED, pProvider->GetCredentialCount(&count, &defaultTile, &autoLogon));
    EXPECT_EQ(E_UNEXPECTED, pProvider->GetFieldDescriptorCount(&count));
    EXPECT_EQ(E_UNEXPECTED, pProvider->Advise(nullptr, 0));
    EXPECT_EQ(E_UNEXPECTED, pProvider->UnAdvise());
    EXPECT_EQ(E_UNEXPECTED, pProvider->SetSerialization(nullptr));
    ICredentialProviderCredential* pTile = nullptr;
    EXPECT_EQ(E_INVALIDARG, pProvider->GetCredentialAt(0, &pTile));
    pProvider->Release();
}

TEST_F(ProviderTest, FailedTileLeavesNothingBehind)
{
    FakeConfig().users = { L"alice", L"bob" };
    ICredentialProvider* pProvider = CreateProvider();
    FakeConfig().failGetCredentialAt = true;
    DWORD count = 99, defaultTile = 99;
    BOOL autoLogon = 99;
    EXPECT_EQ(E_FAIL, pProvider->GetCredentialCount(&count, &defaultTile, &autoLogon));
    EXPECT_EQ(99u, count) << "outputs untouched";
    EXPECT_EQ(1, g_lModuleRefCount) << "no wrapping credential survives";
    ICredentialProviderCredential* pTile = nullptr;
    EXPECT_EQ(E_INVALIDARG, pProvider->GetCredentialAt(0, &pTile));
    pProvider->Release();
}

TEST_F(ProviderTest, RecountReplacesTheTilesButKeepsTheOnesHeldOutside)
{
    ICredentialProvider* pProvider = CreateProvider();
    ICredentialProviderCredential* pOld = FirstTile(pProvider);
    ICredentialProviderCredential* pNew = FirstTile(pProvider);
    EXPECT_NE(pOld, pNew);
    EXPECT_EQ(3, g_lModuleRefCount);
    LPWSTR pszLink = nullptr;
    ASSERT_EQ(S_OK, pOld->GetStringValue(RECOVERY_LINK_FIELD, &pszLink));
    EXPECT_STREQ(L"Insert Velkor FIDO2 token or click for recovery", pszLink);
    CoTaskMemFree(pszLink);
    pOld->Release();
    pNew->Release();
    pProvider->Release();
}

TEST_F(ProviderTest, ProviderEventsReachTheInnerProvider)
{
    ICredentialProvider* pProvider = CreateProvider();
    auto* pEvents = new CRecordingCredentialEvents();
    EXPECT_EQ(S_OK, pProvider->Advise(pEvents, 7));
    EXPECT_EQ(2, pEvents->RefCount()) << "held by the inner provider";
    EXPECT_EQ(S_OK, pProvider->UnAdvise());
    EXPECT_EQ(1, pEvents->RefCount());
    pEvents->Release();
    pProvider->Release();
}

TEST_F(ProviderTest, TraceLinesNameEachStep)
{
    testreg::EnableUser(L"alice");
    CDebugOutputCapture capture;
    ICredentialProvider* pProvider = CreateProvider();
    ICredentialProviderCredential* pTile = FirstTile(pProvider);
    pTile->Release();
    pProvider->Release();
    EXPECT_EQ((std::vector<std::wstring>{ L"CVelkorProvider()", L"CVelkorProvider::SetUsageScenario()",
                                          L"CVelkorProvider::GetCredentialCount()", L"CVelkorCredential()",
                                          L"CVelkorCredential()::Initialize", L"_dwWrappedDescriptorCount = 4",
                                          L"User: alice", L"FIDO2 logon enabled", L"~CVelkorProvider()",
                                          L"~CVelkorCredential()" }),
              capture.Lines());

    capture.Clear();
    testreg::SetDword(testreg::User(L"alice"), L"enabled", 0);
    pProvider = CreateProvider();
    pTile = FirstTile(pProvider);
    pTile->Release();
    pProvider->Release();
    const auto lines = capture.Lines();
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), L"FIDO2 logon not enabled"));
}
