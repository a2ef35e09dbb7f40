#include "ReaderList.h"

size_t ForEachReaderName(const wchar_t* pmszReaders, size_t cchReaders, size_t maxKept, ReaderNameSink pfnSink,
                         void* pContext)
{
    if (pmszReaders == nullptr || pfnSink == nullptr)
    {
        return 0;
    }
    size_t kept = 0;
    size_t start = 0;
    while (kept < maxKept && start < cchReaders && pmszReaders[start] != L'\0')
    {
        size_t end = start;
        while (end < cchReaders && pmszReaders[end] != L'\0')
        {
            ++end;
        }
        if (end == cchReaders)
        {
            break; // a name cut off by the reported length is not a name
        }
        if (pfnSink(pContext, pmszReaders + start, end - start))
        {
            ++kept;
        }
        start = end + 1;
    }
    return kept;
}
