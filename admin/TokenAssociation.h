#pragma once
// Associating the plugged-in key with an account, and dissociating it again. A key in a
// token reader is known by its serial number (and proves with the credential made on its
// smart-card interface, or over USB when that interface has no FIDO2); without a token
// reader, exactly one FIDO key over USB is known by the credential made for it
// (tokens\fido-<id>). Each flow opens its own PC/SC context and devices.
#include "AdminPrompts.h"

#include <windows.h>

constexpr size_t MANAGER_TRACE_TEXT_CHARS = 1024;

// Results besides 0, a PC/SC status (no context) and a registry status.
constexpr DWORD TOKEN_FLOW_NO_SINGLE_TOKEN = 0xFFFFFFFF; // none, or more than one
constexpr DWORD TOKEN_FLOW_CONNECT_FAILED = 0xFFFFFFFE;
constexpr DWORD TOKEN_FLOW_UNUSABLE_INPUT = 0xFFFFFFFD;  // serial unread, or user name not storable
constexpr DWORD TOKEN_FLOW_REFUSED = 0xFFFFFFFC;         // already registered / not this user's token / proof required
constexpr DWORD TOKEN_FLOW_TIMED_OUT = 0xFFFFFFFB;       // the key was not touched in time
constexpr DWORD TOKEN_FLOW_BAD_ANSWER = 0xFFFFFFFA;      // the key's answer was unusable
constexpr DWORD TOKEN_FLOW_CTAP_STATUS = 0xFFFFFE00;     // | the authenticator's status byte (0x36: PIN required)

// Both tell the administrator through prompts where the outcome needs a message of its
// own, and trace into szTraceText and the debug output.
// Where the key is looked for: a token reader, and without one USB (Any); or only one of them.
enum class AssociationInterface
{
    Any,
    Reader,
    Usb,
};

DWORD AssociateToken(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS], const wchar_t* pszUserName,
                     AssociationInterface iface = AssociationInterface::Any);
DWORD DissociateToken(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS], const wchar_t* pszUserName,
                      AssociationInterface iface = AssociationInterface::Any);
// The same for a token that is not at hand (a lost key), named by its serial number or fido- name.
DWORD DissociateSerial(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS], const wchar_t* pszSerial,
                       const wchar_t* pszUserName);
