#include "TokenProof.h"
#include "RandomBytes.h"

// The making of a key's credential at association, apart from the proof every logon runs:
// only the administration programs need it, and with it the PIN/UV auth protocols.
namespace
{
    constexpr DWORD USER_NAME_UTF8_MAX = 200;
}

CtapExchangeStatus ProbeCtap2(ICtapExchange& exchange, TOKEN_INFO* pInfo)
{
    if (pInfo != nullptr)
    {
        *pInfo = {};
    }
    const CtapExchangeStatus status = exchange.Open();
    return status != CtapExchangeStatus::Ok ? status : ReadTokenInfo(exchange, pInfo);
}

CtapExchangeStatus ReadTokenInfo(ICtapExchange& exchange, TOKEN_INFO* pInfo)
{
    if (pInfo != nullptr)
    {
        *pInfo = {};
    }
    // authenticatorGetInfo: any CTAP answer, whatever its status byte, shows CTAP2 spoken here.
    uint8_t rgbAnswer[CTAP_CREDENTIAL_ANSWER_MAX];
    CCtapAnswerBuffer answer(rgbAnswer, sizeof(rgbAnswer));
    const CtapExchangeStatus status = exchange.Exchange(CTAP_GET_INFO_REQUEST, sizeof(CTAP_GET_INFO_REQUEST), answer);
    if (status != CtapExchangeStatus::Ok || pInfo == nullptr)
    {
        return status;
    }
    uint8_t ctapStatus = 0;
    switch (ParseGetInfoResponse(answer.Data(), answer.Length(), &pInfo->info, &ctapStatus))
    {
    case CtapResult::Ok:
        pInfo->state = TokenInfoState::Read;
        break;
    case CtapResult::AuthenticatorStatus:
        pInfo->state = TokenInfoState::Refused;
        break;
    default:
        pInfo->state = TokenInfoState::Unreadable;
        break;
    }
    return status;
}

void MakeTokenCredential(ICtapExchange& exchange, const wchar_t* pszUserName, NEW_TOKEN_CREDENTIAL* pCredential,
                         const TOKEN_PIN_TOKEN* pPinToken)
{
    SecureZeroMemory(pCredential, sizeof(*pCredential));
    pCredential->outcome = TokenCredentialOutcome::Failed;
    pCredential->answerCheck = CtapResult::Ok;

    char szUserName[USER_NAME_UTF8_MAX] = {};
    const int cbUserName = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, pszUserName, -1, szUserName,
                                               sizeof(szUserName), nullptr, nullptr);
    // A fresh client data hash and the relying party's hash, as for a proof.
    TOKEN_PROOF_CHALLENGE challenge;
    uint8_t rgbUserId[CTAP_USER_ID_BYTES];
    // Nothing is sent without a name to give, a relying party hash and fresh random bytes.
    if (cbUserName <= 1 || !DrawTokenProofChallenge(&challenge) || !FillRandomBytes(rgbUserId, sizeof(rgbUserId)))
    {
        return;
    }
    const BYTE (&rgbRpIdHash)[CTAP_RP_ID_HASH_BYTES] = challenge.rgbRpIdHash;
    const uint8_t (&rgbClientDataHash)[CTAP_CLIENT_DATA_HASH_BYTES] = challenge.rgbClientDataHash;

    // With the key's PIN: pinUvAuthParam over this request's client data hash.
    BYTE rgbPinUvAuthParam[32] = {};
    CTAP_PIN_UV_AUTH_PARAM pinUvAuth = {};
    if (pPinToken != nullptr)
    {
        pinUvAuth.pbParam = rgbPinUvAuthParam;
        pinUvAuth.cbParam = ComputePinUvAuthParam(*pPinToken, rgbClientDataHash, rgbPinUvAuthParam);
        pinUvAuth.protocol = pPinToken->protocol;
        if (pinUvAuth.cbParam == 0)
        {
            return;
        }
    }

    uint8_t rgbRequest[CTAP_REQUEST_BUFFER_BYTES];
    uint8_t rgbAnswer[CTAP_CREDENTIAL_ANSWER_MAX];
    CCtapAnswerBuffer answer(rgbAnswer, sizeof(rgbAnswer));
    const size_t cbRequest = EncodeMakeCredentialRequest(VELKOR_RP_ID, rgbClientDataHash, rgbUserId, szUserName,
                                                         static_cast<size_t>(cbUserName - 1), rgbRequest,
                                                         sizeof(rgbRequest), pPinToken != nullptr ? &pinUvAuth : nullptr);
    SecureZeroMemory(rgbPinUvAuthParam, sizeof(rgbPinUvAuthParam));
    const CtapExchangeStatus status =
        cbRequest != 0 ? exchange.Exchange(rgbRequest, cbRequest, answer) : CtapExchangeStatus::DeviceError;
    if (NoteCredentialExchangeFailure(status, exchange, pCredential))
    {
        return;
    }

    CTAP_NEW_CREDENTIAL made;
    const CtapResult check = ParseMakeCredentialResponse(answer.Data(), answer.Length(), rgbRpIdHash, &made,
                                                         &pCredential->ctapStatus);
    if (check != CtapResult::Ok)
    {
        pCredential->answerCheck = check;
        return;
    }
    memcpy(pCredential->rgbCredentialId, made.pbCredentialId, made.cbCredentialId);
    pCredential->cbCredentialId = static_cast<DWORD>(made.cbCredentialId);
    memcpy(pCredential->rgbPublicKey, made.rgbPublicKey, sizeof(pCredential->rgbPublicKey));
    pCredential->signCount = made.signCount;
    pCredential->outcome = TokenCredentialOutcome::Made;
}

bool NoteCredentialExchangeFailure(CtapExchangeStatus status, const ICtapExchange& exchange, NEW_TOKEN_CREDENTIAL* pCredential)
{
    switch (status)
    {
    case CtapExchangeStatus::Ok:
        return false;
    case CtapExchangeStatus::NoCtap2:
        pCredential->outcome = TokenCredentialOutcome::NoFidoApplet;
        return true;
    case CtapExchangeStatus::TimedOut:
        pCredential->outcome = TokenCredentialOutcome::TimedOut;
        return true;
    case CtapExchangeStatus::AnswerTooLong:
    case CtapExchangeStatus::MalformedAnswer:
        pCredential->answerCheck = CtapResult::MalformedAnswer;
        return true;
    case CtapExchangeStatus::DeviceError:
        break;
    }
    pCredential->deviceResult = exchange.LastDeviceResult();
    pCredential->statusWord = exchange.LastStatusWord();
    return true;
}

void StoredCredentialOf(const NEW_TOKEN_CREDENTIAL& made, TOKEN_CREDENTIAL* pStored)
{
    SecureZeroMemory(pStored, sizeof(*pStored));
    memcpy(pStored->rgbCredentialId, made.rgbCredentialId, made.cbCredentialId);
    pStored->cbCredentialId = made.cbCredentialId;
    memcpy(pStored->rgbPublicKey, made.rgbPublicKey, sizeof(pStored->rgbPublicKey));
    pStored->signCount = made.signCount;
}
