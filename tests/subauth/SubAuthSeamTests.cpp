// Decisions that need a stand-in for the platform: safe mode, which settings are read,
// and a random source that fails. The package's code is linked in directly.
#include "DebugOutputCapture.h"
#include "ImportPatch.h"
#include "LogonHarness.h"
#include "RandomBytes.h"
#include "SafeMode.h"
#include "TestLogFile.h"
#include "TestRegistry.h"
#include "VirtualSCard.h"

#include <atomic>
#include <string>
#include <vector>

extern "C" NTSTATUS NTAPI Msv1_0SubAuthenticationFilter(NETLOGON_LOGON_INFO_CLASS, PVOID, ULONG, PUSER_ALL_INFORMATION,
                                                        PULONG, PULONG, PBOOLEAN, PLARGE_INTEGER, PLARGE_INTEGER);

namespace
{
    const wchar_t TOKEN_READER[] = L"Halvane Velkor FIDO2 Security Key 0";

    int g_cleanBoot = 0;
    int CleanBoot() { return g_cleanBoot; }

    std::vector<std::string> g_valuesRead;
    CImportPatch* g_pQueryPatch = nullptr;

    LONG WINAPI RecordingQueryValueExA(HKEY hKey, LPCSTR pszName, LPDWORD pReserved, LPDWORD pType, LPBYTE pbData,
                                       LPDWORD pcbData)
    {
        g_valuesRead.emplace_back(pszName != nullptr ? pszName : "");
        auto pfnOriginal = reinterpret_cast<decltype(&RegQueryValueExA)>(g_pQueryPatch->Original());
        return pfnOriginal(hKey, pszName, pReserved, pType, pbData, pcbData);
    }

    bool FailingRandom(unsigned char*, size_t) { return false; }

    size_t Count(const std::vector<std::string>& names, const char* name)
    {
        size_t count = 0;
        for (const auto& n : names) count += (n == name) ? 1 : 0;
        return count;
    }

    class SubAuthSeams : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            testreg::Reset();
            testlog::Delete();
            VScardReset();
            g_cleanBoot = 0;
            SetCleanBootQueryForTesting(CleanBoot);
        }

        void TearDown() override
        {
            SetCleanBootQueryForTesting(nullptr);
            SetRandomSourceForTesting(nullptr);
            testreg::DeleteTree();
            testlog::Delete();
        }

        static LogonOutcome Logon(const std::wstring& user)
        {
            return CallLogon(Msv1_0SubAuthenticationFilter, user);
        }

        static std::vector<std::string> ValuesReadDuringLogon(const std::wstring& user)
        {
            CImportPatch patch("ADVAPI32.dll", "RegQueryValueExA", reinterpret_cast<void*>(RecordingQueryValueExA));
            EXPECT_TRUE(patch.IsActive());
            g_pQueryPatch = &patch;
            g_valuesRead.clear();
            Logon(user);
            g_pQueryPatch = nullptr;
            return g_valuesRead;
        }
    };
}

TEST_F(SubAuthSeams, SafeModeWithoutItsSwitchLetsEveryoneThrough)
{
    testreg::EnableUser(L"alice", true);
    for (int cleanBoot : { 1, 2 })
    {
        testlog::Delete();
        g_cleanBoot = cleanBoot;
        EXPECT_EQ((LogonOutcome{ 0, FALSE }), Logon(L"alice")) << cleanBoot;
        EXPECT_EQ(L"<date>\n\r\nUser: alice\r\nCP enabled\r\nsafeboot and not enabled.\r\n",
                  testlog::ReadTextWithoutDates());
    }
    EXPECT_EQ(0u, VScardRecordCount());
}

TEST_F(SubAuthSeams, SafeModeWithItsSwitchStillChecksTheToken)
{
    testreg::EnableUser(L"alice", true);
    testreg::SetDword(testreg::Settings(), L"safemodeEnabled", 1);
    g_cleanBoot = 2;
    EXPECT_EQ((LogonOutcome{ NO_TOKEN, TRUE }), Logon(L"alice"));
    EXPECT_EQ(L"<date>\n\r\nUser: alice\r\nCP enabled\r\nsafeboot and enabled\r\nFIDO2 auth enabled for user\r\n"
              L"No readers found\r\nreturnVal 0xFFFF0011 *Authoritative 1\r\n",
              testlog::ReadTextWithoutDates());
}

