#include "ConfigChanges.h"
#include "AdminEvents.h"
#include "ConfigStore.h"
#include "RecoveryStore.h"

LONG ChangeComputerSwitch(bool fEnabled)
{
    const LONG status = SetAuthEnabled(fEnabled);
    if (status == ERROR_SUCCESS)
    {
        ReportComputerSwitched(fEnabled);
    }
    return status;
}

LONG ChangeUserSwitch(const wchar_t* pszUserName, bool fEnabled)
{
    const LONG status = SetUserEnabled(pszUserName, fEnabled);
    if (status == ERROR_SUCCESS)
    {
        ReportUserSwitched(pszUserName, fEnabled);
    }
    return status;
}

LONG GenerateAccountRecoveryCode(const wchar_t* pszUserName, wchar_t* pszCode, size_t cchCode)
{
    LONG status = CreateUserKey(pszUserName, nullptr);
    if (status != ERROR_SUCCESS)
    {
        return status;
    }
    status = GenerateRecoveryCode(pszUserName, pszCode, cchCode);
    if (status == ERROR_SUCCESS)
    {
        ReportRecoveryCodeGenerated(pszUserName);
    }
    return status;
}

LONG RemoveAccountRecoveryCode(const wchar_t* pszUserName)
{
    const LONG status = RemoveRecoveryCode(pszUserName);
    if (status == ERROR_SUCCESS)
    {
        ReportRecoveryCodeRemoved(pszUserName);
    }
    return status;
}
