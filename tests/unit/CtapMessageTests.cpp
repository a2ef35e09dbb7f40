#include "CtapApdu.h"
#include "CtapExchange.h"
#include "CtapMessage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
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

    // A CBOR byte string of the hex bytes (under 65536).
    std::string Bstr(const std::string& hex)
    {
        const size_t cb = hex.size() / 2;
        char head[8];
        if (cb < 24) std::snprintf(head, sizeof(head), "%02zx", 0x40 + cb);
        else if (cb < 256) std::snprintf(head, sizeof(head), "58%02zx", cb);
        else std::snprintf(head, sizeof(head), "59%04zx", cb);
        return head + hex;
    }

    std::string CredentialMember(const std::string& id, const std::string& type = "6a7075626c69632d6b6579")
    {
        return "a2626964" + Bstr(id) + "6474797065" + type;
    }

    // From python-fido2's tests (tests/test_ctap2.py): answers of a real authenticator.
    const std::string RP_HASH = "0021f5fc0b85cd22e60623bcd7d1ca48948909249b4776eb515154e57b66ae12";
    const std::string CRED_ID = "fe3aac036d14c1e1c65518b698dd1da8f596bc33e11072813466c6bf3845691509b80fb76d59309b8d39e0a93452688f6ca3a39a76f3fc52744fb73948b15783";
    const std::string KEY_X = "643566c206dd00227005fa5de69320616ca268043a38f08bde2e9dc45a5cafaf";
    const std::string KEY_Y = "171353b2932434703726aae579fa6542432861fe591e481ea22d63997e1a5290";
    const std::string ES256_KEY = "a5010203262001215820" + KEY_X + "225820" + KEY_Y;
    const std::string ATT_STMT =
        "a363616c67266373696758483046022100cc1ef43edf07de8f208c21619c78a565ddcf4150766ad58781193be8e0a742ed022100"
        "f1ed7c7243e45b7d8e5bda6b1abf10af7391789d1ef21b70bd69fed48dba4cb163783563815901973082019330820138a0030201"
        "02020900859b726cb24b4c29300a06082a8648ce3d0403023047310b300906035504061302555331143012060355040a0c0b5975"
        "6269636f205465737431223020060355040b0c1941757468656e74696361746f72204174746573746174696f6e301e170d313631"
        "3230343131353530305a170d3236313230323131353530305a3047310b300906035504061302555331143012060355040a0c0b59"
        "756269636f205465737431223020060355040b0c1941757468656e74696361746f72204174746573746174696f6e305930130607"
        "2a8648ce3d020106082a8648ce3d03010703420004ad11eb0e8852e53ad5dfed86b41e6134a18ec4e1af8f221a3c7d6e636c80ea"
        "13c3d504ff2e76211bb44525b196c44cb4849979cf6f896ecd2bb860de1bf4376ba30d300b30090603551d1304023000300a0608"
        "2a8648ce3d0403020349003046022100e9a39f1b03197525f7373e10ce77e78021731b94d0c03f3fda1fd22db3d030e7022100c4"
        "faec3445a820cf43129cdb00aabefd9ae2d874f9c5d343cb2f113da23723f3";
    const std::string GA_SIG = "304402206765cbf6e871d3af7f01ae96f06b13c90f26f54b905c5166a2c791274fc2397102200b143893586cc799fba4da83b119eaea1bd80ac3ce88fcedb3efbd596a1f4f63";

    std::string NewCredentialAnswer(const std::string& flags, const std::string& key = ES256_KEY, const std::string& tail = "")
    {
        const std::string authData = RP_HASH + flags + "0000001c" "f8a011f38c0a4d15800617111f9edc7d" "0040" + CRED_ID + key + tail;
        return "00a3" "01667061636b6564" "02" + Bstr(authData) + "03" + ATT_STMT;
    }

    std::string AssertionAnswer(const std::string& flags, const std::string& tail = "", const std::string& sig = GA_SIG,
                                const std::string& credential = CredentialMember(CRED_ID))
    {
        return "00a3" "01" + credential + "02" + Bstr(RP_HASH + flags + "0000001d" + tail) + "03" + Bstr(sig);
    }

    CtapResult MakeCredential(const std::string& hex, CTAP_NEW_CREDENTIAL* pCredential, uint8_t* pStatus, const std::string& rpHash = RP_HASH)
    {
        static std::vector<uint8_t> answer; // the credential points into it
        answer = Hex(hex);
        uint8_t hash[CTAP_RP_ID_HASH_BYTES];
        std::copy_n(Hex(rpHash).begin(), CTAP_RP_ID_HASH_BYTES, hash);
        return ParseMakeCredentialResponse(answer.data(), answer.size(), hash, pCredential, pStatus);
    }

    CtapResult GetAssertion(const std::string& hex, CTAP_ASSERTION* pAssertion, uint8_t* pStatus,
                            const std::string& rpHash = RP_HASH, const std::string& storedId = CRED_ID)
    {
        static std::vector<uint8_t> answer;
        answer = Hex(hex);
        const std::vector<uint8_t> id = Hex(storedId);
        uint8_t hash[CTAP_RP_ID_HASH_BYTES];
        std::copy_n(Hex(rpHash).begin(), CTAP_RP_ID_HASH_BYTES, hash);
        return ParseGetAssertionResponse(answer.data(), answer.size(), hash, id.data(), id.size(), pAssertion, pStatus);
    }
}

