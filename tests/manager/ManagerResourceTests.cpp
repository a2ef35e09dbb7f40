// The resources of VelkorFIDO2_GUI.exe as built: dialog templates, icon images, string
// table, dialog layouts, manifest and version block.
#include "GuiDriver.h"
#include "resource.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace
{
    std::wstring ProgramPath()
    {
        wchar_t self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring path = self;
        return path.substr(0, path.find_last_of(L"\\/") + 1) + L"VelkorFIDO2_GUI.exe";
    }

    class ManagerResources : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            m_hModule = LoadLibraryExW(ProgramPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
            ASSERT_NE(nullptr, m_hModule) << GetLastError();
        }
        void TearDown() override
        {
            if (m_hModule != nullptr) FreeLibrary(m_hModule);
        }

        std::vector<BYTE> Resource(LPCWSTR pszType, LPCWSTR pszName) const
        {
            HRSRC hResource = FindResourceExW(m_hModule, pszType, pszName, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
            if (hResource == nullptr) return {};
            const BYTE* pb = static_cast<const BYTE*>(LockResource(LoadResource(m_hModule, hResource)));
            return std::vector<BYTE>(pb, pb + SizeofResource(m_hModule, hResource));
        }

        HMODULE m_hModule = nullptr;
    };

    template <typename T>
    T At(const std::vector<BYTE>& bytes, size_t offset)
    {
        T value{};
        if (offset + sizeof(T) <= bytes.size()) memcpy(&value, bytes.data() + offset, sizeof(T));
        return value;
    }

    struct DialogHeader
    {
        DWORD exStyle, style;
        WORD items;
        short cx, cy;
    };

    // The fixed part of a DLGTEMPLATEEX.
    DialogHeader ReadDialogHeader(const std::vector<BYTE>& bytes)
    {
        EXPECT_EQ(1, At<WORD>(bytes, 0));
        EXPECT_EQ(0xFFFF, At<WORD>(bytes, 2));
        return { At<DWORD>(bytes, 8), At<DWORD>(bytes, 12), At<WORD>(bytes, 16), At<short>(bytes, 22), At<short>(bytes, 24) };
    }
}

TEST_F(ManagerResources, MainDialogTemplate)
{
    const std::vector<BYTE> bytes = Resource(RT_DIALOG, MAKEINTRESOURCEW(IDD_MANAGER_DIALOG));
    ASSERT_FALSE(bytes.empty());
    const DialogHeader header = ReadDialogHeader(bytes);
    EXPECT_EQ(static_cast<DWORD>(WS_EX_APPWINDOW), header.exStyle);
    EXPECT_EQ(static_cast<DWORD>(WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | DS_SETFONT | DS_FIXEDSYS),
              header.style);
    EXPECT_EQ(4, header.items);
    EXPECT_EQ(299, header.cx);
    EXPECT_EQ(112, header.cy);
}

TEST_F(ManagerResources, AboutBoxTemplate)
{
    const std::vector<BYTE> bytes = Resource(RT_DIALOG, MAKEINTRESOURCEW(IDD_ABOUTBOX));
    ASSERT_FALSE(bytes.empty());
    const DialogHeader header = ReadDialogHeader(bytes);
    EXPECT_EQ(static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_FIXEDSYS), header.style);
    EXPECT_EQ(4, header.items);
    EXPECT_EQ(257, header.cx);
    EXPECT_EQ(62, header.cy);
}

TEST_F(ManagerResources, PinBoxTemplateHidesWhatIsTyped)
{
    const std::vector<BYTE> bytes = Resource(RT_DIALOG, MAKEINTRESOURCEW(IDD_PIN_DIALOG));
    ASSERT_FALSE(bytes.empty());
    const DialogHeader header = ReadDialogHeader(bytes);
    EXPECT_EQ(static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_FIXEDSYS), header.style);
    EXPECT_EQ(4, header.items);
    // The edit control's style, found by its id in its DLGITEMTEMPLATEEX (style at -12, id at 0).
    bool found = false;
    for (size_t offset = 26; offset + 4 <= bytes.size(); offset += 2)
    {
        if (At<DWORD>(bytes, offset) != IDC_PIN_EDIT || offset < 12) continue;
        const DWORD style = At<DWORD>(bytes, offset - 12);
        if ((style & WS_CHILD) == 0) continue;
        found = true;
        EXPECT_EQ(static_cast<DWORD>(ES_PASSWORD), style & ES_PASSWORD);
        EXPECT_EQ(static_cast<DWORD>(WS_TABSTOP), style & WS_TABSTOP);
    }
    EXPECT_TRUE(found);
}

TEST_F(ManagerResources, NoDynamicLayoutForEitherDialog)
{
    for (int id : { IDD_ABOUTBOX, IDD_MANAGER_DIALOG })
    {
        const std::vector<BYTE> layout = Resource(L"AFX_DIALOG_LAYOUT", MAKEINTRESOURCEW(id));
        EXPECT_EQ((std::vector<BYTE>{ 0, 0 }), layout) << id;
    }
}

