// The token's proof of possession through the exported filter, against the virtual
// token's FIDO2 authenticator and the real registry: every way a proof can fail, the
// stored values it relies on, the counter, the deadline and concurrent logons.
#include "ConfigStore.h"
#include "TokenCredentialStore.h"
#include "LogonHarness.h"
#include "ProcessThreads.h"
#include "SmartCardContext.h"
#include "TestLogFile.h"
#include "TestRegistry.h"
#include "SmartCardCtap.h"
#include "TokenProof.h"
#include "VirtualSCard.h"

#include <string>
#include <thread>
#include <vector>

namespace
{
    const wchar_t TOKEN_READER[] = L"Halvane Velkor FIDO2 Security Key 0";
    const wchar_t SERIAL[] = L"1234ABCD";
    constexpr NTSTATUS PROOF_FAILED = static_cast<NTSTATUS>(0xFFFF0017);

    class SubAuthProof : public CPackageTest
    {
    protected:


        void SetUp() override
        {
            ASSERT_NE(nullptr, s_pfnFilter);
            testreg::Reset();
            testlog::Delete();
            VScardReset();
            testreg::EnableUser(L"alice", true);
            testreg::AssociateToken(SERIAL, L"alice");
            _token = VScardAddReader(TOKEN_READER, TRUE);
        }

        void TearDown() override
        {
            // A proof that missed its deadline lets the token go when the token lets it go.
            for (int i = 0; i < 200 && (VScardOpenCards() != 0 || VScardOpenContexts() != 0); ++i) Sleep(50);
            EXPECT_EQ(0u, VScardOpenContexts());
            EXPECT_EQ(0u, VScardOpenCards());
            EXPECT_EQ(0u, VScardOutstandingAllocations());
            testreg::DeleteTree();
            testlog::Delete();
        }

