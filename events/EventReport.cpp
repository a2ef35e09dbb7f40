#include "EventReport.h"

const wchar_t VELKOR_EVENT_SOURCE[] = L"Velkor FIDO2 Login";

namespace
{
    // Registered once for the life of the process: a logon must not pay for it.
    HANDLE g_hEventSource = nullptr;

    HANDLE EventSource()
    {
        HANDLE hSource = static_cast<HANDLE>(InterlockedCompareExchangePointer(&g_hEventSource, nullptr, nullptr));
        if (hSource != nullptr)
        {
            return hSource;
        }
        hSource = RegisterEventSourceW(nullptr, VELKOR_EVENT_SOURCE);
        if (hSource == nullptr)
        {
            return nullptr;
        }
        HANDLE hEarlier = static_cast<HANDLE>(InterlockedCompareExchangePointer(&g_hEventSource, hSource, nullptr));
        if (hEarlier != nullptr)
        {
            DeregisterEventSource(hSource);
            return hEarlier;
        }
        return hSource;
    }

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
    HANDLE hSource = EventSource();
    if (hSource == nullptr)
    {
        return;
    }
    ReportEventW(hSource, EventType(dwEventId), 0, dwEventId, nullptr, cStrings, 0, const_cast<LPCWSTR*>(rgpszStrings),
                 nullptr);
}
