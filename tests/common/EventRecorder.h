#pragma once
// Records what this test program reports to the event log (RegisterEventSourceW,
// ReportEventW, DeregisterEventSource patched in its import table) while an instance
// lives; Wine stores nothing that could be read back.
#include <windows.h>

#include <string>
#include <vector>

struct ReportedEvent
{
    std::wstring source;
    WORD type;
    WORD category;
    DWORD id;
    std::vector<std::wstring> strings;
};

class CImportPatch;

class CEventRecorder
{
public:
    CEventRecorder();
    ~CEventRecorder();
    CEventRecorder(const CEventRecorder&) = delete;
    CEventRecorder& operator=(const CEventRecorder&) = delete;

    bool IsActive() const;
    const std::vector<ReportedEvent>& Events() const { return _events; }
    void Clear() { _events.clear(); }
    // Sources registered and not yet deregistered.
    int OpenSources() const { return _openSources; }

private:
    static HANDLE WINAPI Register(LPCWSTR pszServer, LPCWSTR pszSource);
    static BOOL WINAPI Report(HANDLE hSource, WORD wType, WORD wCategory, DWORD dwEventId, PSID pSid, WORD wStrings,
                              DWORD cbData, LPCWSTR* ppszStrings, LPVOID pData);
    static BOOL WINAPI Deregister(HANDLE hSource);

    CImportPatch* _pRegister;
    CImportPatch* _pReport;
    CImportPatch* _pDeregister;
    std::vector<ReportedEvent> _events;
    std::wstring _source;
    int _openSources = 0;
};
