#include "CborReader.h"

#include <cstring>

namespace
{
    constexpr uint8_t SIMPLE_FALSE = 20;
    constexpr uint8_t SIMPLE_TRUE = 21;
    constexpr uint8_t SIMPLE_NULL = 22;

    // One head: the major type and its argument (a value, a length or a count). Refuses
    // what the canonical form forbids: a longer head than the argument needs, reserved
    // additional information, indefinite lengths, tags, floats and simple values other
    // than false, true and null. Moves *pOffset past the head only on success.
    bool DecodeHead(const uint8_t* pbData, size_t cbData, size_t* pOffset, CborType* pType, uint64_t* pArgument)
    {
        size_t offset = *pOffset;
        if (offset >= cbData)
        {
            return false;
        }
        const uint8_t initial = pbData[offset++];
        const auto type = static_cast<CborType>(initial >> 5);
        const uint8_t info = initial & 0x1F;
        if (type == CborType::Tag)
        {
            return false;
        }
        if (type == CborType::Simple)
        {
            if (info != SIMPLE_FALSE && info != SIMPLE_TRUE && info != SIMPLE_NULL)
            {
                return false;
            }
            *pOffset = offset;
            *pType = type;
            *pArgument = info;
            return true;
        }
        uint64_t argument = 0;
        size_t cbArgument = 0;
        uint64_t smallest = 0;
        switch (info)
        {
        case 24: cbArgument = 1; smallest = 24; break;
        case 25: cbArgument = 2; smallest = 0x100; break;
        case 26: cbArgument = 4; smallest = 0x10000; break;
        case 27: cbArgument = 8; smallest = 0x100000000ull; break;
        default:
            if (info >= 24)
            {
                return false; // 28 to 30 reserved, 31 indefinite length
            }
            argument = info;
            break;
        }
        if (cbArgument > cbData - offset)
        {
            return false;
        }
        for (size_t i = 0; i < cbArgument; ++i)
        {
            argument = (argument << 8) | pbData[offset++];
        }
        if (cbArgument != 0 && argument < smallest)
        {
            return false;
        }
        *pOffset = offset;
        *pType = type;
        *pArgument = argument;
        return true;
    }

    // Whether the count or length of a head can be met by the bytes left: a string needs
    // its length, an array one byte an item, a map two an entry.
    bool FitsRemaining(CborType type, uint64_t argument, size_t cbLeft)
    {
        switch (type)
        {
        case CborType::Bytes:
        case CborType::Text:
        case CborType::Array:
            return argument <= cbLeft;
        case CborType::Map:
            return argument <= cbLeft / 2;
        default:
            return true;
        }
    }

    // Canonical key order: lower major type, then shorter encoding, then bytewise.
    bool KeyFollows(const uint8_t* pbPrevious, size_t cbPrevious, const uint8_t* pbKey, size_t cbKey)
    {
        const uint8_t previousType = pbPrevious[0] >> 5;
        const uint8_t keyType = pbKey[0] >> 5;
        if (previousType != keyType)
        {
            return previousType < keyType;
        }
        if (cbPrevious != cbKey)
        {
            return cbPrevious < cbKey;
        }
        return std::memcmp(pbPrevious, pbKey, cbKey) < 0;
    }

    // One item at *pOffset; depth counts the containers around it.
    bool CheckItem(const uint8_t* pbData, size_t cbData, size_t* pOffset, size_t depth)
    {
        size_t offset = *pOffset;
        CborType type = CborType::Simple;
        uint64_t argument = 0;
        if (!DecodeHead(pbData, cbData, &offset, &type, &argument) || !FitsRemaining(type, argument, cbData - offset))
        {
            return false;
        }
        switch (type)
        {
        case CborType::Bytes:
            offset += static_cast<size_t>(argument);
            break;
        case CborType::Text:
            if (!IsWellFormedUtf8(reinterpret_cast<const char*>(pbData + offset), static_cast<size_t>(argument)))
            {
                return false;
            }
            offset += static_cast<size_t>(argument);
            break;
        case CborType::Array:
            if (depth >= CBOR_MAX_DEPTH)
            {
                return false;
            }
            for (uint64_t i = 0; i < argument; ++i)
            {
                if (!CheckItem(pbData, cbData, &offset, depth + 1))
                {
                    return false;
                }
            }
            break;
        case CborType::Map:
        {
            if (depth >= CBOR_MAX_DEPTH)
            {
                return false;
            }
            const uint8_t* pbPreviousKey = nullptr;
            size_t cbPreviousKey = 0;
            for (uint64_t i = 0; i < argument; ++i)
            {
                const size_t keyStart = offset;
                if (keyStart >= cbData)
                {
                    return false;
                }
                const auto keyType = static_cast<CborType>(pbData[keyStart] >> 5);
                if (keyType != CborType::Unsigned && keyType != CborType::Negative && keyType != CborType::Text)
                {
                    return false;
                }
                if (!CheckItem(pbData, cbData, &offset, depth + 1))
                {
                    return false;
                }
                const uint8_t* pbKey = pbData + keyStart;
                const size_t cbKey = offset - keyStart;
                if (pbPreviousKey != nullptr && !KeyFollows(pbPreviousKey, cbPreviousKey, pbKey, cbKey))
                {
                    return false; // out of order, or the same key twice
                }
                pbPreviousKey = pbKey;
                cbPreviousKey = cbKey;
                if (!CheckItem(pbData, cbData, &offset, depth + 1))
                {
                    return false;
                }
            }
            break;
        }
        default:
            break; // integers and simple values are all head
        }
        *pOffset = offset;
        return true;
    }
}

