#include "RandomBytes.h"
#include "SmartCardContext.h"
#include "SmartCardReader.h"
#include "TokenIdentification.h"
#include "VirtualSCard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace
{
    using Bytes = std::vector<BYTE>;
    using Lines = std::vector<std::wstring>;

    const Bytes SELECT_NO_NAME = { 0x00, 0xA4, 0x04, 0x00 };
    const Bytes GET_CPLC = { 0x80, 0xCA, 0x9F, 0x7F, 0x00 };
    const Bytes SELECT_OTP = { 0x00, 0xA4, 0x04, 0x00, 0x09, 0x4A, 0x4E, 0x45, 0x54, 0x5F, 0x4F, 0x54, 0x50, 0x01 };
    const Bytes GET_BF52 = { 0x80, 0xCA, 0xBF, 0x52, 0x00, 0x00, 0x00 };
    const Bytes INITIALIZE_UPDATE_HEADER = { 0x80, 0x50, 0x00, 0x00, 0x08 };

    std::wstring TokenName(const wchar_t* suffix) { return std::wstring(TokenReaderName) + suffix; }

    Bytes SentCommand(const VSCARD_RECORD& record)
    {
        return Bytes(record.command, record.command + record.commandLength);
    }

    // Every command sent with SCardTransmit since the record was cleared, in order.
    std::vector<Bytes> SentCommands()
    {
        std::vector<Bytes> commands;
        for (DWORD i = 0; i < VScardRecordCount(); ++i)
        {
            VSCARD_RECORD record;
            if (VScardGetRecord(i, &record) && record.function == VSCARD_FN_TRANSMIT) commands.push_back(SentCommand(record));
        }
        return commands;
    }

    Bytes Prefix(const Bytes& bytes, size_t count) { return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(count, bytes.size()))); }

    // A CPLC answer with this many bytes before 90 00; the serial DE AD BE EF sits at 15..18.
    Bytes CplcAnswer(size_t dataBytes)
    {
        Bytes answer;
        for (size_t i = 0; i < dataBytes; ++i) answer.push_back(static_cast<BYTE>(0x40 + i));
        const BYTE serial[] = { 0xDE, 0xAD, 0xBE, 0xEF };
        for (size_t i = 0; i < 4 && 15 + i < dataBytes; ++i) answer[15 + i] = serial[i];
        answer.push_back(0x90);
        answer.push_back(0x00);
        return answer;
    }

    struct LineSink
    {
        Lines lines;
        static void Add(void* context, const wchar_t* line) { static_cast<LineSink*>(context)->lines.push_back(line); }
    };

    // Stands in for the system generator for one test.
    class RandomSourceOverride
    {
    public:
        explicit RandomSourceOverride(RandomSource source) : _previous(SetRandomSourceForTesting(source)) {}
        ~RandomSourceOverride() { SetRandomSourceForTesting(_previous); }
        RandomSourceOverride(const RandomSourceOverride&) = delete;
        RandomSourceOverride& operator=(const RandomSourceOverride&) = delete;

    private:
        RandomSource _previous;
    };

    int g_sourceCalls = 0;

    // Writes a pattern, then reports failure: the caller must not keep it.
    bool FailingSource(unsigned char* pbBuffer, size_t cbBuffer)
    {
        ++g_sourceCalls;
        memset(pbBuffer, 0x5A, cbBuffer);
        return false;
    }

    bool CountingSource(unsigned char* pbBuffer, size_t cbBuffer)
    {
        ++g_sourceCalls;
        memset(pbBuffer, 0x11, cbBuffer);
        return true;
    }

    class TokenReaders : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            VScardReset();
            ASSERT_EQ(SCARD_S_SUCCESS, context.EstablishContext());
        }
        void TearDown() override
        {
            context.Release();
            VScardReset();
        }

        int Count(const wchar_t** ppszToken)
        {
            sink.lines.clear();
            wchar_t text[256] = {};
            return CountTokenReaders(context, text, 256, &LineSink::Add, &sink, ppszToken);
        }

        CSmartCardContext context;
        LineSink sink;
    };

    // A reader connected to the token with default answers; the record starts empty.
    class TokenTest : public TokenReaders
    {
    protected:
        void SetUp() override
        {
            TokenReaders::SetUp();
            readerIndex = VScardAddReader(TokenName(L" 0").c_str(), TRUE);
            ASSERT_GE(readerIndex, 0);
            reader = std::make_unique<CSmartCardReader>(context.context, TokenName(L" 0").c_str());
            reader->traceData = false;
            reader->traceResults = false;
            ASSERT_EQ(SCARD_S_SUCCESS, reader->Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
            VScardClearRecord();
        }
        void TearDown() override
        {
            reader.reset();
            TokenReaders::TearDown();
        }

        void Answer(int command, const Bytes& answer)
        {
            ASSERT_TRUE(VScardSetAnswer(readerIndex, command, answer.data(), static_cast<DWORD>(answer.size())));
        }

        // The serial as read, or "-1" / the untouched buffer on failure.
        std::wstring ReadSerial(int* pResult)
        {
            wchar_t serial[16];
            wcscpy_s(serial, L"untouched");
            *pResult = ReadTokenSerial(*reader, serial, 16);
            return serial;
        }

        std::unique_ptr<CSmartCardReader> reader;
        int readerIndex = -1;
    };
}

