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
#include <sstream>

namespace
{
    constexpr DWORD LSA_LIGHT = 4; // PROTECTION_LEVEL_LSA_LIGHT
    const std::wstring OURS = L"\\Device\\HarddiskVolume3\\Windows\\System32\\VelkorSubAuth.dll";
    const std::wstring REFUSED = L"NOT ENFORCED: LSA runs as a protected process and refuses VelkorSubAuth.dll";

    LsaScene Scene(DWORD level, std::vector<std::wstring> events = {}, DWORD serviceError = 0, bool hasGpi = true,
                   DWORD logError = 0)
    {
        return { serviceError, hasGpi, level, logError, std::move(events) };
    }
    const DWORD NONE = 0xFFFFFFFE; // PROTECTION_LEVEL_NONE

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
        { "protected, unsigned package", Scene(LSA_LIGHT), MAXDWORD, 3, REFUSED, L"", L"" },
        { "protected, the refusal logged", Scene(LSA_LIGHT, { CodeIntegrityEventXml(3033, OURS, L"2025-03-04T05:06:07.1234567Z") }),
          MAXDWORD, 3, REFUSED + L" (Code Integrity event 3033 at 2025-03-04 05:06:07 UTC)", L"", L"" },
        { "refusal logged, process unreadable", Scene(LSA_LIGHT, { CodeIntegrityEventXml(3063, OURS, L"bad") }, ERROR_ACCESS_DENIED),
          MAXDWORD, 3, REFUSED + L" (Code Integrity event 3063)", L"",
          L"LSA protection could not be checked: the protection of the process that runs SamSs (OpenService error 0x00000005)" },
        { "other files' refusals are not ours",
          Scene(NONE, { CodeIntegrityEventXml(3033, L"C:\\x\\OtherSubAuth.dll", L"2025-01-01T00:00:00Z"),
                        CodeIntegrityEventXml(3033, L"C:\\x\\NotVelkorSubAuth.dll", L"2025-01-01T00:00:00Z") }),
          MAXDWORD, 0, L"", L"", L"" },
        { "audit mode", Scene(NONE, { CodeIntegrityEventXml(3065, OURS, L"2025-05-06T07:08:09Z"),
                                      CodeIntegrityEventXml(3066, OURS, L"2025-05-06T07:00:00Z") }),
          MAXDWORD, 0, L"",
          L"WARNING: LSA protection would refuse VelkorSubAuth.dll once enforced (Code Integrity audit event 3065 at "
          L"2025-05-06 07:08:09 UTC)", L"" },
        { "nothing readable", Scene(LSA_LIGHT, {}, ERROR_SERVICE_DOES_NOT_EXIST, true, ERROR_EVT_CHANNEL_NOT_FOUND), MAXDWORD, 0, L"", L"",
          L"LSA protection could not be checked: the protection of the process that runs SamSs (OpenService error "
          L"0x00000424); the Code Integrity log (EvtQuery error 0x00003A9F)" },
        { "no GetProcessInformation", Scene(LSA_LIGHT, {}, 0, false), MAXDWORD, 0, L"", L"",
          L"LSA protection could not be checked: the protection of the process that runs SamSs (GetProcessInformation "
          L"is not available)" },
        { "RunAsPPL 1, protection unreadable", Scene(LSA_LIGHT, {}, ERROR_SERVICE_DOES_NOT_EXIST), 1, 3,
          L"NOT ENFORCED: logons are not checked by VelkorSubAuth: LSA protection is on (RunAsPPL = 1) and refuses the "
          L"unsigned VelkorSubAuth.dll", L"",
          L"LSA protection could not be checked: the protection of the process that runs SamSs (OpenService error 0x00000424)" },
        { "RunAsPPL 1, not protected until the restart", Scene(NONE), 1, 0, L"",
          L"WARNING: RunAsPPL is 1 but LSA still runs unprotected: once Windows restarts, LSA protection refuses "
          L"VelkorSubAuth.dll", L"" },
        { "not protected", Scene(NONE), MAXDWORD, 0, L"", L"", L"" },
    };

    // The output's lines that start with prefix, joined; "" for none.
    std::wstring LinesStarting(const std::wstring& text, const std::wstring& prefix)
    {
        std::wistringstream lines(text);
        std::wstring line, found;
        while (std::getline(lines, line))
        {
            if (!line.empty() && line.back() == L'\r') line.pop_back();
            if (line.rfind(prefix, 0) == 0) found += (found.empty() ? L"" : L" | ") + line;
        }
        return found;
    }
}

TEST(CtlLsaProtection, StatusAndEnableComputerTellWhatTheRunningLsaDoes)
{
    for (const LsaCase& c : CASES)
    {
        SCOPED_TRACE(c.label);
        testreg::Reset();
        testreg::SetDword(testreg::Settings(), L"enabled", 1);
        testreg::SetDword(testreg::Settings(), L"safemodeEnabled", 1);
        testinst::CInstallation installation;
        installation.Install();
        if (c.runAsPpl != MAXDWORD) installation.Protect(c.runAsPpl);
        CLsaStandIn lsa(c.scene);
        ASSERT_TRUE(lsa.IsActive());
        for (const wchar_t* command : { L"status", L"enable computer" })
        {
            SCOPED_TRACE(testing::PrintToString(std::wstring(command)));
            CCapturedOutput output;
            EXPECT_EQ(c.exitCode, RunLine(command, output)) << testing::PrintToString(output.out + output.err);
            EXPECT_EQ(c.notEnforced, LinesStarting(output.out, L"NOT ENFORCED:"));
            EXPECT_EQ(c.warning, LinesStarting(output.out, L"WARNING: "));
            EXPECT_EQ(c.notChecked, LinesStarting(output.out, L"LSA protection could not be checked:"));
        }
    }
    testreg::DeleteTree();
}


TEST(CtlLsaProtectionJson, ThePartsReadAreMembersOfTheInstallation)
{
    testreg::Reset();
    testinst::CInstallation installation;
    installation.Install();
    CLsaStandIn lsa(Scene(LSA_LIGHT, { CodeIntegrityEventXml(3033, OURS, L"2025-03-04T05:06:07Z") }));
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
