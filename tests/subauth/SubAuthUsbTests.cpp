// The USB path of a logon through the exported filter: FIDO keys over USB HID (the virtual
// HID keys of the virtual PC/SC DLL, through the package's own imports) proving the
// account's credentials, a Velkor key proving over USB when its smart-card interface has
// no FIDO2, the clone check, requireTouch, keys that misbehave, and many logons at once.
#include "ConfigStore.h"
#include "CtapHidDevice.h"
#include "LogonHarness.h"
#include "ProcessThreads.h"
#include "TestLogFile.h"
#include "TestRegistry.h"
#include "TokenCredentialStore.h"
#include "TokenProof.h"
#include "VirtualSCard.h"

#include <string>
#include <thread>
#include <vector>

namespace
{
    const wchar_t TOKEN_READER[] = L"Halvane Velkor FIDO2 Security Key 0";
    constexpr NTSTATUS PROOF_FAILED = static_cast<NTSTATUS>(0xFFFF0017);

    class SubAuthUsb : public CPackageTest
    {
    protected:
        static void SetUpTestSuite()
        {
            CPackageTest::SetUpTestSuite();
            // The package and this program (which makes the credentials) reach the virtual keys.
            ASSERT_GT(VScardInstallHid(s_hModule), 0);
            VScardInstallHid(nullptr);
        }

        static void TearDownTestSuite()
        {
            VScardUninstallHid(s_hModule);
            CPackageTest::TearDownTestSuite();
        }

        void SetUp() override
        {
            ASSERT_NE(nullptr, s_pfnFilter);
            testreg::Reset();
            testlog::Delete();
            VScardReset();
            testreg::EnableUser(L"alice", true);
        }

        void TearDown() override
        {
            for (int i = 0; i < 200 && (VScardHidOpenHandles() != 0 || VScardHidPendingIo() != 0); ++i) Sleep(50);
            EXPECT_EQ(0u, VScardHidOpenHandles());
            EXPECT_EQ(0u, VScardHidPendingIo());
            EXPECT_EQ(0u, VScardHidOutstandingObjects());
            EXPECT_EQ(0u, VScardOpenCards());
            testreg::DeleteTree();
            testlog::Delete();
        }

        static int AddKey(const wchar_t* product, DWORD serial)
        {
            const int key = VScardHidAddDevice(product, VSCARD_HID_USAGE_PAGE_FIDO, VSCARD_HID_USAGE_FIDO);
            EXPECT_GE(key, 0);
            VScardHidSetSerial(key, serial);
            return key;
        }

        // What association stores for a key over USB: the credential the key makes for the
        // account, under tokens\fido-<id> (or under tokenKey when one is given).
        static std::wstring StoreCredential(int key, const wchar_t* user, const std::wstring& tokenKey = L"")
        {
            wchar_t szPath[512] = {};
            VScardHidDevicePath(key, szPath, ARRAYSIZE(szPath));
            CCtapHidDevice device(szPath, GetTickCount64() + 5000);
            NEW_TOKEN_CREDENTIAL made = {};
            EXPECT_EQ(CtapExchangeStatus::Ok, device.Open());
            MakeTokenCredential(device, user, &made);
            EXPECT_EQ(TokenCredentialOutcome::Made, made.outcome);
            TOKEN_CREDENTIAL credential;
            StoredCredentialOf(made, &credential);
            wchar_t szName[TOKEN_KEY_NAME_CHARS] = {};
            MakeFidoTokenKeyName(credential.rgbCredentialId, credential.cbCredentialId, szName);
            const std::wstring name = tokenKey.empty() ? szName : tokenKey;
            const TOKEN_REGISTRATION_VALUES values = { &credential, L"Velkor FIDO2 Key" };
            EXPECT_EQ(ERROR_SUCCESS, RegisterToken(name.c_str(), user, WriteTokenRegistrationValues,
                                                   const_cast<TOKEN_REGISTRATION_VALUES*>(&values)).status);
            device.Close();
            VScardHidClearRecord();
            return name;
        }

        static DWORD StoredCount(const std::wstring& tokenKey) { return StoredSignCount(tokenKey); }

        // The log from the decision's first line after the gates to the closing line.
        static std::wstring PathLines() { return LogLinesAfter(L"FIDO2 auth enabled for user\r\n"); }

        static LogonOutcome Logon() { return CallLogon(s_pfnFilter, L"alice"); }
    };
}

