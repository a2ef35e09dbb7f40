#pragma once
// What the running LSA makes of our package, beyond what the registry asks for: whether the
// process that hosts the SamSs service (LSASS) runs protected, what Code Integrity logged
// about VelkorSubAuth.dll since Windows started, and whether the package's Authenticode
// signature chains to Microsoft, the only kind a protected LSA loads. Nothing is guessed:
// what cannot be read is named in szNotChecked.
#include "CodeIntegrityEventFormat.h"

#include <windows.h>

constexpr size_t LSA_NOT_CHECKED_CHARS = 384;

enum class LsaProcessProtection
{
    Unknown,
    Unprotected,
    Protected,
};

struct CODE_INTEGRITY_FINDING
{
    bool fFound;
    DWORD dwEventId;
    wchar_t szTime[CI_EVENT_TIME_CHARS]; // may be empty
};

struct LSA_PROTECTION_STATE
{
    LsaProcessProtection process;
    DWORD dwProtectionLevel;            // PROTECTION_LEVEL_* when process is known
    bool fLogRead;                      // the Code Integrity log was read to the end
    CODE_INTEGRITY_FINDING refused;     // newest 3033 or 3063 naming the package
    CODE_INTEGRITY_FINDING audited;     // newest 3065 or 3066 naming the package
    bool fMicrosoftSigned;              // a valid signature whose chain ends in a Microsoft root
    wchar_t szNotChecked[LSA_NOT_CHECKED_CHARS]; // "; "-separated; empty when everything was read
};

// pszPackagePath: the package as LSA loads it (System32\VelkorSubAuth.dll).
void ReadLsaProtection(const wchar_t* pszPackagePath, LSA_PROTECTION_STATE* pState);
