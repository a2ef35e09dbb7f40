// The wrapping credential: its two fields, the hand-over of a typed code through `sec`,
// the messages for the package's codes, and the events relay.
#include "ProviderTestSupport.h"
#include "WrappedCredentialEvents.h"

#include <vector>

#include <string>

namespace
{
    const wchar_t CODE[] = L"A1B2C3D4E5F60718293A4B5C6D7E8F90";

    class CredentialTest : public ProviderTest
    {
    protected:
        void SetUp() override
        {
            ProviderTest::SetUp();
            _pProvider = CreateProvider();
            _pTile = FirstTile(_pProvider);
            ASSERT_NE(nullptr, _pTile);
            _pEvents = new CRecordingCredentialEvents();
        }

        void TearDown() override
        {
            _pTile->Release();
            _pProvider->Release();
            _pEvents->Release();
            ProviderTest::TearDown();
        }

        std::wstring Field(DWORD field)
        {
            LPWSTR psz = nullptr;
            if (FAILED(_pTile->GetStringValue(field, &psz))) return L"<failed>";
            std::wstring text = psz;
            CoTaskMemFree(psz);
            return text;
        }

        HRESULT Submit(CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pSerialization)
        {
            CREDENTIAL_PROVIDER_GET_SERIALIZATION_RESPONSE response = CPGSR_NO_CREDENTIAL_NOT_FINISHED;
            LPWSTR pszStatus = nullptr;
            CREDENTIAL_PROVIDER_STATUS_ICON icon = CPSI_NONE;
            const HRESULT hr = _pTile->GetSerialization(&response, pSerialization, &pszStatus, &icon);
            CoTaskMemFree(pszStatus);
            return hr;
        }

        static std::string Sec() { return testreg::ReadAnsi(testreg::User(L"alice"), "sec"); }

        ICredentialProvider* _pProvider = nullptr;
        ICredentialProviderCredential* _pTile = nullptr;
        CRecordingCredentialEvents* _pEvents = nullptr;
    };
}

TEST_F(CredentialTest, OwnFieldsAndTheirAnswers)
{
    CREDENTIAL_PROVIDER_FIELD_STATE state = CPFS_DISPLAY_IN_BOTH;
    CREDENTIAL_PROVIDER_FIELD_INTERACTIVE_STATE interactive = CPFIS_FOCUSED;
    ASSERT_EQ(S_OK, _pTile->GetFieldState(RECOVERY_CODE_FIELD, &state, &interactive));
    EXPECT_EQ(CPFS_HIDDEN, state);
    EXPECT_EQ(CPFIS_NONE, interactive);
    ASSERT_EQ(S_OK, _pTile->GetFieldState(RECOVERY_LINK_FIELD, &state, &interactive));
    EXPECT_EQ(CPFS_DISPLAY_IN_SELECTED_TILE, state);
    EXPECT_EQ(E_INVALIDARG, _pTile->GetFieldState(W + 2, &state, &interactive));
    EXPECT_EQ(E_INVALIDARG, _pTile->GetFieldState(FAKE_FIELD_PASSWORD, nullptr, &interactive));
    ASSERT_EQ(S_OK, _pTile->GetFieldState(FAKE_FIELD_DISPLAY, &state, &interactive));
    EXPECT_EQ(CPFS_DISPLAY_IN_BOTH, state) << "inner fields are forwarded";

    EXPECT_EQ(L"", Field(RECOVERY_CODE_FIELD));
    EXPECT_EQ(L"Insert Velkor FIDO2 token or click for recovery", Field(RECOVERY_LINK_FIELD));
    EXPECT_EQ(L"<failed>", Field(W + 2));
    EXPECT_EQ(S_OK, _pTile->SetStringValue(RECOVERY_CODE_FIELD, CODE));
    EXPECT_EQ(CODE, Field(RECOVERY_CODE_FIELD));
    EXPECT_EQ(E_UNEXPECTED, _pTile->SetStringValue(RECOVERY_LINK_FIELD, L"x"));
    EXPECT_EQ(E_UNEXPECTED, _pTile->SetStringValue(W + 2, L"x"));
    EXPECT_EQ(S_OK, _pTile->SetStringValue(FAKE_FIELD_PASSWORD, L"secret"));
    EXPECT_EQ(L"secret", Field(FAKE_FIELD_PASSWORD));

    BOOL checked = FALSE;
    DWORD items = 0, selected = 0;
    EXPECT_EQ(E_UNEXPECTED, _pTile->GetCheckboxValue(RECOVERY_CODE_FIELD, &checked, nullptr));
    EXPECT_EQ(E_UNEXPECTED, _pTile->GetComboBoxValueCount(RECOVERY_LINK_FIELD, &items, &selected));
    EXPECT_EQ(E_UNEXPECTED, _pTile->SetComboBoxSelectedValue(RECOVERY_CODE_FIELD, 0));
    DWORD adjacent = 0;
    EXPECT_EQ(S_OK, _pTile->GetSubmitButtonValue(FAKE_FIELD_SUBMIT, &adjacent));
    EXPECT_EQ(static_cast<DWORD>(FAKE_FIELD_PASSWORD), adjacent);
}