// ---- recognising the token's reader ----------------------------------------------------

TEST(TokenReaderName, ExactTextWithTheReaderNumberMatches)
{
    EXPECT_STREQ(L"Halvane Velkor FIDO2 Security Key", TokenReaderName);
    EXPECT_TRUE(IsTokenReaderName(TokenName(L" 0").c_str()));
    EXPECT_TRUE(IsTokenReaderName(TokenName(L" 1").c_str()));
    EXPECT_FALSE(IsTokenReaderName(L"halvane velkor fido2 security key 0"));
    EXPECT_FALSE(IsTokenReaderName(L"HALVANE VELKOR FIDO2 SECURITY KEY 0"));
    EXPECT_FALSE(IsTokenReaderName(L"Halvane Velkor FIDO2 Security 0"));
    EXPECT_FALSE(IsTokenReaderName(L""));
    EXPECT_FALSE(IsTokenReaderName(nullptr));
}

TEST_F(TokenReaders, OneTokenAmongThreeReaders)
{
    VScardAddReader(L"Contact Reader 0", TRUE);
    VScardAddReader(TokenName(L" 0").c_str(), TRUE);
    VScardAddReader(L"Contactless Reader 0", FALSE);
    const wchar_t* token = nullptr;
    EXPECT_EQ(1, Count(&token));
    EXPECT_EQ((Lines{
                  L"Reader: Contact Reader 0\r\n",
                  L"no match\r\n",
                  L"Reader: " + TokenName(L" 0") + L"\r\n",
                  L"Reader: Contactless Reader 0\r\n",
                  L"no match\r\n",
                  L"tokenCount: 1\r\n",
                  L"Velkor FIDO2 Token detected\r\n",
              }),
              sink.lines);
    EXPECT_EQ(context.readers[1], token) << "points at the name the context holds";
    EXPECT_EQ(TokenName(L" 0"), token);
}

TEST_F(TokenReaders, TokenNameInOtherLettersDoesNotCount)
{
    VScardAddReader(L"HALVANE VELKOR FIDO2 SECURITY KEY 0", TRUE);
    const wchar_t* token = L"untouched";
    const wchar_t* const before = token;
    EXPECT_EQ(0, Count(&token));
    EXPECT_EQ(before, token);
    EXPECT_EQ((Lines{ L"Reader: HALVANE VELKOR FIDO2 SECURITY KEY 0\r\n", L"no match\r\n", L"tokenCount: 0\r\n",
                      L"No token detected\r\n" }),
              sink.lines);
}

TEST_F(TokenReaders, TwoTokensAreNotChosenBetween)
{
    VScardAddReader(TokenName(L" 0").c_str(), TRUE);
    VScardAddReader(TokenName(L" 1").c_str(), TRUE);
    const wchar_t* token = L"untouched";
    const wchar_t* const before = token;
    EXPECT_EQ(2, Count(&token));
    EXPECT_EQ(before, token);
    ASSERT_FALSE(sink.lines.empty());
    EXPECT_EQ(L"tokenCount: 2\r\n", sink.lines[sink.lines.size() - 2]);
    EXPECT_EQ(L"More than one token detected\r\n", sink.lines.back());
}

