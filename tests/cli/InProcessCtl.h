#pragma once
// velkorctl's commands run in this test program, with what they print kept.
#include "CtlCommands.h"
#include "CtlOutput.h"

#include <string>
#include <vector>

class CCapturedOutput final : public CCtlOutput
{
public:
    std::wstring out, err;

protected:
    void Write(bool fError, const std::wstring& text) override { (fError ? err : out) += text; }
};

// The command line split at spaces, as velkorctl would get it.
inline int RunLine(const std::wstring& commandLine, CCapturedOutput& output)
{
    std::vector<std::wstring> args;
    size_t start = 0;
    while (start < commandLine.size())
    {
        const size_t end = commandLine.find(L' ', start);
        args.push_back(commandLine.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        if (end == std::wstring::npos) break;
        start = end + 1;
    }
    return RunVelkorCtl(args, output);
}
