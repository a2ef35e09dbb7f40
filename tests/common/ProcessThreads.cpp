#include "ProcessThreads.h"

#include <tlhelp32.h>

DWORD CountProcessThreads()
{
    HANDLE hSnapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (hSnapshot == INVALID_HANDLE_VALUE)
    {
        return 0;
    }
    DWORD count = 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(hSnapshot, &entry); more; more = Thread32Next(hSnapshot, &entry))
    {
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
        {
            ++count;
        }
    }
    CloseHandle(hSnapshot);
    return count;
}

DWORD WaitForProcessThreadsAtMost(DWORD cMax, ULONGLONG ullUntil)
{
    for (;;)
    {
        const DWORD count = CountProcessThreads();
        if (count <= cMax || GetTickCount64() >= ullUntil)
        {
            return count;
        }
        Sleep(50);
    }
}
