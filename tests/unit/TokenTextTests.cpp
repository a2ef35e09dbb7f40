#include "ApduResponse.h"
#include "HexTrace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
    std::vector<std::wstring> Trace(const wchar_t* label, const std::vector<uint8_t>& bytes)
    {
        std::vector<std::wstring> lines;
        wchar_t buffer[512];
        WriteHexTrace(label, bytes.data(), bytes.size(), buffer, 512,
                      [](void* context, const wchar_t* line) {
                          static_cast<std::vector<std::wstring>*>(context)->push_back(line);
                      },
                      &lines);
        return lines;
    }

    std::vector<uint8_t> Sequence(size_t length)
    {
        std::vector<uint8_t> bytes(length);
        for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i);
        return bytes;
    }
}

TEST(HexTrace, LinesOfSixteenBytesWithAlignedContinuations)
{
    EXPECT_EQ(std::vector<std::wstring>{ L"APDU: 80 CA 9F 7F 00 " }, Trace(L"APDU: ", { 0x80, 0xCA, 0x9F, 0x7F, 0x00 }));
    EXPECT_EQ(std::vector<std::wstring>{ L"APDU: " }, Trace(L"APDU: ", {}));

    const auto sixteen = Trace(L"RESP: ", Sequence(16));
    ASSERT_EQ(2u, sixteen.size());
    EXPECT_EQ(L"RESP: 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F ", sixteen[0]);
    EXPECT_EQ(L"      ", sixteen[1]);

    const auto seventeen = Trace(L"SEND: ", Sequence(17));
    ASSERT_EQ(2u, seventeen.size());
    EXPECT_EQ(L"      10 ", seventeen[1]);

    const auto many = Trace(L"RECV: ", Sequence(40));
    ASSERT_EQ(3u, many.size());
    EXPECT_EQ(L"      20 21 22 23 24 25 26 27 ", many[2]);
}

TEST(HexTrace, ResultLine)
{
    wchar_t line[64];
    FormatResultLine(L"SCardTransmit", 0x80100069u, line, 64);
    EXPECT_STREQ(L"SCardTransmit = 0x80100069", line);
    FormatResultLine(L"SCardConnect", 0, line, 64);
    EXPECT_STREQ(L"SCardConnect = 0x00000000", line);
    FormatResultLine(L"SCardConnect", 0, line, 10);
    EXPECT_STREQ(L"", line);
}

TEST(ApduResponse, StatusWord)
{
    const uint8_t ok[] = { 0x01, 0x90, 0x00 };
    const uint8_t error[] = { 0x6A, 0x88 };
    EXPECT_TRUE(IsStatusOk(ok, 3));
    EXPECT_TRUE(IsStatusOk(ok + 1, 2));
    EXPECT_FALSE(IsStatusOk(error, 2));
    EXPECT_FALSE(IsStatusOk(ok + 1, 1));
    EXPECT_FALSE(IsStatusOk(ok, 0));
}

TEST(ApduResponse, SerialComesFromCplcOffsetsFifteenToEighteen)
{
    std::vector<uint8_t> cplc = { 0x9F, 0x7F, 0x2A };
    for (int i = 3; i < 45; ++i) cplc.push_back(static_cast<uint8_t>(0xC0 + i));
    cplc[15] = 0x12; cplc[16] = 0x34; cplc[17] = 0xAB; cplc[18] = 0xCD;
    cplc.push_back(0x90);
    cplc.push_back(0x00);
    uint8_t serial[4] = {};
    ASSERT_TRUE(ParseCplcSerial(cplc.data(), cplc.size(), serial));
    wchar_t text[SERIAL_TEXT_CHARS];
    FormatSerialText(serial, text);
    EXPECT_STREQ(L"1234ABCD", text);

    // Exactly 19 bytes before the status word is enough; 18 is not.
    std::vector<uint8_t> shortest(cplc.begin(), cplc.begin() + 19);
    shortest.push_back(0x90);
    shortest.push_back(0x00);
    EXPECT_TRUE(ParseCplcSerial(shortest.data(), shortest.size(), serial));
    shortest.erase(shortest.begin() + 18);
    EXPECT_FALSE(ParseCplcSerial(shortest.data(), shortest.size(), serial));

    const uint8_t bare[] = { 0x90, 0x00 };
    EXPECT_FALSE(ParseCplcSerial(bare, 2, serial));
    cplc[cplc.size() - 2] = 0x6A;
    cplc[cplc.size() - 1] = 0x88;
    EXPECT_FALSE(ParseCplcSerial(cplc.data(), cplc.size(), serial));
}