TEST_F(SubAuthUsb, KeysOverUsbAreAskedForTheAccountsCredentials)
{
    const int other = AddKey(L"Other Key", 0x0BADCAFE);
    const int key = AddKey(L"Velkor FIDO2 Key", 0x0BADC0DE);
    VScardHidAddDevice(L"USB Keyboard", 0x0001, 0x06);
    const std::wstring name = StoreCredential(key, L"alice");
    const DWORD before = StoredCount(name);

    // The other key, first in line, holds nothing of alice's: the next key proves.
    EXPECT_EQ((LogonOutcome{ 0, TRUE }), Logon());
    EXPECT_EQ(L"No readers found\r\nSecurity key " + name + L" proved possession\r\n", PathLines());
    EXPECT_GT(StoredCount(name), before);
    EXPECT_EQ(1u, VScardHidCountCommands(other, 0x10));

    // Only the other key: refused as a key that does not hold the credential.
    VScardHidPlug(key, FALSE);
    testlog::Delete();
    EXPECT_EQ((LogonOutcome{ PROOF_FAILED, TRUE }), Logon());
    EXPECT_EQ(L"No readers found\r\nToken does not hold the credential\r\n", PathLines());

    // No key at all: as without a token.
    VScardHidPlug(other, FALSE);
    testlog::Delete();
    EXPECT_EQ((LogonOutcome{ NO_TOKEN, TRUE }), Logon());
    EXPECT_EQ(L"No readers found\r\n", PathLines());

    // A copy of the key, its counter behind: a possible clone, refused at once.
    VScardHidPlug(key, TRUE);
    ASSERT_EQ((LogonOutcome{ 0, TRUE }), Logon());
    VScardHidSetFidoKnob(key, VSCARD_FIDO_COUNTER_LAG, 1000);
    testlog::Delete();
    const DWORD stored = StoredCount(name);
    EXPECT_EQ((LogonOutcome{ PROOF_FAILED, TRUE }), Logon());
    const std::wstring clone = L"No readers found\r\nSignature counter did not increase: stored " + std::to_wstring(stored);
    EXPECT_EQ(clone, PathLines().substr(0, clone.size())) << PathLines();
    EXPECT_EQ(stored, StoredCount(name));
}

TEST_F(SubAuthUsb, AnAccountWithoutACredentialNeverTalksToUsbKeys)
{
    const int key = AddKey(L"Velkor FIDO2 Key", 0x0BADC0DE);
    StoreCredential(key, L"bob");
    testreg::AssociateToken(L"1234ABCD", L"alice"); // known by its serial alone
    EXPECT_EQ((LogonOutcome{ NO_TOKEN, TRUE }), Logon());
    EXPECT_EQ(0u, VScardHidPacketsWritten(key));
    EXPECT_EQ(0u, VScardHidOpenHandles());
}

// A Velkor key whose smart-card interface has no FIDO2 proves over its USB interface: the
// same key (one device secret) seen through both.
TEST_F(SubAuthUsb, AVelkorKeyWithoutFido2OnItsCardProvesOverUsb)
{
    const int token = VScardAddReader(TOKEN_READER, TRUE);
    VScardSetSerial(token, 0x0BADC0DE);
    VScardSetFidoKnob(token, VSCARD_FIDO_ABSENT, 0x6A82);
    const int key = AddKey(L"Velkor FIDO2 Key", 0x0BADC0DE);
    StoreCredential(key, L"alice", L"0BADC0DE");
    EXPECT_EQ((LogonOutcome{ 0, TRUE }), Logon());
    EXPECT_NE(std::wstring::npos, PathLines().find(L"Security key 0BADC0DE proved possession\r\n")) << PathLines();

    // Without the USB interface it has nothing to prove with.
    VScardHidPlug(key, FALSE);
    testlog::Delete();
    EXPECT_EQ((LogonOutcome{ PROOF_FAILED, TRUE }), Logon());
    EXPECT_NE(std::wstring::npos, PathLines().find(L"Token has no FIDO2 application\r\n")) << PathLines();
}

TEST_F(SubAuthUsb, RequireTouchAsksForTheUsersPresence)
{
    const int key = AddKey(L"Velkor FIDO2 Key", 0x0BADC0DE);
    StoreCredential(key, L"alice");
    VScardHidSetKnob(key, VSCARD_HID_TOUCH_MS, 1200);
    // A silent proof waits for no touch.
    ULONGLONG start = GetTickCount64();
    ASSERT_EQ((LogonOutcome{ 0, TRUE }), Logon());
    EXPECT_LT(GetTickCount64() - start, 1000u);
    // With requireTouch the proof asks for the user's presence and waits for it; a key that
    // refuses silent proofs is then never asked for one.
    testreg::SetDword(testreg::Settings(), L"requireTouch", 1);
    VScardHidSetFidoKnob(key, VSCARD_FIDO_REFUSE_SILENT, 1);
    start = GetTickCount64();
    EXPECT_EQ((LogonOutcome{ 0, TRUE }), Logon());
    EXPECT_GE(GetTickCount64() - start, 1000u) << "the proof waited for the touch";
    testreg::SetDword(testreg::Settings(), L"requireTouch", 0);
    EXPECT_EQ((LogonOutcome{ PROOF_FAILED, TRUE }), Logon());
}

