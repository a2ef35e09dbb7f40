#pragma once
// Runs velkorctl.exe (next to this test program) in its own process with a virtual
// token scenario, and, for the elevation tests, under another token.
#include <windows.h>

#include <string>
#include <vector>

struct CtlRun
{
    DWORD exitCode;
    std::vector<std::string> out; // standard output, one entry per line (UTF-8, no line ends)
    std::vector<std::string> err;

    bool OutHas(const std::string& text) const;
    bool ErrHas(const std::string& text) const;
    std::string Text() const; // both streams, for failure messages
};

// arguments: after the program name. tokenScenario: the text of a scenario file for
// the virtual PC/SC stack ("" = no readers). hToken: a primary token to run under.
CtlRun RunCtl(const std::wstring& arguments, const std::string& tokenScenario = "", HANDLE hToken = nullptr);

std::wstring CurrentUser();
std::string Narrow(const std::wstring& text);

// The virtual token reader with the default token (serial 1234ABCD).
extern const char ONE_TOKEN[];
