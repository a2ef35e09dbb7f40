#include "EcdsaSignature.h"

#include <cstring>

namespace
{
    constexpr uint8_t DER_SEQUENCE = 0x30;
    constexpr uint8_t DER_INTEGER = 0x02;

    // A DER length at pbDer[*pOffset]: the short form, or the long form with one or two
    // length bytes and no shorter form possible. Moves past it only on success.
    bool ReadDerLength(const uint8_t* pbDer, size_t cbDer, size_t* pOffset, size_t* pcbValue)
    {
        size_t offset = *pOffset;
        if (offset >= cbDer)
        {
            return false;
        }
        const uint8_t first = pbDer[offset++];
        size_t length;
        if (first < 0x80)
        {
            length = first;
        }
        else if (first == 0x81)
        {
            if (offset >= cbDer || pbDer[offset] < 0x80)
            {
                return false;
            }
            length = pbDer[offset++];
        }
        else if (first == 0x82)
        {
            if (cbDer - offset < 2 || pbDer[offset] == 0)
            {
                return false;
            }
            length = (static_cast<size_t>(pbDer[offset]) << 8) | pbDer[offset + 1];
            offset += 2;
        }
        else
        {
            return false; // indefinite (80) or more length bytes than any signature needs
        }
        if (length > cbDer - offset)
        {
            return false;
        }
        *pOffset = offset;
        *pcbValue = length;
        return true;
    }

    // One positive INTEGER of at most 32 significant bytes, left-padded into rgbScalar.
    bool ReadScalar(const uint8_t* pbDer, size_t cbDer, size_t* pOffset, uint8_t* pbScalar)
    {
        size_t offset = *pOffset;
        size_t cbValue;
        if (offset >= cbDer || pbDer[offset++] != DER_INTEGER || !ReadDerLength(pbDer, cbDer, &offset, &cbValue))
        {
            return false;
        }
        if (cbValue == 0 || cbValue > ECDSA_P256_SCALAR_BYTES + 1)
        {
            return false;
        }
        const size_t end = offset + cbValue;
        const uint8_t* pbValue = pbDer + offset;
        if ((pbValue[0] & 0x80) != 0)
        {
            return false; // negative
        }
        if (pbValue[0] == 0x00)
        {
            if (cbValue == 1 || (pbValue[1] & 0x80) == 0)
            {
                return false; // zero, or a leading zero that is not needed
            }
            ++pbValue;
            --cbValue;
        }
        if (cbValue > ECDSA_P256_SCALAR_BYTES)
        {
            return false;
        }
        std::memset(pbScalar, 0, ECDSA_P256_SCALAR_BYTES - cbValue);
        std::memcpy(pbScalar + ECDSA_P256_SCALAR_BYTES - cbValue, pbValue, cbValue);
        *pOffset = end;
        return true;
    }

    // INTEGER of one scalar; returns the bytes written.
    size_t WriteScalar(const uint8_t* pbScalar, uint8_t* pbOut)
    {
        size_t skip = 0;
        while (skip < ECDSA_P256_SCALAR_BYTES && pbScalar[skip] == 0)
        {
            ++skip;
        }
        const size_t cbSignificant = ECDSA_P256_SCALAR_BYTES - skip;
        const bool fPad = (pbScalar[skip] & 0x80) != 0;
        size_t offset = 0;
        pbOut[offset++] = DER_INTEGER;
        pbOut[offset++] = static_cast<uint8_t>(cbSignificant + (fPad ? 1 : 0));
        if (fPad)
        {
            pbOut[offset++] = 0x00;
        }
        std::memcpy(pbOut + offset, pbScalar + skip, cbSignificant);
        return offset + cbSignificant;
    }

    bool IsZero(const uint8_t* pb, size_t cb)
    {
        for (size_t i = 0; i < cb; ++i)
        {
            if (pb[i] != 0)
            {
                return false;
            }
        }
        return true;
    }
}

bool ConvertDerSignature(const uint8_t* pbDer, size_t cbDer, uint8_t (&rgbRawSignature)[ECDSA_P256_SIGNATURE_BYTES])
{
    if (pbDer == nullptr || cbDer > ECDSA_P256_DER_MAX_BYTES)
    {
        return false;
    }
    size_t offset = 0;
    size_t cbSequence;
    if (cbDer < 2 || pbDer[offset++] != DER_SEQUENCE || !ReadDerLength(pbDer, cbDer, &offset, &cbSequence) ||
        offset + cbSequence != cbDer)
    {
        return false; // not a sequence, or bytes after it
    }
    uint8_t raw[ECDSA_P256_SIGNATURE_BYTES];
    if (!ReadScalar(pbDer, cbDer, &offset, raw) || !ReadScalar(pbDer, cbDer, &offset, raw + ECDSA_P256_SCALAR_BYTES) ||
        offset != cbDer)
    {
        return false; // a third element, or integers that do not fill the sequence
    }
    std::memcpy(rgbRawSignature, raw, sizeof(raw));
    return true;
}

size_t EncodeDerSignature(const uint8_t (&rgbRawSignature)[ECDSA_P256_SIGNATURE_BYTES], uint8_t* pbDer, size_t cbDer)
{
    if (IsZero(rgbRawSignature, ECDSA_P256_SCALAR_BYTES) ||
        IsZero(rgbRawSignature + ECDSA_P256_SCALAR_BYTES, ECDSA_P256_SCALAR_BYTES))
    {
        return 0;
    }
    uint8_t der[ECDSA_P256_DER_MAX_BYTES];
    size_t offset = 2;
    offset += WriteScalar(rgbRawSignature, der + offset);
    offset += WriteScalar(rgbRawSignature + ECDSA_P256_SCALAR_BYTES, der + offset);
    der[0] = DER_SEQUENCE;
    der[1] = static_cast<uint8_t>(offset - 2);
    if (pbDer == nullptr || offset > cbDer)
    {
        return 0;
    }
    std::memcpy(pbDer, der, offset);
    return offset;
}
