#pragma once
// Small text helpers shared by velkorctl's commands.
#include <windows.h>

#include <string>

// "0x%08X"
std::wstring HexStatus(DWORD dwStatus);
