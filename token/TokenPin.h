#pragma once
// A key's PIN turned into what a request needs, over the exchange either interface offers:
// the PIN's hash, the pinUvAuthToken the key gives for it (getKeyAgreement, the ECDH key
// agreement, the encrypted PIN hash, then getPinUvAuthTokenUsingPinWithPermissions or, on
// CTAP 2.0 keys, getPinToken), the retries left, and the pinUvAuthParam of a request. The
// PIN, its hash, the shared secret and the token are wiped after use: nothing of them is
// ever stored, logged or traced.
#include "CtapClientPin.h"
#include "CtapExchange.h"

#include <windows.h>

// The PIN's text as a key takes it: 4 characters at least, 63 bytes of UTF-8 at most.
constexpr size_t PIN_MIN_CHARACTERS = 4;
constexpr size_t PIN_MAX_UTF8_BYTES = 63;

enum class PinTextCheck
{
    Ok,
    TooShort,
    TooLong,
    NotUnicode, // a lone surrogate, say
};

// LEFT(SHA-256(UTF-8 of the PIN), 16), from the PIN as typed. rgbPinHash is written only on Ok.
PinTextCheck HashPinText(const wchar_t* pszPin, BYTE (&rgbPinHash)[CTAP_PIN_HASH_BYTES]);

constexpr size_t PIN_UV_AUTH_TOKEN_MAX_BYTES = 64;

// A pinUvAuthToken and the protocol it was given under. Its holder wipes it.
struct TOKEN_PIN_TOKEN
{
    uint8_t protocol;
    BYTE rgbToken[PIN_UV_AUTH_TOKEN_MAX_BYTES];
    DWORD cbToken;
};

enum class TokenPinOutcome
{
    Ok,
    WrongPin,         // CTAP2_ERR_PIN_INVALID: retries are left
    Blocked,          // CTAP2_ERR_PIN_BLOCKED, or no retries left: the key must be reset
    PowerCycleNeeded, // CTAP2_ERR_PIN_AUTH_BLOCKED: unplug the key and plug it in again
    NotSet,           // CTAP2_ERR_PIN_NOT_SET
    NoProtocol,       // the key names no PIN/UV auth protocol spoken here
    NoCtap2,          // the key offers no CTAP2 on this interface
    TimedOut,
    Failed,           // another status (ctapStatus), a device error, an unusable answer, or CNG
};

struct TOKEN_PIN_RESULT
{
    TokenPinOutcome outcome;
    uint8_t ctapStatus;     // Failed with an authenticator status
    DWORD deviceResult;     // Failed on the device
    uint16_t statusWord;
    CtapResult answerCheck; // Failed on the answer
};

// The pinUvAuthToken for making a credential for pszRpId, on an open exchange: permission mc
// and the rp ID where the key offers getPinUvAuthTokenUsingPinWithPermissions, else
// getPinToken. *pToken is filled only on Ok.
void GetPinUvAuthToken(ICtapExchange& exchange, const CTAP_AUTHENTICATOR_INFO& info,
                       const BYTE (&rgbPinHash)[CTAP_PIN_HASH_BYTES], const char* pszRpId, TOKEN_PIN_TOKEN* pToken,
                       TOKEN_PIN_RESULT* pResult);

// getPINRetries on an open exchange; *pRetries is filled only on Ok.
void ReadPinRetries(ICtapExchange& exchange, uint8_t protocol, CTAP_PIN_RETRIES* pRetries, TOKEN_PIN_RESULT* pResult);

// pinUvAuthParam = authenticate(pinUvAuthToken, clientDataHash). Returns its length, or 0.
size_t ComputePinUvAuthParam(const TOKEN_PIN_TOKEN& token,
                             const BYTE (&rgbClientDataHash)[CTAP_CLIENT_DATA_HASH_BYTES],
                             BYTE (&rgbParam)[32]);
