#include "CtapMessage.h"

#include "CborReader.h"
#include "CborWriter.h"

#include <cstring>

namespace
{
    constexpr char PUBLIC_KEY_TYPE[] = "public-key";
    constexpr int64_t COSE_ALG_ES256 = -7;
    constexpr int64_t COSE_KTY_EC2 = 2;
    constexpr int64_t COSE_CRV_P256 = 1;

    // Keys of the answers' top-level maps.
    constexpr int64_t MC_FMT = 1;
    constexpr int64_t MC_AUTH_DATA = 2;
    constexpr int64_t MC_ATT_STMT = 3;
    constexpr int64_t GA_CREDENTIAL = 1;
    constexpr int64_t GA_AUTH_DATA = 2;
    constexpr int64_t GA_SIGNATURE = 3;
    constexpr int64_t GA_USER = 4;
    constexpr int64_t GA_NUMBER_OF_CREDENTIALS = 5;

    // The key of a map entry: an integer key, or false after stepping over any other key
    // (whose value the caller then skips).
    bool ReadIntegerKey(CCborReader& reader, int64_t* pKey, bool* pfSkipped)
    {
        *pfSkipped = false;
        if (reader.ReadInteger(pKey))
        {
            return true;
        }
        *pfSkipped = reader.SkipItem();
        return false;
    }

    uint32_t ReadBigEndian32(const uint8_t* pb)
    {
        return (static_cast<uint32_t>(pb[0]) << 24) | (static_cast<uint32_t>(pb[1]) << 16) |
               (static_cast<uint32_t>(pb[2]) << 8) | pb[3];
    }

    // The rest of authenticator data after the parts the flags announce: with ED exactly
    // one CBOR map, without ED nothing.
    CtapResult CheckAuthDataTail(uint8_t flags, const uint8_t* pbTail, size_t cbTail)
    {
        if ((flags & AUTH_DATA_FLAG_ED) == 0)
        {
            return cbTail == 0 ? CtapResult::Ok : CtapResult::MalformedAnswer;
        }
        size_t cbItem = 0;
        CborType type = CborType::Simple;
        CCborReader reader(pbTail, cbTail);
        if (cbTail == 0 || !reader.PeekType(&type) || type != CborType::Map ||
            !CheckCanonicalCbor(pbTail, cbTail, &cbItem) || cbItem != cbTail)
        {
            return CtapResult::ExtensionDataMalformed;
        }
        return CtapResult::Ok;
    }

    // One entry of the COSE key: the integer key expected, then an integer value.
    bool ReadCoseInteger(CCborReader& reader, int64_t expectedKey, int64_t expectedValue)
    {
        int64_t key = 0;
        int64_t value = 0;
        return reader.ReadInteger(&key) && key == expectedKey && reader.ReadInteger(&value) && value == expectedValue;
    }

    bool ReadCoseCoordinate(CCborReader& reader, int64_t expectedKey, uint8_t* pbCoordinate)
    {
        int64_t key = 0;
        const uint8_t* pb = nullptr;
        size_t cb = 0;
        if (!reader.ReadInteger(&key) || key != expectedKey || !reader.ReadBytes(&pb, &cb) ||
            cb != ECDSA_P256_SCALAR_BYTES)
        {
            return false;
        }
        std::memcpy(pbCoordinate, pb, cb);
        return true;
    }

    // Exactly {1: 2, 3: -7, -1: 1, -2: x, -3: y}; canonical order makes it exactly this
    // sequence of entries.
    bool ReadEs256Key(const uint8_t* pbKey, size_t cbKey, uint8_t (&rgbPublicKey)[CTAP_PUBLIC_KEY_BYTES])
    {
        CCborReader reader(pbKey, cbKey);
        size_t cEntries = 0;
        uint8_t key[CTAP_PUBLIC_KEY_BYTES];
        key[0] = 0x04;
        if (!reader.ReadMapHeader(&cEntries) || cEntries != 5 || !ReadCoseInteger(reader, 1, COSE_KTY_EC2) ||
            !ReadCoseInteger(reader, 3, COSE_ALG_ES256) || !ReadCoseInteger(reader, -1, COSE_CRV_P256) ||
            !ReadCoseCoordinate(reader, -2, key + 1) ||
            !ReadCoseCoordinate(reader, -3, key + 1 + ECDSA_P256_SCALAR_BYTES) || reader.Remaining() != 0)
        {
            return false;
        }
        std::memcpy(rgbPublicKey, key, sizeof(key));
        return true;
    }

