// Faults the platform can produce, driven through the exported filter: every PC/SC call
// failing in turn, the token pulled between commands, registry values of every wrong
// kind, and a log file that cannot be written. Each ends in a defined result, nothing
// crashes, and the package writes nothing to the configuration.
#include "LogonHarness.h"
#include "TestLogFile.h"
#include "TestRegistry.h"
#include "VirtualSCard.h"

#include <winscard.h>

#include <string>
#include <vector>

namespace
{
    const wchar_t TOKEN_READER[] = L"Halvane Velkor FIDO2 Security Key 0";
    const wchar_t CODE[] = L"A1B2C3D4E5F60718293A4B5C6D7E8F90";
    const char VERIFIER[] = "4C66E363557147242581FFBEBF20742A133BCF69E25086C25456924A9D9BA520";
    const wchar_t HOLD_LOG_VARIABLE[] = L"VELKOR_TEST_HOLD_LOG";

    // Started again as a child with VELKOR_TEST_HOLD_LOG set, this program holds the log
    // file open without sharing until its parent says so: another process, as in the field.
    struct CLogHolder
    {
        CLogHolder()
        {
            wchar_t value[8] = {};
            if (GetEnvironmentVariableW(HOLD_LOG_VARIABLE, value, 8) == 0) return;
            HANDLE hFile = CreateFileW(L"C:\\Velkor.txt", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
            HANDLE hHeld = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"VelkorTestLogHeld");
            HANDLE hRelease = OpenEventW(SYNCHRONIZE, FALSE, L"VelkorTestLogRelease");
            SetEvent(hHeld);
            WaitForSingleObject(hRelease, 60000);
            CloseHandle(hFile);
            ExitProcess(0);
        }
    } g_logHolder;

    class SubAuthFaults : public CPackageTest
    {
    protected:


        void SetUp() override
        {
            ASSERT_NE(nullptr, s_pfnFilter);
            testreg::Reset();
            testlog::Delete();
            ResetPackageClock();
            testreg::EnableUser(L"alice", true);
            testreg::AssociateToken(L"1234ABCD", L"alice");
            VScardReset();
            VScardAddReader(L"Generic USB Smart Card Reader 0", FALSE);
            VScardAddReader(TOKEN_READER, TRUE);
        }

        void TearDown() override
        {
            testreg::DeleteTree();
            testlog::Delete();
        }

        // One logon; the configuration must be exactly as it was, but for a typed code that
        // the package read: that one is gone, whatever its shape.
        enum class Sec { Kept, Taken };
        LogonOutcome Logon(const std::wstring& user = L"alice", Sec sec = Sec::Kept)
        {
            std::wstring expected = testreg::Snapshot();
            if (sec == Sec::Taken)
            {
                EXPECT_TRUE(testreg::ValueExists(testreg::User(user), L"sec"));
                expected = SnapshotWithoutSec(user);
            }
            const LogonOutcome outcome = CallLogon(s_pfnFilter, user);
            EXPECT_EQ(expected, testreg::Snapshot()) << "the package changed the configuration";
            return outcome;
        }

        static std::wstring SnapshotWithoutSec(const std::wstring& user)
        {
            HKEY hKey = nullptr;
            EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, testreg::User(user).c_str(), 0, KEY_ALL_ACCESS, &hKey));
            DWORD type = 0;
            std::vector<BYTE> data(4096);
            DWORD cb = static_cast<DWORD>(data.size());
            RegQueryValueExW(hKey, L"sec", nullptr, &type, data.data(), &cb);
            RegDeleteValueW(hKey, L"sec");
            const std::wstring snapshot = testreg::Snapshot();
            RegSetValueExW(hKey, L"sec", 0, type, data.data(), cb);
            RegCloseKey(hKey);
            return snapshot;
        }

    };


    struct CallFault
    {
        int function;
        DWORD nth;
        LONG code;
        LogonOutcome expected;
        bool resourcesReturned; // a failed release or disconnect leaves the platform's object behind
    };
}

