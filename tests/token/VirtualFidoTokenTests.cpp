// The virtual token's FIDO2 authenticator, checked where a product test could not tell a
// simulator bug from a product bug: its signatures verify with CNG, its credentials
// outlive the process state that made them, and each knob changes the answer as
// documented in tests/vscard/README.md.
#include "CtapApdu.h"
#include "CtapExchange.h"
#include "CtapMessage.h"
#include "FidoTestCrypto.h"
#include "VirtualSCard.h"

#include <windows.h>
#include <bcrypt.h>
#include <winscard.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace
{
    using Bytes = std::vector<BYTE>;
    const wchar_t TOKEN_READER[] = L"Halvane Velkor FIDO2 Security Key 0";

    Bytes Sha256(const Bytes& data)
    {
        Bytes digest = TestSha256(data);
        EXPECT_EQ(32u, digest.size());
        digest.resize(32);
        return digest;
    }

    Bytes Hex(const char* text)
    {
        Bytes bytes;
        for (size_t i = 0; text[i] != '\0' && text[i + 1] != '\0'; i += 2) bytes.push_back(static_cast<BYTE>(std::stoul(std::string(text + i, 2), nullptr, 16)));
        return bytes;
    }

    // A minimal transport over the virtual PC/SC: segments, 61 xx chains, 91 00 polls.
    class VirtualFidoToken : public ::testing::Test
    {
    protected:
        void SetUp() override { VScardReset(); reader = VScardAddReader(TOKEN_READER, TRUE); }
        void TearDown() override { Disconnect(); VScardReset(); }

        void Disconnect()
        {
            if (card != 0) SCardDisconnect(card, SCARD_RESET_CARD);
            if (context != 0) SCardReleaseContext(context);
            card = context = 0;
        }

        Bytes Transmit(const BYTE* command, size_t length)
        {
            if (card == 0)
            {
                DWORD protocol = 0;
                EXPECT_EQ(SCARD_S_SUCCESS, SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context));
                EXPECT_EQ(SCARD_S_SUCCESS, SCardConnectW(context, TOKEN_READER, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card, &protocol));
            }
            BYTE answer[300];
            DWORD cb = sizeof(answer);
            EXPECT_EQ(SCARD_S_SUCCESS, SCardTransmit(card, SCARD_PCI_T1, command, static_cast<DWORD>(length), nullptr, answer, &cb));
            ++transmits;
            return Bytes(answer, answer + cb);
        }

        // Answer data after 90 00, following 61 xx and 91 00; the last status word in *pSw.
        Bytes Collect(Bytes answer, WORD* pSw)
        {
            BYTE storage[CTAP_CREDENTIAL_ANSWER_MAX];
            CCtapAnswerBuffer collected(storage, sizeof(storage));
            BYTE cla = 0x80;
            for (;;)
            {
                const NFC_ANSWER judged = ClassifyNfcAnswer(answer.data(), answer.size());
                *pSw = judged.statusWord;
                if (judged.kind == NfcAnswerKind::Processing || judged.kind == NfcAnswerKind::UserPresenceNeeded)
                {
                    statuses.push_back(answer[0]);
                    answer = Transmit(NFCCTAP_GETRESPONSE_COMMAND, sizeof(NFCCTAP_GETRESPONSE_COMMAND));
                    continue;
                }
                if (judged.kind == NfcAnswerKind::Error) return Bytes();
                EXPECT_TRUE(collected.Append(judged.pbData, judged.cbData));
                parts.push_back(judged.cbData);
                if (judged.kind == NfcAnswerKind::Complete) return Bytes(collected.Data(), collected.Data() + collected.Length());
                BYTE command[5];
                BuildGetResponseCommand(cla, static_cast<BYTE>(judged.cbMore), command);
                answer = Transmit(command, sizeof(command));
                if (cla == 0x80 && IsClassOrInstructionRefused(ClassifyNfcAnswer(answer.data(), answer.size()).statusWord))
                {
                    refusedClass = true;
                    cla = 0x00;
                    BuildGetResponseCommand(cla, static_cast<BYTE>(judged.cbMore), command);
                    answer = Transmit(command, sizeof(command));
                }
            }
        }

        Bytes Select(WORD* pSw)
        {
            return Collect(Transmit(FIDO_SELECT_COMMAND, FIDO_SELECT_COMMAND_BYTES), pSw);
        }

        // The CTAP answer (status byte and CBOR) of one message.
        Bytes Ctap(const BYTE* message, size_t length)
        {
            WORD sw = 0;
            EXPECT_EQ(Bytes({ 'F', 'I', 'D', 'O', '_', '2', '_', '0' }), Select(&sw));
            parts.clear();
            const size_t count = CountNfcCtapSegments(length);
            Bytes answer;
            for (size_t k = 0; k < count; ++k)
            {
                BYTE apdu[NFCCTAP_SEGMENT_MAX_BYTES];
                answer = Transmit(apdu, BuildNfcCtapSegment(message, length, k, apdu, sizeof(apdu)));
                if (k + 1 < count) { EXPECT_EQ(Bytes({ 0x90, 0x00 }), answer); }
            }
            return Collect(answer, &sw);
        }

        CtapResult MakeCredential(CTAP_NEW_CREDENTIAL* pCredential, Bytes* pAnswer, uint8_t* pStatus)
        {
            BYTE request[CTAP_REQUEST_BUFFER_BYTES];
            BYTE user[CTAP_USER_ID_BYTES] = { 1, 2, 3 };
            const size_t cb = EncodeMakeCredentialRequest(VELKOR_RP_ID, clientDataHash, user, "alice", 5, request, sizeof(request));
            *pAnswer = Ctap(request, cb);
            return ParseMakeCredentialResponse(pAnswer->data(), pAnswer->size(), rpIdHash, pCredential, pStatus);
        }

        CtapResult GetAssertion(const Bytes& credentialId, CTAP_ASSERTION* pAssertion, Bytes* pAnswer, uint8_t* pStatus)
        {
            BYTE request[CTAP_REQUEST_BUFFER_BYTES];
            const size_t cb = EncodeGetAssertionRequest(VELKOR_RP_ID, clientDataHash, credentialId.data(), credentialId.size(), request, sizeof(request));
            *pAnswer = Ctap(request, cb);
            return ParseGetAssertionResponse(pAnswer->data(), pAnswer->size(), rpIdHash, credentialId.data(), credentialId.size(), pAssertion, pStatus);
        }

        // A new credential: its ID and public key.
        void NewCredential(Bytes* pId, Bytes* pPublicKey)
        {
            CTAP_NEW_CREDENTIAL credential;
            Bytes answer;
            uint8_t status = 0;
            ASSERT_EQ(CtapResult::Ok, MakeCredential(&credential, &answer, &status));
            pId->assign(credential.pbCredentialId, credential.pbCredentialId + credential.cbCredentialId);
            pPublicKey->assign(credential.rgbPublicKey, credential.rgbPublicKey + CTAP_PUBLIC_KEY_BYTES);
        }

        // Whether an assertion of the credential verifies; its counter in *pCount.
        bool Asserts(const Bytes& id, const Bytes& publicKey, uint32_t* pCount = nullptr, uint8_t* pStatus = nullptr)
        {
            CTAP_ASSERTION assertion;
            Bytes answer;
            uint8_t status = 0;
            const CtapResult result = GetAssertion(id, &assertion, &answer, &status);
            if (pStatus != nullptr) *pStatus = status;
            if (result != CtapResult::Ok) return false;
            if (pCount != nullptr) *pCount = assertion.signCount;
            Bytes message(assertion.pbAuthData, assertion.pbAuthData + assertion.cbAuthData);
            message.insert(message.end(), clientDataHash, clientDataHash + 32);
            return TestVerifies(publicKey.data(), message, assertion.rgbSignature);
        }

        int reader = -1;
        SCARDCONTEXT context = 0;
        SCARDHANDLE card = 0;
        size_t transmits = 0;
        std::vector<BYTE> statuses;
        std::vector<size_t> parts;
        bool refusedClass = false;
        BYTE clientDataHash[32] = { 0xC1, 0x1E, 0x47 };
        BYTE rpIdHash[32] = {};
    };
}

