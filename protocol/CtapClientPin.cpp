#include "CtapClientPin.h"

#include "CborReader.h"
#include "CborWriter.h"

#include <cstring>

namespace
{
    // Keys of the getInfo answer.
    constexpr int64_t INFO_VERSIONS = 1;
    constexpr int64_t INFO_AAGUID = 3;
    constexpr int64_t INFO_OPTIONS = 4;
    constexpr int64_t INFO_PIN_UV_AUTH_PROTOCOLS = 6;

    // Keys of the clientPIN request and answer.
    constexpr uint64_t PIN_REQ_PROTOCOL = 1;
    constexpr uint64_t PIN_REQ_SUBCOMMAND = 2;
    constexpr uint64_t PIN_REQ_KEY_AGREEMENT = 3;
    constexpr uint64_t PIN_REQ_PIN_HASH_ENC = 6;
    constexpr uint64_t PIN_REQ_PERMISSIONS = 9;
    constexpr uint64_t PIN_REQ_RP_ID = 10;
    constexpr int64_t PIN_ANS_KEY_AGREEMENT = 1;
    constexpr int64_t PIN_ANS_TOKEN = 2;
    constexpr int64_t PIN_ANS_RETRIES = 3;
    constexpr int64_t PIN_ANS_POWER_CYCLE = 4;

    constexpr int64_t COSE_KTY_EC2 = 2;
    constexpr int64_t COSE_ALG_ECDH_ES_HKDF_256 = -25;
    constexpr int64_t COSE_CRV_P256 = 1;

    constexpr uint32_t PIN_RETRIES_MAX = 255;

    // Walks the entries of an answer map: each integer key is handed to pfnMember with the
    // reader before its value, which pfnMember must read or skip; other keys are stepped over
    // with their values. False as soon as anything cannot be read.
    template <typename Member>
    bool ForEachMember(CCborReader& reader, size_t cEntries, Member member)
    {
        for (size_t i = 0; i < cEntries; ++i)
        {
            int64_t key = 0;
            if (!reader.ReadInteger(&key))
            {
                if (!reader.SkipItem() || !reader.SkipItem())
                {
                    return false;
                }
                continue;
            }
            if (!member(key))
            {
                return false;
            }
        }
        return true;
    }

    bool TextIs(const char* pch, size_t cch, const char* pszExpected)
    {
        return cch == std::strlen(pszExpected) && std::memcmp(pch, pszExpected, cch) == 0;
    }

    bool ReadVersions(CCborReader& reader, CTAP_AUTHENTICATOR_INFO& info, bool* pfRead)
    {
        size_t cItems = 0;
        if (!reader.ReadArrayHeader(&cItems) || cItems == 0)
        {
            return false;
        }
        for (size_t i = 0; i < cItems; ++i)
        {
            const char* pch = nullptr;
            size_t cch = 0;
            if (!reader.ReadText(&pch, &cch))
            {
                return false;
            }
            if (TextIs(pch, cch, "FIDO_2_1") || TextIs(pch, cch, "FIDO_2_1_PRE"))
            {
                info.fFido21 = true;
            }
        }
        *pfRead = true;
        return true;
    }

    bool ReadOptions(CCborReader& reader, CTAP_AUTHENTICATOR_INFO& info)
    {
        static const struct
        {
            const char* pszName;
            CtapOption CTAP_AUTHENTICATOR_INFO::*pOption;
        } s_rgOptions[] = {
            { "clientPin", &CTAP_AUTHENTICATOR_INFO::clientPin },
            { "makeCredUvNotRqd", &CTAP_AUTHENTICATOR_INFO::makeCredUvNotRqd },
            { "alwaysUv", &CTAP_AUTHENTICATOR_INFO::alwaysUv },
            { "uv", &CTAP_AUTHENTICATOR_INFO::uv },
            { "pinUvAuthToken", &CTAP_AUTHENTICATOR_INFO::pinUvAuthToken },
        };
        size_t cEntries = 0;
        if (!reader.ReadMapHeader(&cEntries))
        {
            return false;
        }
        for (size_t i = 0; i < cEntries; ++i)
        {
            const char* pch = nullptr;
            size_t cch = 0;
            bool fValue = false;
            // Every option is a text key with a boolean value.
            if (!reader.ReadText(&pch, &cch) || !reader.ReadBoolean(&fValue))
            {
                return false;
            }
            for (const auto& option : s_rgOptions)
            {
                if (TextIs(pch, cch, option.pszName))
                {
                    info.*option.pOption = fValue ? CtapOption::True : CtapOption::False;
                }
            }
        }
        return true;
    }

