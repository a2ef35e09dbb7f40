// velkorctl's commands run in this process: the events each configuration change
// reports (recorded at the import table; Wine's event log keeps nothing), none when
// settings\eventLogEnabled is 0; the argument parser and the JSON text.
#include "CtlArguments.h"
#include "CtlCommands.h"
#include "EventRecorder.h"
#include "ImportPatch.h"
#include "InProcessCtl.h"
#include "StatusWords.h"
#include "JsonFormat.h"
#include "TestRegistry.h"
#include "TokenIdentification.h"
#include "VirtualSCard.h"

#include <gtest/gtest.h>

#include <cctype>

#include <functional>
#include <regex>

namespace
{
    std::wstring User()
    {
        wchar_t name[512] = {};
        DWORD cch = 512;
        GetUserNameW(name, &cch);
        return name;
    }

    // An expected event: its ID and the strings after the administrator's name.
    struct Expected
    {
        DWORD id;
        std::vector<std::wstring> strings;
    };

    struct EventCase
    {
        const char* label;
        std::function<void(const std::wstring& user)> setup;
        const wchar_t* args; // {user} stands for the account
        bool token;          // the virtual token 1234ABCD plugged in
        int exitCode;
        std::vector<Expected> events; // {user} in a string stands for the account
    };

    void Associated(const std::wstring& user)
    {
        testreg::AssociateToken(L"1234ABCD", user);
        testreg::SetDword(testreg::User(user), L"enabled", 1);
    }
    void WithCode(const std::wstring& user) { testreg::SetAnsi(testreg::User(user), "Recovery", std::string(64, 'A') + '\0'); }

    const EventCase EVENT_CASES[] = {
        { "enable computer", [](const std::wstring&) {}, L"enable computer", false, 3, { { 2000, {} } } },
        { "disable computer", [](const std::wstring&) {}, L"disable computer", false, 0, { { 2001, {} } } },
        { "enable user", Associated, L"enable user {user}", false, 0, { { 2002, { L"{user}" } } } },
        { "disable user", Associated, L"disable user {user}", false, 0, { { 2003, { L"{user}" } } } },
        { "associate with a recovery code", [](const std::wstring&) {}, L"associate {user} --recovery", true, 0,
          { { 2004, { L"1234ABCD", L"{user}" } }, { 2002, { L"{user}" } }, { 2006, { L"{user}" } } } },
        { "dissociate with the recovery code", [](const std::wstring& u) { Associated(u); WithCode(u); },
          L"dissociate {user} --remove-recovery", true, 0,
          { { 2005, { L"1234ABCD", L"{user}" } }, { 2003, { L"{user}" } }, { 2007, { L"{user}" } } } },
        { "dissociate one of two by serial", [](const std::wstring& u) { Associated(u); testreg::AssociateToken(L"CAFE0001", u); },
          L"dissociate {user} --serial CAFE0001", false, 0, { { 2005, { L"CAFE0001", L"{user}" } } } },
        { "recovery generate", [](const std::wstring&) {}, L"recovery generate {user}", false, 0, { { 2006, { L"{user}" } } } },
        { "recovery remove", WithCode, L"recovery remove {user}", false, 0, { { 2007, { L"{user}" } } } },
        // Nothing changed, nothing reported.
        { "status", Associated, L"status", false, 0, {} },
        { "a locked-out account refused", [](const std::wstring& u) { testreg::CreateKey(testreg::User(u)); },
          L"enable user {user}", false, 1, {} },
        { "another account's token refused", [](const std::wstring&) { testreg::AssociateToken(L"1234ABCD", L"bob"); },
          L"associate {user} --recovery", true, 1, {} },
        { "an unknown account refused", [](const std::wstring&) {}, L"recovery generate nosuchuser", false, 1, {} },
        { "disable user never configured", [](const std::wstring&) {}, L"disable user {user}", false, 0, {} },
        { "forget an account that no longer exists",
          [](const std::wstring&) { testreg::SetDword(testreg::User(L"ghost"), L"enabled", 1); testreg::AssociateToken(L"CAFE0001", L"ghost"); },
          L"forget ghost --yes", false, 0, { { 2005, { L"CAFE0001", L"ghost" } }, { 2008, { L"ghost" } } } },
        { "forget refused without --yes", [](const std::wstring&) { testreg::CreateKey(testreg::User(L"ghost")); },
          L"forget ghost", false, 1, {} },
        { "enable user --force creates the account's key", [](const std::wstring&) {}, L"enable user {user} --force", false, 0,
          { { 2002, { L"{user}" } } } },
    };

