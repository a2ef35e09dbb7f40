#pragma once
// Small text helpers shared by velkorctl's commands.
#include <windows.h>

#include <string>

// "0x%08X"
std::wstring HexStatus(DWORD dwStatus);

// What a status code means, with the code kept: "Access is denied (error 0x00000005)".
std::wstring DescribedStatus(DWORD dwStatus);

// UTF-8 and UTF-16 for the enrolment document's text. Invalid input gives "" and false.
bool Utf8ToWide(const std::string& utf8, std::wstring* pWide);
std::string WideToUtf8(const std::wstring& wide);
