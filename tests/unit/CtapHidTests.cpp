// CTAP HID framing: packets of a message, the INIT answer's checks and the reassembly of
// an answer from the packets a key (or something pretending to be one) sends.
#include "CtapHid.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace
{
    using Packet = std::vector<uint8_t>;
    constexpr uint32_t CID = 0x11223344;

    Packet Init(uint32_t cid, uint8_t command, size_t bcnt, const std::vector<uint8_t>& data = {})
    {
        Packet p(CTAPHID_PACKET_BYTES, 0);
        p[0] = static_cast<uint8_t>(cid >> 24); p[1] = static_cast<uint8_t>(cid >> 16);
        p[2] = static_cast<uint8_t>(cid >> 8); p[3] = static_cast<uint8_t>(cid);
        p[4] = static_cast<uint8_t>(command | 0x80);
        p[5] = static_cast<uint8_t>(bcnt >> 8); p[6] = static_cast<uint8_t>(bcnt);
        std::copy(data.begin(), data.end(), p.begin() + 7);
        return p;
    }

    Packet Cont(uint32_t cid, uint8_t sequence)
    {
        Packet p(CTAPHID_PACKET_BYTES, sequence);
        p[0] = static_cast<uint8_t>(cid >> 24); p[1] = static_cast<uint8_t>(cid >> 16);
        p[2] = static_cast<uint8_t>(cid >> 8); p[3] = static_cast<uint8_t>(cid);
        p[4] = sequence;
        return p;
    }

    std::vector<CtapHidFeed> FeedAll(CCtapHidReassembly& reassembly, const std::vector<Packet>& packets)
    {
        std::vector<CtapHidFeed> feeds;
        for (const Packet& p : packets)
        {
            uint8_t packet[CTAPHID_PACKET_BYTES];
            std::memcpy(packet, p.data(), sizeof(packet));
            feeds.push_back(reassembly.Feed(packet));
        }
        return feeds;
    }
}

TEST(CtapHid, AMessageIsCutIntoPacketsAndJoinedBackWhole)
{
    for (const size_t size : { size_t{ 0 }, size_t{ 1 }, size_t{ 57 }, size_t{ 58 }, size_t{ 57 + 59 }, size_t{ 57 + 59 + 1 },
                               CTAPHID_MESSAGE_MAX_BYTES })
    {
        std::vector<uint8_t> message(size);
        for (size_t i = 0; i < size; ++i) message[i] = static_cast<uint8_t>(i * 7 + 3);
        const size_t count = CountCtapHidPackets(size);
        ASSERT_EQ(size <= 57 ? 1u : 1 + (size - 57 + 58) / 59, count) << size;
        std::vector<uint8_t> answer(size + 1);
        CCtapHidReassembly reassembly(CID, CTAPHID_CBOR, answer.data(), size);
        for (size_t k = 0; k < count; ++k)
        {
            uint8_t packet[CTAPHID_PACKET_BYTES];
            ASSERT_TRUE(BuildCtapHidPacket(CID, CTAPHID_CBOR, message.data(), size, k, packet));
            EXPECT_EQ(k + 1 == count ? CtapHidFeed::Complete : CtapHidFeed::NeedMore, reassembly.Feed(packet)) << size;
        }
        EXPECT_EQ(size, reassembly.Length());
        EXPECT_TRUE(std::equal(message.begin(), message.end(), answer.begin())) << size;
    }
    uint8_t packet[CTAPHID_PACKET_BYTES];
    EXPECT_EQ(0u, CountCtapHidPackets(CTAPHID_MESSAGE_MAX_BYTES + 1));
    EXPECT_FALSE(BuildCtapHidPacket(CID, CTAPHID_CBOR, nullptr, 5, 0, packet));
    EXPECT_FALSE(BuildCtapHidPacket(CID, CTAPHID_CBOR, packet, 10, 1, packet)); // one packet only
}

