// Every decision of the package, through its exported filter as MSV1_0 calls it,
// against the real registry, the real log file and the virtual PC/SC stack.
#include "ConfigStore.h"
#include "ImportPatch.h"
#include "LogonHarness.h"
#include "RecoveryStore.h"
#include "TestLogFile.h"
#include "TestRegistry.h"
#include "VirtualSCard.h"

#include <aclapi.h>
#include <winscard.h>
#include <sddl.h>

#include <initializer_list>
#include <thread>
#include <vector>

namespace
{
    const wchar_t TOKEN_READER[] = L"Halvane Velkor FIDO2 Security Key 0";
    const wchar_t OTHER_READER[] = L"Generic USB Smart Card Reader 0";
    const wchar_t CODE[] = L"A1B2C3D4E5F60718293A4B5C6D7E8F90";
    const char VERIFIER[] = "4C66E363557147242581FFBEBF20742A133BCF69E25086C25456924A9D9BA520";

    const BYTE SELECT_NO_NAME[] = { 0x00, 0xA4, 0x04, 0x00 };
    const BYTE GET_DATA_CPLC[] = { 0x80, 0xCA, 0x9F, 0x7F, 0x00 };
    const BYTE SELECT_OTP_APPLET[] = { 0x00, 0xA4, 0x04, 0x00, 0x09, 0x4A, 0x4E, 0x45, 0x54, 0x5F, 0x4F, 0x54, 0x50, 0x01 };
    const BYTE GET_DATA_BF52[] = { 0x80, 0xCA, 0xBF, 0x52, 0x00, 0x00, 0x00 };

    std::wstring Lines(std::initializer_list<const wchar_t*> lines)
    {
        std::wstring text;
        for (const wchar_t* line : lines) text += line;
        return text;
    }

    // The log of one logon up to and including the user gate.
    std::wstring GatesPassed(const std::wstring& user)
    {
        return L"<date>\n\r\nUser: " + user + L"\r\nCP enabled\r\nsafeboot and enabled\r\nFIDO2 auth enabled for user\r\n";
    }

    std::vector<VSCARD_RECORD> Transmits()
    {
        std::vector<VSCARD_RECORD> transmits;
        for (DWORD i = 0; i < VScardRecordCount(); ++i)
        {
            VSCARD_RECORD record;
            if (VScardGetRecord(i, &record) && record.function == VSCARD_FN_TRANSMIT) transmits.push_back(record);
        }
        return transmits;
    }

    std::vector<BYTE> CommandOf(const VSCARD_RECORD& record)
    {
        return std::vector<BYTE>(record.command, record.command + record.commandLength);
    }

    template <size_t N>
    std::vector<BYTE> Bytes(const BYTE (&bytes)[N])
    {
        return std::vector<BYTE>(bytes, bytes + N);
    }

    class SubAuthLogon : public CPackageTest
    {
    protected:


        void SetUp() override
        {
            ASSERT_NE(nullptr, s_pfnFilter);
            ASSERT_NE(nullptr, s_pfnRoutine);
            testreg::Reset();
            testlog::Delete();
            VScardReset();
            ResetPackageClock();
        }

        void TearDown() override
        {
            EXPECT_EQ(0u, VScardOpenContexts()) << "a PC/SC context was left open";
            EXPECT_EQ(0u, VScardOpenCards()) << "a card connection was left open";
            EXPECT_EQ(0u, VScardOutstandingAllocations()) << "a reader list was not freed";
            testreg::DeleteTree();
            testlog::Delete();
        }

        static LogonOutcome Logon(const std::wstring& user)
        {
            return CallLogon(s_pfnFilter, user);
        }

        // alice has the factor on, the token 1234ABCD and logging.
        static void AliceWithToken()
        {
            testreg::EnableUser(L"alice", true);
            testreg::AssociateToken(L"1234ABCD", L"alice");
            VScardAddReader(TOKEN_READER, TRUE);
        }

        static void TypedCode(const std::wstring& user, const std::wstring& code)
        {
            testreg::SetString(testreg::User(user), L"sec", code);
        }

        static void StoredVerifier(const std::wstring& user, const std::string& verifier)
        {
            testreg::SetAnsi(testreg::User(user), "Recovery", verifier + '\0');
        }

    };

}

TEST_F(SubAuthLogon, MachineSwitchOffLetsEveryoneThrough)
{
    testreg::SetDword(testreg::Settings(), L"loggingEnabled", 1);
    testreg::SetDword(testreg::User(L"alice"), L"enabled", 1);
    for (DWORD value : { 0u, 2u })
    {
        testlog::Delete();
        testreg::SetDword(testreg::Settings(), L"enabled", value);
        EXPECT_EQ((LogonOutcome{ 0, FALSE }), Logon(L"alice"));
        EXPECT_EQ(L"<date>\n\r\nUser: alice\r\nnot enabled.\r\n", testlog::ReadTextWithoutDates());
    }
    EXPECT_EQ(0u, VScardRecordCount()) << "no smart-card activity";
}

TEST_F(SubAuthLogon, UserSwitchOffLetsTheUserThrough)
{
    testreg::EnableUser(L"alice", true);
    EXPECT_EQ((LogonOutcome{ 0, FALSE }), Logon(L"bob"));
    EXPECT_EQ(L"<date>\n\r\nUser: bob\r\nCP enabled\r\nsafeboot and enabled\r\nFIDO2 auth not enabled for user.\r\n",
              testlog::ReadTextWithoutDates());
    EXPECT_EQ(0u, VScardRecordCount());
}

