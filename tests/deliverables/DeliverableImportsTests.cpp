#include "PeReader.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace
{
    // What each deliverable may export, by file name (lower case). A deliverable that is
    // built but has no row here fails, so a new one cannot slip through unchecked.
    const std::map<std::wstring, std::vector<std::string>> EXPECTED_EXPORTS = {
        { L"velkorsubauth.dll", { "Msv1_0SubAuthenticationFilter", "Msv1_0SubAuthenticationRoutine" } },
        { L"velkorcredentialprovider.dll", { "DllCanUnloadNow", "DllGetClassObject" } },
        { L"velkorfido2_gui.exe", {} },
        { L"velkorctl.exe", {} },
        // Shipped inside the MSI and loaded by msiexec for the custom actions.
        { L"velkorsetupactions.dll", { "CheckAuth0", "ConfigureStore", "DropOrphanedAuth0", "RemoveAuth0",
                                        "RemoveStore", "RestoreAuth0", "SaveAuth0State", "WriteAuth0" } },
    };

    // The deliverables load into LSA and LogonUI, or run on machines without any
    // compiler runtime: only DLLs every Windows installation has.
    const char* const SYSTEM_DLLS[] = {
        "kernel32", "advapi32", "user32", "gdi32", "shlwapi", "shell32", "ole32", "oleaut32", "comctl32", "bcrypt",
        "winscard", "msvcrt", "ucrtbase", "secur32", "crypt32", "ntdll", "comdlg32", "uxtheme", "version", "msi",
        "wintrust", "wevtapi", "setupapi", "hid",
    };
    const char* const RUNTIME_DLLS[] = { "libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll" };

    std::string Lower(std::string text)
    {
        for (char& ch : text) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
        return text;
    }

    std::wstring Lower(std::wstring text)
    {
        for (wchar_t& ch : text) ch = static_cast<wchar_t>(towlower(ch));
        return text;
    }

    std::string Narrow(const std::wstring& text)
    {
        std::string narrow;
        for (wchar_t ch : text) narrow += ch < 0x80 ? static_cast<char>(ch) : '?';
        return narrow;
    }

    bool IsSystemDll(const std::string& name)
    {
        const std::string lower = Lower(name);
        if (lower.size() <= 4 || lower.compare(lower.size() - 4, 4, ".dll") != 0) return false;
        const std::string stem = lower.substr(0, lower.size() - 4);
        if (stem.rfind("api-ms-win-", 0) == 0) return true;
        return std::find(std::begin(SYSTEM_DLLS), std::end(SYSTEM_DLLS), stem) != std::end(SYSTEM_DLLS);
    }

    // ctest passes the build's bin folder; under Wine that is a Unix path.
    std::wstring BinDirectory()
    {
        wchar_t value[MAX_PATH * 2] = {};
        const DWORD length = GetEnvironmentVariableW(L"VELKOR_BIN_DIR", value, MAX_PATH * 2);
        if (length == 0 || length >= MAX_PATH * 2)
        {
            // Run by hand: the deliverables are built next to this program.
            wchar_t self[MAX_PATH * 2] = {};
            GetModuleFileNameW(nullptr, self, MAX_PATH * 2);
            std::wstring folder = self;
            return folder.substr(0, folder.find_last_of(L"\\/"));
        }
        std::wstring folder = value;
        using DosName = wchar_t*(CDECL*)(const char*);
        const auto pfnDosName = reinterpret_cast<DosName>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
        if (folder[0] == L'/' && pfnDosName != nullptr)
        {
            if (wchar_t* pszDos = pfnDosName(Narrow(folder).c_str()))
            {
                folder = pszDos;
                HeapFree(GetProcessHeap(), 0, pszDos);
            }
        }
        return folder;
    }

    struct Deliverable
    {
        std::wstring name;
        pe::Result pe;
    };

    // Velkor*.dll and Velkor*.exe, and velkorctl.exe; the test programs are velkor_*.exe
    // (lower case) and the file system ignores case, so the prefix is compared here.
    std::vector<Deliverable> FindDeliverables()
    {
        const std::wstring folder = BinDirectory();
        std::vector<Deliverable> found;
        WIN32_FIND_DATAW data;
        const HANDLE search = FindFirstFileW((folder + L"\\Velkor*").c_str(), &data);
        if (search == INVALID_HANDLE_VALUE) return found;
        do
        {
            const std::wstring name = data.cFileName;
            const std::wstring extension = name.size() > 4 ? Lower(name.substr(name.size() - 4)) : L"";
            const bool named = name.rfind(L"Velkor", 0) == 0 || Lower(name) == L"velkorctl.exe";
            if (!named || (extension != L".dll" && extension != L".exe")) continue;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            found.push_back({ name, pe::ReadFile(folder + L"\\" + name) });
        } while (FindNextFileW(search, &data));
        FindClose(search);
        std::sort(found.begin(), found.end(), [](const Deliverable& a, const Deliverable& b) { return a.name < b.name; });
        return found;
    }

    class Deliverables : public ::testing::Test
    {
    protected:
        static void SetUpTestSuite() { s_found = FindDeliverables(); }
        static std::vector<Deliverable> s_found;
    };
    std::vector<Deliverable> Deliverables::s_found;

    // ---- a small PE32+ DLL built in memory for testing the reader itself ----

    class ImageBuilder
    {
    public:
        static constexpr size_t NT = 0x40;
        static constexpr size_t FILE_HEADER = NT + 4;
        static constexpr size_t OPTIONAL_HEADER = FILE_HEADER + 20;
        static constexpr size_t OPTIONAL_HEADER_SIZE = 240;
        static constexpr size_t SECTION_TABLE = OPTIONAL_HEADER + OPTIONAL_HEADER_SIZE;
        static constexpr size_t RAW = 0x200;
        static constexpr uint32_t RVA = 0x1000;
        static constexpr size_t SECTION_SIZE = 0x200;

        // Imports KERNEL32.dll and libstdc++-6.dll; exports Alpha, Beta and one function
        // by ordinal only.
        ImageBuilder() : bytes(RAW + SECTION_SIZE, 0)
        {
            bytes[0] = 'M';
            bytes[1] = 'Z';
            Put32(0x3C, NT);
            memcpy(&bytes[NT], "PE\0\0", 4);
            Put16(FILE_HEADER, pe::MACHINE_AMD64);
            Put16(FILE_HEADER + 2, 1);
            Put16(FILE_HEADER + 16, OPTIONAL_HEADER_SIZE);
            Put16(FILE_HEADER + 18, 0x2022);
            Put16(OPTIONAL_HEADER, pe::MAGIC_PE32_PLUS);
            Put32(OPTIONAL_HEADER + 24, 0x80000000); // image base, low half
            Put32(OPTIONAL_HEADER + 32, 0x1000);     // section alignment
            Put32(OPTIONAL_HEADER + 36, 0x200);      // file alignment
            Put32(OPTIONAL_HEADER + 56, 0x2000);     // image size
            Put32(OPTIONAL_HEADER + 60, RAW);        // header size
            Put32(OPTIONAL_HEADER + 108, 16);        // data directories
            Directory(0, 0x1080, 40);         // exports
            Directory(1, 0x1000, 60);         // imports

            memcpy(&bytes[SECTION_TABLE], ".data\0\0\0", 8);
            Put32(SECTION_TABLE + 8, SECTION_SIZE);
            Put32(SECTION_TABLE + 12, RVA);
            Put32(SECTION_TABLE + 16, SECTION_SIZE);
            Put32(SECTION_TABLE + 20, RAW);

            Put32(At(0x1000) + 12, 0x1100); // first descriptor's name
            Put32(At(0x1000) + 16, 0x1180); // its address table
            Put32(At(0x1014) + 12, 0x1110);
            Put32(At(0x1014) + 16, 0x1188);
            Text(0x1100, "KERNEL32.dll");
            Text(0x1110, "libstdc++-6.dll");

            const size_t exports = At(0x1080);
            Put32(exports + 12, 0x1120); // DLL name
            Put32(exports + 16, 1);      // ordinal base
            Put32(exports + 20, 3);      // functions
            Put32(exports + 24, 2);      // names
            Put32(exports + 28, 0x1140);
            Put32(exports + 32, 0x1150);
            Put32(exports + 36, 0x1158);
            Text(0x1120, "test.dll");
            Put32(At(0x1140), 0x1000);
            Put32(At(0x1144), 0x1004);
            Put32(At(0x1148), 0x1008);
            Put32(At(0x1150), 0x1160);
            Put32(At(0x1154), 0x1170);
            Put16(At(0x1158), 0);
            Put16(At(0x115A), 1);
            Text(0x1160, "Alpha");
            Text(0x1170, "Beta");
        }

        static size_t At(uint32_t rva) { return RAW + (rva - RVA); }
        void Put16(size_t offset, uint32_t value)
        {
            bytes[offset] = static_cast<uint8_t>(value);
            bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
        }
        void Put32(size_t offset, uint32_t value)
        {
            Put16(offset, value & 0xFFFF);
            Put16(offset + 2, value >> 16);
        }
        void Directory(int index, uint32_t rva, uint32_t size)
        {
            Put32(OPTIONAL_HEADER + 112 + 8 * static_cast<size_t>(index), rva);
            Put32(OPTIONAL_HEADER + 116 + 8 * static_cast<size_t>(index), size);
        }
        void Text(uint32_t rva, const char* text) { memcpy(&bytes[At(rva)], text, strlen(text) + 1); }

        std::vector<uint8_t> bytes;
    };

    std::vector<uint8_t> Cut(const std::vector<uint8_t>& bytes, size_t length)
    {
        return std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
    }
}