    bool ReadPinProtocols(CCborReader& reader, CTAP_AUTHENTICATOR_INFO& info)
    {
        size_t cItems = 0;
        if (!reader.ReadArrayHeader(&cItems))
        {
            return false;
        }
        info.fPinProtocolsListed = true;
        for (size_t i = 0; i < cItems; ++i)
        {
            uint64_t protocol = 0;
            if (!reader.ReadUnsigned(&protocol))
            {
                return false;
            }
            if ((protocol == 1 || protocol == 2) && info.cPinProtocols < CTAP_PIN_PROTOCOLS_MAX)
            {
                info.rgPinProtocols[info.cPinProtocols++] = static_cast<uint8_t>(protocol);
            }
        }
        return true;
    }

    bool ReadCoseInteger(CCborReader& reader, int64_t expectedKey, int64_t expectedValue)
    {
        int64_t key = 0;
        int64_t value = 0;
        return reader.ReadInteger(&key) && key == expectedKey && reader.ReadInteger(&value) && value == expectedValue;
    }

    bool ReadCoseCoordinate(CCborReader& reader, int64_t expectedKey, uint8_t (&rgbCoordinate)[CTAP_P256_COORDINATE_BYTES])
    {
        int64_t key = 0;
        const uint8_t* pb = nullptr;
        size_t cb = 0;
        if (!reader.ReadInteger(&key) || key != expectedKey || !reader.ReadBytes(&pb, &cb) ||
            cb != CTAP_P256_COORDINATE_BYTES)
        {
            return false;
        }
        std::memcpy(rgbCoordinate, pb, cb);
        return true;
    }

    // Exactly {1: 2, 3: -25, -1: 1, -2: x, -3: y}: canonical order makes it this sequence.
    bool ReadKeyAgreementKey(CCborReader& reader, CTAP_KEY_AGREEMENT* pKey)
    {
        size_t cEntries = 0;
        CTAP_KEY_AGREEMENT key;
        if (!reader.ReadMapHeader(&cEntries) || cEntries != 5 || !ReadCoseInteger(reader, 1, COSE_KTY_EC2) ||
            !ReadCoseInteger(reader, 3, COSE_ALG_ECDH_ES_HKDF_256) || !ReadCoseInteger(reader, -1, COSE_CRV_P256) ||
            !ReadCoseCoordinate(reader, -2, key.rgbX) || !ReadCoseCoordinate(reader, -3, key.rgbY))
        {
            return false;
        }
        *pKey = key;
        return true;
    }

    void WriteKeyAgreementKey(CCborWriter& writer, const CTAP_KEY_AGREEMENT& key)
    {
        writer.WriteMapHeader(5);
        writer.WriteInteger(1);
        writer.WriteInteger(COSE_KTY_EC2);
        writer.WriteInteger(3);
        writer.WriteInteger(COSE_ALG_ECDH_ES_HKDF_256);
        writer.WriteInteger(-1);
        writer.WriteInteger(COSE_CRV_P256);
        writer.WriteInteger(-2);
        writer.WriteBytes(key.rgbX, sizeof(key.rgbX));
        writer.WriteInteger(-3);
        writer.WriteBytes(key.rgbY, sizeof(key.rgbY));
    }

    bool IsPinUvAuthProtocol(uint8_t protocol)
    {
        return protocol == 1 || protocol == 2;
    }