TEST_F(VirtualFidoToken, SignaturesVerifyWithCng)
{
    const Bytes hash = Sha256(Bytes(VELKOR_RP_ID, VELKOR_RP_ID + sizeof(VELKOR_RP_ID) - 1));
    memcpy(rpIdHash, hash.data(), 32);
    Bytes id, publicKey;
    NewCredential(&id, &publicKey);
    EXPECT_EQ(144u, id.size());
    EXPECT_TRUE(Asserts(id, publicKey));
    Bytes other, otherKey;
    NewCredential(&other, &otherKey);
    EXPECT_FALSE(Asserts(id, otherKey));

    // Our DER conversion against an outside signer: WebAuthn Level 3 (W3C), test vector
    // "ES256 Credential with No Attestation", its assertion.
    const Bytes key = Hex("04afefa16f97ca9b2d23eb86ccb64098d20db90856062eb249c33a9b672f26df61930a56b87a2fca66334b03458abf879717c12cc68ed73290af2e2664796b9220");
    Bytes message = Hex("bfabc37432958b063360d3ad6461c9c4735ae7f8edd46592a5e0f01452b2e4b51900000000");
    const Bytes clientData = Sha256(Hex("7b2274797065223a22776562617574686e2e676574222c226368616c6c656e6765223a224f63446e55685158756c5455506f334a5558543049393770767a7a59425039745a63685879617630314167222c226f726967696e223a2268747470733a2f2f6578616d706c652e6f7267222c2263726f73734f726967696e223a66616c73657d"));
    message.insert(message.end(), clientData.begin(), clientData.end());
    const Bytes der = Hex("3046022100f50a4e2e4409249c4a853ba361282f09841df4dd4547a13a87780218deffcd380221008480ac0f0b93538174f575bf11a1dd5d78c6e486013f937295ea13653e331e87");
    BYTE raw[ECDSA_P256_SIGNATURE_BYTES];
    ASSERT_TRUE(ConvertDerSignature(der.data(), der.size(), raw));
    EXPECT_TRUE(TestVerifies(key.data(), message, raw));
    message[0] ^= 1;
    EXPECT_FALSE(TestVerifies(key.data(), message, raw));
}

