#include "Elevation.h"
#include "AdminHandles.h"


DWORD CheckElevatedAdministrator(bool* pfElevatedAdministrator)
{
    *pfElevatedAdministrator = false;
    CKernelHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put()))
    {
        return GetLastError();
    }
    TOKEN_ELEVATION elevation = {};
    DWORD cbReturned = 0;
    if (!GetTokenInformation(token.Get(), TokenElevation, &elevation, sizeof(elevation), &cbReturned))
    {
        return GetLastError();
    }
    TOKEN_ELEVATION_TYPE elevationType = TokenElevationTypeDefault;
    if (!GetTokenInformation(token.Get(), TokenElevationType, &elevationType, sizeof(elevationType), &cbReturned))
    {
        return GetLastError();
    }

    BYTE rgbAdministrators[SECURITY_MAX_SID_SIZE] = {};
    DWORD cbAdministrators = sizeof(rgbAdministrators);
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, rgbAdministrators, &cbAdministrators))
    {
        return GetLastError();
    }
    // A null token means the calling thread's effective token; in a limited token the
    // group is there for deny only, and the answer is no.
    BOOL fMember = FALSE;
    if (!CheckTokenMembership(nullptr, rgbAdministrators, &fMember))
    {
        return GetLastError();
    }
    *pfElevatedAdministrator =
        elevation.TokenIsElevated != 0 && elevationType != TokenElevationTypeLimited && fMember != FALSE;
    return ERROR_SUCCESS;
}
