#pragma once
// A key's PIN as CTAP2 speaks of it: what authenticatorGetInfo says about the PIN and user
// verification, and the authenticatorClientPIN requests and answers that turn a PIN into
// a pinUvAuthToken (getPINRetries, getKeyAgreement, getPinToken of CTAP 2.0 keys and
// getPinUvAuthTokenUsingPinWithPermissions). The cryptography (ECDH, AES, HMAC) is the
// caller's. No Windows headers: also built natively for sanitizers and fuzzing.
#include <cstddef>
#include <cstdint>

#include "CtapMessage.h"

constexpr uint8_t CTAP_CMD_CLIENT_PIN = 0x06;

// Subcommands of authenticatorClientPIN.
constexpr uint8_t CTAP_PIN_GET_RETRIES = 0x01;
constexpr uint8_t CTAP_PIN_GET_KEY_AGREEMENT = 0x02;
constexpr uint8_t CTAP_PIN_GET_PIN_TOKEN = 0x05;
constexpr uint8_t CTAP_PIN_GET_TOKEN_WITH_PERMISSIONS = 0x09;

// The permission a pinUvAuthToken needs for authenticatorMakeCredential.
constexpr uint8_t CTAP_PERMISSION_MAKE_CREDENTIAL = 0x01;

// Status bytes of a PIN the key refuses.
constexpr uint8_t CTAP_STATUS_PIN_INVALID = 0x31;      // wrong PIN, retries left
constexpr uint8_t CTAP_STATUS_PIN_BLOCKED = 0x32;      // no retries left: only a reset helps
constexpr uint8_t CTAP_STATUS_PIN_AUTH_INVALID = 0x33; // pinUvAuthParam does not verify
constexpr uint8_t CTAP_STATUS_PIN_AUTH_BLOCKED = 0x34; // too many wrong PINs in a row: power cycle first
constexpr uint8_t CTAP_STATUS_PIN_NOT_SET = 0x35;

constexpr size_t CTAP_P256_COORDINATE_BYTES = 32;
// LEFT(SHA-256(PIN), 16), the part of the PIN's hash the key compares.
constexpr size_t CTAP_PIN_HASH_BYTES = 16;
// An encrypted pinUvAuthToken: 16 or 32 bytes under protocol 1, an IV and 32 bytes under
// protocol 2; longer ones are refused.
constexpr size_t CTAP_ENCRYPTED_PIN_TOKEN_MAX_BYTES = 80;
// The encrypted PIN hash of protocol 2 (IV and one block) is the longest.
constexpr size_t CTAP_PIN_HASH_ENC_MAX_BYTES = 32;

enum class CtapOption : uint8_t
{
    Absent,
    False,
    True,
};

constexpr size_t CTAP_PIN_PROTOCOLS_MAX = 4;

// What authenticatorGetInfo says that association needs.
struct CTAP_AUTHENTICATOR_INFO
{
    bool fFido21;                    // versions names FIDO_2_1 (or the pre-release FIDO_2_1_PRE)
    CtapOption clientPin;            // True: a PIN is set; False: the key can have one, none is set
    CtapOption makeCredUvNotRqd;     // True: a credential that is not discoverable needs no PIN
    CtapOption alwaysUv;             // True: every use needs the PIN (or built-in user verification)
    CtapOption uv;                   // built-in user verification (a fingerprint, say)
    CtapOption pinUvAuthToken;       // True: getPinUvAuthTokenUsingPinWithPermissions is offered
    bool fPinProtocolsListed;        // pinUvAuthProtocols was in the answer
    uint8_t rgPinProtocols[CTAP_PIN_PROTOCOLS_MAX]; // the protocols 1 and 2 it names, in its order
    size_t cPinProtocols;
};

// authenticatorGetInfo: the command byte alone.
constexpr uint8_t CTAP_GET_INFO_REQUEST[] = { CTAP_CMD_GET_INFO };

