#pragma once
// CTAP2 over USB HID: 64-byte reports on a channel. An initialisation packet carries the
// channel (CID, 4 bytes), the command with bit 7 set, the payload length (BCNT, 2 bytes,
// big-endian) and the first 57 payload bytes; continuation packets carry the CID, a
// sequence number 0..127 and 59 more bytes. A channel is opened with INIT on the
// broadcast CID. The transport loop (with its deadlines and device I/O) is the caller's;
// these are its pure steps. No Windows headers: also built natively for sanitizers and fuzzing.
#include <cstddef>
#include <cstdint>

constexpr size_t CTAPHID_PACKET_BYTES = 64;
constexpr size_t CTAPHID_INIT_DATA_BYTES = CTAPHID_PACKET_BYTES - 7;
constexpr size_t CTAPHID_CONT_DATA_BYTES = CTAPHID_PACKET_BYTES - 5;
// The most a message can carry: one initialisation packet and 128 continuations.
constexpr size_t CTAPHID_MESSAGE_MAX_BYTES = CTAPHID_INIT_DATA_BYTES + 128 * CTAPHID_CONT_DATA_BYTES;

constexpr uint32_t CTAPHID_BROADCAST_CID = 0xFFFFFFFF;

constexpr uint8_t CTAPHID_INIT = 0x06;
constexpr uint8_t CTAPHID_CBOR = 0x10;
constexpr uint8_t CTAPHID_CANCEL = 0x11;
constexpr uint8_t CTAPHID_KEEPALIVE = 0x3B;
constexpr uint8_t CTAPHID_ERROR = 0x3F;

constexpr uint8_t CTAPHID_CAPABILITY_CBOR = 0x04;

constexpr size_t CTAPHID_INIT_NONCE_BYTES = 8;
constexpr size_t CTAPHID_INIT_ANSWER_MIN_BYTES = 17;

constexpr uint8_t CTAPHID_KEEPALIVE_PROCESSING = 1;
constexpr uint8_t CTAPHID_KEEPALIVE_UP_NEEDED = 2;

// The number of packets that carry cbPayload bytes (1 for an empty payload), or 0 when the
// payload does not fit one message.
size_t CountCtapHidPackets(size_t cbPayload);

// Writes packet iPacket (0-based) of a message on channel cid: the initialisation packet
// for 0, continuation iPacket - 1 after it, unused bytes zero. False when there is no such
// packet or the message does not fit.
bool BuildCtapHidPacket(uint32_t cid, uint8_t command, const uint8_t* pbPayload, size_t cbPayload, size_t iPacket,
                        uint8_t (&rgbPacket)[CTAPHID_PACKET_BYTES]);

// Judges the payload of an INIT answer: at least 17 bytes, the nonce sent echoed, a
// channel other than 0 and the broadcast one, CBOR among the capabilities.
bool ParseCtapHidInitAnswer(const uint8_t* pbPayload, size_t cbPayload,
                            const uint8_t (&rgbNonce)[CTAPHID_INIT_NONCE_BYTES], uint32_t* pCid,
                            uint8_t* pCapabilities);

enum class CtapHidFeed
{
    NeedMore,   // keep reading
    Skipped,    // a packet of another channel: ignored, keep reading
    KeepAlive,  // the key is still working (KeepAliveStatus says why): keep reading until the deadline
    Complete,   // the whole answer is in the buffer
    KeyError,   // the key answered ERROR (ErrorCode says which): the exchange ends
    Refused,    // the answer breaks the framing or its bound: the exchange ends
};

// Reassembles the answer to one command on one channel into a caller's buffer, packet by
// packet: packets of other channels are skipped; an initialisation packet in the middle
// of an answer, a continuation out of sequence, another command than the one awaited, or
// a length above the buffer refuse the answer.
class CCtapHidReassembly
{
public:
    CCtapHidReassembly(uint32_t cid, uint8_t command, uint8_t* pbBuffer, size_t cbCapacity);

    CtapHidFeed Feed(const uint8_t (&rgbPacket)[CTAPHID_PACKET_BYTES]);

    size_t Length() const { return _cbExpected; }
    uint8_t KeepAliveStatus() const { return _keepAliveStatus; }
    uint8_t ErrorCode() const { return _errorCode; }

private:
    uint32_t _cid;
    uint8_t _command;
    uint8_t* _pbBuffer;
    size_t _cbCapacity;
    bool _fStarted = false;
    bool _fDone = false;
    size_t _cbExpected = 0;
    size_t _cbReceived = 0;
    uint8_t _nextSequence = 0;
    uint8_t _keepAliveStatus = 0;
    uint8_t _errorCode = 0;
};
