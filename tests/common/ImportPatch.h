#pragma once
// Replaces one imported function in a module's import table (this test program's by
// default, or a loaded DLL's) for the lifetime of an instance, so a test can make a
// system call fail, or watch it, exactly where the product code calls it, without any
// hook in the product code.
#include <windows.h>

class CImportPatch
{
public:
    CImportPatch(const char* pszDllName, const char* pszFunctionName, void* pfnReplacement,
                 HMODULE hModule = nullptr);
    ~CImportPatch();
    CImportPatch(const CImportPatch&) = delete;
    CImportPatch& operator=(const CImportPatch&) = delete;

    bool IsActive() const { return _ppfnSlot != nullptr; }
    void* Original() const { return _pfnOriginal; }

private:
    void** _ppfnSlot = nullptr;
    void* _pfnOriginal = nullptr;
};