// Keys that break CTAP HID, answer forever or never, or go away in the middle: each logon
// ends by the deadline (5 s) and a second, never passes (but for a key whose answers other
// channels' packets only surround), and two seconds after the deadline no thread of it is
// left, no I/O is pending and the key hears nothing more.
TEST_F(SubAuthUsb, HostileUsbKeysNeverHoldTheLogonNorLetItThrough)
{
    const int key = AddKey(L"Velkor FIDO2 Key", 0x0BADC0DE);
    StoreCredential(key, L"alice");
    ASSERT_EQ((LogonOutcome{ 0, TRUE }), Logon());
    const struct { const char* what; int knob; DWORD value; NTSTATUS status; } cases[] = {
        { "never answers", VSCARD_HID_MUTE, 1, PROOF_FAILED },
        { "keep-alive for ever", VSCARD_HID_ENDLESS_KEEPALIVE, 2, PROOF_FAILED },
        { "INIT with another nonce", VSCARD_HID_INIT_NONCE, 1, PROOF_FAILED },
        { "channel 0 granted", VSCARD_HID_INIT_CID, VSCARD_HID_CID_ZERO, PROOF_FAILED },
        { "broadcast channel granted", VSCARD_HID_INIT_CID, VSCARD_HID_CID_BROADCAST, PROOF_FAILED },
        { "no CBOR", VSCARD_HID_NO_CBOR, 1, PROOF_FAILED },
        { "ERROR packets", VSCARD_HID_ERROR, 0x7F, PROOF_FAILED },
        { "BCNT above the bound", VSCARD_HID_BCNT, 5000, PROOF_FAILED },
        { "BCNT longer than the answer", VSCARD_HID_BCNT_EXTRA, 10, PROOF_FAILED },
        { "answer cut short", VSCARD_HID_CUT_AFTER, 1, PROOF_FAILED },
        { "continuation out of sequence", VSCARD_HID_BAD_SEQ, 1, PROOF_FAILED },
        { "INIT packet in the middle", VSCARD_HID_INIT_IN_ANSWER, 1, PROOF_FAILED },
        { "pulled in the middle of the answer", VSCARD_HID_UNPLUG_AFTER, 3, PROOF_FAILED },
        { "other channels' packets around every one", VSCARD_HID_FOREIGN_CID, 1, 0 },
    };
    for (const auto& c : cases)
    {
        VScardHidSetKnob(key, c.knob, c.value);
        const DWORD threadsBefore = CountProcessThreads();
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ((LogonOutcome{ c.status, TRUE }), Logon()) << c.what;
        EXPECT_LE(GetTickCount64() - start, 6000u) << c.what;
        EXPECT_LE(WaitForProcessThreadsAtMost(threadsBefore, start + 7000), threadsBefore) << c.what;
        EXPECT_EQ(0u, VScardHidPendingIo()) << c.what;
        EXPECT_EQ(0u, VScardHidOpenHandles()) << c.what;
        const DWORD written = VScardHidPacketsWritten(key);
        Sleep(200);
        EXPECT_EQ(written, VScardHidPacketsWritten(key)) << c.what;
        VScardHidSetKnob(key, c.knob, 0);
        VScardHidPlug(key, TRUE);
    }
    EXPECT_EQ((LogonOutcome{ 0, TRUE }), Logon());
}

// Logons with one key at the same time: the key serves one channel at a time and tells the
// others it is busy; they wait their turn. All pass, and the counter ends at the highest.
TEST_F(SubAuthUsb, ConcurrentLogonsWithOneKeyAllPassAndTheCounterOnlyGrows)
{
    testreg::SetDword(testreg::Settings(), L"loggingEnabled", 0);
    const int key = AddKey(L"Velkor FIDO2 Key", 0x0BADC0DE);
    VScardHidSetFidoKnob(key, VSCARD_FIDO_COUNTER_START, 500);
    const std::wstring name = StoreCredential(key, L"alice");
    const DWORD start = StoredCount(name);
    constexpr int THREADS = 8;
    constexpr int ROUNDS = 3;
    const std::vector<int> wrong = FailedConcurrentLogons(s_pfnFilter, L"alice", THREADS, ROUNDS);
    for (int t = 0; t < THREADS; ++t) EXPECT_EQ(0, wrong[static_cast<size_t>(t)]) << "thread " << t;
    EXPECT_EQ(start + THREADS * ROUNDS, StoredCount(name));
}