bool IsWellFormedUtf8(const char* pchText, size_t cchText)
{
    const auto* pb = reinterpret_cast<const uint8_t*>(pchText);
    size_t i = 0;
    while (i < cchText)
    {
        const uint8_t lead = pb[i];
        if (lead < 0x80)
        {
            ++i;
            continue;
        }
        size_t cbTail;
        uint32_t codePoint;
        uint32_t smallest;
        if ((lead & 0xE0) == 0xC0)
        {
            cbTail = 1;
            codePoint = lead & 0x1Fu;
            smallest = 0x80;
        }
        else if ((lead & 0xF0) == 0xE0)
        {
            cbTail = 2;
            codePoint = lead & 0x0Fu;
            smallest = 0x800;
        }
        else if ((lead & 0xF8) == 0xF0)
        {
            cbTail = 3;
            codePoint = lead & 0x07u;
            smallest = 0x10000;
        }
        else
        {
            return false;
        }
        if (cbTail > cchText - i - 1)
        {
            return false;
        }
        for (size_t k = 1; k <= cbTail; ++k)
        {
            const uint8_t next = pb[i + k];
            if ((next & 0xC0) != 0x80)
            {
                return false;
            }
            codePoint = (codePoint << 6) | (next & 0x3Fu);
        }
        if (codePoint < smallest || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        {
            return false;
        }
        i += cbTail + 1;
    }
    return true;
}

bool CheckCanonicalCbor(const uint8_t* pbData, size_t cbData, size_t* pcbItem)
{
    if (pbData == nullptr || pcbItem == nullptr)
    {
        return false;
    }
    size_t offset = 0;
    if (!CheckItem(pbData, cbData, &offset, 0))
    {
        return false;
    }
    *pcbItem = offset;
    return true;
}

CCborReader::CCborReader(const uint8_t* pbData, size_t cbData)
    : _pbData(pbData), _cbData(pbData != nullptr ? cbData : 0)
{
}

bool CCborReader::PeekType(CborType* pType) const
{
    size_t offset = _offset;
    uint64_t argument = 0;
    return DecodeHead(_pbData, _cbData, &offset, pType, &argument);
}

bool CCborReader::ReadHead(CborType type, uint64_t* pArgument)
{
    size_t offset = _offset;
    CborType found = CborType::Simple;
    uint64_t argument = 0;
    if (!DecodeHead(_pbData, _cbData, &offset, &found, &argument) || found != type ||
        !FitsRemaining(type, argument, _cbData - offset))
    {
        return false;
    }
    _offset = offset;
    *pArgument = argument;
    return true;
}

bool CCborReader::ReadUnsigned(uint64_t* pValue)
{
    return ReadHead(CborType::Unsigned, pValue);
}

bool CCborReader::ReadInteger(int64_t* pValue)
{
    const size_t start = _offset;
    uint64_t argument = 0;
    if (ReadHead(CborType::Unsigned, &argument))
    {
        if (argument > static_cast<uint64_t>(INT64_MAX))
        {
            _offset = start;
            return false;
        }
        *pValue = static_cast<int64_t>(argument);
        return true;
    }
    if (ReadHead(CborType::Negative, &argument))
    {
        if (argument > static_cast<uint64_t>(INT64_MAX))
        {
            _offset = start;
            return false;
        }
        *pValue = -1 - static_cast<int64_t>(argument);
        return true;
    }
    return false;
}

bool CCborReader::ReadBytes(const uint8_t** ppbValue, size_t* pcbValue)
{
    uint64_t length;
    if (!ReadHead(CborType::Bytes, &length))
    {
        return false;
    }
    *ppbValue = _pbData + _offset;
    *pcbValue = static_cast<size_t>(length);
    _offset += static_cast<size_t>(length);
    return true;
}

bool CCborReader::ReadText(const char** ppchValue, size_t* pcchValue)
{
    const size_t start = _offset;
    uint64_t length;
    if (!ReadHead(CborType::Text, &length))
    {
        return false;
    }
    const char* pch = reinterpret_cast<const char*>(_pbData + _offset);
    if (!IsWellFormedUtf8(pch, static_cast<size_t>(length)))
    {
        _offset = start;
        return false;
    }
    *ppchValue = pch;
    *pcchValue = static_cast<size_t>(length);
    _offset += static_cast<size_t>(length);
    return true;
}

bool CCborReader::ReadBoolean(bool* pValue)
{
    const size_t start = _offset;
    uint64_t simple;
    if (!ReadHead(CborType::Simple, &simple))
    {
        return false;
    }
    if (simple != SIMPLE_FALSE && simple != SIMPLE_TRUE)
    {
        _offset = start;
        return false;
    }
    *pValue = simple == SIMPLE_TRUE;
    return true;
}

bool CCborReader::ReadArrayHeader(size_t* pcItems)
{
    uint64_t count = 0;
    if (!ReadHead(CborType::Array, &count))
    {
        return false;
    }
    *pcItems = static_cast<size_t>(count);
    return true;
}

bool CCborReader::ReadMapHeader(size_t* pcEntries)
{
    uint64_t count = 0;
    if (!ReadHead(CborType::Map, &count))
    {
        return false;
    }
    *pcEntries = static_cast<size_t>(count);
    return true;
}

bool CCborReader::SkipItem()
{
    size_t cbItem = 0;
    if (_pbData == nullptr || !CheckCanonicalCbor(_pbData + _offset, _cbData - _offset, &cbItem))
    {
        return false;
    }
    _offset += cbItem;
    return true;
}

bool CCborReader::ReadTextIf(const char* pszExpected)
{
    const size_t start = _offset;
    const char* pch = nullptr;
    size_t cch = 0;
    if (!ReadText(&pch, &cch))
    {
        return false;
    }
    if (cch != std::strlen(pszExpected) || std::memcmp(pch, pszExpected, cch) != 0)
    {
        _offset = start;
        return false;
    }
    return true;
}
