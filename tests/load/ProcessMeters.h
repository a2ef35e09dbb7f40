#pragma once
// The process's open handles and busy heap bytes, counted the way that works under Wine
// too (there GetProcessHandleCount answers 0 and private bytes read as 0).
#include <windows.h>

#include <cstdint>

struct ProcessMeters
{
    ULONG handles = 0;
    uint64_t heapBusyBytes = 0;
    uint64_t heapBusyBlocks = 0;
};

// Reads both without touching any heap, so the reading itself never shows up in them.
// Meaningful only while no other thread of the process allocates or opens handles.
bool ReadProcessMeters(ProcessMeters* pMeters);