TEST_F(SubAuthSeams, SafeModeSwitchIsReadOnlyInSafeMode)
{
    testreg::EnableUser(L"alice", true);
    testreg::SetDword(testreg::Settings(), L"loggingEnabled", 0);
    const auto normal = ValuesReadDuringLogon(L"alice");
    EXPECT_EQ(0u, Count(normal, "safemodeEnabled"));
    EXPECT_EQ(1u, Count(normal, "sec"));

    g_cleanBoot = 1;
    EXPECT_EQ(1u, Count(ValuesReadDuringLogon(L"alice"), "safemodeEnabled"));
}

TEST_F(SubAuthSeams, MachineSwitchOffReadsNothingElse)
{
    testreg::SetDword(testreg::User(L"alice"), L"enabled", 1);
    testreg::SetDword(testreg::Settings(), L"loggingEnabled", 1);
    const auto read = ValuesReadDuringLogon(L"alice");
    for (const auto& name : read)
    {
        EXPECT_TRUE(name == "enabled" || name == "loggingEnabled") << name;
    }
    EXPECT_EQ(1u, Count(read, "enabled"));
}

// Every configuration value a logon needs is read once, the log switch first; logging on
// or off changes nothing about what is read.
TEST_F(SubAuthSeams, EachSettingIsReadOncePerLogon)
{
    using Names = std::vector<std::string>;
    testreg::SetDword(testreg::User(L"bob"), L"enabled", 0);
    testreg::SetDword(testreg::User(L"carol"), L"enabled", 1);
    testreg::SetString(testreg::User(L"carol"), L"Recovery", std::wstring(64, L'A'));
    testreg::SetDword(testreg::User(L"alice"), L"enabled", 1);
    testreg::AssociateToken(L"1234ABCD", L"alice");
    VScardAddReader(TOKEN_READER, TRUE);
    const struct { const wchar_t* user; DWORD machineSwitch; Names read; } paths[] = {
        { L"alice", 0, { "loggingEnabled", "enabled" } },
        { L"bob", 1, { "loggingEnabled", "enabled", "enabled" } },
        { L"carol", 1, { "loggingEnabled", "enabled", "enabled", "sec", "Recovery", "eventLogEnabled" } },
        { L"alice", 1, { "loggingEnabled", "enabled", "enabled", "sec", "requireTouch", "user", "credentialId", "publicKey",
                         "requireProof", "eventLogEnabled" } },
    };
    for (DWORD logging : { 0u, 1u })
    {
        testreg::SetDword(testreg::Settings(), L"loggingEnabled", logging);
        for (const auto& path : paths)
        {
            testreg::SetDword(testreg::Settings(), L"enabled", path.machineSwitch);
            testreg::SetString(testreg::User(L"carol"), L"sec", L"typed");
            EXPECT_EQ(path.read, ValuesReadDuringLogon(path.user)) << path.user << " logging " << logging;
        }
    }
}

TEST_F(SubAuthSeams, ProbeLeavesOutInitializeUpdateWithoutRandomBytes)
{
    testreg::EnableUser(L"alice", true);
    testreg::AssociateToken(L"1234ABCD", L"alice");
    VScardAddReader(TOKEN_READER, TRUE);
    SetRandomSourceForTesting(FailingRandom);
    EXPECT_EQ((LogonOutcome{ 0, TRUE }), Logon(L"alice"));
    EXPECT_EQ(4u, VScardCountTransmits(nullptr, 0));
    const BYTE initializeUpdate[] = { 0x80, 0x50, 0x00, 0x00, 0x08, 0, 0, 0, 0, 0, 0, 0, 0 };
    EXPECT_EQ(0u, VScardCountTransmits(initializeUpdate, sizeof(initializeUpdate))) << "never a zero challenge";
}

TEST_F(SubAuthSeams, SmartCardTraceFollowsTheLoggingSwitch)
{
    testreg::EnableUser(L"alice", false);
    testreg::AssociateToken(L"1234ABCD", L"alice");
    VScardAddReader(TOKEN_READER, TRUE);
    {
        CDebugOutputCapture capture;
        Logon(L"alice");
        EXPECT_EQ((std::vector<std::wstring>{ L"Msv1_0SubAuthenticationFilter", L"~CSmartCardReader() called" }),
                  capture.Lines());
    }
    testreg::SetDword(testreg::Settings(), L"loggingEnabled", 1);
    CDebugOutputCapture capture;
    Logon(L"alice");
    const auto lines = capture.Lines();
    ASSERT_GE(lines.size(), 8u);
    size_t transmits = 0;
    for (const auto& line : lines) transmits += (line == L"SCardTransmit = 0x00000000") ? 1 : 0;
    EXPECT_EQ(5u, transmits);
    EXPECT_EQ(L"Msv1_0SubAuthenticationFilter", lines[0]);
    EXPECT_EQ(L"SCardConnect = 0x00000000", lines[1]);
    EXPECT_EQ(L"SCardBeginTransaction = 0x00000000", lines[2]);
    EXPECT_EQ(L"APDU: 00 A4 04 00 ", lines[3]);
    EXPECT_EQ(L"SCardTransmit = 0x00000000", lines[4]);
    EXPECT_EQ(L"RESP: 90 00 ", lines[5]);
    EXPECT_EQ(L"APDU: 80 CA 9F 7F 00 ", lines[6]);
    EXPECT_EQ(L"~CSmartCardReader() called", lines.back());
    // The file's texts never go to the debug output.
    for (const auto& line : lines) EXPECT_EQ(std::wstring::npos, line.find(L"\r\n")) << line;
}

