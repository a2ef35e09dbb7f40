#include "P256Curve.h"

namespace
{
    // A number below 2^256 as eight 32-bit limbs, least significant first.
    struct U256
    {
        uint32_t limb[8];
    };

    const U256 PRIME = { { 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0x00000000, 0x00000000, 0x00000000, 0x00000001, 0xFFFFFFFF } };
    const U256 CURVE_B = { { 0x27D2604B, 0x3BCE3C3E, 0xCC53B0F6, 0x651D06B0, 0x769886BC, 0xB3EBBD55, 0xAA3A93E7, 0x5AC635D8 } };

    U256 FromBigEndian(const uint8_t* pb)
    {
        U256 value = {};
        for (int i = 0; i < 8; ++i)
        {
            const uint8_t* pLimb = pb + (7 - i) * 4;
            value.limb[i] = (uint32_t(pLimb[0]) << 24) | (uint32_t(pLimb[1]) << 16) | (uint32_t(pLimb[2]) << 8) | pLimb[3];
        }
        return value;
    }

    bool IsBelow(const U256& a, const U256& b)
    {
        for (int i = 7; i >= 0; --i)
        {
            if (a.limb[i] != b.limb[i]) return a.limb[i] < b.limb[i];
        }
        return false;
    }

    bool Equal(const U256& a, const U256& b)
    {
        return !IsBelow(a, b) && !IsBelow(b, a);
    }

    // a - b modulo 2^256.
    U256 Subtract(const U256& a, const U256& b)
    {
        U256 difference = {};
        uint64_t borrow = 0;
        for (int i = 0; i < 8; ++i)
        {
            const uint64_t d = uint64_t(a.limb[i]) - b.limb[i] - borrow;
            difference.limb[i] = static_cast<uint32_t>(d);
            borrow = (d >> 32) & 1;
        }
        return difference;
    }

    // a + b modulo 2^256; *pCarry receives the bit that fell off.
    U256 Add(const U256& a, const U256& b, bool* pCarry)
    {
        U256 sum = {};
        uint64_t carry = 0;
        for (int i = 0; i < 8; ++i)
        {
            const uint64_t s = uint64_t(a.limb[i]) + b.limb[i] + carry;
            sum.limb[i] = static_cast<uint32_t>(s);
            carry = s >> 32;
        }
        *pCarry = carry != 0;
        return sum;
    }

    // Both below p.
    U256 AddMod(const U256& a, const U256& b)
    {
        bool carry = false;
        const U256 sum = Add(a, b, &carry);
        return (carry || !IsBelow(sum, PRIME)) ? Subtract(sum, PRIME) : sum;
    }

    U256 SubtractMod(const U256& a, const U256& b)
    {
        const U256 difference = Subtract(a, b);
        if (!IsBelow(a, b)) return difference;
        bool carry = false;
        return Add(difference, PRIME, &carry); // wraps back below p
    }

    // a * b mod p for a and b below p: the 512-bit product, reduced one bit at a time.
    // Slow and plain; a key is checked once per import.
    U256 MultiplyMod(const U256& a, const U256& b)
    {
        uint32_t product[16] = {};
        for (int i = 0; i < 8; ++i)
        {
            uint64_t carry = 0;
            for (int j = 0; j < 8; ++j)
            {
                const uint64_t t = uint64_t(a.limb[i]) * b.limb[j] + product[i + j] + carry;
                product[i + j] = static_cast<uint32_t>(t);
                carry = t >> 32;
            }
            product[i + 8] = static_cast<uint32_t>(carry);
        }
        U256 remainder = {};
        for (int bit = 511; bit >= 0; --bit)
        {
            // remainder = 2 * remainder + bit, then below p again; remainder < p before,
            // so the doubled value is below 2p and one subtraction is enough.
            bool carry = false;
            U256 doubled = Add(remainder, remainder, &carry);
            doubled.limb[0] |= (product[bit / 32] >> (bit % 32)) & 1;
            remainder = (carry || !IsBelow(doubled, PRIME)) ? Subtract(doubled, PRIME) : doubled;
        }
        return remainder;
    }
}

bool IsP256PublicKey(const uint8_t* pbKey, size_t cbKey)
{
    if (pbKey == nullptr || cbKey != P256_PUBLIC_KEY_BYTES || pbKey[0] != 0x04)
    {
        return false;
    }
    const U256 x = FromBigEndian(pbKey + 1);
    const U256 y = FromBigEndian(pbKey + 33);
    if (!IsBelow(x, PRIME) || !IsBelow(y, PRIME))
    {
        return false;
    }
    const U256 left = MultiplyMod(y, y);
    U256 right = MultiplyMod(MultiplyMod(x, x), x);
    right = SubtractMod(right, x);
    right = SubtractMod(right, x);
    right = SubtractMod(right, x);
    right = AddMod(right, CURVE_B);
    return Equal(left, right);
}