TEST_F(SubAuthLogon, TokenOfTheUserIsAccepted)
{
    AliceWithToken();
    EXPECT_EQ((LogonOutcome{ 0, TRUE }), Logon(L"alice"));
    EXPECT_EQ(GatesPassed(L"alice") + Lines({ L"Reader: Halvane Velkor FIDO2 Security Key 0\r\n", L"tokenCount: 1\r\n",
                                             L"Velkor FIDO2 Token detected\r\n", L"Serial number: 1234ABCD\r\n",
                                             L"uname from registry: alice\r\n",
                                             L"Token has no credential; accepted by serial number\r\n",
                                             L"returnVal 0x00000000 *Authoritative 1\r\n" }),
              testlog::ReadTextWithoutDates());

    // Two commands for the serial, three for the probe.
    const auto transmits = Transmits();
    ASSERT_EQ(5u, transmits.size());
    EXPECT_EQ(Bytes(SELECT_NO_NAME), CommandOf(transmits[0]));
    EXPECT_EQ(Bytes(GET_DATA_CPLC), CommandOf(transmits[1]));
    EXPECT_EQ(Bytes(SELECT_OTP_APPLET), CommandOf(transmits[2]));
    EXPECT_EQ(Bytes(GET_DATA_BF52), CommandOf(transmits[3]));
    ASSERT_EQ(13u, transmits[4].commandLength);
    EXPECT_EQ((std::vector<BYTE>{ 0x80, 0x50, 0x00, 0x00, 0x08 }), std::vector<BYTE>(transmits[4].command, transmits[4].command + 5));

    VSCARD_RECORD connect = {};
    for (DWORD i = 0; i < VScardRecordCount(); ++i)
    {
        VScardGetRecord(i, &connect);
        if (connect.function == VSCARD_FN_CONNECT_W) break;
    }
    EXPECT_EQ(static_cast<DWORD>(SCARD_SHARE_SHARED), connect.shareMode);
    EXPECT_EQ(static_cast<DWORD>(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1), connect.preferredProtocols);
}

TEST_F(SubAuthLogon, TokenUnderT0IsReadWithTheT0Header)
{
    AliceWithToken();
    VScardSetProtocol(0, SCARD_PROTOCOL_T0);
    EXPECT_EQ((LogonOutcome{ 0, TRUE }), Logon(L"alice"));
    const auto transmits = Transmits();
    ASSERT_EQ(5u, transmits.size());
    for (const auto& transmit : transmits) EXPECT_EQ(static_cast<DWORD>(SCARD_PROTOCOL_T0), transmit.sendProtocol);
}

TEST_F(SubAuthLogon, NoSmartCardServiceMeansNoToken)
{
    AliceWithToken();
    VScardFailCall(VSCARD_FN_ESTABLISH_CONTEXT, static_cast<LONG>(SCARD_E_NO_SERVICE), 1, FALSE);
    EXPECT_EQ((LogonOutcome{ NO_TOKEN, TRUE }), Logon(L"alice"));
    EXPECT_EQ(GatesPassed(L"alice") + Lines({ L"Smart card service unavailable: 0x8010001D\r\n",
                                             L"returnVal 0xFFFF0011 *Authoritative 1\r\n" }),
              testlog::ReadTextWithoutDates());
}

TEST_F(SubAuthLogon, NoReaderMeansNoToken)
{
    AliceWithToken();
    VScardReset(); // no reader at all
    EXPECT_EQ((LogonOutcome{ NO_TOKEN, TRUE }), Logon(L"alice"));
    EXPECT_EQ(GatesPassed(L"alice") + Lines({ L"No readers found\r\n", L"returnVal 0xFFFF0011 *Authoritative 1\r\n" }),
              testlog::ReadTextWithoutDates());

    testlog::Delete();
    VScardAddReader(TOKEN_READER, TRUE);
    VScardFailCall(VSCARD_FN_LIST_READERS_W, static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE), 1, FALSE);
    EXPECT_EQ((LogonOutcome{ NO_TOKEN, TRUE }), Logon(L"alice"));
    EXPECT_EQ(0u, VScardCountConnects(nullptr));
}

TEST_F(SubAuthLogon, OrdinaryReaderIsNoToken)
{
    AliceWithToken();
    VScardReset();
    VScardAddReader(OTHER_READER, TRUE);
    VScardAddReader(L"halvane velkor fido2 security key 0", TRUE); // letter case differs
    EXPECT_EQ((LogonOutcome{ NO_TOKEN, TRUE }), Logon(L"alice"));
    EXPECT_EQ(GatesPassed(L"alice") + Lines({ L"Reader: Generic USB Smart Card Reader 0\r\n", L"no match\r\n",
                                             L"Reader: halvane velkor fido2 security key 0\r\n", L"no match\r\n",
                                             L"tokenCount: 0\r\n", L"No token detected\r\n",
                                             L"returnVal 0xFFFF0011 *Authoritative 1\r\n" }),
              testlog::ReadTextWithoutDates());
    EXPECT_EQ(0u, VScardCountConnects(nullptr));
}

TEST_F(SubAuthLogon, TwoTokensAreRefusedWithoutConnectingEither)
{
    AliceWithToken();
    VScardAddReader(L"Halvane Velkor FIDO2 Security Key 1", TRUE);
    EXPECT_EQ((LogonOutcome{ MULTIPLE_TOKENS, TRUE }), Logon(L"alice"));
    EXPECT_EQ(0u, VScardCountConnects(nullptr));
    EXPECT_EQ(GatesPassed(L"alice") + Lines({ L"Reader: Halvane Velkor FIDO2 Security Key 0\r\n",
                                             L"Reader: Halvane Velkor FIDO2 Security Key 1\r\n", L"tokenCount: 2\r\n",
                                             L"More than one token detected\r\n",
                                             L"returnVal 0xFFFF0012 *Authoritative 1\r\n" }),
              testlog::ReadTextWithoutDates());
}

