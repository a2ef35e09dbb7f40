#include "AccountActions.h"
#include "ConfigChanges.h"
#include "ConfigDirectory.h"
#include "RecoveryStore.h"
#include "StatusWords.h"

#include <strsafe.h>

namespace
{
    constexpr size_t RESULT_TEXT_CHARS = 512;
    constexpr size_t RECOVERY_CODE_BUFFER_CHARS = 256;

    // "Error 0x%X adding token" as it always read, and what the code means after it.
    void ShowResultCode(IAdminPrompts& prompts, const wchar_t* pszFormat, DWORD result)
    {
        wchar_t szText[RESULT_TEXT_CHARS] = {};
        StringCchPrintfW(szText, RESULT_TEXT_CHARS, pszFormat, static_cast<unsigned int>(result));
        wchar_t szWords[STATUS_WORDS_CHARS] = {};
        FormatStatusWords(result, szWords);
        StringCchCatW(szText, RESULT_TEXT_CHARS, L": ");
        StringCchCatW(szText, RESULT_TEXT_CHARS, szWords);
        prompts.Show(szText, ERROR_BOX);
    }
}

DWORD AssociateTokenWithAccount(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS],
                                const wchar_t* pszUserName, AssociationInterface iface)
{
    const DWORD result = AssociateToken(prompts, szTraceText, pszUserName, iface);
    if (result != ERROR_SUCCESS)
    {
        ShowResultCode(prompts, L"Error 0x%X adding token", result);
        return result;
    }

    ChangeUserSwitch(pszUserName, true);
    prompts.UserSwitchChanged();
    prompts.TokenAdded(pszUserName);

    const wchar_t* pszQuestion = HasRecoveryCode(pszUserName)
                                     ? L"Do you want to regenerate recovery code and replace existing code?"
                                     : L"Do you want to generate recovery code?";
    if (prompts.Show(pszQuestion, QUESTION_BOX) != IDYES)
    {
        return ERROR_SUCCESS;
    }
    wchar_t szCode[RECOVERY_CODE_BUFFER_CHARS] = {};
    if (GenerateAccountRecoveryCode(pszUserName, szCode, RECOVERY_CODE_BUFFER_CHARS) == ERROR_SUCCESS)
    {
        // The only place the code is ever shown.
        prompts.ShowRecoveryCode(szCode);
    }
    else
    {
        prompts.Show(L"Error generating recovery key", ERROR_BOX);
    }
    SecureZeroMemory(szCode, sizeof(szCode));
    return ERROR_SUCCESS;
}

DWORD DissociateTokenFromAccount(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS],
                                 const wchar_t* pszUserName, const wchar_t* pszSerial, AssociationInterface iface)
{
    const DWORD result = pszSerial != nullptr ? DissociateSerial(prompts, szTraceText, pszSerial, pszUserName)
                                              : DissociateToken(prompts, szTraceText, pszUserName, iface);
    if (result != ERROR_SUCCESS)
    {
        ShowResultCode(prompts, L"Error 0x%X removing token", result);
        return result;
    }

    // A spare key still associated must keep working: switching the account off would
    // let its password alone in, and a later "on" would be needed to notice.
    bool fKeepsTokens = false;
    if (UserHasTokens(pszUserName, &fKeepsTokens) == ERROR_SUCCESS && fKeepsTokens)
    {
        prompts.UserSwitchChanged();
        prompts.Show(L"Token removed; the account keeps its other tokens", INFORMATION_BOX);
    }
    else
    {
        ChangeUserSwitch(pszUserName, false);
        prompts.UserSwitchChanged();
        prompts.Show(L"Token removed from user", INFORMATION_BOX);
    }

    if (!HasRecoveryCode(pszUserName))
    {
        return ERROR_SUCCESS;
    }
    if (prompts.Show(L"Do you want to remove recovery code?", QUESTION_BOX) != IDYES)
    {
        return ERROR_SUCCESS;
    }
    if (RemoveAccountRecoveryCode(pszUserName) == ERROR_SUCCESS)
    {
        prompts.Show(L"Recovery key removed", INFORMATION_BOX);
    }
    else
    {
        prompts.Show(L"Error removing recovery key", ERROR_BOX);
    }
    return ERROR_SUCCESS;
}
