// What status and enable computer say about the running LSA: its protection level, what
// Code Integrity logged about VelkorSubAuth.dll, and what could not be read. Wine has no
// SamSs and no readable Code Integrity log: the running LSA is played by import-table
// stand-ins (tests/common/LsaStandIn); the package file is an unsigned stand-in.
#include "InProcessCtl.h"
#include "LsaStandIn.h"
#include "TestInstallation.h"
#include "TestRegistry.h"

#include <gtest/gtest.h>

#include <regex>

namespace
{
    constexpr DWORD LSA_LIGHT = 4; // PROTECTION_LEVEL_LSA_LIGHT
    const std::wstring OURS = L"\\Device\\HarddiskVolume3\\Windows\\System32\\VelkorSubAuth.dll";
    const std::wstring REFUSED = L"NOT ENFORCED: LSA runs as a protected process and refuses VelkorSubAuth.dll";

    LsaScene Protected(std::vector<std::wstring> events = {})
    {
        LsaScene scene;
        scene.protectionLevel = LSA_LIGHT;
        scene.events = std::move(events);
        return scene;
    }

    LsaScene Unprotected(std::vector<std::wstring> events = {})
    {
        LsaScene scene;
        scene.events = std::move(events);
        return scene;
    }

    LsaScene Unreadable(DWORD serviceError, bool hasGetProcessInformation, DWORD logError, std::vector<std::wstring> events = {})
    {
        LsaScene scene;
        scene.serviceError = serviceError;
        scene.hasGetProcessInformation = hasGetProcessInformation;
        scene.protectionLevel = LSA_LIGHT;
        scene.logError = logError;
        scene.events = std::move(events);
        return scene;
    }

    struct LsaCase
    {
        const char* label;
        LsaScene scene;
        DWORD runAsPpl;            // MAXDWORD: not set
        int exitCode;
        std::wstring notEnforced;  // the whole line; "" for none
        std::wstring warning;      // the whole line; "" for none
        std::wstring notChecked;   // the whole line; "" for none
    };

    const LsaCase CASES[] = {
        { "protected, unsigned package", Protected(), MAXDWORD, 3, REFUSED, L"", L"" },
        { "protected, the refusal logged", Protected({ CodeIntegrityEventXml(3033, OURS, L"2025-03-04T05:06:07.1234567Z") }),
          MAXDWORD, 3, REFUSED + L" (Code Integrity event 3033 at 2025-03-04 05:06:07 UTC)", L"", L"" },
        { "refusal logged, process unreadable", Unreadable(ERROR_ACCESS_DENIED, true, 0, { CodeIntegrityEventXml(3063, OURS, L"bad") }),
          MAXDWORD, 3, REFUSED + L" (Code Integrity event 3063)", L"",
          L"LSA protection could not be checked: the protection of the process that runs SamSs (OpenService error 0x00000005)" },
        { "other files' refusals are not ours",
          Unprotected({ CodeIntegrityEventXml(3033, L"C:\\x\\OtherSubAuth.dll", L"2025-01-01T00:00:00Z"),
                        CodeIntegrityEventXml(3033, L"C:\\x\\NotVelkorSubAuth.dll", L"2025-01-01T00:00:00Z") }),
          MAXDWORD, 0, L"", L"", L"" },
        { "audit mode", Unprotected({ CodeIntegrityEventXml(3065, OURS, L"2025-05-06T07:08:09Z"),
                                      CodeIntegrityEventXml(3066, OURS, L"2025-05-06T07:00:00Z") }),
          MAXDWORD, 0, L"",
          L"WARNING: LSA protection would refuse VelkorSubAuth.dll once enforced (Code Integrity audit event 3065 at "
          L"2025-05-06 07:08:09 UTC)", L"" },
        { "nothing readable", Unreadable(ERROR_SERVICE_DOES_NOT_EXIST, true, ERROR_EVT_CHANNEL_NOT_FOUND), MAXDWORD, 0, L"", L"",
          L"LSA protection could not be checked: the protection of the process that runs SamSs (OpenService error "
          L"0x00000424); the Code Integrity log (EvtQuery error 0x00003A9F)" },
        { "no GetProcessInformation", Unreadable(0, false, 0), MAXDWORD, 0, L"", L"",
          L"LSA protection could not be checked: the protection of the process that runs SamSs (GetProcessInformation "
          L"is not available)" },
        { "RunAsPPL 1, protection unreadable", Unreadable(ERROR_SERVICE_DOES_NOT_EXIST, true, 0), 1, 3,
          L"NOT ENFORCED: logons are not checked by VelkorSubAuth: LSA protection is on (RunAsPPL = 1) and refuses the "
          L"unsigned VelkorSubAuth.dll", L"",
          L"LSA protection could not be checked: the protection of the process that runs SamSs (OpenService error 0x00000424)" },
        { "RunAsPPL 1, not protected until the restart", Unprotected(), 1, 0, L"",
          L"WARNING: RunAsPPL is 1 but LSA still runs unprotected: once Windows restarts, LSA protection refuses "
          L"VelkorSubAuth.dll", L"" },
        { "not protected", Unprotected(), MAXDWORD, 0, L"", L"", L"" },
    };

