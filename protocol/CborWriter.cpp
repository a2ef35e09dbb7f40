#include "CborWriter.h"

#include "CborReader.h"

#include <cstring>

CCborWriter::CCborWriter(uint8_t* pbBuffer, size_t cbBuffer)
    : _pbBuffer(pbBuffer), _cbBuffer(pbBuffer != nullptr ? cbBuffer : 0)
{
}

void CCborWriter::Put(const uint8_t* pb, size_t cb)
{
    if (_failed)
    {
        return;
    }
    if (cb > _cbBuffer - _offset)
    {
        _failed = true;
        return;
    }
    if (cb != 0)
    {
        std::memcpy(_pbBuffer + _offset, pb, cb);
    }
    _offset += cb;
}

void CCborWriter::WriteHead(uint8_t majorType, uint64_t argument)
{
    uint8_t head[9];
    size_t cbHead = 1;
    const auto type = static_cast<uint8_t>(majorType << 5);
    size_t cbArgument;
    if (argument < 24)
    {
        head[0] = static_cast<uint8_t>(type | argument);
        cbArgument = 0;
    }
    else if (argument <= 0xFF)
    {
        head[0] = static_cast<uint8_t>(type | 24);
        cbArgument = 1;
    }
    else if (argument <= 0xFFFF)
    {
        head[0] = static_cast<uint8_t>(type | 25);
        cbArgument = 2;
    }
    else if (argument <= 0xFFFFFFFFull)
    {
        head[0] = static_cast<uint8_t>(type | 26);
        cbArgument = 4;
    }
    else
    {
        head[0] = static_cast<uint8_t>(type | 27);
        cbArgument = 8;
    }
    for (size_t i = cbArgument; i > 0; --i)
    {
        head[cbHead++] = static_cast<uint8_t>(argument >> (8 * (i - 1)));
    }
    Put(head, cbHead);
}

void CCborWriter::WriteUnsigned(uint64_t value)
{
    WriteHead(0, value);
}

void CCborWriter::WriteInteger(int64_t value)
{
    if (value >= 0)
    {
        WriteHead(0, static_cast<uint64_t>(value));
    }
    else
    {
        // -1 - value without overflow for INT64_MIN.
        WriteHead(1, static_cast<uint64_t>(-(value + 1)));
    }
}

void CCborWriter::WriteBytes(const uint8_t* pbValue, size_t cbValue)
{
    if (pbValue == nullptr && cbValue != 0)
    {
        _failed = true;
        return;
    }
    WriteHead(2, cbValue);
    Put(pbValue, cbValue);
}

void CCborWriter::WriteText(const char* pchValue, size_t cchValue)
{
    if ((pchValue == nullptr && cchValue != 0) || (cchValue != 0 && !IsWellFormedUtf8(pchValue, cchValue)))
    {
        _failed = true;
        return;
    }
    WriteHead(3, cchValue);
    Put(reinterpret_cast<const uint8_t*>(pchValue), cchValue);
}

void CCborWriter::WriteText(const char* pszValue)
{
    if (pszValue == nullptr)
    {
        _failed = true;
        return;
    }
    WriteText(pszValue, std::strlen(pszValue));
}

void CCborWriter::WriteBoolean(bool value)
{
    const uint8_t simple = value ? 0xF5 : 0xF4;
    Put(&simple, 1);
}

void CCborWriter::WriteArrayHeader(size_t cItems)
{
    WriteHead(4, cItems);
}

void CCborWriter::WriteMapHeader(size_t cEntries)
{
    WriteHead(5, cEntries);
}

void CCborWriter::WriteEncoded(const uint8_t* pbItem, size_t cbItem)
{
    if (pbItem == nullptr && cbItem != 0)
    {
        _failed = true;
        return;
    }
    Put(pbItem, cbItem);
}