namespace
{
    // Fails the nth allocation from now on, and every one after it.
    std::atomic<int> g_allocationsLeft{ -1 };
    CImportPatch* g_pMallocPatch = nullptr;

    LPVOID WINAPI FailingHeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T cb)
    {
        if (g_allocationsLeft.load() == 0) return nullptr;
        if (g_allocationsLeft.load() > 0) --g_allocationsLeft;
        auto pfnOriginal = reinterpret_cast<decltype(&HeapAlloc)>(g_pMallocPatch->Original());
        return pfnOriginal(hHeap, dwFlags, cb);
    }

    // Only the package's own allocations may fail: the test arms the failure right around
    // the call and allocates nothing itself in between.
    std::vector<LogonOutcome> LogonsWithAllocationsFailingFrom(const std::wstring& user, int maximum)
    {
        std::vector<LogonOutcome> outcomes;
        outcomes.reserve(static_cast<size_t>(maximum) + 1);
        std::wstring name = user;
        for (int n = 0; n <= maximum; ++n)
        {
            USER_ALL_INFORMATION userAll = {};
            userAll.UserName.Buffer = name.data();
            userAll.UserName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
            ULONG whichFields = 0, userFlags = 0;
            BOOLEAN authoritative = 7;
            LARGE_INTEGER logoff = {}, kickoff = {};
            CImportPatch patch("KERNEL32.dll", "HeapAlloc", reinterpret_cast<void*>(FailingHeapAlloc));
            EXPECT_TRUE(patch.IsActive());
            g_pMallocPatch = &patch;
            g_allocationsLeft = n;
            const NTSTATUS status = Msv1_0SubAuthenticationFilter(NetlogonInteractiveInformation, nullptr, 0, &userAll,
                                                                  &whichFields, &userFlags, &authoritative, &logoff, &kickoff);
            g_allocationsLeft = -1;
            g_pMallocPatch = nullptr;
            outcomes.push_back({ status, authoritative });
        }
        return outcomes;
    }
}

TEST_F(SubAuthSeams, AllocationFailureNeverOpensTheDoor)
{
    testreg::EnableUser(L"alice", true);
    testreg::AssociateToken(L"1234ABCD", L"alice");
    testreg::EnableUser(L"bob", false);
    VScardAddReader(TOKEN_READER, TRUE);

    // Alice's own token: success or a refusal, never a pass that skipped the check.
    for (const LogonOutcome& outcome : LogonsWithAllocationsFailingFrom(L"alice", 12))
    {
        EXPECT_TRUE((outcome == LogonOutcome{ 0, TRUE }) || (outcome == LogonOutcome{ NO_TOKEN, TRUE }) ||
                    (outcome == LogonOutcome{ CONNECT_FAILED, TRUE }))
            << outcome;
    }
    // Bob with Alice's token: always refused.
    for (const LogonOutcome& outcome : LogonsWithAllocationsFailingFrom(L"bob", 12))
    {
        EXPECT_NE(0, outcome.status) << outcome;
    }
    // A name longer than any key: held on the heap, refused when it cannot be.
    for (const LogonOutcome& outcome : LogonsWithAllocationsFailingFrom(std::wstring(300, L'a'), 4))
    {
        EXPECT_TRUE((outcome == LogonOutcome{ 0, FALSE }) || (outcome == LogonOutcome{ WRONG_USER, TRUE })) << outcome;
    }
    // With every allocation failing the token's session cannot start: the logon is refused,
    // to be tried again.
    const auto allFailing = LogonsWithAllocationsFailingFrom(L"alice", 0);
    EXPECT_EQ((LogonOutcome{ CONNECT_FAILED, TRUE }), allFailing[0]);
    EXPECT_EQ(0u, VScardOpenContexts());
    EXPECT_EQ(0u, VScardOpenCards());
}
