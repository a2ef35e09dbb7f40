#pragma once
// The fields every wrapped tile gains after the password provider's own: a hidden
// recovery-code edit field and the command link that reveals it; and, while every proof
// asks for a touch (requireTouch), a line that says so.
#include "CredentialProviderApi.h"

enum OWN_FIELD_ID : DWORD
{
    OWN_FIELD_RECOVERY_CODE = 0,
    OWN_FIELD_RECOVERY_LINK = 1,
    OWN_FIELD_TOUCH_HINT = 2,
    OWN_FIELD_COUNT = 3,
    OWN_FIELD_COUNT_WITHOUT_HINT = 2,
};

struct OWN_FIELD_STATE_PAIR
{
    CREDENTIAL_PROVIDER_FIELD_STATE cpfs;
    CREDENTIAL_PROVIDER_FIELD_INTERACTIVE_STATE cpfis;
};

extern const CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR s_rgOwnFieldDescriptors[OWN_FIELD_COUNT];
extern const OWN_FIELD_STATE_PAIR s_rgOwnFieldStates[OWN_FIELD_COUNT];

extern const wchar_t RECOVERY_LINK_TEXT[]; // "Insert Velkor FIDO2 token or click for recovery"
extern const wchar_t TOUCH_HINT_TEXT[];    // "Touch your security key when it flashes"

// Copies a descriptor into caller-owned storage, the label as task memory.
HRESULT CopyFieldDescriptor(const CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR& source, CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR* pTarget);
// A new task-memory descriptor (and label) for the logon user interface to free.
HRESULT CloneFieldDescriptor(const CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR& source, CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR** ppTarget);
