#pragma once
// The security key's PIN at association, on either interface. A key that needs its PIN for
// a credential that is not discoverable (getInfo says clientPin and not makeCredUvNotRqd,
// or makeCredential answered 0x36 PIN required) is asked for it through the prompts, on the
// flow's thread between two card steps: the card work never waits for the administrator.
// Logons never need the PIN, so a key that wants it at every use (alwaysUv) is refused.
// The PIN is hashed as soon as it is typed and wiped; only its hash goes to the card work,
// which wipes it once the key has answered.
#include "AdminPrompts.h"
#include "TokenAssociation.h"
#include "TokenProof.h"

#include <windows.h>

// Results of the PIN steps, besides the key's own refusals (TOKEN_FLOW_CTAP_STATUS | 0x31
// wrong PIN, | 0x32 blocked, | 0x34 unplug it first, | 0x35 no PIN set).
constexpr DWORD TOKEN_FLOW_PIN_NOT_GIVEN = 0xFFFFFD01; // cancelled, or nowhere to ask
constexpr DWORD TOKEN_FLOW_PIN_UNUSABLE = 0xFFFFFD02;  // not 4 characters to 63 bytes: never sent
constexpr DWORD TOKEN_FLOW_PIN_NOT_SENT = 0xFFFFFD03;  // no PIN protocol in common, or no key agreement

// The PIN's part of the card work: what the key said of its PIN when it was opened, the PIN's
// hash while it waits for the credential step, and what the key answered to it.
struct ASSOCIATION_PIN_WORK
{
    TOKEN_INFO info;             // getInfo, from the opening step
    bool fRetriesRead;           // retries, read when opening a key that has a PIN
    CTAP_PIN_RETRIES retries;
    bool fPinGiven;              // a PIN was typed for this association
    BYTE rgbPinHash[CTAP_PIN_HASH_BYTES]; // wiped by the credential step
    TOKEN_PIN_RESULT pin;        // the key's answer to the PIN (Ok before any was sent)
    bool fRetriesAfter;          // retries, read again after a wrong PIN
    CTAP_PIN_RETRIES retriesAfter;
};

// Card thread, opening step, after ProbeCtap2 filled work.info: the PIN's retries of a key
// that has a PIN.
void ReadKeyPinState(ICtapExchange& exchange, ASSOCIATION_PIN_WORK& work);

// Card thread, credential step, on an open exchange: with a PIN given, the pinUvAuthToken
// first and the credential with it; else the credential alone. A PIN the key refuses leaves
// the credential unmade (outcome Failed, its status byte) and work.pin saying why.
void MakeCredentialWithPin(ICtapExchange& exchange, ASSOCIATION_PIN_WORK& work, const wchar_t* pszUserName,
                           NEW_TOKEN_CREDENTIAL* pCredential);

// Flow's thread, before the credential step: refuses a key that wants its PIN at every use
// or whose PIN is blocked, and asks for the PIN of a key that needs it.
DWORD PrepareKeyPin(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS], ASSOCIATION_PIN_WORK& work);

// Flow's thread, after the credential step: whether the key answered 0x36 PIN required to a
// request without a PIN although getInfo did not say so, and has a PIN to ask for. The flow
// then asks (AskKeyPin) and runs the step once more.
bool KeyAsksForPinAfterAll(const ASSOCIATION_PIN_WORK& work, const NEW_TOKEN_CREDENTIAL& made);
DWORD AskKeyPin(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS], ASSOCIATION_PIN_WORK& work);

// Flow's thread, after the credential step: a PIN the key refused, told to the administrator
// (a wrong PIN with the retries left, a blocked PIN); ERROR_SUCCESS when the PIN was not
// what failed.
DWORD JudgeKeyPinAnswer(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS],
                        const ASSOCIATION_PIN_WORK& work);
