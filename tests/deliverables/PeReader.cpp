#include "PeReader.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

namespace pe
{
    namespace
    {
        constexpr size_t DOS_HEADER_SIZE = 64;
        constexpr size_t LFANEW_OFFSET = 0x3C;
        constexpr size_t FILE_HEADER_SIZE = 20;
        constexpr size_t SECTION_HEADER_SIZE = 40;
        constexpr size_t IMPORT_DESCRIPTOR_SIZE = 20;
        constexpr size_t DELAY_DESCRIPTOR_SIZE = 32;
        constexpr size_t EXPORT_DIRECTORY_SIZE = 40;
        constexpr uint32_t DIRECTORY_EXPORT = 0;
        constexpr uint32_t DIRECTORY_IMPORT = 1;
        constexpr uint32_t DIRECTORY_DELAY_IMPORT = 13;
        // Far more than any real image has; stops a corrupt table from running on.
        constexpr size_t MAX_TABLE_ENTRIES = 65536;
        constexpr size_t MAX_NAME_LENGTH = 4096;

        struct Section
        {
            uint32_t virtualAddress;
            uint32_t virtualSize;
            uint32_t rawOffset;
            uint32_t rawSize;
        };

        struct Directory
        {
            uint32_t rva = 0;
            uint32_t size = 0;
        };

        class Reader
        {
        public:
            explicit Reader(const std::vector<uint8_t>& bytes) : _bytes(bytes) {}

            bool Has(size_t offset, size_t count) const
            {
                return offset <= _bytes.size() && count <= _bytes.size() - offset;
            }
            uint16_t U16(size_t offset) const
            {
                return static_cast<uint16_t>(_bytes[offset] | (_bytes[offset + 1] << 8));
            }
            uint32_t U32(size_t offset) const
            {
                return static_cast<uint32_t>(U16(offset)) | (static_cast<uint32_t>(U16(offset + 2)) << 16);
            }
            uint64_t U64(size_t offset) const
            {
                return static_cast<uint64_t>(U32(offset)) | (static_cast<uint64_t>(U32(offset + 4)) << 32);
            }

            // File offset of an RVA: in the headers, or in a section's raw data.
            bool ToOffset(uint32_t rva, size_t* pOffset) const
            {
                if (rva < _headerSize)
                {
                    *pOffset = rva;
                    return true;
                }
                for (const Section& section : _sections)
                {
                    const uint32_t span = std::max(section.virtualSize, section.rawSize);
                    if (rva >= section.virtualAddress && rva - section.virtualAddress < span)
                    {
                        const uint32_t delta = rva - section.virtualAddress;
                        if (delta >= section.rawSize) return false; // uninitialised data: not in the file
                        *pOffset = static_cast<size_t>(section.rawOffset) + delta;
                        return true;
                    }
                }
                return false;
            }

            // A NUL-terminated name at an RVA, wholly inside the file.
            bool Name(uint32_t rva, std::string* pName) const
            {
                size_t offset = 0;
                if (!ToOffset(rva, &offset) || offset >= _bytes.size()) return false;
                const size_t limit = std::min(_bytes.size(), offset + MAX_NAME_LENGTH);
                for (size_t end = offset; end < limit; ++end)
                {
                    if (_bytes[end] == 0)
                    {
                        pName->assign(reinterpret_cast<const char*>(&_bytes[offset]), end - offset);
                        return true;
                    }
                }
                return false;
            }

            // A table of count entries of entrySize bytes at an RVA, wholly inside the file.
            bool Table(uint32_t rva, size_t count, size_t entrySize, size_t* pOffset) const
            {
                return count <= MAX_TABLE_ENTRIES && ToOffset(rva, pOffset) && Has(*pOffset, count * entrySize);
            }

            const std::vector<uint8_t>& _bytes;
            std::vector<Section> _sections;
            uint32_t _headerSize = 0;
            uint64_t _imageBase = 0;
        };

        Result Fail(Error error, const std::string& detail)
        {
            Result result;
            result.error = error;
            result.detail = std::string(ErrorName(error)) + ": " + detail;
            return result;
        }

        std::string Hex(uint64_t value)
        {
            char text[24];
            snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(value));
            return text;
        }