TEST_F(CredentialTest, SelectedTileNeverLogsOnByItself)
{
    FakeConfig().autoLogonOnSelect = true;
    BOOL autoLogon = TRUE;
    EXPECT_EQ(S_OK, _pTile->SetSelected(&autoLogon));
    EXPECT_EQ(FALSE, autoLogon);
}

TEST_F(CredentialTest, LinkRevealsTheRecoveryField)
{
    EXPECT_EQ(E_UNEXPECTED, _pTile->CommandLinkClicked(RECOVERY_LINK_FIELD)) << "no sink yet: nobody to tell";
    ASSERT_EQ(S_OK, _pTile->Advise(_pEvents));
    EXPECT_EQ(S_OK, _pTile->CommandLinkClicked(RECOVERY_LINK_FIELD));
    ASSERT_EQ(1u, _pEvents->calls.size());
    EXPECT_EQ(L"SetFieldState 4 1", _pEvents->calls[0]);
    EXPECT_EQ(_pTile, _pEvents->lastCredential);
    // The table itself keeps the field hidden.
    CREDENTIAL_PROVIDER_FIELD_STATE state = CPFS_DISPLAY_IN_BOTH;
    CREDENTIAL_PROVIDER_FIELD_INTERACTIVE_STATE interactive = CPFIS_NONE;
    ASSERT_EQ(S_OK, _pTile->GetFieldState(RECOVERY_CODE_FIELD, &state, &interactive));
    EXPECT_EQ(CPFS_HIDDEN, state);
    EXPECT_EQ(S_OK, _pTile->UnAdvise());
    EXPECT_EQ(E_UNEXPECTED, _pTile->CommandLinkClicked(RECOVERY_LINK_FIELD));
    EXPECT_EQ(1u, _pEvents->calls.size());
}

TEST_F(CredentialTest, InnerNotificationsArriveNamingTheWrapper)
{
    FakeConfig().users = { L"alice" };
    ASSERT_EQ(S_OK, _pTile->Advise(_pEvents));
    BOOL autoLogon = FALSE;
    ASSERT_EQ(S_OK, _pTile->SetSelected(&autoLogon));
    ASSERT_EQ(1u, _pEvents->calls.size());
    EXPECT_EQ(L"SetFieldInteractiveState 2 3", _pEvents->calls[0]);
    EXPECT_EQ(_pTile, _pEvents->lastCredential) << "the wrapper, not the inner tile";
}

TEST_F(CredentialTest, EmptyCodeTouchesNothingAndSerializationIsTheInnerOne)
{
    testreg::EnableUser(L"alice");
    testreg::SetString(testreg::User(L"alice"), L"sec", L"left over");
    _pTile->SetStringValue(FAKE_FIELD_PASSWORD, L"pw");
    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION serialization = {};
    ASSERT_EQ(S_OK, Submit(&serialization));
    EXPECT_EQ(FAKE_AUTHENTICATION_PACKAGE, serialization.ulAuthenticationPackage);
    EXPECT_TRUE(IsEqualCLSID(CLSID_PasswordCredentialProvider, serialization.clsidCredentialProvider));
    EXPECT_EQ(L"FAKE:alice:pw", FakeSerializationText(serialization));
    CoTaskMemFree(serialization.rgbSerialization);
    EXPECT_EQ(std::string("left over\0", 10), Sec());
    LPWSTR pszText = nullptr;
    CREDENTIAL_PROVIDER_STATUS_ICON icon = CPSI_NONE;
    EXPECT_EQ(S_OK, _pTile->ReportResult(0, 0, &pszText, &icon));
    EXPECT_EQ(std::string("left over\0", 10), Sec()) << "not ours to delete";
}

