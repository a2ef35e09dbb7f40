#pragma once
// The threads of this process, to see that work given up on does not stay behind.
#include <windows.h>

DWORD CountProcessThreads();
// Waits until this process has at most cMax threads or GetTickCount64 reaches ullUntil;
// returns the last count seen.
DWORD WaitForProcessThreadsAtMost(DWORD cMax, ULONGLONG ullUntil);