TEST_F(VirtualFidoToken, CredentialsLiveInTheirIdsUnderTheDeviceSecret)
{
    memcpy(rpIdHash, Sha256(Bytes(VELKOR_RP_ID, VELKOR_RP_ID + sizeof(VELKOR_RP_ID) - 1)).data(), 32);
    Bytes id, publicKey;
    NewCredential(&id, &publicKey);

    // A fresh state (as in another process): the same serial gives the same default secret.
    const struct { DWORD serial; const char* secret; bool accepted; } TOKENS[] = {
        { 0x1234ABCD, nullptr, true }, { 0x1234ABCE, nullptr, false },
        { 0x1234ABCD, "00112233", false }, // same serial, another key: a look-alike
    };
    for (const auto& token : TOKENS)
    {
        Disconnect();
        VScardReset();
        reader = VScardAddReader(TOKEN_READER, TRUE);
        VScardSetSerial(reader, token.serial);
        if (token.secret != nullptr)
        {
            const Bytes secret = Hex(token.secret);
            VScardSetDeviceSecret(reader, secret.data(), static_cast<DWORD>(secret.size()));
        }
        uint8_t status = 0;
        EXPECT_EQ(token.accepted, Asserts(id, publicKey, nullptr, &status)) << token.serial;
        EXPECT_EQ(token.accepted ? CTAP_STATUS_OK : CTAP_STATUS_NO_CREDENTIALS, status);
    }

    // A key copied with its secret works under another serial, and lags when told to.
    Bytes secret, otherKey;
    Disconnect();
    VScardReset();
    reader = VScardAddReader(TOKEN_READER, TRUE);
    secret = Hex("0123456789ABCDEF");
    VScardSetDeviceSecret(reader, secret.data(), static_cast<DWORD>(secret.size()));
    NewCredential(&id, &publicKey);
    uint32_t original = 0, copy = 0;
    EXPECT_TRUE(Asserts(id, publicKey, &original));
    Disconnect();
    VScardReset();
    reader = VScardAddReader(TOKEN_READER, TRUE);
    VScardSetSerial(reader, 0x0BADC0DE);
    VScardSetDeviceSecret(reader, secret.data(), static_cast<DWORD>(secret.size()));
    VScardSetFidoKnob(reader, VSCARD_FIDO_COUNTER_LAG, 100000);
    EXPECT_TRUE(Asserts(id, publicKey, &copy));
    EXPECT_LT(copy, original);
}

