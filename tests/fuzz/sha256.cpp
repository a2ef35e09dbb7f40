// SHA-256 and HMAC-SHA256 over any message and key: fed at once or in pieces of any
// sizes the answer is the same, HMAC agrees with its definition over SHA-256, and no
// more output is written than asked for. Input: a key length, an output length, piece
// sizes, then key and message bytes.
#include "FuzzInput.h"
#include "Sha256.h"

#include <cstring>
#include <vector>

namespace
{
    std::vector<uint8_t> Digest(const std::vector<uint8_t>& message)
    {
        std::vector<uint8_t> digest(SHA256_DIGEST_SIZE);
        Sha256(message.data(), static_cast<uint32_t>(message.size()), digest.data(), digest.size());
        return digest;
    }

    // RFC 2104 written out over the one-shot hash.
    std::vector<uint8_t> ReferenceHmac(const std::vector<uint8_t>& key, const std::vector<uint8_t>& message)
    {
        std::vector<uint8_t> block = key.size() > SHA256_BLOCK_SIZE ? Digest(key) : key;
        block.resize(SHA256_BLOCK_SIZE, 0);
        std::vector<uint8_t> inner(block), outer(block);
        for (uint8_t& b : inner) b ^= 0x36;
        for (uint8_t& b : outer) b ^= 0x5C;
        inner.insert(inner.end(), message.begin(), message.end());
        const std::vector<uint8_t> innerHash = Digest(inner);
        outer.insert(outer.end(), innerHash.begin(), innerHash.end());
        return Digest(outer);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput input(data, size);
    const size_t cbKey = input.Upto(200);
    const size_t cbOutput = input.Upto(40);
    uint8_t pieces[4];
    for (uint8_t& piece : pieces) piece = input.Byte();
    const std::vector<uint8_t> key = input.Bytes(cbKey);
    const std::vector<uint8_t> message = input.Rest();

    const std::vector<uint8_t> whole = Digest(message);

    // The same message in pieces of the sizes chosen, 0 included.
    Sha256Context context;
    Sha256Init(&context);
    const auto messageBlock = ExactCopy(message.data(), message.size());
    size_t offset = 0;
    for (size_t i = 0; offset < message.size(); ++i)
    {
        const size_t length = std::min<size_t>(pieces[i % 4] % 131, message.size() - offset);
        Sha256Update(&context, messageBlock.get() + offset, static_cast<uint32_t>(length));
        offset += length;
        FUZZ_CHECK(context.bufferLength < SHA256_BLOCK_SIZE);
        if (i > message.size() + 4) // only zero-sized pieces chosen: finish in one
        {
            Sha256Update(&context, messageBlock.get() + offset, static_cast<uint32_t>(message.size() - offset));
            offset = message.size();
        }
    }
    uint8_t pieced[SHA256_DIGEST_SIZE];
    Sha256Final(&context, pieced);
    FUZZ_CHECK(std::memcmp(pieced, whole.data(), SHA256_DIGEST_SIZE) == 0);

    // Output capped at what was asked for, into a block of exactly that size.
    const std::vector<uint8_t> filler(cbOutput, 0xEE);
    const auto shortDigest = ExactCopy(filler.data(), cbOutput);
    FUZZ_CHECK(Sha256(messageBlock.get(), static_cast<uint32_t>(message.size()), shortDigest.get(), cbOutput) ==
               shortDigest.get());
    const size_t cbExpected = std::min(cbOutput, SHA256_DIGEST_SIZE);
    FUZZ_CHECK(std::memcmp(shortDigest.get(), whole.data(), cbExpected) == 0);

    const auto keyBlock = ExactCopy(key.data(), key.size());
    const auto mac = ExactCopy(filler.data(), cbOutput);
    const size_t cbWritten = HmacSha256(keyBlock.get(), key.size(), messageBlock.get(), message.size(), mac.get(), cbOutput);
    FUZZ_CHECK(cbWritten == cbExpected);
    const std::vector<uint8_t> reference = ReferenceHmac(key, message);
    FUZZ_CHECK(std::memcmp(mac.get(), reference.data(), cbExpected) == 0);
    return 0;
}
