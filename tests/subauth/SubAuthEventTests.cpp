// The event the package reports for each decision about an account whose factor is on.
// Wine's event log keeps nothing, so the package's ReportEventW calls are recorded where
// it makes them, and each recorded ID is looked up in the message table of the DLL.
#include "ImportPatch.h"
#include "LogonHarness.h"
#include "TestLogFile.h"
#include "TestRegistry.h"
#include "VirtualSCard.h"

#include <string>
#include <vector>

namespace
{
    const wchar_t TOKEN_READER[] = L"Halvane Velkor FIDO2 Security Key 0";
    const wchar_t CODE[] = L"A1B2C3D4E5F60718293A4B5C6D7E8F90";
    const char VERIFIER[] = "4C66E363557147242581FFBEBF20742A133BCF69E25086C25456924A9D9BA520";

    struct ReportedEvent
    {
        DWORD id;
        WORD type;
        std::vector<std::wstring> strings;
    };
    std::vector<ReportedEvent> g_events;

    BOOL WINAPI RecordEvent(HANDLE, WORD type, WORD, DWORD id, PSID, WORD cStrings, DWORD, LPCWSTR* rgpszStrings, LPVOID)
    {
        ReportedEvent event = { id, type, {} };
        for (WORD i = 0; i < cStrings; ++i) event.strings.push_back(rgpszStrings[i] != nullptr ? rgpszStrings[i] : L"(null)");
        g_events.push_back(event);
        return TRUE;
    }

    // The event ID as Event Viewer shows it: the low word of the message ID.
    DWORD Shown(DWORD id) { return id & 0xFFFF; }

    class SubAuthEvents : public CPackageTest
    {
    protected:


        void SetUp() override
        {
            testreg::Reset();
            VScardReset();
            ResetPackageClock();
            g_events.clear();
            testreg::EnableUser(L"alice");
            testreg::AssociateToken(L"1234ABCD", L"alice");
            testreg::SetAnsi(testreg::User(L"alice"), "Recovery", std::string(VERIFIER) + '\0');
        }

        void TearDown() override
        {
            testreg::DeleteTree();
            testlog::Delete();
        }

        std::vector<ReportedEvent> EventsOfLogon(const wchar_t* user)
        {
            CImportPatch patch("ADVAPI32.dll", "ReportEventW", reinterpret_cast<void*>(&RecordEvent), s_hModule);
            EXPECT_TRUE(patch.IsActive());
            g_events.clear();
            CallLogon(s_pfnFilter, user);
            return g_events;
        }

    };

}

