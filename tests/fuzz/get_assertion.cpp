// authenticatorGetAssertion answers. The input is the expected rpIdHash (32 bytes), the
// stored credential ID (a length byte, then that many bytes) and then the answer. An
// accepted assertion must point into the answer, carry the expected hash and no AT
// flag, and its r || s must be the signature DER read back.
#include "CtapMessage.h"
#include "EcdsaSignature.h"
#include "FuzzInput.h"

#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput input(data, size);
    const std::vector<uint8_t> hash = input.Bytes(CTAP_RP_ID_HASH_BYTES);
    uint8_t rpIdHash[CTAP_RP_ID_HASH_BYTES] = {};
    if (!hash.empty()) std::memcpy(rpIdHash, hash.data(), hash.size());
    const std::vector<uint8_t> storedId = input.Bytes(input.Byte());
    const std::unique_ptr<uint8_t[]> id = ExactCopy(storedId.data(), storedId.size());
    const std::vector<uint8_t> rest = input.Rest();
    const std::unique_ptr<uint8_t[]> answer = ExactCopy(rest.data(), rest.size());

    CTAP_ASSERTION assertion;
    uint8_t status = 0xEE;
    const CtapResult result =
        ParseGetAssertionResponse(answer.get(), rest.size(), rpIdHash, id.get(), storedId.size(), &assertion, &status);
    FUZZ_CHECK(status == (rest.empty() ? 0 : rest[0]));
    FUZZ_CHECK((result == CtapResult::AuthenticatorStatus) == (!rest.empty() && rest[0] != 0));
    if (result != CtapResult::Ok) return 0;

    FUZZ_CHECK(assertion.pbAuthData > answer.get() && assertion.pbAuthData + assertion.cbAuthData <= answer.get() + rest.size());
    FUZZ_CHECK(assertion.cbAuthData >= CTAP_AUTH_DATA_MIN_BYTES);
    FUZZ_CHECK(std::memcmp(assertion.pbAuthData, rpIdHash, sizeof(rpIdHash)) == 0);
    FUZZ_CHECK(assertion.flags == assertion.pbAuthData[32] && (assertion.flags & AUTH_DATA_FLAG_AT) == 0);
    FUZZ_CHECK((assertion.cbAuthData == CTAP_AUTH_DATA_MIN_BYTES) == ((assertion.flags & AUTH_DATA_FLAG_ED) == 0));
    const uint8_t* pbCount = assertion.pbAuthData + 33;
    FUZZ_CHECK(assertion.signCount == ((uint32_t(pbCount[0]) << 24) | (uint32_t(pbCount[1]) << 16) | (uint32_t(pbCount[2]) << 8) | pbCount[3]));

    // The DER of r || s appears in the answer exactly as the authenticator sent it.
    uint8_t der[ECDSA_P256_DER_MAX_BYTES];
    const size_t cbDer = EncodeDerSignature(assertion.rgbSignature, der, sizeof(der));
    FUZZ_CHECK(cbDer != 0);
    std::vector<uint8_t> member;
    if (cbDer < 24) member.push_back(static_cast<uint8_t>(0x40 + cbDer));
    else member.insert(member.end(), { 0x58, static_cast<uint8_t>(cbDer) });
    member.insert(member.end(), der, der + cbDer);
    bool fFound = false;
    for (size_t i = 0; i + member.size() <= rest.size() && !fFound; ++i)
    {
        fFound = std::memcmp(rest.data() + i, member.data(), member.size()) == 0;
    }
    FUZZ_CHECK(fFound);
    return 0;
}
