#pragma once
#include "ImportPatch.h"

#include <windows.h>

// The package's clocks as the tests move them: its monotonic clock runs ahead of the real
// one by an offset that only ever grows (the package remembers refusals by it), and its
// system time may be shifted for one test (it judges a typed code's age by it).
struct PackageClock
{
    static inline ULONGLONG s_ullTicksAhead = 0;
    static inline LONGLONG s_llSystemTimeShift = 0; // 100 ns units
    static inline CImportPatch* s_pTickPatch = nullptr;
    static inline CImportPatch* s_pTimePatch = nullptr;

    static ULONGLONG WINAPI TickCount64()
    {
        return reinterpret_cast<decltype(&GetTickCount64)>(s_pTickPatch->Original())() + s_ullTicksAhead;
    }

    static void WINAPI SystemTimeAsFileTime(LPFILETIME pft)
    {
        reinterpret_cast<decltype(&GetSystemTimeAsFileTime)>(s_pTimePatch->Original())(pft);
        ULARGE_INTEGER time = { { pft->dwLowDateTime, pft->dwHighDateTime } };
        time.QuadPart += static_cast<ULONGLONG>(s_llSystemTimeShift);
        pft->dwLowDateTime = time.LowPart;
        pft->dwHighDateTime = time.HighPart;
    }

    static void Attach(HMODULE hModule)
    {
        s_pTickPatch = new CImportPatch("KERNEL32.dll", "GetTickCount64", reinterpret_cast<void*>(&TickCount64), hModule);
        s_pTimePatch = new CImportPatch("KERNEL32.dll", "GetSystemTimeAsFileTime",
                                        reinterpret_cast<void*>(&SystemTimeAsFileTime), hModule);
    }

    static void Detach()
    {
        delete s_pTickPatch;
        delete s_pTimePatch;
        s_pTickPatch = s_pTimePatch = nullptr;
        s_llSystemTimeShift = 0;
    }

    static void AdvanceTicks(ULONGLONG ms) { s_ullTicksAhead += ms; }
    // Past the 3 s for which a refused logon bars the recovery path.
    static void ForgetRecentRefusals() { AdvanceTicks(3001); }

    static void ShiftSystemTime(int seconds) { s_llSystemTimeShift = static_cast<LONGLONG>(seconds) * 10000000; }
};