    std::wstring Expand(std::wstring text, const std::wstring& user)
    {
        for (size_t at = text.find(L"{user}"); at != std::wstring::npos; at = text.find(L"{user}")) text.replace(at, 6, user);
        return text;
    }

    class CtlEvents : public ::testing::TestWithParam<EventCase>
    {
    protected:
        void SetUp() override
        {
            testreg::Reset();
            VScardReset();
            ASSERT_TRUE(_events.IsActive());
        }
        void TearDown() override
        {
            VScardReset();
            testreg::DeleteTree();
        }

        void RunCase(bool expectEvents)
        {
            const EventCase& c = GetParam();
            const std::wstring user = User();
            c.setup(user);
            if (c.token) VScardAddReader((std::wstring(TokenReaderName) + L" 0").c_str(), TRUE);
            CCapturedOutput output;
            EXPECT_EQ(c.exitCode, RunLine(Expand(c.args, user), output)) << testing::PrintToString(output.out + output.err);

            const std::vector<ReportedEvent>& events = _events.Events();
            const size_t expected = expectEvents ? c.events.size() : 0;
            ASSERT_EQ(expected, events.size()) << testing::PrintToString(output.out + output.err);
            const std::wregex code(L"[0-9A-Fa-f]{32}");
            for (size_t i = 0; i < expected; ++i)
            {
                SCOPED_TRACE(i);
                EXPECT_EQ(c.events[i].id, events[i].id & 0xFFFF) << "the ID Event Viewer shows";
                EXPECT_EQ(L"Velkor FIDO2 Login", events[i].source);
                EXPECT_EQ(EVENTLOG_INFORMATION_TYPE, events[i].type);
                EXPECT_EQ(0, events[i].category);
                std::vector<std::wstring> strings = { user }; // the administrator: this test's account
                for (const std::wstring& text : c.events[i].strings) strings.push_back(Expand(text, user));
                EXPECT_EQ(strings, events[i].strings);
                for (const std::wstring& text : events[i].strings) EXPECT_FALSE(std::regex_search(text, code)) << "a recovery code";
            }
            EXPECT_EQ(0, _events.OpenSources());
        }

        CEventRecorder _events;
    };

    std::string CaseName(const ::testing::TestParamInfo<EventCase>& info)
    {
        std::string name;
        for (const char* p = info.param.label; *p != '\0'; ++p) name += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        return name;
    }
}

TEST_P(CtlEvents, EachChangeReportsItsEvents)
{
    RunCase(true);
}

TEST_P(CtlEvents, NoneWhileTheEventLogSwitchIsZero)
{
    testreg::SetDword(testreg::Settings(), L"eventLogEnabled", 0);
    RunCase(false);
}

TEST_P(CtlEvents, TheSwitchAtOneReportsAsAbsentDoes)
{
    testreg::SetDword(testreg::Settings(), L"eventLogEnabled", 1);
    RunCase(true);
}

INSTANTIATE_TEST_SUITE_P(Table, CtlEvents, ::testing::ValuesIn(EVENT_CASES), CaseName);

