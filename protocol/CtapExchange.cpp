#include "CtapExchange.h"

#include <cstring>

CCtapAnswerBuffer::CCtapAnswerBuffer(uint8_t* pbBuffer, size_t cbCapacity)
    : _pbBuffer(pbBuffer), _cbCapacity(pbBuffer != nullptr ? cbCapacity : 0)
{
}

bool CCtapAnswerBuffer::Append(const uint8_t* pbData, size_t cbData)
{
    if (_fOverflowed || (pbData == nullptr && cbData != 0))
    {
        return false;
    }
    if (cbData > _cbCapacity - _cbLength)
    {
        _fOverflowed = true;
        return false;
    }
    if (cbData != 0)
    {
        std::memcpy(_pbBuffer + _cbLength, pbData, cbData);
    }
    _cbLength += cbData;
    return true;
}

void CCtapAnswerBuffer::Reset()
{
    _cbLength = 0;
    _fOverflowed = false;
}
