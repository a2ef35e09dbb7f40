#include "SafeMode.h"

#include <windows.h>

#include <atomic>

namespace
{
    int QueryCleanBoot()
    {
        return GetSystemMetrics(SM_CLEANBOOT);
    }

    std::atomic<CleanBootQuery> g_pfnCleanBootQuery{ QueryCleanBoot };
}

bool IsSafeModeBoot()
{
    return g_pfnCleanBootQuery.load()() > 0;
}

CleanBootQuery SetCleanBootQueryForTesting(CleanBootQuery pfnQuery)
{
    return g_pfnCleanBootQuery.exchange(pfnQuery != nullptr ? pfnQuery : QueryCleanBoot);
}