TEST(CtapMessage, RequestsAsTheAuthenticatorExpectsThem)
{
    const std::string HASH = "687134968222ec17202e42505f8ed2b16ae22f16bb05b88c25db9e602645f141";
    const std::string ID = "f22006de4f905af68a43942f024f2a5ece603d9c6d4b3df8be08ed01fc442646d034858ac75bed3fd580bf9808d94fcbee82b9b2ef6677af0adcc35852ea6b9e";
    uint8_t hash[32];
    std::copy_n(Hex(HASH).begin(), 32, hash);
    uint8_t userId[16];
    for (uint8_t i = 0; i < 16; ++i) userId[i] = i;
    uint8_t request[CTAP_REQUEST_BUFFER_BYTES];

    // The pieces of the CTAP examples, with our options: one allowed credential, "up": false.
    const std::vector<uint8_t> id = Hex(ID);
    size_t cb = EncodeGetAssertionRequest("example.com", hash, id.data(), id.size(), request, sizeof(request));
    EXPECT_EQ(Hex("02a4016b6578616d706c652e636f6d025820" + HASH + "0381a26269645840" + ID +
                  "64747970656a7075626c69632d6b657905a1627570f4"), std::vector<uint8_t>(request, request + cb));
    for (size_t short_ = 0; short_ < cb; ++short_) EXPECT_EQ(0u, EncodeGetAssertionRequest("example.com", hash, id.data(), id.size(), request, short_));

    const char NAME[] = "johnpsmith@example.com";
    cb = EncodeMakeCredentialRequest("example.com", hash, userId, NAME, sizeof(NAME) - 1, request, sizeof(request));
    EXPECT_EQ(Hex("01a4015820" + HASH + "02a16269646b6578616d706c652e636f6d03a262696450000102030405060708090a0b0c0d0e0f"
                  "646e616d65766a6f686e70736d697468406578616d706c652e636f6d0481a263616c672664747970656a7075626c69632d6b6579"),
              std::vector<uint8_t>(request, request + cb));
    for (size_t short_ = 0; short_ < cb; ++short_) EXPECT_EQ(0u, EncodeMakeCredentialRequest("example.com", hash, userId, NAME, sizeof(NAME) - 1, request, short_));
    EXPECT_EQ(0u, EncodeMakeCredentialRequest(VELKOR_RP_ID, hash, userId, "\xFF", 1, request, sizeof(request)));

    const std::vector<uint8_t> longest(CTAP_CREDENTIAL_ID_MAX_BYTES, 0xA5);
    EXPECT_NE(0u, EncodeGetAssertionRequest(VELKOR_RP_ID, hash, longest.data(), longest.size(), request, sizeof(request)));
    EXPECT_EQ(0u, EncodeGetAssertionRequest(VELKOR_RP_ID, hash, longest.data(), longest.size() + 1, request, sizeof(request)));
    EXPECT_EQ(0u, EncodeGetAssertionRequest(VELKOR_RP_ID, hash, longest.data(), 0, request, sizeof(request)));
}

