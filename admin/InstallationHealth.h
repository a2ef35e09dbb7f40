#pragma once
// Whether the installation can enforce the factor: LSA must load our package through
// MSV1_0's Auth0, and LSA protection must not refuse it, as the running LSA shows and as
// RunAsPPL asks. The logon screen's provider and filter only add the recovery field; the
// package decides without them.
#include "LsaProtection.h"

#include <windows.h>

constexpr size_t HEALTH_TEXT_CHARS = 768;
constexpr size_t AUTH0_VALUE_CHARS = MAX_PATH;

struct INSTALLATION_HEALTH
{
    wchar_t szAuth0[AUTH0_VALUE_CHARS]; // MSV1_0 Auth0 as stored; empty when absent
    bool fAuth0IsOurs;                  // "VelkorSubAuth" or "VelkorSubAuth.dll", any case
    bool fPackageInstalled;             // VelkorSubAuth.dll in System32
    wchar_t szPackagePath[MAX_PATH];    // where it was looked for
    bool fProviderRegistered;           // under ...\Authentication\Credential Providers
    bool fFilterRegistered;             // under ...\Authentication\Credential Provider Filters
    bool fServerRegistered;             // HKLM\SOFTWARE\Classes\CLSID\{...}\InprocServer32 names a file
    bool fRunAsPplPresent;
    DWORD dwRunAsPpl;                   // Lsa\RunAsPPL when present
    bool fRunAsPplProtects;             // RunAsPPL 1, or 2 (without the UEFI lock)
    bool fLsaChecked;                   // Auth0 names our installed package: the running LSA was looked at
    LSA_PROTECTION_STATE lsa;           // what it showed (zero when not looked at)
    bool fRunningLsaRefuses;            // protected and the package not signed by Microsoft, or Code Integrity refused it
    bool fLsaProtectionRefuses;         // that, or RunAsPPL protects and the running LSA does not show otherwise
};

extern const wchar_t PROVIDER_CLSID_TEXT[]; // {A614094D-EFED-4B38-94BB-E14B932584B0}

void ReadInstallationHealth(INSTALLATION_HEALTH* pHealth);

// Whether any part of the installation is there: Auth0 naming our package, the package,
// or the logon screen's registration.
bool IsInstalled(const INSTALLATION_HEALTH& health);

// False when something stops LSA from running our package for logons.
bool IsPackageEnforced(const INSTALLATION_HEALTH& health);

// One line "NOT ENFORCED: ..." naming every reason the package would not decide logons.
// Returns false (and an empty text) when nothing stops it.
bool FormatNotEnforced(const INSTALLATION_HEALTH& health, wchar_t (&szText)[HEALTH_TEXT_CHARS]);

// One line (without a "WARNING:" prefix) about the parts of the logon screen
// registration that are missing. Returns false (and an empty text) when all are there.
bool FormatProviderWarning(const INSTALLATION_HEALTH& health, wchar_t (&szText)[HEALTH_TEXT_CHARS]);

// One line (without a "WARNING:" prefix) when LSA protection is about to refuse the
// package: Code Integrity's audit mode logged that it would, or RunAsPPL asks for a
// protection the running LSA does not have yet. Returns false (and an empty text) otherwise.
bool FormatLsaWarning(const INSTALLATION_HEALTH& health, wchar_t (&szText)[HEALTH_TEXT_CHARS]);

// "LSA protection could not be checked: ..." naming what could not be read of the
// running LSA. Returns false (and an empty text) when everything was read or nothing
// was to be looked at.
bool FormatLsaNotChecked(const INSTALLATION_HEALTH& health, wchar_t (&szText)[HEALTH_TEXT_CHARS]);