TEST(CtapHid, OnlyAnInitAnswerThatEchoesTheNonceAndGrantsAUsableCborChannelIsAccepted)
{
    const uint8_t nonce[CTAPHID_INIT_NONCE_BYTES] = { 1, 2, 3, 4, 5, 6, 7, 8 };
    const std::vector<uint8_t> good = { 1, 2, 3, 4, 5, 6, 7, 8, 0xAA, 0xBB, 0xCC, 0xDD, 2, 5, 4, 0, 0x05 };
    const struct { const char* what; size_t at; uint8_t value; size_t size; bool accepted; } cases[] = {
        { "as sent", 0, 1, 17, true },
        { "longer", 0, 1, 20, true },
        { "16 bytes", 0, 1, 16, false },
        { "another nonce", 7, 9, 17, false },
        { "no CBOR", 16, 0x01, 17, false },
    };
    for (const auto& c : cases)
    {
        std::vector<uint8_t> answer = good;
        answer.resize(c.size, 0);
        answer[c.at] = c.value;
        uint32_t cid = 0;
        uint8_t capabilities = 0;
        EXPECT_EQ(c.accepted, ParseCtapHidInitAnswer(answer.data(), answer.size(), nonce, &cid, &capabilities)) << c.what;
        if (c.accepted) EXPECT_EQ(0xAABBCCDDu, cid);
    }
    for (const uint32_t cid : { 0u, CTAPHID_BROADCAST_CID })
    {
        std::vector<uint8_t> answer = good;
        answer[8] = answer[9] = answer[10] = answer[11] = static_cast<uint8_t>(cid);
        uint32_t granted = 0;
        uint8_t capabilities = 0;
        EXPECT_FALSE(ParseCtapHidInitAnswer(answer.data(), answer.size(), nonce, &granted, &capabilities)) << cid;
    }
}

TEST(CtapHid, ReassemblyRefusesWhatBreaksTheFramingAndSkipsOtherChannels)
{
    using F = CtapHidFeed;
    const struct { const char* what; size_t bound; std::vector<Packet> packets; std::vector<F> feeds; } cases[] = {
        { "two packets", 100, { Init(CID, CTAPHID_CBOR, 80), Cont(CID, 0) }, { F::NeedMore, F::Complete } },
        { "another channel in between", 100, { Init(CID, CTAPHID_CBOR, 80), Cont(0x55667788, 0), Cont(CID, 0) },
          { F::NeedMore, F::Skipped, F::Complete } },
        { "keep-alive before the answer", 100,
          { Init(CID, CTAPHID_KEEPALIVE, 1, { CTAPHID_KEEPALIVE_UP_NEEDED }), Init(CID, CTAPHID_CBOR, 3) },
          { F::KeepAlive, F::Complete } },
        { "keep-alive in the middle", 100, { Init(CID, CTAPHID_CBOR, 80), Init(CID, CTAPHID_KEEPALIVE, 1, { 1 }) },
          { F::NeedMore, F::Refused } },
        { "an error", 100, { Init(CID, CTAPHID_ERROR, 1, { 0x06 }), Init(CID, CTAPHID_CBOR, 3) }, { F::KeyError, F::Refused } },
        { "out of sequence", 200, { Init(CID, CTAPHID_CBOR, 150), Cont(CID, 1) }, { F::NeedMore, F::Refused } },
        { "a continuation first", 100, { Cont(CID, 0) }, { F::Refused } },
        { "a new answer in the middle", 200, { Init(CID, CTAPHID_CBOR, 150), Init(CID, CTAPHID_CBOR, 150) },
          { F::NeedMore, F::Refused } },
        { "longer than the bound", 2048, { Init(CID, CTAPHID_CBOR, 2049) }, { F::Refused } },
        { "another command", 100, { Init(CID, CTAPHID_INIT, 17) }, { F::Refused } },
    };
    for (const auto& c : cases)
    {
        std::vector<uint8_t> buffer(c.bound);
        CCtapHidReassembly reassembly(CID, CTAPHID_CBOR, buffer.data(), c.bound);
        EXPECT_EQ(c.feeds, FeedAll(reassembly, c.packets)) << c.what;
    }
    std::vector<uint8_t> buffer(10);
    CCtapHidReassembly keepAlive(CID, CTAPHID_CBOR, buffer.data(), buffer.size());
    FeedAll(keepAlive, { Init(CID, CTAPHID_KEEPALIVE, 1, { CTAPHID_KEEPALIVE_UP_NEEDED }) });
    EXPECT_EQ(CTAPHID_KEEPALIVE_UP_NEEDED, keepAlive.KeepAliveStatus());
    CCtapHidReassembly error(CID, CTAPHID_CBOR, buffer.data(), buffer.size());
    FeedAll(error, { Init(CID, CTAPHID_ERROR, 1, { 0x06 }) });
    EXPECT_EQ(0x06, error.ErrorCode());
}
