#pragma once
// Accounts that were renamed or deleted while the configuration still names them: their
// users\ key and their token keys stay behind, and a key of theirs stays "already
// registered". The commands that clean up find them here by the name the configuration
// uses.
#include <windows.h>

#include <string>
#include <vector>

// The spelling under which the configuration names an account that has no local account:
// a users\ key or a token's `user`, compared in any case (".\name" and "COMPUTER\name"
// name it too). False when nothing names it (or the configuration cannot be read).
bool FindConfiguredName(const std::wstring& typed, std::wstring* pConfigured);

// The token keys whose `user` names the account, in any case.
std::vector<std::wstring> TokensNaming(const std::wstring& name);

// Removes every token key naming the account, then its users\ key. *pRemoved lists the
// token keys removed, also when a later step fails. Returns 0 or the failing status.
LONG ForgetAccountConfiguration(const std::wstring& name, std::vector<std::wstring>* pRemoved, bool* pfUserKeyRemoved);
