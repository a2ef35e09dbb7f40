#include "TokenProof.h"
#include "CngCrypto.h"
#include "RandomBytes.h"

#include <cstring>
#include <cwchar>

namespace
{
    void SetReason(TOKEN_PROOF_RESULT* pResult, TokenProofOutcome outcome, const wchar_t* pszReason)
    {
        pResult->outcome = outcome;
        wcsncpy_s(pResult->szReason, pszReason, _TRUNCATE);
    }

    void ExchangeFailure(TOKEN_PROOF_RESULT* pResult, CtapExchangeStatus status, const ICtapExchange& exchange)
    {
        switch (status)
        {
        case CtapExchangeStatus::NoCtap2:
            pResult->outcome = TokenProofOutcome::NoFidoApplet;
            return;
        case CtapExchangeStatus::TimedOut:
            pResult->outcome = TokenProofOutcome::TimedOut;
            return;
        case CtapExchangeStatus::AnswerTooLong:
            SetReason(pResult, TokenProofOutcome::Failed, L"answer too long");
            return;
        case CtapExchangeStatus::MalformedAnswer:
            SetReason(pResult, TokenProofOutcome::Failed, L"malformed answer");
            return;
        case CtapExchangeStatus::DeviceError:
        case CtapExchangeStatus::Ok:
            break;
        }
        pResult->outcome = TokenProofOutcome::Failed;
        if (exchange.LastDeviceResult() != 0)
        {
            swprintf(pResult->szReason, TOKEN_PROOF_REASON_CHARS, L"communication error 0x%08X",
                     static_cast<unsigned int>(exchange.LastDeviceResult()));
        }
        else
        {
            swprintf(pResult->szReason, TOKEN_PROOF_REASON_CHARS, L"status word %04X",
                     static_cast<unsigned int>(exchange.LastStatusWord()));
        }
    }

    bool RelyingPartyHash(BYTE (&rgbRpIdHash)[CTAP_RP_ID_HASH_BYTES])
    {
        return Sha256Cng(reinterpret_cast<const BYTE*>(VELKOR_RP_ID), sizeof(VELKOR_RP_ID) - 1, nullptr, 0, rgbRpIdHash);
    }
}

bool DrawTokenProofChallenge(TOKEN_PROOF_CHALLENGE* pChallenge)
{
    // A challenge nobody could have known before this logon.
    return FillRandomBytes(pChallenge->rgbClientDataHash, sizeof(pChallenge->rgbClientDataHash)) &&
           RelyingPartyHash(pChallenge->rgbRpIdHash);
}

void ProveTokenPossession(ICtapExchange& exchange, const TOKEN_CREDENTIAL& credential,
                          const TOKEN_PROOF_CHALLENGE& challenge, bool fUserPresence, TOKEN_PROOF_RESULT* pResult)
{
    *pResult = {};
    pResult->outcome = TokenProofOutcome::Failed;
    pResult->storedCount = credential.signCount;
    const CtapExchangeStatus status = exchange.Open();
    if (status != CtapExchangeStatus::Ok)
    {
        ExchangeFailure(pResult, status, exchange);
        return;
    }
    ProveOnOpenExchange(exchange, credential, challenge, fUserPresence, pResult);
}

void ProveOnOpenExchange(ICtapExchange& exchange, const TOKEN_CREDENTIAL& credential,
                         const TOKEN_PROOF_CHALLENGE& challenge, bool fUserPresence, TOKEN_PROOF_RESULT* pResult)
{
    *pResult = {};
    pResult->outcome = TokenProofOutcome::Failed;
    pResult->storedCount = credential.signCount;
    const BYTE (&rgbRpIdHash)[CTAP_RP_ID_HASH_BYTES] = challenge.rgbRpIdHash;
    const BYTE (&rgbClientDataHash)[CTAP_CLIENT_DATA_HASH_BYTES] = challenge.rgbClientDataHash;

    uint8_t rgbRequest[CTAP_REQUEST_BUFFER_BYTES];
    const size_t cbRequest = EncodeGetAssertionRequest(VELKOR_RP_ID, rgbClientDataHash, credential.rgbCredentialId,
                                                       credential.cbCredentialId, rgbRequest, sizeof(rgbRequest),
                                                       fUserPresence);
    if (cbRequest == 0)
    {
        SetReason(pResult, TokenProofOutcome::Failed, L"stored credential unusable");
        return;
    }
    uint8_t rgbAnswer[CTAP_ASSERTION_ANSWER_MAX];
    CCtapAnswerBuffer answer(rgbAnswer, sizeof(rgbAnswer));
    const CtapExchangeStatus status = exchange.Exchange(rgbRequest, cbRequest, answer);
    if (status != CtapExchangeStatus::Ok)
    {
        ExchangeFailure(pResult, status, exchange);
        return;
    }

    CTAP_ASSERTION assertion;
    uint8_t ctapStatus = 0;
    const CtapResult check = ParseGetAssertionResponse(answer.Data(), answer.Length(), rgbRpIdHash,
                                                       credential.rgbCredentialId, credential.cbCredentialId,
                                                       &assertion, &ctapStatus);
    if (check == CtapResult::AuthenticatorStatus && ctapStatus == CTAP_STATUS_NO_CREDENTIALS)
    {
        pResult->outcome = TokenProofOutcome::CredentialNotHeld;
        return;
    }
    if (check != CtapResult::Ok)
    {
        wchar_t szCheck[CTAP_RESULT_TEXT_CHARS];
        FormatCtapResult(check, ctapStatus, szCheck);
        SetReason(pResult, TokenProofOutcome::Failed, szCheck);
        return;
    }

    BYTE rgbSignedDigest[32];
    if (!Sha256Cng(assertion.pbAuthData, assertion.cbAuthData, rgbClientDataHash, sizeof(rgbClientDataHash),
                   rgbSignedDigest))
    {
        SetReason(pResult, TokenProofOutcome::Failed, L"no SHA-256");
        return;
    }
    switch (VerifyEs256(credential.rgbPublicKey, rgbSignedDigest, assertion.rgbSignature))
    {
    case Es256Verification::KeyUnusable:
        SetReason(pResult, TokenProofOutcome::Failed, L"stored public key unusable");
        return;
    case Es256Verification::Invalid:
        SetReason(pResult, TokenProofOutcome::Failed, L"signature does not verify");
        return;
    case Es256Verification::Valid:
        break;
    }
    // Asked to be touched, the key must say it was; the flag is covered by the signature.
    if (fUserPresence && (assertion.pbAuthData[CTAP_AUTH_DATA_FLAGS_OFFSET] & AUTH_DATA_FLAG_UP) == 0)
    {
        SetReason(pResult, TokenProofOutcome::Failed, L"the key was not touched");
        return;
    }

    // A counter that does not grow means another device presents this credential.
    pResult->presentedCount = assertion.signCount;
    if ((credential.signCount != 0 || assertion.signCount != 0) && assertion.signCount <= credential.signCount)
    {
        pResult->outcome = TokenProofOutcome::CounterNotIncreased;
        return;
    }
    pResult->outcome = TokenProofOutcome::Proven;
}