TEST_F(SubAuthEvents, EveryDecisionAboutAProtectedAccountIsReported)
{
    const struct { const char* what; void (*arrange)(); const wchar_t* user; DWORD shown; WORD type;
                   std::vector<std::wstring> strings; DWORD thenShown = 0; } cases[] = {
        { "token", [] { VScardAddReader(TOKEN_READER, TRUE); }, L"alice", 1000, EVENTLOG_INFORMATION_TYPE, { L"alice", L"1234ABCD" } },
        { "recovery code", [] { testreg::SetString(testreg::User(L"alice"), L"sec", CODE); }, L"alice", 1001,
          EVENTLOG_INFORMATION_TYPE, { L"alice" } },
        { "no token", [] {}, L"alice", 1100, EVENTLOG_WARNING_TYPE, { L"alice" } },
        { "two tokens", [] { VScardAddReader(TOKEN_READER, TRUE); VScardAddReader(L"Halvane Velkor FIDO2 Security Key 1", TRUE); },
          L"alice", 1101, EVENTLOG_WARNING_TYPE, { L"alice" } },
        { "no answer", [] { VScardAddReader(TOKEN_READER, FALSE); }, L"alice", 1102, EVENTLOG_WARNING_TYPE,
          { L"alice", L"0x8010000C" } },
        { "another user's token", [] { testreg::EnableUser(L"bob"); VScardAddReader(TOKEN_READER, TRUE); }, L"bob", 1103,
          EVENTLOG_WARNING_TYPE, { L"bob", L"1234ABCD" } },
        { "wrong code", [] { testreg::SetString(testreg::User(L"alice"), L"sec", L"00000000000000000000000000000000"); },
          L"alice", 1104, EVENTLOG_WARNING_TYPE, { L"alice" } },
        { "no smart-card service", [] { VScardFailCall(VSCARD_FN_ESTABLISH_CONTEXT, static_cast<LONG>(SCARD_E_NO_SERVICE), 1, FALSE); },
          L"alice", 1105, EVENTLOG_WARNING_TYPE, { L"alice", L"0x8010001D" } },
        { "proof required", [] { testreg::SetDword(testreg::Settings(), L"requireProof", 1); VScardAddReader(TOKEN_READER, TRUE); },
          L"alice", 1106, EVENTLOG_WARNING_TYPE, { L"alice", L"1234ABCD", L"no credential and proof is required" } },
        { "expired code, then no token",
          [] { testreg::SetString(testreg::User(L"alice"), L"sec", CODE); PackageClock::ShiftSystemTime(31); },
          L"alice", 1107, EVENTLOG_WARNING_TYPE, { L"alice" }, 1100 },
        { "code right after a refused logon",
          [] { CallLogon(s_pfnFilter, L"alice"); testreg::SetString(testreg::User(L"alice"), L"sec", CODE); },
          L"alice", 1108, EVENTLOG_WARNING_TYPE, { L"alice" } },
    };
    for (const auto& c : cases)
    {
        ResetPackageClock();
        VScardReset();
        testreg::DeleteValue(testreg::Settings(), L"requireProof");
        c.arrange();
        const auto events = EventsOfLogon(c.user);
        ASSERT_EQ(c.thenShown != 0 ? 2u : 1u, events.size()) << c.what;
        if (c.thenShown != 0)
        {
            EXPECT_EQ(c.thenShown, Shown(events[1].id)) << c.what;
        }
        EXPECT_EQ(c.shown, Shown(events[0].id)) << c.what;
        EXPECT_EQ(c.type, events[0].type) << c.what;
        EXPECT_EQ(c.strings, events[0].strings) << c.what;

        // The DLL's own message table has the text, with exactly these insertions.
        std::vector<DWORD_PTR> arguments;
        for (const auto& text : events[0].strings) arguments.push_back(reinterpret_cast<DWORD_PTR>(text.c_str()));
        wchar_t message[512] = {};
        EXPECT_NE(0u, FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, s_hModule, events[0].id, 0,
                                     message, 512, reinterpret_cast<va_list*>(arguments.data())))
            << c.what;
        for (const auto& text : events[0].strings) EXPECT_NE(std::wstring::npos, std::wstring(message).find(text)) << c.what;
    }
}

TEST_F(SubAuthEvents, NothingIsReportedForUnprotectedAccountsOrWithTheSwitchOff)
{
    VScardAddReader(TOKEN_READER, TRUE);
    EXPECT_TRUE(EventsOfLogon(L"bob").empty()) << "factor off";
    testreg::SetDword(testreg::Settings(), L"enabled", 0);
    EXPECT_TRUE(EventsOfLogon(L"alice").empty()) << "computer switch off";
    testreg::SetDword(testreg::Settings(), L"enabled", 1);
    for (DWORD type : { static_cast<DWORD>(REG_SZ), static_cast<DWORD>(REG_DWORD) })
    {
        // Only the number 0 turns the events off.
        testreg::SetRaw(testreg::Settings(), L"eventLogEnabled", type, { '0', 0, 0, 0 });
        EXPECT_EQ(1u, EventsOfLogon(L"alice").size()) << type;
    }
    testreg::SetDword(testreg::Settings(), L"eventLogEnabled", 0);
    EXPECT_TRUE(EventsOfLogon(L"alice").empty());
}

TEST_F(SubAuthEvents, ANetworkLogonLetThroughByPolicyIsReported)
{
    testreg::SetDword(testreg::Settings(), L"networkLogons", 1);
    CImportPatch patch("ADVAPI32.dll", "ReportEventW", reinterpret_cast<void*>(&RecordEvent), s_hModule);
    ASSERT_TRUE(patch.IsActive());
    g_events.clear();
    EXPECT_EQ(0, CallLogon(s_pfnFilter, L"alice", NetlogonNetworkInformation).status);
    ASSERT_EQ(1u, g_events.size());
    EXPECT_EQ(1002u, Shown(g_events[0].id));
    EXPECT_EQ(EVENTLOG_INFORMATION_TYPE, g_events[0].type);
    EXPECT_EQ(std::vector<std::wstring>{ L"alice" }, g_events[0].strings);
    const DWORD_PTR arguments[] = { reinterpret_cast<DWORD_PTR>(L"alice") };
    wchar_t message[512] = {};
    ASSERT_NE(0u, FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, s_hModule, g_events[0].id, 0,
                                 message, 512, reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(arguments))));
    EXPECT_NE(std::wstring::npos, std::wstring(message).find(L"Network logon of alice passed without a token")) << message;
}