TEST_F(CredentialTest, CodeOfAnEnabledUserIsHandedOverAndRemovedWithTheResult)
{
    testreg::EnableUser(L"alice");
    _pTile->SetStringValue(RECOVERY_CODE_FIELD, CODE);
    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION serialization = {};
    ASSERT_EQ(S_OK, Submit(&serialization));
    CoTaskMemFree(serialization.rgbSerialization);
    DWORD type = 0;
    EXPECT_EQ(std::string("A1B2C3D4E5F60718293A4B5C6D7E8F90\0", 33), testreg::ReadAnsi(testreg::User(L"alice"), "sec", &type));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);

    LPWSTR pszText = nullptr;
    CREDENTIAL_PROVIDER_STATUS_ICON icon = CPSI_NONE;
    EXPECT_EQ(S_OK, _pTile->ReportResult(0, 0, &pszText, &icon));
    CoTaskMemFree(pszText);
    EXPECT_FALSE(testreg::ValueExists(testreg::User(L"alice"), L"sec"));

    // Typed text is stored exactly as it is, whatever it holds.
    _pTile->SetStringValue(RECOVERY_CODE_FIELD, L" not a code ");
    ASSERT_EQ(S_OK, Submit(&serialization));
    CoTaskMemFree(serialization.rgbSerialization);
    EXPECT_EQ(std::string(" not a code \0", 13), Sec());
    EXPECT_EQ(S_OK, _pTile->ReportResult(static_cast<NTSTATUS>(0xFFFF0016), 0, &pszText, &icon));
    CoTaskMemFree(pszText);
    EXPECT_FALSE(testreg::ValueExists(testreg::User(L"alice"), L"sec"));
}

TEST_F(CredentialTest, CodeOfAUserWithoutTheFactorIsNeverStored)
{
    testreg::SetDword(testreg::User(L"alice"), L"enabled", 0);
    testreg::SetString(testreg::User(L"alice"), L"sec", CODE);
    _pTile->SetStringValue(RECOVERY_CODE_FIELD, CODE);
    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION serialization = {};
    ASSERT_EQ(S_OK, Submit(&serialization));
    CoTaskMemFree(serialization.rgbSerialization);
    EXPECT_FALSE(testreg::ValueExists(testreg::User(L"alice"), L"sec")) << "an old one is removed instead";

    testreg::SetString(testreg::User(L"alice"), L"sec", CODE);
    LPWSTR pszText = nullptr;
    CREDENTIAL_PROVIDER_STATUS_ICON icon = CPSI_NONE;
    EXPECT_EQ(S_OK, _pTile->ReportResult(static_cast<NTSTATUS>(0xFFFF0011), 0, &pszText, &icon));
    CoTaskMemFree(pszText);
    EXPECT_TRUE(testreg::ValueExists(testreg::User(L"alice"), L"sec")) << "this credential wrote nothing";

    testreg::DeleteKey(testreg::User(L"alice"));
    ASSERT_EQ(S_OK, Submit(&serialization));
    CoTaskMemFree(serialization.rgbSerialization);
    EXPECT_FALSE(testreg::KeyExists(testreg::User(L"alice"))) << "no key is created for a stranger";
}

TEST_F(CredentialTest, FailedSerializationDoesNotLeaveTheCodeForALaterLogon)
{
    testreg::EnableUser(L"alice");
    _pTile->SetStringValue(RECOVERY_CODE_FIELD, CODE);
    FakeConfig().failSerialization = true;
    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION serialization = {};
    EXPECT_EQ(E_FAIL, Submit(&serialization));
    EXPECT_FALSE(testreg::ValueExists(testreg::User(L"alice"), L"sec"));
}