TEST_F(TokenReaders, NothingListedGivesNoTraceAtAll)
{
    const wchar_t* token = L"untouched";
    const wchar_t* const before = token;
    EXPECT_EQ(0, Count(&token)) << "no readers";
    EXPECT_TRUE(sink.lines.empty());

    VScardAddReader(TokenName(L" 0").c_str(), TRUE);
    ASSERT_TRUE(VScardFailCall(VSCARD_FN_LIST_READERS_W, SCARD_E_NO_SERVICE, 1, FALSE));
    EXPECT_EQ(0, Count(&token)) << "failed listing";
    EXPECT_TRUE(sink.lines.empty());
    EXPECT_EQ(before, token);
}

TEST_F(TokenReaders, TraceLineTooLongForTheBufferIsCut)
{
    const std::wstring longName = L"Reader with a rather long name 0";
    VScardAddReader(longName.c_str(), FALSE);
    wchar_t text[16];
    wmemset(text, L'#', 16);
    const wchar_t* token = nullptr;
    EXPECT_EQ(0, CountTokenReaders(context, text, 16, &LineSink::Add, &sink, &token));
    ASSERT_FALSE(sink.lines.empty());
    const std::wstring first = sink.lines[0];
    EXPECT_LT(first.size(), 16u) << "terminated inside the buffer";
    EXPECT_EQ(0u, (L"Reader: " + longName).find(first)) << "a cut line is a prefix of the full one";
}

// ---- serial number ----------------------------------------------------------------------

TEST_F(TokenTest, SerialOfTheDefaultToken)
{
    int result = 1;
    EXPECT_EQ(L"1234ABCD", ReadSerial(&result));
    EXPECT_EQ(0, result);
    EXPECT_EQ((std::vector<Bytes>{ SELECT_NO_NAME, GET_CPLC }), SentCommands());

    ASSERT_TRUE(VScardSetSerial(readerIndex, 0x00C0FFEE));
    EXPECT_EQ(L"00C0FFEE", ReadSerial(&result));
    EXPECT_EQ(0, result);
}

TEST_F(TokenTest, SerialNeedsNineCharacters)
{
    wchar_t serial[9];
    wcscpy_s(serial, L"--------");
    EXPECT_EQ(-1, ReadTokenSerial(*reader, serial, 8));
    EXPECT_STREQ(L"--------", serial);
    EXPECT_EQ(-1, ReadTokenSerial(*reader, nullptr, 9));
    EXPECT_EQ(0u, VScardCountTransmits(nullptr, 0)) << "no command for a buffer that cannot take the answer";

    EXPECT_EQ(0, ReadTokenSerial(*reader, serial, 9));
    EXPECT_STREQ(L"1234ABCD", serial);
}

TEST_F(TokenTest, RefusedSelectDoesNotStopTheRead)
{
    Answer(VSCARD_CMD_SELECT, { 0x6A, 0x82 });
    int result = 1;
    EXPECT_EQ(L"1234ABCD", ReadSerial(&result));
    EXPECT_EQ(0, result);
}

TEST_F(TokenTest, RefusedGetDataGivesNoSerial)
{
    Answer(VSCARD_CMD_GET_CPLC, { 0x6A, 0x88 });
    int result = 0;
    EXPECT_EQ(L"untouched", ReadSerial(&result));
    EXPECT_EQ(-1, result);
}

TEST_F(TokenTest, BareStatusWordGivesNoSerial)
{
    Answer(VSCARD_CMD_GET_CPLC, { 0x90, 0x00 });
    int result = 0;
    EXPECT_EQ(L"untouched", ReadSerial(&result)) << "no made-up 00000000";
    EXPECT_EQ(-1, result);
}

TEST_F(TokenTest, SerialNeedsNineteenCplcBytes)
{
    Answer(VSCARD_CMD_GET_CPLC, CplcAnswer(18));
    int result = 0;
    EXPECT_EQ(L"untouched", ReadSerial(&result));
    EXPECT_EQ(-1, result);

    Answer(VSCARD_CMD_GET_CPLC, CplcAnswer(19));
    EXPECT_EQ(L"DEADBEEF", ReadSerial(&result));
    EXPECT_EQ(0, result);

    // The longest answer the token can give still fits.
    Answer(VSCARD_CMD_GET_CPLC, CplcAnswer(VSCARD_MAX_ANSWER - 2));
    EXPECT_EQ(L"DEADBEEF", ReadSerial(&result));
    EXPECT_EQ(0, result);
}

