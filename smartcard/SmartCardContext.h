#pragma once
// A PC/SC resource-manager context and the names of the readers it listed.
#include <windows.h>
#include <winscard.h>

constexpr int MAX_READERS = 20;

class CSmartCardContext
{
public:
    CSmartCardContext() = default;
    ~CSmartCardContext() { Release(); }
    CSmartCardContext(const CSmartCardContext&) = delete;
    CSmartCardContext& operator=(const CSmartCardContext&) = delete;

    LONG EstablishContext();
    // Lists once; later calls return the names already held. Null when none are held.
    wchar_t** ListReaders();
    LONG RefreshReaders();
    void Release();

    DWORD lastResult = 0;
    SCARDCONTEXT context = 0;
    wchar_t* readers[MAX_READERS] = {};
    int readerCount = 0;

private:
    void FreeReaderNames();
};
