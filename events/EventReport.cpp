#include "EventReport.h"

const wchar_t VELKOR_EVENT_SOURCE[] = L"Velkor FIDO2 Login";

namespace
{
    WORD EventType(DWORD dwEventId)
    {
        switch (dwEventId >> 30)
        {
        case 2: return EVENTLOG_WARNING_TYPE;
        case 3: return EVENTLOG_ERROR_TYPE;
        default: return EVENTLOG_INFORMATION_TYPE;
        }
    }
}

void ReportVelkorEvent(DWORD dwEventId, const wchar_t* const* rgpszStrings, WORD cStrings)
{
    // Registered for each event: nothing is kept between calls.
    HANDLE hSource = RegisterEventSourceW(nullptr, VELKOR_EVENT_SOURCE);
    if (hSource == nullptr)
    {
        OutputDebugStringW(L"RegisterEventSourceW failed; the event is not reported\r\n");
        return;
    }
    if (!ReportEventW(hSource, EventType(dwEventId), 0, dwEventId, nullptr, cStrings, 0, const_cast<LPCWSTR*>(rgpszStrings),
                      nullptr))
    {
        OutputDebugStringW(L"ReportEventW failed; the event is not reported\r\n");
    }
    DeregisterEventSource(hSource);
}
