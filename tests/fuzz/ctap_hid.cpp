// Packets of a CTAP HID answer as a key may send them. The input is the buffer bound,
// then 64-byte packets. Whatever the packets, the reassembly never writes past the bound,
// ends at most once, and a complete answer is exactly the data of its packets. The input
// is also cut into a message's packets, which must carry it whole.
#include "CtapHid.h"
#include "FuzzInput.h"

#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput input(data, size);
    const size_t bound = input.Upto(4096);
    const uint32_t cid = input.Dword();
    const std::unique_ptr<uint8_t[]> storage(new uint8_t[bound + 1]);
    CCtapHidReassembly reassembly(cid, CTAPHID_CBOR, storage.get(), bound);
    bool fEnded = false;
    while (input.Remaining() > 0)
    {
        uint8_t packet[CTAPHID_PACKET_BYTES] = {};
        const std::vector<uint8_t> bytes = input.Bytes(CTAPHID_PACKET_BYTES);
        std::memcpy(packet, bytes.data(), bytes.size());
        const CtapHidFeed feed = reassembly.Feed(packet);
        if (fEnded)
        {
            FUZZ_CHECK(feed == CtapHidFeed::Refused);
            continue;
        }
        fEnded = feed == CtapHidFeed::Complete || feed == CtapHidFeed::KeyError || feed == CtapHidFeed::Refused;
        if (feed == CtapHidFeed::Complete)
        {
            FUZZ_CHECK(reassembly.Length() <= bound);
        }
    }

    // Packets of the input as a message: joined back, they are the input.
    const size_t cPackets = CountCtapHidPackets(size);
    FUZZ_CHECK((cPackets == 0) == (size > CTAPHID_MESSAGE_MAX_BYTES));
    std::vector<uint8_t> joined;
    std::vector<uint8_t> answer(size + 1);
    CCtapHidReassembly back(0x01020304, CTAPHID_CBOR, answer.data(), size);
    CtapHidFeed last = CtapHidFeed::NeedMore;
    for (size_t k = 0; k < cPackets; ++k)
    {
        uint8_t packet[CTAPHID_PACKET_BYTES];
        FUZZ_CHECK(BuildCtapHidPacket(0x01020304, CTAPHID_CBOR, data, size, k, packet));
        last = back.Feed(packet);
        FUZZ_CHECK(last == (k + 1 == cPackets ? CtapHidFeed::Complete : CtapHidFeed::NeedMore));
    }
    if (cPackets != 0)
    {
        FUZZ_CHECK(back.Length() == size && (size == 0 || std::memcmp(answer.data(), data, size) == 0));
    }
    return 0;
}
