#pragma once
// The key proves that it holds the private key of the credential made when it was
// associated: it signs a fresh challenge (CTAP2 authenticatorGetAssertion), and its
// signature counter must have grown since the last proof. Also the making of that
// credential at association. Written once over the exchange either interface offers;
// hashing, the challenge and the signature check are CNG's.
#include "CtapClientPin.h"
#include "CtapExchange.h"
#include "CtapMessage.h"
#include "TokenCredentialStore.h"
#include "TokenPin.h"

enum class TokenProofOutcome
{
    Proven,
    NoFidoApplet,        // "Token has no FIDO2 application"
    CredentialNotHeld,   // CTAP2_ERR_NO_CREDENTIALS: "Token does not hold the credential"
    CounterNotIncreased, // a possible clone
    TimedOut,            // "Token did not answer in time"
    Failed,              // anything else; szReason says what
};

constexpr size_t TOKEN_PROOF_REASON_CHARS = 64;

struct TOKEN_PROOF_RESULT
{
    TokenProofOutcome outcome;
    DWORD storedCount;    // the counter stored before this exchange
    DWORD presentedCount; // the counter the token presented (Proven, CounterNotIncreased)
    wchar_t szReason[TOKEN_PROOF_REASON_CHARS];
};

// What one proof asks of the key: a client data hash of 32 fresh random bytes, and the
// relying party's hash its answer must carry. Drawn before the key's time starts.
struct TOKEN_PROOF_CHALLENGE
{
    BYTE rgbClientDataHash[CTAP_CLIENT_DATA_HASH_BYTES];
    BYTE rgbRpIdHash[CTAP_RP_ID_HASH_BYTES];
};

// False when there is no random source or no SHA-256: nothing may then be asked.
bool DrawTokenProofChallenge(TOKEN_PROOF_CHALLENGE* pChallenge);

// The proof on an exchange that is not yet open: Open, getAssertion for the stored
// credential with the challenge (up=false unless fUserPresence), the answer's checks, the
// signature over authData || clientDataHash with the stored key, and the counter against
// credential.signCount.
void ProveTokenPossession(ICtapExchange& exchange, const TOKEN_CREDENTIAL& credential,
                          const TOKEN_PROOF_CHALLENGE& challenge, bool fUserPresence, TOKEN_PROOF_RESULT* pResult);
// The same on an exchange already open (a second credential asked of the same key).
void ProveOnOpenExchange(ICtapExchange& exchange, const TOKEN_CREDENTIAL& credential,
                         const TOKEN_PROOF_CHALLENGE& challenge, bool fUserPresence, TOKEN_PROOF_RESULT* pResult);

enum class TokenCredentialOutcome
{
    Made,
    NoFidoApplet, // the key offers no CTAP2 on this interface
    TimedOut,     // nobody touched the key in time
    Failed,       // a CTAP status (ctapStatus), a device error (deviceResult, statusWord), an
                  // unusable answer (answerCheck), or none of these: nothing could be sent
};

struct NEW_TOKEN_CREDENTIAL
{
    TokenCredentialOutcome outcome;
    uint8_t ctapStatus;  // Failed with an authenticator status: the status byte, for example 0x36 PIN required
    DWORD deviceResult;  // Failed on the device: its result, or 0 with a status word
    uint16_t statusWord;
    CtapResult answerCheck; // Failed on the answer: what it failed on
    BYTE rgbCredentialId[TOKEN_CREDENTIAL_ID_MAX_BYTES];
    DWORD cbCredentialId;
    BYTE rgbPublicKey[TOKEN_PUBLIC_KEY_BYTES];
    DWORD signCount;
};

// What the probe learnt of the key from its authenticatorGetInfo answer.
enum class TokenInfoState
{
    NotAsked,   // the probe did not get as far as an answer
    Read,       // the info is the key's
    Refused,    // an authenticator status other than 00: nothing is known of its PIN
    Unreadable, // status 00, but the answer is not one that can be read
};

struct TOKEN_INFO
{
    TokenInfoState state;
    CTAP_AUTHENTICATOR_INFO info; // Read only
};

// Whether the key speaks CTAP2 on this interface: Open, then authenticatorGetInfo. NoCtap2
// only when the key itself refused. Any CTAP answer shows CTAP2 spoken here; *pInfo, when
// given, receives what the answer said.
CtapExchangeStatus ProbeCtap2(ICtapExchange& exchange, TOKEN_INFO* pInfo = nullptr);
// The same on an exchange already open.
CtapExchangeStatus ReadTokenInfo(ICtapExchange& exchange, TOKEN_INFO* pInfo);

// Makes a credential for the account on an open exchange (authenticatorMakeCredential; a
// touch of the key may be needed), with pinUvAuthParam from pPinToken when it is given.
void MakeTokenCredential(ICtapExchange& exchange, const wchar_t* pszUserName, NEW_TOKEN_CREDENTIAL* pCredential,
                         const TOKEN_PIN_TOKEN* pPinToken = nullptr);

// A credential exchange (or the opening before it) that did not go through, told in
// *pCredential the way MakeTokenCredential tells its own failures. False for Ok.
bool NoteCredentialExchangeFailure(CtapExchangeStatus status, const ICtapExchange& exchange, NEW_TOKEN_CREDENTIAL* pCredential);

// What the token key stores of a credential just made.
void StoredCredentialOf(const NEW_TOKEN_CREDENTIAL& made, TOKEN_CREDENTIAL* pStored);
