// The PIN/UV auth protocols through CNG: the primitives against their published test
// vectors (RFC 4231, RFC 5869, NIST SP 800-38A, RFC 5903), both protocols against values
// computed apart from this code (OpenSSL and Python), and the PIN's text. The exchange with
// a key is tested end to end in the association tests. Under Wine the ECDH derivation is
// CEcdhStandIn's.
#include "CngKeyAgreement.h"
#include "CngSymmetric.h"
#include "EcdhStandIn.h"
#include "PinUvAuthProtocol.h"
#include "RandomBytes.h"
#include "TokenPin.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
    using Bytes = std::vector<BYTE>;

    Bytes Hex(const std::string& text)
    {
        Bytes bytes;
        for (size_t i = 0; i + 1 < text.size(); i += 2) bytes.push_back(static_cast<BYTE>(std::stoul(text.substr(i, 2), nullptr, 16)));
        return bytes;
    }

    std::string ToHex(const BYTE* pb, size_t cb)
    {
        static const char DIGITS[] = "0123456789abcdef";
        std::string text;
        for (size_t i = 0; i < cb; ++i) text += std::string{ DIGITS[pb[i] >> 4], DIGITS[pb[i] & 15] };
        return text;
    }

    template <size_t N>
    void Fill(BYTE (&rgb)[N], const std::string& hex)
    {
        const Bytes bytes = Hex(hex);
        ASSERT_EQ(N, bytes.size());
        std::copy(bytes.begin(), bytes.end(), rgb);
    }

    // RFC 5903, 8.1: ECDH on P-256.
    const std::string RFC5903_I = "c88f01f510d9ac3f70a292daa2316de544e9aab8afe84049c62a9c57862d1433";
    const std::string RFC5903_GIX = "dad0b65394221cf9b051e1feca5787d098dfe637fc90b9ef945d0c3772581180";
    const std::string RFC5903_GIY = "5271a0461cdb8252d61f1c456fa3e59ab1f45b33accf5f58389e0577b8990bb3";
    const std::string RFC5903_GRX = "d12dfb5289c8d4f81208b70270398c342296970a0bccb74c736fc7554494bf63";
    const std::string RFC5903_GRY = "56fbf3ca366cc23e8157854c13c58d6aac23f046ada30f8353e74f33039872ab";
    const std::string RFC5903_GIRX = "d6840f6b42f6edafd13116e0e12565202fef8e9ece7dce03812464d04b9442de";

    const Bytes* g_pRandom = nullptr;
    bool FixedRandom(unsigned char* pb, size_t cb)
    {
        for (size_t i = 0; i < cb; ++i) pb[i] = (*g_pRandom)[i % g_pRandom->size()];
        return true;
    }
}

TEST(PinUvCrypto, PrimitivesAgainstPublishedVectors)
{
    BYTE out[32];
    // RFC 4231, test case 2.
    const std::string jefe = "Jefe", what = "what do ya want for nothing?";
    ASSERT_TRUE(HmacSha256(reinterpret_cast<const BYTE*>(jefe.data()), jefe.size(), reinterpret_cast<const BYTE*>(what.data()),
                           10, reinterpret_cast<const BYTE*>(what.data()) + 10, what.size() - 10, out));
    EXPECT_EQ("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843", ToHex(out, 32));
    // RFC 5869, test cases 1 and 3 (no salt, no info): the first 32 bytes of their output.
    const Bytes ikm(22, 0x0B), salt = Hex("000102030405060708090a0b0c"), info = Hex("f0f1f2f3f4f5f6f7f8f9");
    ASSERT_TRUE(HkdfSha256(salt.data(), salt.size(), ikm.data(), ikm.size(), info.data(), info.size(), out));
    EXPECT_EQ("3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf", ToHex(out, 32));
    ASSERT_TRUE(HkdfSha256(nullptr, 0, ikm.data(), ikm.size(), nullptr, 0, out));
    EXPECT_EQ("8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d", ToHex(out, 32));
    // NIST SP 800-38A, F.2.5 and F.2.6: CBC-AES256, four blocks.
    BYTE key[32], iv[16];
    Fill(key, "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
    Fill(iv, "000102030405060708090a0b0c0d0e0f");
    const Bytes plain = Hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e5130c81c46a35ce411e5fbc1191a0a52ef"
                            "f69f2445df4f9b17ad2b417be66c3710");
    const std::string cipher = "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d39f23369a9d9bacfa530e26304231461"
                               "b2eb05e2c39be9fcda6c19078c6a9d1b";
    Bytes buffer(plain.size());
    ASSERT_TRUE(Aes256CbcEncrypt(key, iv, plain.data(), plain.size(), buffer.data()));
    EXPECT_EQ(cipher, ToHex(buffer.data(), buffer.size()));
    ASSERT_TRUE(Aes256CbcDecrypt(key, iv, buffer.data(), buffer.size(), buffer.data()));
    EXPECT_EQ(plain, buffer);
    EXPECT_FALSE(Aes256CbcEncrypt(key, iv, plain.data(), 15, buffer.data())) << "whole blocks only";
}