// A code typed on a tile goes with one submission: after it (and when the tile is left,
// and when a result comes back) it is wiped and the field shown empty, so a password typed
// next on the same tile is never sent with it.
TEST_F(CredentialTest, TypedCodeServesOneSubmissionOnly)
{
    testreg::EnableUser(L"alice");
    ASSERT_EQ(S_OK, _pTile->Advise(_pEvents));
    const std::wstring emptied = L"SetFieldString " + std::to_wstring(RECOVERY_CODE_FIELD) + L" ";
    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION serialization = {};
    LPWSTR pszText = nullptr;
    CREDENTIAL_PROVIDER_STATUS_ICON icon = CPSI_NONE;

    _pTile->SetStringValue(RECOVERY_CODE_FIELD, CODE);
    ASSERT_EQ(S_OK, Submit(&serialization));
    CoTaskMemFree(serialization.rgbSerialization);
    EXPECT_EQ(std::string("A1B2C3D4E5F60718293A4B5C6D7E8F90\0", 33), Sec());
    EXPECT_EQ(L"", Field(RECOVERY_CODE_FIELD));
    ASSERT_FALSE(_pEvents->calls.empty());
    EXPECT_EQ(emptied, _pEvents->calls.back()) << "the tile shows the field empty";
    EXPECT_EQ(S_OK, _pTile->ReportResult(static_cast<NTSTATUS>(0xFFFF0016), 0, &pszText, &icon));
    CoTaskMemFree(pszText);

    // The password again, alone, on the same tile.
    _pTile->SetStringValue(FAKE_FIELD_PASSWORD, L"pw2");
    ASSERT_EQ(S_OK, Submit(&serialization));
    EXPECT_EQ(L"FAKE:alice:pw2", FakeSerializationText(serialization));
    CoTaskMemFree(serialization.rgbSerialization);
    EXPECT_FALSE(testreg::ValueExists(testreg::User(L"alice"), L"sec")) << "no code went with the password";

    // Leaving the tile, or a result arriving, empties a code that was never submitted.
    _pTile->SetStringValue(RECOVERY_CODE_FIELD, CODE);
    EXPECT_EQ(S_OK, _pTile->SetDeselected());
    EXPECT_EQ(L"", Field(RECOVERY_CODE_FIELD));
    _pTile->SetStringValue(RECOVERY_CODE_FIELD, CODE);
    EXPECT_EQ(S_OK, _pTile->ReportResult(static_cast<NTSTATUS>(0xC000006D), 0, &pszText, &icon));
    CoTaskMemFree(pszText);
    EXPECT_EQ(L"", Field(RECOVERY_CODE_FIELD));
    EXPECT_EQ(emptied, _pEvents->calls.back());
    EXPECT_EQ(S_OK, _pTile->UnAdvise());
}

// Credential UI (UAC prompts, Run as) never reports a result to the tile, and a password
// change never reaches the package: there the tile offers no recovery and hands nothing over.
TEST_F(CredentialTest, CredentialUiAndPasswordChangeOfferNoRecoveryAndHandNothingOver)
{
    testreg::EnableUser(L"alice");
    for (CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario : { CPUS_CREDUI, CPUS_CHANGE_PASSWORD })
    {
        ICredentialProvider* pProvider = CreateProvider(scenario);
        ICredentialProviderCredential* pTile = FirstTile(pProvider);
        ASSERT_NE(nullptr, pTile);
        for (DWORD field : { RECOVERY_CODE_FIELD, RECOVERY_LINK_FIELD })
        {
            CREDENTIAL_PROVIDER_FIELD_STATE state = CPFS_DISPLAY_IN_BOTH;
            CREDENTIAL_PROVIDER_FIELD_INTERACTIVE_STATE interactive = CPFIS_FOCUSED;
            ASSERT_EQ(S_OK, pTile->GetFieldState(field, &state, &interactive));
            EXPECT_EQ(CPFS_HIDDEN, state) << scenario << " " << field;
        }
        ASSERT_EQ(S_OK, pTile->Advise(_pEvents));
        EXPECT_EQ(E_UNEXPECTED, pTile->CommandLinkClicked(RECOVERY_LINK_FIELD)) << scenario;
        pTile->SetStringValue(RECOVERY_CODE_FIELD, CODE);
        CREDENTIAL_PROVIDER_GET_SERIALIZATION_RESPONSE response = CPGSR_NO_CREDENTIAL_NOT_FINISHED;
        CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION serialization = {};
        LPWSTR pszText = nullptr;
        CREDENTIAL_PROVIDER_STATUS_ICON icon = CPSI_NONE;
        ASSERT_EQ(S_OK, pTile->GetSerialization(&response, &serialization, &pszText, &icon));
        CoTaskMemFree(serialization.rgbSerialization);
        CoTaskMemFree(pszText);
        EXPECT_FALSE(testreg::ValueExists(testreg::User(L"alice"), L"sec")) << scenario;
        EXPECT_EQ(S_OK, pTile->UnAdvise());
        pTile->Release();
        pProvider->Release();
    }
}

