// Every binary carries the one product version that project() sets in CMakeLists.txt, in
// its fixed version and its strings; the Login Manager keeps its own description.
#include "VelkorVersion.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
    std::wstring Folder()
    {
        wchar_t path[MAX_PATH * 2] = {};
        GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
        std::wstring folder = path;
        return folder.substr(0, folder.find_last_of(L"\\/") + 1);
    }

    std::wstring StringOf(const std::vector<BYTE>& block, const wchar_t* name)
    {
        const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        wchar_t* pszValue = nullptr;
        UINT cchValue = 0;
        if (!VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void**>(&pszValue), &cchValue) || pszValue == nullptr)
            return L"(none)";
        return pszValue;
    }
}

TEST(VersionResources, EveryBinaryHasTheProductVersion)
{
    const std::wstring version = VELKOR_VERSION_WTEXT;
    unsigned parts[4] = {};
    ASSERT_EQ(4, swscanf(version.c_str(), L"%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3])) << version;
    const struct { const wchar_t* file; DWORD type; const wchar_t* description; } binaries[] = {
        { L"VelkorSubAuth.dll", VFT_DLL, L"Velkor FIDO2 Login sub-authentication package" },
        { L"VelkorCredentialProvider.dll", VFT_DLL, L"Velkor FIDO2 Login credential provider" },
        { L"VelkorSetupActions.dll", VFT_DLL, L"Velkor FIDO2 Login setup actions" },
        { L"velkorctl.exe", VFT_APP, L"Velkor FIDO2 Login command-line administration" },
        { L"VelkorFIDO2_GUI.exe", VFT_APP, L"VelkorFIDO2 Login Manager" },
    };
    for (const auto& binary : binaries)
    {
        SCOPED_TRACE(testing::PrintToString(std::wstring(binary.file)));
        const std::wstring path = Folder() + binary.file;
        DWORD handle = 0;
        const DWORD cbBlock = GetFileVersionInfoSizeW(path.c_str(), &handle);
        ASSERT_NE(0u, cbBlock) << GetLastError();
        std::vector<BYTE> block(cbBlock);
        ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, cbBlock, block.data()));
        VS_FIXEDFILEINFO* pFixed = nullptr;
        UINT cbFixed = 0;
        ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&pFixed), &cbFixed));
        EXPECT_EQ(MAKELONG(parts[1], parts[0]), pFixed->dwFileVersionMS);
        EXPECT_EQ(MAKELONG(parts[3], parts[2]), pFixed->dwFileVersionLS);
        EXPECT_EQ(pFixed->dwFileVersionMS, pFixed->dwProductVersionMS);
        EXPECT_EQ(pFixed->dwFileVersionLS, pFixed->dwProductVersionLS);
        EXPECT_EQ(binary.type, pFixed->dwFileType);
        EXPECT_EQ(version, StringOf(block, L"FileVersion"));
        EXPECT_EQ(version, StringOf(block, L"ProductVersion"));
        EXPECT_EQ(std::wstring(L"Velkor FIDO2 Login"), StringOf(block, L"ProductName"));
        EXPECT_EQ(std::wstring(binary.description), StringOf(block, L"FileDescription"));
        EXPECT_EQ(std::wstring(binary.file), StringOf(block, L"OriginalFilename"));
    }
}
