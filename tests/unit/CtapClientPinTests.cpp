// What getInfo says of a key's PIN, and the clientPIN requests and answers, byte for byte.
#include "CtapClientPin.h"
#include "CtapMessage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
    std::vector<uint8_t> Hex(const std::string& text)
    {
        std::vector<uint8_t> bytes;
        for (size_t i = 0; i + 1 < text.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
        return bytes;
    }

    std::string ToHex(const uint8_t* pb, size_t cb)
    {
        static const char DIGITS[] = "0123456789abcdef";
        std::string text;
        for (size_t i = 0; i < cb; ++i) text += std::string{ DIGITS[pb[i] >> 4], DIGITS[pb[i] & 15] };
        return text;
    }

    // The CTAP 2.0 standard's example getInfo answer: {1: ["U2F_V2", "FIDO_2_0"], 2: ["uvm",
    // "hmac-secret"], 3: aaguid, 4: {"rk": true, "up": true, "plat": false, "clientPin": false},
    // 5: 1200, 6: [1]}.
    const std::string CTAP20_INFO =
        "a60182665532465f5632684649444f5f325f3002826375766d6b686d61632d7365637265740350f8a011f38c0a4d15800617111f9edc7d"
        "04a462726bf5627570f564706c6174f469636c69656e7450696ef4051904b0068101";
    // A CTAP 2.1 key with every option association looks at, and members it skips (algorithms,
    // transports, certifications).
    const std::string CTAP21_INFO =
        "ad0182684649444f5f325f30684649444f5f325f3102826b6372656450726f746563746b686d61632d7365637265740350f8a011f38c0a"
        "4d15800617111f9edc7d04a662726bf5627570f568616c776179735576f569636c69656e7450696ef56e70696e557641757468546f6b65"
        "6ef5706d616b654372656455764e6f74527164f5051904b00682020107080818800982636e6663637573620a82a263616c672664747970"
        "656a7075626c69632d6b6579a263616c672764747970656a7075626c69632d6b65790d040e1a0005040313a1644649444f01";
    const std::string AAGUID = "50f8a011f38c0a4d15800617111f9edc7d";
    const std::string COSE_X = "0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20";
    const std::string COSE_Y = "4142434445464748494a4b4c4d4e4f505152535455565758595a5b5c5d5e5f60";
    const std::string COSE_KEY = "a501020338182001215820" + COSE_X + "225820" + COSE_Y;

    CtapResult Info(const std::string& hex, CTAP_AUTHENTICATOR_INFO* pInfo, uint8_t* pStatus = nullptr)
    {
        const std::vector<uint8_t> answer = Hex(hex);
        uint8_t status = 0xEE;
        const CtapResult result = ParseGetInfoResponse(answer.data(), answer.size(), pInfo, &status);
        if (pStatus != nullptr) *pStatus = status;
        return result;
    }
}

TEST(CtapClientPin, TheCtap20ExampleGetInfoAnswer)
{
    CTAP_AUTHENTICATOR_INFO info;
    ASSERT_EQ(CtapResult::Ok, Info("00" + CTAP20_INFO, &info));
    EXPECT_FALSE(info.fFido21);
    EXPECT_EQ(CtapOption::False, info.clientPin);
    EXPECT_EQ(CtapOption::Absent, info.alwaysUv);
    EXPECT_EQ(CtapOption::Absent, info.makeCredUvNotRqd);
    EXPECT_EQ(CtapOption::Absent, info.pinUvAuthToken);
    ASSERT_TRUE(info.fPinProtocolsListed);
    ASSERT_EQ(1u, info.cPinProtocols);
    EXPECT_EQ(1, info.rgPinProtocols[0]);
    EXPECT_EQ(1, ChoosePinUvAuthProtocol(info));
}

TEST(CtapClientPin, ACtap21KeysOptionsAndProtocols)
{
    CTAP_AUTHENTICATOR_INFO info;
    ASSERT_EQ(CtapResult::Ok, Info("00" + CTAP21_INFO, &info));
    EXPECT_TRUE(info.fFido21);
    EXPECT_EQ(CtapOption::True, info.clientPin);
    EXPECT_EQ(CtapOption::True, info.alwaysUv);
    EXPECT_EQ(CtapOption::True, info.makeCredUvNotRqd);
    EXPECT_EQ(CtapOption::True, info.pinUvAuthToken);
    EXPECT_EQ(CtapOption::Absent, info.uv);
    ASSERT_EQ(2u, info.cPinProtocols);
    EXPECT_EQ(2, ChoosePinUvAuthProtocol(info));
}