    std::vector<std::wstring> Lines(const std::wstring& text)
    {
        std::vector<std::wstring> lines;
        for (size_t start = 0; start < text.size();)
        {
            const size_t end = text.find(L'\n', start);
            std::wstring line = text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
            if (!line.empty() && line.back() == L'\r') line.pop_back();
            lines.push_back(line);
            if (end == std::wstring::npos) break;
            start = end + 1;
        }
        return lines;
    }

    // The lines that start with prefix, one at most expected.
    std::wstring LineStarting(const std::vector<std::wstring>& lines, const std::wstring& prefix)
    {
        std::wstring found;
        for (const std::wstring& line : lines)
        {
            if (line.rfind(prefix, 0) == 0) found += (found.empty() ? L"" : L" | ") + line;
        }
        return found;
    }

    class CtlLsaProtection : public ::testing::TestWithParam<LsaCase>
    {
    protected:
        void SetUp() override
        {
            testreg::Reset();
            testreg::SetDword(testreg::Settings(), L"enabled", 1);
            testreg::SetDword(testreg::Settings(), L"safemodeEnabled", 1);
            _installation.Install();
            if (GetParam().runAsPpl != MAXDWORD) _installation.Protect(GetParam().runAsPpl);
        }
        void TearDown() override
        {
            _installation.Remove();
            testreg::DeleteTree();
        }

        testinst::CInstallation _installation;
    };

    std::string CaseName(const ::testing::TestParamInfo<LsaCase>& info)
    {
        std::string name;
        for (const char* p = info.param.label; *p != '\0'; ++p) name += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        return name;
    }
}

TEST_P(CtlLsaProtection, StatusAndEnableComputerTellWhatTheRunningLsaDoes)
{
    const LsaCase& c = GetParam();
    CLsaStandIn lsa(c.scene);
    ASSERT_TRUE(lsa.IsActive());
    for (const wchar_t* command : { L"status", L"enable computer" })
    {
        SCOPED_TRACE(testing::PrintToString(std::wstring(command)));
        CCapturedOutput output;
        EXPECT_EQ(c.exitCode, RunLine(command, output)) << testing::PrintToString(output.out + output.err);
        const std::vector<std::wstring> lines = Lines(output.out);
        EXPECT_EQ(c.notEnforced, LineStarting(lines, L"NOT ENFORCED:"));
        EXPECT_EQ(c.warning, LineStarting(lines, L"WARNING: "));
        EXPECT_EQ(c.notChecked, LineStarting(lines, L"LSA protection could not be checked:"));
    }
}

INSTANTIATE_TEST_SUITE_P(Table, CtlLsaProtection, ::testing::ValuesIn(CASES), CaseName);

TEST(CtlLsaProtectionJson, ThePartsReadAreMembersOfTheInstallation)
{
    testreg::Reset();
    testinst::CInstallation installation;
    installation.Install();
    CLsaStandIn lsa(Protected({ CodeIntegrityEventXml(3033, OURS, L"2025-03-04T05:06:07Z") }));
    CCapturedOutput output;
    EXPECT_EQ(0, RunLine(L"status --json", output)); // the computer's switch is off
    EXPECT_NE(std::wstring::npos,
              output.out.find(L"\"installed\":true,\"runningLsa\":{\"protected\":true,\"protectionLevel\":4,"
                              L"\"packageSignedByMicrosoft\":false,\"refusedEvent\":{\"event\":3033,\"time\":"
                              L"\"2025-03-04 05:06:07 UTC\"},\"auditEvent\":null,\"notChecked\":null},\"runAsPPL\":null,"
                              L"\"lsaProtectionRefuses\":true,\"packageLoads\":false}"))
        << testing::PrintToString(output.out);
    // Only the four events, only since Windows started (milliseconds of uptime).
    EXPECT_TRUE(std::regex_match(lsa.Query(), std::wregex(L"\\*\\[System\\[\\(EventID=3033 or EventID=3063 or "
                                                           L"EventID=3065 or EventID=3066\\) and TimeCreated\\["
                                                           L"timediff\\(@SystemTime\\) <= [1-9][0-9]*\\]\\]\\]")))
        << testing::PrintToString(lsa.Query());
    installation.Remove();
    testreg::DeleteTree();
}
