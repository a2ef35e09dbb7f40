#pragma once
// velkorctl status: the configuration and the installation's health in one report.
#include "CtlReport.h"

// Returns the exit code: 0, 3 when the computer's factor is on but would not be
// enforced, 4 when the configuration could not be read.
int RunStatus(CCtlReport& report);
