// velkorctl.exe in its own process against the real (Wine) registry and the virtual
// PC/SC stack: each command's lines, exit code and the configuration before and after,
// including refusals that must change nothing.
#include "CtlRunner.h"
#include "RecoveryCode.h"
#include "TestRegistry.h"
#include "VelkorVersion.h"

#include <gtest/gtest.h>

#include <cctype>

#include <functional>
#include <regex>

namespace
{
    const std::wstring SERIAL = L"1234ABCD";

    std::wstring Expand(std::wstring text, const std::wstring& user)
    {
        for (size_t at = text.find(L"{user}"); at != std::wstring::npos; at = text.find(L"{user}"))
            text.replace(at, 6, user);
        return text;
    }

    std::string Expand(std::string text, const std::string& user)
    {
        for (size_t at = text.find("{user}"); at != std::string::npos; at = text.find("{user}")) text.replace(at, 6, user);
        return text;
    }

    std::string Verifier(const std::wstring& user)
    {
        std::string value = testreg::ReadAnsi(testreg::User(user), "Recovery");
        if (!value.empty() && value.back() == '\0') value.pop_back();
        return value;
    }

    // The 32 hexadecimal characters after "Recovery code for ..." in the output.
    std::string PrintedCode(const CtlRun& run)
    {
        const std::regex line("^Recovery code for .+ \\(shown once; write it down\\): ([0-9A-F]{32})$");
        for (const std::string& text : run.out)
        {
            std::smatch match;
            if (std::regex_match(text, match, line)) return match[1];
        }
        return "";
    }

    bool Verifies(const std::string& code, const std::string& verifier)
    {
        return !code.empty() && VerifyRecoveryCode(code.c_str(), static_cast<int>(code.size()), verifier.c_str(),
                                                    static_cast<int>(verifier.size()));
    }

    using Setup = std::function<void(const std::wstring& user)>;
    using Check = std::function<void(const std::wstring& user, const CtlRun& run)>;

    struct CommandCase
    {
        const char* label;
        Setup setup;
        const wchar_t* args;
        std::string token;
        DWORD exitCode;
        std::vector<std::string> out; // each a line fragment that must appear
        std::vector<std::string> err;
        Check check;                  // null: the configuration must be unchanged
    };

    void Nothing(const std::wstring&) {}
    void Associated(const std::wstring& user) { testreg::AssociateToken(SERIAL, user); testreg::CreateKey(testreg::User(user)); }
    void AssociatedOn(const std::wstring& user) { Associated(user); testreg::SetDword(testreg::User(user), L"enabled", 1); }
    void WithCode(const std::wstring& user) { testreg::SetAnsi(testreg::User(user), "Recovery", std::string(64, 'A') + '\0'); }
    // An account that was deleted: its key, its token CAFE0001, and a token of the test's own account beside it.
    void Ghost(const std::wstring& user)
    {
        testreg::SetDword(testreg::User(L"ghost"), L"enabled", 1);
        testreg::AssociateToken(L"CAFE0001", L"ghost");
        testreg::AssociateToken(SERIAL, user);
    }

    const Check UNCHANGED = nullptr;