    CtapResult ParseNewCredentialAuthData(const uint8_t* pbAuthData, size_t cbAuthData,
                                          const uint8_t (&rgbRpIdHash)[CTAP_RP_ID_HASH_BYTES],
                                          CTAP_NEW_CREDENTIAL* pCredential)
    {
        if (cbAuthData < CTAP_AUTH_DATA_MIN_BYTES)
        {
            return CtapResult::MalformedAnswer;
        }
        if (std::memcmp(pbAuthData, rgbRpIdHash, CTAP_RP_ID_HASH_BYTES) != 0)
        {
            return CtapResult::RelyingPartyDiffers;
        }
        const uint8_t flags = pbAuthData[CTAP_RP_ID_HASH_BYTES];
        if ((flags & AUTH_DATA_FLAG_UP) == 0)
        {
            return CtapResult::UserPresenceMissing;
        }
        if ((flags & AUTH_DATA_FLAG_AT) == 0)
        {
            return CtapResult::AttestedDataMissing;
        }
        size_t offset = CTAP_AUTH_DATA_MIN_BYTES;
        if (cbAuthData - offset < CTAP_AAGUID_BYTES + 2)
        {
            return CtapResult::MalformedAnswer;
        }
        offset += CTAP_AAGUID_BYTES;
        const size_t cbCredentialId = (static_cast<size_t>(pbAuthData[offset]) << 8) | pbAuthData[offset + 1];
        offset += 2;
        if (cbCredentialId == 0 || cbCredentialId > CTAP_CREDENTIAL_ID_MAX_BYTES || cbCredentialId > cbAuthData - offset)
        {
            return CtapResult::MalformedAnswer;
        }
        const uint8_t* pbCredentialId = pbAuthData + offset;
        offset += cbCredentialId;
        size_t cbKey = 0;
        if (!CheckCanonicalCbor(pbAuthData + offset, cbAuthData - offset, &cbKey))
        {
            return CtapResult::MalformedAnswer;
        }
        CTAP_NEW_CREDENTIAL credential;
        if (!ReadEs256Key(pbAuthData + offset, cbKey, credential.rgbPublicKey))
        {
            return CtapResult::KeyNotEs256;
        }
        offset += cbKey;
        const CtapResult tail = CheckAuthDataTail(flags, pbAuthData + offset, cbAuthData - offset);
        if (tail != CtapResult::Ok)
        {
            return tail;
        }
        credential.pbCredentialId = pbCredentialId;
        credential.cbCredentialId = cbCredentialId;
        credential.signCount = ReadBigEndian32(pbAuthData + CTAP_RP_ID_HASH_BYTES + 1);
        credential.flags = flags;
        *pCredential = credential;
        return CtapResult::Ok;
    }

    // Member 1 of an assertion: {"id": bytes, "type": "public-key"}, other keys skipped.
    CtapResult CheckAssertedCredential(CCborReader& reader, const uint8_t* pbCredentialId, size_t cbCredentialId)
    {
        size_t cEntries = 0;
        if (!reader.ReadMapHeader(&cEntries))
        {
            return CtapResult::MalformedAnswer;
        }
        const uint8_t* pbId = nullptr;
        size_t cbId = 0;
        bool fType = false;
        bool fTypeMatches = false;
        for (size_t i = 0; i < cEntries; ++i)
        {
            if (reader.ReadTextIf("id"))
            {
                if (!reader.ReadBytes(&pbId, &cbId))
                {
                    return CtapResult::MalformedAnswer;
                }
            }
            else if (reader.ReadTextIf("type"))
            {
                const char* pch = nullptr;
                size_t cch = 0;
                if (!reader.ReadText(&pch, &cch))
                {
                    return CtapResult::MalformedAnswer;
                }
                fType = true;
                fTypeMatches = cch == sizeof(PUBLIC_KEY_TYPE) - 1 && std::memcmp(pch, PUBLIC_KEY_TYPE, cch) == 0;
            }
            else if (!reader.SkipItem() || !reader.SkipItem())
            {
                return CtapResult::MalformedAnswer;
            }
        }
        if (pbId == nullptr || !fType)
        {
            return CtapResult::MalformedAnswer;
        }
        if (!fTypeMatches || cbId != cbCredentialId || (cbId != 0 && std::memcmp(pbId, pbCredentialId, cbId) != 0))
        {
            return CtapResult::CredentialDiffers;
        }
        return CtapResult::Ok;
    }
}

