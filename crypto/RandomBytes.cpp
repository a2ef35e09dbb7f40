#include "RandomBytes.h"

#include <windows.h>
#include <bcrypt.h>

#include <atomic>

namespace
{
    bool SystemRandom(unsigned char* pbBuffer, size_t cbBuffer)
    {
        while (cbBuffer > 0)
        {
            const ULONG cbChunk = cbBuffer > 0x10000000 ? 0x10000000 : static_cast<ULONG>(cbBuffer);
            if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, pbBuffer, cbChunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
            {
                return false;
            }
            pbBuffer += cbChunk;
            cbBuffer -= cbChunk;
        }
        return true;
    }

    std::atomic<RandomSource> g_pfnRandomSource{ SystemRandom };
}

bool FillRandomBytes(unsigned char* pbBuffer, size_t cbBuffer)
{
    if (cbBuffer == 0)
    {
        return true;
    }
    if (!g_pfnRandomSource.load()(pbBuffer, cbBuffer))
    {
        SecureZeroMemory(pbBuffer, cbBuffer);
        return false;
    }
    return true;
}

RandomSource SetRandomSourceForTesting(RandomSource pfnSource)
{
    return g_pfnRandomSource.exchange(pfnSource != nullptr ? pfnSource : SystemRandom);
}