    const CommandCase CASES[] = {
        // ---- the computer switch ----
        { "enable computer: written, but nothing is installed in this prefix", Nothing, L"enable computer", "", 3,
          { "Factor switched on for this computer", "NOT ENFORCED: logons are not checked by VelkorSubAuth: MSV1_0 Auth0 is not set" }, {},
          [](const std::wstring&, const CtlRun&) { EXPECT_EQ(std::string("\1\0\0\0", 4), testreg::ReadAnsi(testreg::Settings(), "enabled")); } },
        { "enable computer without the settings key", [](const std::wstring&) { testreg::DeleteKey(testreg::Settings()); },
          L"enable computer", "", 4, {}, { "Error enabling credential provider: The registry key or value does not exist (error 0x00000002)" }, UNCHANGED },
        { "disable computer", [](const std::wstring&) { testreg::SetDword(testreg::Settings(), L"enabled", 1); },
          L"disable computer", "", 0, { "Factor switched off for this computer" }, {},
          [](const std::wstring&, const CtlRun&) { EXPECT_EQ(std::string("\0\0\0\0", 4), testreg::ReadAnsi(testreg::Settings(), "enabled")); } },
        // ---- the account switch ----
        { "enable user with a token", Associated, L"enable user {user}", "", 0,
          { "Factor switched on for {user}", "The computer-wide switch is off" }, {},
          [](const std::wstring& user, const CtlRun&) { EXPECT_EQ(std::string("\1\0\0\0", 4), testreg::ReadAnsi(testreg::User(user), "enabled")); } },
        { "enable user with only a recovery code", WithCode, L"enable user {user}", "", 0, { "Factor switched on for {user}" }, {},
          [](const std::wstring& user, const CtlRun&) { EXPECT_TRUE(testreg::ValueExists(testreg::User(user), L"enabled")); } },
        { "enable user that would be locked out", [](const std::wstring& user) { testreg::CreateKey(testreg::User(user)); },
          L"enable user {user}", "", 1, {},
          { "{user} would be locked out: associate a token or generate a recovery code first", "--force" }, UNCHANGED },
        { "enable user --force", [](const std::wstring& user) { testreg::CreateKey(testreg::User(user)); },
          L"enable user {user} --force", "", 0,
          { "WARNING: {user} would be locked out: associate a token or generate a recovery code first (switched on because of --force)",
            "Factor switched on for {user}" }, {},
          [](const std::wstring& user, const CtlRun&) { EXPECT_EQ(std::string("\1\0\0\0", 4), testreg::ReadAnsi(testreg::User(user), "enabled")); } },
        { "enable user of an unknown account", Nothing, L"enable user nosuchuser --force", "", 1, {},
          { "No local account nosuchuser on this computer" }, UNCHANGED },
        { "a group is no account", Nothing, L"enable user Administrators --force", "", 1, {},
          { "No local account Administrators on this computer" }, UNCHANGED },
        { "disable user", AssociatedOn, L"disable user {user}", "", 0, { "Factor switched off for {user}" }, {},
          [](const std::wstring& user, const CtlRun&) { EXPECT_EQ(std::string("\0\0\0\0", 4), testreg::ReadAnsi(testreg::User(user), "enabled")); } },
        { "disable user never configured writes nothing", Nothing, L"disable user {user}", "", 0,
          { "{user} has no configuration: the factor is off" }, {}, UNCHANGED },
        // ---- association ----
        { "associate --recovery", Nothing, L"associate {user} --recovery", ONE_TOKEN, 0,
          { "Touch the key now", "Token 1234ABCD added to user {user}", "Recovery code for {user} (shown once; write it down): " }, {},
          [](const std::wstring& user, const CtlRun& run) {
              EXPECT_EQ(Narrow(user) + '\0', testreg::ReadAnsi(testreg::Token(SERIAL), "user"));
              EXPECT_EQ(std::string("\1\0\0\0", 4), testreg::ReadAnsi(testreg::User(user), "enabled"));
              EXPECT_TRUE(Verifies(PrintedCode(run), Verifier(user))) << run.Text();
          } },
        { "associate a key known by its serial alone", Nothing, L"associate {user}", std::string(ONE_TOKEN) + "fido absent\n", 0,
          { "This token cannot prove possession; it is associated by its serial number only", "Token 1234ABCD added to user {user}" }, {},
          [](const std::wstring&, const CtlRun&) { EXPECT_FALSE(testreg::ValueExists(testreg::Token(SERIAL), L"publicKey")); } },
        { "associate a key without FIDO2 while proof is required",
          [](const std::wstring&) { testreg::SetDword(testreg::Settings(), L"requireProof", 1); }, L"associate {user}",
          std::string(ONE_TOKEN) + "fido absent\n", 1, {}, { "This token cannot prove possession and proof is required" }, UNCHANGED },
        { "associate a key that asks for a PIN", Nothing, L"associate {user}", std::string(ONE_TOKEN) + "fido pin-required\n", 4,
          {}, { "Error 0xFFFFFE36 adding token: The key asks for its PIN" }, UNCHANGED },
        // Keys with a PIN, as far as the shipped program gets without Wine's missing ECDH.
        { "associate a key that wants its PIN at every use", Nothing, L"associate {user} --pin-file nosuchfile.txt",
          std::string(ONE_TOKEN) + "fido pin 4711-pin\nfido always-uv\n", 1, {},
          { "This key requires its PIN for every use; it cannot be used for logon" }, UNCHANGED },
        { "associate a key whose PIN is blocked", Nothing, L"associate {user} --pin-file nosuchfile.txt",
          std::string(ONE_TOKEN) + "fido version FIDO_2_1\nfido pin \"4711 pin\"\nfido pin-retries 0\n", 4, {},
          { "The key's PIN is blocked; nothing was changed. The key must be reset, which deletes every credential on it, and then associated again" },
          UNCHANGED },
        { "associate a key that needs no PIN for it", Nothing, L"associate {user} --pin-file nosuchfile.txt",
          std::string(ONE_TOKEN) + "fido pin 4711-pin\nfido make-cred-uv-not-rqd\nfido pin-protocols 2,1\n", 0,
          { "Token 1234ABCD added to user {user}" }, {},
          [](const std::wstring&, const CtlRun& run) {
              EXPECT_TRUE(testreg::ValueExists(testreg::Token(SERIAL), L"credentialId"));
              EXPECT_TRUE(run.err.empty()) << run.Text();
          } },
        { "associate records the account as the system stores it", Nothing, L"associate .\\{user}", ONE_TOKEN, 0,
          { "Token 1234ABCD added to user {user}" }, {},
          [](const std::wstring& user, const CtlRun&) { EXPECT_EQ(Narrow(user) + '\0', testreg::ReadAnsi(testreg::Token(SERIAL), "user")); } },
        { "associate without --recovery makes no code", Nothing, L"associate {user}", ONE_TOKEN, 0, { "Token 1234ABCD added to user {user}" }, {},
          [](const std::wstring& user, const CtlRun& run) {
              EXPECT_EQ("", PrintedCode(run));
              EXPECT_FALSE(testreg::ValueExists(testreg::User(user), L"Recovery"));
          } },
        { "associate a token of another account", [](const std::wstring&) { testreg::AssociateToken(SERIAL, L"bob"); },
          L"associate {user} --recovery", ONE_TOKEN, 1, {}, { "Token already registered", "Error 0xFFFFFFFC adding token: Refused: the key is registered already" }, UNCHANGED },
        { "associate without a token", Nothing, L"associate {user}", "", 4, {}, { "No token detected", "Error 0xFFFFFFFF adding token: No key is plugged in, or more than one" }, UNCHANGED },
        { "associate with two tokens", Nothing, L"associate {user}",
          std::string(ONE_TOKEN) + "reader \"Halvane Velkor FIDO2 Security Key 1\" token\nserial 0BADCAFE\n", 4, {},
          { "More than one token detected" }, UNCHANGED },
        { "associate with an unreadable serial", Nothing, L"associate {user}", std::string(ONE_TOKEN) + "answer GET_CPLC 6A88\n", 4,
          {}, { "Could not read the token serial number" }, UNCHANGED },
        // A transmission lost on the FIDO SELECT, or a key that never ends a command: never
        // "by its serial number only", and never a hang.
        { "associate when the FIDO SELECT is lost", Nothing, L"associate {user}",
          std::string(ONE_TOKEN) + "fail SCardTransmit 8010002F 3\n", 4, {},
          { "Communication with the token failed; nothing was changed. Try again" }, UNCHANGED },
        { "associate a key that never ends a command", Nothing, L"associate {user}", std::string(ONE_TOKEN) + "fido busy\n", 4,
          {}, { "The token did not answer in time; nothing was changed. Unplug it, plug it in again and try again" }, UNCHANGED },
        { "associate for an unknown account", Nothing, L"associate nosuchuser", ONE_TOKEN, 1, {},
          { "No local account nosuchuser on this computer" }, UNCHANGED },
        // ---- dissociation ----
        { "dissociate --remove-recovery", [](const std::wstring& user) { AssociatedOn(user); WithCode(user); },
          L"dissociate {user} --remove-recovery", ONE_TOKEN, 0, { "Token removed from user", "Recovery key removed" }, {},
          [](const std::wstring& user, const CtlRun&) {
              EXPECT_FALSE(testreg::KeyExists(testreg::Token(SERIAL)));
              EXPECT_EQ(std::string("\0\0\0\0", 4), testreg::ReadAnsi(testreg::User(user), "enabled"));
              EXPECT_FALSE(testreg::ValueExists(testreg::User(user), L"Recovery"));
          } },
        { "dissociate keeps the code without the option", [](const std::wstring& user) { AssociatedOn(user); WithCode(user); },
          L"dissociate {user}", ONE_TOKEN, 0, { "Token removed from user" }, {},
          [](const std::wstring& user, const CtlRun&) { EXPECT_TRUE(testreg::ValueExists(testreg::User(user), L"Recovery")); } },
        { "dissociate a token of another account", [](const std::wstring& user) { testreg::AssociateToken(SERIAL, L"bob"); testreg::EnableUser(user); },
          L"dissociate {user}", ONE_TOKEN, 1, {}, { "Token is not mapped to current user: this key is registered to another account", "Error 0xFFFFFFFC removing token" }, UNCHANGED },
        { "dissociate a key that is not registered", [](const std::wstring& user) { testreg::EnableUser(user); },
          L"dissociate {user}", ONE_TOKEN, 1, {}, { "Token is not mapped to current user: this key is not registered" }, UNCHANGED },
        { "dissociate a lost key by serial keeps the spare one",
          [](const std::wstring& user) { AssociatedOn(user); testreg::AssociateToken(L"CAFE0001", user); },
          L"dissociate {user} --serial cafe0001", "", 0, { "Token removed; the account keeps its other tokens" }, {},
          [](const std::wstring& user, const CtlRun&) {
              EXPECT_FALSE(testreg::KeyExists(testreg::Token(L"CAFE0001")));
              EXPECT_TRUE(testreg::KeyExists(testreg::Token(SERIAL)));
              EXPECT_EQ(std::string("\1\0\0\0", 4), testreg::ReadAnsi(testreg::User(user), "enabled"));
          } },
        { "dissociate with a malformed serial", AssociatedOn, L"dissociate {user} --serial 1234ABC", "", 2, {},
          { "--serial wants 8 hexadecimal digits or fido- and 16, not \"1234ABC\"" }, UNCHANGED },
        // ---- recovery codes ----
        { "recovery generate creates the account's key, factor off", Nothing, L"recovery generate {user}", "", 0,
          { "Recovery code generated for {user}", "Recovery code for {user} (shown once; write it down): " }, {},
          [](const std::wstring& user, const CtlRun& run) {
              EXPECT_TRUE(Verifies(PrintedCode(run), Verifier(user))) << run.Text();
              EXPECT_FALSE(testreg::ValueExists(testreg::User(user), L"enabled"));
          } },
        { "recovery generate replaces a code", WithCode, L"recovery generate {user}", "", 0,
          { "Recovery code of {user} replaced; the earlier code no longer works" }, {},
          [](const std::wstring& user, const CtlRun& run) { EXPECT_TRUE(Verifies(PrintedCode(run), Verifier(user))); } },
        { "recovery remove", WithCode, L"recovery remove {user}", "", 0, { "Recovery code of {user} removed" }, {},
          [](const std::wstring& user, const CtlRun&) { EXPECT_FALSE(testreg::ValueExists(testreg::User(user), L"Recovery")); } },
        { "recovery remove of the only way in", [](const std::wstring& user) { WithCode(user); testreg::EnableUser(user); },
          L"recovery remove {user}", "", 1, {}, { "{user} would be locked out: its factor is on and no token names it" }, UNCHANGED },
        { "recovery remove --force", [](const std::wstring& user) { WithCode(user); testreg::EnableUser(user); },
          L"recovery remove {user} --force", "", 0, { "WARNING: {user} would be locked out", "Recovery code of {user} removed" }, {},
          [](const std::wstring& user, const CtlRun&) { EXPECT_FALSE(testreg::ValueExists(testreg::User(user), L"Recovery")); } },
        { "recovery remove without a code", Nothing, L"recovery remove {user}", "", 0, { "{user} has no recovery code" }, {}, UNCHANGED },
        // ---- accounts that no longer exist (ghost) ----
        { "disable user of a vanished account", Ghost, L"disable user ghost", "", 0,
          { "No local account ghost on this computer (renamed or deleted); working on the configuration that names ghost",
            "Factor switched off for ghost" }, {},
          [](const std::wstring&, const CtlRun&) { EXPECT_EQ(std::string("\0\0\0\0", 4), testreg::ReadAnsi(testreg::User(L"ghost"), "enabled")); } },
        { "dissociate a vanished account's lost key", Ghost, L"dissociate GHOST --serial cafe0001", "", 0,
          { "working on the configuration that names ghost", "Token removed from user" }, {},
          [](const std::wstring&, const CtlRun&) { EXPECT_FALSE(testreg::KeyExists(testreg::Token(L"CAFE0001"))); } },
        { "recovery remove of a vanished account that only a code let in",
          [](const std::wstring&) { testreg::SetDword(testreg::User(L"ghost"), L"enabled", 1); WithCode(L"ghost"); },
          L"recovery remove ghost", "", 0, { "Recovery code of ghost removed" }, {},
          [](const std::wstring&, const CtlRun&) { EXPECT_FALSE(testreg::ValueExists(testreg::User(L"ghost"), L"Recovery")); } },
        { "forget asks for confirmation", Ghost, L"forget ghost", "", 1, {},
          { "forget removes users\\ghost, tokens\\CAFE0001: run it again with --yes to confirm" }, UNCHANGED },
        { "forget --yes removes the account's key and its tokens only", Ghost, L"forget .\\ghost --yes", "", 0,
          { "Token CAFE0001 removed", "Configuration of ghost removed" }, {},
          [](const std::wstring&, const CtlRun&) {
              EXPECT_FALSE(testreg::KeyExists(testreg::User(L"ghost")));
              EXPECT_FALSE(testreg::KeyExists(testreg::Token(L"CAFE0001")));
              EXPECT_TRUE(testreg::KeyExists(testreg::Token(SERIAL)));
          } },
        { "forget refuses an account that exists", Ghost, L"forget {user} --yes", "", 1, {},
          { "{user} is a local account of this computer: forget is for accounts that were renamed or deleted" }, UNCHANGED },
        { "forget a name nothing names", Ghost, L"forget nobody --yes", "", 0,
          { "The configuration does not name nobody: nothing to forget" }, {}, UNCHANGED },
        { "a name without configuration is still no account", Ghost, L"disable user nosuchuser", "", 1, {},
          { "No local account nosuchuser on this computer" }, UNCHANGED },
        { "associate still wants an account that exists", Ghost, L"associate ghost", ONE_TOKEN, 1, {},
          { "No local account ghost on this computer" }, UNCHANGED },
        // ---- enable user --force, any case, --version ----
        { "enable user --force on an account without configuration", Nothing, L"enable user {user} --force", "", 0,
          { "(switched on because of --force)", "Factor switched on for {user}" }, {},
          [](const std::wstring& user, const CtlRun& run) {
              EXPECT_EQ(std::string("\1\0\0\0", 4), testreg::ReadAnsi(testreg::User(user), "enabled"));
              EXPECT_TRUE(run.err.empty()) << run.Text();
          } },
        { "commands and options in any case", WithCode, L"ENABLE User {user} --JSON", "", 0,
          { "\"command\":\"enable user\",\"result\":\"ok\"" }, {},
          [](const std::wstring& user, const CtlRun&) { EXPECT_TRUE(testreg::ValueExists(testreg::User(user), L"enabled")); } },
        { "--version", Nothing, L"--Version", "", 0, { std::string("velkorctl ") + VELKOR_VERSION_TEXT }, {}, UNCHANGED },
        { "--version with JSON", Nothing, L"--version --json", "", 0,
          { std::string("\"command\":\"version\",\"result\":\"ok\",\"exitCode\":0,\"version\":\"") + VELKOR_VERSION_TEXT + "\"" }, {}, UNCHANGED },
        // ---- usage ----
        { "no command", Nothing, L"", "", 2, {}, { "velkorctl: no command given" }, UNCHANGED },
        { "incomplete command", Nothing, L"enable", "", 2, {}, { "velkorctl: incomplete command enable" }, UNCHANGED },
        { "missing account", Nothing, L"enable user", "", 2, {}, { "velkorctl: enable user needs an account name" }, UNCHANGED },
        { "option of another command", Nothing, L"associate {user} --force", ONE_TOKEN, 2, {},
          { "velkorctl: --force does not apply to associate" }, UNCHANGED },
        { "extra argument", Nothing, L"status now", "", 2, {}, { "velkorctl: unexpected argument now" }, UNCHANGED },
        { "unknown option", Nothing, L"status --verbose", "", 2, {}, { "velkorctl: unknown option --verbose" }, UNCHANGED },
        { "help", Nothing, L"--help", "", 0, { "Usage: velkorctl COMMAND [options] [--json]", "  5  not running as an elevated administrator" }, {}, UNCHANGED },
        { "a command's help", Nothing, L"associate --help", "", 0, { "velkorctl associate NAME [--recovery] [--interface reader|usb] [--pin-file PATH] [--json]" }, {}, UNCHANGED },
        { "help COMMAND", Nothing, L"help recovery", "", 0, { "velkorctl recovery generate NAME [--json]" }, {}, UNCHANGED },
    };

