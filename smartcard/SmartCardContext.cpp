#include "SmartCardContext.h"
#include "ReaderList.h"

#include <shlwapi.h>

LONG CSmartCardContext::EstablishContext()
{
    // A second call must not leak the context already held.
    Release();
    const LONG result = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
    lastResult = static_cast<DWORD>(result);
    return result;
}

wchar_t** CSmartCardContext::ListReaders()
{
    if (readerCount == 0)
    {
        wchar_t* pmszReaders = nullptr;
        DWORD cchReaders = SCARD_AUTOALLOCATE;
        const LONG result = SCardListReadersW(context, nullptr, reinterpret_cast<wchar_t*>(&pmszReaders), &cchReaders);
        lastResult = static_cast<DWORD>(result);
        if (result == SCARD_S_SUCCESS && pmszReaders != nullptr)
        {
            // Names beyond the slots are ignored; a name that cannot be copied leaves its
            // slot to the next one.
            ForEachReaderName(
                pmszReaders, cchReaders, static_cast<size_t>(MAX_READERS),
                [](void* pContext, const wchar_t* pszName, size_t) {
                    CSmartCardContext* pThis = static_cast<CSmartCardContext*>(pContext);
                    wchar_t* pszCopy = StrDupW(pszName);
                    if (pszCopy == nullptr)
                    {
                        return false;
                    }
                    pThis->readers[pThis->readerCount++] = pszCopy;
                    return true;
                },
                this);
            SCardFreeMemory(context, pmszReaders);
        }
    }
    return readerCount > 0 ? readers : nullptr;
}

LONG CSmartCardContext::RefreshReaders()
{
    FreeReaderNames();
    ListReaders();
    return static_cast<LONG>(lastResult);
}

void CSmartCardContext::Release()
{
    if (context != 0)
    {
        SCardReleaseContext(context);
        context = 0;
    }
    FreeReaderNames();
}

void CSmartCardContext::FreeReaderNames()
{
    for (wchar_t*& pszName : readers)
    {
        if (pszName != nullptr)
        {
            LocalFree(pszName);
            pszName = nullptr;
        }
    }
    readerCount = 0;
}