TEST_F(SubAuthLogon, OrdinaryReaderBesideTheTokenIsOnlyListed)
{
    testreg::EnableUser(L"alice", true);
    testreg::AssociateToken(L"1234ABCD", L"alice");
    VScardAddReader(OTHER_READER, TRUE);
    VScardAddReader(TOKEN_READER, TRUE);
    EXPECT_EQ((LogonOutcome{ 0, TRUE }), Logon(L"alice"));
    EXPECT_EQ(0u, VScardCountConnects(OTHER_READER));
    EXPECT_EQ(1u, VScardCountConnects(TOKEN_READER));
    EXPECT_NE(std::wstring::npos, testlog::ReadText().find(L"Reader: Generic USB Smart Card Reader 0\r\nno match\r\n"
                                                            L"Reader: Halvane Velkor FIDO2 Security Key 0\r\ntokenCount: 1\r\n"));
}

TEST_F(SubAuthLogon, FailedConnectionIsReportedWithItsCode)
{
    AliceWithToken();
    VScardFailCall(VSCARD_FN_CONNECT_W, static_cast<LONG>(SCARD_W_REMOVED_CARD), 1, FALSE);
    EXPECT_EQ((LogonOutcome{ CONNECT_FAILED, TRUE }), Logon(L"alice"));
    EXPECT_EQ(GatesPassed(L"alice") + Lines({ L"Reader: Halvane Velkor FIDO2 Security Key 0\r\n", L"tokenCount: 1\r\n",
                                             L"Velkor FIDO2 Token detected\r\n", L"Connect failed: 80100069\r\n",
                                             L"returnVal 0xFFFF0013 *Authoritative 1\r\n" }),
              testlog::ReadTextWithoutDates());
    EXPECT_EQ(0u, Transmits().size());

    // A token reader with no card in it.
    testlog::Delete();
    VScardRemoveToken(0);
    EXPECT_EQ((LogonOutcome{ CONNECT_FAILED, TRUE }), Logon(L"alice"));
    EXPECT_NE(std::wstring::npos, testlog::ReadText().find(L"Connect failed: 8010000C\r\n"));
}

TEST_F(SubAuthLogon, TokenReaderNameTooLongToHoldIsRefusedNotCut)
{
    testreg::EnableUser(L"alice", true);
    testreg::AssociateToken(L"1234ABCD", L"alice");
    const std::wstring longName = std::wstring(TOKEN_READER) + L" " + std::wstring(40, L'x');
    VScardAddReader(longName.c_str(), TRUE);
    EXPECT_EQ((LogonOutcome{ CONNECT_FAILED, TRUE }), Logon(L"alice"));
    EXPECT_EQ(0u, VScardCountConnects(nullptr));
    EXPECT_NE(std::wstring::npos, testlog::ReadText().find(L"Reader: " + longName + L"\r\n"));
    EXPECT_NE(std::wstring::npos, testlog::ReadText().find(L"Connect failed: 80100009\r\n"));
}

TEST_F(SubAuthLogon, TokenOfNobodyIsRefusedAuthoritatively)
{
    testreg::EnableUser(L"alice", true);
    VScardAddReader(TOKEN_READER, TRUE);
    EXPECT_EQ((LogonOutcome{ WRONG_USER, TRUE }), Logon(L"alice"));
    EXPECT_EQ(GatesPassed(L"alice") + Lines({ L"Reader: Halvane Velkor FIDO2 Security Key 0\r\n", L"tokenCount: 1\r\n",
                                             L"Velkor FIDO2 Token detected\r\n", L"Serial number: 1234ABCD\r\n",
                                             L"No user associated with token\r\n",
                                             L"returnVal 0xFFFF0015 *Authoritative 1\r\n" }),
              testlog::ReadTextWithoutDates());
    EXPECT_EQ(2u, Transmits().size()) << "no probe for a token of nobody";

    // A user value too long for its buffer counts as absent.
    testreg::SetAnsi(testreg::Token(L"1234ABCD"), "user", std::string(128, 'a') + '\0');
    EXPECT_EQ((LogonOutcome{ WRONG_USER, TRUE }), Logon(L"alice"));
}

TEST_F(SubAuthLogon, TokenOfAnotherUserIsRefused)
{
    AliceWithToken();
    testreg::SetDword(testreg::User(L"bob"), L"enabled", 1);
    EXPECT_EQ((LogonOutcome{ WRONG_USER, FALSE }), Logon(L"bob"));
    EXPECT_EQ(GatesPassed(L"bob") + Lines({ L"Reader: Halvane Velkor FIDO2 Security Key 0\r\n", L"tokenCount: 1\r\n",
                                           L"Velkor FIDO2 Token detected\r\n", L"Serial number: 1234ABCD\r\n",
                                           L"uname from registry: alice\r\n", L"Token is not for this user\r\n",
                                           L"returnVal 0xFFFF0015 *Authoritative 0\r\n" }),
              testlog::ReadTextWithoutDates());

    // The comparison is exact: the key lookup ignores case, the owner check does not.
    EXPECT_EQ((LogonOutcome{ WRONG_USER, FALSE }), Logon(L"ALICE"));
}

