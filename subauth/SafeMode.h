#pragma once
// Whether Windows was started in safe mode (GetSystemMetrics(SM_CLEANBOOT) > 0).
// Safe mode cannot be staged in a test, so a test may stand in for the query.
bool IsSafeModeBoot();

using CleanBootQuery = int (*)();
CleanBootQuery SetCleanBootQueryForTesting(CleanBootQuery pfnQuery);
