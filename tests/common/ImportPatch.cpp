#include "ImportPatch.h"

#include <cstring>

namespace
{
    void WriteSlot(void** ppfnSlot, void* pfnValue)
    {
        DWORD oldProtection = 0;
        VirtualProtect(ppfnSlot, sizeof(void*), PAGE_READWRITE, &oldProtection);
        *ppfnSlot = pfnValue;
        VirtualProtect(ppfnSlot, sizeof(void*), oldProtection, &oldProtection);
    }
}

CImportPatch::CImportPatch(const char* pszDllName, const char* pszFunctionName, void* pfnReplacement,
                           HMODULE hModule)
{
    BYTE* pbBase = reinterpret_cast<BYTE*>(hModule != nullptr ? hModule : GetModuleHandleW(nullptr));
    const auto* pDos = reinterpret_cast<const IMAGE_DOS_HEADER*>(pbBase);
    const auto* pNt = reinterpret_cast<const IMAGE_NT_HEADERS*>(pbBase + pDos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0)
    {
        return;
    }
    for (auto* pDescriptor = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(pbBase + imports.VirtualAddress);
         pDescriptor->Name != 0; ++pDescriptor)
    {
        if (_stricmp(reinterpret_cast<const char*>(pbBase + pDescriptor->Name), pszDllName) != 0)
        {
            continue;
        }
        auto* pNames = reinterpret_cast<const IMAGE_THUNK_DATA*>(pbBase + pDescriptor->OriginalFirstThunk);
        auto* pSlots = reinterpret_cast<IMAGE_THUNK_DATA*>(pbBase + pDescriptor->FirstThunk);
        for (; pNames->u1.AddressOfData != 0; ++pNames, ++pSlots)
        {
            if (IMAGE_SNAP_BY_ORDINAL(pNames->u1.Ordinal))
            {
                continue;
            }
            const auto* pByName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(pbBase + pNames->u1.AddressOfData);
            if (strcmp(reinterpret_cast<const char*>(pByName->Name), pszFunctionName) == 0)
            {
                _ppfnSlot = reinterpret_cast<void**>(&pSlots->u1.Function);
                _pfnOriginal = *_ppfnSlot;
                WriteSlot(_ppfnSlot, pfnReplacement);
                return;
            }
        }
    }
}

CImportPatch::~CImportPatch()
{
    if (_ppfnSlot != nullptr)
    {
        WriteSlot(_ppfnSlot, _pfnOriginal);
    }
}