TEST_F(SubAuthLogon, UnreadableSerialIsNeverLookedUp)
{
    AliceWithToken();
    // Traps for a lookup under an empty or made-up serial.
    testreg::SetAnsi(L"SOFTWARE\\Halvane\\FIDO2\\auth\\tokens", "user", std::string("alice") + '\0');
    testreg::AssociateToken(L"00000000", L"alice");

    const BYTE notFound[] = { 0x6A, 0x88 };
    VScardSetAnswer(0, VSCARD_CMD_GET_CPLC, notFound, sizeof(notFound));
    EXPECT_EQ((LogonOutcome{ WRONG_USER, TRUE }), Logon(L"alice"));
    EXPECT_EQ(GatesPassed(L"alice") + Lines({ L"Reader: Halvane Velkor FIDO2 Security Key 0\r\n", L"tokenCount: 1\r\n",
                                             L"Velkor FIDO2 Token detected\r\n", L"Serial number: \r\n",
                                             L"No user associated with token\r\n",
                                             L"returnVal 0xFFFF0015 *Authoritative 1\r\n" }),
              testlog::ReadTextWithoutDates());

    const BYTE bare[] = { 0x90, 0x00 };
    VScardSetAnswer(0, VSCARD_CMD_GET_CPLC, bare, sizeof(bare));
    EXPECT_EQ((LogonOutcome{ WRONG_USER, TRUE }), Logon(L"alice"));

    // Pulled right after the SELECT.
    VScardSetDefaultAnswer(0, VSCARD_CMD_GET_CPLC);
    VScardPullTokenAfterTransmits(0, 1);
    EXPECT_EQ((LogonOutcome{ WRONG_USER, TRUE }), Logon(L"alice"));
}

TEST_F(SubAuthLogon, ProbeOutcomeDoesNotMatter)
{
    AliceWithToken();
    const BYTE noApplet[] = { 0x6A, 0x82 };
    VScardSetAnswer(0, VSCARD_CMD_SELECT_OTP, noApplet, sizeof(noApplet));
    EXPECT_EQ((LogonOutcome{ 0, TRUE }), Logon(L"alice"));
    EXPECT_EQ(3u, Transmits().size()) << "nothing after a refused applet SELECT";

    VScardClearRecord();
    VScardSetDefaultAnswer(0, VSCARD_CMD_SELECT_OTP);
    VScardSetAnswer(0, VSCARD_CMD_GET_BF52, noApplet, sizeof(noApplet));
    EXPECT_EQ((LogonOutcome{ 0, TRUE }), Logon(L"alice"));
    EXPECT_EQ(4u, Transmits().size());

    // Pulled after the serial was read: the probe fails, the user matched.
    VScardClearRecord();
    VScardSetDefaultAnswer(0, VSCARD_CMD_GET_BF52);
    VScardPullTokenAfterTransmits(0, 2);
    EXPECT_EQ((LogonOutcome{ 0, TRUE }), Logon(L"alice"));
}

TEST_F(SubAuthLogon, RecoveryCodeOpensTheDoorWithoutTheToken)
{
    testreg::EnableUser(L"alice", true);
    TypedCode(L"alice", CODE);
    StoredVerifier(L"alice", VERIFIER);
    EXPECT_EQ((LogonOutcome{ 0, FALSE }), Logon(L"alice"));
    EXPECT_EQ(GatesPassed(L"alice") +
                  L"Login with recovery key\r\nsecKey = [A1B2C3D4E5F60718293A4B5C6D7E8F90] secKeyLength = 33\r\n"
                  L"Recovery key pulled\r\nrecoveryKey = [" + std::wstring(VERIFIER, VERIFIER + 64) +
                  L"] recoveryKeyLength = 65\r\nRecovery key matched\r\n",
              testlog::ReadTextWithoutDates());
    EXPECT_EQ(0u, VScardRecordCount()) << "no smart-card activity at all";

    // Typed in either case.
    std::wstring lower = CODE;
    for (auto& ch : lower) ch = static_cast<wchar_t>(towlower(ch));
    TypedCode(L"alice", lower);
    EXPECT_EQ((LogonOutcome{ 0, FALSE }), Logon(L"alice"));
}

// A typed code is handed over for one logon. LogonUI does not always report the result to
// the tile that wrote it (Credential UI prompts never do), so the package takes it out of
// the store itself, before judging it: no later logon, of any kind, finds it.
TEST_F(SubAuthLogon, TypedCodeServesOneLogonWhateverItsOutcome)
{
    testreg::EnableUser(L"alice", false);
    const struct { const wchar_t* typed; bool verifierStored; LogonOutcome expected; } cases[] = {
        { CODE, true, { 0, FALSE } },
        { L"A1B2C3D4E5F60718293A4B5C6D7E8F91", true, { RECOVERY_FAILED, TRUE } },
        { CODE, false, { RECOVERY_FAILED, TRUE } },
        { L"", true, { RECOVERY_FAILED, TRUE } },
    };
    for (const auto& c : cases)
    {
        PackageClock::ForgetRecentRefusals(); // the token logon that ended the last round
        testreg::DeleteValue(testreg::User(L"alice"), L"Recovery");
        if (c.verifierStored) StoredVerifier(L"alice", VERIFIER);
        TypedCode(L"alice", c.typed);
        EXPECT_EQ(c.expected, Logon(L"alice")) << c.typed;
        EXPECT_FALSE(testreg::ValueExists(testreg::User(L"alice"), L"sec")) << c.typed;
        EXPECT_EQ((LogonOutcome{ NO_TOKEN, TRUE }), Logon(L"alice")) << "the next logon needs the token";
    }
}

// Only a person at the logon screen types a code: a network, service or generic logon of
// the same account neither uses a waiting code nor takes it away.
TEST_F(SubAuthLogon, OnlyInteractiveLogonsTakeTheRecoveryPath)
{
    testreg::EnableUser(L"alice", false);
    StoredVerifier(L"alice", VERIFIER);
    const struct { NETLOGON_LOGON_INFO_CLASS level; bool interactive; } levels[] = {
        { NetlogonInteractiveInformation, true },        { NetlogonInteractiveTransitiveInformation, true },
        { NetlogonNetworkInformation, false },           { NetlogonNetworkTransitiveInformation, false },
        { NetlogonServiceInformation, false },           { NetlogonServiceTransitiveInformation, false },
        { NetlogonGenericInformation, false },
    };
    for (const auto& l : levels)
    {
        TypedCode(L"alice", CODE);
        const LogonOutcome expected = l.interactive ? LogonOutcome{ 0, FALSE } : LogonOutcome{ NO_TOKEN, TRUE };
        EXPECT_EQ(expected, CallLogon(s_pfnFilter, L"alice", l.level)) << l.level;
        EXPECT_EQ(!l.interactive, testreg::ValueExists(testreg::User(L"alice"), L"sec")) << l.level;
    }
}