        // What association stores: the credential the plugged-in token makes for alice.
        void MakeCredential()
        {
            CSmartCardContext context;
            ASSERT_EQ(SCARD_S_SUCCESS, context.EstablishContext());
            {
                CSmartCardReader reader(context.context, TOKEN_READER);
                reader.traceResults = reader.traceData = false;
                ASSERT_EQ(SCARD_S_SUCCESS, reader.Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
                NEW_TOKEN_CREDENTIAL made;
                CSmartCardCtap exchange(reader, GetTickCount64() + 5000);
                made.outcome = TokenCredentialOutcome::Failed;
                if (exchange.Open() == CtapExchangeStatus::Ok) MakeTokenCredential(exchange, L"alice", &made);
                ASSERT_EQ(TokenCredentialOutcome::Made, made.outcome);
                ASSERT_EQ(ERROR_SUCCESS, WriteTokenCredential(SERIAL, made.rgbCredentialId, made.cbCredentialId,
                                                              made.rgbPublicKey, made.signCount));
            }
            context.Release();
            VScardClearRecord();
        }

        static DWORD StoredCount() { return StoredSignCount(SERIAL); }

        // The log of the token path after the owner's name, without the closing line.
        static std::wstring ProofLines() { return LogLinesAfter(L"uname from registry: alice\r\n"); }

        static LogonOutcome Logon() { return CallLogon(s_pfnFilter, L"alice"); }

        int _token = -1;
    };

}

TEST_F(SubAuthProof, KeyThatHoldsTheCredentialLogsOnAndItsCounterIsKept)
{
    MakeCredential();
    const DWORD before = StoredCount();
    EXPECT_EQ((LogonOutcome{ 0, TRUE }), Logon());
    EXPECT_EQ(L"", ProofLines());
    EXPECT_GT(StoredCount(), before);
    // The FIDO applet was asked, and the probe still followed.
    EXPECT_EQ(1u, VScardCountTransmits(FIDO_SELECT_COMMAND, FIDO_SELECT_COMMAND_BYTES));
    const BYTE initializeUpdate[] = { 0x80, 0x50, 0x00, 0x00, 0x08 };
    bool probed = false;
    for (DWORD i = 0; i < VScardRecordCount(); ++i)
    {
        VSCARD_RECORD record;
        if (VScardGetRecord(i, &record) && record.function == VSCARD_FN_TRANSMIT && record.commandLength == 13 &&
            memcmp(record.command, initializeUpdate, sizeof(initializeUpdate)) == 0)
            probed = true;
    }
    EXPECT_TRUE(probed);

    // Answers in parts, with GET RESPONSE only in the interindustry class.
    VScardSetFidoKnob(_token, VSCARD_FIDO_CHUNK, 40);
    VScardSetFidoKnob(_token, VSCARD_FIDO_REFUSE_GET_RESPONSE_80, 1);
    EXPECT_EQ((LogonOutcome{ 0, TRUE }), Logon());
}

TEST_F(SubAuthProof, EveryWayAProofFailsIsRefused)
{
    MakeCredential();
    static const BYTE otherSecret[] = { 1, 2, 3, 4 };
    const struct { const char* what; void (*arrange)(int token); const wchar_t* line; } cases[] = {
        { "a look-alike with the same serial", [](int t) { VScardSetDeviceSecret(t, otherSecret, sizeof(otherSecret)); },
          L"Token does not hold the credential\r\n" },
        { "no FIDO applet", [](int t) { VScardSetFidoKnob(t, VSCARD_FIDO_ABSENT, 0x6A82); },
          L"Token has no FIDO2 application\r\n" },
        { "no such instruction", [](int t) { VScardSetFidoKnob(t, VSCARD_FIDO_ABSENT, 0x6D00); },
          L"Token has no FIDO2 application\r\n" },
        { "U2F only", [](int t) { VScardSetFidoVersion(t, "U2F_V2"); VScardSetFidoKnob(t, VSCARD_FIDO_REFUSE_CTAP, 0x6D00); },
          L"Token has no FIDO2 application\r\n" },
        { "a SELECT that no transmission carries",
          [](int) { VScardFailCall(VSCARD_FN_TRANSMIT, SCARD_E_COMM_DATA_LOST, 3, FALSE); },
          L"Token proof failed: communication error 0x8010002F\r\n" },
        { "silent proof refused", [](int t) { VScardSetFidoKnob(t, VSCARD_FIDO_REFUSE_SILENT, 1); },
          L"Token proof failed: authenticator status 0x2C\r\n" },
        { "answer cut short", [](int t) { VScardSetFidoKnob(t, VSCARD_FIDO_DAMAGE_GET_ASSERTION, VSCARD_DAMAGE_CUT); },
          L"Token proof failed: malformed answer\r\n" },
        { "trailing byte", [](int t) { VScardSetFidoKnob(t, VSCARD_FIDO_DAMAGE_GET_ASSERTION, VSCARD_DAMAGE_TRAILING); },
          L"Token proof failed: malformed answer\r\n" },
        { "authenticator data changed",
          [](int t) { VScardSetFidoKnob(t, VSCARD_FIDO_DAMAGE_GET_ASSERTION, VSCARD_DAMAGE_AUTH_DATA_BIT); },
          L"Token proof failed: signature does not verify\r\n" },
        { "signature changed", [](int t) { VScardSetFidoKnob(t, VSCARD_FIDO_DAMAGE_GET_ASSERTION, VSCARD_DAMAGE_SIGNATURE_BIT); },
          L"Token proof failed: signature does not verify\r\n" },
    };
    for (const auto& c : cases)
    {
        VScardReset();
        _token = VScardAddReader(TOKEN_READER, TRUE);
        c.arrange(_token);
        testlog::Delete();
        const DWORD before = StoredCount();
        EXPECT_EQ((LogonOutcome{ PROOF_FAILED, TRUE }), Logon()) << c.what;
        EXPECT_EQ(c.line, ProofLines()) << c.what;
        EXPECT_EQ(before, StoredCount()) << c.what;
    }
}

// A copy of the key (its secret extracted) signs correctly but cannot know how far the
// original's counter has gone.
TEST_F(SubAuthProof, CounterThatDoesNotGrowIsAPossibleClone)
{
    MakeCredential();
    ASSERT_EQ((LogonOutcome{ 0, TRUE }), Logon());
    const DWORD stored = StoredCount();
    VScardSetFidoKnob(_token, VSCARD_FIDO_COUNTER_LAG, 1000);
    testlog::Delete();
    EXPECT_EQ((LogonOutcome{ PROOF_FAILED, TRUE }), Logon());
    const std::wstring prefix = L"Signature counter did not increase: stored " + std::to_wstring(stored) + L", presented ";
    EXPECT_EQ(prefix, ProofLines().substr(0, prefix.size())) << ProofLines();
    EXPECT_EQ(stored, StoredCount());

    // A key that never counts passes only while nothing was ever counted.
    VScardSetFidoKnob(_token, VSCARD_FIDO_COUNTER_LAG, 0);
    VScardSetFidoKnob(_token, VSCARD_FIDO_COUNTER_MODE, VSCARD_COUNTER_ZERO);
    EXPECT_EQ((LogonOutcome{ PROOF_FAILED, TRUE }), Logon());
    testreg::SetDword(testreg::Token(SERIAL), L"signCount", 0);
    EXPECT_EQ((LogonOutcome{ 0, TRUE }), Logon());
    EXPECT_EQ(0u, StoredCount());
}

TEST_F(SubAuthProof, TokenKnownByItsSerialPassesOnlyWhileProofIsNotRequired)
{
    const std::wstring accepted = L"Token has no credential; accepted by serial number\r\n";
    const std::wstring refused = L"Token has no credential and proof is required\r\n";
    const struct { const char* what; DWORD type; std::vector<BYTE> value; bool required; } settings[] = {
        { "absent", REG_NONE, {}, false },
        { "DWORD 1", REG_DWORD, { 1, 0, 0, 0 }, true },
        { "DWORD 0", REG_DWORD, { 0, 0, 0, 0 }, false },
        { "DWORD 2", REG_DWORD, { 2, 0, 0, 0 }, false },
        { "text 1", REG_SZ, { '1', 0, 0, 0 }, false },
        { "one byte 01", REG_BINARY, { 1 }, false },
    };
    for (const auto& setting : settings)
    {
        testreg::DeleteValue(testreg::Settings(), L"requireProof");
        if (setting.type != REG_NONE) testreg::SetRaw(testreg::Settings(), L"requireProof", setting.type, setting.value);
        testlog::Delete();
        const LogonOutcome expected = setting.required ? LogonOutcome{ PROOF_FAILED, TRUE } : LogonOutcome{ 0, TRUE };
        EXPECT_EQ(expected, Logon()) << setting.what;
        EXPECT_EQ(setting.required ? refused : accepted, ProofLines()) << setting.what;
    }
}

// Stored values of the wrong kind or size, or a key that is not a point of the curve,
// refuse the logon: they never crash it and never let it pass.
TEST_F(SubAuthProof, MalformedStoredCredentialsRefuseTheLogon)
{
    MakeCredential();
    const std::wstring token = testreg::Token(SERIAL);
    const std::string id = testreg::ReadAnsi(token, "credentialId");
    const std::string key = testreg::ReadAnsi(token, "publicKey");
    const auto bytes = [](const std::string& text) { return std::vector<BYTE>(text.begin(), text.end()); };
    std::vector<BYTE> offCurve(65, 0x01);
    offCurve[0] = 0x04;
    std::vector<BYTE> compressed = bytes(key);
    compressed[0] = 0x02;
    const struct { const char* what; const wchar_t* name; DWORD type; std::vector<BYTE> value; const wchar_t* line; } cases[] = {
        { "key of 64 bytes", L"publicKey", REG_BINARY, bytes(key.substr(0, 64)), L"stored credential malformed" },
        { "key as text", L"publicKey", REG_SZ, { 'A', 0, 0, 0 }, L"stored credential malformed" },
        { "key not uncompressed", L"publicKey", REG_BINARY, compressed, L"stored credential malformed" },
        // Windows refuses such a key on import; Wine imports it, and then nothing verifies.
        { "key off the curve", L"publicKey", REG_BINARY, offCurve, nullptr },
        { "empty credential ID", L"credentialId", REG_BINARY, {}, L"stored credential malformed" },
        { "credential ID of 1024 bytes", L"credentialId", REG_BINARY, std::vector<BYTE>(1024, 7), L"stored credential malformed" },
        { "credential ID as a number", L"credentialId", REG_DWORD, { 1, 0, 0, 0 }, L"stored credential malformed" },
        { "counter as text", L"signCount", REG_SZ, { '5', 0, 0, 0 }, L"stored credential malformed" },
        { "counter of 8 bytes", L"signCount", REG_QWORD, std::vector<BYTE>(8, 0), L"stored credential malformed" },
    };
    for (const auto& c : cases)
    {
        testreg::SetRaw(token, L"credentialId", REG_BINARY, bytes(id));
        testreg::SetRaw(token, L"publicKey", REG_BINARY, bytes(key));
        testreg::SetDword(token, L"signCount", 0);
        testreg::SetRaw(token, c.name, c.type, c.value);
        testlog::Delete();
        EXPECT_EQ((LogonOutcome{ PROOF_FAILED, TRUE }), Logon()) << c.what;
        if (c.line != nullptr)
            EXPECT_EQ(std::wstring(L"Token proof failed: ") + c.line + L"\r\n", ProofLines()) << c.what;
        else
            EXPECT_EQ(0u, ProofLines().find(L"Token proof failed: ")) << c.what << ProofLines();
    }
    // One of the two without the other is not a credential either.
    testreg::SetRaw(token, L"publicKey", REG_BINARY, bytes(key));
    testreg::DeleteValue(token, L"credentialId");
    EXPECT_EQ((LogonOutcome{ PROOF_FAILED, TRUE }), Logon());
    testreg::SetRaw(token, L"credentialId", REG_BINARY, bytes(id));
    testreg::DeleteValue(token, L"publicKey");
    EXPECT_EQ((LogonOutcome{ PROOF_FAILED, TRUE }), Logon());
}

// Keys that would hold the logon: each logon ends by the deadline (5 s) and a second, and
// two seconds after the deadline no thread of it is left and the key hears nothing more.
TEST_F(SubAuthProof, HostileKeysNeverHoldTheLogon)
{
    MakeCredential();
    ASSERT_EQ((LogonOutcome{ 0, TRUE }), Logon()); // whatever the first logon starts for good
    const std::wstring slow = L"Token did not answer in time\r\n";
    const struct { const char* what; int knob; DWORD value; bool holdTransaction; NTSTATUS status; std::wstring lines; } cases[] = {
        { "61 10 without data for ever", VSCARD_FIDO_ENDLESS_MORE_DATA, 1, false, PROOF_FAILED,
          L"Token proof failed: malformed answer\r\n" },
        { "a command that never ends", VSCARD_FIDO_BUSY, 1, false, PROOF_FAILED, slow },
        { "an answer after the deadline", VSCARD_FIDO_ASSERTION_DELAY_MS, 6500, false, PROOF_FAILED, slow },
        { "a transaction another program holds", VSCARD_FIDO_CHUNK, 256, true, CONNECT_FAILED, L"<no token path>" },
    };
    for (const auto& c : cases)
    {
        VScardSetFidoKnob(_token, c.knob, c.value);
        SCARDCONTEXT holder = 0;
        SCARDHANDLE held = 0;
        if (c.holdTransaction)
        {
            DWORD protocol = 0;
            ASSERT_EQ(SCARD_S_SUCCESS, SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &holder));
            ASSERT_EQ(SCARD_S_SUCCESS, SCardConnectW(holder, TOKEN_READER, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &held, &protocol));
            ASSERT_EQ(SCARD_S_SUCCESS, SCardBeginTransaction(held));
        }
        testlog::Delete();
        const DWORD threadsBefore = CountProcessThreads();
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ((LogonOutcome{ c.status, TRUE }), Logon()) << c.what;
        EXPECT_LE(GetTickCount64() - start, 6000u) << c.what;
        if (!c.holdTransaction) EXPECT_EQ(c.lines, ProofLines()) << c.what;
        else EXPECT_NE(std::wstring::npos, testlog::ReadText().find(slow)) << testlog::ReadText();

        EXPECT_LE(WaitForProcessThreadsAtMost(threadsBefore, start + 7000), threadsBefore) << c.what;
        const DWORD transmits = VScardCountTransmits(nullptr, 0);
        Sleep(300);
        EXPECT_EQ(transmits, VScardCountTransmits(nullptr, 0)) << c.what;
        EXPECT_EQ(c.holdTransaction ? 1u : 0u, VScardOpenCards()) << c.what;
        if (c.holdTransaction)
        {
            SCardEndTransaction(held, SCARD_LEAVE_CARD);
            SCardDisconnect(held, SCARD_LEAVE_CARD);
            SCardReleaseContext(holder);
        }
        VScardSetFidoKnob(_token, c.knob, c.knob == VSCARD_FIDO_CHUNK ? 256 : 0);
    }
    // The key is well again: the next logon passes.
    EXPECT_EQ((LogonOutcome{ 0, TRUE }), Logon());
}

