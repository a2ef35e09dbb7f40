#include "TokenProof.h"
#include "RandomBytes.h"

#include <bcrypt.h>

#include <cstring>
#include <cwchar>

namespace
{
    constexpr DWORD USER_NAME_UTF8_MAX = 200;

    class CAlgorithm
    {
    public:
        explicit CAlgorithm(const wchar_t* pszAlgorithm)
        {
            if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&_hAlgorithm, pszAlgorithm, nullptr, 0)))
            {
                _hAlgorithm = nullptr;
            }
        }
        ~CAlgorithm()
        {
            if (_hAlgorithm != nullptr) BCryptCloseAlgorithmProvider(_hAlgorithm, 0);
        }
        CAlgorithm(const CAlgorithm&) = delete;
        CAlgorithm& operator=(const CAlgorithm&) = delete;
        BCRYPT_ALG_HANDLE Get() const { return _hAlgorithm; }

    private:
        BCRYPT_ALG_HANDLE _hAlgorithm = nullptr;
    };

    class CHash
    {
    public:
        ~CHash()
        {
            if (_hHash != nullptr) BCryptDestroyHash(_hHash);
        }
        BCRYPT_HASH_HANDLE* Put() { return &_hHash; }
        BCRYPT_HASH_HANDLE Get() const { return _hHash; }

    private:
        BCRYPT_HASH_HANDLE _hHash = nullptr;
    };

    class CKey
    {
    public:
        ~CKey()
        {
            if (_hKey != nullptr) BCryptDestroyKey(_hKey);
        }
        BCRYPT_KEY_HANDLE* Put() { return &_hKey; }
        BCRYPT_KEY_HANDLE Get() const { return _hKey; }

    private:
        BCRYPT_KEY_HANDLE _hKey = nullptr;
    };

    bool HashPiece(BCRYPT_HASH_HANDLE hHash, const BYTE* pb, size_t cb)
    {
        while (cb > 0)
        {
            const ULONG cbChunk = cb > 0x10000000 ? 0x10000000 : static_cast<ULONG>(cb);
            if (!BCRYPT_SUCCESS(BCryptHashData(hHash, const_cast<BYTE*>(pb), cbChunk, 0)))
            {
                return false;
            }
            pb += cbChunk;
            cb -= cbChunk;
        }
        return true;
    }

    enum class Verification
    {
        Valid,
        KeyUnusable,
        Invalid,
    };

    // ECDSA P-256 over a SHA-256 digest with the key 04 || X || Y.
    Verification VerifyEs256(const BYTE (&rgbPublicKey)[TOKEN_PUBLIC_KEY_BYTES], BYTE (&rgbDigest)[32],
                             BYTE (&rgbSignature)[ECDSA_P256_SIGNATURE_BYTES])
    {
        if (rgbPublicKey[0] != 0x04)
        {
            return Verification::KeyUnusable;
        }
        CAlgorithm ecdsa(BCRYPT_ECDSA_P256_ALGORITHM);
        if (ecdsa.Get() == nullptr)
        {
            return Verification::KeyUnusable;
        }
        BYTE rgbBlob[sizeof(BCRYPT_ECCKEY_BLOB) + 2 * ECDSA_P256_SCALAR_BYTES] = {};
        auto* pHeader = reinterpret_cast<BCRYPT_ECCKEY_BLOB*>(rgbBlob);
        pHeader->dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
        pHeader->cbKey = ECDSA_P256_SCALAR_BYTES;
        memcpy(rgbBlob + sizeof(BCRYPT_ECCKEY_BLOB), rgbPublicKey + 1, 2 * ECDSA_P256_SCALAR_BYTES);
        CKey key;
        if (!BCRYPT_SUCCESS(BCryptImportKeyPair(ecdsa.Get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.Put(), rgbBlob,
                                                sizeof(rgbBlob), 0)))
        {
            return Verification::KeyUnusable;
        }
        return BCRYPT_SUCCESS(BCryptVerifySignature(key.Get(), nullptr, rgbDigest, sizeof(rgbDigest), rgbSignature,
                                                    sizeof(rgbSignature), 0))
                   ? Verification::Valid
                   : Verification::Invalid;
    }

    void SetReason(TOKEN_PROOF_RESULT* pResult, TokenProofOutcome outcome, const wchar_t* pszReason)
    {
        pResult->outcome = outcome;
        wcsncpy_s(pResult->szReason, pszReason, _TRUNCATE);
    }

    void TransportFailure(TOKEN_PROOF_RESULT* pResult, CtapTransportStatus status, const CCtapTransport& transport)
    {
        switch (status)
        {
        case CtapTransportStatus::NoFidoApplet:
            pResult->outcome = TokenProofOutcome::NoFidoApplet;
            return;
        case CtapTransportStatus::TimedOut:
            pResult->outcome = TokenProofOutcome::TimedOut;
            return;
        case CtapTransportStatus::AnswerTooLong:
            SetReason(pResult, TokenProofOutcome::Failed, L"answer too long");
            return;
        case CtapTransportStatus::MalformedAnswer:
            SetReason(pResult, TokenProofOutcome::Failed, L"malformed answer");
            return;
        case CtapTransportStatus::CardError:
        case CtapTransportStatus::Ok:
            break;
        }
        pResult->outcome = TokenProofOutcome::Failed;
        if (transport.LastCardResult() != 0)
        {
            swprintf(pResult->szReason, TOKEN_PROOF_REASON_CHARS, L"communication error 0x%08X",
                     static_cast<unsigned int>(transport.LastCardResult()));
        }
        else
        {
            swprintf(pResult->szReason, TOKEN_PROOF_REASON_CHARS, L"status word %04X",
                     static_cast<unsigned int>(transport.LastStatusWord()));
        }
    }

    bool RelyingPartyHash(BYTE (&rgbRpIdHash)[CTAP_RP_ID_HASH_BYTES])
    {
        return Sha256Cng(reinterpret_cast<const BYTE*>(VELKOR_RP_ID), sizeof(VELKOR_RP_ID) - 1, nullptr, 0, rgbRpIdHash);
    }
}

