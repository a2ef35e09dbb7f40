// A custom action for the test variant of the MSI: it fails, so the steps before it are
// rolled back the way a real failure or a cancel would roll them back.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

extern "C" UINT __stdcall FailForTest(MSIHANDLE)
{
    return ERROR_INSTALL_FAILURE;
}