TEST(CtapMessage, NewCredentialOfARealAuthenticator)
{
    CTAP_NEW_CREDENTIAL credential;
    uint8_t status = 0xEE;
    ASSERT_EQ(CtapResult::Ok, MakeCredential(NewCredentialAnswer("41"), &credential, &status));
    EXPECT_EQ(0, status);
    EXPECT_EQ(Hex(CRED_ID), std::vector<uint8_t>(credential.pbCredentialId, credential.pbCredentialId + credential.cbCredentialId));
    EXPECT_EQ(Hex("04" + KEY_X + KEY_Y), std::vector<uint8_t>(credential.rgbPublicKey, credential.rgbPublicKey + 65));
    EXPECT_EQ(28u, credential.signCount);

    // WebAuthn Level 3 (W3C), test vector "ES256 Credential with No Attestation": its
    // authenticator data in an authenticator's answer.
    const std::string W3C_RP = "bfabc37432958b063360d3ad6461c9c4735ae7f8edd46592a5e0f01452b2e4b5";
    const std::string W3C_ID = "f91f391db4c9b2fde0ea70189cba3fb63f579ba6122b33ad94ff3ec330084be4";
    const std::string W3C_X = "afefa16f97ca9b2d23eb86ccb64098d20db90856062eb249c33a9b672f26df61";
    const std::string W3C_Y = "930a56b87a2fca66334b03458abf879717c12cc68ed73290af2e2664796b9220";
    const std::string w3c = "00a301646e6f6e6502" + Bstr(W3C_RP + "59000000008446ccb9ab1db374750b2367ff6f3a1f0020" + W3C_ID +
                                                      "a5010203262001215820" + W3C_X + "225820" + W3C_Y) + "03a0";
    ASSERT_EQ(CtapResult::Ok, MakeCredential(w3c, &credential, &status, W3C_RP));
    EXPECT_EQ(Hex(W3C_ID), std::vector<uint8_t>(credential.pbCredentialId, credential.pbCredentialId + credential.cbCredentialId));
    EXPECT_EQ(Hex("04" + W3C_X + W3C_Y), std::vector<uint8_t>(credential.rgbPublicKey, credential.rgbPublicKey + 65));
    EXPECT_EQ(0u, credential.signCount);
    EXPECT_EQ(0x59, credential.flags);
}

TEST(CtapMessage, NewCredentialRefusals)
{
    const std::string OTHER_RP = std::string(62, '0') + "01";
    const struct { std::string answer; CtapResult result; std::string rp; } CASES[] = {
        { "36", CtapResult::AuthenticatorStatus, RP_HASH },
        { "", CtapResult::MalformedAnswer, RP_HASH },
        { NewCredentialAnswer("41"), CtapResult::RelyingPartyDiffers, OTHER_RP },
        { NewCredentialAnswer("40"), CtapResult::UserPresenceMissing, RP_HASH },
        { NewCredentialAnswer("01"), CtapResult::AttestedDataMissing, RP_HASH },
        { NewCredentialAnswer("41", "a5010203272001215820" + KEY_X + "225820" + KEY_Y), CtapResult::KeyNotEs256, RP_HASH },
        { NewCredentialAnswer("41", "a6010203262001215820" + KEY_X + "225820" + KEY_Y + "2300"), CtapResult::KeyNotEs256, RP_HASH },
        { NewCredentialAnswer("41", "a4010203262001215820" + KEY_X), CtapResult::KeyNotEs256, RP_HASH },
        { NewCredentialAnswer("41", ES256_KEY, "00"), CtapResult::MalformedAnswer, RP_HASH },
        { NewCredentialAnswer("c1", ES256_KEY, "a0"), CtapResult::Ok, RP_HASH },
        { NewCredentialAnswer("c1", ES256_KEY, "a16b6372656450726f7465637402"), CtapResult::Ok, RP_HASH },
        { NewCredentialAnswer("c1"), CtapResult::ExtensionDataMalformed, RP_HASH },
        { NewCredentialAnswer("c1", ES256_KEY, "a000"), CtapResult::ExtensionDataMalformed, RP_HASH },
        { NewCredentialAnswer("c1", ES256_KEY, "80"), CtapResult::ExtensionDataMalformed, RP_HASH },
        { NewCredentialAnswer("41") + "00", CtapResult::MalformedAnswer, RP_HASH },
        { "00a201667061636b656402" + Bstr(RP_HASH + "410000001c" + std::string(32, '0') + "0040" + CRED_ID + ES256_KEY), CtapResult::MalformedAnswer, RP_HASH },
    };
    for (const auto& entry : CASES)
    {
        CTAP_NEW_CREDENTIAL credential;
        uint8_t status = 0xEE;
        EXPECT_EQ(entry.result, MakeCredential(entry.answer, &credential, &status, entry.rp)) << entry.answer.substr(0, 120);
        EXPECT_EQ(entry.answer.empty() ? 0 : Hex(entry.answer)[0], status);
    }
}

