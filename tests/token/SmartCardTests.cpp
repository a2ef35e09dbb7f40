#include "DebugOutputCapture.h"
#include "ImportPatch.h"
#include "SmartCardContext.h"
#include "SmartCardReader.h"
#include "VirtualSCard.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace
{
    const wchar_t TOKEN_READER[] = L"Halvane Velkor FIDO2 Security Key 0";
    const wchar_t DESTRUCTOR_LINE[] = L"~CSmartCardReader() called";
    const BYTE GET_CPLC[] = { 0x80, 0xCA, 0x9F, 0x7F, 0x00 };

    using Lines = std::vector<std::wstring>;

    std::vector<VSCARD_RECORD> Records(int function)
    {
        std::vector<VSCARD_RECORD> records;
        for (DWORD i = 0; i < VScardRecordCount(); ++i)
        {
            VSCARD_RECORD record;
            if (VScardGetRecord(i, &record) && record.function == function) records.push_back(record);
        }
        return records;
    }

    // Reader names that differ from each other and from the token's.
    std::wstring NumberedName(int i, size_t length = 0)
    {
        std::wstring name = L"Reader " + std::to_wstring(i) + L" ";
        while (name.size() < length) name += static_cast<wchar_t>(L'a' + name.size() % 26);
        return name;
    }

    class VirtualPcsc : public ::testing::Test
    {
    protected:
        void SetUp() override { VScardReset(); }
        void TearDown() override { VScardReset(); }
    };

    class SmartCardContext : public VirtualPcsc {};
    class SmartCardReader : public VirtualPcsc {};
    class ReaderTrace : public VirtualPcsc {};

    // A context and a reader connected (shared, T=0 or T=1) to a token.
    class ConnectedReader : public VirtualPcsc
    {
    protected:
        void Connect(DWORD protocol)
        {
            readerIndex = VScardAddReader(TOKEN_READER, TRUE);
            ASSERT_GE(readerIndex, 0);
            ASSERT_TRUE(VScardSetProtocol(readerIndex, protocol));
            ASSERT_EQ(SCARD_S_SUCCESS, context.EstablishContext());
            reader = std::make_unique<CSmartCardReader>(context.context, TOKEN_READER);
            ASSERT_EQ(SCARD_S_SUCCESS, reader->Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
            VScardClearRecord();
        }

        LONG Transmit(const BYTE* command, DWORD length, std::vector<BYTE>* answer = nullptr)
        {
            BYTE buffer[300] = {};
            DWORD size = sizeof(buffer);
            const LONG result = reader->Transmit(command, length, buffer, &size);
            if (answer != nullptr) answer->assign(buffer, buffer + (result == SCARD_S_SUCCESS ? size : 0));
            return result;
        }

        void TearDown() override
        {
            reader.reset();
            context.Release();
            VirtualPcsc::TearDown();
        }

        CSmartCardContext context;
        std::unique_ptr<CSmartCardReader> reader;
        int readerIndex = -1;
    };

    // Stand-in for SCardDisconnect that notes the disposition and passes the call on.
    void* g_pfnRealDisconnect = nullptr;
    std::vector<DWORD> g_dispositions;

    LONG WINAPI RecordingDisconnect(SCARDHANDLE hCard, DWORD dwDisposition)
    {
        g_dispositions.push_back(dwDisposition);
        return reinterpret_cast<decltype(&SCardDisconnect)>(g_pfnRealDisconnect)(hCard, dwDisposition);
    }
}

// ---- the capture the trace tests rely on -------------------------------------------

TEST(DebugOutput, CaptureSeesThisProcessesLines)
{
    CDebugOutputCapture capture;
    OutputDebugStringW(L"wide line");
    OutputDebugStringA("ansi line");
    EXPECT_EQ((Lines{ L"wide line", L"ansi line" }), capture.Lines());
    capture.Clear();
    EXPECT_TRUE(capture.Lines().empty());
}

// ---- CSmartCardContext --------------------------------------------------------------

TEST_F(SmartCardContext, NewContextHoldsNothing)
{
    CSmartCardContext context;
    EXPECT_EQ(0u, context.lastResult);
    EXPECT_EQ(0u, context.context);
    EXPECT_EQ(0, context.readerCount);
    for (wchar_t* name : context.readers) EXPECT_EQ(nullptr, name);
}

TEST_F(SmartCardContext, EstablishContextKeepsTheResult)
{
    CSmartCardContext context;
    ASSERT_TRUE(VScardFailCall(VSCARD_FN_ESTABLISH_CONTEXT, SCARD_E_NO_SERVICE, 1, FALSE));
    EXPECT_EQ(SCARD_E_NO_SERVICE, context.EstablishContext());
    EXPECT_EQ(0x8010001Du, context.lastResult);
    EXPECT_EQ(0u, context.context);
    EXPECT_EQ(0u, VScardOpenContexts());

    EXPECT_EQ(SCARD_S_SUCCESS, context.EstablishContext());
    EXPECT_EQ(0u, context.lastResult) << "a success overwrites the earlier failure";
    EXPECT_NE(0u, context.context);
    EXPECT_EQ(1u, VScardOpenContexts());
    const auto calls = Records(VSCARD_FN_ESTABLISH_CONTEXT);
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(context.context, calls[1].context);
}

TEST_F(SmartCardContext, ListingWithoutReadersGivesNull)
{
    CSmartCardContext context;
    ASSERT_EQ(SCARD_S_SUCCESS, context.EstablishContext());
    EXPECT_EQ(nullptr, context.ListReaders());
    EXPECT_EQ(0, context.readerCount);
    EXPECT_EQ(static_cast<DWORD>(SCARD_E_NO_READERS_AVAILABLE), context.lastResult);
}

TEST_F(SmartCardContext, ReadersAreListedOnceUntilRefreshed)
{
    CSmartCardContext context;
    ASSERT_EQ(SCARD_S_SUCCESS, context.EstablishContext());
    VScardAddReader(L"First", FALSE);
    wchar_t** names = context.ListReaders();
    ASSERT_EQ(context.readers, names);
    ASSERT_EQ(1, context.readerCount);
    EXPECT_STREQ(L"First", names[0]);
    EXPECT_EQ(0u, context.lastResult);

    VScardAddReader(L"Second", TRUE);
    EXPECT_EQ(names, context.ListReaders());
    EXPECT_EQ(1, context.readerCount);
    EXPECT_STREQ(L"First", context.readers[0]);
    EXPECT_EQ(nullptr, context.readers[1]);
    EXPECT_EQ(1u, VScardCountCalls(VSCARD_FN_LIST_READERS_W));

    EXPECT_EQ(SCARD_S_SUCCESS, context.RefreshReaders());
    ASSERT_EQ(2, context.readerCount);
    EXPECT_STREQ(L"First", context.readers[0]);
    EXPECT_STREQ(L"Second", context.readers[1]);
    EXPECT_EQ(2u, VScardCountCalls(VSCARD_FN_LIST_READERS_W));
    EXPECT_EQ(0u, VScardOutstandingAllocations()) << "every listing is given back with SCardFreeMemory";
}

TEST_F(SmartCardContext, FailedListingIsTriedAgainNextTime)
{
    CSmartCardContext context;
    ASSERT_EQ(SCARD_S_SUCCESS, context.EstablishContext());
    VScardAddReader(L"Only", FALSE);
    ASSERT_TRUE(VScardFailCall(VSCARD_FN_LIST_READERS_W, SCARD_E_NO_SERVICE, 1, FALSE));
    EXPECT_EQ(nullptr, context.ListReaders());
    EXPECT_EQ(static_cast<DWORD>(SCARD_E_NO_SERVICE), context.lastResult);
    EXPECT_EQ(0, context.readerCount);

    ASSERT_NE(nullptr, context.ListReaders());
    EXPECT_STREQ(L"Only", context.readers[0]);
    EXPECT_EQ(0u, context.lastResult);
    EXPECT_EQ(2u, VScardCountCalls(VSCARD_FN_LIST_READERS_W));
}

TEST_F(SmartCardContext, RefreshAfterTheLastReaderWentReportsIt)
{
    CSmartCardContext context;
    ASSERT_EQ(SCARD_S_SUCCESS, context.EstablishContext());
    VScardAddReader(L"Gone soon", FALSE);
    ASSERT_NE(nullptr, context.ListReaders());
    ASSERT_TRUE(VScardFailCall(VSCARD_FN_LIST_READERS_W, SCARD_E_NO_READERS_AVAILABLE, 1, FALSE));
    EXPECT_EQ(SCARD_E_NO_READERS_AVAILABLE, context.RefreshReaders());
    EXPECT_EQ(0, context.readerCount);
    EXPECT_EQ(nullptr, context.readers[0]) << "the old names are not kept";
}

TEST_F(SmartCardContext, AtMostTwentyReadersInListOrder)
{
    std::vector<std::wstring> names;
    for (int i = 0; i < 25; ++i)
    {
        names.push_back(NumberedName(i));
        ASSERT_GE(VScardAddReader(names.back().c_str(), FALSE), 0);
    }
    CSmartCardContext context;
    ASSERT_EQ(SCARD_S_SUCCESS, context.EstablishContext());
    ASSERT_NE(nullptr, context.ListReaders());
    ASSERT_EQ(MAX_READERS, context.readerCount) << "no slot beyond the twentieth is filled";
    for (int i = 0; i < MAX_READERS; ++i)
    {
        ASSERT_NE(nullptr, context.readers[i]) << i;
        EXPECT_EQ(names[static_cast<size_t>(i)], context.readers[i]) << i;
    }
    EXPECT_EQ(0u, context.lastResult);
    EXPECT_EQ(0u, VScardOutstandingAllocations());
}

TEST_F(SmartCardContext, LongReaderNamesAreKeptWhole)
{
    const std::wstring sixtyFour = NumberedName(1, 64);
    const std::wstring long300 = NumberedName(2, 300);
    ASSERT_EQ(64u, sixtyFour.size());
    VScardAddReader(sixtyFour.c_str(), FALSE);
    VScardAddReader(long300.c_str(), FALSE);
    CSmartCardContext context;
    ASSERT_EQ(SCARD_S_SUCCESS, context.EstablishContext());
    ASSERT_NE(nullptr, context.ListReaders());
    ASSERT_EQ(2, context.readerCount);
    EXPECT_EQ(sixtyFour, context.readers[0]);
    EXPECT_EQ(long300, context.readers[1]);
}

TEST_F(SmartCardContext, ReleaseGivesEverythingBack)
{
    VScardAddReader(L"One", FALSE);
    VScardAddReader(L"Two", FALSE);
    {
        CSmartCardContext context;
        ASSERT_EQ(SCARD_S_SUCCESS, context.EstablishContext());
        const SCARDCONTEXT handle = context.context;
        ASSERT_NE(nullptr, context.ListReaders());
        EXPECT_EQ(0u, VScardOutstandingAllocations());

        context.Release();
        EXPECT_EQ(0u, VScardOpenContexts());
        EXPECT_EQ(0u, context.context);
        EXPECT_EQ(0, context.readerCount);
        for (wchar_t* name : context.readers) EXPECT_EQ(nullptr, name);
        const auto releases = Records(VSCARD_FN_RELEASE_CONTEXT);
        ASSERT_EQ(1u, releases.size());
        EXPECT_EQ(handle, releases[0].context);

        context.Release();
        EXPECT_EQ(1u, VScardCountCalls(VSCARD_FN_RELEASE_CONTEXT)) << "a second release does nothing";

        // The destructor releases a context established again.
        ASSERT_EQ(SCARD_S_SUCCESS, context.EstablishContext());
        EXPECT_EQ(1u, VScardOpenContexts());
    }
    EXPECT_EQ(0u, VScardOpenContexts());
    EXPECT_EQ(0u, VScardOutstandingAllocations());
}

// ---- CSmartCardReader: construction, connection --------------------------------------

TEST_F(SmartCardReader, NewReaderCopiesTheName)
{
    std::wstring name = L"Some Reader 1";
    CSmartCardReader reader(0x1234, name.c_str());
    name[0] = L'X';
    EXPECT_STREQ(L"Some Reader 1", reader.readerName);
    EXPECT_EQ(0x1234u, reader.context);
    EXPECT_EQ(0u, reader.card);
    EXPECT_EQ(0u, reader.activeProtocol);
    EXPECT_EQ(0u, reader.lastResult);
    EXPECT_TRUE(reader.traceResults);
    EXPECT_TRUE(reader.traceData);
}

TEST_F(SmartCardReader, NameOfSixtyFourCharactersIsRefused)
{
    CSmartCardContext context;
    ASSERT_EQ(SCARD_S_SUCCESS, context.EstablishContext());
    for (size_t length : { size_t{ 64 }, size_t{ 65 }, size_t{ 200 } })
    {
        // The reader exists, so only the name check can stop the connection.
        const std::wstring name = NumberedName(static_cast<int>(length), length);
        ASSERT_GE(VScardAddReader(name.c_str(), TRUE), 0);
        CSmartCardReader reader(context.context, name.c_str());
        EXPECT_STREQ(L"", reader.readerName) << length;
        EXPECT_EQ(SCARD_E_UNKNOWN_READER, reader.Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
        EXPECT_EQ(static_cast<DWORD>(SCARD_E_UNKNOWN_READER), reader.lastResult);
        EXPECT_EQ(0u, reader.card);
    }
    EXPECT_EQ(0u, VScardCountConnects(nullptr)) << "no connection reaches PC/SC";

    CSmartCardReader nameless(context.context, nullptr);
    EXPECT_STREQ(L"", nameless.readerName);
    EXPECT_EQ(SCARD_E_UNKNOWN_READER, nameless.Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1));
    EXPECT_EQ(0u, VScardCountConnects(nullptr));
}

TEST_F(SmartCardReader, NameOfSixtyThreeCharactersConnects)
{
    const std::wstring name = NumberedName(63, 63);
    ASSERT_EQ(63u, name.size());
    ASSERT_GE(VScardAddReader(name.c_str(), TRUE), 0);
    CSmartCardContext context;
    ASSERT_EQ(SCARD_S_SUCCESS, context.EstablishContext());
    CSmartCardReader reader(context.context, name.c_str());
    EXPECT_EQ(name, reader.readerName);
    EXPECT_EQ(SCARD_S_SUCCESS, reader.Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
    EXPECT_EQ(1u, VScardCountConnects(name.c_str()));
}

TEST_F(SmartCardReader, ConnectTakesTheTokensProtocol)
{
    const int t0Index = VScardAddReader(L"T0 reader", TRUE);
    VScardAddReader(L"T1 reader", TRUE);
    ASSERT_TRUE(VScardSetProtocol(t0Index, SCARD_PROTOCOL_T0));
    CSmartCardContext context;
    ASSERT_EQ(SCARD_S_SUCCESS, context.EstablishContext());

    CSmartCardReader t0(context.context, L"T0 reader");
    CSmartCardReader t1(context.context, L"T1 reader");
    EXPECT_EQ(SCARD_S_SUCCESS, t0.Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
    EXPECT_EQ(SCARD_S_SUCCESS, t1.Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
    EXPECT_EQ(static_cast<DWORD>(SCARD_PROTOCOL_T0), t0.activeProtocol);
    EXPECT_EQ(static_cast<DWORD>(SCARD_PROTOCOL_T1), t1.activeProtocol);
    EXPECT_NE(0u, t0.card);
    EXPECT_NE(0u, t1.card);
    EXPECT_EQ(0u, t1.lastResult);

    const auto connects = Records(VSCARD_FN_CONNECT_W);
    ASSERT_EQ(2u, connects.size());
    EXPECT_STREQ(L"T0 reader", connects[0].reader);
    EXPECT_EQ(static_cast<DWORD>(SCARD_SHARE_SHARED), connects[0].shareMode);
    EXPECT_EQ(static_cast<DWORD>(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1), connects[0].preferredProtocols);
    EXPECT_EQ(context.context, connects[0].context);
    EXPECT_EQ(t0.card, connects[0].card);
}

TEST_F(SmartCardReader, FailedConnectKeepsTheResult)
{
    VScardAddReader(L"Empty reader", FALSE);
    CSmartCardContext context;
    ASSERT_EQ(SCARD_S_SUCCESS, context.EstablishContext());
    CSmartCardReader reader(context.context, L"Empty reader");
    EXPECT_EQ(SCARD_E_NO_SMARTCARD, reader.Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
    EXPECT_EQ(static_cast<DWORD>(SCARD_E_NO_SMARTCARD), reader.lastResult);
    EXPECT_EQ(0u, reader.card);
}

TEST_F(ConnectedReader, TransmitUsesTheT0RequestForAT0Token)
{
    Connect(SCARD_PROTOCOL_T0);
    std::vector<BYTE> answer;
    EXPECT_EQ(SCARD_S_SUCCESS, Transmit(GET_CPLC, sizeof(GET_CPLC), &answer));
    const auto transmits = Records(VSCARD_FN_TRANSMIT);
    ASSERT_EQ(1u, transmits.size());
    EXPECT_EQ(static_cast<DWORD>(SCARD_PROTOCOL_T0), transmits[0].sendProtocol);
    ASSERT_GE(answer.size(), 2u);
    EXPECT_EQ(0x90, answer[answer.size() - 2]);
}

TEST_F(ConnectedReader, TransmitUsesTheT1RequestForAT1Token)
{
    Connect(SCARD_PROTOCOL_T1);
    EXPECT_EQ(SCARD_S_SUCCESS, Transmit(GET_CPLC, sizeof(GET_CPLC)));
    const auto transmits = Records(VSCARD_FN_TRANSMIT);
    ASSERT_EQ(1u, transmits.size());
    EXPECT_EQ(static_cast<DWORD>(SCARD_PROTOCOL_T1), transmits[0].sendProtocol);
    EXPECT_EQ(reader->card, transmits[0].card);
    EXPECT_EQ(0u, reader->lastResult);
}

TEST_F(ConnectedReader, FailedTransmitKeepsTheResult)
{
    Connect(SCARD_PROTOCOL_T1);
    ASSERT_TRUE(VScardFailCall(VSCARD_FN_TRANSMIT, SCARD_E_COMM_DATA_LOST, 1, FALSE));
    EXPECT_EQ(SCARD_E_COMM_DATA_LOST, Transmit(GET_CPLC, sizeof(GET_CPLC)));
    EXPECT_EQ(static_cast<DWORD>(SCARD_E_COMM_DATA_LOST), reader->lastResult);
    EXPECT_EQ(SCARD_S_SUCCESS, Transmit(GET_CPLC, sizeof(GET_CPLC)));
    EXPECT_EQ(0u, reader->lastResult);
}

TEST_F(ConnectedReader, DestructorLeavesTheCardAndSaysSo)
{
    Connect(SCARD_PROTOCOL_T1);
    CImportPatch patch("winscard.dll", "SCardDisconnect", reinterpret_cast<void*>(&RecordingDisconnect));
    ASSERT_TRUE(patch.IsActive());
    g_pfnRealDisconnect = patch.Original();
    g_dispositions.clear();
    const SCARDHANDLE card = reader->card;
    reader->traceResults = false;
    reader->traceData = false;

    CDebugOutputCapture capture;
    reader.reset();
    EXPECT_EQ(std::vector<DWORD>{ static_cast<DWORD>(SCARD_LEAVE_CARD) }, g_dispositions);
    EXPECT_EQ(0u, VScardOpenCards());
    const auto disconnects = Records(VSCARD_FN_DISCONNECT);
    ASSERT_EQ(1u, disconnects.size());
    EXPECT_EQ(card, disconnects[0].card);
    EXPECT_EQ(Lines{ DESTRUCTOR_LINE }, capture.Lines()) << "written whatever the trace flags";
}

TEST_F(SmartCardReader, DestructorOfAnUnconnectedReaderDisconnectsNothing)
{
    CDebugOutputCapture capture;
    {
        CSmartCardReader reader(0, L"Nowhere");
    }
    EXPECT_EQ(0u, VScardCountCalls(VSCARD_FN_DISCONNECT));
    EXPECT_EQ(Lines{ DESTRUCTOR_LINE }, capture.Lines());
}

TEST_F(ConnectedReader, FailedDisconnectKeepsTheCard)
{
    Connect(SCARD_PROTOCOL_T1);
    const SCARDHANDLE card = reader->card;
    ASSERT_TRUE(VScardFailCall(VSCARD_FN_DISCONNECT, SCARD_E_NO_SERVICE, 1, FALSE));
    EXPECT_EQ(SCARD_E_NO_SERVICE, reader->Disconnect(SCARD_RESET_CARD));
    EXPECT_EQ(card, reader->card);
    EXPECT_EQ(static_cast<DWORD>(SCARD_E_NO_SERVICE), reader->lastResult);
    EXPECT_EQ(1u, VScardOpenCards());

    EXPECT_EQ(SCARD_S_SUCCESS, reader->Disconnect(SCARD_LEAVE_CARD));
    EXPECT_EQ(0u, reader->card);
    EXPECT_EQ(0u, VScardOpenCards());
    reader.reset();
    EXPECT_EQ(2u, VScardCountCalls(VSCARD_FN_DISCONNECT)) << "nothing left for the destructor to disconnect";
}

// ---- CSmartCardReader: trace lines ----------------------------------------------------

TEST_F(ConnectedReader, TransmitTracesCommandResultAndAnswer)
{
    Connect(SCARD_PROTOCOL_T1);
    // 32 data bytes and the status word: two full lines and a short one.
    std::vector<BYTE> answer;
    for (BYTE i = 0; i < 32; ++i) answer.push_back(i);
    answer.push_back(0x90);
    answer.push_back(0x00);
    ASSERT_TRUE(VScardSetAnswer(readerIndex, VSCARD_CMD_GET_CPLC, answer.data(), static_cast<DWORD>(answer.size())));

    CDebugOutputCapture capture;
    EXPECT_EQ(SCARD_S_SUCCESS, Transmit(GET_CPLC, sizeof(GET_CPLC)));
    EXPECT_EQ((Lines{
                  L"APDU: 80 CA 9F 7F 00 ",
                  L"SCardTransmit = 0x00000000",
                  L"RESP: 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F ",
                  L"      10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F ",
                  L"      90 00 ",
              }),
              capture.Lines());
}

TEST_F(ConnectedReader, FailedTransmitTracesNoAnswer)
{
    Connect(SCARD_PROTOCOL_T1);
    ASSERT_TRUE(VScardFailCall(VSCARD_FN_TRANSMIT, SCARD_E_COMM_DATA_LOST, 1, FALSE));
    CDebugOutputCapture capture;
    EXPECT_EQ(SCARD_E_COMM_DATA_LOST, Transmit(GET_CPLC, sizeof(GET_CPLC)));
    EXPECT_EQ((Lines{ L"APDU: 80 CA 9F 7F 00 ", L"SCardTransmit = 0x8010002F" }), capture.Lines());
}

TEST_F(ConnectedReader, DataTraceWithoutResultLines)
{
    Connect(SCARD_PROTOCOL_T1);
    const BYTE answer[] = { 0xAB, 0x90, 0x00 };
    ASSERT_TRUE(VScardSetAnswer(readerIndex, VSCARD_CMD_GET_CPLC, answer, sizeof(answer)));
    reader->traceResults = false;
    CDebugOutputCapture capture;
    EXPECT_EQ(SCARD_S_SUCCESS, Transmit(GET_CPLC, sizeof(GET_CPLC)));
    EXPECT_EQ(SCARD_S_SUCCESS, reader->Disconnect(SCARD_LEAVE_CARD));
    EXPECT_EQ((Lines{ L"APDU: 80 CA 9F 7F 00 ", L"RESP: AB 90 00 " }), capture.Lines());
}

TEST_F(ConnectedReader, ResultLinesWithoutDataTrace)
{
    Connect(SCARD_PROTOCOL_T1);
    reader->traceData = false;
    CDebugOutputCapture capture;
    EXPECT_EQ(SCARD_S_SUCCESS, Transmit(GET_CPLC, sizeof(GET_CPLC)));
    EXPECT_EQ(SCARD_S_SUCCESS, reader->Disconnect(SCARD_LEAVE_CARD));
    EXPECT_EQ((Lines{ L"SCardTransmit = 0x00000000", L"SCardDisconnect = 0x00000000" }), capture.Lines());
}

TEST_F(ReaderTrace, WithBothTracesOffOnlyTheDestructorSpeaks)
{
    VScardAddReader(TOKEN_READER, TRUE);
    CSmartCardContext context;
    ASSERT_EQ(SCARD_S_SUCCESS, context.EstablishContext());
    CDebugOutputCapture capture;
    {
        CSmartCardReader reader(context.context, TOKEN_READER);
        reader.traceResults = false;
        reader.traceData = false;
        EXPECT_EQ(SCARD_S_SUCCESS, reader.Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
        BYTE response[64];
        DWORD size = sizeof(response);
        EXPECT_EQ(SCARD_S_SUCCESS, reader.Transmit(GET_CPLC, sizeof(GET_CPLC), response, &size));
        ASSERT_TRUE(VScardFailCall(VSCARD_FN_TRANSMIT, SCARD_E_COMM_DATA_LOST, 1, FALSE));
        size = sizeof(response);
        EXPECT_EQ(SCARD_E_COMM_DATA_LOST, reader.Transmit(GET_CPLC, sizeof(GET_CPLC), response, &size));
    }
    EXPECT_EQ(Lines{ DESTRUCTOR_LINE }, capture.Lines());
}

TEST_F(ReaderTrace, ConnectTracesItsResult)
{
    VScardAddReader(TOKEN_READER, TRUE);
    VScardAddReader(L"Empty reader", FALSE);
    CSmartCardContext context;
    ASSERT_EQ(SCARD_S_SUCCESS, context.EstablishContext());
    CSmartCardReader token(context.context, TOKEN_READER);
    CSmartCardReader empty(context.context, L"Empty reader");
    CSmartCardReader refused(context.context, NumberedName(0, 64).c_str());

    CDebugOutputCapture capture;
    EXPECT_EQ(SCARD_S_SUCCESS, token.Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
    EXPECT_EQ(SCARD_E_NO_SMARTCARD, empty.Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
    EXPECT_EQ(SCARD_E_UNKNOWN_READER, refused.Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
    EXPECT_EQ((Lines{ L"SCardConnect = 0x00000000", L"SCardConnect = 0x8010000C", L"SCardConnect = 0x80100009" }),
              capture.Lines());
    EXPECT_STREQ(L"SCardConnect = 0x80100009", refused.traceText);
}