CtapResult OpenCtapAnswerMap(const uint8_t* pbAnswer, size_t cbAnswer, uint8_t* pbCtapStatus, CCborReader* pReader,
                             size_t* pcEntries)
{
    const uint8_t status = (pbAnswer != nullptr && cbAnswer != 0) ? pbAnswer[0] : 0;
    if (pbCtapStatus != nullptr)
    {
        *pbCtapStatus = status;
    }
    if (pbAnswer == nullptr || cbAnswer == 0)
    {
        return CtapResult::MalformedAnswer;
    }
    if (status != CTAP_STATUS_OK)
    {
        return CtapResult::AuthenticatorStatus;
    }
    size_t cbItem = 0;
    if (!CheckCanonicalCbor(pbAnswer + 1, cbAnswer - 1, &cbItem) || cbItem != cbAnswer - 1)
    {
        return CtapResult::MalformedAnswer;
    }
    *pReader = CCborReader(pbAnswer + 1, cbAnswer - 1);
    return pReader->ReadMapHeader(pcEntries) ? CtapResult::Ok : CtapResult::MalformedAnswer;
}

size_t EncodeMakeCredentialRequest(const char* pszRpId, const uint8_t (&rgbClientDataHash)[CTAP_CLIENT_DATA_HASH_BYTES],
                                   const uint8_t (&rgbUserId)[CTAP_USER_ID_BYTES], const char* pchUserName,
                                   size_t cchUserName, uint8_t* pbRequest, size_t cbRequest,
                                   const CTAP_PIN_UV_AUTH_PARAM* pPinUvAuth)
{
    if (pszRpId == nullptr || pbRequest == nullptr || cbRequest == 0)
    {
        return 0;
    }
    if (pPinUvAuth != nullptr && (pPinUvAuth->pbParam == nullptr || (pPinUvAuth->cbParam != 16 && pPinUvAuth->cbParam != 32)))
    {
        return 0;
    }
    pbRequest[0] = CTAP_CMD_MAKE_CREDENTIAL;
    CCborWriter writer(pbRequest + 1, cbRequest - 1);
    writer.WriteMapHeader(pPinUvAuth != nullptr ? 6 : 4);
    writer.WriteUnsigned(1);
    writer.WriteBytes(rgbClientDataHash, CTAP_CLIENT_DATA_HASH_BYTES);
    writer.WriteUnsigned(2);
    writer.WriteMapHeader(1);
    writer.WriteText("id");
    writer.WriteText(pszRpId);
    writer.WriteUnsigned(3);
    writer.WriteMapHeader(2);
    writer.WriteText("id");
    writer.WriteBytes(rgbUserId, CTAP_USER_ID_BYTES);
    writer.WriteText("name");
    writer.WriteText(pchUserName, cchUserName);
    writer.WriteUnsigned(4);
    writer.WriteArrayHeader(1);
    writer.WriteMapHeader(2);
    writer.WriteText("alg");
    writer.WriteInteger(COSE_ALG_ES256);
    writer.WriteText("type");
    writer.WriteText(PUBLIC_KEY_TYPE);
    if (pPinUvAuth != nullptr)
    {
        writer.WriteUnsigned(8);
        writer.WriteBytes(pPinUvAuth->pbParam, pPinUvAuth->cbParam);
        writer.WriteUnsigned(9);
        writer.WriteUnsigned(pPinUvAuth->protocol);
    }
    return writer.Failed() ? 0 : 1 + writer.Length();
}

