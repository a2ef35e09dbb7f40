// velkorctl.exe status against installations of every health, the JSON form, the
// preflight's service warning, and the refusal of a non-elevated administrator.
#include "CtlRunner.h"
#include "TestInstallation.h"
#include "TestRegistry.h"

#include <gtest/gtest.h>

#include <functional>

namespace
{
    using testinst::PackagePath;

    // Wine cannot show the running LSA (no SamSs, no readable Code Integrity log); what
    // the running LSA makes of the package is tested with stand-ins in-process.
    std::vector<std::string> WithoutRunningLsa(const std::vector<std::string>& lines)
    {
        std::vector<std::string> kept;
        for (const std::string& line : lines)
        {
            if (line.rfind("Running LSA:", 0) != 0 && line.rfind("LSA protection could not be checked:", 0) != 0)
                kept.push_back(line);
        }
        return kept;
    }

    class CtlStatus : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            testreg::Reset();
            _user = CurrentUser();
            _narrowUser = Narrow(_user);
        }
        void TearDown() override { testreg::DeleteTree(); }

        void ComputerOn(bool safeMode = true)
        {
            testreg::SetDword(testreg::Settings(), L"enabled", 1);
            if (safeMode) testreg::SetDword(testreg::Settings(), L"safemodeEnabled", 1);
        }

        static size_t Count(const std::vector<std::string>& lines, const std::string& start)
        {
            size_t count = 0;
            for (const std::string& line : lines) count += line.rfind(start, 0) == 0 ? 1 : 0;
            return count;
        }

        testinst::CInstallation _installation;
        std::wstring _user;
        std::string _narrowUser;
    };
}

TEST_F(CtlStatus, AHealthyInstallationIsEnforcedAndQuiet)
{
    _installation.Install(L"velkorsubauth.DLL");
    ComputerOn();
    testreg::EnableUser(_user);
    testreg::AssociateToken(L"1234ABCD", _user);
    const std::wstring before = testreg::Snapshot();
    const CtlRun run = RunCtl(L"status");
    EXPECT_EQ(0u, run.exitCode) << run.Text();
    EXPECT_EQ((std::vector<std::string>{
                  "Settings: enabled on, safemodeEnabled on, loggingEnabled off, eventLogEnabled on, requireProof off, networkLogons off, requireTouch off",
                  "Account " + _narrowUser + ": factor on, no recovery code, tokens 1234ABCD",
                  "Token 1234ABCD: user " + _narrowUser + ", no proof credential",
                  "Installation: Auth0 \"velkorsubauth.DLL\" (ours), " + Narrow(PackagePath()) +
                      " present, provider registered, filter registered, COM class registered, RunAsPPL not set" }),
              WithoutRunningLsa(run.out));
    EXPECT_TRUE(run.err.empty()) << run.Text();
    EXPECT_EQ(before, testreg::Snapshot());
}

TEST_F(CtlStatus, EveryReasonThePackageWouldNotRunIsNamed)
{
    const struct
    {
        const char* label;
        std::function<void(testinst::CInstallation&)> setup;
        DWORD exitCode;
        std::string notEnforced; // "" for none
    } cases[] = {
        { "nothing installed", [](testinst::CInstallation&) {}, 3,
          "NOT ENFORCED: logons are not checked by VelkorSubAuth: MSV1_0 Auth0 is not set; " + Narrow(PackagePath()) + " is missing" },
        { "Auth0 of another package", [](testinst::CInstallation& i) { i.Install(L"OtherSubAuth"); }, 3,
          "NOT ENFORCED: logons are not checked by VelkorSubAuth: MSV1_0 Auth0 names \"OtherSubAuth\", not VelkorSubAuth" },
        { "LSA protection 1", [](testinst::CInstallation& i) { i.Install(); i.Protect(1); }, 3,
          "NOT ENFORCED: logons are not checked by VelkorSubAuth: LSA protection is on (RunAsPPL = 1) and refuses the unsigned VelkorSubAuth.dll" },
        { "LSA protection 2", [](testinst::CInstallation& i) { i.Install(); i.Protect(2); }, 3,
          "NOT ENFORCED: logons are not checked by VelkorSubAuth: LSA protection is on (RunAsPPL = 2) and refuses the unsigned VelkorSubAuth.dll" },
        { "RunAsPPL 0", [](testinst::CInstallation& i) { i.Install(); i.Protect(0); }, 0, "" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.label);
        _installation.Remove();
        c.setup(_installation);
        ComputerOn();
        const CtlRun run = RunCtl(L"status");
        EXPECT_EQ(c.exitCode, run.exitCode) << run.Text();
        EXPECT_EQ(c.notEnforced.empty() ? 0u : 1u, Count(run.out, "NOT ENFORCED:")) << run.Text();
        if (!c.notEnforced.empty())
        {
            EXPECT_TRUE(run.OutHas(c.notEnforced)) << run.Text();
        }
        // None of our parts there: said in the health line itself.
        EXPECT_EQ(std::string(c.label) == "nothing installed", run.OutHas("Installation: not installed")) << run.Text();

        // With the computer's switch off nothing is enforced anyway: no line, exit 0.
        testreg::SetDword(testreg::Settings(), L"enabled", 0);
        const CtlRun off = RunCtl(L"status");
        EXPECT_EQ(0u, off.exitCode) << off.Text();
        EXPECT_EQ(0u, Count(off.out, "NOT ENFORCED:")) << off.Text();
    }
}