bool Sha256Cng(const BYTE* pbFirst, size_t cbFirst, const BYTE* pbSecond, size_t cbSecond, BYTE (&rgbDigest)[32])
{
    CAlgorithm sha256(BCRYPT_SHA256_ALGORITHM);
    CHash hash;
    return sha256.Get() != nullptr &&
           BCRYPT_SUCCESS(BCryptCreateHash(sha256.Get(), hash.Put(), nullptr, 0, nullptr, 0, 0)) &&
           HashPiece(hash.Get(), pbFirst, cbFirst) && HashPiece(hash.Get(), pbSecond, cbSecond) &&
           BCRYPT_SUCCESS(BCryptFinishHash(hash.Get(), rgbDigest, sizeof(rgbDigest), 0));
}

bool DrawTokenProofChallenge(TOKEN_PROOF_CHALLENGE* pChallenge)
{
    // A challenge nobody could have known before this logon.
    return FillRandomBytes(pChallenge->rgbClientDataHash, sizeof(pChallenge->rgbClientDataHash)) &&
           RelyingPartyHash(pChallenge->rgbRpIdHash);
}

void ProveTokenPossession(CSmartCardReader& reader, const TOKEN_CREDENTIAL& credential,
                          const TOKEN_PROOF_CHALLENGE& challenge, ULONGLONG ullDeadline, TOKEN_PROOF_RESULT* pResult)
{
    *pResult = {};
    pResult->outcome = TokenProofOutcome::Failed;
    pResult->storedCount = credential.signCount;
    const BYTE (&rgbRpIdHash)[CTAP_RP_ID_HASH_BYTES] = challenge.rgbRpIdHash;
    const BYTE (&rgbClientDataHash)[CTAP_CLIENT_DATA_HASH_BYTES] = challenge.rgbClientDataHash;

    CCtapTransport transport(reader, ullDeadline);
    FidoVersion version = FidoVersion::None;
    CtapTransportStatus status = transport.SelectFido(&version);
    if (status != CtapTransportStatus::Ok)
    {
        TransportFailure(pResult, status, transport);
        return;
    }

    uint8_t rgbRequest[CTAP_REQUEST_BUFFER_BYTES];
    const size_t cbRequest = EncodeGetAssertionRequest(VELKOR_RP_ID, rgbClientDataHash, credential.rgbCredentialId,
                                                       credential.cbCredentialId, rgbRequest, sizeof(rgbRequest));
    if (cbRequest == 0)
    {
        SetReason(pResult, TokenProofOutcome::Failed, L"stored credential unusable");
        return;
    }
    uint8_t rgbAnswer[CTAP_ASSERTION_ANSWER_MAX];
    CApduAnswerBuffer answer(rgbAnswer, sizeof(rgbAnswer));
    status = transport.Exchange(rgbRequest, cbRequest, answer);
    if (status != CtapTransportStatus::Ok)
    {
        TransportFailure(pResult, status, transport);
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
    case Verification::KeyUnusable:
        SetReason(pResult, TokenProofOutcome::Failed, L"stored public key unusable");
        return;
    case Verification::Invalid:
        SetReason(pResult, TokenProofOutcome::Failed, L"signature does not verify");
        return;
    case Verification::Valid:
        break;
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

CtapTransportStatus ProbeTokenCtap2(CSmartCardReader& reader, ULONGLONG ullDeadline)
{
    CCtapTransport transport(reader, ullDeadline);
    FidoVersion version = FidoVersion::None;
    const CtapTransportStatus status = transport.SelectFido(&version);
    if (status != CtapTransportStatus::Ok)
    {
        return status;
    }
    // authenticatorGetInfo: any CTAP answer, whatever its status byte, shows CTAP2 spoken here.
    const uint8_t rgbGetInfo[] = { CTAP_CMD_GET_INFO };
    uint8_t rgbAnswer[CTAP_CREDENTIAL_ANSWER_MAX];
    CApduAnswerBuffer answer(rgbAnswer, sizeof(rgbAnswer));
    return transport.Exchange(rgbGetInfo, sizeof(rgbGetInfo), answer);
}

void MakeTokenCredential(CSmartCardReader& reader, const wchar_t* pszUserName, ULONGLONG ullDeadline,
                         NEW_TOKEN_CREDENTIAL* pCredential)
{
    SecureZeroMemory(pCredential, sizeof(*pCredential));
    pCredential->outcome = TokenCredentialOutcome::Failed;
    pCredential->answerCheck = CtapResult::Ok;

    char szUserName[USER_NAME_UTF8_MAX] = {};
    const int cbUserName = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, pszUserName, -1, szUserName,
                                               sizeof(szUserName), nullptr, nullptr);
    BYTE rgbRpIdHash[CTAP_RP_ID_HASH_BYTES];
    uint8_t rgbClientDataHash[CTAP_CLIENT_DATA_HASH_BYTES];
    uint8_t rgbUserId[CTAP_USER_ID_BYTES];
    // Nothing is sent without a name to give, a relying party hash and fresh random bytes.
    if (cbUserName <= 1 || !RelyingPartyHash(rgbRpIdHash) || !FillRandomBytes(rgbClientDataHash, sizeof(rgbClientDataHash)) ||
        !FillRandomBytes(rgbUserId, sizeof(rgbUserId)))
    {
        return;
    }

    CCtapTransport transport(reader, ullDeadline);
    FidoVersion version = FidoVersion::None;
    CtapTransportStatus status = transport.SelectFido(&version);
    uint8_t rgbRequest[CTAP_REQUEST_BUFFER_BYTES];
    uint8_t rgbAnswer[CTAP_CREDENTIAL_ANSWER_MAX];
    CApduAnswerBuffer answer(rgbAnswer, sizeof(rgbAnswer));
    if (status == CtapTransportStatus::Ok)
    {
        const size_t cbRequest = EncodeMakeCredentialRequest(VELKOR_RP_ID, rgbClientDataHash, rgbUserId, szUserName,
                                                             static_cast<size_t>(cbUserName - 1), rgbRequest,
                                                             sizeof(rgbRequest));
        status = cbRequest != 0 ? transport.Exchange(rgbRequest, cbRequest, answer) : CtapTransportStatus::CardError;
    }
    switch (status)
    {
    case CtapTransportStatus::Ok: break;
    case CtapTransportStatus::NoFidoApplet: pCredential->outcome = TokenCredentialOutcome::NoFidoApplet; return;
    case CtapTransportStatus::TimedOut: pCredential->outcome = TokenCredentialOutcome::TimedOut; return;
    case CtapTransportStatus::AnswerTooLong:
    case CtapTransportStatus::MalformedAnswer: pCredential->answerCheck = CtapResult::MalformedAnswer; return;
    case CtapTransportStatus::CardError:
        pCredential->cardResult = transport.LastCardResult();
        pCredential->statusWord = transport.LastStatusWord();
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
