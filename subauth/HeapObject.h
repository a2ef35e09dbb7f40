#pragma once
// Objects of the logon path live on the process heap, allocated without C++ exceptions:
// some runtimes implement new(std::nothrow) by throwing and catching internally, and
// inside LSA nothing may lean on exception handling when memory runs short.
#include <windows.h>

#include <new>
#include <utility>

template <typename T, typename... Args>
T* HeapNew(Args&&... args)
{
    void* pv = HeapAlloc(GetProcessHeap(), 0, sizeof(T));
    return pv != nullptr ? ::new (pv) T(std::forward<Args>(args)...) : nullptr;
}

template <typename T>
void HeapDelete(T* p)
{
    if (p != nullptr)
    {
        p->~T();
        HeapFree(GetProcessHeap(), 0, p);
    }
}