TEST_F(SubAuthFaults, EveryPcscCallFailingInTurn)
{
    const LONG REMOVED = static_cast<LONG>(SCARD_W_REMOVED_CARD);
    const LONG LOST = static_cast<LONG>(SCARD_E_COMM_DATA_LOST);
    const CallFault faults[] = {
        { VSCARD_FN_ESTABLISH_CONTEXT, 1, static_cast<LONG>(SCARD_E_NO_SERVICE), { NO_TOKEN, TRUE }, true },
        { VSCARD_FN_ESTABLISH_CONTEXT, 1, static_cast<LONG>(SCARD_F_INTERNAL_ERROR), { NO_TOKEN, TRUE }, true },
        { VSCARD_FN_LIST_READERS_W, 1, static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE), { NO_TOKEN, TRUE }, true },
        { VSCARD_FN_LIST_READERS_W, 1, static_cast<LONG>(SCARD_E_SERVICE_STOPPED), { NO_TOKEN, TRUE }, true },
        { VSCARD_FN_CONNECT_W, 1, REMOVED, { CONNECT_FAILED, TRUE }, true },
        { VSCARD_FN_CONNECT_W, 1, static_cast<LONG>(SCARD_E_NO_SMARTCARD), { CONNECT_FAILED, TRUE }, true },
        { VSCARD_FN_CONNECT_W, 1, static_cast<LONG>(SCARD_E_SHARING_VIOLATION), { CONNECT_FAILED, TRUE }, true },
        { VSCARD_FN_TRANSMIT, 1, LOST, { WRONG_USER, TRUE }, true },
        { VSCARD_FN_TRANSMIT, 2, REMOVED, { WRONG_USER, TRUE }, true },
        { VSCARD_FN_TRANSMIT, 3, LOST, { 0, TRUE }, true },
        { VSCARD_FN_TRANSMIT, 4, REMOVED, { 0, TRUE }, true },
        { VSCARD_FN_TRANSMIT, 5, LOST, { 0, TRUE }, true },
        { VSCARD_FN_DISCONNECT, 1, REMOVED, { 0, TRUE }, false },
        { VSCARD_FN_RELEASE_CONTEXT, 1, static_cast<LONG>(SCARD_E_INVALID_HANDLE), { 0, TRUE }, false },
    };
    for (const CallFault& fault : faults)
    {
        VScardFailCall(fault.function, 0, 0, FALSE);
        ASSERT_TRUE(VScardFailCall(fault.function, fault.code, fault.nth, FALSE));
        EXPECT_EQ(fault.expected, Logon()) << VScardFunctionName(fault.function) << " call " << fault.nth;
        if (fault.resourcesReturned)
        {
            EXPECT_EQ(0u, VScardOpenContexts()) << VScardFunctionName(fault.function);
            EXPECT_EQ(0u, VScardOpenCards()) << VScardFunctionName(fault.function);
        }
        VScardFailCall(fault.function, 0, 0, FALSE);
    }
    // A failure that lasts: every transmission from the first on.
    VScardFailCall(VSCARD_FN_TRANSMIT, LOST, 1, TRUE);
    EXPECT_EQ((LogonOutcome{ WRONG_USER, TRUE }), Logon());
}

TEST_F(SubAuthFaults, TokenPulledBetweenAnyTwoCommands)
{
    // Before the serial is complete it counts as a token of nobody; afterwards only the
    // probe is cut short.
    const LogonOutcome expected[] = { { WRONG_USER, TRUE }, { 0, TRUE }, { 0, TRUE }, { 0, TRUE } };
    for (DWORD transmits = 1; transmits <= 4; ++transmits)
    {
        VScardReset();
        VScardAddReader(TOKEN_READER, TRUE);
        ASSERT_TRUE(VScardPullTokenAfterTransmits(0, transmits));
        EXPECT_EQ(expected[transmits - 1], Logon()) << "pulled after " << transmits;
        EXPECT_EQ(0u, VScardOpenContexts());
        EXPECT_EQ(0u, VScardOpenCards());
    }
    // Pulled between listing and connecting.
    VScardReset();
    VScardAddReader(TOKEN_READER, FALSE);
    EXPECT_EQ((LogonOutcome{ CONNECT_FAILED, TRUE }), Logon());
}

