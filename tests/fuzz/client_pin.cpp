// The answers that turn a key's PIN into a pinUvAuthToken, and what getInfo says of the
// PIN. The first byte picks the answer (0 getKeyAgreement, 1 getPinToken or
// getPinUvAuthTokenUsingPinWithPermissions, 2 getPINRetries, 3 getInfo), the rest is it. What a
// parser accepts is checked against the bytes it came from.
#include "CborWriter.h"
#include "CtapClientPin.h"
#include "FuzzInput.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const uint8_t kind = data[0] % 4;
    const size_t cbAnswer = size - 1;
    const std::unique_ptr<uint8_t[]> answer = ExactCopy(data + 1, cbAnswer);
    const uint8_t* pbEnd = answer.get() + cbAnswer;
    uint8_t status = 0xEE;
    CtapResult result = CtapResult::Ok;
    switch (kind)
    {
    case 0:
    {
        CTAP_KEY_AGREEMENT key;
        result = ParseKeyAgreementResponse(answer.get(), cbAnswer, &key, &status);
        if (result != CtapResult::Ok) break;
        // The COSE key written back must be in the answer as it was read.
        uint8_t cose[80];
        CCborWriter writer(cose, sizeof(cose));
        writer.WriteMapHeader(5);
        writer.WriteInteger(1); writer.WriteInteger(2);
        writer.WriteInteger(3); writer.WriteInteger(-25);
        writer.WriteInteger(-1); writer.WriteInteger(1);
        writer.WriteInteger(-2); writer.WriteBytes(key.rgbX, sizeof(key.rgbX));
        writer.WriteInteger(-3); writer.WriteBytes(key.rgbY, sizeof(key.rgbY));
        FUZZ_CHECK(!writer.Failed());
        bool found = false;
        for (size_t at = 1; !found && at + writer.Length() <= cbAnswer; ++at)
            found = std::memcmp(answer.get() + at, cose, writer.Length()) == 0;
        FUZZ_CHECK(found);
        break;
    }
    case 1:
    {
        CTAP_ENCRYPTED_PIN_TOKEN token;
        result = ParsePinTokenResponse(answer.get(), cbAnswer, &token, &status);
        if (result != CtapResult::Ok) break;
        FUZZ_CHECK(token.cbToken >= 16 && token.cbToken <= CTAP_ENCRYPTED_PIN_TOKEN_MAX_BYTES && token.cbToken % 16 == 0);
        FUZZ_CHECK(token.pbToken > answer.get() && token.pbToken + token.cbToken <= pbEnd);
        break;
    }
    case 2:
    {
        CTAP_PIN_RETRIES retries;
        result = ParsePinRetriesResponse(answer.get(), cbAnswer, &retries, &status);
        if (result == CtapResult::Ok) FUZZ_CHECK(retries.retries <= 255);
        break;
    }
    default:
    {
        CTAP_AUTHENTICATOR_INFO info;
        result = ParseGetInfoResponse(answer.get(), cbAnswer, &info, &status);
        if (result != CtapResult::Ok) break;
        FUZZ_CHECK(info.cPinProtocols <= CTAP_PIN_PROTOCOLS_MAX);
        for (size_t i = 0; i < info.cPinProtocols; ++i) FUZZ_CHECK(info.rgPinProtocols[i] == 1 || info.rgPinProtocols[i] == 2);
        FUZZ_CHECK(info.fPinProtocolsListed || info.cPinProtocols == 0);
        const uint8_t protocol = ChoosePinUvAuthProtocol(info);
        FUZZ_CHECK(protocol <= 2 && (protocol != 0 || (info.fPinProtocolsListed && info.cPinProtocols == 0)));
        break;
    }
    }
    FUZZ_CHECK(status == (cbAnswer != 0 ? answer[0] : 0));
    FUZZ_CHECK((result == CtapResult::AuthenticatorStatus) == (cbAnswer != 0 && answer[0] != 0));
    return 0;
}
