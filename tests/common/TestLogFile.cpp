#include "TestLogFile.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <regex>

namespace testlog
{
    const wchar_t PATH[] = L"C:\\Velkor.txt";

    void Delete()
    {
        if (!DeleteFileW(PATH))
        {
            const DWORD error = GetLastError();
            EXPECT_TRUE(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) << error;
        }
    }

    bool Exists()
    {
        return GetFileAttributesW(PATH) != INVALID_FILE_ATTRIBUTES;
    }

    std::vector<unsigned char> ReadBytes()
    {
        std::vector<unsigned char> bytes;
        HANDLE hFile = CreateFileW(PATH, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
        if (hFile == INVALID_HANDLE_VALUE) return bytes;
        unsigned char chunk[4096];
        DWORD read = 0;
        while (ReadFile(hFile, chunk, sizeof(chunk), &read, nullptr) && read > 0)
        {
            bytes.insert(bytes.end(), chunk, chunk + read);
        }
        CloseHandle(hFile);
        return bytes;
    }

    std::wstring ReadText()
    {
        const auto bytes = ReadBytes();
        EXPECT_EQ(0u, bytes.size() % 2);
        std::wstring text;
        for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        {
            text += static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8));
        }
        return text;
    }

    std::wstring ReadTextWithoutDates()
    {
        static const std::wregex DATE(L"(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                                      L"[ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\n\r\n");
        return std::regex_replace(ReadText(), DATE, L"<date>\n\r\n");
    }
}