// settings\networkLogons as the REG_DWORD 1 lets the network logon levels of a protected
// account through without a token (file shares, remote management); every other level, and
// every other value, keeps the token path.
TEST_F(SubAuthLogon, NetworkLogonsPassWithoutATokenOnlyByPolicy)
{
    testreg::EnableUser(L"alice", true);
    const NETLOGON_LOGON_INFO_CLASS levels[] = {
        NetlogonInteractiveInformation, NetlogonInteractiveTransitiveInformation, NetlogonNetworkInformation,
        NetlogonNetworkTransitiveInformation, NetlogonServiceInformation, NetlogonServiceTransitiveInformation,
        NetlogonGenericInformation,
    };
    const struct { const char* label; DWORD type; std::vector<BYTE> data; bool opens; } policies[] = {
        { "absent", REG_NONE, {}, false },
        { "REG_DWORD 1", REG_DWORD, { 1, 0, 0, 0 }, true },
        { "REG_DWORD 0", REG_DWORD, { 0, 0, 0, 0 }, false },
        { "REG_DWORD 2", REG_DWORD, { 2, 0, 0, 0 }, false },
        { "REG_SZ 1", REG_SZ, { '1', 0 }, false },
        { "REG_BINARY 01 00 00 00", REG_BINARY, { 1, 0, 0, 0 }, false },
    };
    for (const auto& policy : policies)
    {
        testreg::DeleteValue(testreg::Settings(), L"networkLogons");
        if (policy.type != REG_NONE) testreg::SetRaw(testreg::Settings(), L"networkLogons", policy.type, policy.data);
        for (NETLOGON_LOGON_INFO_CLASS level : levels)
        {
            testlog::Delete();
            const bool network = level == NetlogonNetworkInformation || level == NetlogonNetworkTransitiveInformation;
            const bool passes = policy.opens && network;
            const LogonOutcome expected = passes ? LogonOutcome{ 0, FALSE } : LogonOutcome{ NO_TOKEN, TRUE };
            EXPECT_EQ(expected, CallLogon(s_pfnFilter, L"alice", level))
                << policy.label << ", level " << level;
            if (passes)
            {
                EXPECT_EQ(GatesPassed(L"alice") + L"Network logon passed by policy\r\n", testlog::ReadTextWithoutDates());
            }
        }
    }
    // An account without the factor never gets this far.
    testreg::SetDword(testreg::Settings(), L"networkLogons", 1);
    testlog::Delete();
    EXPECT_EQ((LogonOutcome{ 0, FALSE }), CallLogon(s_pfnFilter, L"bob", NetlogonNetworkInformation));
    EXPECT_EQ(std::wstring::npos, testlog::ReadText().find(L"Network logon passed by policy"));
}

namespace
{
    LONG WINAPI RefuseDeleteValue(HKEY, LPCWSTR, LPCWSTR) { return ERROR_ACCESS_DENIED; }
}

// A code the package cannot take out of the store would open the door again later: it is
// not used at all.
TEST_F(SubAuthLogon, TypedCodeThatCannotBeRemovedIsNotUsed)
{
    testreg::EnableUser(L"alice", true);
    StoredVerifier(L"alice", VERIFIER);
    TypedCode(L"alice", CODE);
    CImportPatch refuse("ADVAPI32.dll", "RegDeleteKeyValueW", reinterpret_cast<void*>(&RefuseDeleteValue), s_hModule);
    ASSERT_TRUE(refuse.IsActive());
    EXPECT_EQ((LogonOutcome{ RECOVERY_FAILED, TRUE }), Logon(L"alice"));
    EXPECT_EQ(GatesPassed(L"alice") + L"Login with recovery key\r\nRecovery key could not be removed\r\n",
              testlog::ReadTextWithoutDates());
    // Expired, it is not used either, removed or not: the token decides.
    PackageClock::ShiftSystemTime(31);
    EXPECT_EQ((LogonOutcome{ NO_TOKEN, TRUE }), Logon(L"alice"));
}

// The logon a code was typed for reads it within moments of the tile storing it. One that
// waited longer was left behind: it is thrown away unread and the token decides. Its age
// is the user key's, read before the package itself changes the key.
TEST_F(SubAuthLogon, TypedCodeOlderThanThirtySecondsIsDiscardedAndTheTokenDecides)
{
    AliceWithToken();
    StoredVerifier(L"alice", VERIFIER);
    ASSERT_TRUE(PackageClock::s_pTimePatch->IsActive());
    const struct { int secondsLater; LogonOutcome expected; } ages[] = {
        { 29, { 0, FALSE } },  // the code
        { 31, { 0, TRUE } },   // the token
        { 86400, { 0, TRUE } },
        { -5, { 0, TRUE } },   // the clock went back since: no age can be told
    };
    for (const auto& age : ages)
    {
        testlog::Delete();
        TypedCode(L"alice", CODE);
        PackageClock::ShiftSystemTime(age.secondsLater);
        EXPECT_EQ(age.expected, Logon(L"alice")) << age.secondsLater;
        EXPECT_FALSE(testreg::ValueExists(testreg::User(L"alice"), L"sec")) << age.secondsLater;
        const bool expired = age.expected.authoritative == TRUE;
        EXPECT_EQ(expired, testlog::ReadText().find(L"FIDO2 auth enabled for user\r\nRecovery key expired\r\nReader: ") !=
                               std::wstring::npos)
            << age.secondsLater;
    }
}

