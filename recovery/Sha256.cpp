#include "Sha256.h"

#include <cstring>

namespace
{
    const uint32_t K[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
    };

    const uint32_t INITIAL_STATE[8] = {
        0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
    };

    constexpr uint8_t HMAC_INNER_PAD = 0x36;
    constexpr uint8_t HMAC_OUTER_PAD = 0x5C;

    inline uint32_t RotateRight(uint32_t x, unsigned n)
    {
        return (x >> n) | (x << (32 - n));
    }

    inline uint32_t LoadBigEndian32(const uint8_t* pb)
    {
        return (uint32_t(pb[0]) << 24) | (uint32_t(pb[1]) << 16) | (uint32_t(pb[2]) << 8) | uint32_t(pb[3]);
    }

    inline void StoreBigEndian32(uint8_t* pb, uint32_t x)
    {
        pb[0] = uint8_t(x >> 24);
        pb[1] = uint8_t(x >> 16);
        pb[2] = uint8_t(x >> 8);
        pb[3] = uint8_t(x);
    }

    size_t Smaller(size_t a, size_t b)
    {
        return a < b ? a : b;
    }
}

void Sha256Init(Sha256Context* pContext)
{
    pContext->bitCount = 0;
    memcpy(pContext->state, INITIAL_STATE, sizeof(INITIAL_STATE));
    pContext->bufferLength = 0;
    memset(pContext->buffer, 0, sizeof(pContext->buffer));
}

void Sha256Transform(Sha256Context* pContext, const uint8_t* pbBlock)
{
    uint32_t w[64];
    for (int t = 0; t < 16; ++t)
    {
        w[t] = LoadBigEndian32(pbBlock + 4 * t);
    }
    for (int t = 16; t < 64; ++t)
    {
        const uint32_t s0 = RotateRight(w[t - 15], 7) ^ RotateRight(w[t - 15], 18) ^ (w[t - 15] >> 3);
        const uint32_t s1 = RotateRight(w[t - 2], 17) ^ RotateRight(w[t - 2], 19) ^ (w[t - 2] >> 10);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    uint32_t a = pContext->state[0], b = pContext->state[1], c = pContext->state[2], d = pContext->state[3];
    uint32_t e = pContext->state[4], f = pContext->state[5], g = pContext->state[6], h = pContext->state[7];
    for (int t = 0; t < 64; ++t)
    {
        const uint32_t s1 = RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25);
        const uint32_t ch = (e & f) ^ (~e & g);
        const uint32_t temp1 = h + s1 + ch + K[t] + w[t];
        const uint32_t s0 = RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22);
        const uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
        const uint32_t temp2 = s0 + maj;
        h = g;
        g = f;
        f = e;
        e = d + temp1;
        d = c;
        c = b;
        b = a;
        a = temp1 + temp2;
    }
    pContext->state[0] += a;
    pContext->state[1] += b;
    pContext->state[2] += c;
    pContext->state[3] += d;
    pContext->state[4] += e;
    pContext->state[5] += f;
    pContext->state[6] += g;
    pContext->state[7] += h;
}

void Sha256Update(Sha256Context* pContext, const uint8_t* pbData, uint32_t cbData)
{
    if (pContext->bufferLength > SHA256_BLOCK_SIZE)
    {
        return;
    }
    while (cbData > 0)
    {
        if (pContext->bufferLength == 0 && cbData >= SHA256_BLOCK_SIZE)
        {
            // Whole blocks are compressed straight from the input.
            Sha256Transform(pContext, pbData);
            pContext->bitCount += 512;
            pbData += SHA256_BLOCK_SIZE;
            cbData -= static_cast<uint32_t>(SHA256_BLOCK_SIZE);
            continue;
        }
        const uint32_t cbCopy = static_cast<uint32_t>(Smaller(cbData, SHA256_BLOCK_SIZE - pContext->bufferLength));
        memcpy(pContext->buffer + pContext->bufferLength, pbData, cbCopy);
        pContext->bufferLength += cbCopy;
        pbData += cbCopy;
        cbData -= cbCopy;
        if (pContext->bufferLength == SHA256_BLOCK_SIZE)
        {
            Sha256Transform(pContext, pContext->buffer);
            pContext->bitCount += 512;
            pContext->bufferLength = 0;
        }
    }
}

