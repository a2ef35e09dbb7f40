#pragma once
// Module-wide state of the credential provider DLL.
#include <windows.h>

extern LONG g_lModuleRefCount;

// Providers, credentials and server locks keep the module loaded.
void ModuleAddRef();
void ModuleRelease();

// One trace line to the debugger output.
void Trace(const wchar_t* pszText);