// Someone who knows the password can loop password-only logons of the account to catch a
// code the moment the owner's tile stores it. Each of those logons is refused without the
// token; a code that arrives within 3 s of such a refusal is thrown away unused.
TEST_F(SubAuthLogon, RecoveryCodeMomentsAfterARefusedLogonOfTheAccountIsRefused)
{
    testreg::EnableUser(L"alice", true);
    testreg::SetDword(testreg::User(L"bob"), L"enabled", 1);
    StoredVerifier(L"alice", VERIFIER);
    const struct { const wchar_t* refused; NETLOGON_LOGON_INFO_CLASS level; ULONGLONG msLater; bool bars; } cases[] = {
        { L"alice", NetlogonInteractiveInformation, 0, true },
        { L"alice", NetlogonInteractiveInformation, 2900, true },
        { L"ALICE", NetlogonInteractiveInformation, 0, true },   // one account, as the registry sees it
        { L"alice", NetlogonInteractiveInformation, 3001, false },
        { L"alice", NetlogonNetworkInformation, 0, false },      // could not have taken a code
        { L"bob", NetlogonInteractiveInformation, 0, false },
    };
    for (const auto& c : cases)
    {
        PackageClock::ForgetRecentRefusals();
        EXPECT_EQ(NO_TOKEN, CallLogon(s_pfnFilter, c.refused, c.level).status);
        PackageClock::AdvanceTicks(c.msLater);
        testlog::Delete();
        TypedCode(L"alice", CODE);
        const LogonOutcome expected = c.bars ? LogonOutcome{ RECOVERY_FAILED, TRUE } : LogonOutcome{ 0, FALSE };
        EXPECT_EQ(expected, Logon(L"alice")) << c.refused << " " << c.level << " " << c.msLater;
        EXPECT_FALSE(testreg::ValueExists(testreg::User(L"alice"), L"sec"));
        if (c.bars)
        {
            EXPECT_EQ(GatesPassed(L"alice") + L"Login with recovery key\r\n"
                                              L"Recovery key refused: a logon of this account was refused moments ago\r\n",
                      testlog::ReadTextWithoutDates());
        }
    }
}

TEST_F(SubAuthLogon, WrongOrMissingRecoveryCodeFails)
{
    testreg::EnableUser(L"alice", true);
    TypedCode(L"alice", CODE);
    EXPECT_EQ((LogonOutcome{ RECOVERY_FAILED, TRUE }), Logon(L"alice"));
    EXPECT_EQ(GatesPassed(L"alice") +
                  L"Login with recovery key\r\nsecKey = [A1B2C3D4E5F60718293A4B5C6D7E8F90] secKeyLength = 33\r\n"
                  L"No recovery key set\r\n",
              testlog::ReadTextWithoutDates());

    StoredVerifier(L"alice", VERIFIER);
    for (const wchar_t* typed : { L"A1B2C3D4E5F60718293A4B5C6D7E8F91", L"A1B2C3D4E5F60718293A4B5C6D7E8F9",
                                  L"A1B2C3D4E5F60718293A4B5C6D7E8F900", L"A1B2C3D4E5F6071 293A4B5C6D7E8F90", L"" })
    {
        testlog::Delete();
        TypedCode(L"alice", typed);
        EXPECT_EQ((LogonOutcome{ RECOVERY_FAILED, TRUE }), Logon(L"alice")) << typed;
        const std::wstring log = testlog::ReadText();
        EXPECT_EQ(L"Invalid recovery key\r\n", log.substr(log.size() - 22)) << typed;
    }
    for (const std::string& stored : { std::string(VERIFIER).substr(0, 63), std::string(VERIFIER) + "0",
                                       std::string(VERIFIER).replace(10, 1, "Z") })
    {
        TypedCode(L"alice", CODE);
        StoredVerifier(L"alice", stored);
        EXPECT_EQ((LogonOutcome{ RECOVERY_FAILED, TRUE }), Logon(L"alice")) << stored;
    }
    EXPECT_EQ(0u, VScardRecordCount());
}

TEST_F(SubAuthLogon, GeneratedCodeWorksUntilItIsReplaced)
{
    testreg::EnableUser(L"alice", false);
    wchar_t first[33] = {};
    ASSERT_EQ(ERROR_SUCCESS, GenerateRecoveryCode(L"alice", first, 33));
    ASSERT_TRUE(WriteSecValue(L"alice", first));
    EXPECT_EQ((LogonOutcome{ 0, FALSE }), Logon(L"alice"));

    wchar_t second[33] = {};
    ASSERT_EQ(ERROR_SUCCESS, GenerateRecoveryCode(L"alice", second, 33));
    ASSERT_TRUE(WriteSecValue(L"alice", first));
    EXPECT_EQ((LogonOutcome{ RECOVERY_FAILED, TRUE }), Logon(L"alice")) << "the first code is dead";
    ASSERT_TRUE(WriteSecValue(L"alice", second));
    EXPECT_EQ((LogonOutcome{ 0, FALSE }), Logon(L"alice"));

    ASSERT_EQ(ERROR_SUCCESS, RemoveRecoveryCode(L"alice"));
    ASSERT_TRUE(WriteSecValue(L"alice", second));
    EXPECT_EQ((LogonOutcome{ RECOVERY_FAILED, TRUE }), Logon(L"alice"));
    EXPECT_EQ((LogonOutcome{ NO_TOKEN, TRUE }), Logon(L"alice")) << "no code typed: the token path";
}

