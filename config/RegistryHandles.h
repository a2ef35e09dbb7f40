#pragma once
// Small owners for registry keys and heap-built key paths, so every operation can
// return early and still close what it opened.
#include <windows.h>

class CRegKey
{
public:
    CRegKey() = default;
    ~CRegKey() { Reset(); }
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;

    HKEY Get() const { return _hKey; }
    // Address for a call that returns a new key; closes the current one first.
    HKEY* Put() { Reset(); return &_hKey; }
    void Reset()
    {
        if (_hKey != nullptr)
        {
            RegCloseKey(_hKey);
            _hKey = nullptr;
        }
    }

private:
    HKEY _hKey = nullptr;
};

// A key path made of a fixed prefix and a name appended whole. The name may be of any
// length; allocation failure (possible only for names longer than any key name) leaves
// the path invalid instead of throwing.
class CKeyPath
{
public:
    CKeyPath(const wchar_t* pszPrefix, const wchar_t* pszName);
    ~CKeyPath();
    CKeyPath(const CKeyPath&) = delete;
    CKeyPath& operator=(const CKeyPath&) = delete;

    bool IsValid() const { return _pszPath != nullptr; }
    const wchar_t* Get() const { return _pszPath; }

private:
    // A prefix and the longest key name (255 characters) with room to spare.
    static constexpr size_t INLINE_PATH_CHARS = 320;

    wchar_t _szInline[INLINE_PATH_CHARS];
    wchar_t* _pszPath = nullptr;
};