TEST_F(SubAuthFaults, SwitchValuesOfEveryKind)
{
    const std::wstring settings = testreg::Settings();
    const struct { DWORD type; std::vector<BYTE> data; bool on; } kinds[] = {
        { REG_DWORD, { 1, 0, 0, 0 }, true },
        { REG_DWORD, { 0, 0, 0, 0 }, false },
        { REG_DWORD, { 2, 0, 0, 0 }, false },
        { REG_DWORD, { 0xFF, 0xFF, 0xFF, 0xFF }, false },
        { REG_SZ, { '1', 0, 0, 0 }, false },
        { REG_BINARY, { 1 }, true },
        { REG_BINARY, { 1, 0, 0, 0, 0 }, false },
        { REG_BINARY, {}, false },
        { REG_QWORD, { 1, 0, 0, 0, 0, 0, 0, 0 }, false },
    };
    VScardReset(); // no token: an enforced factor refuses
    for (const auto& kind : kinds)
    {
        testreg::SetRaw(settings, L"enabled", kind.type, kind.data);
        const LogonOutcome expected = kind.on ? LogonOutcome{ NO_TOKEN, TRUE } : LogonOutcome{ 0, FALSE };
        EXPECT_EQ(expected, Logon())
            << "machine switch of type " << kind.type << " and " << kind.data.size() << " bytes";
    }
    testreg::SetDword(settings, L"enabled", 1);
    for (const auto& kind : kinds)
    {
        testreg::SetRaw(testreg::User(L"alice"), L"enabled", kind.type, kind.data);
        const LogonOutcome expected = kind.on ? LogonOutcome{ NO_TOKEN, TRUE } : LogonOutcome{ 0, FALSE };
        EXPECT_EQ(expected, Logon())
            << "user switch of type " << kind.type << " and " << kind.data.size() << " bytes";
    }
}

TEST_F(SubAuthFaults, TypedCodesOfEverySize)
{
    testreg::SetAnsi(testreg::User(L"alice"), "Recovery", std::string(VERIFIER) + '\0');
    // sizes with the terminator: 255 and 256 bytes are read (and refused as codes), 257 is
    // too long to read and so no code at all: the token path.
    // A value too long to read is no code at all: the token path, and it stays.
    const struct { size_t bytes; LogonOutcome expected; Sec sec; } sizes[] = {
        { 255, { RECOVERY_FAILED, TRUE }, Sec::Taken },
        { 256, { RECOVERY_FAILED, TRUE }, Sec::Taken },
        { 257, { 0, TRUE }, Sec::Kept },
    };
    for (const auto& size : sizes)
    {
        testreg::SetAnsi(testreg::User(L"alice"), "sec", std::string(size.bytes - 1, 'A') + '\0');
        EXPECT_EQ(size.expected, Logon(L"alice", size.sec)) << size.bytes;
    }
    // The right code in forms that do not count: no terminator, another type.
    const std::string code(CODE, CODE + 32);
    testreg::SetRaw(testreg::User(L"alice"), L"sec", REG_BINARY, std::vector<BYTE>(code.begin(), code.end()));
    EXPECT_EQ((LogonOutcome{ RECOVERY_FAILED, TRUE }), Logon(L"alice", Sec::Taken)) << "32 bytes without terminator";
    testreg::SetRaw(testreg::User(L"alice"), L"sec", REG_DWORD, { 1, 0, 0, 0 });
    EXPECT_EQ((LogonOutcome{ RECOVERY_FAILED, TRUE }), Logon(L"alice", Sec::Taken));
    testreg::SetRaw(testreg::User(L"alice"), L"sec", REG_SZ, {});
    EXPECT_EQ((LogonOutcome{ RECOVERY_FAILED, TRUE }), Logon(L"alice", Sec::Taken)) << "empty value";
}

TEST_F(SubAuthFaults, StoredVerifiersOfEveryShape)
{
    const std::string verifier = VERIFIER;
    const struct { std::string stored; LogonOutcome expected; } shapes[] = {
        { verifier + '\0', { 0, FALSE } },
        { verifier.substr(0, 63) + '\0', { RECOVERY_FAILED, TRUE } },
        { verifier + "0" + '\0', { RECOVERY_FAILED, TRUE } },
        { verifier.substr(0, 10) + "G" + verifier.substr(11) + '\0', { RECOVERY_FAILED, TRUE } },
        { std::string(300, 'A') + '\0', { RECOVERY_FAILED, TRUE } },
    };
    for (const auto& shape : shapes)
    {
        testreg::SetString(testreg::User(L"alice"), L"sec", CODE);
        testreg::SetAnsi(testreg::User(L"alice"), "Recovery", shape.stored);
        EXPECT_EQ(shape.expected, Logon(L"alice", Sec::Taken)) << shape.stored.size() << " bytes";
    }
    // Without a terminator the last character is not counted.
    testreg::SetString(testreg::User(L"alice"), L"sec", CODE);
    testreg::SetRaw(testreg::User(L"alice"), L"Recovery", REG_BINARY, std::vector<BYTE>(verifier.begin(), verifier.end()));
    EXPECT_EQ((LogonOutcome{ RECOVERY_FAILED, TRUE }), Logon(L"alice", Sec::Taken));
}

