// Hundreds of logon sessions through the credential provider in one process, each driven
// the way the logon simulator drives one (class factory, filter, provider around the
// password provider, tiles, typing, the link, serialization, the package's answer, the
// result, UnAdvise, Release). After every session the module may unload, no wrapped
// object lives, no task memory is left and no recovery code stays in the registry.
#include "PackageClock.h"
#include "ProcessMeters.h"
#include "ProviderTestSupport.h"
#include "VirtualSCard.h"

#include <shlwapi.h>
#include <subauth.h>

#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

namespace
{
    using SubAuthFilter = NTSTATUS(NTAPI*)(NETLOGON_LOGON_INFO_CLASS, PVOID, ULONG, PUSER_ALL_INFORMATION, PULONG,
                                           PULONG, PBOOLEAN, PLARGE_INTEGER, PLARGE_INTEGER);

    const wchar_t TOKEN_READER[] = L"Halvane Velkor FIDO2 Security Key 0";
    const wchar_t CODE[] = L"A1B2C3D4E5F60718293A4B5C6D7E8F90";
    const wchar_t WRONG_CODE[] = L"00000000000000000000000000000000";
    const char VERIFIER[] = "4C66E363557147242581FFBEBF20742A133BCF69E25086C25456924A9D9BA520";
    const wchar_t PASSWORD[] = L"correct horse";

    const wchar_t* const TILE_USERS[] = { L"alice", L"bob", L"carol", L"dave", L"erin" };

    // Counts task memory handed out and given back while it is registered. Nothing here
    // allocates, so the counting never counts itself.
    class CCountingMallocSpy final : public IMallocSpy
    {
    public:
        LONG Outstanding() const { return _lAllocated - _lFreed; }
        LONG Allocated() const { return _lAllocated; }

        IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override
        {
            if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMallocSpy))
            {
                *ppv = static_cast<IMallocSpy*>(this);
                AddRef();
                return S_OK;
            }
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        IFACEMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&_lRefCount)); }
        IFACEMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(InterlockedDecrement(&_lRefCount)); }

        IFACEMETHODIMP_(SIZE_T) PreAlloc(SIZE_T cbRequest) override { return cbRequest; }
        IFACEMETHODIMP_(void*) PostAlloc(void* pActual) override
        {
            if (pActual != nullptr) InterlockedIncrement(&_lAllocated);
            return pActual;
        }
        IFACEMETHODIMP_(void*) PreFree(void* pRequest, BOOL fSpyed) override
        {
            if (pRequest != nullptr && fSpyed) InterlockedIncrement(&_lFreed);
            return pRequest;
        }
        IFACEMETHODIMP_(void) PostFree(BOOL) override {}
        IFACEMETHODIMP_(SIZE_T) PreRealloc(void* pRequest, SIZE_T cbRequest, void** ppNewRequest, BOOL fSpyed) override
        {
            // A realloc to nothing frees; one from nothing allocates (counted after it); a
            // block from before the spy comes back as one the spy will see freed.
            if (pRequest != nullptr && cbRequest == 0 && fSpyed) InterlockedIncrement(&_lFreed);
            if (pRequest != nullptr && cbRequest != 0 && !fSpyed) InterlockedIncrement(&_lAllocated);
            _fReallocFromNothing = pRequest == nullptr;
            *ppNewRequest = pRequest;
            return cbRequest;
        }
        IFACEMETHODIMP_(void*) PostRealloc(void* pActual, BOOL) override
        {
            if (_fReallocFromNothing && pActual != nullptr) InterlockedIncrement(&_lAllocated);
            return pActual;
        }
        IFACEMETHODIMP_(void*) PreGetSize(void* pRequest, BOOL) override { return pRequest; }
        IFACEMETHODIMP_(SIZE_T) PostGetSize(SIZE_T cbActual, BOOL) override { return cbActual; }
        IFACEMETHODIMP_(void*) PreDidAlloc(void* pRequest, BOOL) override { return pRequest; }
        IFACEMETHODIMP_(int) PostDidAlloc(void*, BOOL, int fActual) override { return fActual; }
        IFACEMETHODIMP_(void) PreHeapMinimize() override {}
        IFACEMETHODIMP_(void) PostHeapMinimize() override {}

    private:
        LONG _lRefCount = 1;
        LONG _lAllocated = 0;
        LONG _lFreed = 0;
        bool _fReallocFromNothing = false;
    };

    // The logon user interface's sink: remembers only whether the recovery field was shown.
    class CUiEvents final : public ICredentialProviderCredentialEvents, public ICredentialProviderEvents
    {
    public:
        DWORD recoveryFieldShown = 0;
        LONG RefCount() const { return _lRefCount; }

        IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override
        {
            if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, __uuidof(ICredentialProviderCredentialEvents)))
            {
                *ppv = static_cast<ICredentialProviderCredentialEvents*>(this);
            }
            else if (IsEqualIID(riid, __uuidof(ICredentialProviderEvents)))
            {
                *ppv = static_cast<ICredentialProviderEvents*>(this);
            }
            else
            {
                *ppv = nullptr;
                return E_NOINTERFACE;
            }
            AddRef();
            return S_OK;
        }
        IFACEMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++_lRefCount); }
        IFACEMETHODIMP_(ULONG) Release() override
        {
            const LONG count = --_lRefCount;
            if (count == 0) delete this;
            return static_cast<ULONG>(count);
        }
        IFACEMETHODIMP SetFieldState(ICredentialProviderCredential*, DWORD field, CREDENTIAL_PROVIDER_FIELD_STATE state) override
        {
            if (field == RECOVERY_CODE_FIELD && state == CPFS_DISPLAY_IN_SELECTED_TILE) ++recoveryFieldShown;
            return S_OK;
        }
        IFACEMETHODIMP SetFieldInteractiveState(ICredentialProviderCredential*, DWORD, CREDENTIAL_PROVIDER_FIELD_INTERACTIVE_STATE) override { return S_OK; }
        IFACEMETHODIMP SetFieldString(ICredentialProviderCredential*, DWORD, LPCWSTR) override { return S_OK; }
        IFACEMETHODIMP SetFieldCheckbox(ICredentialProviderCredential*, DWORD, BOOL, LPCWSTR) override { return S_OK; }
        IFACEMETHODIMP SetFieldBitmap(ICredentialProviderCredential*, DWORD, HBITMAP) override { return S_OK; }
        IFACEMETHODIMP SetFieldComboBoxSelectedItem(ICredentialProviderCredential*, DWORD, DWORD) override { return S_OK; }
        IFACEMETHODIMP DeleteFieldComboBoxItem(ICredentialProviderCredential*, DWORD, DWORD) override { return S_OK; }
        IFACEMETHODIMP AppendFieldComboBoxItem(ICredentialProviderCredential*, DWORD, LPCWSTR) override { return S_OK; }
        IFACEMETHODIMP SetFieldSubmitButton(ICredentialProviderCredential*, DWORD, DWORD) override { return S_OK; }
        IFACEMETHODIMP OnCreatingWindow(HWND* phwnd) override
        {
            *phwnd = nullptr;
            return S_OK;
        }
        IFACEMETHODIMP CredentialsChanged(UINT_PTR) override { return S_OK; }

    private:
        LONG _lRefCount = 1;
    };

    // One person at the logon screen: which tile, what is typed, what the reader holds,
    // and what the package and then the tile must answer.
    struct Session
    {
        DWORD tile;
        const wchar_t* code; // nullptr: the link is not clicked
        bool tokenInserted;
        NTSTATUS expectedStatus;
        const wchar_t* expectedMessage; // nullptr: no message of ours
    };

    const Session SESSIONS[] = {
        { 0, nullptr, true, 0, nullptr },     // alice with her token
        { 1, nullptr, true, 0, nullptr },     // bob, factor off: the password alone
        { 2, CODE, false, 0, nullptr },       // carol with the right recovery code
        { 4, WRONG_CODE, true, static_cast<NTSTATUS>(0xFFFF0016), L"Recovery key not set or invalid recovery key" },
        { 3, nullptr, true, static_cast<NTSTATUS>(0xFFFF0015), L"Token does not have information about this user" },
        { 0, nullptr, false, static_cast<NTSTATUS>(0xFFFF0011), L"FIDO2 Logon failed, insert Velkor FIDO2 Token" },
        { 0, CODE, false, 0, nullptr },       // alice without her token, with her code
        { 1, CODE, false, 0, nullptr },       // bob types a code he does not need: never stored
    };
    constexpr int SESSION_KINDS = static_cast<int>(ARRAYSIZE(SESSIONS));

    // Lives as long as the process: a revocation refused while blocks are outstanding
    // keeps it registered.
    CCountingMallocSpy g_spy;

    std::wstring TakeString(LPWSTR psz)
    {
        std::wstring text = psz != nullptr ? psz : L"";
        CoTaskMemFree(psz);
        return text;
    }

    class ProviderLoad : public ProviderTest
    {
    protected:
        void SetUp() override
        {
            ProviderTest::SetUp();
            if (HasFatalFailure()) return;
            FakeConfig().users.assign(std::begin(TILE_USERS), std::end(TILE_USERS));
            testreg::EnableUser(L"alice");
            testreg::AssociateToken(L"1234ABCD", L"alice");
            testreg::SetDword(testreg::User(L"bob"), L"enabled", 0);
            for (const wchar_t* user : { L"carol", L"dave", L"erin" }) testreg::SetDword(testreg::User(user), L"enabled", 1);
            for (const wchar_t* user : { L"alice", L"carol", L"erin" })
            {
                testreg::SetAnsi(testreg::User(user), "Recovery", std::string(VERIFIER) + '\0');
            }
            _hPackage = LoadLibraryW(L"VelkorSubAuth.dll");
            ASSERT_NE(nullptr, _hPackage) << GetLastError();
            _pfnPackage = reinterpret_cast<SubAuthFilter>(
                reinterpret_cast<void*>(GetProcAddress(_hPackage, "Msv1_0SubAuthenticationFilter")));
            ASSERT_NE(nullptr, _pfnPackage);
            PackageClock::Attach(_hPackage);
            ASSERT_EQ(S_OK, CoRegisterMallocSpy(&g_spy));
        }

        void TearDown() override
        {
            EXPECT_EQ(S_OK, CoRevokeMallocSpy()) << "task memory counted by the spy is still allocated";
            PackageClock::Detach();
            FreeLibrary(_hPackage);
            VScardReset();
            ProviderTest::TearDown();
        }

        // MSV1_0's part, as the simulator plays it.
        NTSTATUS PackageAnswer(const std::wstring& user)
        {
            std::wstring name = user;
            USER_ALL_INFORMATION userAll = {};
            userAll.UserName.Buffer = name.data();
            userAll.UserName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
            ULONG whichFields = 0, userFlags = 0;
            BOOLEAN authoritative = TRUE;
            LARGE_INTEGER logoff = {}, kickoff = {};
            return _pfnPackage(NetlogonInteractiveInformation, nullptr, 0, &userAll, &whichFields, &userFlags,
                               &authoritative, &logoff, &kickoff);
        }

        // One whole session; returns false (after reporting why) when anything differs.
        bool RunSession(int number)
        {
            const Session& s = SESSIONS[number % SESSION_KINDS];
            const std::wstring user = TILE_USERS[s.tile];
            const std::wstring where = L"session " + std::to_wstring(number) + L" (" + user + L")";
            // People arrive seconds apart: a refusal of alice's does not bar her code next.
            PackageClock::ForgetRecentRefusals();
            VScardReset();
            if (s.tokenInserted) VScardAddReader(TOKEN_READER, TRUE);
            FakeReportedResults().clear();
            const LONG outstandingBefore = g_spy.Outstanding();
            const int failuresBefore = FailureCount();

            IClassFactory* pFactory = nullptr;
            EXPECT_EQ(S_OK, DllGetClassObject(CLSID_VelkorCredentialProvider, IID_IClassFactory, reinterpret_cast<void**>(&pFactory)));
            if (pFactory == nullptr) return false;

            // The filters first: ours hides the bare password provider.
            {
                ICredentialProviderFilter* pFilter = nullptr;
                EXPECT_EQ(S_OK, pFactory->CreateInstance(nullptr, __uuidof(ICredentialProviderFilter), reinterpret_cast<void**>(&pFilter)));
                if (pFilter != nullptr)
                {
                    GUID providers[] = { CLSID_VelkorCredentialProvider, CLSID_PasswordCredentialProvider };
                    BOOL allow[] = { TRUE, TRUE };
                    EXPECT_EQ(S_OK, pFilter->Filter(CPUS_LOGON, 0, providers, allow, 2));
                    EXPECT_TRUE(allow[0]);
                    EXPECT_FALSE(allow[1]);
                    pFilter->Release();
                }
            }

            auto* pEvents = new CUiEvents();
            ICredentialProvider* pProvider = nullptr;
            EXPECT_EQ(S_OK, pFactory->CreateInstance(nullptr, __uuidof(ICredentialProvider), reinterpret_cast<void**>(&pProvider)));
            std::vector<ICredentialProviderCredential*> tiles;
            if (pProvider != nullptr)
            {
                EXPECT_EQ(S_OK, pProvider->SetUsageScenario(CPUS_LOGON, 0));
                EXPECT_EQ(S_OK, pProvider->Advise(pEvents, 1));
                DWORD fieldCount = 0;
                EXPECT_EQ(S_OK, pProvider->GetFieldDescriptorCount(&fieldCount));
                EXPECT_EQ(W + 2, fieldCount);
                for (DWORD f = 0; f < fieldCount; ++f)
                {
                    CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR* pField = nullptr;
                    EXPECT_EQ(S_OK, pProvider->GetFieldDescriptorAt(f, &pField));
                    if (pField == nullptr) continue;
                    EXPECT_EQ(f, pField->dwFieldID);
                    CoTaskMemFree(pField->pszLabel);
                    CoTaskMemFree(pField);
                }
                DWORD count = 0, defaultTile = 0;
                BOOL autoLogon = TRUE;
                EXPECT_EQ(S_OK, pProvider->GetCredentialCount(&count, &defaultTile, &autoLogon));
                EXPECT_EQ(static_cast<DWORD>(ARRAYSIZE(TILE_USERS)), count);
                for (DWORD t = 0; t < count; ++t)
                {
                    ICredentialProviderCredential* pTile = nullptr;
                    EXPECT_EQ(S_OK, pProvider->GetCredentialAt(t, &pTile));
                    if (pTile == nullptr) continue;
                    EXPECT_EQ(S_OK, pTile->Advise(pEvents));
                    tiles.push_back(pTile);
                    // The tile is shown: every field's state and text is read.
                    for (DWORD f = 0; f < fieldCount; ++f)
                    {
                        CREDENTIAL_PROVIDER_FIELD_STATE state = CPFS_HIDDEN;
                        CREDENTIAL_PROVIDER_FIELD_INTERACTIVE_STATE interactive = CPFIS_NONE;
                        pTile->GetFieldState(f, &state, &interactive);
                        LPWSTR psz = nullptr;
                        if (f != FAKE_FIELD_SUBMIT && SUCCEEDED(pTile->GetStringValue(f, &psz))) CoTaskMemFree(psz);
                    }
                }
            }

            if (s.tile < tiles.size())
            {
                ICredentialProviderCredential* pTile = tiles[s.tile];
                BOOL autoLogon = TRUE;
                EXPECT_EQ(S_OK, pTile->SetSelected(&autoLogon));
                EXPECT_FALSE(autoLogon);
                EXPECT_EQ(S_OK, pTile->SetStringValue(FAKE_FIELD_PASSWORD, PASSWORD));
                if (s.code != nullptr)
                {
                    const DWORD shownBefore = pEvents->recoveryFieldShown;
                    EXPECT_EQ(S_OK, pTile->CommandLinkClicked(RECOVERY_LINK_FIELD));
                    EXPECT_EQ(shownBefore + 1, pEvents->recoveryFieldShown) << "the link reveals the code field";
                    EXPECT_EQ(S_OK, pTile->SetStringValue(RECOVERY_CODE_FIELD, s.code));
                }

                CREDENTIAL_PROVIDER_GET_SERIALIZATION_RESPONSE response = CPGSR_NO_CREDENTIAL_NOT_FINISHED;
                CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION serialization = {};
                LPWSTR pszText = nullptr;
                CREDENTIAL_PROVIDER_STATUS_ICON icon = CPSI_NONE;
                EXPECT_EQ(S_OK, pTile->GetSerialization(&response, &serialization, &pszText, &icon));
                CoTaskMemFree(pszText);
                EXPECT_EQ(CPGSR_RETURN_CREDENTIAL_FINISHED, response);
                EXPECT_EQ(L"FAKE:" + user + L":" + PASSWORD, FakeSerializationText(serialization));
                EXPECT_EQ(FAKE_AUTHENTICATION_PACKAGE, serialization.ulAuthenticationPackage);
                CoTaskMemFree(serialization.rgbSerialization);
                // The code waits in the registry for this one logon, and only for a user with the factor on.
                const bool factorOn = user != L"bob";
                EXPECT_EQ(s.code != nullptr && factorOn, testreg::ValueExists(testreg::User(user), L"sec"));

                LPWSTR pszUser = nullptr;
                EXPECT_EQ(S_OK, pTile->GetStringValue(FAKE_FIELD_USER_NAME, &pszUser));
                const NTSTATUS status = PackageAnswer(TakeString(pszUser));
                EXPECT_EQ(s.expectedStatus, status);

                pszText = nullptr;
                icon = CPSI_NONE;
                EXPECT_EQ(S_OK, pTile->ReportResult(status, 0, &pszText, &icon));
                const std::wstring message = TakeString(pszText);
                if (s.expectedMessage != nullptr)
                {
                    EXPECT_EQ(s.expectedMessage, message);
                    EXPECT_EQ(CPSI_ERROR, icon);
                    EXPECT_TRUE(FakeReportedResults().empty()) << "our message, not the password provider's";
                }
                else
                {
                    EXPECT_EQ(L"", message);
                    EXPECT_EQ(1u, FakeReportedResults().size());
                }
                EXPECT_FALSE(testreg::ValueExists(testreg::User(user), L"sec")) << "the code goes with the result";
            }
            else
            {
                ADD_FAILURE() << "no tile " << s.tile;
            }

            for (auto* pTile : tiles)
            {
                pTile->UnAdvise();
                pTile->Release();
            }
            if (pProvider != nullptr)
            {
                pProvider->UnAdvise();
                pProvider->Release();
            }
            pFactory->Release();
            EXPECT_EQ(1, pEvents->RefCount()) << "every reference lent to the provider came back";
            pEvents->Release();

            EXPECT_EQ(S_OK, DllCanUnloadNow());
            EXPECT_EQ(0, FakeLiveObjects());
            EXPECT_EQ(outstandingBefore, g_spy.Outstanding()) << "task memory left allocated";
            EXPECT_EQ(0u, VScardOpenContexts());
            EXPECT_EQ(0u, VScardOpenCards());
            EXPECT_EQ(0u, VScardOutstandingAllocations());
            if (FailureCount() != failuresBefore)
            {
                ADD_FAILURE() << "in " << std::string(where.begin(), where.end());
                return false;
            }
            return true;
        }

        static int FailureCount()
        {
            const ::testing::TestResult* pResult = ::testing::UnitTest::GetInstance()->current_test_info()->result();
            int failures = 0;
            for (int i = 0; i < pResult->total_part_count(); ++i)
            {
                if (pResult->GetTestPartResult(i).failed()) ++failures;
            }
            return failures;
        }

        ProcessMeters Measure(const char* pszWhen, int sessions)
        {
            ProcessMeters meters;
            EXPECT_TRUE(ReadProcessMeters(&meters));
            printf("[ meters   ] %-24s %4d sessions: %5lu handles, %9llu heap bytes in %7llu blocks, %ld of %ld task allocations outstanding\n",
                   pszWhen, sessions, meters.handles, static_cast<unsigned long long>(meters.heapBusyBytes),
                   static_cast<unsigned long long>(meters.heapBusyBlocks), g_spy.Outstanding(), g_spy.Allocated());
            return meters;
        }

        HMODULE _hPackage = nullptr;
        SubAuthFilter _pfnPackage = nullptr;
    };
}

