#include "CtlRunner.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

const char ONE_TOKEN[] = "reader \"Halvane Velkor FIDO2 Security Key 0\" token\n";

namespace
{
    std::wstring TempPath(const wchar_t* pszName)
    {
        wchar_t folder[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, folder);
        return std::wstring(folder) + pszName;
    }

    std::wstring Folder()
    {
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring folder = path;
        return folder.substr(0, folder.find_last_of(L'\\') + 1);
    }

    HANDLE InheritableFile(const std::wstring& path)
    {
        SECURITY_ATTRIBUTES inherit = { sizeof(inherit), nullptr, TRUE };
        return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    }

    std::vector<std::string> Lines(const std::wstring& path)
    {
        std::ifstream file(path.c_str(), std::ios::binary);
        std::stringstream content;
        content << file.rdbuf();
        std::vector<std::string> lines;
        std::string line;
        std::istringstream stream(content.str());
        while (std::getline(stream, line))
        {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
        }
        return lines;
    }

    bool Has(const std::vector<std::string>& lines, const std::string& text)
    {
        for (const std::string& line : lines)
        {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }
}

bool CtlRun::OutHas(const std::string& text) const { return Has(out, text); }
bool CtlRun::ErrHas(const std::string& text) const { return Has(err, text); }

std::string CtlRun::Text() const
{
    std::string text = "exit " + std::to_string(exitCode) + "\n[stdout]\n";
    for (const std::string& line : out) text += line + "\n";
    text += "[stderr]\n";
    for (const std::string& line : err) text += line + "\n";
    return text;
}

std::wstring CurrentUser()
{
    wchar_t name[512] = {};
    DWORD cch = 512;
    GetUserNameW(name, &cch);
    return name;
}

std::string Narrow(const std::wstring& text)
{
    std::string narrow;
    for (wchar_t ch : text) narrow += ch < 0x80 ? static_cast<char>(ch) : '?';
    return narrow;
}

CtlRun RunCtl(const std::wstring& arguments, const std::string& tokenScenario, HANDLE hToken)
{
    CtlRun run = { 99, {}, {} };
    if (tokenScenario.empty())
    {
        SetEnvironmentVariableW(L"VELKOR_VSCARD_SCENARIO", nullptr);
    }
    else
    {
        const std::wstring scenario = TempPath(L"velkorctl-token.txt");
        std::ofstream(scenario.c_str(), std::ios::binary | std::ios::trunc) << tokenScenario;
        SetEnvironmentVariableW(L"VELKOR_VSCARD_SCENARIO", scenario.c_str());
    }
    const std::wstring outPath = TempPath(L"velkorctl-out.txt");
    const std::wstring errPath = TempPath(L"velkorctl-err.txt");
    HANDLE hOut = InheritableFile(outPath);
    HANDLE hErr = InheritableFile(errPath);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = hOut;
    startup.hStdError = hErr;
    std::wstring commandLine = L"\"" + Folder() + L"velkorctl.exe\" " + arguments;
    PROCESS_INFORMATION process = {};
    const BOOL started =
        hToken != nullptr
            ? CreateProcessAsUserW(hToken, nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                   &startup, &process)
            : CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    CloseHandle(hOut);
    CloseHandle(hErr);
    SetEnvironmentVariableW(L"VELKOR_VSCARD_SCENARIO", nullptr);
    if (!started)
    {
        ADD_FAILURE() << "cannot start velkorctl.exe: " << GetLastError();
        return run;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    run.out = Lines(outPath);
    run.err = Lines(errPath);
    return run;
}
