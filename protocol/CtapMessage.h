#pragma once
// The two CTAP2 exchanges of the token proof: authenticatorMakeCredential when a token
// is associated, authenticatorGetAssertion at every logon. Requests are the command byte
// followed by CBOR; answers are a status byte followed by CBOR. No Windows headers:
// also built natively for sanitizers and fuzzing. Hashing and signature checks are the
// caller's (CNG): these functions take the expected hashes and hand back the bytes to
// verify.
#include <cstddef>
#include <cstdint>

#include "EcdsaSignature.h"

class CCborReader;

// The relying party every Velkor credential is made for.
constexpr char VELKOR_RP_ID[] = "velkor-fido2-login.local";

constexpr uint8_t CTAP_CMD_MAKE_CREDENTIAL = 0x01;
constexpr uint8_t CTAP_CMD_GET_ASSERTION = 0x02;
constexpr uint8_t CTAP_CMD_GET_INFO = 0x04;

// Status bytes the caller tells apart.
constexpr uint8_t CTAP_STATUS_OK = 0x00;
constexpr uint8_t CTAP_STATUS_INVALID_OPTION = 0x2C;
constexpr uint8_t CTAP_STATUS_NO_CREDENTIALS = 0x2E; // "Token does not hold the credential"
constexpr uint8_t CTAP_STATUS_PIN_REQUIRED = 0x36;

constexpr size_t CTAP_CLIENT_DATA_HASH_BYTES = 32;
constexpr size_t CTAP_RP_ID_HASH_BYTES = 32;
constexpr size_t CTAP_USER_ID_BYTES = 16;
constexpr size_t CTAP_CREDENTIAL_ID_MAX_BYTES = 1023;
constexpr size_t CTAP_PUBLIC_KEY_BYTES = 65; // 04 || X || Y
constexpr size_t CTAP_AAGUID_BYTES = 16;
// rpIdHash, flags and signCount: the part every authenticator data has.
constexpr size_t CTAP_AUTH_DATA_MIN_BYTES = CTAP_RP_ID_HASH_BYTES + 1 + 4;

// Flags byte of the authenticator data.
constexpr size_t CTAP_AUTH_DATA_FLAGS_OFFSET = CTAP_RP_ID_HASH_BYTES; // the flags byte after rpIdHash
constexpr uint8_t AUTH_DATA_FLAG_UP = 0x01; // user present
constexpr uint8_t AUTH_DATA_FLAG_UV = 0x04; // user verified
constexpr uint8_t AUTH_DATA_FLAG_AT = 0x40; // attested credential data follows
constexpr uint8_t AUTH_DATA_FLAG_ED = 0x80; // extension data follows

// Enough for either request with the longest credential ID, VELKOR_RP_ID, a user name of
// up to 200 bytes of UTF-8 and a PIN/UV auth parameter.
constexpr size_t CTAP_REQUEST_BUFFER_BYTES = 1280;

// What a request carries to show that the key's PIN was given: pinUvAuthParam (16 bytes
// under PIN/UV auth protocol 1, 32 under protocol 2) and the protocol's number.
struct CTAP_PIN_UV_AUTH_PARAM
{
    const uint8_t* pbParam;
    size_t cbParam;
    uint8_t protocol;
};

// authenticatorMakeCredential: {1: clientDataHash, 2: {"id": rpId}, 3: {"id": userId,
// "name": userName}, 4: [{"alg": -7, "type": "public-key"}]}, no options, and with
// pPinUvAuth {8: pinUvAuthParam, 9: pinUvAuthProtocol}. pchUserName is the account name
// in UTF-8 (cchUserName bytes, no terminator needed). Writes the command byte and the map
// into pbRequest and returns the length, or 0 when it does not fit, the rpId or name is
// not UTF-8, or the auth parameter is not 16 or 32 bytes.
size_t EncodeMakeCredentialRequest(const char* pszRpId, const uint8_t (&rgbClientDataHash)[CTAP_CLIENT_DATA_HASH_BYTES],
                                   const uint8_t (&rgbUserId)[CTAP_USER_ID_BYTES], const char* pchUserName,
                                   size_t cchUserName, uint8_t* pbRequest, size_t cbRequest,
                                   const CTAP_PIN_UV_AUTH_PARAM* pPinUvAuth = nullptr);

// authenticatorGetAssertion: {1: rpId, 2: clientDataHash, 3: [{"id": credentialId, "type":
// "public-key"}], 5: {"up": false}}, without member 5 when the user's presence is asked
// for. The credential ID must be 1 to CTAP_CREDENTIAL_ID_MAX_BYTES bytes. Returns the
// length written, or 0.
size_t EncodeGetAssertionRequest(const char* pszRpId, const uint8_t (&rgbClientDataHash)[CTAP_CLIENT_DATA_HASH_BYTES],
                                 const uint8_t* pbCredentialId, size_t cbCredentialId, uint8_t* pbRequest,
                                 size_t cbRequest, bool fUserPresence = false);

