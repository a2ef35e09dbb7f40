#pragma once
// What an administrator does to one account with a token: associate or dissociate it,
// switch the account's factor accordingly and offer to make or remove its recovery code.
// The Login Manager and the command-line tool run these same steps; only the way they
// show messages and answer questions differs (IAdminPrompts).
#include "AdminPrompts.h"
#include "TokenAssociation.h"

// Associates the plugged-in token, switches the account on and offers a recovery code.
// Returns the association's result (0 on success); a failure has been reported.
DWORD AssociateTokenWithAccount(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS],
                                const wchar_t* pszUserName, AssociationInterface iface = AssociationInterface::Any);

// Dissociates the plugged-in token (or, with pszSerial, that serial), switches the account
// off unless another token still names it, and offers to remove the recovery code.
DWORD DissociateTokenFromAccount(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS],
                                 const wchar_t* pszUserName, const wchar_t* pszSerial = nullptr,
                                 AssociationInterface iface = AssociationInterface::Any);
