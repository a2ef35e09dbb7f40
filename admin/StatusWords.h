#pragma once
// Words for every status code the Login Manager and velkorctl show: the token flows' own
// results, the key's CTAP2 status, the smart-card service's codes, registry and system
// errors. The one place that maps a code to what it means for an administrator.
#include <windows.h>

constexpr size_t STATUS_WORDS_CHARS = 256;

// The words for dwStatus, without the code and without a final full stop ("The key was
// not touched in time"). Codes of no known family are described by the system's message
// table, or as "Unknown status".
void FormatStatusWords(DWORD dwStatus, wchar_t (&szWords)[STATUS_WORDS_CHARS]);