TEST_F(CtlStatus, WarnsAboutLockedOutAndVanishedAccountsSafeModeAndTheLogonScreen)
{
    ComputerOn(false);
    testreg::EnableUser(_user);                                   // neither token nor code
    testreg::SetDword(testreg::User(L"ghost"), L"enabled", 1);   // no such account
    testreg::SetAnsi(testreg::User(L"ghost"), "Recovery", std::string(64, 'A') + '\0');
    testreg::SetDword(testreg::User(L"offuser"), L"enabled", 0); // off: no warnings
    const CtlRun run = RunCtl(L"status");
    EXPECT_EQ(3u, run.exitCode) << run.Text();
    EXPECT_TRUE(run.OutHas("WARNING: users\\ghost has the factor on but there is no local account ghost (renamed or deleted)"));
    EXPECT_TRUE(run.OutHas("\"velkorctl forget ghost\" removes its configuration"));
    EXPECT_TRUE(run.OutHas("WARNING: " + _narrowUser + " has the factor on but neither a token nor a recovery code: " +
                           _narrowUser + " is locked out"));
    EXPECT_TRUE(run.OutHas("WARNING: safemodeEnabled is not 1: in safe mode every account logs on with its password alone"));
    EXPECT_TRUE(run.OutHas("WARNING: the logon screen part {A614094D-EFED-4B38-94BB-E14B932584B0} is not registered as "
                           "credential provider; credential provider filter; COM class (InprocServer32)"));
    EXPECT_TRUE(run.OutHas("Account ghost: factor on, recovery code set, no tokens, no such local account"));
    EXPECT_EQ(4u, Count(run.out, "WARNING:")) << run.Text();
}

// An account whose tokens the package would all refuse logs on only with its recovery code,
// or not at all: the preflight refuses to switch it on, status warns while it is on, and
// its recovery code cannot be removed.
TEST_F(CtlStatus, TokensThePackageRefusesAreNoFactor)
{
    const std::vector<BYTE> credentialId = { 1, 2, 3 };
    std::vector<BYTE> publicKey(65, 7);
    publicKey[0] = 0x04;
    enum Kind { SerialOnly, Credential, Malformed };
    const std::string head = "WARNING: " + _narrowUser + " has the factor on but ";
    const struct
    {
        const char* label;
        DWORD requireProof;
        std::vector<Kind> tokens;
        bool recoveryCode;
        std::string warning; // after head and before the user's fate; "" for none
        std::string fate;
    } cases[] = {
        { "proof required, serial only", 1, { SerialOnly }, false,
          "requireProof is 1 and none of its tokens has a usable proof credential", " has no recovery code and is locked out" },
        { "proof required, serial only, recovery code", 1, { SerialOnly }, true,
          "requireProof is 1 and none of its tokens has a usable proof credential", " logs on only with its recovery code" },
        { "proof required, a spare with a credential", 1, { SerialOnly, Credential }, false, "", "" },
        { "serial only without the requirement", 0, { SerialOnly }, false, "", "" },
        { "a credential the package cannot use", 0, { Malformed }, false,
          "none of its tokens has a usable proof credential", " has no recovery code and is locked out" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.label);
        testreg::Reset();
        testreg::SetDword(testreg::Settings(), L"requireProof", c.requireProof);
        testreg::SetDword(testreg::User(_user), L"enabled", 0);
        for (size_t i = 0; i < c.tokens.size(); ++i)
        {
            const std::wstring serial = L"CAFE000" + std::to_wstring(i);
            testreg::AssociateToken(serial, _user);
            if (c.tokens[i] != SerialOnly) testreg::SetRaw(testreg::Token(serial), L"credentialId", REG_BINARY, credentialId);
            if (c.tokens[i] == Credential) testreg::SetRaw(testreg::Token(serial), L"publicKey", REG_BINARY, publicKey);
        }
        if (c.recoveryCode) testreg::SetAnsi(testreg::User(_user), "Recovery", std::string(64, 'A') + '\0');

        const bool lockedOut = !c.warning.empty() && !c.recoveryCode;
        const CtlRun enable = RunCtl(L"enable user " + _user);
        EXPECT_EQ(lockedOut ? 1u : 0u, enable.exitCode) << enable.Text();
        if (lockedOut)
        {
            EXPECT_TRUE(enable.ErrHas(_narrowUser + " would be locked out: " + c.warning +
                                      "; associate a key that proves possession or generate a recovery code first"))
                << enable.Text();
        }

        testreg::SetDword(testreg::User(_user), L"enabled", 1);
        const CtlRun status = RunCtl(L"status");
        EXPECT_EQ(c.warning.empty() ? 0u : 1u, Count(status.out, head)) << status.Text();
        if (!c.warning.empty())
        {
            EXPECT_TRUE(status.OutHas(head + c.warning + ": " + _narrowUser + c.fate)) << status.Text();
        }
        // Nor may the recovery code go when it is the only way in.
        if (c.recoveryCode)
        {
            const CtlRun remove = RunCtl(L"recovery remove " + _user);
            EXPECT_EQ(c.warning.empty() ? 0u : 1u, remove.exitCode) << remove.Text();
        }
    }
}

