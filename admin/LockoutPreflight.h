#pragma once
// What switching the factor on for an account would break, asked before the switch is
// written: an account with neither a token the package accepts nor a recovery code
// cannot log on at all,
// and a service or scheduled task that runs as the account fails to start while the
// account's token is not plugged in.
#include "ConfigStore.h"
#include "TokenCredentialStore.h"

#include <windows.h>

constexpr size_t PREFLIGHT_TEXT_CHARS = 512;

// Whether the package would let a token with this credential through: a usable
// credential (it must prove possession), or none at all while proof is not required.
bool IsTokenAFactor(TokenCredentialState credential, bool fProofRequired);

// Why none of an account's tokens is a factor, for texts: "requireProof is 1 and none of
// its tokens has a usable proof credential", or without the first part.
const wchar_t* NoTokenFactorReason(bool fProofRequired);

// Whether tokens name the account (pfAny) and whether one of them is a factor (pfFactor).
// Returns 0, or the status of a token walk that could not be finished.
LONG FindAccountTokens(const wchar_t* pszUserName, bool fProofRequired, bool* pfAny, bool* pfFactor);

struct ACCOUNT_LOCKOUT
{
    bool fLockedOut;     // no token the package would accept, and no recovery code
    bool fHasTokens;     // tokens name the account (none of them is a factor when locked out)
    bool fProofRequired; // requireProof as the package reads it
};

// Whether the account would be locked out. Returns 0 and the answer, or the status of a
// token walk that could not be finished (the answer is then "not locked out": nothing is
// refused on a guess).
LONG CheckAccountLockout(const wchar_t* pszUserName, ACCOUNT_LOCKOUT* pLockout);

// "<account> would be locked out: associate a token or generate a recovery code first",
// or the reason its tokens do not count.
void FormatLockoutText(const wchar_t* pszUserName, const ACCOUNT_LOCKOUT& lockout,
                       wchar_t (&szText)[PREFLIGHT_TEXT_CHARS]);

// Receives each warning: "Service X runs as <account> and will fail to start while its
// token is absent", or the same beginning with "Task X".
using PreflightWarningSink = void (*)(void* pContext, const wchar_t* pszWarning);

struct ACCOUNT_RUNS_CHECK
{
    DWORD dwServicesStatus; // 0, or why the services could not all be read
    HRESULT hrTasks;        // S_OK, or why the scheduled tasks could not all be read
    DWORD cWarnings;
};

// Every service (service control manager) and scheduled task (Task Scheduler, every
// folder) that runs as the account, named as ".\name", "name" or "COMPUTER\name" in any
// case, or (tasks) by the account's SID. pSid may be null. What cannot be read is
// skipped and reported in the result; it never stops the caller.
ACCOUNT_RUNS_CHECK WarnAboutAccountRuns(const wchar_t* pszUserName, PSID pSid, PreflightWarningSink pfnWarn,
                                        void* pContext);
