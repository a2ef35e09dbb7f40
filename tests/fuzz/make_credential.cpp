// authenticatorMakeCredential answers, their authenticator data and COSE key. The input
// is the expected rpIdHash (32 bytes) and then the answer. An accepted credential is
// written back into authenticator data with the writer and must give the bytes it was
// read from: everything the parser hands out comes from where it should.
#include "CborWriter.h"
#include "CtapMessage.h"
#include "FuzzInput.h"

#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint8_t rpIdHash[CTAP_RP_ID_HASH_BYTES] = {};
    const size_t cbHash = size < sizeof(rpIdHash) ? size : sizeof(rpIdHash);
    if (cbHash != 0) std::memcpy(rpIdHash, data, cbHash);
    const size_t cbAnswer = size - cbHash;
    const std::unique_ptr<uint8_t[]> answer = ExactCopy(data + cbHash, cbAnswer);

    CTAP_NEW_CREDENTIAL credential;
    uint8_t status = 0xEE;
    const CtapResult result = ParseMakeCredentialResponse(answer.get(), cbAnswer, rpIdHash, &credential, &status);
    FUZZ_CHECK(status == (cbAnswer != 0 ? answer[0] : 0));
    FUZZ_CHECK((result == CtapResult::AuthenticatorStatus) == (cbAnswer != 0 && answer[0] != 0));
    wchar_t text[CTAP_RESULT_TEXT_CHARS];
    FormatCtapResult(result, status, text);
    FUZZ_CHECK(text[0] != L'\0');
    if (result != CtapResult::Ok) return 0;

    const uint8_t* pbId = credential.pbCredentialId;
    const uint8_t* pbEnd = answer.get() + cbAnswer;
    FUZZ_CHECK(credential.cbCredentialId >= 1 && credential.cbCredentialId <= CTAP_CREDENTIAL_ID_MAX_BYTES);
    FUZZ_CHECK(pbId >= answer.get() + 1 + 55 && pbId + credential.cbCredentialId <= pbEnd);
    FUZZ_CHECK(credential.rgbPublicKey[0] == 0x04);
    FUZZ_CHECK((credential.flags & (AUTH_DATA_FLAG_UP | AUTH_DATA_FLAG_AT)) == (AUTH_DATA_FLAG_UP | AUTH_DATA_FLAG_AT));

    // rpIdHash, flags, signCount, AAGUID, length, credential ID, then the COSE key.
    std::vector<uint8_t> rebuilt(rpIdHash, rpIdHash + sizeof(rpIdHash));
    rebuilt.push_back(credential.flags);
    for (int shift = 24; shift >= 0; shift -= 8) rebuilt.push_back(static_cast<uint8_t>(credential.signCount >> shift));
    rebuilt.insert(rebuilt.end(), pbId - 18, pbId - 2);
    rebuilt.push_back(static_cast<uint8_t>(credential.cbCredentialId >> 8));
    rebuilt.push_back(static_cast<uint8_t>(credential.cbCredentialId));
    rebuilt.insert(rebuilt.end(), pbId, pbId + credential.cbCredentialId);
    uint8_t key[80];
    CCborWriter writer(key, sizeof(key));
    writer.WriteMapHeader(5);
    writer.WriteInteger(1); writer.WriteInteger(2);
    writer.WriteInteger(3); writer.WriteInteger(-7);
    writer.WriteInteger(-1); writer.WriteInteger(1);
    writer.WriteInteger(-2); writer.WriteBytes(credential.rgbPublicKey + 1, 32);
    writer.WriteInteger(-3); writer.WriteBytes(credential.rgbPublicKey + 33, 32);
    FUZZ_CHECK(!writer.Failed());
    rebuilt.insert(rebuilt.end(), key, key + writer.Length());

    const uint8_t* pbAuthData = pbId - 55;
    FUZZ_CHECK(pbAuthData + rebuilt.size() <= pbEnd);
    FUZZ_CHECK(std::memcmp(pbAuthData, rebuilt.data(), rebuilt.size()) == 0);
    return 0;
}