TEST_F(CtlStatus, JsonIsOneObjectWithWarningsAlsoOnStandardError)
{
    ComputerOn(false);
    testreg::SetDword(testreg::Settings(), L"eventLogEnabled", 0);
    testreg::SetDword(testreg::Settings(), L"requireProof", 1);
    testreg::AssociateToken(L"0BADCAFE", L"someone \"quoted\"");
    testreg::SetRaw(testreg::Token(L"0BADCAFE"), L"credentialId", REG_BINARY, { 1, 2, 3 });
    testreg::SetDword(testreg::Token(L"0BADCAFE"), L"signCount", 5);
    const CtlRun run = RunCtl(L"status --json");
    EXPECT_EQ(3u, run.exitCode) << run.Text();
    ASSERT_EQ(1u, run.out.size()) << run.Text();
    const std::string& json = run.out[0];
    EXPECT_EQ(0u, json.find("{\"command\":\"status\",\"result\":\"notEnforced\",\"exitCode\":3,\"settings\":{\"enabled\":true,"
                            "\"safemodeEnabled\":false,\"loggingEnabled\":false,\"eventLogEnabled\":false,\"requireProof\":true,\"networkLogons\":false,\"requireTouch\":false},"
                            "\"accounts\":[],\"tokens\":[{\"serial\":\"0BADCAFE\",\"interface\":\"reader\",\"name\":null,\"user\":\"someone \\\"quoted\\\"\","
                            "\"credential\":true,\"credentialUsable\":false,\"signCount\":5}],\"installation\":{\"auth0\":null,\"auth0IsOurs\":false,"))
        << json;
    EXPECT_NE(std::string::npos, json.find("\"runAsPPL\":null,\"lsaProtectionRefuses\":false,\"packageLoads\":false},"
                                           "\"enforced\":false,\"notEnforced\":\"NOT ENFORCED: "))
        << json;
    EXPECT_NE(std::string::npos, json.find("\"messages\":[],\"warnings\":[\"the logon screen part")) << json;
    EXPECT_EQ('}', json.back());
    EXPECT_EQ(1u, Count(run.err, "NOT ENFORCED:")) << run.Text();
    EXPECT_EQ(2u, Count(run.err, "WARNING: ")) << run.Text(); // logon screen, safe mode
}

TEST_F(CtlStatus, ACommandInJsonCarriesItsResults)
{
    const CtlRun run = RunCtl(L"associate " + _user + L" --recovery --json", ONE_TOKEN);
    EXPECT_EQ(0u, run.exitCode) << run.Text();
    ASSERT_EQ(1u, run.out.size()) << run.Text();
    const std::string head = "{\"command\":\"associate\",\"result\":\"ok\",\"exitCode\":0,\"account\":\"" + _narrowUser +
                             "\",\"enabled\":true,\"serial\":\"1234ABCD\",\"recoveryCode\":\"";
    EXPECT_EQ(0u, run.out[0].find(head)) << run.out[0];
    EXPECT_NE(std::string::npos, run.out[0].find("\",\"messages\":[\"Token 1234ABCD added to user ")) << run.out[0];

    const CtlRun refused = RunCtl(L"enable user nosuchuser --json");
    EXPECT_EQ(1u, refused.exitCode);
    ASSERT_EQ(1u, refused.out.size()) << refused.Text();
    EXPECT_EQ("{\"command\":\"enable user\",\"result\":\"refused\",\"exitCode\":1,\"messages\":[],\"warnings\":[],"
              "\"errors\":[\"No local account nosuchuser on this computer\"]}",
              refused.out[0]);
    EXPECT_EQ((std::vector<std::string>{ "No local account nosuchuser on this computer" }), refused.err);
}

