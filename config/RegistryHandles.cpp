#include "RegistryHandles.h"

#include <cwchar>
#include <new>

CKeyPath::CKeyPath(const wchar_t* pszPrefix, const wchar_t* pszName)
{
    const size_t cchPrefix = wcslen(pszPrefix);
    const size_t cchName = pszName != nullptr ? wcslen(pszName) : 0;
    _pszPath = new (std::nothrow) wchar_t[cchPrefix + cchName + 1];
    if (_pszPath == nullptr)
    {
        return;
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
    delete[] _pszPath;
}