    class CtlCommands : public ::testing::TestWithParam<CommandCase>
    {
    protected:
        void SetUp() override { testreg::Reset(); }
        void TearDown() override { testreg::DeleteTree(); }
    };

    std::string CaseName(const ::testing::TestParamInfo<CommandCase>& info)
    {
        std::string name;
        for (const char* p = info.param.label; *p != '\0'; ++p) name += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        return name + "_" + std::to_string(info.index);
    }
}

TEST_P(CtlCommands, LinesExitCodeAndConfiguration)
{
    const CommandCase& c = GetParam();
    const std::wstring user = CurrentUser();
    const std::string narrowUser = Narrow(user);
    c.setup(user);
    const std::wstring before = testreg::Snapshot();
    const CtlRun run = RunCtl(Expand(std::wstring(c.args), user), c.token);
    EXPECT_EQ(c.exitCode, run.exitCode) << run.Text();
    for (const std::string& text : c.out) EXPECT_TRUE(run.OutHas(Expand(text, narrowUser))) << text << "\n" << run.Text();
    for (const std::string& text : c.err) EXPECT_TRUE(run.ErrHas(Expand(text, narrowUser))) << text << "\n" << run.Text();
    if (c.check)
    {
        c.check(user, run);
    }
    else
    {
        EXPECT_EQ(before, testreg::Snapshot()) << run.Text();
    }
}

INSTANTIATE_TEST_SUITE_P(Table, CtlCommands, ::testing::ValuesIn(CASES), CaseName);