TEST_F(VirtualFidoToken, AppletAndTransportKnobs)
{
    WORD sw = 0;
    for (DWORD refusal : { 0x6A82u, 0x6D00u })
    {
        VScardSetFidoKnob(reader, VSCARD_FIDO_ABSENT, refusal);
        EXPECT_TRUE(Select(&sw).empty());
        EXPECT_EQ(refusal, sw);
    }
    VScardSetFidoKnob(reader, VSCARD_FIDO_ABSENT, 0);
    VScardSetFidoVersion(reader, "FIDO_2_1");
    EXPECT_EQ(FidoVersion::Fido21, [&] { const Bytes data = Select(&sw); return CheckFidoSelectAnswer(data.data(), data.size()); }());
    VScardSetFidoVersion(reader, nullptr);

    // Answers in parts of 50 bytes, fetched with CLA 00 once CLA 80 is refused.
    VScardSetFidoKnob(reader, VSCARD_FIDO_CHUNK, 50);
    VScardSetFidoKnob(reader, VSCARD_FIDO_REFUSE_GET_RESPONSE_80, 1);
    memcpy(rpIdHash, Sha256(Bytes(VELKOR_RP_ID, VELKOR_RP_ID + sizeof(VELKOR_RP_ID) - 1)).data(), 32);
    Bytes id, publicKey;
    NewCredential(&id, &publicKey);
    EXPECT_TRUE(refusedClass);
    ASSERT_GE(parts.size(), 6u);
    for (size_t i = 0; i + 1 < parts.size(); ++i) EXPECT_EQ(50u, parts[i]);

    // The touch: 91 00 with 01, then 02 until the third poll brings the answer.
    VScardSetFidoKnob(reader, VSCARD_FIDO_TOUCH_POLLS, 3);
    NewCredential(&id, &publicKey);
    EXPECT_EQ(Bytes({ 0x01, 0x02, 0x02 }), statuses);
    // A cancel instead of the poll ends it with CTAP status 2D.
    BYTE request[CTAP_REQUEST_BUFFER_BYTES];
    BYTE user[CTAP_USER_ID_BYTES] = {};
    const std::string name(200, 'b'); // two segments
    const size_t cb = EncodeMakeCredentialRequest(VELKOR_RP_ID, clientDataHash, user, name.c_str(), name.size(), request, sizeof(request));
    VScardSetFidoKnob(reader, VSCARD_FIDO_CHUNK, 256);
    Bytes last;
    for (size_t k = 0; k < CountNfcCtapSegments(cb); ++k)
    {
        BYTE apdu[NFCCTAP_SEGMENT_MAX_BYTES];
        last = Transmit(apdu, BuildNfcCtapSegment(request, cb, k, apdu, sizeof(apdu)));
    }
    EXPECT_EQ(Bytes({ 0x01, 0x91, 0x00 }), last);
    VSCARD_RECORD record;
    ASSERT_TRUE(VScardGetRecord(VScardRecordCount() - 2, &record));
    EXPECT_EQ(5 + NFCCTAP_SEGMENT_DATA_MAX, record.commandLength);
    EXPECT_EQ(0x90, record.command[0]);
    EXPECT_FALSE(record.commandTruncated);
    EXPECT_EQ(Bytes({ 0x2D, 0x90, 0x00 }), Transmit(NFCCTAP_CANCEL_COMMAND, sizeof(NFCCTAP_CANCEL_COMMAND)));
    EXPECT_EQ(Bytes({ 0x69, 0x85 }), Transmit(NFCCTAP_GETRESPONSE_COMMAND, sizeof(NFCCTAP_GETRESPONSE_COMMAND)));
}

