#pragma once
// The registry configuration under HKLM\SOFTWARE\Halvane\FIDO2\auth shared by the
// sub-authentication package, the credential provider and the Login Manager.
// Every operation opens its key, does one value operation and closes the key again.
#include <windows.h>
// urlmon.h maps IsLoggingEnabled to IsLoggingEnabledW; take it first (it has include
// guards) and drop the macro so our IsLoggingEnabled keeps its name wherever included.
#include <urlmon.h>
#ifdef IsLoggingEnabled
#undef IsLoggingEnabled
#endif

extern const wchar_t SETTINGS_KEY_PATH[];   // ...\auth\settings
extern const wchar_t USERS_KEY_PREFIX[];    // ...\auth\users\   (trailing backslash)
extern const wchar_t TOKENS_KEY_PREFIX[];   // ...\auth\tokens\  (trailing backslash)

// Buffer sizes the readers use; a value that does not fit reads as absent.
constexpr DWORD SEC_VALUE_BUFFER_SIZE = 256;
constexpr DWORD RECOVERY_VALUE_BUFFER_SIZE = 256;
constexpr DWORD TOKEN_USER_BUFFER_SIZE = 128;

class CRegKey;
// Opens tokens\<name> (an empty name is refused: it would be the tokens key itself).
LONG OpenTokenKey(const wchar_t* pszName, REGSAM samDesired, CRegKey& key);

// The switches as the package reads them. Every program decides by these functions, so
// none can read a value otherwise than the package does.
// `enabled` (computer and user), `safemodeEnabled`, `loggingEnabled`: on when the value,
// of whatever kind, holds at most four bytes that read as the number 1 (little-endian).
bool IsAuthEnabled();
bool IsSafeModeEnabled();
bool IsLoggingEnabled();
bool IsUserEnabled(const wchar_t* pszUserName);
// pcbData: buffer size on entry, bytes returned (terminator included) on success.
LONG ReadRegistryString(const char* pszValueName, const wchar_t* pszKeyPath, BYTE* pbData, DWORD* pcbData);
// pftKeyWritten (may be null): the last write time of the users\<user> key, read before the
// value, so a code written after that moment only ever looks older than it is.
LONG ReadSecValue(const wchar_t* pszUserName, BYTE* pbData, DWORD* pcbData, FILETIME* pftKeyWritten = nullptr);
LONG ReadRecoveryValue(const wchar_t* pszUserName, BYTE* pbData, DWORD* pcbData);
LONG ReadTokenUser(const wchar_t* pszSerial, BYTE* pbData, DWORD* pcbData);

// settings `requireProof`: on only as the REG_DWORD 1; any other value or kind is off.
bool IsProofRequired();
// settings `requireTouch`: on only as the REG_DWORD 1. Every proof then asks for the user's
// presence, and may take 30 s.
bool IsTouchRequired();
// settings `eventLogEnabled`: events are reported unless it is the REG_DWORD 0.
bool IsEventLogEnabled();
// settings `networkLogons`: network logons of protected accounts pass without a token
// only while it is the REG_DWORD 1; any other value or kind is off.
bool IsNetworkLogonAllowed();

LONG SetAuthEnabled(bool fEnabled);
LONG SetUserEnabled(const wchar_t* pszUserName, bool fEnabled);

enum class RegisterTokenStep
{
    None,
    ConvertUserName,   // the name has no exact ANSI form that fits the `user` value
    CreateTokenKey,
    WriteValues,
    WriteUser,
    CreateUserKey,
};

struct RegisterTokenResult
{
    LONG status;                  // 0 on success, else the failing step's status
    RegisterTokenStep failedStep; // None on success and when already registered
    bool alreadyRegistered;       // the token key existed: nothing was changed
    bool userKeyCreated;          // step 3 made the user's key (it did not exist before)
};

// Writes a token key's values besides its user (the key exists); 0 or the registry status.
using TokenValuesWriter = LONG (*)(void* pContext, const wchar_t* pszName);

// Creates the token key (it must be new), has pfnWriteValues (when given) write its other
// values, then writes the token's `user`, then opens or creates the user's key. A failure
// before the user's key takes the token key back.
RegisterTokenResult RegisterToken(const wchar_t* pszSerial, const wchar_t* pszUserName,
                                  TokenValuesWriter pfnWriteValues = nullptr, void* pWriteContext = nullptr);
// Whether the token key exists (0 and the answer, or the registry status).
LONG TokenKeyExists(const wchar_t* pszSerial, bool* pfExists);
// The user's key, created as token registration creates it (factor off: no `enabled`
// value) or opened as it is. pfCreated (may be null) says whether it was new.
LONG CreateUserKey(const wchar_t* pszUserName, bool* pfCreated);
LONG UnregisterToken(const wchar_t* pszSerial);
// Undoes a registration that cannot be completed: the token key goes, and the user's key
// too when that registration made it (and nothing has been stored in it since).
void UndoRegisterToken(const wchar_t* pszSerial, const wchar_t* pszUserName, const RegisterTokenResult& registered);
bool WriteSecValue(const wchar_t* pszUserName, const wchar_t* pszText);
bool DeleteSecValue(const wchar_t* pszUserName);

// The user name in the system ANSI code page as the `user` value stores it: exact
// (no best-fit or default characters) and at most TOKEN_USER_BUFFER_SIZE bytes with
// its terminator. Returns 0, ERROR_INSUFFICIENT_BUFFER or ERROR_NO_UNICODE_TRANSLATION.
LONG UserNameToAnsi(const wchar_t* pszUserName, char (&szAnsi)[TOKEN_USER_BUFFER_SIZE], int* pcchAnsi);

// Stores a REG_SZ through the ANSI call with its terminating null written explicitly,
// so readers get the size with the terminator on every registry implementation.
LONG SetAnsiStringValue(HKEY hKey, const char* pszValueName, const char* pszText, size_t cchText);

// A string value read in its ANSI form (pbValue, the cbValue bytes the read returned) as
// wide text in pszWide (cchWide characters, terminated). Never reads past cbValue, so a
// value stored without a terminator is safe; text that does not fit is cut.
void AnsiValueToWide(const BYTE* pbValue, DWORD cbValue, wchar_t* pszWide, size_t cchWide);