TEST(CtlEventLog, AFailingEventLogFailsNoChange)
{
    testreg::Reset();
    // Without the recorder: Wine's own calls succeed and store nothing; a source that
    // cannot be registered must not matter either.
    struct Refuse
    {
        static HANDLE WINAPI Register(LPCWSTR, LPCWSTR)
        {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
    };
    CImportPatch refuse("advapi32.dll", "RegisterEventSourceW", reinterpret_cast<void*>(&Refuse::Register));
    ASSERT_TRUE(refuse.IsActive());
    CCapturedOutput output;
    EXPECT_EQ(3, RunLine(L"enable computer", output));
    EXPECT_EQ(std::string("\1\0\0\0", 4), testreg::ReadAnsi(testreg::Settings(), "enabled"));
    testreg::DeleteTree();
}

// ---- the argument parser ----------------------------------------------------------------

TEST(CtlArguments, CommandLinesAndTheirMeaning)
{
    const struct
    {
        std::vector<std::wstring> args;
        CtlVerb verb;
        const wchar_t* name;
        const wchar_t* serial;
        bool json, force, recovery, removeRecovery;
        const wchar_t* error;
    } cases[] = {
        { { L"status" }, CtlVerb::Status, L"", L"", false, false, false, false, L"" },
        { { L"--json", L"status" }, CtlVerb::Status, L"", L"", true, false, false, false, L"" },
        { { L"enable", L"computer" }, CtlVerb::EnableComputer, L"", L"", false, false, false, false, L"" },
        { { L"disable", L"computer", L"--json" }, CtlVerb::DisableComputer, L"", L"", true, false, false, false, L"" },
        { { L"enable", L"user", L"alice", L"--force" }, CtlVerb::EnableUser, L"alice", L"", false, true, false, false, L"" },
        { { L"disable", L"user", L".\\alice" }, CtlVerb::DisableUser, L".\\alice", L"", false, false, false, false, L"" },
        { { L"associate", L"--recovery", L"alice" }, CtlVerb::Associate, L"alice", L"", false, false, true, false, L"" },
        { { L"dissociate", L"alice", L"--serial", L"cafe0001", L"--remove-recovery" }, CtlVerb::Dissociate, L"alice",
          L"CAFE0001", false, false, false, true, L"" },
        { { L"dissociate", L"alice", L"--serial=0badCAFE" }, CtlVerb::Dissociate, L"alice", L"0BADCAFE", false, false, false, false, L"" },
        { { L"dissociate", L"alice", L"--serial", L"FIDO-0123456789abcdef" }, CtlVerb::Dissociate, L"alice",
          L"fido-0123456789ABCDEF", false, false, false, false, L"" },
        { { L"dissociate", L"a", L"--serial", L"fido-0123456789ABCDE" }, CtlVerb::None, L"", L"", false, false, false, false,
          L"--serial wants 8 hexadecimal digits or fido- and 16, not \"fido-0123456789ABCDE\"" },
        { { L"associate", L"alice", L"--interface", L"USB" }, CtlVerb::Associate, L"alice", L"", false, false, false, false, L"" },
        { { L"associate", L"a", L"--interface=nfc" }, CtlVerb::None, L"", L"", false, false, false, false,
          L"--interface wants reader or usb, not \"nfc\"" },
        { { L"status", L"--interface", L"usb" }, CtlVerb::None, L"", L"", false, false, false, false,
          L"--interface does not apply to status" },
        { { L"recovery", L"generate", L"alice" }, CtlVerb::RecoveryGenerate, L"alice", L"", false, false, false, false, L"" },
        { { L"recovery", L"remove", L"alice", L"--force" }, CtlVerb::RecoveryRemove, L"alice", L"", false, true, false, false, L"" },
        { { L"--help" }, CtlVerb::Help, L"", L"", false, false, false, false, L"" },
        { { L"enable", L"user", L"--help" }, CtlVerb::Help, L"", L"", false, false, false, false, L"" },
        { {}, CtlVerb::None, L"", L"", false, false, false, false, L"no command given" },
        { { L"enable", L"everyone" }, CtlVerb::None, L"", L"", false, false, false, false, L"unknown command enable everyone" },
        { { L"recovery" }, CtlVerb::None, L"", L"", false, false, false, false, L"incomplete command recovery" },
        { { L"associate" }, CtlVerb::None, L"", L"", false, false, false, false, L"associate needs an account name" },
        { { L"associate", L"" }, CtlVerb::None, L"", L"", false, false, false, false, L"the account name is empty" },
        { { L"associate", L"a", L"b" }, CtlVerb::None, L"", L"", false, false, false, false, L"unexpected argument b" },
        { { L"status", L"--force" }, CtlVerb::None, L"", L"", false, false, false, false, L"--force does not apply to status" },
        { { L"enable", L"user", L"a", L"--recovery" }, CtlVerb::None, L"", L"", false, false, false, false,
          L"--recovery does not apply to enable user" },
        { { L"dissociate", L"a", L"--serial" }, CtlVerb::None, L"", L"", false, false, false, false, L"--serial needs a value" },
        { { L"dissociate", L"a", L"--serial", L"1234ABCDE" }, CtlVerb::None, L"", L"", false, false, false, false,
          L"--serial wants 8 hexadecimal digits or fido- and 16, not \"1234ABCDE\"" },
        { { L"dissociate", L"a", L"--serial", L"1234ABCG" }, CtlVerb::None, L"", L"", false, false, false, false,
          L"--serial wants 8 hexadecimal digits or fido- and 16, not \"1234ABCG\"" },
        { { L"dissociate", L"a", L"--serial=1", L"--serial=2" }, CtlVerb::None, L"", L"", false, false, false, false,
          L"--serial is given twice" },
        { { L"status", L"--quiet" }, CtlVerb::None, L"", L"", false, false, false, false, L"unknown option --quiet" },
        { { L"help", L"nothing" }, CtlVerb::None, L"", L"", false, false, false, false, L"no command nothing" },
    };
    for (const auto& c : cases)
    {
        const CtlCommand command = ParseCtlArguments(c.args);
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(c.verb, command.verb);
        EXPECT_EQ(std::wstring(c.error), command.error);
        if (command.verb == CtlVerb::None) continue;
        EXPECT_EQ(std::wstring(c.name), command.name);
        EXPECT_EQ(std::wstring(c.serial), command.serial);
        EXPECT_EQ(c.json, command.json);
        EXPECT_EQ(c.force, command.force);
        EXPECT_EQ(c.recovery, command.recovery);
        EXPECT_EQ(c.removeRecovery, command.removeRecovery);
    }
}

TEST(CtlJson, StringsAreEscaped)
{
    EXPECT_EQ(L"\"plain\"", JsonString(L"plain"));
    EXPECT_EQ(L"\"a\\\"b\\\\c\"", JsonString(L"a\"b\\c"));
    EXPECT_EQ(L"\"\\r\\n\\t\\u0001\\u001f\\u007f\"", JsonString(std::wstring(L"\r\n\t\x01\x1f\x7f")));
    EXPECT_EQ(L"\"\x00e9\x4e2d\"", JsonString(L"\x00e9\x4e2d"));
    EXPECT_EQ(L"{\"a\":1,\"b\":null,\"c\":[\"x\",\"y\"],\"d\":true}",
              CJsonObject().Number(L"a", 1).StringOrNull(L"b", L"").Raw(L"c", JsonStringArray({ L"x", L"y" })).Bool(L"d", true).Text());
}

// ---- what a status code means -----------------------------------------------------------

TEST(StatusWords, EveryFamilyOfCodesHasWords)
{
    const struct { DWORD code; const wchar_t* words; } cases[] = {
        { 0xFFFFFFFF, L"No key is plugged in, or more than one" },
        { 0xFFFFFFFE, L"The key did not answer the connection" },
        { 0xFFFFFFFD, L"The key's serial number could not be read, or the account name cannot be stored" },
        { 0xFFFFFFFC, L"Refused: the key is registered already, is not this account's key, or cannot prove possession while proof is required" },
        { 0xFFFFFFFB, L"The key was not touched in time" },
        { 0xFFFFFFFA, L"The key's answer was unusable" },
        { 0xFFFFFE36, L"The key asks for its PIN" },
        { 0xFFFFFE2E, L"The key holds no such credential" },
        { 0xFFFFFE77, L"The key refused with CTAP2 status 0x77" },
        { 0x8010001D, L"The smart card service is not running" },
        { 0x8010002E, L"No smart card reader is attached" },
        { 0x8010000C, L"The reader holds no card" },
        { 0x80100069, L"The key was removed" },
        { 0x801000FE, L"The smart card service reported an error" },
        { ERROR_FILE_NOT_FOUND, L"The registry key or value does not exist" },
        { ERROR_ACCESS_DENIED, L"Access is denied" },
        { ERROR_NO_UNICODE_TRANSLATION, L"The name cannot be stored in the system code page" },
    };
    for (const auto& c : cases)
    {
        wchar_t words[STATUS_WORDS_CHARS] = L"stale";
        FormatStatusWords(c.code, words);
        EXPECT_EQ(std::wstring(c.words), words) << std::hex << c.code;
    }
    // Codes of no family of ours: the system's words, on one line, or "Unknown status".
    for (DWORD code : { static_cast<DWORD>(E_NOTIMPL), static_cast<DWORD>(ERROR_WRITE_PROTECT), static_cast<DWORD>(0x2000BEEF) })
    {
        wchar_t words[STATUS_WORDS_CHARS] = {};
        FormatStatusWords(code, words);
        const std::wstring text = words;
        EXPECT_FALSE(text.empty()) << std::hex << code;
        EXPECT_EQ(std::wstring::npos, text.find_first_of(L"\r\n")) << text;
        EXPECT_NE(L'.', text.back()) << text;
    }
    wchar_t unknown[STATUS_WORDS_CHARS] = {};
    FormatStatusWords(0x2000BEEF, unknown);
    EXPECT_EQ(std::wstring(L"Unknown status"), unknown);
}
