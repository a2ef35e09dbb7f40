#include "RecoveryCode.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
    const char CODE[] = "A1B2C3D4E5F60718293A4B5C6D7E8F90";
    // HMAC-SHA256 keyed with the code's second half over all 16 bytes.
    const char VERIFIER[] = "4C66E363557147242581FFBEBF20742A133BCF69E25086C25456924A9D9BA520";

    bool Verify(const std::string& typed, const std::string& stored)
    {
        return VerifyRecoveryCode(typed.c_str(), static_cast<int>(typed.size()), stored.c_str(),
                                  static_cast<int>(stored.size()));
    }
}

TEST(RecoveryCode, TextAndVerifierOfAKnownSecret)
{
    uint8_t secret[16];
    for (int i = 0; i < 16; ++i) secret[i] = static_cast<uint8_t>(i);
    wchar_t code[33];
    ASSERT_TRUE(FormatRecoveryCode(secret, code, 33));
    EXPECT_STREQ(L"000102030405060708090A0B0C0D0E0F", code);
    char verifier[65];
    ComputeRecoveryVerifier(secret, verifier);
    EXPECT_STREQ("1BA07313A6FE2CE66C8B9A588AD5343F7B0C81147911AF03EBF9EE3F89774C75", verifier);
    EXPECT_FALSE(FormatRecoveryCode(secret, code, 32));
}

TEST(RecoveryCode, MatchingCodeInEitherCase)
{
    EXPECT_TRUE(Verify(CODE, VERIFIER));
    std::string lower = CODE;
    for (char& ch : lower) ch = static_cast<char>(tolower(ch));
    EXPECT_TRUE(Verify(lower, VERIFIER));
    std::string storedLower = VERIFIER;
    for (char& ch : storedLower) ch = static_cast<char>(tolower(ch));
    EXPECT_TRUE(Verify(CODE, storedLower));
}

TEST(RecoveryCode, EveryChangedDigitFails)
{
    for (size_t i = 0; i < 32; ++i)
    {
        std::string typed = CODE;
        typed[i] = typed[i] == '0' ? '1' : '0';
        EXPECT_FALSE(Verify(typed, VERIFIER)) << i;
    }
    for (size_t i = 0; i < 64; ++i)
    {
        std::string stored = VERIFIER;
        stored[i] = stored[i] == 'F' ? 'E' : 'F';
        EXPECT_FALSE(Verify(CODE, stored)) << i;
    }
}

TEST(RecoveryCode, WrongLengthsAndCharactersFail)
{
    const std::string code = CODE;
    const std::string verifier = VERIFIER;
    EXPECT_FALSE(Verify(code.substr(0, 31), VERIFIER));
    EXPECT_FALSE(Verify(code + "0", VERIFIER));  // right first 32 characters
    EXPECT_FALSE(Verify(code, verifier.substr(0, 63)));
    EXPECT_FALSE(Verify(code, verifier + "0"));
    for (const char* bad : { " ", "G", "-", "g", "\x80" })
    {
        std::string typed = code;
        typed[5] = bad[0];
        EXPECT_FALSE(Verify(typed, VERIFIER)) << bad;
        std::string stored = verifier;
        stored[40] = bad[0];
        EXPECT_FALSE(Verify(code, stored)) << bad;
    }
    EXPECT_FALSE(VerifyRecoveryCode(CODE, -1, VERIFIER, 64));
    EXPECT_FALSE(VerifyRecoveryCode(CODE, 32, VERIFIER, -1));
    EXPECT_FALSE(VerifyRecoveryCode(nullptr, 32, VERIFIER, 64));
    EXPECT_FALSE(Verify("", ""));
}

TEST(RecoveryCode, GeneratedTextVerifiesAgainstItsOwnVerifier)
{
    uint8_t secret[16];
    for (int round = 0; round < 50; ++round)
    {
        for (int i = 0; i < 16; ++i) secret[i] = static_cast<uint8_t>(round * 31 + i * 17);
        wchar_t code[33];
        ASSERT_TRUE(FormatRecoveryCode(secret, code, 33));
        char verifier[65];
        ComputeRecoveryVerifier(secret, verifier);
        std::string typed;
        for (int i = 0; i < 32; ++i) typed += static_cast<char>(code[i]);
        EXPECT_TRUE(Verify(typed, verifier));
    }
}
