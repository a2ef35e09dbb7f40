#pragma once
// The proof credential a token key holds beside its `user`: the FIDO2 credential made at
// association, its public key and the highest signature counter seen, as the values
// credentialId (REG_BINARY), publicKey (REG_BINARY, 65 bytes) and signCount (REG_DWORD).
#include "ConfigStore.h"

constexpr DWORD TOKEN_CREDENTIAL_ID_MAX_BYTES = 1023;
constexpr DWORD TOKEN_PUBLIC_KEY_BYTES = 65; // 04 || X || Y of a P-256 point

struct TOKEN_CREDENTIAL
{
    BYTE rgbCredentialId[TOKEN_CREDENTIAL_ID_MAX_BYTES];
    DWORD cbCredentialId;
    BYTE rgbPublicKey[TOKEN_PUBLIC_KEY_BYTES];
    DWORD signCount;
};

enum class TokenCredentialState
{
    None,      // neither credentialId nor publicKey: a token known by its serial alone
    Present,   // both well-formed; signCount absent counts as 0
    Malformed, // one of them, or signCount, of the wrong kind or length, or unreadable
};

// A token key's credential, each value read once. Only Present fills *pCredential.
TokenCredentialState ReadTokenCredential(const wchar_t* pszSerial, TOKEN_CREDENTIAL* pCredential);
// Stores a new credential on an existing token key: credentialId, publicKey, signCount.
LONG WriteTokenCredential(const wchar_t* pszSerial, const BYTE* pbCredentialId, DWORD cbCredentialId,
                          const BYTE (&rgbPublicKey)[TOKEN_PUBLIC_KEY_BYTES], DWORD signCount);
// The same as a RegisterToken writer (context: a TOKEN_CREDENTIAL), so that a new token
// key holds its credential before it names its user.
LONG WriteTokenCredentialValues(void* pCredential, const wchar_t* pszSerial);
// Raises the stored signCount to dwSignCount unless what is stored by then is as high
// already: the value only ever grows. Read and write are one step for this process.
LONG RaiseTokenSignCount(const wchar_t* pszSerial, DWORD dwSignCount);

// What a token key holds besides its user: its proof credential as the logon path reads
// it (ReadTokenCredential) and the last signature counter (`signCount`, REG_DWORD).
struct TOKEN_PROOF_STATE
{
    TokenCredentialState credential;
    bool fHasSignCount;
    DWORD dwSignCount;
};

// Returns 0 and the state, or the status of opening the token's key.
LONG ReadTokenProofState(const wchar_t* pszSerial, TOKEN_PROOF_STATE* pState);
