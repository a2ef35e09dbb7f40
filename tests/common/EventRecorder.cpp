#include "EventRecorder.h"
#include "ImportPatch.h"

namespace
{
    CEventRecorder* g_pRecorder = nullptr;
    // Any non-null value will do: nothing but the recorder sees it.
    const HANDLE RECORDER_SOURCE = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x5E5E));
}

CEventRecorder::CEventRecorder()
    : _pRegister(new CImportPatch("advapi32.dll", "RegisterEventSourceW", reinterpret_cast<void*>(&Register))),
      _pReport(new CImportPatch("advapi32.dll", "ReportEventW", reinterpret_cast<void*>(&Report))),
      _pDeregister(new CImportPatch("advapi32.dll", "DeregisterEventSource", reinterpret_cast<void*>(&Deregister)))
{
    g_pRecorder = this;
}

CEventRecorder::~CEventRecorder()
{
    delete _pRegister;
    delete _pReport;
    delete _pDeregister;
    g_pRecorder = nullptr;
}

bool CEventRecorder::IsActive() const
{
    return _pRegister->IsActive() && _pReport->IsActive() && _pDeregister->IsActive();
}

HANDLE WINAPI CEventRecorder::Register(LPCWSTR, LPCWSTR pszSource)
{
    if (g_pRecorder == nullptr) return nullptr;
    g_pRecorder->_source = pszSource != nullptr ? pszSource : L"(null)";
    ++g_pRecorder->_openSources;
    return RECORDER_SOURCE;
}

BOOL WINAPI CEventRecorder::Report(HANDLE hSource, WORD wType, WORD wCategory, DWORD dwEventId, PSID, WORD wStrings,
                                   DWORD, LPCWSTR* ppszStrings, LPVOID)
{
    if (g_pRecorder == nullptr || hSource != RECORDER_SOURCE) return FALSE;
    ReportedEvent event = { g_pRecorder->_source, wType, wCategory, dwEventId, {} };
    for (WORD i = 0; i < wStrings; ++i)
    {
        event.strings.push_back(ppszStrings[i] != nullptr ? ppszStrings[i] : L"(null)");
    }
    g_pRecorder->_events.push_back(event);
    return TRUE;
}

BOOL WINAPI CEventRecorder::Deregister(HANDLE hSource)
{
    if (g_pRecorder == nullptr || hSource != RECORDER_SOURCE) return FALSE;
    --g_pRecorder->_openSources;
    return TRUE;
}
