#pragma once
// Where velkorctl's lines go: standard output and standard error, as wide text on a
// console and as UTF-8 anywhere else (pipes, files), so scripts read the same bytes
// whatever the code page. Tests replace Write to keep the text.
#include <string>

class CCtlOutput
{
public:
    virtual ~CCtlOutput() = default;

    // One line; the line end is added here.
    void Line(const std::wstring& text) { Write(false, text + L"\r\n"); }
    void ErrorLine(const std::wstring& text) { Write(true, text + L"\r\n"); }

protected:
    virtual void Write(bool fError, const std::wstring& text);
};