// ---- the reader on a known image -------------------------------------------------------------

TEST(PeReader, ReadsAKnownImage)
{
    const pe::Result result = pe::Parse(ImageBuilder().bytes);
    ASSERT_TRUE(result.Ok()) << result.detail;
    EXPECT_EQ(pe::MACHINE_AMD64, result.image.machine);
    EXPECT_EQ(pe::MAGIC_PE32_PLUS, result.image.magic);
    EXPECT_TRUE(result.image.characteristics & pe::FILE_DLL);
    EXPECT_EQ((std::vector<std::string>{ "KERNEL32.dll", "libstdc++-6.dll" }), result.image.importedDlls);
    EXPECT_TRUE(result.image.delayLoadedDlls.empty());
    EXPECT_EQ((std::vector<std::string>{ "Alpha", "Beta" }), result.image.exportNames);
    EXPECT_EQ(1u, result.image.ordinalOnlyExports);
}

TEST(PeReader, ImageWithoutImportsOrExports)
{
    ImageBuilder builder;
    builder.Directory(0, 0, 0);
    builder.Directory(1, 0, 0);
    const pe::Result result = pe::Parse(builder.bytes);
    ASSERT_TRUE(result.Ok()) << result.detail;
    EXPECT_TRUE(result.image.importedDlls.empty());
    EXPECT_TRUE(result.image.exportNames.empty());
    EXPECT_EQ(0u, result.image.ordinalOnlyExports);
}

