#include "Sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
    std::string Hex(const uint8_t* pb, size_t cb)
    {
        static const char DIGITS[] = "0123456789abcdef";
        std::string text;
        for (size_t i = 0; i < cb; ++i)
        {
            text += DIGITS[pb[i] >> 4];
            text += DIGITS[pb[i] & 15];
        }
        return text;
    }

    std::vector<uint8_t> Bytes(const std::string& text)
    {
        return std::vector<uint8_t>(text.begin(), text.end());
    }

    std::vector<uint8_t> Pattern(size_t length)
    {
        std::vector<uint8_t> bytes(length);
        for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
        return bytes;
    }

    std::string OneShot(const std::vector<uint8_t>& message)
    {
        uint8_t digest[32] = {};
        Sha256(message.data(), static_cast<uint32_t>(message.size()), digest, sizeof(digest));
        return Hex(digest, sizeof(digest));
    }

    std::string InPieces(const std::vector<uint8_t>& message, size_t pieceLength)
    {
        Sha256Context context;
        Sha256Init(&context);
        for (size_t offset = 0; offset < message.size(); offset += pieceLength)
        {
            const size_t length = std::min(pieceLength, message.size() - offset);
            Sha256Update(&context, message.data() + offset, static_cast<uint32_t>(length));
        }
        uint8_t digest[32];
        Sha256Final(&context, digest);
        return Hex(digest, sizeof(digest));
    }

    std::string Hmac(const std::vector<uint8_t>& key, const std::vector<uint8_t>& message, size_t outputLength = 32)
    {
        uint8_t mac[48] = {};
        const size_t written = HmacSha256(key.data(), key.size(), message.data(), message.size(), mac, outputLength);
        EXPECT_EQ(std::min<size_t>(outputLength, 32), written);
        return Hex(mac, written);
    }
}

TEST(Sha256, FipsVectors)
{
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", OneShot(Bytes("abc")));
    EXPECT_EQ("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
              OneShot(Bytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")));
    EXPECT_EQ("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
              OneShot(std::vector<uint8_t>(1000000, 'a')));
}

TEST(Sha256, LengthsAroundTheFinalBlockAgreeWhetherFedAtOnceOrInPieces)
{
    const struct { size_t length; const char* digest; } cases[] = {
        { 0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855" },
        { 55, "e7313d333c272e639f790978283f9eb392e843d0f29b7016828bb1daa4aac70b" },
        { 56, "4324d65f3c103567f5589c710bc08f8523f929a9272e3af36fc968e52abc6c27" },
        { 63, "81c80242132f230c3bd41b3e63bbcff16107339549214a99614ff26664625055" },
        { 64, "39e3d7b6b5d075d37d053ad89b24b41bef4f3c29760c84447cab3f3be1882241" },
        { 65, "aacca6ff74fdbb296d165a45cecfa04e5127bc008770fbbdd48006f2d2fae95e" },
        { 1000, "1e9bc38cbf860b9ec31918b065f9b52476c549a782e0e7990bed8ce3868d2371" },
    };
    for (const auto& c : cases)
    {
        const auto message = Pattern(c.length);
        EXPECT_EQ(c.digest, OneShot(message)) << c.length;
        for (size_t piece : { 1, 3, 63, 64, 65 })
        {
            EXPECT_EQ(c.digest, InPieces(message, piece)) << c.length << " in pieces of " << piece;
        }
    }
}

TEST(Sha256, OutputLengthIsCappedAtTheDigest)
{
    uint8_t output[40];
    memset(output, 0xEE, sizeof(output));
    const auto message = Bytes("abc");
    Sha256(message.data(), 3, output, 16);
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223", Hex(output, 16));
    EXPECT_EQ(0xEE, output[16]);
    Sha256(message.data(), 3, output, sizeof(output));
    EXPECT_EQ(0xEE, output[32]);
}

TEST(Sha256, ContextInImpossibleStateIsLeftAlone)
{
    Sha256Context context;
    Sha256Init(&context);
    context.bufferLength = 65;
    const uint8_t data[3] = { 1, 2, 3 };
    Sha256Update(&context, data, 3);
    EXPECT_EQ(0u, context.bitCount);
    uint8_t digest[32];
    memset(digest, 0xAB, sizeof(digest));
    context.bufferLength = 64;
    Sha256Final(&context, digest);
    EXPECT_EQ(0xAB, digest[0]);
}

TEST(HmacSha256, Rfc4231Cases)
{
    std::vector<uint8_t> key25;
    for (uint8_t i = 1; i <= 25; ++i) key25.push_back(i);
    EXPECT_EQ("b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7",
              Hmac(std::vector<uint8_t>(20, 0x0b), Bytes("Hi There")));
    EXPECT_EQ("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843",
              Hmac(Bytes("Jefe"), Bytes("what do ya want for nothing?")));
    EXPECT_EQ("773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe",
              Hmac(std::vector<uint8_t>(20, 0xaa), std::vector<uint8_t>(50, 0xdd)));
    EXPECT_EQ("82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b",
              Hmac(key25, std::vector<uint8_t>(50, 0xcd)));
    // Case 5 is specified truncated to 128 bits.
    EXPECT_EQ("a3b6167473100ee06e0c796c2955552b",
              Hmac(std::vector<uint8_t>(20, 0x0c), Bytes("Test With Truncation"), 16));
    EXPECT_EQ("60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54",
              Hmac(std::vector<uint8_t>(131, 0xaa), Bytes("Test Using Larger Than Block-Size Key - Hash Key First")));
    EXPECT_EQ("9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2",
              Hmac(std::vector<uint8_t>(131, 0xaa),
                   Bytes("This is a test using a larger than block-size key and a larger than block-size data. "
                         "The key needs to be hashed before being used by the HMAC algorithm.")));
}

TEST(HmacSha256, KeyOfExactlyOneBlockAndEmptyMessage)
{
    std::vector<uint8_t> key64;
    for (int i = 0; i < 64; ++i) key64.push_back(static_cast<uint8_t>(i));
    EXPECT_EQ("a5347accf12c5c3edf87ddb44e5b3a1c6957591c7092e527c2e63a5e48f8ebc5", Hmac(key64, Bytes("msg")));
    EXPECT_EQ("5d5d139563c95b5967b9bd9a8c9b233a9dedb45072794cd232dc1b74832607d0", Hmac(Bytes("key"), {}));
    EXPECT_EQ(32u, Hmac(Bytes("key"), {}, 48).size() / 2);
}
