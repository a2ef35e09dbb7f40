#include "TokenPin.h"
#include "CngCrypto.h"
#include "PinUvAuthProtocol.h"

#include <cstring>

namespace
{
    // The longest clientPIN request: the platform key, the encrypted hash and the rp ID.
    constexpr size_t PIN_REQUEST_BYTES = 256;
    constexpr size_t PIN_ANSWER_BYTES = 1024;

    void ExchangeFailure(TOKEN_PIN_RESULT* pResult, CtapExchangeStatus status, const ICtapExchange& exchange)
    {
        switch (status)
        {
        case CtapExchangeStatus::NoCtap2:
            pResult->outcome = TokenPinOutcome::NoCtap2;
            return;
        case CtapExchangeStatus::TimedOut:
            pResult->outcome = TokenPinOutcome::TimedOut;
            return;
        case CtapExchangeStatus::AnswerTooLong:
        case CtapExchangeStatus::MalformedAnswer:
            pResult->answerCheck = CtapResult::MalformedAnswer;
            return;
        case CtapExchangeStatus::DeviceError:
        case CtapExchangeStatus::Ok:
            break;
        }
        pResult->deviceResult = exchange.LastDeviceResult();
        pResult->statusWord = exchange.LastStatusWord();
    }

    // What a refused answer means for the PIN.
    void AnswerFailure(TOKEN_PIN_RESULT* pResult, CtapResult check, uint8_t ctapStatus)
    {
        pResult->answerCheck = check;
        pResult->ctapStatus = ctapStatus;
        if (check != CtapResult::AuthenticatorStatus)
        {
            return;
        }
        switch (ctapStatus)
        {
        case CTAP_STATUS_PIN_INVALID: pResult->outcome = TokenPinOutcome::WrongPin; break;
        case CTAP_STATUS_PIN_BLOCKED: pResult->outcome = TokenPinOutcome::Blocked; break;
        case CTAP_STATUS_PIN_AUTH_BLOCKED: pResult->outcome = TokenPinOutcome::PowerCycleNeeded; break;
        case CTAP_STATUS_PIN_NOT_SET: pResult->outcome = TokenPinOutcome::NotSet; break;
        default: break;
        }
    }

    void StartResult(TOKEN_PIN_RESULT* pResult)
    {
        *pResult = {};
        pResult->outcome = TokenPinOutcome::Failed;
        pResult->answerCheck = CtapResult::Ok;
    }

    // One clientPIN exchange into the caller's answer buffer; false with pResult set otherwise.
    bool Send(ICtapExchange& exchange, const uint8_t* pbRequest, size_t cbRequest, CCtapAnswerBuffer& answer,
              TOKEN_PIN_RESULT* pResult)
    {
        if (cbRequest == 0)
        {
            return false;
        }
        const CtapExchangeStatus status = exchange.Exchange(pbRequest, cbRequest, answer);
        if (status != CtapExchangeStatus::Ok)
        {
            ExchangeFailure(pResult, status, exchange);
            return false;
        }
        return true;
    }
}

PinTextCheck HashPinText(const wchar_t* pszPin, BYTE (&rgbPinHash)[CTAP_PIN_HASH_BYTES])
{
    if (pszPin == nullptr)
    {
        return PinTextCheck::TooShort;
    }
    // Characters are counted as code points: a surrogate pair is one.
    size_t cchPin = 0;
    size_t cCharacters = 0;
    for (; pszPin[cchPin] != L'\0' && cchPin <= 2 * PIN_MAX_UTF8_BYTES; ++cchPin)
    {
        if (pszPin[cchPin] < 0xDC00 || pszPin[cchPin] > 0xDFFF)
        {
            ++cCharacters;
        }
    }
    if (cchPin > PIN_MAX_UTF8_BYTES)
    {
        return PinTextCheck::TooLong;
    }
    if (cCharacters < PIN_MIN_CHARACTERS)
    {
        return PinTextCheck::TooShort;
    }
    char szUtf8[4 * PIN_MAX_UTF8_BYTES] = {};
    const int cbUtf8 = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, pszPin, static_cast<int>(cchPin), szUtf8,
                                           sizeof(szUtf8), nullptr, nullptr);
    PinTextCheck check = PinTextCheck::Ok;
    if (cbUtf8 <= 0)
    {
        check = PinTextCheck::NotUnicode;
    }
    else if (static_cast<size_t>(cbUtf8) > PIN_MAX_UTF8_BYTES)
    {
        check = PinTextCheck::TooLong;
    }
    BYTE rgbDigest[32];
    if (check == PinTextCheck::Ok)
    {
        if (Sha256Cng(reinterpret_cast<const BYTE*>(szUtf8), static_cast<size_t>(cbUtf8), nullptr, 0, rgbDigest))
        {
            memcpy(rgbPinHash, rgbDigest, CTAP_PIN_HASH_BYTES);
        }
        else
        {
            check = PinTextCheck::NotUnicode;
        }
    }
    SecureZeroMemory(rgbDigest, sizeof(rgbDigest));
    SecureZeroMemory(szUtf8, sizeof(szUtf8));
    return check;
}