TEST(CtapClientPin, GetInfoAnswersThatCannotBeRead)
{
    const struct { const char* what; std::string answer; CtapResult result; } cases[] = {
        { "a refusal", "01", CtapResult::AuthenticatorStatus },
        { "empty", "", CtapResult::MalformedAnswer },
        { "status alone", "00", CtapResult::MalformedAnswer },
        { "no versions", "00a10350f8a011f38c0a4d15800617111f9edc7d", CtapResult::MalformedAnswer },
        { "no aaguid", "00a1018168" "4649444f5f325f30", CtapResult::MalformedAnswer },
        { "aaguid of 15 bytes", "00a2018168" "4649444f5f325f30" "034f" + std::string(30, 'a'), CtapResult::MalformedAnswer },
        { "empty versions", "00a20180" "03" + AAGUID, CtapResult::MalformedAnswer },
        { "an option that is not a boolean", "00a3018168" "4649444f5f325f30" "03" + AAGUID + "04a169636c69656e7450696e01",
          CtapResult::MalformedAnswer },
        { "a protocol that is not a number", "00a3018168" "4649444f5f325f30" "03" + AAGUID + "068161" "31",
          CtapResult::MalformedAnswer },
        { "members out of order", "00a20350f8a011f38c0a4d15800617111f9edc7d018168" "4649444f5f325f30",
          CtapResult::MalformedAnswer },
        { "a byte after the map", "00" + CTAP20_INFO + "00", CtapResult::MalformedAnswer },
    };
    for (const auto& c : cases)
    {
        CTAP_AUTHENTICATOR_INFO info;
        EXPECT_EQ(c.result, Info(c.answer, &info)) << c.what;
    }
    uint8_t status = 0;
    CTAP_AUTHENTICATOR_INFO info;
    EXPECT_EQ(CtapResult::AuthenticatorStatus, Info("01", &info, &status));
    EXPECT_EQ(0x01, status);
}

TEST(CtapClientPin, TheProtocolSpokenIsTheKeysFirstKnownOne)
{
    const struct { bool listed; std::vector<uint8_t> protocols; uint8_t chosen; } cases[] = {
        { false, {}, 1 },       // CTAP 2.0 keys need not list it
        { true, { 2, 1 }, 2 },
        { true, { 1, 2 }, 1 },
        { true, { 1 }, 1 },
        { true, {}, 0 },        // protocols unknown here are not kept
    };
    for (const auto& c : cases)
    {
        CTAP_AUTHENTICATOR_INFO info = {};
        info.fPinProtocolsListed = c.listed;
        for (uint8_t protocol : c.protocols) info.rgPinProtocols[info.cPinProtocols++] = protocol;
        EXPECT_EQ(c.chosen, ChoosePinUvAuthProtocol(info)) << testing::PrintToString(c.protocols);
    }
    // 3 is no protocol spoken here.
    CTAP_AUTHENTICATOR_INFO info;
    ASSERT_EQ(CtapResult::Ok, Info("00a3018168" "4649444f5f325f30" "03" + AAGUID + "06820302", &info));
    EXPECT_EQ(2, ChoosePinUvAuthProtocol(info));
}