// A key whose transmissions never return keeps each session it was given up on; a few of
// them (two) are allowed, then logons are refused at once rather than leave more threads behind,
// until the key lets go (here: it is pulled).
TEST_F(SubAuthProof, KeyThatNeverLetsGoStopsGettingNewSessions)
{
    MakeCredential();
    testreg::SetDword(testreg::Settings(), L"loggingEnabled", 0);
    VScardSetFidoKnob(_token, VSCARD_FIDO_ASSERTION_DELAY_MS, 60000);
    // Without transactions each session waits for its own transmission.
    VScardFailCall(VSCARD_FN_BEGIN_TRANSACTION, SCARD_E_SHARING_VIOLATION, 1, TRUE);
    const DWORD threadsBefore = CountProcessThreads();
    for (int i = 0; i < 2; ++i) EXPECT_EQ((LogonOutcome{ PROOF_FAILED, TRUE }), Logon()) << i;

    testreg::SetDword(testreg::Settings(), L"loggingEnabled", 1);
    testlog::Delete();
    const DWORD transmits = VScardCountTransmits(nullptr, 0);
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ((LogonOutcome{ CONNECT_FAILED, TRUE }), Logon());
    EXPECT_LT(GetTickCount64() - start, 1000u);
    EXPECT_EQ(transmits, VScardCountTransmits(nullptr, 0));
    EXPECT_NE(std::wstring::npos,
              testlog::ReadText().find(L"Earlier token sessions are still held by an unresponsive token\r\n"));

    VScardRemoveToken(_token);
    EXPECT_LE(WaitForProcessThreadsAtMost(threadsBefore, GetTickCount64() + 2000), threadsBefore);
    VScardInsertToken(_token);
    VScardSetFidoKnob(_token, VSCARD_FIDO_ASSERTION_DELAY_MS, 0);
    VScardFailCall(VSCARD_FN_BEGIN_TRANSACTION, SCARD_E_SHARING_VIOLATION, 0, FALSE);
    EXPECT_EQ((LogonOutcome{ 0, TRUE }), Logon());
}