TEST_F(ProviderLoad, FiveHundredSessionsLeaveNothingBehind)
{
    constexpr int WARM_UP = 2 * SESSION_KINDS;
    constexpr int SESSIONS_TOTAL = 500;
    int session = 0;
    int failedSessions = 0;
    for (; session < WARM_UP; ++session) failedSessions += RunSession(session) ? 0 : 1;
    const ProcessMeters start = Measure("after warm-up", session);
    for (; session < WARM_UP + 100; ++session) failedSessions += RunSession(session) ? 0 : 1;
    const ProcessMeters early = Measure("after 100 more", session);
    for (; session < WARM_UP + SESSIONS_TOTAL; ++session)
    {
        failedSessions += RunSession(session) ? 0 : 1;
        if (failedSessions > 5) break; // the first few say enough
    }
    const ProcessMeters late = Measure("after 500", session);
    EXPECT_EQ(0, failedSessions);
    EXPECT_EQ(0, g_spy.Outstanding()) << "every task allocation made while counting was freed";

    // The same bounds as the package's load test.
    EXPECT_LE(static_cast<long>(late.handles) - static_cast<long>(early.handles), 2L);
    EXPECT_LE(static_cast<long>(late.handles) - static_cast<long>(start.handles), 2L);
    EXPECT_LE(static_cast<long long>(late.heapBusyBytes) - static_cast<long long>(early.heapBusyBytes), 8 * 1024LL);
    EXPECT_LE(static_cast<long long>(late.heapBusyBytes) - static_cast<long long>(start.heapBusyBytes), 8 * 1024LL);
}

// The spy must be able to fail: task memory the test keeps is counted as outstanding
// until it is freed.
TEST_F(ProviderLoad, SpySeesTaskMemoryThatIsKept)
{
    const LONG before = g_spy.Outstanding();
    void* pv = CoTaskMemAlloc(16);
    LPWSTR psz = nullptr;
    ASSERT_EQ(S_OK, SHStrDupW(L"kept", &psz));
    EXPECT_EQ(before + 2, g_spy.Outstanding());
    pv = CoTaskMemRealloc(pv, 64);
    EXPECT_EQ(before + 2, g_spy.Outstanding());
    CoTaskMemFree(pv);
    CoTaskMemFree(psz);
    EXPECT_EQ(before, g_spy.Outstanding());
}
