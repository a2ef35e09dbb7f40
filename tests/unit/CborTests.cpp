#include "CborReader.h"
#include "CborWriter.h"
#include "EcdsaSignature.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace
{
    // Hex digits to bytes; spaces are for reading only.
    std::vector<uint8_t> Hex(const std::string& text)
    {
        std::vector<uint8_t> bytes;
        std::string digits;
        for (char c : text) if (c != ' ') digits += c;
        for (size_t i = 0; i + 1 < digits.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
        return bytes;
    }

    bool Canonical(const std::string& hex, size_t* pcbItem = nullptr)
    {
        const std::vector<uint8_t> bytes = Hex(hex);
        size_t cbItem = 0;
        const bool fOk = CheckCanonicalCbor(bytes.data(), bytes.size(), &cbItem) && cbItem == bytes.size();
        if (pcbItem != nullptr) *pcbItem = cbItem;
        return fOk;
    }
}

TEST(CborReader, RefusesEveryBreachOfTheCanonicalForm)
{
    const char* const REFUSED[] = {
        "", "1817", "190017", "1a0000ffff", "1b00000000ffffffff", "3817",  // integers not in their shortest head
        "5801ff", "780161", "980100", "b8010100",                           // lengths and counts not shortest
        "5fff", "7fff", "9fff", "bfff", "ff", "1c", "1d", "1e",              // indefinite lengths, break, reserved
        "a2020001 00", "a2200001 00", "a21818001700", "a26261610061620 0",  // key order: value, major type, length
        "a2616100 0100", "a2010001 00", "a2616100616100",                   // text before integer, duplicate keys
        "c000", "d81800", "f93c00", "fa3f800000", "fb3ff0000000000000",      // tags and floats
        "f7", "f820", "e0",                                                  // undefined and other simple values
        "818181818100", "a101a101a101a101a10100",                            // five containers deep
        "4200", "6261", "8200", "a101", "1a0001",                            // lengths beyond the input
        "5bffffffffffffffff", "9bffffffffffffffff", "bbffffffffffffffff",
        "a14000", "a18000", "a1f400",                                        // keys neither integer nor text
        "62c328", "63eda080", "62c080", "64f4908080",                        // text that is not UTF-8
    };
    for (const char* hex : REFUSED) EXPECT_FALSE(Canonical(hex)) << hex;
}

TEST(CborReader, AcceptsTheCanonicalForm)
{
    const char* const ACCEPTED[] = {
        "00", "17", "1818", "190100", "1a00010000", "1b0000000100000000", "20", "3818", "3bffffffffffffffff",
        "40", "60", "80", "a0", "f4", "f5", "f6", "8181818100",
        // Major type before length: 23, 24, then -1 although -1 is shorter than 24.
        "a3170018180020 00", "a2200061 6100", "a3 6161 00 6162 00 626161 00", "6ce282ac e282ac e282ac e282ac",
    };
    for (const char* hex : ACCEPTED) EXPECT_TRUE(Canonical(hex)) << hex;

    // Bytes after the first item are the caller's business.
    size_t cbItem = 0;
    EXPECT_FALSE(Canonical("0001", &cbItem));
    EXPECT_EQ(1u, cbItem);
}

// authenticatorMakeCredential example of the Client to Authenticator Protocol (FIDO
// Alliance, CTAP 2.0 and 2.1, "Example" of the command), written with our writer.
TEST(CborWriter, WritesTheCtapMakeCredentialExample)
{
    const std::vector<uint8_t> expected = Hex(
        "a5015820687134968222ec17202e42505f8ed2b16ae22f16bb05b88c25db9e602645f14102a26269646b6578616d706c652e63"
        "6f6d646e616d656441636d6503a462696458203082019330820138a0030201023082019330820138a00302010230820193308264"
        "69636f6e782b68747470733a2f2f706963732e6578616d706c652e636f6d2f30302f702f61426a6a6a707150622e706e67646e61"
        "6d65766a6f686e70736d697468406578616d706c652e636f6d6b646973706c61794e616d656d4a6f686e20502e20536d69746804"
        "82a263616c672664747970656a7075626c69632d6b6579a263616c6739010064747970656a7075626c69632d6b657907a16272"
        "6bf5");
    size_t cbItem = 0;
    ASSERT_TRUE(CheckCanonicalCbor(expected.data(), expected.size(), &cbItem));
    EXPECT_EQ(expected.size(), cbItem);

    const std::vector<uint8_t> hash = Hex("687134968222ec17202e42505f8ed2b16ae22f16bb05b88c25db9e602645f141");
    const std::vector<uint8_t> userId = Hex("3082019330820138a0030201023082019330820138a003020102308201933082");
    uint8_t buffer[400];
    CCborWriter writer(buffer, sizeof(buffer));
    writer.WriteMapHeader(5);
    writer.WriteUnsigned(1); writer.WriteBytes(hash.data(), hash.size());
    writer.WriteUnsigned(2); writer.WriteMapHeader(2);
    writer.WriteText("id"); writer.WriteText("example.com"); writer.WriteText("name"); writer.WriteText("Acme");
    writer.WriteUnsigned(3); writer.WriteMapHeader(4);
    writer.WriteText("id"); writer.WriteBytes(userId.data(), userId.size());
    writer.WriteText("icon"); writer.WriteText("https://pics.example.com/00/p/aBjjjpqPb.png");
    writer.WriteText("name"); writer.WriteText("johnpsmith@example.com");
    writer.WriteText("displayName"); writer.WriteText("John P. Smith");
    writer.WriteUnsigned(4); writer.WriteArrayHeader(2);
    for (int64_t alg : { -7, -257 })
    {
        writer.WriteMapHeader(2); writer.WriteText("alg"); writer.WriteInteger(alg); writer.WriteText("type"); writer.WriteText("public-key");
    }
    writer.WriteUnsigned(7); writer.WriteMapHeader(1); writer.WriteText("rk"); writer.WriteBoolean(true);
    ASSERT_FALSE(writer.Failed());
    EXPECT_EQ(expected, std::vector<uint8_t>(buffer, buffer + writer.Length()));
}

TEST(CborWriter, ShortestHeadsReadBackByTheReader)
{
    const struct { int64_t value; const char* hex; } INTEGERS[] = {
        { 0, "00" }, { 23, "17" }, { 24, "1818" }, { 255, "18ff" }, { 256, "190100" }, { 65535, "19ffff" },
        { 65536, "1a00010000" }, { 4294967295, "1affffffff" }, { 4294967296, "1b0000000100000000" },
        { INT64_MAX, "1b7fffffffffffffff" }, { -1, "20" }, { -24, "37" }, { -25, "3818" }, { -256, "38ff" },
        { -257, "390100" }, { INT64_MIN, "3b7fffffffffffffff" },
    };
    for (const auto& entry : INTEGERS)
    {
        uint8_t buffer[9];
        CCborWriter writer(buffer, sizeof(buffer));
        writer.WriteInteger(entry.value);
        ASSERT_EQ(Hex(entry.hex), std::vector<uint8_t>(buffer, buffer + writer.Length())) << entry.hex;
        CCborReader reader(buffer, writer.Length());
        int64_t read = 0;
        EXPECT_TRUE(reader.ReadInteger(&read));
        EXPECT_EQ(entry.value, read);
    }
    const std::vector<uint8_t> tooNegative = Hex("3b8000000000000000");
    CCborReader beyond(tooNegative.data(), tooNegative.size());
    int64_t ignored;
    EXPECT_FALSE(beyond.ReadInteger(&ignored)); // -2^63 - 1 does not fit

    for (size_t length : std::vector<size_t>{ 0, 23, 24, 255, 256, 1000 })
    {
        std::vector<uint8_t> value(length, 0x5A);
        std::vector<uint8_t> buffer(length + 3);
        CCborWriter writer(buffer.data(), buffer.size());
        writer.WriteBytes(value.data(), value.size());
        ASSERT_FALSE(writer.Failed());
        CCborReader reader(buffer.data(), writer.Length());
        const uint8_t* pb = nullptr;
        size_t cb = 0;
        EXPECT_TRUE(reader.ReadBytes(&pb, &cb));
        EXPECT_EQ(value, std::vector<uint8_t>(pb, pb + cb));
        EXPECT_EQ(0u, reader.Remaining());
    }
}

TEST(CborWriter, ReportsOverflowAndBadText)
{
    uint8_t buffer[4] = {};
    CCborWriter writer(buffer, sizeof(buffer));
    writer.WriteText("abc");
    EXPECT_FALSE(writer.Failed());
    writer.WriteUnsigned(24);
    EXPECT_TRUE(writer.Failed());
    EXPECT_EQ(0u, writer.Length());
    writer.WriteBoolean(true); // ignored once failed
    EXPECT_TRUE(writer.Failed());

    CCborWriter text(buffer, sizeof(buffer));
    text.WriteText("\xC3\x28", 2);
    EXPECT_TRUE(text.Failed());
}

TEST(EcdsaSignature, StrictDerOnly)
{
    const std::string R = "f50a4e2e4409249c4a853ba361282f09841df4dd4547a13a87780218deffcd38";
    const std::string S = "8480ac0f0b93538174f575bf11a1dd5d78c6e486013f937295ea13653e331e87";
    const std::string ONE32 = "0000000000000000000000000000000000000000000000000000000000000001";
    const struct { std::string der; std::string raw; } ACCEPTED[] = {
        // WebAuthn Level 3 (W3C), test vector "ES256 Credential with No Attestation": two 33-byte integers.
        { "3046022100" + R + "022100" + S, R + S },
        { "3006020101020101", ONE32 + ONE32 },
        { "30250220" + std::string("7f") + R.substr(2) + "020101", "7f" + R.substr(2) + ONE32 },
    };
    for (const auto& entry : ACCEPTED)
    {
        const std::vector<uint8_t> der = Hex(entry.der);
        uint8_t raw[ECDSA_P256_SIGNATURE_BYTES] = {};
        ASSERT_TRUE(ConvertDerSignature(der.data(), der.size(), raw)) << entry.der;
        EXPECT_EQ(Hex(entry.raw), std::vector<uint8_t>(raw, raw + sizeof(raw)));
        uint8_t again[ECDSA_P256_DER_MAX_BYTES];
        const size_t cb = EncodeDerSignature(raw, again, sizeof(again));
        EXPECT_EQ(der, std::vector<uint8_t>(again, again + cb));
    }
    const std::string REFUSED[] = {
        "", "30", "3006020101020101" "00",                 // nothing, a bare tag, trailing bytes
        "3007020101020101", "3005020101020101",            // sequence length off either way
        "308106020101020101", "3080020101020101",          // long form where short fits; indefinite
        "3006020100020101", "3006020180020101",            // zero; negative
        "300702020001020101", "30070202ff81020101",        // needless leading 00; needless leading ff
        "3027022201" "00" + R + "020101",                  // 34 bytes
        "3026022101" + R.substr(2) + "00" + "020101",      // 33 significant bytes
        "3106020101020101", "3006030101020101",            // not SEQUENCE, not INTEGER
        "3009020101020101020101", "3003020101",            // three integers, one
    };
    for (const std::string& hex : REFUSED)
    {
        const std::vector<uint8_t> der = Hex(hex);
        uint8_t raw[ECDSA_P256_SIGNATURE_BYTES] = {};
        EXPECT_FALSE(ConvertDerSignature(der.data(), der.size(), raw)) << hex;
    }
}
