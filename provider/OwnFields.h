#pragma once
// The two fields every wrapped tile gains after the password provider's own: a hidden
// recovery-code edit field and the command link that reveals it.
#include "CredentialProviderApi.h"

enum OWN_FIELD_ID : DWORD
{
    OWN_FIELD_RECOVERY_CODE = 0,
    OWN_FIELD_RECOVERY_LINK = 1,
    OWN_FIELD_COUNT = 2,
};

struct OWN_FIELD_STATE_PAIR
{
    CREDENTIAL_PROVIDER_FIELD_STATE cpfs;
    CREDENTIAL_PROVIDER_FIELD_INTERACTIVE_STATE cpfis;
};

extern const CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR s_rgOwnFieldDescriptors[OWN_FIELD_COUNT];
extern const OWN_FIELD_STATE_PAIR s_rgOwnFieldStates[OWN_FIELD_COUNT];

extern const wchar_t RECOVERY_LINK_TEXT[]; // "Insert Velkor FIDO2 token or click for recovery"

// Copies a descriptor into caller-owned storage, the label as task memory.
HRESULT CopyFieldDescriptor(const CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR& source, CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR* pTarget);
// A new task-memory descriptor (and label) for the logon user interface to free.
HRESULT CloneFieldDescriptor(const CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR& source, CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR** ppTarget);
