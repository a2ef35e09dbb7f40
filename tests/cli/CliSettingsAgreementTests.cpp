// Every switch, stored as odd kinds and contents, means the same to velkorctl status (text
// and JSON), to the lockout preflight and to the package (VelkorSubAuth.dll loaded here as
// LSA loads it): each program reads it through the one function the package uses.
#include "ImportPatch.h"
#include "InProcessCtl.h"
#include "LockoutPreflight.h"
#include "LogonHarness.h"
#include "TestLogFile.h"
#include "TestRegistry.h"
#include "VirtualSCard.h"

#include <functional>

namespace
{
    constexpr NTSTATUS PROOF_FAILED = static_cast<NTSTATUS>(0xFFFF0017);
    const wchar_t USER[] = L"alice";

    struct StoredValue
    {
        const char* label;
        DWORD type; // REG_NONE with no bytes: the value is absent
        std::vector<BYTE> bytes;
    };

    const StoredValue VALUES[] = {
        { "absent", REG_NONE, {} },
        { "REG_DWORD 1", REG_DWORD, { 1, 0, 0, 0 } },
        { "REG_DWORD 0", REG_DWORD, { 0, 0, 0, 0 } },
        { "REG_DWORD 2", REG_DWORD, { 2, 0, 0, 0 } },
        { "REG_BINARY 01000000", REG_BINARY, { 1, 0, 0, 0 } },
        { "REG_BINARY 01", REG_BINARY, { 1 } },
        { "REG_BINARY 0100000000", REG_BINARY, { 1, 0, 0, 0, 0 } },
        { "REG_SZ \"1\"", REG_SZ, { '1', 0, 0, 0 } },
        { "REG_QWORD 1", REG_QWORD, { 1, 0, 0, 0, 0, 0, 0, 0 } },
        { "REG_DWORD_BIG_ENDIAN 1", REG_DWORD_BIG_ENDIAN, { 0, 0, 0, 1 } },
        { "REG_NONE 01000000", REG_NONE, { 1, 0, 0, 0 } },
    };

    int WINAPI CleanBoot(int index) { return index == SM_CLEANBOOT ? 1 : 0; }
    int g_eventsReported = 0;
    BOOL WINAPI CountEvent(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCWSTR*, LPVOID)
    {
        ++g_eventsReported;
        return TRUE;
    }

    class SettingsAgreement : public CPackageTest
    {
    protected:
        void SetUp() override
        {
            ASSERT_NE(nullptr, s_pfnFilter);
            VScardReset();
        }
        void TearDown() override
        {
            VScardReset();
            testreg::DeleteTree();
            testlog::Delete();
        }

        static NTSTATUS Logon() { return CallLogon(s_pfnFilter, USER).status; }

        // What status says, in its text and in its JSON.
        static bool StatusText(const std::wstring& needle)
        {
            CCapturedOutput output;
            RunLine(L"status", output);
            return output.out.find(needle) != std::wstring::npos;
        }
        // Between the JSON members named object and next ("settings", "accounts", "tokens").
        static bool StatusJson(const std::wstring& object, const std::wstring& next, const std::wstring& needle)
        {
            CCapturedOutput output;
            RunLine(L"status --json", output);
            const size_t start = output.out.find(L"\"" + object + L"\":");
            const size_t end = output.out.find(L"\"" + next + L"\":", start);
            return start != std::wstring::npos && output.out.substr(start, end - start).find(needle) != std::wstring::npos;
        }
    };

    struct Setting
    {
        const wchar_t* name;
        bool user;                       // users\alice rather than settings
        std::function<bool()> package;   // whether the package took it as on
        std::function<bool()> preflight; // null where the preflight does not read it
    };
}

TEST_F(SettingsAgreement, EveryProgramReadsEachSwitchAsThePackageDoes)
{
    const Setting settings[] = {
        { L"enabled", false, [] { return Logon() == NO_TOKEN; }, nullptr },
        { L"enabled", true, [] { return Logon() == NO_TOKEN; }, nullptr },
        { L"safemodeEnabled", false,
          [] {
              CImportPatch safeMode("user32.dll", "GetSystemMetrics", reinterpret_cast<void*>(&CleanBoot), s_hModule);
              EXPECT_TRUE(safeMode.IsActive());
              return Logon() == NO_TOKEN;
          },
          nullptr },
        { L"loggingEnabled", false,
          [] {
              testlog::Delete();
              Logon();
              return testlog::Exists();
          },
          nullptr },
        { L"eventLogEnabled", false,
          [] {
              CImportPatch events("advapi32.dll", "ReportEventW", reinterpret_cast<void*>(&CountEvent), s_hModule);
              EXPECT_TRUE(events.IsActive());
              g_eventsReported = 0;
              Logon();
              return g_eventsReported > 0;
          },
          nullptr },
        { L"requireProof", false,
          [] {
              VScardReset();
              VScardAddReader(L"Halvane Velkor FIDO2 Security Key 0", TRUE);
              const NTSTATUS status = Logon();
              VScardReset();
              return status == PROOF_FAILED;
          },
          [] {
              ACCOUNT_LOCKOUT lockout = {};
              EXPECT_EQ(ERROR_SUCCESS, CheckAccountLockout(USER, &lockout));
              return lockout.fLockedOut; // a token by its serial alone, and no recovery code
          } },
    };
    for (const Setting& setting : settings)
    {
        const std::wstring name = setting.name;
        bool seenOn = false, seenOff = false;
        for (const StoredValue& value : VALUES)
        {
            SCOPED_TRACE(testing::PrintToString(name + (setting.user ? L" of the user" : L"")) + " as " + value.label);
            testreg::Reset();
            testreg::SetDword(testreg::Settings(), L"enabled", 1);
            testreg::SetDword(testreg::User(USER), L"enabled", 1);
            testreg::AssociateToken(L"1234ABCD", USER); // known by its serial alone
            const std::wstring key = setting.user ? testreg::User(USER) : testreg::Settings();
            testreg::DeleteValue(key, setting.name);
            if (value.type != REG_NONE || !value.bytes.empty()) testreg::SetRaw(key, setting.name, value.type, value.bytes);

            const bool package = setting.package();
            (package ? seenOn : seenOff) = true;
            if (setting.user)
            {
                EXPECT_EQ(package, StatusText(L"Account alice: factor on"));
                EXPECT_EQ(package, StatusJson(L"accounts", L"tokens", L"{\"name\":\"alice\",\"enabled\":true"));
            }
            else
            {
                EXPECT_EQ(package, StatusText(L" " + name + L" on"));
                EXPECT_EQ(package, StatusJson(L"settings", L"accounts", L"\"" + name + L"\":true"));
            }
            if (setting.preflight)
            {
                EXPECT_EQ(package, setting.preflight());
            }
        }
        // The table holds both meanings of every switch.
        EXPECT_TRUE(seenOn && seenOff) << testing::PrintToString(name);
    }
}
