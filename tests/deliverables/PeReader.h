#pragma once
// Reads what the deliverable checks need from a PE file: machine, optional-header
// kind, imported DLL names and the export table. Works on the file bytes alone (no
// loader), checks every offset, and reports a damaged file as an error, never a crash.
#include <cstdint>
#include <string>
#include <vector>

namespace pe
{
    enum class Error
    {
        None,
        FileUnreadable,
        NoDosHeader,       // shorter than a DOS header or no "MZ"
        NoNtHeaders,       // e_lfanew outside the file or no "PE\0\0"
        BadOptionalHeader, // truncated or of an unknown kind
        BadSectionTable,   // truncated section table
        BadImports,        // a descriptor or name outside the file
        BadExports,        // a table or name outside the file
    };

    constexpr uint16_t MACHINE_AMD64 = 0x8664;
    constexpr uint16_t MAGIC_PE32 = 0x10B;
    constexpr uint16_t MAGIC_PE32_PLUS = 0x20B;
    constexpr uint16_t FILE_DLL = 0x2000;

    struct Image
    {
        uint16_t machine = 0;
        uint16_t magic = 0;
        uint16_t characteristics = 0;
        std::vector<std::string> importedDlls;     // in directory order, as spelled in the file
        std::vector<std::string> delayLoadedDlls;
        std::vector<std::string> exportNames;      // in name-table order
        uint32_t ordinalOnlyExports = 0;           // non-empty function slots no name refers to
    };

    struct Result
    {
        Error error = Error::None;
        std::string detail; // what was wrong and where, for the failure message
        Image image;

        bool Ok() const { return error == Error::None; }
    };

    Result Parse(const std::vector<uint8_t>& bytes);
    Result ReadFile(const std::wstring& path);

    const char* ErrorName(Error error);
}
