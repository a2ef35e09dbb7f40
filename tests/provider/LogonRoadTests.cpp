// Whole logons: the logon simulator in its own process drives the registered provider
// and filter, the fake password provider and the sub-authentication package named by
// Auth0, with the virtual token described by a scenario file.
#include "AccountActions.h"
#include "TestRegistry.h"
#include "VirtualSCard.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace
{
    const wchar_t CODE[] = L"A1B2C3D4E5F60718293A4B5C6D7E8F90";
    const char VERIFIER[] = "4C66E363557147242581FFBEBF20742A133BCF69E25086C25456924A9D9BA520";
    const char TOKEN_READER[] = "reader \"Halvane Velkor FIDO2 Security Key 0\" token\n";

    struct SimulatorRun
    {
        DWORD exitCode;
        std::string output;

        bool Shows(const std::string& text) const { return output.find(text) != std::string::npos; }
    };

    std::wstring Folder()
    {
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring folder = path;
        return folder.substr(0, folder.find_last_of(L'\\') + 1);
    }

    std::wstring WriteTokenScenario(const std::string& text)
    {
        wchar_t folder[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, folder);
        const std::wstring path = std::wstring(folder) + L"velkor-road-token.txt";
        std::ofstream(path.c_str(), std::ios::binary | std::ios::trunc) << text;
        return path;
    }

    // A program next to this one, its output and exit code.
    SimulatorRun RunProgram(std::wstring commandLine)
    {
        SECURITY_ATTRIBUTES inherit = { sizeof(inherit), nullptr, TRUE };
        HANDLE hRead = nullptr, hWrite = nullptr;
        EXPECT_TRUE(CreatePipe(&hRead, &hWrite, &inherit, 0));
        SetHandleInformation(hRead, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = hWrite;
        startup.hStdError = hWrite;
        PROCESS_INFORMATION process = {};
        const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                            &startup, &process);
        CloseHandle(hWrite);
        SimulatorRun run = { 99, "" };
        if (!started)
        {
            CloseHandle(hRead);
            ADD_FAILURE() << "cannot start the simulator: " << GetLastError();
            return run;
        }
        // Read until the simulator has ended, not until the pipe ends: a process it starts
        // (Wine's explorer.exe /desktop, say) may inherit the pipe and keep it open.
        char buffer[4096];
        for (bool ended = false;;)
        {
            DWORD available = 0;
            DWORD read = 0;
            if (PeekNamedPipe(hRead, nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
                ReadFile(hRead, buffer, sizeof(buffer), &read, nullptr) && read > 0)
            {
                run.output.append(buffer, read);
                continue;
            }
            if (ended) break;
            ended = WaitForSingleObject(process.hProcess, 20) == WAIT_OBJECT_0;
        }
        GetExitCodeProcess(process.hProcess, &run.exitCode);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
        CloseHandle(hRead);
        return run;
    }

    SimulatorRun Simulate(const std::wstring& arguments, const std::string& tokenScenario = "",
                          const wchar_t* tiles = L"alice,bob")
    {
        SetEnvironmentVariableW(L"VELKOR_FAKE_PASSWORD_TILES", tiles);
        std::wstring commandLine = L"\"" + Folder() + L"logon_simulator.exe\" " + arguments;
        if (!tokenScenario.empty())
        {
            commandLine += L" --token-scenario \"" + WriteTokenScenario(tokenScenario) + L"\"";
        }
        return RunProgram(commandLine);
    }

    // velkorctl in its own process, its keys described by the scenario.
    SimulatorRun Velkorctl(const std::wstring& arguments, const std::string& tokenScenario)
    {
        SetEnvironmentVariableW(L"VELKOR_VSCARD_SCENARIO", WriteTokenScenario(tokenScenario).c_str());
        const SimulatorRun run = RunProgram(L"\"" + Folder() + L"velkorctl.exe\" " + arguments);
        SetEnvironmentVariableW(L"VELKOR_VSCARD_SCENARIO", nullptr);
        return run;
    }

    class LogonRoad : public ::testing::Test
    {
    protected:
        static void SetUpTestSuite()
        {
            const SimulatorRun run = Simulate(L"--register");
            ASSERT_EQ(0u, run.exitCode) << run.output;
        }

        static void TearDownTestSuite()
        {
            const std::wstring ours = L"{A614094D-EFED-4B38-94BB-E14B932584B0}";
            const std::wstring password = L"{60B78E88-EAD8-445C-9CFD-0B87F74EA6CD}";
            const std::wstring authentication = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Authentication\\";
            testreg::DeleteKey(L"SOFTWARE\\Classes\\CLSID\\" + ours);
            testreg::DeleteKey(L"SOFTWARE\\Classes\\CLSID\\" + password);
            testreg::DeleteKey(authentication + L"Credential Providers\\" + ours);
            testreg::DeleteKey(authentication + L"Credential Providers\\" + password);
            testreg::DeleteKey(authentication + L"Credential Provider Filters\\" + ours);
            testreg::DeleteValue(L"SYSTEM\\CurrentControlSet\\Control\\Lsa\\MSV1_0", L"Auth0");
            testreg::DeleteTree();
        }

        void SetUp() override
        {
            testreg::Reset();
            testreg::EnableUser(L"alice");
            testreg::AssociateToken(L"1234ABCD", L"alice");
        }

        static bool SecLeft() { return testreg::ValueExists(testreg::User(L"alice"), L"sec"); }
    };
}

TEST_F(LogonRoad, TokenOfTheUserLogsOn)
{
    const SimulatorRun run = Simulate(L"", TOKEN_READER);
    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_TRUE(run.Shows("Provider {60B78E88-EAD8-445C-9CFD-0B87F74EA6CD}: filtered out")) << run.output;
    EXPECT_TRUE(run.Shows("field 5 command link  selected tile    label \"\" value \"Insert Velkor FIDO2 token or click for recovery\""))
        << run.output;
    EXPECT_TRUE(run.Shows("field 4 edit text     hidden           label \"Type recovery code\"")) << run.output;
    EXPECT_TRUE(run.Shows("Msv1_0SubAuthenticationFilter(alice) = 0x00000000, Authoritative 1")) << run.output;
    EXPECT_TRUE(run.Shows("Result: logged on")) << run.output;
}

TEST_F(LogonRoad, EveryTokenProblemShowsItsMessage)
{
    const struct { const char* token; const char* message; } cases[] = {
        { "", "Status: \"FIDO2 Logon failed, insert Velkor FIDO2 Token\" [error icon]" },
        { "reader \"Generic Smart Card Reader 0\" token\n", "Status: \"FIDO2 Logon failed, insert Velkor FIDO2 Token\" [error icon]" },
        { "reader \"Halvane Velkor FIDO2 Security Key 0\" token\nreader \"Halvane Velkor FIDO2 Security Key 1\" token\n",
          "Status: \"More than one token detected; remove all tokens and insert one for logon\" [error icon]" },
        { "reader \"Halvane Velkor FIDO2 Security Key 0\" token\nserial 0000BEEF\n",
          "Status: \"Token does not have information about this user\" [error icon]" },
        { "reader \"Halvane Velkor FIDO2 Security Key 0\" token\nfail SCardConnectW 80100069\n",
          "Status: \"Token communication error; please retry\" [error icon]" },
    };
    for (const auto& c : cases)
    {
        const SimulatorRun run = Simulate(L"", c.token);
        EXPECT_EQ(1u, run.exitCode) << c.token << run.output;
        EXPECT_TRUE(run.Shows(c.message)) << c.token << run.output;
        EXPECT_TRUE(run.Shows("Result: logon refused")) << run.output;
    }
}

TEST_F(LogonRoad, TokenOfAnotherUserRefusesBob)
{
    testreg::EnableUser(L"bob");
    const SimulatorRun run = Simulate(L"--tile 1", TOKEN_READER);
    EXPECT_EQ(1u, run.exitCode) << run.output;
    EXPECT_TRUE(run.Shows("Msv1_0SubAuthenticationFilter(bob) = 0xFFFF0015, Authoritative 0")) << run.output;
    EXPECT_TRUE(run.Shows("Status: \"Token does not have information about this user\" [error icon]")) << run.output;
}

TEST_F(LogonRoad, RecoveryCodeLogsOnAndLeavesNothingBehind)
{
    testreg::SetAnsi(testreg::User(L"alice"), "Recovery", std::string(VERIFIER) + '\0');
    const SimulatorRun run = Simulate(std::wstring(L"--recovery ") + CODE);
    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_TRUE(run.Shows("Clicking \"Insert Velkor FIDO2 token or click for recovery\"")) << run.output;
    EXPECT_TRUE(run.Shows("(the tile shows field 4 in: selected tile)")) << run.output;
    EXPECT_TRUE(run.Shows("Msv1_0SubAuthenticationFilter(alice) = 0x00000000, Authoritative 0")) << run.output;
    EXPECT_FALSE(SecLeft());

    const SimulatorRun wrong = Simulate(L"--recovery 00000000000000000000000000000000");
    EXPECT_EQ(1u, wrong.exitCode) << wrong.output;
    EXPECT_TRUE(wrong.Shows("Status: \"Recovery key not set or invalid recovery key\" [error icon]")) << wrong.output;
    EXPECT_FALSE(SecLeft());
}

TEST_F(LogonRoad, UserWithoutTheFactorLogsOnWithThePasswordAlone)
{
    const SimulatorRun run = Simulate(L"--tile 1 --recovery 0123");
    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_TRUE(run.Shows("Msv1_0SubAuthenticationFilter(bob) = 0x00000000, Authoritative 0")) << run.output;
    EXPECT_FALSE(testreg::KeyExists(testreg::User(L"bob")));
}

TEST_F(LogonRoad, PasswordTilesAreFilteredAsTheScenarioSays)
{
    for (const wchar_t* scenario : { L"--scenario unlock", L"--scenario changepassword", L"--scenario credui" })
    {
        const SimulatorRun run = Simulate(scenario, TOKEN_READER);
        EXPECT_TRUE(run.Shows("Provider {60B78E88-EAD8-445C-9CFD-0B87F74EA6CD}: filtered out")) << run.output;
        EXPECT_EQ(0u, run.exitCode) << run.output;
    }
    const SimulatorRun generic = Simulate(L"--scenario credui --credui-flags 1", TOKEN_READER);
    EXPECT_TRUE(generic.Shows("Provider {60B78E88-EAD8-445C-9CFD-0B87F74EA6CD}: allowed")) << generic.output;
}

// Credential UI never reports the result to the tile, and a password change never reaches
// the package: nothing typed there is handed over, or waits in the store for a later logon
// of the same user.
TEST_F(LogonRoad, CredentialUiAndPasswordChangeHandNoCodeOver)
{
    testreg::SetAnsi(testreg::User(L"alice"), "Recovery", std::string(VERIFIER) + '\0');
    for (const wchar_t* scenario : { L"credui", L"changepassword" })
    {
        const SimulatorRun run = Simulate(std::wstring(L"--scenario ") + scenario + L" --recovery " + CODE);
        EXPECT_TRUE(run.Shows("field 5 command link  hidden")) << run.output;
        EXPECT_TRUE(run.Shows("Msv1_0SubAuthenticationFilter(alice) = 0xFFFF0011, Authoritative 1")) << run.output;
        EXPECT_FALSE(SecLeft());
        const SimulatorRun next = Simulate(L"");
        EXPECT_TRUE(next.Shows("Msv1_0SubAuthenticationFilter(alice) = 0xFFFF0011, Authoritative 1")) << next.output;
    }
}

namespace
{
    // The administrator's side, answered without a person: no recovery code.
    class CSilentPrompts final : public IAdminPrompts
    {
    public:
        int Show(const wchar_t* pszText, UINT uType) override
        {
            shown.push_back(pszText);
            return uType == QUESTION_BOX ? IDNO : IDOK;
        }
        void ShowRecoveryCode(const wchar_t*) override {}
        std::vector<std::wstring> shown;
    };
}

// The key is associated through the Login Manager's own flow in this process; the logons
// run in the simulator's, with the same key (the same serial and secret) described by a
// scenario file. A look-alike, a counter gone back and a key without FIDO2 under
// requireProof are refused with the tile's message.
TEST_F(LogonRoad, ProofOfPossessionFromAssociationToTheTile)
{
    testreg::DeleteKey(testreg::Token(L"1234ABCD"));
    VScardReset();
    VScardAddReader(L"Halvane Velkor FIDO2 Security Key 0", TRUE);
    CSilentPrompts prompts;
    wchar_t trace[MANAGER_TRACE_TEXT_CHARS] = {};
    ASSERT_EQ(0u, AssociateTokenWithAccount(prompts, trace, L"alice"));
    VScardReset();
    ASSERT_TRUE(testreg::ValueExists(testreg::Token(L"1234ABCD"), L"publicKey"));
    // The key's counter goes on from where the association left it.
    const std::string counter = testreg::ReadAnsi(testreg::Token(L"1234ABCD"), "signCount");
    ASSERT_EQ(4u, counter.size());
    DWORD stored = 0;
    memcpy(&stored, counter.data(), sizeof(stored));
    const std::string key = std::string(TOKEN_READER) + "fido counter per-credential " + std::to_string(stored + 10) + "\n";

    const SimulatorRun proven = Simulate(L"", key);
    EXPECT_EQ(0u, proven.exitCode) << proven.output;
    EXPECT_TRUE(proven.Shows("Msv1_0SubAuthenticationFilter(alice) = 0x00000000, Authoritative 1")) << proven.output;

    const char* const refused = "Status: \"Token could not prove it is the registered key\" [error icon]";
    const SimulatorRun lookAlike = Simulate(L"", key + "device-secret 0102030405\n");
    EXPECT_EQ(1u, lookAlike.exitCode) << lookAlike.output;
    EXPECT_TRUE(lookAlike.Shows(refused)) << lookAlike.output;

    const SimulatorRun replayed = Simulate(L"", std::string(TOKEN_READER) + "fido counter per-credential " +
                                                     std::to_string(stored - 10) + "\n");
    EXPECT_TRUE(replayed.Shows("= 0xFFFF0017, Authoritative 1")) << replayed.output;
    EXPECT_TRUE(replayed.Shows(refused)) << replayed.output;

    // A key known by its serial alone: accepted until proof is required.
    testreg::DeleteValue(testreg::Token(L"1234ABCD"), L"credentialId");
    testreg::DeleteValue(testreg::Token(L"1234ABCD"), L"publicKey");
    const std::string serialOnly = std::string(TOKEN_READER) + "fido absent\n";
    EXPECT_EQ(0u, Simulate(L"", serialOnly).exitCode);
    testreg::SetDword(testreg::Settings(), L"requireProof", 1);
    const SimulatorRun required = Simulate(L"", serialOnly);
    EXPECT_EQ(1u, required.exitCode) << required.output;
    EXPECT_TRUE(required.Shows(refused)) << required.output;
}

// A key over USB: associated with velkorctl (in its process, the key described by a scenario
// file), then the logons in the simulator's, with the same key found over USB. A key holding
// nothing, a copy whose counter is behind, and requireTouch (the tile says to touch the key);
// and a Velkor key without FIDO2 on its smart-card interface, proving over USB.
TEST_F(LogonRoad, UsbKeyFromVelkorctlToTheTile)
{
    // velkorctl takes only a local account: this computer's one.
    wchar_t szUser[256] = {};
    DWORD cchUser = ARRAYSIZE(szUser);
    ASSERT_TRUE(GetUserNameW(szUser, &cchUser));
    const std::wstring user = szUser;
    const std::string narrowUser(user.begin(), user.end());
    testreg::DeleteKey(testreg::Token(L"1234ABCD"));
    testreg::EnableUser(user);
    const std::string key = "hid \"Velkor FIDO2 Key\"\nserial 0BADC0DE\n";
    const SimulatorRun associated = Velkorctl(L"associate " + user + L" --interface usb", key);
    ASSERT_EQ(0u, associated.exitCode) << associated.output;
    EXPECT_TRUE(associated.Shows("Touch the key now")) << associated.output;

    // The virtual key counts in tenths of seconds across processes: a logon in the same tenth
    // as the last count would present the same count again.
    Sleep(200);
    const SimulatorRun proven = Simulate(L"", key, user.c_str());
    EXPECT_EQ(0u, proven.exitCode) << proven.output;
    EXPECT_TRUE(proven.Shows("Msv1_0SubAuthenticationFilter(" + narrowUser + ") = 0x00000000, Authoritative 1")) << proven.output;

    const char* const refused = "Status: \"Token could not prove it is the registered key\" [error icon]";
    for (const std::string& other : { std::string("hid \"Other Key\"\nserial 0BADCAFE\n"), key + "fido counter-lag 100000\n" })
    {
        const SimulatorRun run = Simulate(L"", other, user.c_str());
        EXPECT_EQ(1u, run.exitCode) << run.output;
        EXPECT_TRUE(run.Shows(refused)) << run.output;
    }

    testreg::SetDword(testreg::Settings(), L"requireTouch", 1);
    Sleep(200);
    const SimulatorRun touched = Simulate(L"", key + "hid touch 300\n", user.c_str());
    EXPECT_EQ(0u, touched.exitCode) << touched.output;
    EXPECT_TRUE(touched.Shows("Touch your security key when it flashes")) << touched.output;
    testreg::DeleteValue(testreg::Settings(), L"requireTouch");

    testreg::Reset();
    testreg::EnableUser(user);
    const std::string velkor = std::string(TOKEN_READER) + "serial 0BADC0DE\nfido absent\n" + key;
    const SimulatorRun both = Velkorctl(L"associate " + user, velkor);
    ASSERT_EQ(0u, both.exitCode) << both.output;
    EXPECT_TRUE(testreg::ValueExists(testreg::Token(L"0BADC0DE"), L"publicKey"));
    Sleep(200);
    const SimulatorRun overUsb = Simulate(L"", velkor, user.c_str());
    EXPECT_EQ(0u, overUsb.exitCode) << overUsb.output;
}