TEST_F(VirtualFidoToken, CtapKnobs)
{
    memcpy(rpIdHash, Sha256(Bytes(VELKOR_RP_ID, VELKOR_RP_ID + sizeof(VELKOR_RP_ID) - 1)).data(), 32);
    CTAP_NEW_CREDENTIAL credential;
    CTAP_ASSERTION assertion;
    Bytes answer, id, publicKey;
    uint8_t status = 0;
    VScardSetFidoKnob(reader, VSCARD_FIDO_PIN_REQUIRED, 1);
    EXPECT_EQ(CtapResult::AuthenticatorStatus, MakeCredential(&credential, &answer, &status));
    EXPECT_EQ(CTAP_STATUS_PIN_REQUIRED, status);
    VScardSetFidoKnob(reader, VSCARD_FIDO_PIN_REQUIRED, 0);
    NewCredential(&id, &publicKey);
    VScardSetFidoKnob(reader, VSCARD_FIDO_REFUSE_SILENT, 1);
    EXPECT_EQ(CtapResult::AuthenticatorStatus, GetAssertion(id, &assertion, &answer, &status));
    EXPECT_EQ(CTAP_STATUS_INVALID_OPTION, status);
    VScardSetFidoKnob(reader, VSCARD_FIDO_REFUSE_SILENT, 0);

    // Damage: the parser refuses a cut or lengthened answer; a flipped bit passes it and
    // fails the signature.
    const struct { int knob; DWORD damage; CtapResult result; bool verifies; } DAMAGE[] = {
        { VSCARD_FIDO_DAMAGE_GET_ASSERTION, VSCARD_DAMAGE_CUT, CtapResult::MalformedAnswer, false },
        { VSCARD_FIDO_DAMAGE_GET_ASSERTION, VSCARD_DAMAGE_TRAILING, CtapResult::MalformedAnswer, false },
        { VSCARD_FIDO_DAMAGE_GET_ASSERTION, VSCARD_DAMAGE_AUTH_DATA_BIT, CtapResult::Ok, false },
        { VSCARD_FIDO_DAMAGE_GET_ASSERTION, VSCARD_DAMAGE_SIGNATURE_BIT, CtapResult::Ok, false },
        { VSCARD_FIDO_DAMAGE_GET_ASSERTION, VSCARD_DAMAGE_NONE, CtapResult::Ok, true },
        { VSCARD_FIDO_DAMAGE_MAKE_CREDENTIAL, VSCARD_DAMAGE_CUT, CtapResult::MalformedAnswer, false },
        { VSCARD_FIDO_DAMAGE_MAKE_CREDENTIAL, VSCARD_DAMAGE_TRAILING, CtapResult::MalformedAnswer, false },
    };
    for (const auto& entry : DAMAGE)
    {
        VScardSetFidoKnob(reader, entry.knob, entry.damage);
        if (entry.knob == VSCARD_FIDO_DAMAGE_GET_ASSERTION)
        {
            ASSERT_EQ(entry.result, GetAssertion(id, &assertion, &answer, &status)) << entry.damage;
            EXPECT_EQ(entry.verifies, Asserts(id, publicKey)) << entry.damage;
        }
        else
        {
            EXPECT_EQ(entry.result, MakeCredential(&credential, &answer, &status)) << entry.damage;
        }
        VScardSetFidoKnob(reader, entry.knob, VSCARD_DAMAGE_NONE);
    }
    // A flipped bit in a new credential's data lands in its key: its assertions fail.
    VScardSetFidoKnob(reader, VSCARD_FIDO_DAMAGE_MAKE_CREDENTIAL, VSCARD_DAMAGE_AUTH_DATA_BIT);
    Bytes badId, badKey;
    NewCredential(&badId, &badKey);
    VScardSetFidoKnob(reader, VSCARD_FIDO_DAMAGE_MAKE_CREDENTIAL, VSCARD_DAMAGE_NONE);
    EXPECT_FALSE(Asserts(badId, badKey));

    // Counters from 0: per credential, shared, never.
    const struct { DWORD mode; uint32_t first; uint32_t second; } COUNTERS[] = {
        { VSCARD_COUNTER_PER_CREDENTIAL, 2, 2 }, { VSCARD_COUNTER_GLOBAL, 3, 4 }, { VSCARD_COUNTER_ZERO, 0, 0 },
    };
    for (const auto& entry : COUNTERS)
    {
        Disconnect();
        VScardReset();
        reader = VScardAddReader(TOKEN_READER, TRUE);
        VScardSetFidoKnob(reader, VSCARD_FIDO_COUNTER_START, 0);
        VScardSetFidoKnob(reader, VSCARD_FIDO_COUNTER_MODE, entry.mode);
        Bytes first, firstKey, second, secondKey;
        uint32_t firstCount = 99, secondCount = 99;
        NewCredential(&first, &firstKey);
        NewCredential(&second, &secondKey);
        EXPECT_TRUE(Asserts(first, firstKey, &firstCount));
        EXPECT_TRUE(Asserts(second, secondKey, &secondCount));
        EXPECT_EQ(entry.first, firstCount) << entry.mode;
        EXPECT_EQ(entry.second, secondCount) << entry.mode;
    }
}