// Another session of the same user may store its own code between two results of this
// tile: only the code of this tile's own submission is removed, once.
TEST_F(CredentialTest, ResultRemovesOnlyTheCodeOfItsOwnSubmission)
{
    testreg::EnableUser(L"alice");
    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION serialization = {};
    LPWSTR pszText = nullptr;
    CREDENTIAL_PROVIDER_STATUS_ICON icon = CPSI_NONE;
    _pTile->SetStringValue(RECOVERY_CODE_FIELD, CODE);
    ASSERT_EQ(S_OK, Submit(&serialization));
    CoTaskMemFree(serialization.rgbSerialization);
    EXPECT_EQ(S_OK, _pTile->ReportResult(static_cast<NTSTATUS>(0xFFFF0016), 0, &pszText, &icon));
    CoTaskMemFree(pszText);
    EXPECT_FALSE(testreg::ValueExists(testreg::User(L"alice"), L"sec"));

    testreg::SetString(testreg::User(L"alice"), L"sec", L"another session's code");
    _pTile->SetStringValue(FAKE_FIELD_PASSWORD, L"pw2");
    ASSERT_EQ(S_OK, Submit(&serialization));
    CoTaskMemFree(serialization.rgbSerialization);
    pszText = nullptr;
    EXPECT_EQ(S_OK, _pTile->ReportResult(static_cast<NTSTATUS>(0xFFFF0011), 0, &pszText, &icon));
    CoTaskMemFree(pszText);
    EXPECT_EQ(std::string("another session's code\0", 23), Sec());
}

TEST_F(CredentialTest, PackageCodesBecomeMessagesWithAnErrorIcon)
{
    const struct { DWORD status; const wchar_t* message; } cases[] = {
        { 0xFFFF0011, L"FIDO2 Logon failed, insert Velkor FIDO2 Token" },
        { 0xFFFF0012, L"More than one token detected; remove all tokens and insert one for logon" },
        { 0xFFFF0013, L"Token communication error; please retry" },
        { 0xFFFF0015, L"Token does not have information about this user" },
        { 0xFFFF0016, L"Recovery key not set or invalid recovery key" },
    };
    for (const auto& c : cases)
    {
        LPWSTR pszText = nullptr;
        CREDENTIAL_PROVIDER_STATUS_ICON icon = CPSI_NONE;
        EXPECT_EQ(S_OK, _pTile->ReportResult(static_cast<NTSTATUS>(c.status), 0x1234, &pszText, &icon));
        ASSERT_NE(nullptr, pszText);
        EXPECT_STREQ(c.message, pszText);
        EXPECT_EQ(CPSI_ERROR, icon);
        CoTaskMemFree(pszText);
    }
    EXPECT_TRUE(FakeReportedResults().empty()) << "the inner tile is not told about our codes";

    for (NTSTATUS status : { static_cast<NTSTATUS>(0), static_cast<NTSTATUS>(0xC000006D), static_cast<NTSTATUS>(0xFFFF0014) })
    {
        LPWSTR pszText = nullptr;
        CREDENTIAL_PROVIDER_STATUS_ICON icon = CPSI_NONE;
        EXPECT_EQ(S_OK, _pTile->ReportResult(status, 0, &pszText, &icon));
        CoTaskMemFree(pszText);
    }
    ASSERT_EQ(3u, FakeReportedResults().size());
    EXPECT_EQ(static_cast<NTSTATUS>(0xC000006D), FakeReportedResults()[1].status);
}