// A key that answers U2F_V2 to the SELECT may still speak CTAP2; only its refusal of the
// CTAP2 message says it cannot prove here.
TEST_F(SubAuthProof, KeyAnsweringU2fV2ProvesWhenItSpeaksCtap2)
{
    MakeCredential();
    VScardSetFidoVersion(_token, "U2F_V2");
    EXPECT_EQ((LogonOutcome{ 0, TRUE }), Logon());
    for (const DWORD refusal : { 0x6D00u, 0x6E00u, 0x6985u })
    {
        VScardSetFidoKnob(_token, VSCARD_FIDO_REFUSE_CTAP, refusal);
        testlog::Delete();
        EXPECT_EQ((LogonOutcome{ PROOF_FAILED, TRUE }), Logon()) << refusal;
        EXPECT_EQ(L"Token has no FIDO2 application\r\n", ProofLines()) << refusal;
    }
}

// Logons with one key at the same time each present a higher counter than the one stored
// before their exchange: all pass, and the stored counter ends at the highest.
TEST_F(SubAuthProof, ConcurrentLogonsWithOneKeyAllPassAndTheCounterOnlyGrows)
{
    testreg::SetDword(testreg::Settings(), L"loggingEnabled", 0);
    VScardSetFidoKnob(_token, VSCARD_FIDO_COUNTER_START, 100);
    MakeCredential();
    const DWORD start = StoredCount();
    constexpr int THREADS = 8;
    constexpr int ROUNDS = 6;
    const std::vector<int> wrong = FailedConcurrentLogons(s_pfnFilter, L"alice", THREADS, ROUNDS);
    for (int t = 0; t < THREADS; ++t) EXPECT_EQ(0, wrong[static_cast<size_t>(t)]) << "thread " << t;
    EXPECT_EQ(start + THREADS * ROUNDS, StoredCount());
}
