#include "ProcessMeters.h"

namespace
{
    constexpr ULONG SYSTEM_HANDLE_INFORMATION_CLASS = 16;
    constexpr LONG STATUS_INFO_LENGTH_MISMATCH_CODE = static_cast<LONG>(0xC0000004);

    // One row of SystemHandleInformation. Windows keeps only the low word of the process
    // id in it (the high word is a back-trace index); Wine stores the whole id, which is
    // small there.
    struct HandleEntry
    {
        USHORT processId;
        USHORT creatorBackTraceIndex;
        BYTE objectType;
        BYTE flags;
        USHORT handle;
        void* object;
        ULONG access;
    };

    struct HandleTable
    {
        ULONG count;
        HandleEntry entries[1];
    };

    using QuerySystemInformation = LONG(NTAPI*)(ULONG, void*, ULONG, ULONG*);

    // Pages of our own, grown as needed: the heaps being measured stay untouched.
    void* g_pBuffer = nullptr;
    SIZE_T g_cbBuffer = 0;

    bool EnsureBuffer(SIZE_T cbNeeded)
    {
        if (cbNeeded <= g_cbBuffer) return true;
        if (g_pBuffer != nullptr) VirtualFree(g_pBuffer, 0, MEM_RELEASE);
        const SIZE_T cb = (cbNeeded + 0xFFFF) & ~static_cast<SIZE_T>(0xFFFF);
        g_pBuffer = VirtualAlloc(nullptr, cb, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        g_cbBuffer = g_pBuffer != nullptr ? cb : 0;
        return g_pBuffer != nullptr;
    }

    bool CountHandles(ULONG* pCount)
    {
        static const auto pfnQuery = reinterpret_cast<QuerySystemInformation>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
        if (pfnQuery == nullptr) return false;
        SIZE_T cbWanted = 256 * 1024;
        for (int attempt = 0; attempt < 8; ++attempt)
        {
            if (!EnsureBuffer(cbWanted)) return false;
            ULONG cbReturned = 0;
            const LONG status = pfnQuery(SYSTEM_HANDLE_INFORMATION_CLASS, g_pBuffer, static_cast<ULONG>(g_cbBuffer), &cbReturned);
            if (status == STATUS_INFO_LENGTH_MISMATCH_CODE)
            {
                // Other processes may open handles between the calls: leave some room.
                cbWanted = (cbReturned > g_cbBuffer ? cbReturned : g_cbBuffer * 2) + 64 * 1024;
                continue;
            }
            if (status < 0) return false;
            const auto* pTable = static_cast<const HandleTable*>(g_pBuffer);
            const USHORT ownId = static_cast<USHORT>(GetCurrentProcessId());
            ULONG count = 0;
            for (ULONG i = 0; i < pTable->count; ++i)
            {
                if (pTable->entries[i].processId == ownId) ++count;
            }
            *pCount = count;
            return true;
        }
        return false;
    }

    void AddHeap(HANDLE hHeap, ProcessMeters* pMeters)
    {
        if (!HeapLock(hHeap)) return;
        PROCESS_HEAP_ENTRY entry = {};
        while (HeapWalk(hHeap, &entry))
        {
            if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0)
            {
                pMeters->heapBusyBytes += entry.cbData;
                ++pMeters->heapBusyBlocks;
            }
        }
        HeapUnlock(hHeap);
    }
}

bool ReadProcessMeters(ProcessMeters* pMeters)
{
    *pMeters = ProcessMeters();
    if (!CountHandles(&pMeters->handles)) return false;
    HANDLE rghHeaps[256];
    const DWORD cHeaps = GetProcessHeaps(ARRAYSIZE(rghHeaps), rghHeaps);
    if (cHeaps == 0 || cHeaps > ARRAYSIZE(rghHeaps)) return false;
    for (DWORD i = 0; i < cHeaps; ++i) AddHeap(rghHeaps[i], pMeters);
    return true;
}