TEST(CtapClientPin, RequestsByteForByte)
{
    uint8_t request[CTAP_REQUEST_BUFFER_BYTES];
    EXPECT_EQ("06a201020201", ToHex(request, EncodeGetPinRetriesRequest(2, request, sizeof(request))));
    EXPECT_EQ("06a201010202", ToHex(request, EncodeGetKeyAgreementRequest(1, request, sizeof(request))));
    EXPECT_EQ(0u, EncodeGetKeyAgreementRequest(3, request, sizeof(request)));
    EXPECT_EQ(0u, EncodeGetPinRetriesRequest(1, request, 5));

    CTAP_KEY_AGREEMENT platform;
    const std::vector<uint8_t> x = Hex(COSE_X), y = Hex(COSE_Y);
    std::copy(x.begin(), x.end(), platform.rgbX);
    std::copy(y.begin(), y.end(), platform.rgbY);
    const std::vector<uint8_t> enc16 = Hex("808182838485868788898a8b8c8d8e8f");
    const std::vector<uint8_t> enc32 = Hex("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f");
    // getPinToken of a CTAP 2.0 key under protocol 1.
    EXPECT_EQ("06a40101020503" + COSE_KEY + "0650" + ToHex(enc16.data(), 16),
              ToHex(request, EncodePinTokenRequest(1, platform, enc16.data(), 16, CTAP_PERMISSION_MAKE_CREDENTIAL, nullptr,
                                                   request, sizeof(request))));
    // getPinUvAuthTokenUsingPinWithPermissions under protocol 2: mc for the rp ID.
    EXPECT_EQ("06a60102020903" + COSE_KEY + "065820" + ToHex(enc32.data(), 32) +
                  "09010a781876656c6b6f722d6669646f322d6c6f67696e2e6c6f63616c",
              ToHex(request, EncodePinTokenRequest(2, platform, enc32.data(), 32, CTAP_PERMISSION_MAKE_CREDENTIAL,
                                                   VELKOR_RP_ID, request, sizeof(request))));
    // An encrypted hash of another length, or permissions without any permission, are refused.
    EXPECT_EQ(0u, EncodePinTokenRequest(2, platform, enc32.data(), 31, 1, VELKOR_RP_ID, request, sizeof(request)));
    EXPECT_EQ(0u, EncodePinTokenRequest(2, platform, enc32.data(), 32, 0, VELKOR_RP_ID, request, sizeof(request)));
    EXPECT_EQ(0u, EncodePinTokenRequest(2, platform, enc32.data(), 32, 1, VELKOR_RP_ID, request, 100));
}

TEST(CtapClientPin, MakeCredentialCarriesThePinUvAuthParamLast)
{
    const uint8_t hash[CTAP_CLIENT_DATA_HASH_BYTES] = {};
    const uint8_t userId[CTAP_USER_ID_BYTES] = {};
    uint8_t plain[CTAP_REQUEST_BUFFER_BYTES], withPin[CTAP_REQUEST_BUFFER_BYTES];
    const size_t cbPlain = EncodeMakeCredentialRequest(VELKOR_RP_ID, hash, userId, "alice", 5, plain, sizeof(plain));
    const std::vector<uint8_t> param = Hex("83b0b723360fb423be0e59c18a246ce9");
    const CTAP_PIN_UV_AUTH_PARAM auth = { param.data(), param.size(), 1 };
    const size_t cbWithPin =
        EncodeMakeCredentialRequest(VELKOR_RP_ID, hash, userId, "alice", 5, withPin, sizeof(withPin), &auth);
    ASSERT_NE(0u, cbPlain);
    ASSERT_EQ(cbPlain + 1 + 1 + 16 + 1 + 1, cbWithPin);
    EXPECT_EQ(0xA4, plain[1]);
    EXPECT_EQ(0xA6, withPin[1]);
    EXPECT_EQ(ToHex(plain + 2, cbPlain - 2), ToHex(withPin + 2, cbPlain - 2));
    EXPECT_EQ("0850" + ToHex(param.data(), 16) + "0901", ToHex(withPin + cbPlain, cbWithPin - cbPlain));
    // Protocol 2's whole HMAC fits too; any other length is no pinUvAuthParam.
    const std::vector<uint8_t> param32(32, 0x5A);
    const CTAP_PIN_UV_AUTH_PARAM auth32 = { param32.data(), 32, 2 };
    EXPECT_EQ(cbPlain + 1 + 2 + 32 + 1 + 1,
              EncodeMakeCredentialRequest(VELKOR_RP_ID, hash, userId, "alice", 5, withPin, sizeof(withPin), &auth32));
    const CTAP_PIN_UV_AUTH_PARAM auth20 = { param32.data(), 20, 2 };
    EXPECT_EQ(0u, EncodeMakeCredentialRequest(VELKOR_RP_ID, hash, userId, "alice", 5, withPin, sizeof(withPin), &auth20));
}

