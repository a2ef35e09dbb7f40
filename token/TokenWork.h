#pragma once
// Work on the token that must end by a deadline even when the token does not answer:
// a transmission can block for as long as the reader's driver lets it. The work runs on
// a thread of its own; the caller waits until the deadline and then goes on without it.
// Whatever the work was given belongs to whoever is left: the caller when the work
// finished in time, else the work itself, which then releases it with pfnAbandoned.
#include <windows.h>

using TokenWorkFunction = void (*)(void* pWork);
// Waits at most dwMilliseconds for hDone; true when it was signalled. A program with
// windows keeps them painted while it waits.
using TokenWaitFunction = bool (*)(void* pWaitContext, HANDLE hDone, DWORD dwMilliseconds);

enum class TokenWorkOutcome
{
    Finished,   // the work ran to its end in time: its results and everything it holds are the caller's
    TimedOut,   // the deadline passed: the work owns what it holds and releases it when it ends
    NotStarted, // no thread could be made: nothing ran, the caller still owns everything
};

TokenWorkOutcome RunTokenWork(void* pWork, TokenWorkFunction pfnWork, TokenWorkFunction pfnAbandoned,
                              ULONGLONG ullDeadline, TokenWaitFunction pfnWait = nullptr, void* pWaitContext = nullptr);
