#pragma once
// Module-wide state of the credential provider DLL.
#include <windows.h>

extern LONG g_lModuleRefCount;

// Every live object of the module (class factories, providers, credentials, filters,
// events relays) and every server lock keeps the module loaded.
void ModuleAddRef();
void ModuleRelease();

// One trace line to the debugger output.
void Trace(const wchar_t* pszText);