size_t EncodeGetAssertionRequest(const char* pszRpId, const uint8_t (&rgbClientDataHash)[CTAP_CLIENT_DATA_HASH_BYTES],
                                 const uint8_t* pbCredentialId, size_t cbCredentialId, uint8_t* pbRequest,
                                 size_t cbRequest, bool fUserPresence)
{
    if (pszRpId == nullptr || pbCredentialId == nullptr || cbCredentialId == 0 ||
        cbCredentialId > CTAP_CREDENTIAL_ID_MAX_BYTES || pbRequest == nullptr || cbRequest == 0)
    {
        return 0;
    }
    pbRequest[0] = CTAP_CMD_GET_ASSERTION;
    CCborWriter writer(pbRequest + 1, cbRequest - 1);
    writer.WriteMapHeader(fUserPresence ? 3 : 4);
    writer.WriteUnsigned(1);
    writer.WriteText(pszRpId);
    writer.WriteUnsigned(2);
    writer.WriteBytes(rgbClientDataHash, CTAP_CLIENT_DATA_HASH_BYTES);
    writer.WriteUnsigned(3);
    writer.WriteArrayHeader(1);
    writer.WriteMapHeader(2);
    writer.WriteText("id");
    writer.WriteBytes(pbCredentialId, cbCredentialId);
    writer.WriteText("type");
    writer.WriteText(PUBLIC_KEY_TYPE);
    if (!fUserPresence)
    {
        writer.WriteUnsigned(5);
        writer.WriteMapHeader(1);
        writer.WriteText("up");
        writer.WriteBoolean(false);
    }
    return writer.Failed() ? 0 : 1 + writer.Length();
}

const wchar_t* CtapResultText(CtapResult result)
{
    switch (result)
    {
    case CtapResult::Ok: return L"ok";
    case CtapResult::AuthenticatorStatus: return L"authenticator status";
    case CtapResult::MalformedAnswer: return L"malformed answer";
    case CtapResult::RelyingPartyDiffers: return L"relying party differs";
    case CtapResult::CredentialDiffers: return L"credential differs";
    case CtapResult::UserPresenceMissing: return L"user presence missing";
    case CtapResult::AttestedDataMissing: return L"attested data missing";
    case CtapResult::AttestedDataInAssertion: return L"attested data in assertion";
    case CtapResult::KeyNotEs256: return L"public key not ES256";
    case CtapResult::ExtensionDataMalformed: return L"extension data malformed";
    case CtapResult::SignatureEncoding: return L"signature encoding";
    }
    return L"unknown result";
}

void FormatCtapResult(CtapResult result, uint8_t ctapStatus, wchar_t (&szText)[CTAP_RESULT_TEXT_CHARS])
{
    static const wchar_t HEX_DIGITS[] = L"0123456789ABCDEF";
    const wchar_t* pszText = CtapResultText(result);
    size_t cch = 0;
    while (pszText[cch] != L'\0' && cch < CTAP_RESULT_TEXT_CHARS - 1)
    {
        szText[cch] = pszText[cch];
        ++cch;
    }
    if (result == CtapResult::AuthenticatorStatus && cch + 5 < CTAP_RESULT_TEXT_CHARS)
    {
        szText[cch++] = L' ';
        szText[cch++] = L'0';
        szText[cch++] = L'x';
        szText[cch++] = HEX_DIGITS[ctapStatus >> 4];
        szText[cch++] = HEX_DIGITS[ctapStatus & 0x0F];
    }
    szText[cch] = L'\0';
}

CtapResult ParseMakeCredentialResponse(const uint8_t* pbAnswer, size_t cbAnswer,
                                       const uint8_t (&rgbRpIdHash)[CTAP_RP_ID_HASH_BYTES],
                                       CTAP_NEW_CREDENTIAL* pCredential, uint8_t* pbCtapStatus)
{
    CCborReader reader(nullptr, 0);
    size_t cEntries = 0;
    const CtapResult opened = OpenCtapAnswerMap(pbAnswer, cbAnswer, pbCtapStatus, &reader, &cEntries);
    if (opened != CtapResult::Ok)
    {
        return opened;
    }
    bool fFormat = false;
    bool fStatement = false;
    const uint8_t* pbAuthData = nullptr;
    size_t cbAuthData = 0;
    for (size_t i = 0; i < cEntries; ++i)
    {
        int64_t key = 0;
        bool fSkipped = false;
        if (!ReadIntegerKey(reader, &key, &fSkipped))
        {
            if (!fSkipped || !reader.SkipItem())
            {
                return CtapResult::MalformedAnswer;
            }
            continue;
        }
        bool fRead;
        CborType type = CborType::Simple;
        switch (key)
        {
        case MC_FMT:
        {
            const char* pch = nullptr;
            size_t cch = 0;
            fRead = fFormat = reader.ReadText(&pch, &cch);
            break;
        }
        case MC_AUTH_DATA:
            fRead = reader.ReadBytes(&pbAuthData, &cbAuthData);
            break;
        case MC_ATT_STMT:
            fRead = fStatement = reader.PeekType(&type) && type == CborType::Map && reader.SkipItem();
            break;
        default:
            fRead = reader.SkipItem();
            break;
        }
        if (!fRead)
        {
            return CtapResult::MalformedAnswer;
        }
    }
    if (!fFormat || pbAuthData == nullptr || !fStatement || pCredential == nullptr)
    {
        return CtapResult::MalformedAnswer;
    }
    return ParseNewCredentialAuthData(pbAuthData, cbAuthData, rgbRpIdHash, pCredential);
}

