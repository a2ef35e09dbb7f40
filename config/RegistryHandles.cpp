#include "RegistryHandles.h"

#include <cwchar>

CKeyPath::CKeyPath(const wchar_t* pszPrefix, const wchar_t* pszName)
{
    const size_t cchPrefix = wcslen(pszPrefix);
    const size_t cchName = pszName != nullptr ? wcslen(pszName) : 0;
    // Every name a registry key can have fits inline, so a lookup never depends on the heap.
    if (cchPrefix + cchName < INLINE_PATH_CHARS)
    {
        _pszPath = _szInline;
    }
    else
    {
        // The heap directly: no C++ exception machinery on a path that runs inside LSA.
        _pszPath = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, (cchPrefix + cchName + 1) * sizeof(wchar_t)));
        if (_pszPath == nullptr)
        {
            return;
        }
    }
    wmemcpy(_pszPath, pszPrefix, cchPrefix);
    if (cchName > 0)
    {
        wmemcpy(_pszPath + cchPrefix, pszName, cchName);
    }
    _pszPath[cchPrefix + cchName] = L'\0';
}

CKeyPath::~CKeyPath()
{
    if (_pszPath != _szInline)
    {
        HeapFree(GetProcessHeap(), 0, _pszPath);
    }
}