TEST(PinUvCrypto, EcdhAgainstRfc5903)
{
    CEcdhStandIn standIn;
    ASSERT_TRUE(standIn.IsReady()) << "no ECDH derivation: is velkor-ecdh-helper beside the tests?";
    BYTE d[32], x[32], y[32], peerX[32], peerY[32], z[32] = {};
    Fill(d, RFC5903_I);
    Fill(x, RFC5903_GIX);
    Fill(y, RFC5903_GIY);
    Fill(peerX, RFC5903_GRX);
    Fill(peerY, RFC5903_GRY);
    CEcdhP256KeyPair pair;
    ASSERT_TRUE(pair.Import(d, x, y));
    BYTE exportedX[32], exportedY[32];
    ASSERT_TRUE(pair.ExportPublicKey(exportedX, exportedY));
    EXPECT_EQ(RFC5903_GIX, ToHex(exportedX, 32));
    const LONG derivationsBefore = CEcdhStandIn::Derivations();
    ASSERT_TRUE(pair.AgreeSecret(peerX, peerY, z));
    EXPECT_EQ(RFC5903_GIRX, ToHex(z, 32));
    // Under Wine the stand-in answered, in CNG's byte order.
    EXPECT_EQ(standIn.IsStandingIn() ? derivationsBefore + 1 : derivationsBefore, CEcdhStandIn::Derivations());
    // A point that is not on the curve agrees nothing.
    peerY[31] ^= 1;
    EXPECT_FALSE(pair.AgreeSecret(peerX, peerY, z));
}

// Z, the PIN "1234", a token and a client data hash through both protocols; the expected
// values come from OpenSSL's AES and Python's HMAC and HKDF.
TEST(PinUvCrypto, BothProtocolsAgainstIndependentValues)
{
    const struct { uint8_t protocol; std::string iv, pinHashEnc, tokenEnc, param; } cases[] = {
        { 1, "", "f069957203a0209e7ef70d4ecb627e51",
          "89088fc7128e86106884c09a6a8575303e263fa3b9122f2c5be8c2df22b7b17f", "83b0b723360fb423be0e59c18a246ce9" },
        { 2, "000102030405060708090a0b0c0d0e0f", "000102030405060708090a0b0c0d0e0fe18d98ed28ac173658a02c90e63e7d71",
          "a0a1a2a3a4a5a6a7a8a9aaabacadaeafaf3fa79645f039b0510d2595ae8f0e4e3558c63bffd93e80d0a61a7e25ebf289",
          "83b0b723360fb423be0e59c18a246ce90ceaa38270d05c54ec2a8a72c168099f" },
    };
    BYTE z[32], pinHash[16];
    Fill(z, RFC5903_GIRX);
    ASSERT_EQ(PinTextCheck::Ok, HashPinText(L"1234", pinHash));
    EXPECT_EQ("03ac674216f3e15c761ee1a5e255f067", ToHex(pinHash, 16));
    Bytes token(32), clientDataHash(32);
    for (size_t i = 0; i < 32; ++i) token[i] = static_cast<BYTE>(0x20 + i), clientDataHash[i] = static_cast<BYTE>(0x40 + i);
    for (const auto& c : cases)
    {
        CPinUvAuthProtocol protocol(c.protocol);
        ASSERT_TRUE(protocol.DeriveSharedSecret(z));
        const Bytes iv = Hex(c.iv.empty() ? "00" : c.iv);
        g_pRandom = &iv;
        const RandomSource previous = SetRandomSourceForTesting(FixedRandom);
        BYTE encrypted[64] = {};
        const size_t cbEncrypted = protocol.Encrypt(pinHash, sizeof(pinHash), encrypted, sizeof(encrypted));
        SetRandomSourceForTesting(previous);
        EXPECT_EQ(c.pinHashEnc, ToHex(encrypted, cbEncrypted)) << "protocol " << int(c.protocol);

        const Bytes tokenEnc = Hex(c.tokenEnc);
        BYTE decrypted[64] = {};
        ASSERT_EQ(32u, protocol.Decrypt(tokenEnc.data(), tokenEnc.size(), decrypted, sizeof(decrypted)));
        EXPECT_EQ(token, Bytes(decrypted, decrypted + 32));
        BYTE param[32] = {};
        const size_t cbParam = AuthenticatePinUv(c.protocol, token.data(), token.size(), clientDataHash.data(), 32, param);
        EXPECT_EQ(c.param, ToHex(param, cbParam)) << "protocol " << int(c.protocol);
        // What is not whole blocks (after the IV) decrypts to nothing.
        EXPECT_EQ(0u, protocol.Decrypt(tokenEnc.data(), tokenEnc.size() - 1, decrypted, sizeof(decrypted)));
        EXPECT_EQ(0u, protocol.Decrypt(tokenEnc.data(), c.protocol == 2 ? 16 : 0, decrypted, sizeof(decrypted)));
    }
    // Unknown protocols do nothing.
    CPinUvAuthProtocol three(3);
    EXPECT_FALSE(three.DeriveSharedSecret(z));
    BYTE param[32];
    EXPECT_EQ(0u, AuthenticatePinUv(3, token.data(), token.size(), clientDataHash.data(), 32, param));
}

TEST(PinUvCrypto, ThePinsText)
{
    const std::wstring emoji = L"\xD83D\xDD11"; // one character, four bytes of UTF-8
    const struct { std::wstring pin; PinTextCheck check; } cases[] = {
        { L"1234", PinTextCheck::Ok },
        { L"123", PinTextCheck::TooShort },
        { L"", PinTextCheck::TooShort },
        { std::wstring(63, L'7'), PinTextCheck::Ok },
        { std::wstring(64, L'7'), PinTextCheck::TooLong },
        { std::wstring(21, L'\x00E9'), PinTextCheck::Ok },       // 42 bytes
        { std::wstring(32, L'\x00E9'), PinTextCheck::TooLong },  // 64 bytes in 32 characters
        { emoji + emoji + emoji + emoji, PinTextCheck::Ok },     // four characters in eight units
        { emoji + emoji + emoji, PinTextCheck::TooShort },       // six units, three characters
        { std::wstring(L"12") + L'\xD800' + L"3", PinTextCheck::NotUnicode },
    };
    for (const auto& c : cases)
    {
        BYTE hash[16] = {};
        EXPECT_EQ(c.check, HashPinText(c.pin.c_str(), hash)) << c.pin.size() << " units";
    }
}
