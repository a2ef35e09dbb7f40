#pragma once
// The proof credential a token key holds beside its `user`: the FIDO2 credential made at
// association, its public key and the highest signature counter seen, as the values
// credentialId (REG_BINARY), publicKey (REG_BINARY, 65 bytes) and signCount (REG_DWORD).
#include "ConfigStore.h"

#include <cstddef>

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

// A key associated over USB HID is known by its credential: tokens\fido-<id>, <id> the
// first 8 bytes of SHA-256 of the credential ID in upper-case hexadecimal.
constexpr size_t TOKEN_KEY_NAME_CHARS = 32;
constexpr wchar_t FIDO_TOKEN_PREFIX[] = L"fido-";
bool MakeFidoTokenKeyName(const BYTE* pbCredentialId, DWORD cbCredentialId, wchar_t (&szName)[TOKEN_KEY_NAME_CHARS]);
bool IsFidoTokenKeyName(const wchar_t* pszName);

// A token key's `name` (REG_SZ): the key's product string, for display only. A RegisterToken
// writer (context: a TOKEN_REGISTRATION_VALUES) stores the credential, then the name.
struct TOKEN_REGISTRATION_VALUES
{
    const TOKEN_CREDENTIAL* pCredential; // may be null: a token known by its serial alone
    const wchar_t* pszName;              // may be null or empty: no name
};
LONG WriteTokenRegistrationValues(void* pValues, const wchar_t* pszTokenKey);
// The name into pszName (cchName characters, terminated); empty when there is none.
void ReadTokenName(const wchar_t* pszTokenKey, wchar_t* pszName, size_t cchName);

// The credentials of the token keys that name the user (as the logon compares: exactly,
// case-sensitive), serial or fido- keys alike, or of every token key named by a user when
// pszUserName is null; keys without a usable credential are left out.
constexpr size_t MAX_USER_CREDENTIALS = 32;
struct USER_CREDENTIAL_TOKEN
{
    wchar_t szTokenKey[TOKEN_KEY_NAME_CHARS];
    TOKEN_CREDENTIAL credential;
};
struct USER_CREDENTIAL_TOKENS
{
    USER_CREDENTIAL_TOKEN rgTokens[MAX_USER_CREDENTIALS];
    size_t cTokens;
};
// Returns 0 (also with none found) or the registry status of a walk that could not be finished.
LONG FindUserCredentialTokens(const wchar_t* pszUserName, USER_CREDENTIAL_TOKENS* pTokens);