TEST(PeReader, EveryTruncationIsAnErrorNotACrash)
{
    const std::vector<uint8_t> whole = ImageBuilder().bytes;
    // The last byte read is the terminator of "Beta" at 0x374.
    for (size_t length = 0; length < 0x375; ++length)
    {
        const pe::Result result = pe::Parse(Cut(whole, length));
        EXPECT_FALSE(result.Ok()) << length;
        EXPECT_FALSE(result.detail.empty()) << length;
    }
    EXPECT_EQ(pe::Error::NoDosHeader, pe::Parse(Cut(whole, 0x30)).error);
    EXPECT_EQ(pe::Error::NoNtHeaders, pe::Parse(Cut(whole, 0x50)).error);
    EXPECT_EQ(pe::Error::BadOptionalHeader, pe::Parse(Cut(whole, 0x100)).error);
    EXPECT_EQ(pe::Error::BadSectionTable, pe::Parse(Cut(whole, 0x150)).error);
    EXPECT_EQ(pe::Error::BadImports, pe::Parse(Cut(whole, 0x210)).error);
    EXPECT_EQ(pe::Error::BadExports, pe::Parse(Cut(whole, 0x340)).error);
    EXPECT_TRUE(pe::Parse(Cut(whole, 0x375)).Ok());
}

TEST(PeReader, FilesThatAreNoPeImages)
{
    const std::string text(200, 'x');
    EXPECT_EQ(pe::Error::NoDosHeader, pe::Parse(std::vector<uint8_t>(text.begin(), text.end())).error);
    EXPECT_EQ(pe::Error::NoDosHeader, pe::Parse({}).error);

    ImageBuilder farAway;
    farAway.Put32(0x3C, 0xFFFFFFF0);
    EXPECT_EQ(pe::Error::NoNtHeaders, pe::Parse(farAway.bytes).error);

    ImageBuilder noSignature;
    noSignature.bytes[ImageBuilder::NT] = 'N';
    EXPECT_EQ(pe::Error::NoNtHeaders, pe::Parse(noSignature.bytes).error);

    ImageBuilder unknownMagic;
    unknownMagic.Put16(ImageBuilder::OPTIONAL_HEADER, 0x107);
    EXPECT_EQ(pe::Error::BadOptionalHeader, pe::Parse(unknownMagic.bytes).error);

    ImageBuilder manySections;
    manySections.Put16(ImageBuilder::FILE_HEADER + 2, 0xFFFF);
    EXPECT_EQ(pe::Error::BadSectionTable, pe::Parse(manySections.bytes).error);
}

