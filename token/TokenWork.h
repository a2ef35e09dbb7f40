#pragma once
// Work on the token that must end by a deadline even when the token does not answer:
// a transmission can block for as long as the reader's driver lets it. The work runs on
// a thread of its own; the caller waits until it gives up and then goes on without it.
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
    TimedOut,   // the caller gave up: the work owns what it holds and releases it when it ends
    NotStarted, // no thread could be made: nothing ran, the caller still owns everything
};

struct TOKEN_WORK_CALLS
{
    TokenWorkFunction pfnWork;      // on the work's thread
    TokenWorkFunction pfnAbandoned; // on the work's thread, after pfnWork, when the caller gave up
    // On the caller's thread when it gives up, while the work is still the caller's to touch:
    // the work must stop reaching back into the caller, and may cancel what it waits for.
    TokenWorkFunction pfnLetGo;     // may be null
};

// Waits until the work ends or ullGiveUp (GetTickCount64) has passed.
TokenWorkOutcome RunTokenWork(void* pWork, const TOKEN_WORK_CALLS& calls, ULONGLONG ullGiveUp,
                              TokenWaitFunction pfnWait = nullptr, void* pWaitContext = nullptr);

// Works given up on that have not ended yet, in this process.
LONG CountLingeringTokenWork();
