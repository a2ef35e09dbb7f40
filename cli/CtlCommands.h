#pragma once
// velkorctl's commands on the shared administration components: the configuration
// store and directory, the token association flows, the configuration changes with
// their events, the lockout preflight and the installation's health.
#include "CtlOutput.h"

#include <string>
#include <vector>

// Runs one command line (the arguments after the program name); returns the exit code.
int RunVelkorCtl(const std::vector<std::wstring>& args, CCtlOutput& output);
