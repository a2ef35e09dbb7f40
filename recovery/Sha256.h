#pragma once
// SHA-256 (FIPS 180-4) and HMAC-SHA256 (RFC 2104). No Windows headers.
#include <cstddef>
#include <cstdint>

constexpr size_t SHA256_BLOCK_SIZE = 64;
constexpr size_t SHA256_DIGEST_SIZE = 32;

struct Sha256Context
{
    uint64_t bitCount;
    uint32_t state[8];
    uint32_t bufferLength;
    uint8_t buffer[SHA256_BLOCK_SIZE];
};

void Sha256Init(Sha256Context* pContext);
void Sha256Update(Sha256Context* pContext, const uint8_t* pbData, uint32_t cbData);
void Sha256Final(Sha256Context* pContext, uint8_t (&rgbDigest)[SHA256_DIGEST_SIZE]);
void Sha256Transform(Sha256Context* pContext, const uint8_t* pbBlock);

// Writes the first min(cbOutput, 32) digest bytes; returns pbOutput.
uint8_t* Sha256(const uint8_t* pbData, uint32_t cbData, uint8_t* pbOutput, size_t cbOutput);

// Writes the first min(cbOutput, 32) MAC bytes and returns that count.
size_t HmacSha256(const uint8_t* pbKey, size_t cbKey, const uint8_t* pbMessage, size_t cbMessage,
                  uint8_t* pbOutput, size_t cbOutput);