TEST(CtapMessage, AssertionsAndTheirRefusals)
{
    CTAP_ASSERTION assertion;
    uint8_t status = 0xEE;
    ASSERT_EQ(CtapResult::Ok, GetAssertion(AssertionAnswer("01"), &assertion, &status));
    EXPECT_EQ(29u, assertion.signCount);
    EXPECT_EQ(37u, assertion.cbAuthData);
    EXPECT_EQ(Hex("6765cbf6e871d3af7f01ae96f06b13c90f26f54b905c5166a2c791274fc23971" "0b143893586cc799fba4da83b119eaea1bd80ac3ce88fcedb3efbd596a1f4f63"),
              std::vector<uint8_t>(assertion.rgbSignature, assertion.rgbSignature + 64));

    // The authenticatorGetAssertion answer of the CTAP examples, with user and numberOfCredentials.
    const std::string CTAP_ID = "f22006de4f905af68a43942f024f2a5ece603d9c6d4b3df8be08ed01fc442646d034858ac75bed3fd580bf9808d94fcbee82b9b2ef6677af0adcc35852ea6b9e";
    const std::string example = "00a501" + CredentialMember(CTAP_ID) +
        "025825625ddadf743f5727e66bba8c2e387922d1af43c503d9114a8fba104d84d02bfa0100000011"
        "035847304502204a5a9dd39298149d904769b51a451433006f182a34fbdf66de5fc717d75fb350022100a46b8ea3c3b933821c6e7f5ef9daae94ab47f18db474c74790eaabb14411e7a0"
        "04a462696458203082019330820138a0030201023082019330820138a0030201023082019330826469636f6e782b68747470733a2f2f706963732e6578616d706c652e636f6d2f30302f702f61426a6a6a707150622e706e67"
        "646e616d65766a6f686e70736d697468406578616d706c652e636f6d6b646973706c61794e616d656d4a6f686e20502e20536d697468" "0501";
    ASSERT_EQ(CtapResult::Ok, GetAssertion(example, &assertion, &status, "625ddadf743f5727e66bba8c2e387922d1af43c503d9114a8fba104d84d02bfa", CTAP_ID));
    EXPECT_EQ(17u, assertion.signCount);

    const std::string OTHER_RP = std::string(62, '0') + "01";
    const std::string w3cSig = "3046022100f50a4e2e4409249c4a853ba361282f09841df4dd4547a13a87780218deffcd380221008480ac0f0b93538174f575bf11a1dd5d78c6e486013f937295ea13653e331e87";
    const struct { std::string answer; CtapResult result; std::string rp; std::string stored; } CASES[] = {
        { "2e", CtapResult::AuthenticatorStatus, RP_HASH, CRED_ID },
        { AssertionAnswer("01"), CtapResult::CredentialDiffers, RP_HASH, CRED_ID.substr(2) },
        { AssertionAnswer("01", "", GA_SIG, CredentialMember(CRED_ID, "6a7075626c69632d6b6578")), CtapResult::CredentialDiffers, RP_HASH, CRED_ID },
        { "00a2" "02" + Bstr(RP_HASH + "000000001d") + "03" + Bstr(w3cSig), CtapResult::Ok, RP_HASH, CRED_ID },
        { AssertionAnswer("01"), CtapResult::RelyingPartyDiffers, OTHER_RP, CRED_ID },
        { AssertionAnswer("41"), CtapResult::AttestedDataInAssertion, RP_HASH, CRED_ID },
        { AssertionAnswer("81"), CtapResult::ExtensionDataMalformed, RP_HASH, CRED_ID },
        { AssertionAnswer("81", "a0"), CtapResult::Ok, RP_HASH, CRED_ID },
        { AssertionAnswer("81", "a0a0"), CtapResult::ExtensionDataMalformed, RP_HASH, CRED_ID },
        { AssertionAnswer("01", "00"), CtapResult::MalformedAnswer, RP_HASH, CRED_ID },
        { AssertionAnswer("01", "", GA_SIG + "00"), CtapResult::SignatureEncoding, RP_HASH, CRED_ID },
        { AssertionAnswer("01", "", "300602010002" "0101"), CtapResult::SignatureEncoding, RP_HASH, CRED_ID },
        { AssertionAnswer("01") + "00", CtapResult::MalformedAnswer, RP_HASH, CRED_ID },
        { "00a2" "01" + CredentialMember(CRED_ID) + "03" + Bstr(GA_SIG), CtapResult::MalformedAnswer, RP_HASH, CRED_ID },
        { "00a2" "02" + Bstr(RP_HASH + "01000000") + "03" + Bstr(GA_SIG), CtapResult::MalformedAnswer, RP_HASH, CRED_ID },
        { "00a3" "02" + Bstr(RP_HASH + "010000001d") + "01" + CredentialMember(CRED_ID) + "03" + Bstr(GA_SIG), CtapResult::MalformedAnswer, RP_HASH, CRED_ID },
        { AssertionAnswer("01").replace(2, 2, "a4") + "06f5", CtapResult::Ok, RP_HASH, CRED_ID },
        { AssertionAnswer("01").replace(2, 2, "a4") + "061817", CtapResult::MalformedAnswer, RP_HASH, CRED_ID },
    };
    for (const auto& entry : CASES)
    {
        EXPECT_EQ(entry.result, GetAssertion(entry.answer, &assertion, &status, entry.rp, entry.stored)) << entry.answer.substr(0, 160);
    }
}

