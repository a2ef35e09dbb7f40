#pragma once
// Plays the running LSA for the administration code in this test program, through its
// import table: the SamSs service and its process's protection level
// (GetProcessInformation, which Wine's kernel32 lacks, found through GetProcAddress),
// and the Code Integrity log (EvtQuery, EvtNext, EvtRender, EvtClose), whose events are
// given as the XML the event log renders.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

struct LsaScene
{
    DWORD serviceError = ERROR_SUCCESS;        // OpenServiceW("SamSs") fails with it unless 0
    bool hasGetProcessInformation = true;
    DWORD protectionLevel = 0xFFFFFFFE;        // PROTECTION_LEVEL_NONE
    DWORD logError = ERROR_SUCCESS;            // EvtQuery fails with it unless 0
    std::vector<std::wstring> events;          // newest first
};

// A Code Integrity event as the event log renders it.
std::wstring CodeIntegrityEventXml(DWORD eventId, const std::wstring& file, const std::wstring& systemTime);

class CImportPatch;

class CLsaStandIn
{
public:
    explicit CLsaStandIn(const LsaScene& scene);
    ~CLsaStandIn();
    CLsaStandIn(const CLsaStandIn&) = delete;
    CLsaStandIn& operator=(const CLsaStandIn&) = delete;

    bool IsActive() const;
    // The XPath query the code under test last gave EvtQuery.
    std::wstring Query() const;

private:
    std::vector<std::unique_ptr<CImportPatch>> _patches;
};
