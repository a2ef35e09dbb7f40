#pragma once
// velkorctl export and import: the token records of one machine as an enrolment document,
// and that document stored on another machine, whole or not at all.
#include "CtlArguments.h"
#include "CtlReport.h"

int RunExport(CCtlReport& report, const CtlCommand& command);
int RunImport(CCtlReport& report, const CtlCommand& command);