TEST_F(ManagerResources, AboutMenuString)
{
    wchar_t text[128] = {};
    ASSERT_GT(LoadStringW(m_hModule, IDS_ABOUTBOX, text, 128), 0);
    EXPECT_STREQ(L"&About VelkorFIDO2_GUI...", text);
}

TEST_F(ManagerResources, IconGroupHasThirteenImages)
{
    const std::vector<BYTE> group = Resource(RT_GROUP_ICON, MAKEINTRESOURCEW(IDR_MAINFRAME));
    ASSERT_GE(group.size(), 6u);
    const WORD count = At<WORD>(group, 4);
    ASSERT_EQ(13, count);
    ASSERT_EQ(6u + 14u * count, group.size());
    std::multiset<std::pair<int, int>> images; // (size, bits per pixel)
    for (WORD i = 0; i < count; ++i)
    {
        const size_t entry = 6 + 14 * static_cast<size_t>(i);
        const int side = group[entry] == 0 ? 256 : group[entry];
        images.insert({ side, At<WORD>(group, entry + 6) });
        // Every image the group names is there.
        const WORD imageId = At<WORD>(group, entry + 12);
        EXPECT_FALSE(Resource(RT_ICON, MAKEINTRESOURCEW(imageId)).empty());
    }
    const std::multiset<std::pair<int, int>> expected = {
        { 48, 4 }, { 32, 4 }, { 24, 4 }, { 16, 4 }, { 48, 8 }, { 32, 8 }, { 24, 8 }, { 16, 8 },
        { 256, 32 }, { 48, 32 }, { 32, 32 }, { 24, 32 }, { 16, 32 },
    };
    EXPECT_EQ(expected, images);
}

TEST_F(ManagerResources, ManifestAsksForCommonControlsSixAsInvokerAndDpiAwareness)
{
    const std::vector<BYTE> bytes = Resource(RT_MANIFEST, MAKEINTRESOURCEW(1));
    ASSERT_FALSE(bytes.empty());
    const std::string manifest(bytes.begin(), bytes.end());
    EXPECT_NE(std::string::npos, manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""));
    EXPECT_NE(std::string::npos, manifest.find("processorArchitecture=\"amd64\" publicKeyToken=\"6595b64144ccf1df\""));
    EXPECT_NE(std::string::npos, manifest.find("level=\"asInvoker\" uiAccess=\"false\""));
    EXPECT_NE(std::string::npos, manifest.find(">true</dpiAware>"));
}

TEST_F(ManagerResources, VersionBlock)
{
    const std::vector<BYTE> bytes = Resource(RT_VERSION, MAKEINTRESOURCEW(VS_VERSION_INFO));
    ASSERT_FALSE(bytes.empty());
    std::vector<BYTE> copy = bytes; // VerQueryValueW wants writable data
    VS_FIXEDFILEINFO* pFixed = nullptr;
    UINT cb = 0;
    ASSERT_TRUE(VerQueryValueW(copy.data(), L"\\", reinterpret_cast<void**>(&pFixed), &cb));
    EXPECT_EQ(VS_FFI_SIGNATURE, pFixed->dwSignature);
    EXPECT_EQ(MAKELONG(0, 1), pFixed->dwFileVersionMS);
    EXPECT_EQ(MAKELONG(1, 0), pFixed->dwFileVersionLS);
    EXPECT_EQ(pFixed->dwFileVersionMS, pFixed->dwProductVersionMS);
    EXPECT_EQ(pFixed->dwFileVersionLS, pFixed->dwProductVersionLS);
    EXPECT_EQ(static_cast<DWORD>(VOS_NT_WINDOWS32), pFixed->dwFileOS);
    EXPECT_EQ(static_cast<DWORD>(VFT_APP), pFixed->dwFileType);

    const std::pair<const wchar_t*, const wchar_t*> strings[] = {
        { L"CompanyName", L"Halvane" },
        { L"FileDescription", L"VelkorFIDO2 Login Manager" },
        { L"FileVersion", L"1.0.0.1" },
        { L"InternalName", L"VelkorFIDO2_GUI.exe" },
        { L"OriginalFilename", L"VelkorFIDO2_GUI.exe" },
        { L"ProductName", L"Velkor FIDO2 Login" },
        { L"ProductVersion", L"1.0.0.1" },
    };
    for (const auto& [name, value] : strings)
    {
        wchar_t* pszValue = nullptr;
        const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        ASSERT_TRUE(VerQueryValueW(copy.data(), path.c_str(), reinterpret_cast<void**>(&pszValue), &cb)) << testing::PrintToString(std::wstring(name));
        EXPECT_STREQ(value, pszValue);
    }
    wchar_t* pszCopyright = nullptr;
    EXPECT_TRUE(VerQueryValueW(copy.data(), L"\\StringFileInfo\\040904B0\\LegalCopyright", reinterpret_cast<void**>(&pszCopyright), &cb));
    DWORD* pTranslation = nullptr;
    ASSERT_TRUE(VerQueryValueW(copy.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&pTranslation), &cb));
    EXPECT_EQ(static_cast<DWORD>(MAKELONG(0x0409, 1200)), *pTranslation);
}