        bool ReadImports(const Reader& reader, const Directory& directory, std::vector<std::string>* pNames,
                         std::string* pDetail)
        {
            if (directory.rva == 0) return true;
            for (size_t i = 0; i < MAX_TABLE_ENTRIES; ++i)
            {
                size_t offset = 0;
                const uint32_t rva = directory.rva + static_cast<uint32_t>(i * IMPORT_DESCRIPTOR_SIZE);
                if (!reader.Table(rva, 1, IMPORT_DESCRIPTOR_SIZE, &offset))
                {
                    *pDetail = "import descriptor " + std::to_string(i) + " at RVA " + Hex(rva) + " is not in the file";
                    return false;
                }
                const uint32_t nameRva = reader.U32(offset + 12);
                if (nameRva == 0 && reader.U32(offset + 16) == 0) return true; // closing null descriptor
                std::string name;
                if (!reader.Name(nameRva, &name))
                {
                    *pDetail = "import descriptor " + std::to_string(i) + " names RVA " + Hex(nameRva) +
                               ", which holds no terminated name in the file";
                    return false;
                }
                pNames->push_back(name);
            }
            *pDetail = "import descriptors never end";
            return false;
        }

        bool ReadDelayImports(const Reader& reader, const Directory& directory, std::vector<std::string>* pNames,
                              std::string* pDetail)
        {
            if (directory.rva == 0) return true;
            for (size_t i = 0; i < MAX_TABLE_ENTRIES; ++i)
            {
                size_t offset = 0;
                const uint32_t rva = directory.rva + static_cast<uint32_t>(i * DELAY_DESCRIPTOR_SIZE);
                if (!reader.Table(rva, 1, DELAY_DESCRIPTOR_SIZE, &offset))
                {
                    *pDetail = "delay-load descriptor " + std::to_string(i) + " is not in the file";
                    return false;
                }
                const uint32_t attributes = reader.U32(offset);
                uint64_t nameAddress = reader.U32(offset + 4);
                if (nameAddress == 0) return true;
                // Old-style descriptors hold addresses, not RVAs.
                if ((attributes & 1) == 0) nameAddress -= reader._imageBase;
                std::string name;
                if (nameAddress > UINT32_MAX || !reader.Name(static_cast<uint32_t>(nameAddress), &name))
                {
                    *pDetail = "delay-load descriptor " + std::to_string(i) + " has no readable name";
                    return false;
                }
                pNames->push_back(name);
            }
            *pDetail = "delay-load descriptors never end";
            return false;
        }