// What an answer failed on, first failure in the order listed for each parser.
enum class CtapResult
{
    Ok,
    AuthenticatorStatus,     // status byte not 00 (the byte is handed back separately)
    MalformedAnswer,         // not the canonical CBOR or layout expected, or bytes after it
    RelyingPartyDiffers,     // rpIdHash is not the expected one
    CredentialDiffers,       // the assertion names another credential
    UserPresenceMissing,     // a new credential without the UP flag
    AttestedDataMissing,     // a new credential without the AT flag
    AttestedDataInAssertion, // an assertion with the AT flag
    KeyNotEs256,             // the credential key is not exactly an ES256 P-256 COSE key
    ExtensionDataMalformed,  // ED set, but what follows is not exactly one CBOR map
    SignatureEncoding,       // the signature is not strict DER of two P-256 scalars
};

// Short English text of a result for "Token proof failed: %s"; AuthenticatorStatus
// gives "authenticator status" (FormatCtapResult adds the byte).
const wchar_t* CtapResultText(CtapResult result);

constexpr size_t CTAP_RESULT_TEXT_CHARS = 32;

// The text of a result, with the status byte for AuthenticatorStatus:
// "authenticator status 0x2E".
void FormatCtapResult(CtapResult result, uint8_t ctapStatus, wchar_t (&szText)[CTAP_RESULT_TEXT_CHARS]);

// The first steps of reading any answer: the status byte (handed back through pbCtapStatus,
// when given, whatever follows; 0 for an empty answer), then the rest must be exactly one
// canonical item, a map, of whose entries *pcEntries receives the count; *pReader is left
// after the map's header. AuthenticatorStatus for a status other than 00.
CtapResult OpenCtapAnswerMap(const uint8_t* pbAnswer, size_t cbAnswer, uint8_t* pbCtapStatus, CCborReader* pReader,
                             size_t* pcEntries);

// A new credential read from an authenticatorMakeCredential answer.
struct CTAP_NEW_CREDENTIAL
{
    const uint8_t* pbCredentialId = nullptr; // points into the answer
    size_t cbCredentialId = 0;
    uint8_t rgbPublicKey[CTAP_PUBLIC_KEY_BYTES] = {}; // 04 || X || Y, as CNG's import wants it
    uint32_t signCount = 0;
    uint8_t flags = 0;
};

// An authenticatorMakeCredential answer (status byte then {1: fmt, 2: authData, 3:
// attStmt}; other keys are checked and skipped). Checked in this order: status,
// canonical CBOR filling the answer, the three members and their types, authenticator
// data layout, rpIdHash equal to rgbRpIdHash, UP, AT, credential ID of 1 to 1023 bytes,
// the COSE key exactly {1: 2, 3: -7, -1: 1, -2: x (32 bytes), -3: y (32 bytes)}, then the
// rest of the authenticator data: with ED set it must be exactly one CBOR map, without
// ED nothing. The attestation statement is not verified (there is no trust anchor to
// verify it against); its format is not looked at either.
// *pbCtapStatus receives the answer's first byte (0 for an empty answer); *pCredential
// is filled only on Ok and points into pbAnswer.
CtapResult ParseMakeCredentialResponse(const uint8_t* pbAnswer, size_t cbAnswer,
                                       const uint8_t (&rgbRpIdHash)[CTAP_RP_ID_HASH_BYTES],
                                       CTAP_NEW_CREDENTIAL* pCredential, uint8_t* pbCtapStatus);

// An assertion read from an authenticatorGetAssertion answer.
struct CTAP_ASSERTION
{
    const uint8_t* pbAuthData = nullptr; // points into the answer; signed with the client data hash
    size_t cbAuthData = 0;
    uint8_t rgbSignature[ECDSA_P256_SIGNATURE_BYTES] = {}; // r || s
    uint32_t signCount = 0;
    uint8_t flags = 0;
};

// An authenticatorGetAssertion answer (status byte then {1: credential (optional), 2:
// authData, 3: signature, 4: user (optional), 5: numberOfCredentials (optional)}; other
// keys are checked and skipped). Checked in this order: status, canonical CBOR filling
// the answer, members and their types, the credential's "id" equal to pbCredentialId and
// its "type" "public-key" when member 1 is there, authenticator data of at least 37
// bytes, rpIdHash, AT clear, the rest of the authenticator data (with ED set exactly one
// CBOR map, without ED nothing), then the signature's DER.
// *pbCtapStatus receives the answer's first byte (0 for an empty answer); *pAssertion
// is filled only on Ok and points into pbAnswer.
CtapResult ParseGetAssertionResponse(const uint8_t* pbAnswer, size_t cbAnswer,
                                     const uint8_t (&rgbRpIdHash)[CTAP_RP_ID_HASH_BYTES],
                                     const uint8_t* pbCredentialId, size_t cbCredentialId,
                                     CTAP_ASSERTION* pAssertion, uint8_t* pbCtapStatus);