TEST_F(CredentialTest, SecondAdviseMovesNotificationsToTheNewSink)
{
    ASSERT_EQ(S_OK, _pTile->Advise(_pEvents));
    BOOL autoLogon = FALSE;
    _pTile->SetSelected(&autoLogon);
    ASSERT_EQ(1u, _pEvents->calls.size());
    auto* pSecond = new CRecordingCredentialEvents();
    ASSERT_EQ(S_OK, _pTile->Advise(pSecond));
    _pTile->SetSelected(&autoLogon);
    EXPECT_EQ(1u, _pEvents->calls.size()) << "the first sink hears nothing more";
    EXPECT_EQ(1u, pSecond->calls.size());
    EXPECT_EQ(S_OK, _pTile->UnAdvise());
    EXPECT_EQ(1, pSecond->RefCount()) << "UnAdvise lets the sink go";
    pSecond->Release();
}

TEST(WrappedCredentialEvents, RelaysOnlyWhileAttached)
{
    auto* pSink = new CRecordingCredentialEvents();
    auto* pRelay = new CWrappedCredentialEvents();
    auto* pOwner = reinterpret_cast<ICredentialProviderCredential*>(0x1000);
    auto* pInner = reinterpret_cast<ICredentialProviderCredential*>(0x2000);

    const auto callAll = [&](ICredentialProviderCredentialEvents* p) {
        HWND hwnd = nullptr;
        return std::vector<HRESULT>{
            p->SetFieldState(pInner, 1, CPFS_HIDDEN), p->SetFieldInteractiveState(pInner, 1, CPFIS_FOCUSED),
            p->SetFieldString(pInner, 3, L"text"), p->SetFieldCheckbox(pInner, 2, TRUE, L"label"),
            p->SetFieldBitmap(pInner, 5, nullptr), p->SetFieldComboBoxSelectedItem(pInner, 6, 2),
            p->DeleteFieldComboBoxItem(pInner, 6, 1), p->AppendFieldComboBoxItem(pInner, 6, L"item"),
            p->SetFieldSubmitButton(pInner, 3, 2), p->OnCreatingWindow(&hwnd) };
    };
    EXPECT_EQ(std::vector<HRESULT>(10, E_FAIL), callAll(pRelay)) << "before Initialize";
    EXPECT_TRUE(pSink->calls.empty());

    pRelay->Initialize(pOwner, pSink);
    EXPECT_EQ(std::vector<HRESULT>(10, S_OK), callAll(pRelay));
    EXPECT_EQ((std::vector<std::wstring>{ L"SetFieldState 1 0", L"SetFieldInteractiveState 1 3", L"SetFieldString 3 text",
                                          L"SetFieldCheckbox 2 1 label", L"SetFieldBitmap 5",
                                          L"SetFieldComboBoxSelectedItem 6 2", L"DeleteFieldComboBoxItem 6 1",
                                          L"AppendFieldComboBoxItem 6 item", L"SetFieldSubmitButton 3 2", L"OnCreatingWindow" }),
              pSink->calls);
    EXPECT_EQ(std::vector<ICredentialProviderCredential*>(9, pOwner), pSink->credentials)
        << "every notification names the wrapping credential";
    EXPECT_EQ(1, pSink->RefCount()) << "the relay holds no reference";

    EXPECT_EQ(S_OK, pRelay->Uninitialize());
    EXPECT_EQ(std::vector<HRESULT>(10, E_FAIL), callAll(pRelay)) << "after Uninitialize";
    EXPECT_EQ(10u, pSink->calls.size());

    // Two holders: freed at the second Release.
    EXPECT_EQ(2u, pRelay->AddRef());
    EXPECT_EQ(1u, pRelay->Release());
    EXPECT_EQ(0u, pRelay->Release());
    pSink->Release();
}