void Sha256Final(Sha256Context* pContext, uint8_t (&rgbDigest)[SHA256_DIGEST_SIZE])
{
    if (pContext->bufferLength > SHA256_BLOCK_SIZE - 1)
    {
        return;
    }
    pContext->bitCount += 8ull * pContext->bufferLength;
    uint32_t length = pContext->bufferLength;
    pContext->buffer[length++] = 0x80;
    if (length > 56)
    {
        memset(pContext->buffer + length, 0, SHA256_BLOCK_SIZE - length);
        Sha256Transform(pContext, pContext->buffer);
        length = 0;
    }
    memset(pContext->buffer + length, 0, 56 - length);
    for (int i = 0; i < 8; ++i)
    {
        pContext->buffer[56 + i] = static_cast<uint8_t>(pContext->bitCount >> (56 - 8 * i));
    }
    Sha256Transform(pContext, pContext->buffer);
    pContext->bufferLength = 0;
    for (int i = 0; i < 8; ++i)
    {
        StoreBigEndian32(rgbDigest + 4 * i, pContext->state[i]);
    }
}

uint8_t* Sha256(const uint8_t* pbData, uint32_t cbData, uint8_t* pbOutput, size_t cbOutput)
{
    Sha256Context context;
    Sha256Init(&context);
    Sha256Update(&context, pbData, cbData);
    uint8_t rgbDigest[SHA256_DIGEST_SIZE];
    Sha256Final(&context, rgbDigest);
    memcpy(pbOutput, rgbDigest, Smaller(cbOutput, SHA256_DIGEST_SIZE));
    return pbOutput;
}

namespace
{
    // Messages longer than 32 bits of length are fed in pieces.
    void Sha256UpdateLong(Sha256Context* pContext, const uint8_t* pbData, size_t cbData)
    {
        while (cbData > 0)
        {
            const uint32_t cbPiece = cbData > 0x40000000 ? 0x40000000u : static_cast<uint32_t>(cbData);
            Sha256Update(pContext, pbData, cbPiece);
            pbData += cbPiece;
            cbData -= cbPiece;
        }
    }
}

size_t HmacSha256(const uint8_t* pbKey, size_t cbKey, const uint8_t* pbMessage, size_t cbMessage,
                  uint8_t* pbOutput, size_t cbOutput)
{
    uint8_t rgbKeyBlock[SHA256_BLOCK_SIZE] = {};
    if (cbKey > SHA256_BLOCK_SIZE)
    {
        Sha256Context keyContext;
        Sha256Init(&keyContext);
        Sha256UpdateLong(&keyContext, pbKey, cbKey);
        uint8_t rgbKeyDigest[SHA256_DIGEST_SIZE];
        Sha256Final(&keyContext, rgbKeyDigest);
        memcpy(rgbKeyBlock, rgbKeyDigest, sizeof(rgbKeyDigest));
    }
    else if (cbKey > 0)
    {
        memcpy(rgbKeyBlock, pbKey, cbKey);
    }

    uint8_t rgbInnerPad[SHA256_BLOCK_SIZE];
    uint8_t rgbOuterPad[SHA256_BLOCK_SIZE];
    for (size_t i = 0; i < SHA256_BLOCK_SIZE; ++i)
    {
        rgbInnerPad[i] = static_cast<uint8_t>(rgbKeyBlock[i] ^ HMAC_INNER_PAD);
        rgbOuterPad[i] = static_cast<uint8_t>(rgbKeyBlock[i] ^ HMAC_OUTER_PAD);
    }

    // The pad blocks and the message are fed part by part: no heap, nothing to fail.
    Sha256Context context;
    Sha256Init(&context);
    Sha256Update(&context, rgbInnerPad, sizeof(rgbInnerPad));
    Sha256UpdateLong(&context, pbMessage, cbMessage);
    uint8_t rgbInnerHash[SHA256_DIGEST_SIZE];
    Sha256Final(&context, rgbInnerHash);

    Sha256Init(&context);
    Sha256Update(&context, rgbOuterPad, sizeof(rgbOuterPad));
    Sha256Update(&context, rgbInnerHash, sizeof(rgbInnerHash));
    uint8_t rgbMac[SHA256_DIGEST_SIZE];
    Sha256Final(&context, rgbMac);

    const size_t cbWritten = Smaller(cbOutput, SHA256_DIGEST_SIZE);
    memcpy(pbOutput, rgbMac, cbWritten);
    // The key block and pads hold key material.
    volatile uint8_t* pbWipe = rgbKeyBlock;
    for (size_t i = 0; i < sizeof(rgbKeyBlock); ++i) pbWipe[i] = 0;
    return cbWritten;
}
