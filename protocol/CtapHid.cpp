#include "CtapHid.h"

#include <cstring>

namespace
{
    uint32_t ReadCid(const uint8_t* pb)
    {
        return (static_cast<uint32_t>(pb[0]) << 24) | (static_cast<uint32_t>(pb[1]) << 16) |
               (static_cast<uint32_t>(pb[2]) << 8) | pb[3];
    }

    void WriteCid(uint32_t cid, uint8_t* pb)
    {
        pb[0] = static_cast<uint8_t>(cid >> 24);
        pb[1] = static_cast<uint8_t>(cid >> 16);
        pb[2] = static_cast<uint8_t>(cid >> 8);
        pb[3] = static_cast<uint8_t>(cid);
    }
}

size_t CountCtapHidPackets(size_t cbPayload)
{
    if (cbPayload > CTAPHID_MESSAGE_MAX_BYTES)
    {
        return 0;
    }
    if (cbPayload <= CTAPHID_INIT_DATA_BYTES)
    {
        return 1;
    }
    return 1 + (cbPayload - CTAPHID_INIT_DATA_BYTES + CTAPHID_CONT_DATA_BYTES - 1) / CTAPHID_CONT_DATA_BYTES;
}

bool BuildCtapHidPacket(uint32_t cid, uint8_t command, const uint8_t* pbPayload, size_t cbPayload, size_t iPacket,
                        uint8_t (&rgbPacket)[CTAPHID_PACKET_BYTES])
{
    const size_t cPackets = CountCtapHidPackets(cbPayload);
    if (iPacket >= cPackets || (pbPayload == nullptr && cbPayload != 0))
    {
        return false;
    }
    std::memset(rgbPacket, 0, sizeof(rgbPacket));
    WriteCid(cid, rgbPacket);
    size_t offset = 0;
    size_t cbRoom = 0;
    uint8_t* pbData = nullptr;
    if (iPacket == 0)
    {
        rgbPacket[4] = static_cast<uint8_t>(command | 0x80);
        rgbPacket[5] = static_cast<uint8_t>(cbPayload >> 8);
        rgbPacket[6] = static_cast<uint8_t>(cbPayload & 0xFF);
        pbData = rgbPacket + 7;
        cbRoom = CTAPHID_INIT_DATA_BYTES;
    }
    else
    {
        rgbPacket[4] = static_cast<uint8_t>(iPacket - 1);
        pbData = rgbPacket + 5;
        cbRoom = CTAPHID_CONT_DATA_BYTES;
        offset = CTAPHID_INIT_DATA_BYTES + (iPacket - 1) * CTAPHID_CONT_DATA_BYTES;
    }
    const size_t cbLeft = cbPayload - offset;
    const size_t cbHere = cbLeft < cbRoom ? cbLeft : cbRoom;
    if (cbHere != 0)
    {
        std::memcpy(pbData, pbPayload + offset, cbHere);
    }
    return true;
}

bool ParseCtapHidInitAnswer(const uint8_t* pbPayload, size_t cbPayload,
                            const uint8_t (&rgbNonce)[CTAPHID_INIT_NONCE_BYTES], uint32_t* pCid,
                            uint8_t* pCapabilities)
{
    if (pbPayload == nullptr || cbPayload < CTAPHID_INIT_ANSWER_MIN_BYTES ||
        std::memcmp(pbPayload, rgbNonce, CTAPHID_INIT_NONCE_BYTES) != 0)
    {
        return false;
    }
    const uint32_t cid = ReadCid(pbPayload + CTAPHID_INIT_NONCE_BYTES);
    const uint8_t capabilities = pbPayload[16];
    if (cid == 0 || cid == CTAPHID_BROADCAST_CID || (capabilities & CTAPHID_CAPABILITY_CBOR) == 0)
    {
        return false;
    }
    *pCid = cid;
    *pCapabilities = capabilities;
    return true;
}

CCtapHidReassembly::CCtapHidReassembly(uint32_t cid, uint8_t command, uint8_t* pbBuffer, size_t cbCapacity)
    : _cid(cid), _command(command), _pbBuffer(pbBuffer), _cbCapacity(pbBuffer != nullptr ? cbCapacity : 0)
{
}

CtapHidFeed CCtapHidReassembly::Feed(const uint8_t (&rgbPacket)[CTAPHID_PACKET_BYTES])
{
    if (_fDone)
    {
        return CtapHidFeed::Refused;
    }
    if (ReadCid(rgbPacket) != _cid)
    {
        return CtapHidFeed::Skipped;
    }
    const uint8_t type = rgbPacket[4];
    if ((type & 0x80) != 0)
    {
        // Only the first packet of an answer may be an initialisation packet.
        if (_fStarted)
        {
            _fDone = true;
            return CtapHidFeed::Refused;
        }
        const uint8_t command = static_cast<uint8_t>(type & 0x7F);
        const size_t cbLength = (static_cast<size_t>(rgbPacket[5]) << 8) | rgbPacket[6];
        if (command == CTAPHID_KEEPALIVE)
        {
            _keepAliveStatus = cbLength >= 1 ? rgbPacket[7] : 0;
            return CtapHidFeed::KeepAlive;
        }
        if (command == CTAPHID_ERROR)
        {
            _errorCode = cbLength >= 1 ? rgbPacket[7] : 0;
            _fDone = true;
            return CtapHidFeed::KeyError;
        }
        if (command != _command || cbLength > _cbCapacity || cbLength > CTAPHID_MESSAGE_MAX_BYTES)
        {
            _fDone = true;
            return CtapHidFeed::Refused;
        }
        _fStarted = true;
        _cbExpected = cbLength;
        const size_t cbHere = cbLength < CTAPHID_INIT_DATA_BYTES ? cbLength : CTAPHID_INIT_DATA_BYTES;
        if (cbHere != 0)
        {
            std::memcpy(_pbBuffer, rgbPacket + 7, cbHere);
        }
        _cbReceived = cbHere;
    }
    else
    {
        if (!_fStarted || type != _nextSequence)
        {
            _fDone = true;
            return CtapHidFeed::Refused;
        }
        ++_nextSequence;
        const size_t cbLeft = _cbExpected - _cbReceived;
        const size_t cbHere = cbLeft < CTAPHID_CONT_DATA_BYTES ? cbLeft : CTAPHID_CONT_DATA_BYTES;
        std::memcpy(_pbBuffer + _cbReceived, rgbPacket + 5, cbHere);
        _cbReceived += cbHere;
    }
    if (_cbReceived == _cbExpected)
    {
        _fDone = true;
        return CtapHidFeed::Complete;
    }
    return CtapHidFeed::NeedMore;
}
