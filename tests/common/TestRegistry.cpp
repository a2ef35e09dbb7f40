#include "TestRegistry.h"

#include <gtest/gtest.h>

namespace testreg
{
    const wchar_t ROOT[] = L"SOFTWARE\\Halvane";

    std::wstring Settings() { return L"SOFTWARE\\Halvane\\FIDO2\\auth\\settings"; }
    std::wstring User(const std::wstring& name) { return L"SOFTWARE\\Halvane\\FIDO2\\auth\\users\\" + name; }
    std::wstring Token(const std::wstring& serial) { return L"SOFTWARE\\Halvane\\FIDO2\\auth\\tokens\\" + serial; }

    void DeleteTree()
    {
        const LONG status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, ROOT);
        ASSERT_TRUE(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) << status;
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, ROOT);
    }

    void Reset()
    {
        DeleteTree();
        CreateKey(Settings());
        CreateKey(L"SOFTWARE\\Halvane\\FIDO2\\auth\\users");
        CreateKey(L"SOFTWARE\\Halvane\\FIDO2\\auth\\tokens");
    }

    bool KeyExists(const std::wstring& path)
    {
        HKEY hKey = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS) return false;
        RegCloseKey(hKey);
        return true;
    }

    void CreateKey(const std::wstring& path)
    {
        HKEY hKey = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &hKey, nullptr));
        RegCloseKey(hKey);
    }

    void DeleteKey(const std::wstring& path)
    {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
    }

    void SetRaw(const std::wstring& path, const wchar_t* name, DWORD type, const std::vector<BYTE>& data)
    {
        CreateKey(path);
        ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, type,
                                                 data.empty() ? nullptr : data.data(), static_cast<DWORD>(data.size())));
    }

    void SetDword(const std::wstring& path, const wchar_t* name, DWORD value)
    {
        SetRaw(path, name, REG_DWORD, std::vector<BYTE>(reinterpret_cast<BYTE*>(&value), reinterpret_cast<BYTE*>(&value) + 4));
    }

    void SetString(const std::wstring& path, const wchar_t* name, const std::wstring& value)
    {
        const BYTE* pb = reinterpret_cast<const BYTE*>(value.c_str());
        SetRaw(path, name, REG_SZ, std::vector<BYTE>(pb, pb + (value.size() + 1) * sizeof(wchar_t)));
    }

    void SetAnsi(const std::wstring& path, const char* name, const std::string& bytes)
    {
        CreateKey(path);
        HKEY hKey = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_WRITE, &hKey));
        EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(hKey, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(bytes.data()),
                                                static_cast<DWORD>(bytes.size())));
        RegCloseKey(hKey);
    }

    void DeleteValue(const std::wstring& path, const wchar_t* name)
    {
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, path.c_str(), name);
    }

    bool ValueExists(const std::wstring& path, const wchar_t* name)
    {
        return RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, RRF_RT_ANY, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    }

    std::string ReadAnsi(const std::wstring& path, const char* name, DWORD* pType)
    {
        HKEY hKey = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS) return "<no key>";
        char buffer[4096] = {};
        DWORD size = sizeof(buffer);
        const LONG status = RegQueryValueExA(hKey, name, nullptr, pType, reinterpret_cast<BYTE*>(buffer), &size);
        RegCloseKey(hKey);
        if (status != ERROR_SUCCESS) return "<no value>";
        return std::string(buffer, size);
    }

    namespace
    {
        void SnapshotKey(HKEY hParent, const std::wstring& path, std::wstring& text)
        {
            HKEY hKey = nullptr;
            if (RegOpenKeyExW(hParent, path.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS) return;
            text += L"[" + path + L"]\n";
            for (DWORD i = 0;; ++i)
            {
                wchar_t name[16384];
                DWORD cchName = 16384;
                BYTE data[8192];
                DWORD cbData = sizeof(data);
                DWORD type = 0;
                if (RegEnumValueW(hKey, i, name, &cchName, nullptr, &type, data, &cbData) != ERROR_SUCCESS) break;
                text += std::wstring(name) + L" type " + std::to_wstring(type) + L" :";
                for (DWORD b = 0; b < cbData; ++b) text += L" " + std::to_wstring(data[b]);
                text += L"\n";
            }
            for (DWORD i = 0;; ++i)
            {
                wchar_t name[256];
                DWORD cchName = 256;
                if (RegEnumKeyExW(hKey, i, name, &cchName, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
                SnapshotKey(hKey, name, text);
            }
            RegCloseKey(hKey);
        }
    }

    std::wstring Snapshot()
    {
        std::wstring text;
        SnapshotKey(HKEY_LOCAL_MACHINE, ROOT, text);
        return text;
    }

    void EnableUser(const std::wstring& user, bool logging)
    {
        SetDword(Settings(), L"enabled", 1);
        if (logging) SetDword(Settings(), L"loggingEnabled", 1);
        SetDword(User(user), L"enabled", 1);
    }

    void AssociateToken(const std::wstring& serial, const std::wstring& user)
    {
        std::string ansi(user.begin(), user.end());
        SetAnsi(Token(serial), "user", ansi + '\0');
    }
}
