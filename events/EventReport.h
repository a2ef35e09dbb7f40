#pragma once
// Writes events of the source "Velkor FIDO2 Login" to the Application log. The event IDs
// and their texts are the message table's (VelkorEvents.h).
#include "VelkorEvents.h"

#include <windows.h>

extern const wchar_t VELKOR_EVENT_SOURCE[]; // L"Velkor FIDO2 Login"

// One event with its insertion strings (%1, %2, ...), of the type its ID's severity
// names. Reporting never fails its caller: an event that cannot be written is dropped.
void ReportVelkorEvent(DWORD dwEventId, const wchar_t* const* rgpszStrings, WORD cStrings);
