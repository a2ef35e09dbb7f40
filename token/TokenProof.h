#pragma once
// The token proves that it holds the private key of the credential made when it was
// associated: it signs a fresh challenge (CTAP2 authenticatorGetAssertion), and its
// signature counter must have grown since the last proof. Also the making of that
// credential at association. Hashing, the challenge and the signature check are CNG's.
#include "ConfigStore.h"
#include "CtapMessage.h"
#include "CtapTransport.h"

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

// Runs the proof on the connected reader until ullDeadline (GetTickCount64): FIDO SELECT,
// getAssertion for the stored credential with the challenge and up=false, the answer's
// checks, the signature over authData || clientDataHash with the stored key, and the
// counter against credential.signCount.
void ProveTokenPossession(CSmartCardReader& reader, const TOKEN_CREDENTIAL& credential,
                          const TOKEN_PROOF_CHALLENGE& challenge, ULONGLONG ullDeadline, TOKEN_PROOF_RESULT* pResult);

enum class TokenCredentialOutcome
{
    Made,
    NoFidoApplet, // the token offers no CTAP2 over its smart-card interface
    TimedOut,     // nobody touched the key in time
    Failed,       // a CTAP status (ctapStatus), a card error (cardResult), an unusable answer
                  // (answerCheck), or none of these: nothing could be sent (no random bytes, say)
};

struct NEW_TOKEN_CREDENTIAL
{
    TokenCredentialOutcome outcome;
    uint8_t ctapStatus;  // Failed with an authenticator status: the status byte, for example 0x36 PIN required
    DWORD cardResult;    // Failed on the card: the PC/SC result, or 0 with a status word
    uint16_t statusWord;
    CtapResult answerCheck; // Failed on the answer: what it failed on
    BYTE rgbCredentialId[TOKEN_CREDENTIAL_ID_MAX_BYTES];
    DWORD cbCredentialId;
    BYTE rgbPublicKey[TOKEN_PUBLIC_KEY_BYTES];
    DWORD signCount;
};

// Whether the token speaks CTAP2 over its smart-card interface, by ullDeadline: the FIDO
// SELECT, then authenticatorGetInfo. NoFidoApplet only when the token itself refused.
CtapTransportStatus ProbeTokenCtap2(CSmartCardReader& reader, ULONGLONG ullDeadline);

// Makes a credential for the account on the connected token (authenticatorMakeCredential,
// a touch of the key may be needed) by ullDeadline.
void MakeTokenCredential(CSmartCardReader& reader, const wchar_t* pszUserName, ULONGLONG ullDeadline,
                         NEW_TOKEN_CREDENTIAL* pCredential);

// SHA-256 of two pieces one after the other, through CNG.
bool Sha256Cng(const BYTE* pbFirst, size_t cbFirst, const BYTE* pbSecond, size_t cbSecond, BYTE (&rgbDigest)[32]);