TEST_F(TokenTest, FailedSelectTransmissionStopsTheRead)
{
    ASSERT_TRUE(VScardFailCall(VSCARD_FN_TRANSMIT, SCARD_E_COMM_DATA_LOST, 1, FALSE));
    int result = 0;
    EXPECT_EQ(L"untouched", ReadSerial(&result));
    EXPECT_EQ(-1, result);
    EXPECT_EQ(1u, VScardCountTransmits(nullptr, 0)) << "no GET DATA after a lost SELECT";
}

TEST_F(TokenTest, FailedGetDataTransmissionGivesNoSerial)
{
    ASSERT_TRUE(VScardFailCall(VSCARD_FN_TRANSMIT, SCARD_E_COMM_DATA_LOST, 2, FALSE));
    int result = 0;
    EXPECT_EQ(L"untouched", ReadSerial(&result));
    EXPECT_EQ(-1, result);
    EXPECT_EQ(static_cast<DWORD>(SCARD_E_COMM_DATA_LOST), reader->lastResult);
}

TEST_F(TokenTest, TokenPulledAfterTheSelectGivesNoSerial)
{
    ASSERT_TRUE(VScardPullTokenAfterTransmits(readerIndex, 1));
    int result = 0;
    EXPECT_EQ(L"untouched", ReadSerial(&result));
    EXPECT_EQ(-1, result);
    EXPECT_EQ(static_cast<DWORD>(SCARD_W_REMOVED_CARD), reader->lastResult);
    EXPECT_EQ(2u, VScardCountTransmits(nullptr, 0));
}

// ---- one-time-password applet probe ------------------------------------------------------

TEST_F(TokenTest, EachProbeCommandHasItsExactBytes)
{
    EXPECT_TRUE(SelectOtpApplet(*reader));
    EXPECT_TRUE(GetDataBF52(*reader));
    EXPECT_TRUE(InitializeUpdate(*reader));
    const auto commands = SentCommands();
    ASSERT_EQ(3u, commands.size());
    EXPECT_EQ(SELECT_OTP, commands[0]);
    EXPECT_EQ(GET_BF52, commands[1]);
    ASSERT_EQ(13u, commands[2].size());
    EXPECT_EQ(INITIALIZE_UPDATE_HEADER, Prefix(commands[2], 5));
}

TEST_F(TokenTest, ProbeCommandsFailOnAnErrorStatus)
{
    Answer(VSCARD_CMD_SELECT_OTP, { 0x6A, 0x82 });
    Answer(VSCARD_CMD_GET_BF52, { 0x90 });
    Answer(VSCARD_CMD_INIT_UPDATE, {});
    EXPECT_FALSE(SelectOtpApplet(*reader));
    EXPECT_FALSE(GetDataBF52(*reader)) << "one byte is no status word";
    EXPECT_FALSE(InitializeUpdate(*reader)) << "empty answer";

    VScardSetDefaultAnswer(readerIndex, VSCARD_CMD_SELECT_OTP);
    ASSERT_TRUE(VScardFailCall(VSCARD_FN_TRANSMIT, SCARD_E_COMM_DATA_LOST, 1, FALSE));
    EXPECT_FALSE(SelectOtpApplet(*reader)) << "lost transmission";
    EXPECT_TRUE(SelectOtpApplet(*reader));
}

TEST_F(TokenTest, ProbeSendsAllThreeInOrder)
{
    ProbeOtpApplet(*reader);
    const auto commands = SentCommands();
    ASSERT_EQ(3u, commands.size());
    EXPECT_EQ(SELECT_OTP, commands[0]);
    EXPECT_EQ(GET_BF52, commands[1]);
    EXPECT_EQ(INITIALIZE_UPDATE_HEADER, Prefix(commands[2], 5));
}

TEST_F(TokenTest, ProbeStopsWhenTheAppletIsMissing)
{
    Answer(VSCARD_CMD_SELECT_OTP, { 0x6A, 0x82 });
    ProbeOtpApplet(*reader);
    EXPECT_EQ(std::vector<Bytes>{ SELECT_OTP }, SentCommands());
}