CtapResult ParseGetAssertionResponse(const uint8_t* pbAnswer, size_t cbAnswer,
                                     const uint8_t (&rgbRpIdHash)[CTAP_RP_ID_HASH_BYTES],
                                     const uint8_t* pbCredentialId, size_t cbCredentialId,
                                     CTAP_ASSERTION* pAssertion, uint8_t* pbCtapStatus)
{
    CCborReader reader(nullptr, 0);
    size_t cEntries = 0;
    const CtapResult opened = OpenCtapAnswerMap(pbAnswer, cbAnswer, pbCtapStatus, &reader, &cEntries);
    if (opened != CtapResult::Ok)
    {
        return opened;
    }
    CtapResult credential = CtapResult::Ok;
    const uint8_t* pbAuthData = nullptr;
    size_t cbAuthData = 0;
    const uint8_t* pbSignature = nullptr;
    size_t cbSignature = 0;
    for (size_t i = 0; i < cEntries; ++i)
    {
        int64_t key = 0;
        bool fSkipped = false;
        if (!ReadIntegerKey(reader, &key, &fSkipped))
        {
            if (!fSkipped || !reader.SkipItem())
            {
                return CtapResult::MalformedAnswer;
            }
            continue;
        }
        bool fRead = true;
        CborType type = CborType::Simple;
        uint64_t count = 0;
        switch (key)
        {
        case GA_CREDENTIAL:
            credential = CheckAssertedCredential(reader, pbCredentialId, cbCredentialId);
            if (credential == CtapResult::MalformedAnswer)
            {
                return credential;
            }
            break;
        case GA_AUTH_DATA:
            fRead = reader.ReadBytes(&pbAuthData, &cbAuthData);
            break;
        case GA_SIGNATURE:
            fRead = reader.ReadBytes(&pbSignature, &cbSignature);
            break;
        case GA_USER:
            fRead = reader.PeekType(&type) && type == CborType::Map && reader.SkipItem();
            break;
        case GA_NUMBER_OF_CREDENTIALS:
            fRead = reader.ReadUnsigned(&count);
            break;
        default:
            fRead = reader.SkipItem();
            break;
        }
        if (!fRead)
        {
            return CtapResult::MalformedAnswer;
        }
    }
    if (pbAuthData == nullptr || pbSignature == nullptr || pAssertion == nullptr)
    {
        return CtapResult::MalformedAnswer;
    }
    if (credential != CtapResult::Ok)
    {
        return credential;
    }
    if (cbAuthData < CTAP_AUTH_DATA_MIN_BYTES)
    {
        return CtapResult::MalformedAnswer;
    }
    if (std::memcmp(pbAuthData, rgbRpIdHash, CTAP_RP_ID_HASH_BYTES) != 0)
    {
        return CtapResult::RelyingPartyDiffers;
    }
    const uint8_t flags = pbAuthData[CTAP_RP_ID_HASH_BYTES];
    if ((flags & AUTH_DATA_FLAG_AT) != 0)
    {
        return CtapResult::AttestedDataInAssertion;
    }
    const CtapResult tail =
        CheckAuthDataTail(flags, pbAuthData + CTAP_AUTH_DATA_MIN_BYTES, cbAuthData - CTAP_AUTH_DATA_MIN_BYTES);
    if (tail != CtapResult::Ok)
    {
        return tail;
    }
    CTAP_ASSERTION assertion;
    if (!ConvertDerSignature(pbSignature, cbSignature, assertion.rgbSignature))
    {
        return CtapResult::SignatureEncoding;
    }
    assertion.pbAuthData = pbAuthData;
    assertion.cbAuthData = cbAuthData;
    assertion.signCount = ReadBigEndian32(pbAuthData + CTAP_RP_ID_HASH_BYTES + 1);
    assertion.flags = flags;
    *pAssertion = assertion;
    return CtapResult::Ok;
}