        bool ReadExports(const Reader& reader, const Directory& directory, Image* pImage, std::string* pDetail)
        {
            if (directory.rva == 0) return true;
            size_t offset = 0;
            if (!reader.Table(directory.rva, 1, EXPORT_DIRECTORY_SIZE, &offset))
            {
                *pDetail = "export directory at RVA " + Hex(directory.rva) + " is not in the file";
                return false;
            }
            const uint32_t functionCount = reader.U32(offset + 20);
            const uint32_t nameCount = reader.U32(offset + 24);
            size_t functions = 0;
            size_t names = 0;
            size_t ordinals = 0;
            if (!reader.Table(reader.U32(offset + 28), functionCount, 4, &functions) ||
                !reader.Table(reader.U32(offset + 32), nameCount, 4, &names) ||
                !reader.Table(reader.U32(offset + 36), nameCount, 2, &ordinals))
            {
                *pDetail = "export tables (" + std::to_string(functionCount) + " functions, " +
                           std::to_string(nameCount) + " names) are not in the file";
                return false;
            }
            std::set<uint32_t> named;
            for (uint32_t i = 0; i < nameCount; ++i)
            {
                std::string name;
                if (!reader.Name(reader.U32(names + 4 * i), &name))
                {
                    *pDetail = "export name " + std::to_string(i) + " is not in the file";
                    return false;
                }
                pImage->exportNames.push_back(name);
                named.insert(reader.U16(ordinals + 2 * i));
            }
            for (uint32_t i = 0; i < functionCount; ++i)
            {
                if (reader.U32(functions + 4 * i) != 0 && named.count(i) == 0) ++pImage->ordinalOnlyExports;
            }
            return true;
        }
    }

    const char* ErrorName(Error error)
    {
        switch (error)
        {
        case Error::None: return "no error";
        case Error::FileUnreadable: return "file unreadable";
        case Error::NoDosHeader: return "no DOS header";
        case Error::NoNtHeaders: return "no NT headers";
        case Error::BadOptionalHeader: return "bad optional header";
        case Error::BadSectionTable: return "bad section table";
        case Error::BadImports: return "bad import directory";
        case Error::BadExports: return "bad export directory";
        }
        return "?";
    }

    Result Parse(const std::vector<uint8_t>& bytes)
    {
        Reader reader(bytes);
        if (!reader.Has(0, DOS_HEADER_SIZE) || bytes[0] != 'M' || bytes[1] != 'Z')
        {
            return Fail(Error::NoDosHeader, std::to_string(bytes.size()) + " bytes, no MZ header");
        }
        const size_t nt = reader.U32(LFANEW_OFFSET);
        if (!reader.Has(nt, 4 + FILE_HEADER_SIZE) || memcmp(&bytes[nt], "PE\0\0", 4) != 0)
        {
            return Fail(Error::NoNtHeaders, "no PE signature at e_lfanew " + Hex(nt));
        }
        Result result;
        Image& image = result.image;
        const size_t fileHeader = nt + 4;
        image.machine = reader.U16(fileHeader);
        const uint16_t sectionCount = reader.U16(fileHeader + 2);
        const uint16_t optionalSize = reader.U16(fileHeader + 16);
        image.characteristics = reader.U16(fileHeader + 18);

        const size_t optional = fileHeader + FILE_HEADER_SIZE;
        if (!reader.Has(optional, optionalSize) || optionalSize < 2)
        {
            return Fail(Error::BadOptionalHeader, "optional header of " + std::to_string(optionalSize) +
                                                      " bytes runs past the end of the file");
        }
        image.magic = reader.U16(optional);
        // Where the two kinds differ: image base, and the start of the directory count.
        size_t countOffset = 0;
        if (image.magic == MAGIC_PE32_PLUS)
        {
            countOffset = 108;
            if (optionalSize >= 32) reader._imageBase = reader.U64(optional + 24);
        }
        else if (image.magic == MAGIC_PE32)
        {
            countOffset = 92;
            if (optionalSize >= 32) reader._imageBase = reader.U32(optional + 28);
        }
        else
        {
            return Fail(Error::BadOptionalHeader, "unknown optional header magic " + Hex(image.magic));
        }
        if (optionalSize < countOffset + 4)
        {
            return Fail(Error::BadOptionalHeader, "optional header too short for its data directories");
        }
        reader._headerSize = reader.U32(optional + 60);
        const uint32_t directoryCount = reader.U32(optional + countOffset);
        const size_t directories = optional + countOffset + 4;
        if (directoryCount > 16 || optionalSize < countOffset + 4 + size_t{ directoryCount } * 8)
        {
            return Fail(Error::BadOptionalHeader, std::to_string(directoryCount) + " data directories do not fit");
        }
        auto directoryAt = [&](uint32_t index) {
            Directory directory;
            if (index < directoryCount)
            {
                directory.rva = reader.U32(directories + 8 * index);
                directory.size = reader.U32(directories + 8 * index + 4);
            }
            return directory;
        };

        const size_t sections = optional + optionalSize;
        if (!reader.Has(sections, size_t{ sectionCount } * SECTION_HEADER_SIZE))
        {
            return Fail(Error::BadSectionTable, std::to_string(sectionCount) + " sections run past the end of the file");
        }
        for (size_t i = 0; i < sectionCount; ++i)
        {
            const size_t header = sections + i * SECTION_HEADER_SIZE;
            reader._sections.push_back(
                { reader.U32(header + 12), reader.U32(header + 8), reader.U32(header + 20), reader.U32(header + 16) });
        }

        std::string detail;
        if (!ReadImports(reader, directoryAt(DIRECTORY_IMPORT), &image.importedDlls, &detail) ||
            !ReadDelayImports(reader, directoryAt(DIRECTORY_DELAY_IMPORT), &image.delayLoadedDlls, &detail))
        {
            return Fail(Error::BadImports, detail);
        }
        if (!ReadExports(reader, directoryAt(DIRECTORY_EXPORT), &image, &detail))
        {
            return Fail(Error::BadExports, detail);
        }
        return result;
    }

    Result ReadFile(const std::wstring& path)
    {
        const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
        {
            return Fail(Error::FileUnreadable, "cannot open, error " + std::to_string(GetLastError()));
        }
        LARGE_INTEGER size = {};
        std::vector<uint8_t> bytes;
        bool ok = GetFileSizeEx(file, &size) && size.QuadPart < (1LL << 30);
        if (ok)
        {
            bytes.resize(static_cast<size_t>(size.QuadPart));
            DWORD read = 0;
            ok = bytes.empty() || (::ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
                                   read == bytes.size());
        }
        CloseHandle(file);
        if (!ok)
        {
            return Fail(Error::FileUnreadable, "cannot read, error " + std::to_string(GetLastError()));
        }
        return Parse(bytes);
    }
}