TEST(CtapMessage, ResultTexts)
{
    wchar_t text[CTAP_RESULT_TEXT_CHARS];
    FormatCtapResult(CtapResult::AuthenticatorStatus, CTAP_STATUS_NO_CREDENTIALS, text);
    EXPECT_STREQ(L"authenticator status 0x2E", text);
    FormatCtapResult(CtapResult::SignatureEncoding, 0, text);
    EXPECT_STREQ(L"signature encoding", text);
    EXPECT_STREQ(L"attested data in assertion", CtapResultText(CtapResult::AttestedDataInAssertion));
    EXPECT_STREQ(L"credential differs", CtapResultText(CtapResult::CredentialDiffers));
}

TEST(CtapApdu, SegmentsOfTwoHundredFortyBytes)
{
    const struct { size_t cbPayload; size_t cSegments; size_t cbLast; } CASES[] = {
        { 1, 1, 1 }, { 240, 1, 240 }, { 241, 2, 1 }, { 480, 2, 240 }, { 481, 3, 1 },
    };
    for (const auto& entry : CASES)
    {
        std::vector<uint8_t> payload(entry.cbPayload);
        for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
        ASSERT_EQ(entry.cSegments, CountNfcCtapSegments(entry.cbPayload));
        std::vector<uint8_t> joined;
        for (size_t k = 0; k < entry.cSegments; ++k)
        {
            uint8_t apdu[NFCCTAP_SEGMENT_MAX_BYTES];
            const size_t cb = BuildNfcCtapSegment(payload.data(), payload.size(), k, apdu, sizeof(apdu));
            const bool fLast = k + 1 == entry.cSegments;
            const size_t cbData = fLast ? entry.cbLast : 240;
            ASSERT_EQ(5 + cbData + (fLast ? 1 : 0), cb);
            EXPECT_EQ(Hex(fLast ? "80108000" : "90108000"), std::vector<uint8_t>(apdu, apdu + 4));
            EXPECT_EQ(cbData, apdu[4]);
            if (fLast) { EXPECT_EQ(0x00, apdu[cb - 1]); }
            joined.insert(joined.end(), apdu + 5, apdu + 5 + cbData);
            EXPECT_EQ(0u, BuildNfcCtapSegment(payload.data(), payload.size(), k, apdu, cb - 1));
        }
        EXPECT_EQ(payload, joined);
        uint8_t apdu[NFCCTAP_SEGMENT_MAX_BYTES];
        EXPECT_EQ(0u, BuildNfcCtapSegment(payload.data(), payload.size(), entry.cSegments, apdu, sizeof(apdu)));
    }
}