TEST_F(TokenTest, ProbeStopsWhenBF52Fails)
{
    Answer(VSCARD_CMD_GET_BF52, { 0x6A, 0x88 });
    ProbeOtpApplet(*reader);
    EXPECT_EQ((std::vector<Bytes>{ SELECT_OTP, GET_BF52 }), SentCommands());
}

TEST_F(TokenTest, EveryProbeHasItsOwnChallenge)
{
    ProbeOtpApplet(*reader);
    ProbeOtpApplet(*reader);
    std::vector<Bytes> challenges;
    for (const Bytes& command : SentCommands())
    {
        if (command.size() == 13 && Prefix(command, 5) == INITIALIZE_UPDATE_HEADER)
            challenges.emplace_back(command.begin() + 5, command.end());
    }
    ASSERT_EQ(2u, challenges.size());
    EXPECT_NE(challenges[0], challenges[1]);
    EXPECT_NE(Bytes(8, 0), challenges[0]);
}

TEST_F(TokenTest, NoChallengeNoInitializeUpdate)
{
    g_sourceCalls = 0;
    {
        RandomSourceOverride failing(&FailingSource);
        EXPECT_FALSE(InitializeUpdate(*reader));
        ProbeOtpApplet(*reader);
    }
    EXPECT_GE(g_sourceCalls, 2);
    EXPECT_EQ((std::vector<Bytes>{ SELECT_OTP, GET_BF52 }), SentCommands());

    EXPECT_TRUE(InitializeUpdate(*reader)) << "the system generator is back";
}

// ---- random bytes --------------------------------------------------------------------------

TEST(RandomBytes, NothingAskedNothingWritten)
{
    unsigned char buffer[4] = { 0xA5, 0xA5, 0xA5, 0xA5 };
    EXPECT_TRUE(FillRandomBytes(buffer, 0));
    EXPECT_EQ(0, memcmp(buffer, "\xA5\xA5\xA5\xA5", 4));

    g_sourceCalls = 0;
    RandomSourceOverride failing(&FailingSource);
    EXPECT_TRUE(FillRandomBytes(buffer, 0)) << "not even a failing source is asked";
    EXPECT_EQ(0, g_sourceCalls);
    EXPECT_EQ(0, memcmp(buffer, "\xA5\xA5\xA5\xA5", 4));
}

TEST(RandomBytes, TwoDrawsDiffer)
{
    unsigned char first[16] = {};
    unsigned char second[16] = {};
    ASSERT_TRUE(FillRandomBytes(first, sizeof(first)));
    ASSERT_TRUE(FillRandomBytes(second, sizeof(second)));
    EXPECT_NE(0, memcmp(first, second, 16));
    const unsigned char zero[16] = {};
    EXPECT_NE(0, memcmp(first, zero, 16));
}

TEST(RandomBytes, FailingSourceLeavesZeros)
{
    unsigned char buffer[24];
    memset(buffer, 0xA5, sizeof(buffer));
    {
        RandomSourceOverride failing(&FailingSource);
        EXPECT_FALSE(FillRandomBytes(buffer, 16));
    }
    const unsigned char zero[16] = {};
    EXPECT_EQ(0, memcmp(buffer, zero, 16)) << "what the source wrote before failing is wiped";
    EXPECT_EQ(0xA5, buffer[16]) << "nothing beyond the count";
}

TEST(RandomBytes, SourceCanBeReplacedAndRestored)
{
    g_sourceCalls = 0;
    unsigned char buffer[8] = {};
    {
        RandomSourceOverride counting(&CountingSource);
        EXPECT_TRUE(FillRandomBytes(buffer, sizeof(buffer)));
        EXPECT_EQ(1, g_sourceCalls);
        EXPECT_EQ(0x11, buffer[7]);
        EXPECT_EQ(&CountingSource, SetRandomSourceForTesting(nullptr)) << "null puts the system generator back";
        EXPECT_TRUE(FillRandomBytes(buffer, sizeof(buffer)));
        EXPECT_EQ(1, g_sourceCalls);
    }
    EXPECT_TRUE(FillRandomBytes(buffer, sizeof(buffer)));
    EXPECT_EQ(1, g_sourceCalls);
}
