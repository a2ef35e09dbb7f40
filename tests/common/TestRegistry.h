#pragma once
// Puts the configuration under HKLM\SOFTWARE\Halvane into a known state.
#include <windows.h>

#include <string>
#include <vector>

namespace testreg
{
    extern const wchar_t ROOT[]; // SOFTWARE\Halvane

    // Deletes the whole tree and creates the settings, users and tokens keys.
    void Reset();
    void DeleteTree();
    bool KeyExists(const std::wstring& path);
    void CreateKey(const std::wstring& path);
    void DeleteKey(const std::wstring& path);
    void SetDword(const std::wstring& path, const wchar_t* name, DWORD value);
    void SetString(const std::wstring& path, const wchar_t* name, const std::wstring& value);
    // A value of any type with exactly these bytes.
    void SetRaw(const std::wstring& path, const wchar_t* name, DWORD type, const std::vector<BYTE>& data);
    // A REG_SZ through the ANSI call with exactly these bytes (add the terminator yourself).
    void SetAnsi(const std::wstring& path, const char* name, const std::string& bytes);
    void DeleteValue(const std::wstring& path, const wchar_t* name);
    bool ValueExists(const std::wstring& path, const wchar_t* name);
    // The value's bytes as the ANSI call returns them (terminator included).
    std::string ReadAnsi(const std::wstring& path, const char* name, DWORD* pType = nullptr);

    // Every key, value name, type and data under SOFTWARE\Halvane, as text, to prove that
    // something wrote nothing.
    std::wstring Snapshot();

    std::wstring Settings();
    std::wstring User(const std::wstring& name);
    std::wstring Token(const std::wstring& serial);

    // Turns the machine switch, logging and a user on in one go.
    void EnableUser(const std::wstring& user, bool logging = false);
    void AssociateToken(const std::wstring& serial, const std::wstring& user);
}
