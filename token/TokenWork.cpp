#include "TokenWork.h"

namespace
{
    constexpr LONG WORK_RUNNING = 0;
    constexpr LONG WORK_FINISHED = 1;
    constexpr LONG WORK_ABANDONED = 2;

    LONG g_lLingering = 0;

    // Shared by the caller and the thread; the last one to let go frees it.
    struct TOKEN_WORK_CONTROL
    {
        LONG lReferences;
        LONG lState;
        HANDLE hDone;
        void* pWork;
        TOKEN_WORK_CALLS calls;
        HMODULE hModule; // this code's module, held until the thread has left it
    };

    void ReleaseControl(TOKEN_WORK_CONTROL* pControl)
    {
        if (InterlockedDecrement(&pControl->lReferences) == 0)
        {
            CloseHandle(pControl->hDone);
            HeapFree(GetProcessHeap(), 0, pControl);
        }
    }

    DWORD WINAPI RunWork(void* pParameter)
    {
        auto* pControl = static_cast<TOKEN_WORK_CONTROL*>(pParameter);
        pControl->calls.pfnWork(pControl->pWork);
        if (InterlockedCompareExchange(&pControl->lState, WORK_FINISHED, WORK_RUNNING) == WORK_RUNNING)
        {
            SetEvent(pControl->hDone);
        }
        else
        {
            // Nobody waits any longer: what the work holds is left to it.
            pControl->calls.pfnAbandoned(pControl->pWork);
            InterlockedDecrement(&g_lLingering);
        }
        // A caller that got its answer may unload the module at once (a program that loaded
        // the package to call it, say): the thread keeps it loaded until it is gone.
        HMODULE hModule = pControl->hModule;
        ReleaseControl(pControl);
        FreeLibraryAndExitThread(hModule, 0);
    }

    bool PlainWait(void*, HANDLE hDone, DWORD dwMilliseconds)
    {
        return WaitForSingleObject(hDone, dwMilliseconds) == WAIT_OBJECT_0;
    }
}

TokenWorkOutcome RunTokenWork(void* pWork, const TOKEN_WORK_CALLS& calls, ULONGLONG ullGiveUp, TokenWaitFunction pfnWait,
                              void* pWaitContext)
{
    auto* pControl = static_cast<TOKEN_WORK_CONTROL*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(TOKEN_WORK_CONTROL)));
    if (pControl == nullptr)
    {
        return TokenWorkOutcome::NotStarted;
    }
    pControl->hDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (pControl->hDone == nullptr)
    {
        HeapFree(GetProcessHeap(), 0, pControl);
        return TokenWorkOutcome::NotStarted;
    }
    pControl->lReferences = 2;
    pControl->lState = WORK_RUNNING;
    pControl->pWork = pWork;
    pControl->calls = calls;
    HANDLE hThread = nullptr;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&RunWork), &pControl->hModule))
    {
        hThread = CreateThread(nullptr, 0, RunWork, pControl, 0, nullptr);
        if (hThread == nullptr)
        {
            FreeLibrary(pControl->hModule);
        }
    }
    if (hThread == nullptr)
    {
        CloseHandle(pControl->hDone);
        HeapFree(GetProcessHeap(), 0, pControl);
        return TokenWorkOutcome::NotStarted;
    }
    CloseHandle(hThread);

    if (pfnWait == nullptr)
    {
        pfnWait = PlainWait;
    }
    for (;;)
    {
        const ULONGLONG ullNow = GetTickCount64();
        const ULONGLONG ullLeft = ullNow < ullGiveUp ? ullGiveUp - ullNow : 0;
        if (pfnWait(pWaitContext, pControl->hDone, static_cast<DWORD>(ullLeft < INFINITE ? ullLeft : INFINITE - 1)))
        {
            ReleaseControl(pControl);
            return TokenWorkOutcome::Finished;
        }
        if (GetTickCount64() >= ullGiveUp)
        {
            break;
        }
    }
    // Still running, so still the caller's: it lets go before handing the work over.
    if (calls.pfnLetGo != nullptr)
    {
        calls.pfnLetGo(pWork);
    }
    InterlockedIncrement(&g_lLingering);
    if (InterlockedCompareExchange(&pControl->lState, WORK_ABANDONED, WORK_RUNNING) != WORK_RUNNING)
    {
        // It finished just now: its event is set or about to be.
        InterlockedDecrement(&g_lLingering);
        WaitForSingleObject(pControl->hDone, INFINITE);
        ReleaseControl(pControl);
        return TokenWorkOutcome::Finished;
    }
    ReleaseControl(pControl);
    return TokenWorkOutcome::TimedOut;
}

LONG CountLingeringTokenWork()
{
    return InterlockedCompareExchange(&g_lLingering, 0, 0);
}
