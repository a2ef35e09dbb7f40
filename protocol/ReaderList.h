#pragma once
// The reader names of a PC/SC multi-string. No Windows headers: also built natively for
// sanitizers and fuzzing.
#include <cstddef>

// Gets each name, terminated within the reported length, with its length in characters.
// Returns whether it kept the name.
using ReaderNameSink = bool (*)(void* pContext, const wchar_t* pszName, size_t cchName);

// Hands pfnSink the names of pmszReaders in list order. Never reads at or past
// pmszReaders[cchReaders], whatever the buffer holds. Stops at the empty name that ends
// the list, at a name with no terminator within cchReaders, or once maxKept names were
// kept. Returns the number of names kept.
size_t ForEachReaderName(const wchar_t* pmszReaders, size_t cchReaders, size_t maxKept, ReaderNameSink pfnSink,
                         void* pContext);