TEST_F(CtlStatus, AServiceRunningAsTheAccountIsNamed)
{
    const wchar_t SERVICE[] = L"VelkorCtlTestService";
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(nullptr, manager);
    const std::wstring runAs = L".\\" + _user;
    SC_HANDLE service = CreateServiceW(manager, SERVICE, SERVICE, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, L"C:\\windows\\system32\\notepad.exe",
                                       nullptr, nullptr, nullptr, runAs.c_str(), L"password");
    ASSERT_NE(nullptr, service) << GetLastError();
    testreg::AssociateToken(L"1234ABCD", _user);
    testreg::CreateKey(testreg::User(_user));

    const CtlRun run = RunCtl(L"enable user " + _user);
    const CtlRun dissociate = RunCtl(L"dissociate " + _user, ONE_TOKEN); // no preflight on the way out
    DeleteService(service);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);

    EXPECT_EQ(0u, run.exitCode) << run.Text();
    const std::string warning = "WARNING: Service VelkorCtlTestService runs as " + _narrowUser +
                                " and will fail to start while its token is absent";
    EXPECT_TRUE(run.OutHas(warning)) << run.Text();
    EXPECT_FALSE(dissociate.OutHas(warning)) << dissociate.Text();
    // Wine's Task Scheduler cannot count a folder's tasks: said, not refused.
    if (run.OutHas("WARNING: scheduled tasks could not all be checked"))
    {
        EXPECT_TRUE(run.OutHas("Task Scheduler: Not implemented (error 0x80004001)")) << run.Text();
    }
}

TEST_F(CtlStatus, ANonElevatedAdministratorIsRefusedAndHelpStillWorks)
{
    HANDLE process = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &process));
    BYTE administrators[SECURITY_MAX_SID_SIZE] = {};
    DWORD cb = sizeof(administrators);
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &cb));
    SID_AND_ATTRIBUTES denyOnly = { administrators, 0 };
    HANDLE limited = nullptr;
    ASSERT_TRUE(CreateRestrictedToken(process, 0, 1, &denyOnly, 0, nullptr, 0, nullptr, &limited));
    CloseHandle(process);

    testreg::SetDword(testreg::Settings(), L"enabled", 1);
    testreg::AssociateToken(L"1234ABCD", _user);
    const std::wstring before = testreg::Snapshot();
    const wchar_t* commands[] = { L"status", L"disable computer", L"enable user {user}", L"associate {user} --recovery",
                                  L"recovery generate {user}", L"dissociate {user} --json" };
    for (const wchar_t* command : commands)
    {
        std::wstring args = command;
        const size_t at = args.find(L"{user}");
        if (at != std::wstring::npos) args.replace(at, 6, _user);
        const CtlRun run = RunCtl(args, ONE_TOKEN, limited);
        EXPECT_EQ(5u, run.exitCode) << Narrow(args) << "\n" << run.Text();
        EXPECT_TRUE(run.ErrHas("velkorctl must run as an elevated administrator")) << run.Text();
    }
    EXPECT_EQ(before, testreg::Snapshot());

    const CtlRun help = RunCtl(L"--help", "", limited);
    EXPECT_EQ(0u, help.exitCode) << help.Text();
    EXPECT_TRUE(help.OutHas("Usage: velkorctl COMMAND"));
    CloseHandle(limited);
}

// The network logon policy is read as the package reads it: the REG_DWORD 1 and nothing else.
TEST_F(CtlStatus, ShowsTheNetworkLogonPolicyAsThePackageReadsIt)
{
    const struct { const char* label; DWORD type; std::vector<BYTE> data; const char* line; const char* json; } cases[] = {
        { "REG_DWORD 1", REG_DWORD, { 1, 0, 0, 0 }, "networkLogons on", "\"networkLogons\":true" },
        { "REG_DWORD 2", REG_DWORD, { 2, 0, 0, 0 }, "networkLogons off", "\"networkLogons\":false" },
        { "REG_SZ 1", REG_SZ, { '1', 0 }, "networkLogons off", "\"networkLogons\":false" },
    };
    for (const auto& c : cases)
    {
        testreg::SetRaw(testreg::Settings(), L"networkLogons", c.type, c.data);
        const CtlRun text = RunCtl(L"status");
        EXPECT_TRUE(text.OutHas(c.line)) << c.label << "\n" << text.Text();
        const CtlRun json = RunCtl(L"status --json");
        EXPECT_TRUE(json.OutHas(c.json)) << c.label << "\n" << json.Text();
    }
}