TEST_F(VirtualFidoToken, ScenarioDirectives)
{
    wchar_t folder[MAX_PATH];
    wchar_t path[MAX_PATH];
    ASSERT_NE(0u, GetTempPathW(MAX_PATH, folder));
    ASSERT_NE(0u, GetTempFileNameW(folder, L"vsc", 0, path));
    // Applied to the fixture's reader, the last one; the number is the line that failed.
    const auto load = [&](const char* lines) {
        FILE* file = _wfopen(path, L"wb");
        fputs(lines, file);
        fclose(file);
        return VScardLoadScenario(path);
    };
    memcpy(rpIdHash, Sha256(Bytes(VELKOR_RP_ID, VELKOR_RP_ID + sizeof(VELKOR_RP_ID) - 1)).data(), 32);
    ASSERT_EQ(0, load("device-secret 0123456789abcdef\nfido version FIDO_2_1_PRE\nfido touch-polls 2\nfido touch-delay 1\n"
                      "fido assertion-delay 1\nfido chunk 100\nfido refuse-get-response-80\nfido counter global 41\n"
                      "fido counter-lag 3\n"));
    WORD sw = 0;
    EXPECT_EQ(Bytes({ 'F', 'I', 'D', 'O', '_', '2', '_', '1', '_', 'P', 'R', 'E' }), Select(&sw));
    VScardSetFidoVersion(reader, nullptr);
    Bytes id, publicKey;
    NewCredential(&id, &publicKey);
    EXPECT_EQ(Bytes({ 0x01, 0x02 }), statuses);
    EXPECT_TRUE(refusedClass);
    EXPECT_EQ(100u, parts[0]);
    uint32_t count = 0;
    EXPECT_TRUE(Asserts(id, publicKey, &count));
    EXPECT_EQ(40u, count); // 42 and 43 counted, shown 3 lower
    const Bytes secret = Hex("0123456789abcdef");
    VScardSetDeviceSecret(reader, nullptr, 0);
    EXPECT_FALSE(Asserts(id, publicKey));
    VScardSetDeviceSecret(reader, secret.data(), static_cast<DWORD>(secret.size()));

    CTAP_ASSERTION assertion;
    CTAP_NEW_CREDENTIAL credential;
    Bytes answer;
    uint8_t status = 0;
    ASSERT_EQ(0, load("fido refuse-silent\nfido damage make-credential cut\n"));
    EXPECT_EQ(CtapResult::AuthenticatorStatus, GetAssertion(id, &assertion, &answer, &status));
    EXPECT_EQ(CtapResult::MalformedAnswer, MakeCredential(&credential, &answer, &status));
    ASSERT_EQ(0, load("fido damage get-assertion trailing\nfido pin-required\nfido damage make-credential none\n"));
    VScardSetFidoKnob(reader, VSCARD_FIDO_REFUSE_SILENT, 0);
    EXPECT_EQ(CtapResult::MalformedAnswer, GetAssertion(id, &assertion, &answer, &status));
    EXPECT_EQ(CtapResult::AuthenticatorStatus, MakeCredential(&credential, &answer, &status));
    EXPECT_EQ(CTAP_STATUS_PIN_REQUIRED, status);
    ASSERT_EQ(0, load("fido absent 6D00\n"));
    Select(&sw);
    EXPECT_EQ(0x6D00, sw);

    for (const char* bad : { "fido chunk 0\n", "fido chunk 257\n", "fido counter sometimes\n", "fido absent 9000\n",
                             "fido damage everything cut\n", "fido wobble\n", "device-secret 123\n", "device-secret\n",
                             "fido pin 123\n", "fido pin\n", "fido pin-protocols 3\n", "fido pin-protocols 1,2\n",
                             "fido pin-retries\n", "fido always-uv 1\n" })
    {
        EXPECT_EQ(1, load(bad)) << bad;
    }
    DeleteFileW(path);
}