TEST_F(SubAuthFaults, TokenOwnersOfEverySize)
{
    // 127 and 128 bytes are read (and name someone else); 129 cannot be read: nobody's token.
    const struct { size_t bytes; LogonOutcome expected; } sizes[] = {
        { 127, { WRONG_USER, FALSE } },
        { 128, { WRONG_USER, FALSE } },
        { 129, { WRONG_USER, TRUE } },
    };
    for (const auto& size : sizes)
    {
        testreg::SetAnsi(testreg::Token(L"1234ABCD"), "user", std::string(size.bytes - 1, 'u') + '\0');
        EXPECT_EQ(size.expected, Logon()) << size.bytes;
    }
    testreg::SetRaw(testreg::Token(L"1234ABCD"), L"user", REG_BINARY, { 'a', 'l', 'i', 'c', 'e' });
    EXPECT_EQ((LogonOutcome{ 0, TRUE }), Logon()) << "the five bytes of the name, terminated by the read";
    testreg::SetRaw(testreg::Token(L"1234ABCD"), L"user", REG_DWORD, { 'a', 'l', 'i', 0 });
    EXPECT_EQ((LogonOutcome{ WRONG_USER, FALSE }), Logon());
}

TEST_F(SubAuthFaults, KeysMissingAtEachLevel)
{
    testreg::DeleteKey(testreg::Token(L"1234ABCD"));
    EXPECT_EQ((LogonOutcome{ WRONG_USER, TRUE }), Logon());
    testreg::DeleteKey(L"SOFTWARE\\Halvane\\FIDO2\\auth\\tokens");
    EXPECT_EQ((LogonOutcome{ WRONG_USER, TRUE }), Logon());
    testreg::DeleteKey(testreg::User(L"alice"));
    EXPECT_EQ((LogonOutcome{ 0, FALSE }), Logon());
    testreg::DeleteKey(L"SOFTWARE\\Halvane\\FIDO2\\auth\\users");
    EXPECT_EQ((LogonOutcome{ 0, FALSE }), Logon());
    testreg::DeleteKey(testreg::Settings());
    EXPECT_EQ((LogonOutcome{ 0, FALSE }), Logon());
    testreg::DeleteTree();
    EXPECT_EQ((LogonOutcome{ 0, FALSE }), Logon());
}

TEST_F(SubAuthFaults, NamesWithBackslashesAddressNobodyElse)
{
    // A name that reaches into another user's key must not borrow that user's switch or token.
    testreg::SetDword(testreg::User(L"bob"), L"enabled", 0);
    testreg::CreateKey(testreg::User(L"bob\\alice"));
    for (const wchar_t* name : { L"bob\\alice", L"alice\\", L"..\\users\\alice", L"\\alice", L"alice\\sec" })
    {
        const LogonOutcome outcome = Logon(name);
        EXPECT_FALSE(outcome.status == 0 && outcome.authoritative == TRUE) << "a token accepted for another name";
        EXPECT_TRUE(outcome.status == 0 || outcome.status == WRONG_USER || outcome.status == NO_TOKEN)
            << std::hex << static_cast<unsigned long>(outcome.status);
    }
}

TEST_F(SubAuthFaults, LogThatCannotBeWritten)
{
    // The log's place taken by a directory.
    ASSERT_TRUE(CreateDirectoryW(testlog::PATH, nullptr));
    EXPECT_EQ((LogonOutcome{ 0, TRUE }), Logon());
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY), GetFileAttributesW(testlog::PATH) & FILE_ATTRIBUTE_DIRECTORY);
    RemoveDirectoryW(testlog::PATH);

    // Held open by another process.
    HANDLE hHeld = CreateEventW(nullptr, TRUE, FALSE, L"VelkorTestLogHeld");
    HANDLE hRelease = CreateEventW(nullptr, TRUE, FALSE, L"VelkorTestLogRelease");
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring commandLine = std::wstring(L"\"") + path + L"\"";
    SetEnvironmentVariableW(HOLD_LOG_VARIABLE, L"1");
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                        &startup, &process);
    SetEnvironmentVariableW(HOLD_LOG_VARIABLE, nullptr);
    ASSERT_TRUE(started);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hHeld, 30000));
    EXPECT_EQ((LogonOutcome{ 0, TRUE }), Logon());
    VScardReset();
    EXPECT_EQ((LogonOutcome{ NO_TOKEN, TRUE }), Logon());
    SetEvent(hRelease);
    WaitForSingleObject(process.hProcess, 30000);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    CloseHandle(hHeld);
    CloseHandle(hRelease);
    EXPECT_TRUE(testlog::ReadBytes().empty()) << "every text of those logons was dropped";
}