TEST_F(SubAuthLogon, TypedCodeTooLongForItsBufferTakesTheTokenPath)
{
    AliceWithToken();
    StoredVerifier(L"alice", VERIFIER);
    TypedCode(L"alice", std::wstring(256, L'A'));
    EXPECT_EQ((LogonOutcome{ 0, TRUE }), Logon(L"alice"));
    EXPECT_EQ(std::wstring::npos, testlog::ReadText().find(L"Login with recovery key"));
    EXPECT_EQ(5u, Transmits().size());
}

TEST_F(SubAuthLogon, LongNamesAreCarriedWhole)
{
    // Were the name cut to 63 characters it would address this user, who is not enabled.
    const std::wstring longUser = std::wstring(63, L'a') + L"-the-rest";
    testreg::SetDword(testreg::Settings(), L"enabled", 1);
    testreg::SetDword(testreg::User(longUser), L"enabled", 1);
    testreg::CreateKey(testreg::User(std::wstring(63, L'a')));
    EXPECT_EQ((LogonOutcome{ NO_TOKEN, TRUE }), Logon(longUser));

    testreg::AssociateToken(L"1234ABCD", longUser);
    VScardAddReader(TOKEN_READER, TRUE);
    EXPECT_EQ((LogonOutcome{ 0, TRUE }), Logon(longUser));
    EXPECT_EQ((LogonOutcome{ WRONG_USER, FALSE }), Logon(std::wstring(63, L'a') + L"-the-resT"));

    // Beyond what a registry key name can hold: looked up whole, so nobody's key.
    EXPECT_EQ((LogonOutcome{ 0, FALSE }), Logon(std::wstring(5000, L'b')));
}

TEST_F(SubAuthLogon, NameWithANullCharacterIsRefused)
{
    testreg::EnableUser(L"alice", true);
    EXPECT_EQ((LogonOutcome{ WRONG_USER, TRUE }), Logon(std::wstring(L"alice\0bob", 9)));
    EXPECT_EQ((LogonOutcome{ WRONG_USER, TRUE }), Logon(std::wstring(L"bob\0alice", 9)));
}

TEST_F(SubAuthLogon, MissingArgumentsDoNotCrash)
{
    testreg::EnableUser(L"alice", true);
    BOOLEAN authoritative = 7;
    EXPECT_EQ(0, s_pfnFilter(NetlogonInteractiveInformation, nullptr, 0, nullptr, nullptr, nullptr, &authoritative,
                             nullptr, nullptr));
    EXPECT_EQ(FALSE, authoritative) << "no name: no user key, factor not applicable";
    USER_ALL_INFORMATION userAll = {};
    userAll.UserName.Length = 10; // a length without a buffer
    EXPECT_EQ(0, s_pfnRoutine(NetlogonInteractiveInformation, nullptr, 0, &userAll, nullptr, nullptr, nullptr,
                              nullptr, nullptr));
}

TEST_F(SubAuthLogon, RoutineDecidesLikeTheFilter)
{
    AliceWithToken();
    EXPECT_EQ((LogonOutcome{ 0, TRUE }), CallLogon(s_pfnRoutine, L"alice"));
    EXPECT_EQ((LogonOutcome{ 0, FALSE }), CallLogon(s_pfnRoutine, L"bob"));
}

TEST_F(SubAuthLogon, LoggingOffWritesNothing)
{
    AliceWithToken();
    testreg::SetDword(testreg::Settings(), L"loggingEnabled", 0);
    EXPECT_EQ((LogonOutcome{ 0, TRUE }), Logon(L"alice"));
    testreg::DeleteValue(testreg::Settings(), L"loggingEnabled");
    EXPECT_EQ((LogonOutcome{ MULTIPLE_TOKENS, TRUE }),
              (VScardAddReader(L"Halvane Velkor FIDO2 Security Key 1", TRUE), Logon(L"alice")));
    EXPECT_FALSE(testlog::Exists());
}

TEST_F(SubAuthLogon, LogIsUtf16WithoutByteOrderMarkAndGrowsByAppending)
{
    testreg::SetDword(testreg::Settings(), L"loggingEnabled", 1);
    Logon(L"alice");
    const auto first = testlog::ReadBytes();
    ASSERT_GE(first.size(), 56u);
    // "Www" of the weekday, no byte-order mark.
    EXPECT_NE(0xFF, first[0]);
    EXPECT_EQ(0, first[1]);
    // The 25-character date line, then CR LF: LF CR LF in UTF-16LE at bytes 48..53.
    EXPECT_EQ((std::vector<unsigned char>{ '\n', 0, '\r', 0, '\n', 0 }), std::vector<unsigned char>(first.begin() + 48, first.begin() + 54));
    EXPECT_EQ(L"<date>\n\r\nUser: alice\r\nnot enabled.\r\n", testlog::ReadTextWithoutDates());

    Logon(L"bob");
    const auto both = testlog::ReadBytes();
    ASSERT_GT(both.size(), first.size());
    EXPECT_TRUE(std::equal(first.begin(), first.end(), both.begin())) << "earlier text unchanged";
    EXPECT_EQ(L"<date>\n\r\nUser: alice\r\nnot enabled.\r\n<date>\n\r\nUser: bob\r\nnot enabled.\r\n",
              testlog::ReadTextWithoutDates());
}

TEST_F(SubAuthLogon, LogHeldOpenByAnotherWriterLosesTextButNotTheDecision)
{
    AliceWithToken();
    HANDLE hHeld = CreateFileW(testlog::PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, hHeld);
    EXPECT_EQ((LogonOutcome{ 0, TRUE }), Logon(L"alice"));
    EXPECT_EQ((LogonOutcome{ 0, FALSE }), Logon(L"bob"));
    CloseHandle(hHeld);
    EXPECT_TRUE(testlog::ReadBytes().empty());
}

