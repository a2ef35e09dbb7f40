#include "LogFormat.h"

#include <gtest/gtest.h>

#include <string>

TEST(FormatLine, FormatsTheLogLines)
{
    wchar_t line[512];
    EXPECT_EQ(13, FormatLine(line, 512, L"User: %s\r\n", L"alice"));
    EXPECT_STREQ(L"User: alice\r\n", line);
    FormatLine(line, 512, L"returnVal 0x%08X *Authoritative %d\r\n", 0xFFFF0011u, 1);
    EXPECT_STREQ(L"returnVal 0xFFFF0011 *Authoritative 1\r\n", line);
    FormatLine(line, 512, L"returnVal 0x%08X *Authoritative %d\r\n", 0u, 0);
    EXPECT_STREQ(L"returnVal 0x00000000 *Authoritative 0\r\n", line);
    FormatLine(line, 512, L"Connect failed: %X\r\n", 0x80100069u);
    EXPECT_STREQ(L"Connect failed: 80100069\r\n", line);
    FormatLine(line, 512, L"tokenCount: %d, %d, %u, %x, %ls, %%", -42, 0, 7u, 0xabcu, L"w");
    EXPECT_STREQ(L"tokenCount: -42, 0, 7, abc, w, %", line);
    FormatLine(line, 512, L"[%s] %d", static_cast<const wchar_t*>(nullptr), -2147483647 - 1);
    EXPECT_STREQ(L"[(null)] -2147483648", line);
}

TEST(FormatLine, CutsWhatDoesNotFit)
{
    wchar_t line[512];
    const std::wstring longName(600, L'x');
    EXPECT_EQ(-1, FormatLine(line, 512, L"User: %s\r\n", longName.c_str()));
    EXPECT_EQ(511u, wcslen(line));
    EXPECT_EQ(0, std::wstring(line).compare(0, 6, L"User: "));

    // A width far beyond the buffer is cut at once, not padded character by character.
    EXPECT_EQ(-1, FormatLine(line, 512, L"%4000000000d", 7));
    EXPECT_EQ(511u, wcslen(line));

    wchar_t small[4];
    EXPECT_EQ(-1, FormatLine(small, 4, L"%d", 12345));
    EXPECT_STREQ(L"123", small);
    EXPECT_EQ(3, FormatLine(small, 4, L"%d", 123));
    EXPECT_EQ(-1, FormatLine(small, 0, L"x"));
}

TEST(LogHeader, AsctimeLayoutWithPaddedDay)
{
    struct tm time = {};
    time.tm_year = 2026 - 1900;
    time.tm_mon = 11;
    time.tm_mday = 6;
    time.tm_wday = 0;
    time.tm_hour = 12;
    time.tm_min = 48;
    time.tm_sec = 19;
    wchar_t header[LOG_HEADER_CHARS + 1];
    ASSERT_TRUE(FormatLogHeader(time, header));
    EXPECT_STREQ(L"Sun Dec  6 12:48:19 2026\n", header);

    time.tm_mday = 31;
    time.tm_mon = 0;
    time.tm_wday = 6;
    time.tm_hour = 0;
    time.tm_min = 5;
    time.tm_sec = 9;
    ASSERT_TRUE(FormatLogHeader(time, header));
    EXPECT_STREQ(L"Sat Jan 31 00:05:09 2026\n", header);
}

TEST(LogHeader, TimesOutsideTheLayoutGiveAnEmptyHeader)
{
    struct tm time = {};
    time.tm_year = 2026 - 1900;
    time.tm_mday = 1;
    wchar_t header[LOG_HEADER_CHARS + 1];
    ASSERT_TRUE(FormatLogHeader(time, header));
    time.tm_mon = 12;
    EXPECT_FALSE(FormatLogHeader(time, header));
    EXPECT_STREQ(L"", header);
    time.tm_mon = 0;
    time.tm_year = 10000 - 1900;
    EXPECT_FALSE(FormatLogHeader(time, header));
    time.tm_year = 100;
    time.tm_wday = 7;
    EXPECT_FALSE(FormatLogHeader(time, header));
}
