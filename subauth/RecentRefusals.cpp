#include "RecentRefusals.h"

#include <cwchar>

namespace
{
    struct REFUSAL_SLOT
    {
        bool fUsed;
        ULONGLONG ullNameHash;
        ULONGLONG ullRefusedAt; // GetTickCount64
    };

    SRWLOCK g_lock = SRWLOCK_INIT;
    REFUSAL_SLOT g_rgSlots[RECENT_REFUSAL_SLOTS] = {};

    constexpr size_t FOLD_CHUNK_CHARS = 64;
    constexpr ULONGLONG FNV_OFFSET_BASIS = 14695981039346656037ull;
    constexpr ULONGLONG FNV_PRIME = 1099511628211ull;

    // The name upper-cased as the registry compares key names, hashed a chunk at a time so a
    // name of any length needs no allocation. Two names that meet in the hash share a slot:
    // the cost is a recovery code refused for a few seconds, never one let through.
    ULONGLONG HashFoldedName(const wchar_t* pszUserName)
    {
        ULONGLONG ullHash = FNV_OFFSET_BASIS;
        const size_t cchName = pszUserName != nullptr ? wcslen(pszUserName) : 0;
        for (size_t iStart = 0; iStart < cchName; iStart += FOLD_CHUNK_CHARS)
        {
            const int cchChunk = static_cast<int>(cchName - iStart < FOLD_CHUNK_CHARS ? cchName - iStart : FOLD_CHUNK_CHARS);
            wchar_t szFolded[FOLD_CHUNK_CHARS];
            if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, pszUserName + iStart, cchChunk, szFolded, cchChunk,
                              nullptr, nullptr, 0) != cchChunk)
            {
                for (int i = 0; i < cchChunk; ++i)
                {
                    const wchar_t ch = pszUserName[iStart + i];
                    szFolded[i] = (ch >= L'a' && ch <= L'z') ? static_cast<wchar_t>(ch - L'a' + L'A') : ch;
                }
            }
            for (int i = 0; i < cchChunk; ++i)
            {
                ullHash = (ullHash ^ (szFolded[i] & 0xFF)) * FNV_PRIME;
                ullHash = (ullHash ^ (szFolded[i] >> 8)) * FNV_PRIME;
            }
        }
        return ullHash;
    }

    bool IsRecent(const REFUSAL_SLOT& slot, ULONGLONG ullNow)
    {
        // A time after now cannot come from a monotonic clock; counted as recent all the same.
        return slot.fUsed && (slot.ullRefusedAt > ullNow || ullNow - slot.ullRefusedAt < RECENT_REFUSAL_MS);
    }
}

void RememberTokenRefusal(const wchar_t* pszUserName)
{
    const ULONGLONG ullHash = HashFoldedName(pszUserName);
    AcquireSRWLockExclusive(&g_lock);
    const ULONGLONG ullNow = GetTickCount64();
    // The account's own slot, else one that no longer bars anything, else the oldest.
    REFUSAL_SLOT* pOwn = nullptr;
    REFUSAL_SLOT* pFree = nullptr;
    REFUSAL_SLOT* pOldest = &g_rgSlots[0];
    for (REFUSAL_SLOT& slot : g_rgSlots)
    {
        if (slot.fUsed && slot.ullNameHash == ullHash)
        {
            pOwn = &slot;
            break;
        }
        if (pFree == nullptr && !IsRecent(slot, ullNow))
        {
            pFree = &slot;
        }
        if (slot.ullRefusedAt < pOldest->ullRefusedAt)
        {
            pOldest = &slot;
        }
    }
    REFUSAL_SLOT* pTarget = pOwn != nullptr ? pOwn : pFree != nullptr ? pFree : pOldest;
    pTarget->fUsed = true;
    pTarget->ullNameHash = ullHash;
    pTarget->ullRefusedAt = ullNow;
    ReleaseSRWLockExclusive(&g_lock);
}

bool WasTokenLogonRefusedRecently(const wchar_t* pszUserName)
{
    const ULONGLONG ullHash = HashFoldedName(pszUserName);
    bool fRecent = false;
    AcquireSRWLockShared(&g_lock);
    const ULONGLONG ullNow = GetTickCount64();
    for (const REFUSAL_SLOT& slot : g_rgSlots)
    {
        if (slot.ullNameHash == ullHash && IsRecent(slot, ullNow))
        {
            fRecent = true;
            break;
        }
    }
    ReleaseSRWLockShared(&g_lock);
    return fRecent;
}