// An authenticatorGetInfo answer: status, canonical CBOR filling the answer, then the map
// with 1: versions (an array of text, required), 3: aaguid (16 bytes, required), 4: options
// (a map of text to booleans) and 6: pinUvAuthProtocols (an array of unsigned integers);
// other members are checked and skipped. *pInfo is filled only on Ok.
CtapResult ParseGetInfoResponse(const uint8_t* pbAnswer, size_t cbAnswer, CTAP_AUTHENTICATOR_INFO* pInfo,
                                uint8_t* pbCtapStatus);

// The PIN/UV auth protocol to speak with a key: the first of 2 and 1 in its own list; 1
// when it lists none (CTAP 2.0 keys need not); 0 when its list names neither.
uint8_t ChoosePinUvAuthProtocol(const CTAP_AUTHENTICATOR_INFO& info);

// A P-256 public key of a key agreement, as the COSE key {1: 2, 3: -25, -1: 1, -2: x, -3: y}
// carries it.
struct CTAP_KEY_AGREEMENT
{
    uint8_t rgbX[CTAP_P256_COORDINATE_BYTES];
    uint8_t rgbY[CTAP_P256_COORDINATE_BYTES];
};

// {1: protocol, 2: getPINRetries}. Returns the length written (command byte included), or 0.
size_t EncodeGetPinRetriesRequest(uint8_t protocol, uint8_t* pbRequest, size_t cbRequest);
// {1: protocol, 2: getKeyAgreement}.
size_t EncodeGetKeyAgreementRequest(uint8_t protocol, uint8_t* pbRequest, size_t cbRequest);

// The request that trades the encrypted PIN hash for a pinUvAuthToken: with pszRpId null,
// getPinToken {1: protocol, 2: 5, 3: platform key, 6: pinHashEnc}; otherwise
// getPinUvAuthTokenUsingPinWithPermissions {1, 2: 9, 3, 6, 9: permissions, 10: rpId}.
// pinHashEnc is 16 or 32 bytes. Returns the length written, or 0.
size_t EncodePinTokenRequest(uint8_t protocol, const CTAP_KEY_AGREEMENT& platformKey, const uint8_t* pbPinHashEnc,
                             size_t cbPinHashEnc, uint8_t permissions, const char* pszRpId, uint8_t* pbRequest,
                             size_t cbRequest);

// A getKeyAgreement answer: {1: the key's COSE key, exactly as above}; other members are
// checked and skipped. *pKey is filled only on Ok; any other key is MalformedAnswer.
CtapResult ParseKeyAgreementResponse(const uint8_t* pbAnswer, size_t cbAnswer, CTAP_KEY_AGREEMENT* pKey,
                                     uint8_t* pbCtapStatus);

// The encrypted pinUvAuthToken of a getPinToken or getPinUvAuthTokenUsingPinWithPermissions
// answer {2: bytes}: a multiple of 16 bytes, 16 to CTAP_ENCRYPTED_PIN_TOKEN_MAX_BYTES. Points
// into the answer; filled only on Ok.
struct CTAP_ENCRYPTED_PIN_TOKEN
{
    const uint8_t* pbToken;
    size_t cbToken;
};
CtapResult ParsePinTokenResponse(const uint8_t* pbAnswer, size_t cbAnswer, CTAP_ENCRYPTED_PIN_TOKEN* pToken,
                                 uint8_t* pbCtapStatus);

// A getPINRetries answer {3: pinRetries, 4: powerCycleState (optional)}. Retries above 255
// are refused (keys allow 8).
struct CTAP_PIN_RETRIES
{
    uint32_t retries;
    bool fPowerCycleNeeded;
};
CtapResult ParsePinRetriesResponse(const uint8_t* pbAnswer, size_t cbAnswer, CTAP_PIN_RETRIES* pRetries,
                                   uint8_t* pbCtapStatus);