TEST(PeReader, TablesPointingOutsideTheFile)
{
    ImageBuilder strayName;
    strayName.Put32(ImageBuilder::At(0x1000) + 12, 0x9000);
    EXPECT_EQ(pe::Error::BadImports, pe::Parse(strayName.bytes).error);

    ImageBuilder unterminated;
    memset(&unterminated.bytes[ImageBuilder::At(0x1110)], 'a', ImageBuilder::SECTION_SIZE - 0x110);
    EXPECT_EQ(pe::Error::BadImports, pe::Parse(unterminated.bytes).error) << "name runs to the end of the file";

    ImageBuilder hugeExportCount;
    hugeExportCount.Put32(ImageBuilder::At(0x1080) + 20, 0x40000000);
    EXPECT_EQ(pe::Error::BadExports, pe::Parse(hugeExportCount.bytes).error);

    ImageBuilder strayExportName;
    strayExportName.Put32(ImageBuilder::At(0x1154), 0x7FFFFFFF);
    EXPECT_EQ(pe::Error::BadExports, pe::Parse(strayExportName.bytes).error);
}

TEST(PeReader, MissingFileIsUnreadable)
{
    const pe::Result result = pe::ReadFile(BinDirectory() + L"\\NoSuchVelkorFile.dll");
    EXPECT_EQ(pe::Error::FileUnreadable, result.error);
    EXPECT_FALSE(result.detail.empty());
}

TEST(PeReader, RecognisesTheAllowedDlls)
{
    EXPECT_TRUE(IsSystemDll("KERNEL32.dll"));
    EXPECT_TRUE(IsSystemDll("WinSCard.dll"));
    EXPECT_TRUE(IsSystemDll("api-ms-win-crt-runtime-l1-1-0.dll"));
    EXPECT_FALSE(IsSystemDll("libstdc++-6.dll"));
    EXPECT_FALSE(IsSystemDll("kernel32"));
    EXPECT_FALSE(IsSystemDll("kernel32.dll.evil.dll"));
    EXPECT_FALSE(IsSystemDll("winscard2.dll"));
}

// ---- the deliverables in the build ----------------------------------------------------------

TEST_F(Deliverables, SubAuthPackageIsBuilt)
{
    const bool present = std::any_of(s_found.begin(), s_found.end(),
                                     [](const Deliverable& d) { return d.name == L"VelkorSubAuth.dll"; });
    EXPECT_TRUE(present) << "VelkorSubAuth.dll not found in " << Narrow(BinDirectory());
}

TEST_F(Deliverables, AreX64Images)
{
    for (const Deliverable& deliverable : s_found)
    {
        SCOPED_TRACE(Narrow(deliverable.name));
        ASSERT_TRUE(deliverable.pe.Ok()) << deliverable.pe.detail;
        EXPECT_EQ(pe::MACHINE_AMD64, deliverable.pe.image.machine);
        EXPECT_EQ(pe::MAGIC_PE32_PLUS, deliverable.pe.image.magic);
        const bool isDll = Lower(deliverable.name).find(L".dll") != std::wstring::npos;
        EXPECT_EQ(isDll, (deliverable.pe.image.characteristics & pe::FILE_DLL) != 0);
    }
}

TEST_F(Deliverables, ImportOnlySystemDlls)
{
    for (const Deliverable& deliverable : s_found)
    {
        SCOPED_TRACE(Narrow(deliverable.name));
        ASSERT_TRUE(deliverable.pe.Ok()) << deliverable.pe.detail;
        EXPECT_FALSE(deliverable.pe.image.importedDlls.empty());
        std::vector<std::string> all = deliverable.pe.image.importedDlls;
        all.insert(all.end(), deliverable.pe.image.delayLoadedDlls.begin(), deliverable.pe.image.delayLoadedDlls.end());
        for (const std::string& dll : all)
        {
            for (const char* runtime : RUNTIME_DLLS)
            {
                EXPECT_NE(runtime, Lower(dll)) << "the compiler runtime must be linked statically";
            }
            EXPECT_TRUE(IsSystemDll(dll)) << dll << " is not a system DLL";
        }
    }
}

TEST_F(Deliverables, ExportExactlyTheirEntryPoints)
{
    for (const Deliverable& deliverable : s_found)
    {
        SCOPED_TRACE(Narrow(deliverable.name));
        ASSERT_TRUE(deliverable.pe.Ok()) << deliverable.pe.detail;
        const auto row = EXPECTED_EXPORTS.find(Lower(deliverable.name));
        if (row == EXPECTED_EXPORTS.end())
        {
            ADD_FAILURE() << "no row in EXPECTED_EXPORTS: add this deliverable's exports there";
            continue;
        }
        std::vector<std::string> names = deliverable.pe.image.exportNames;
        std::sort(names.begin(), names.end());
        std::vector<std::string> expected = row->second;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(expected, names);
        EXPECT_EQ(0u, deliverable.pe.image.ordinalOnlyExports);
    }
}