    // {1: protocol, 2: subcommand} for the subcommands that carry nothing else.
    size_t EncodeBareSubcommand(uint8_t protocol, uint8_t subcommand, uint8_t* pbRequest, size_t cbRequest)
    {
        if (!IsPinUvAuthProtocol(protocol) || pbRequest == nullptr || cbRequest == 0)
        {
            return 0;
        }
        pbRequest[0] = CTAP_CMD_CLIENT_PIN;
        CCborWriter writer(pbRequest + 1, cbRequest - 1);
        writer.WriteMapHeader(2);
        writer.WriteUnsigned(PIN_REQ_PROTOCOL);
        writer.WriteUnsigned(protocol);
        writer.WriteUnsigned(PIN_REQ_SUBCOMMAND);
        writer.WriteUnsigned(subcommand);
        return writer.Failed() ? 0 : 1 + writer.Length();
    }
}

CtapResult ParseGetInfoResponse(const uint8_t* pbAnswer, size_t cbAnswer, CTAP_AUTHENTICATOR_INFO* pInfo,
                                uint8_t* pbCtapStatus)
{
    CCborReader reader(nullptr, 0);
    size_t cEntries = 0;
    const CtapResult opened = OpenCtapAnswerMap(pbAnswer, cbAnswer, pbCtapStatus, &reader, &cEntries);
    if (opened != CtapResult::Ok)
    {
        return opened;
    }
    CTAP_AUTHENTICATOR_INFO info = {};
    bool fVersions = false;
    bool fAaguid = false;
    const bool fRead = ForEachMember(reader, cEntries, [&](int64_t key) {
        switch (key)
        {
        case INFO_VERSIONS:
            return ReadVersions(reader, info, &fVersions);
        case INFO_AAGUID:
        {
            const uint8_t* pb = nullptr;
            size_t cb = 0;
            fAaguid = reader.ReadBytes(&pb, &cb) && cb == CTAP_AAGUID_BYTES;
            return fAaguid;
        }
        case INFO_OPTIONS:
            return ReadOptions(reader, info);
        case INFO_PIN_UV_AUTH_PROTOCOLS:
            return ReadPinProtocols(reader, info);
        default:
            return reader.SkipItem();
        }
    });
    if (!fRead || !fVersions || !fAaguid || pInfo == nullptr)
    {
        return CtapResult::MalformedAnswer;
    }
    *pInfo = info;
    return CtapResult::Ok;
}

uint8_t ChoosePinUvAuthProtocol(const CTAP_AUTHENTICATOR_INFO& info)
{
    if (!info.fPinProtocolsListed)
    {
        return 1;
    }
    return info.cPinProtocols != 0 ? info.rgPinProtocols[0] : 0;
}

size_t EncodeGetPinRetriesRequest(uint8_t protocol, uint8_t* pbRequest, size_t cbRequest)
{
    return EncodeBareSubcommand(protocol, CTAP_PIN_GET_RETRIES, pbRequest, cbRequest);
}

size_t EncodeGetKeyAgreementRequest(uint8_t protocol, uint8_t* pbRequest, size_t cbRequest)
{
    return EncodeBareSubcommand(protocol, CTAP_PIN_GET_KEY_AGREEMENT, pbRequest, cbRequest);
}

size_t EncodePinTokenRequest(uint8_t protocol, const CTAP_KEY_AGREEMENT& platformKey, const uint8_t* pbPinHashEnc,
                             size_t cbPinHashEnc, uint8_t permissions, const char* pszRpId, uint8_t* pbRequest,
                             size_t cbRequest)
{
    if (!IsPinUvAuthProtocol(protocol) || pbPinHashEnc == nullptr || (cbPinHashEnc != 16 && cbPinHashEnc != 32) ||
        pbRequest == nullptr || cbRequest == 0 || (pszRpId != nullptr && permissions == 0))
    {
        return 0;
    }
    const bool fPermissions = pszRpId != nullptr;
    pbRequest[0] = CTAP_CMD_CLIENT_PIN;
    CCborWriter writer(pbRequest + 1, cbRequest - 1);
    writer.WriteMapHeader(fPermissions ? 6 : 4);
    writer.WriteUnsigned(PIN_REQ_PROTOCOL);
    writer.WriteUnsigned(protocol);
    writer.WriteUnsigned(PIN_REQ_SUBCOMMAND);
    writer.WriteUnsigned(fPermissions ? CTAP_PIN_GET_TOKEN_WITH_PERMISSIONS : CTAP_PIN_GET_PIN_TOKEN);
    writer.WriteUnsigned(PIN_REQ_KEY_AGREEMENT);
    WriteKeyAgreementKey(writer, platformKey);
    writer.WriteUnsigned(PIN_REQ_PIN_HASH_ENC);
    writer.WriteBytes(pbPinHashEnc, cbPinHashEnc);
    if (fPermissions)
    {
        writer.WriteUnsigned(PIN_REQ_PERMISSIONS);
        writer.WriteUnsigned(permissions);
        writer.WriteUnsigned(PIN_REQ_RP_ID);
        writer.WriteText(pszRpId);
    }
    return writer.Failed() ? 0 : 1 + writer.Length();
}

