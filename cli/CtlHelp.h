#pragma once
// velkorctl's help: everything at once, or one command. Pure logic.
#include <string>

// topic: "" for the overview, else a command's first word ("enable", "recovery", ...).
std::wstring CtlHelpText(const std::wstring& topic);