TEST(CtapApdu, SelectAnswersAndStatusWords)
{
    const struct { const char* text; FidoVersion version; } SELECT[] = {
        { "U2F_V2", FidoVersion::U2fV2 }, { "FIDO_2_0", FidoVersion::Fido20 }, { "FIDO_2_1", FidoVersion::Fido21 },
        { "FIDO_2_1_PRE", FidoVersion::Fido21Pre }, { "", FidoVersion::None }, { "fido_2_0", FidoVersion::None },
        { "FIDO_2_1_PR", FidoVersion::None }, { "FIDO_2_0 ", FidoVersion::None }, { "U2F_V2FIDO_2_0", FidoVersion::None },
    };
    for (const auto& entry : SELECT)
    {
        EXPECT_EQ(entry.version, CheckFidoSelectAnswer(reinterpret_cast<const uint8_t*>(entry.text), strlen(entry.text))) << entry.text;
    }
    const uint8_t withNul[] = { 'F', 'I', 'D', 'O', '_', '2', '_', '0', 0 };
    EXPECT_EQ(FidoVersion::None, CheckFidoSelectAnswer(withNul, sizeof(withNul)));
    EXPECT_EQ(Hex("00a4040008a0000006472f000100"), std::vector<uint8_t>(FIDO_SELECT_COMMAND, FIDO_SELECT_COMMAND + FIDO_SELECT_COMMAND_BYTES));

    const struct { const char* hex; NfcAnswerKind kind; size_t cbData; size_t cbMore; } ANSWERS[] = {
        { "9000", NfcAnswerKind::Complete, 0, 0 }, { "00a09000", NfcAnswerKind::Complete, 2, 0 },
        { "00a06110", NfcAnswerKind::MoreData, 2, 16 }, { "6100", NfcAnswerKind::MoreData, 0, 256 },
        { "019100", NfcAnswerKind::Processing, 0, 0 }, { "029100", NfcAnswerKind::UserPresenceNeeded, 0, 0 },
        { "039100", NfcAnswerKind::Error, 0, 0 }, { "9100", NfcAnswerKind::Error, 0, 0 },
        { "6a82", NfcAnswerKind::Error, 0, 0 }, { "90", NfcAnswerKind::Error, 0, 0 },
    };
    for (const auto& entry : ANSWERS)
    {
        const std::vector<uint8_t> bytes = Hex(entry.hex);
        const NFC_ANSWER answer = ClassifyNfcAnswer(bytes.data(), bytes.size());
        EXPECT_EQ(entry.kind, answer.kind) << entry.hex;
        EXPECT_EQ(entry.cbData, answer.cbData) << entry.hex;
        EXPECT_EQ(entry.cbMore, answer.cbMore) << entry.hex;
    }
    uint8_t command[5];
    BuildGetResponseCommand(0x80, 0x10, command);
    EXPECT_EQ(Hex("80c0000010"), std::vector<uint8_t>(command, command + 5));
    EXPECT_TRUE(IsClassOrInstructionRefused(0x6E00));
    EXPECT_FALSE(IsClassOrInstructionRefused(0x6A82));
}

TEST(CtapApdu, AnswerBufferRefusesToGrowPastItsBound)
{
    uint8_t storage[4];
    CCtapAnswerBuffer buffer(storage, sizeof(storage));
    const uint8_t bytes[] = { 1, 2, 3 };
    EXPECT_TRUE(buffer.Append(bytes, 2));
    EXPECT_TRUE(buffer.Append(bytes, 2));
    EXPECT_FALSE(buffer.Append(bytes, 1));
    EXPECT_TRUE(buffer.Overflowed());
    EXPECT_FALSE(buffer.Append(bytes, 0));
    EXPECT_EQ(4u, buffer.Length());
    buffer.Reset();
    EXPECT_FALSE(buffer.Overflowed());
    EXPECT_TRUE(buffer.Append(bytes, 3));
    EXPECT_EQ(std::vector<uint8_t>({ 1, 2, 3 }), std::vector<uint8_t>(buffer.Data(), buffer.Data() + buffer.Length()));
}