CtapResult ParseKeyAgreementResponse(const uint8_t* pbAnswer, size_t cbAnswer, CTAP_KEY_AGREEMENT* pKey,
                                     uint8_t* pbCtapStatus)
{
    CCborReader reader(nullptr, 0);
    size_t cEntries = 0;
    const CtapResult opened = OpenCtapAnswerMap(pbAnswer, cbAnswer, pbCtapStatus, &reader, &cEntries);
    if (opened != CtapResult::Ok)
    {
        return opened;
    }
    CTAP_KEY_AGREEMENT key;
    bool fKey = false;
    const bool fRead = ForEachMember(reader, cEntries, [&](int64_t member) {
        if (member != PIN_ANS_KEY_AGREEMENT)
        {
            return reader.SkipItem();
        }
        fKey = ReadKeyAgreementKey(reader, &key);
        return fKey;
    });
    if (!fRead || !fKey || pKey == nullptr)
    {
        return CtapResult::MalformedAnswer;
    }
    *pKey = key;
    return CtapResult::Ok;
}

CtapResult ParsePinTokenResponse(const uint8_t* pbAnswer, size_t cbAnswer, CTAP_ENCRYPTED_PIN_TOKEN* pToken,
                                 uint8_t* pbCtapStatus)
{
    CCborReader reader(nullptr, 0);
    size_t cEntries = 0;
    const CtapResult opened = OpenCtapAnswerMap(pbAnswer, cbAnswer, pbCtapStatus, &reader, &cEntries);
    if (opened != CtapResult::Ok)
    {
        return opened;
    }
    CTAP_ENCRYPTED_PIN_TOKEN token = {};
    const bool fRead = ForEachMember(reader, cEntries, [&](int64_t member) {
        return member == PIN_ANS_TOKEN ? reader.ReadBytes(&token.pbToken, &token.cbToken) : reader.SkipItem();
    });
    if (!fRead || token.pbToken == nullptr || token.cbToken == 0 || token.cbToken % 16 != 0 ||
        token.cbToken > CTAP_ENCRYPTED_PIN_TOKEN_MAX_BYTES || pToken == nullptr)
    {
        return CtapResult::MalformedAnswer;
    }
    *pToken = token;
    return CtapResult::Ok;
}

CtapResult ParsePinRetriesResponse(const uint8_t* pbAnswer, size_t cbAnswer, CTAP_PIN_RETRIES* pRetries,
                                   uint8_t* pbCtapStatus)
{
    CCborReader reader(nullptr, 0);
    size_t cEntries = 0;
    const CtapResult opened = OpenCtapAnswerMap(pbAnswer, cbAnswer, pbCtapStatus, &reader, &cEntries);
    if (opened != CtapResult::Ok)
    {
        return opened;
    }
    CTAP_PIN_RETRIES retries = {};
    bool fRetries = false;
    const bool fRead = ForEachMember(reader, cEntries, [&](int64_t member) {
        uint64_t value = 0;
        switch (member)
        {
        case PIN_ANS_RETRIES:
            fRetries = reader.ReadUnsigned(&value) && value <= PIN_RETRIES_MAX;
            retries.retries = static_cast<uint32_t>(value);
            return fRetries;
        case PIN_ANS_POWER_CYCLE:
            return reader.ReadBoolean(&retries.fPowerCycleNeeded);
        default:
            return reader.SkipItem();
        }
    });
    if (!fRead || !fRetries || pRetries == nullptr)
    {
        return CtapResult::MalformedAnswer;
    }
    *pRetries = retries;
    return CtapResult::Ok;
}