TEST(CtapClientPin, KeyAgreementAnswers)
{
    const struct { const char* what; std::string answer; CtapResult result; } cases[] = {
        { "the key's COSE key", "00a101" + COSE_KEY, CtapResult::Ok },
        { "other members are skipped", "00a201" + COSE_KEY + "03" "08", CtapResult::Ok },
        { "ES256 is not a key agreement", "00a101a5010203262001215820" + COSE_X + "225820" + COSE_Y, CtapResult::MalformedAnswer },
        { "without alg", "00a101a4010220012158" "20" + COSE_X + "225820" + COSE_Y, CtapResult::MalformedAnswer },
        { "another curve", "00a101a501020338182002215820" + COSE_X + "225820" + COSE_Y, CtapResult::MalformedAnswer },
        { "x of 31 bytes", "00a101a50102033818200121581f" + COSE_X.substr(2) + "225820" + COSE_Y, CtapResult::MalformedAnswer },
        { "no key", "00a103" "08", CtapResult::MalformedAnswer },
        { "a refusal", "31", CtapResult::AuthenticatorStatus },
        { "cut short", "00a101" + COSE_KEY.substr(0, COSE_KEY.size() - 2), CtapResult::MalformedAnswer },
    };
    for (const auto& c : cases)
    {
        const std::vector<uint8_t> answer = Hex(c.answer);
        CTAP_KEY_AGREEMENT key = {};
        uint8_t status = 0xEE;
        EXPECT_EQ(c.result, ParseKeyAgreementResponse(answer.data(), answer.size(), &key, &status)) << c.what;
        EXPECT_EQ(answer.empty() ? 0 : answer[0], status) << c.what;
        if (c.result == CtapResult::Ok)
        {
            EXPECT_EQ(COSE_X, ToHex(key.rgbX, 32)) << c.what;
            EXPECT_EQ(COSE_Y, ToHex(key.rgbY, 32)) << c.what;
        }
    }
}

TEST(CtapClientPin, PinTokenAnswers)
{
    const struct { const char* what; std::string answer; size_t cbToken; CtapResult result; } cases[] = {
        { "protocol 1, 32 bytes", "00a1025820" + std::string(64, '7'), 32, CtapResult::Ok },
        { "protocol 2, IV and 32 bytes", "00a1025830" + std::string(96, '7'), 48, CtapResult::Ok },
        { "16 bytes", "00a10250" + std::string(32, '7'), 16, CtapResult::Ok },
        { "not whole blocks", "00a1025821" + std::string(66, '7'), 0, CtapResult::MalformedAnswer },
        { "longer than any protocol's", "00a1025860" + std::string(192, '7'), 0, CtapResult::MalformedAnswer },
        { "empty", "00a10240", 0, CtapResult::MalformedAnswer },
        { "not bytes", "00a10201", 0, CtapResult::MalformedAnswer },
        { "missing", "00a0", 0, CtapResult::MalformedAnswer },
        { "wrong PIN", "31", 0, CtapResult::AuthenticatorStatus },
    };
    for (const auto& c : cases)
    {
        const std::vector<uint8_t> answer = Hex(c.answer);
        CTAP_ENCRYPTED_PIN_TOKEN token = {};
        uint8_t status = 0;
        EXPECT_EQ(c.result, ParsePinTokenResponse(answer.data(), answer.size(), &token, &status)) << c.what;
        EXPECT_EQ(c.cbToken, token.cbToken) << c.what;
        if (c.result == CtapResult::Ok)
        {
            EXPECT_EQ(answer.data() + answer.size() - c.cbToken, token.pbToken) << c.what;
        }
    }
}

TEST(CtapClientPin, PinRetriesAnswers)
{
    const struct { const char* what; std::string answer; CtapResult result; uint32_t retries; bool powerCycle; } cases[] = {
        { "CTAP 2.0", "00a10308", CtapResult::Ok, 8, false },
        { "CTAP 2.1 after three wrong PINs", "00a2030504f5", CtapResult::Ok, 5, true },
        { "blocked", "00a10300", CtapResult::Ok, 0, false },
        { "more than a key allows", "00a103190100", CtapResult::MalformedAnswer, 0, false },
        { "no retries", "00a104f5", CtapResult::MalformedAnswer, 0, false },
        { "power cycle state not a boolean", "00a2030804" "01", CtapResult::MalformedAnswer, 0, false },
        { "a refusal", "01", CtapResult::AuthenticatorStatus, 0, false },
    };
    for (const auto& c : cases)
    {
        const std::vector<uint8_t> answer = Hex(c.answer);
        CTAP_PIN_RETRIES retries = {};
        uint8_t status = 0;
        EXPECT_EQ(c.result, ParsePinRetriesResponse(answer.data(), answer.size(), &retries, &status)) << c.what;
        EXPECT_EQ(c.retries, retries.retries) << c.what;
        EXPECT_EQ(c.powerCycle, retries.fPowerCycleNeeded) << c.what;
    }
}