void GetPinUvAuthToken(ICtapExchange& exchange, const CTAP_AUTHENTICATOR_INFO& info,
                       const BYTE (&rgbPinHash)[CTAP_PIN_HASH_BYTES], const char* pszRpId, TOKEN_PIN_TOKEN* pToken,
                       TOKEN_PIN_RESULT* pResult)
{
    StartResult(pResult);
    const uint8_t protocolNumber = ChoosePinUvAuthProtocol(info);
    if (protocolNumber == 0)
    {
        pResult->outcome = TokenPinOutcome::NoProtocol;
        return;
    }
    uint8_t rgbRequest[PIN_REQUEST_BYTES];
    uint8_t rgbAnswer[PIN_ANSWER_BYTES];
    CCtapAnswerBuffer answer(rgbAnswer, sizeof(rgbAnswer));
    if (!Send(exchange, rgbRequest, EncodeGetKeyAgreementRequest(protocolNumber, rgbRequest, sizeof(rgbRequest)), answer,
              pResult))
    {
        return;
    }
    CTAP_KEY_AGREEMENT keyAgreement;
    uint8_t ctapStatus = 0;
    CtapResult check = ParseKeyAgreementResponse(answer.Data(), answer.Length(), &keyAgreement, &ctapStatus);
    if (check != CtapResult::Ok)
    {
        AnswerFailure(pResult, check, ctapStatus);
        return;
    }

    CPinUvAuthProtocol protocol(protocolNumber);
    CTAP_KEY_AGREEMENT platformKey;
    BYTE rgbPinHashEnc[CTAP_PIN_HASH_ENC_MAX_BYTES];
    const size_t cbPinHashEnc = protocol.Encapsulate(keyAgreement, &platformKey)
                                    ? protocol.Encrypt(rgbPinHash, CTAP_PIN_HASH_BYTES, rgbPinHashEnc, sizeof(rgbPinHashEnc))
                                    : 0;
    if (cbPinHashEnc == 0)
    {
        return; // no key agreement through CNG: nothing is sent
    }
    // Permissions and the rp ID where the key knows them; CTAP 2.0 keys know only getPinToken.
    const bool fPermissions = info.pinUvAuthToken == CtapOption::True;
    const size_t cbRequest = EncodePinTokenRequest(protocolNumber, platformKey, rgbPinHashEnc, cbPinHashEnc,
                                                   CTAP_PERMISSION_MAKE_CREDENTIAL, fPermissions ? pszRpId : nullptr,
                                                   rgbRequest, sizeof(rgbRequest));
    SecureZeroMemory(rgbPinHashEnc, sizeof(rgbPinHashEnc));
    answer.Reset();
    const bool fSent = Send(exchange, rgbRequest, cbRequest, answer, pResult);
    SecureZeroMemory(rgbRequest, sizeof(rgbRequest));
    if (!fSent)
    {
        return;
    }
    CTAP_ENCRYPTED_PIN_TOKEN encrypted;
    check = ParsePinTokenResponse(answer.Data(), answer.Length(), &encrypted, &ctapStatus);
    if (check != CtapResult::Ok)
    {
        AnswerFailure(pResult, check, ctapStatus);
        return;
    }
    TOKEN_PIN_TOKEN token = {};
    token.protocol = protocolNumber;
    const size_t cbToken = protocol.Decrypt(encrypted.pbToken, encrypted.cbToken, token.rgbToken, sizeof(token.rgbToken));
    SecureZeroMemory(rgbAnswer, sizeof(rgbAnswer));
    // Protocol 2 tokens are 32 bytes; protocol 1 tokens 16 or 32.
    if (cbToken == 0 || (protocolNumber == 2 ? cbToken != 32 : (cbToken != 16 && cbToken != 32)))
    {
        SecureZeroMemory(&token, sizeof(token));
        pResult->answerCheck = CtapResult::MalformedAnswer;
        return;
    }
    token.cbToken = static_cast<DWORD>(cbToken);
    *pToken = token;
    SecureZeroMemory(&token, sizeof(token));
    pResult->outcome = TokenPinOutcome::Ok;
}

void ReadPinRetries(ICtapExchange& exchange, uint8_t protocol, CTAP_PIN_RETRIES* pRetries, TOKEN_PIN_RESULT* pResult)
{
    StartResult(pResult);
    uint8_t rgbRequest[16];
    uint8_t rgbAnswer[PIN_ANSWER_BYTES];
    CCtapAnswerBuffer answer(rgbAnswer, sizeof(rgbAnswer));
    if (!Send(exchange, rgbRequest, EncodeGetPinRetriesRequest(protocol, rgbRequest, sizeof(rgbRequest)), answer, pResult))
    {
        return;
    }
    uint8_t ctapStatus = 0;
    const CtapResult check = ParsePinRetriesResponse(answer.Data(), answer.Length(), pRetries, &ctapStatus);
    if (check != CtapResult::Ok)
    {
        AnswerFailure(pResult, check, ctapStatus);
        return;
    }
    pResult->outcome = TokenPinOutcome::Ok;
}

size_t ComputePinUvAuthParam(const TOKEN_PIN_TOKEN& token,
                             const BYTE (&rgbClientDataHash)[CTAP_CLIENT_DATA_HASH_BYTES], BYTE (&rgbParam)[32])
{
    return AuthenticatePinUv(token.protocol, token.rgbToken, token.cbToken, rgbClientDataHash,
                             sizeof(rgbClientDataHash), rgbParam);
}