namespace
{
    // Wine keeps no file security of its own, so what the package asks for is read off
    // its CreateFileW call.
    struct CreateFileCall
    {
        DWORD access;
        DWORD share;
        DWORD disposition;
        std::wstring security;
    };
    std::vector<CreateFileCall> g_createFileCalls;
    CImportPatch* g_pCreateFilePatch = nullptr;

    HANDLE WINAPI RecordingCreateFileW(LPCWSTR pszPath, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES pAttributes,
                                       DWORD disposition, DWORD flags, HANDLE hTemplate)
    {
        CreateFileCall call = { access, share, disposition, L"<none>" };
        LPWSTR pszSddl = nullptr;
        if (pAttributes != nullptr && ConvertSecurityDescriptorToStringSecurityDescriptorW(
                                          pAttributes->lpSecurityDescriptor, SDDL_REVISION_1,
                                          DACL_SECURITY_INFORMATION, &pszSddl, nullptr))
        {
            call.security = pszSddl;
            LocalFree(pszSddl);
        }
        g_createFileCalls.push_back(call);
        auto pfnOriginal = reinterpret_cast<decltype(&CreateFileW)>(g_pCreateFilePatch->Original());
        return pfnOriginal(pszPath, access, share, pAttributes, disposition, flags, hTemplate);
    }
}

TEST_F(SubAuthLogon, LogFileIsCreatedForSystemAndAdministratorsOnly)
{
    testreg::SetDword(testreg::Settings(), L"loggingEnabled", 1);
    CImportPatch patch("KERNEL32.dll", "CreateFileW", reinterpret_cast<void*>(RecordingCreateFileW), s_hModule);
    ASSERT_TRUE(patch.IsActive());
    g_pCreateFilePatch = &patch;
    g_createFileCalls.clear();
    Logon(L"alice");
    g_pCreateFilePatch = nullptr;

    // Header, its line end, the user line and the gate's line: one open each.
    ASSERT_EQ(4u, g_createFileCalls.size());
    for (const auto& call : g_createFileCalls)
    {
        EXPECT_EQ(static_cast<DWORD>(GENERIC_WRITE), call.access);
        EXPECT_EQ(0u, call.share) << "opened exclusively";
        EXPECT_EQ(static_cast<DWORD>(OPEN_ALWAYS), call.disposition) << "an existing file keeps its own security";
        EXPECT_EQ(L"D:P(A;;FA;;;SY)(A;;FA;;;BA)", call.security) << "protected: nothing inherited from the drive root";
    }
    EXPECT_EQ(L"<date>\n\r\nUser: alice\r\nnot enabled.\r\n", testlog::ReadTextWithoutDates());
}
TEST_F(SubAuthLogon, ConcurrentLogonsEachGetTheirOwnAnswer)
{
    AliceWithToken();
    testreg::SetDword(testreg::Settings(), L"loggingEnabled", 0);
    testreg::SetDword(testreg::User(L"dave"), L"enabled", 1);

    const struct { const wchar_t* user; LogonOutcome expected; } cases[] = {
        { L"alice", { 0, TRUE } },          // her token
        { L"bob", { 0, FALSE } },           // factor off for him
        { L"dave", { WRONG_USER, FALSE } }, // alice's token
        { L"carol", { 0, FALSE } },         // right recovery code (a user of each thread's own)
        { L"erin", { RECOVERY_FAILED, TRUE } },
    };
    constexpr int THREADS = 8;
    constexpr int ROUNDS = 40;
    for (int t = 0; t < THREADS; ++t)
    {
        for (const wchar_t* user : { L"carol", L"erin" })
        {
            const std::wstring name = user + std::to_wstring(t);
            testreg::SetDword(testreg::User(name), L"enabled", 1);
            StoredVerifier(name, VERIFIER);
        }
    }
    std::vector<int> mismatches(THREADS, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t)
    {
        threads.emplace_back([&, t] {
            for (int round = 0; round < ROUNDS; ++round)
            {
                const auto& c = cases[(t + round) % 5];
                std::wstring user = c.user;
                // A typed code serves one logon: typed again before each.
                if (user == L"carol" || user == L"erin")
                {
                    user += std::to_wstring(t);
                    TypedCode(user, user[0] == L'c' ? CODE : L"00000000000000000000000000000000");
                }
                const LogonOutcome outcome = CallLogon(s_pfnFilter, user);
                if (!(outcome == c.expected)) ++mismatches[t];
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < THREADS; ++t) EXPECT_EQ(0, mismatches[t]) << "thread " << t;
}

// Logons of one process take turns at the log file: none loses a line to another.
TEST_F(SubAuthLogon, ConcurrentLogonsKeepEveryLogLine)
{
    AliceWithToken();
    constexpr int THREADS = 8;
    constexpr int ROUNDS = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t)
    {
        threads.emplace_back([&, t] {
            for (int round = 0; round < ROUNDS; ++round) CallLogon(s_pfnFilter, (t + round) % 2 ? L"alice" : L"bob");
        });
    }
    for (auto& thread : threads) thread.join();

    const std::wstring log = testlog::ReadText();
    const auto count = [&](const std::wstring& line) {
        size_t n = 0;
        for (size_t at = log.find(line); at != std::wstring::npos; at = log.find(line, at + line.size())) ++n;
        return n;
    };
    constexpr size_t LOGONS = THREADS * ROUNDS;
    EXPECT_EQ(LOGONS / 2, count(L"User: alice\r\n"));
    EXPECT_EQ(LOGONS / 2, count(L"User: bob\r\n"));
    EXPECT_EQ(LOGONS / 2, count(L"FIDO2 auth not enabled for user.\r\n"));
    EXPECT_EQ(LOGONS / 2, count(L"returnVal 0x00000000 *Authoritative 1\r\n"));
}
