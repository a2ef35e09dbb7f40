#include "AssociationPin.h"

#include <strsafe.h>

namespace
{
    constexpr size_t PIN_MESSAGE_CHARS = 512;

    const wchar_t ALWAYS_UV_TEXT[] = L"This key requires its PIN for every use; it cannot be used for logon";
    const wchar_t BLOCKED_TEXT[] =
        L"The key's PIN is blocked; nothing was changed. The key must be reset, which deletes every credential on it, "
        L"and then associated again";

    template <typename... Args>
    void TraceLine(wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS], const wchar_t* pszFormat, Args... args)
    {
        StringCchPrintfW(szTraceText, MANAGER_TRACE_TEXT_CHARS, pszFormat, args...);
        OutputDebugStringW(szTraceText);
    }

    bool KeyHasPin(const ASSOCIATION_PIN_WORK& work)
    {
        return work.info.state == TokenInfoState::Read && work.info.info.clientPin == CtapOption::True;
    }

    // " (N attempts left)" when the key said how many.
    void AppendRetries(wchar_t (&szText)[PIN_MESSAGE_CHARS], bool fRead, const CTAP_PIN_RETRIES& retries)
    {
        if (!fRead)
        {
            return;
        }
        wchar_t szRetries[64] = {};
        StringCchPrintfW(szRetries, ARRAYSIZE(szRetries), retries.retries == 1 ? L" (%u attempt left)" : L" (%u attempts left)",
                         retries.retries);
        StringCchCatW(szText, PIN_MESSAGE_CHARS, szRetries);
    }

    DWORD TellBlocked(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS])
    {
        TraceLine(szTraceText, L"The key's PIN is blocked\r\n");
        prompts.Show(BLOCKED_TEXT, ERROR_BOX);
        return TOKEN_FLOW_CTAP_STATUS | CTAP_STATUS_PIN_BLOCKED;
    }

    DWORD TellPowerCycle(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS], bool fRead,
                         const CTAP_PIN_RETRIES& retries)
    {
        TraceLine(szTraceText, L"The key wants to be plugged in again before another PIN\r\n");
        wchar_t szText[PIN_MESSAGE_CHARS] =
            L"Too many wrong PINs in a row; nothing was changed. Unplug the key and plug it in again before the next attempt";
        AppendRetries(szText, fRead, retries);
        prompts.Show(szText, ERROR_BOX);
        return TOKEN_FLOW_CTAP_STATUS | CTAP_STATUS_PIN_AUTH_BLOCKED;
    }
}

void ReadKeyPinState(ICtapExchange& exchange, ASSOCIATION_PIN_WORK& work)
{
    work.fRetriesRead = false;
    const uint8_t protocol = ChoosePinUvAuthProtocol(work.info.info);
    if (!KeyHasPin(work) || protocol == 0)
    {
        return;
    }
    TOKEN_PIN_RESULT result;
    ReadPinRetries(exchange, protocol, &work.retries, &result);
    work.fRetriesRead = result.outcome == TokenPinOutcome::Ok;
}

void MakeCredentialWithPin(ICtapExchange& exchange, ASSOCIATION_PIN_WORK& work, const wchar_t* pszUserName,
                           NEW_TOKEN_CREDENTIAL* pCredential)
{
    work.pin = {};
    work.pin.outcome = TokenPinOutcome::Ok;
    work.fRetriesAfter = false;
    if (!work.fPinGiven)
    {
        MakeTokenCredential(exchange, pszUserName, pCredential);
        return;
    }
    TOKEN_PIN_TOKEN token = {};
    GetPinUvAuthToken(exchange, work.info.info, work.rgbPinHash, VELKOR_RP_ID, &token, &work.pin);
    SecureZeroMemory(work.rgbPinHash, sizeof(work.rgbPinHash));
    if (work.pin.outcome == TokenPinOutcome::Ok)
    {
        MakeTokenCredential(exchange, pszUserName, pCredential, &token);
        SecureZeroMemory(&token, sizeof(token));
        return;
    }
    SecureZeroMemory(&token, sizeof(token));
    *pCredential = {};
    pCredential->outcome = TokenCredentialOutcome::Failed;
    pCredential->answerCheck = work.pin.answerCheck;
    pCredential->ctapStatus = work.pin.ctapStatus;
    switch (work.pin.outcome)
    {
    case TokenPinOutcome::WrongPin:
    case TokenPinOutcome::PowerCycleNeeded:
    {
        // How many tries are left, for the administrator's next attempt.
        TOKEN_PIN_RESULT retriesResult;
        ReadPinRetries(exchange, ChoosePinUvAuthProtocol(work.info.info), &work.retriesAfter, &retriesResult);
        work.fRetriesAfter = retriesResult.outcome == TokenPinOutcome::Ok;
        break;
    }
    case TokenPinOutcome::NoCtap2:
        pCredential->outcome = TokenCredentialOutcome::NoFidoApplet;
        break;
    case TokenPinOutcome::TimedOut:
        pCredential->outcome = TokenCredentialOutcome::TimedOut;
        break;
    default:
        pCredential->deviceResult = work.pin.deviceResult;
        pCredential->statusWord = work.pin.statusWord;
        break;
    }
}

DWORD PrepareKeyPin(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS], ASSOCIATION_PIN_WORK& work)
{
    work.fPinGiven = false;
    if (work.info.state != TokenInfoState::Read)
    {
        return ERROR_SUCCESS; // nothing known: the key's answer to makeCredential tells
    }
    const CTAP_AUTHENTICATOR_INFO& info = work.info.info;
    if (info.alwaysUv == CtapOption::True)
    {
        TraceLine(szTraceText, L"The key requires user verification for every use\r\n");
        prompts.Show(ALWAYS_UV_TEXT, ERROR_BOX);
        return TOKEN_FLOW_REFUSED;
    }
    if (!KeyHasPin(work) || info.makeCredUvNotRqd == CtapOption::True)
    {
        return ERROR_SUCCESS;
    }
    // A blocked PIN is told before anybody types one.
    if (work.fRetriesRead && work.retries.retries == 0)
    {
        return TellBlocked(prompts, szTraceText);
    }
    if (work.fRetriesRead && work.retries.fPowerCycleNeeded)
    {
        return TellPowerCycle(prompts, szTraceText, true, work.retries);
    }
    return AskKeyPin(prompts, szTraceText, work);
}

bool KeyAsksForPinAfterAll(const ASSOCIATION_PIN_WORK& work, const NEW_TOKEN_CREDENTIAL& made)
{
    return !work.fPinGiven && KeyHasPin(work) && made.outcome == TokenCredentialOutcome::Failed &&
           made.answerCheck == CtapResult::AuthenticatorStatus && made.ctapStatus == CTAP_STATUS_PIN_REQUIRED;
}

DWORD AskKeyPin(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS], ASSOCIATION_PIN_WORK& work)
{
    if (ChoosePinUvAuthProtocol(work.info.info) == 0)
    {
        TraceLine(szTraceText, L"The key offers no PIN protocol spoken here\r\n");
        prompts.Show(L"This key offers no PIN protocol this program speaks; nothing was changed", ERROR_BOX);
        return TOKEN_FLOW_PIN_NOT_SENT;
    }
    wchar_t szQuestion[PIN_MESSAGE_CHARS] = L"Type the PIN of the security key. It is needed once, to associate the key; "
                                            L"logons never ask for it";
    AppendRetries(szQuestion, work.fRetriesRead, work.retries);
    wchar_t szPin[PIN_INPUT_CHARS] = {};
    const bool fGiven = prompts.AskPin(szQuestion, szPin);
    const PinTextCheck check = fGiven ? HashPinText(szPin, work.rgbPinHash) : PinTextCheck::TooShort;
    SecureZeroMemory(szPin, sizeof(szPin));
    if (!fGiven)
    {
        TraceLine(szTraceText, L"No PIN given\r\n");
        prompts.Show(L"No PIN was given; nothing was changed", ERROR_BOX);
        return TOKEN_FLOW_PIN_NOT_GIVEN;
    }
    if (check != PinTextCheck::Ok)
    {
        TraceLine(szTraceText, L"The text given is no PIN\r\n");
        prompts.Show(L"A security key's PIN has at least 4 characters and at most 63 bytes; nothing was sent to the key",
                     ERROR_BOX);
        return TOKEN_FLOW_PIN_UNUSABLE;
    }
    work.fPinGiven = true;
    return ERROR_SUCCESS;
}

DWORD JudgeKeyPinAnswer(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS],
                        const ASSOCIATION_PIN_WORK& work)
{
    if (!work.fPinGiven)
    {
        return ERROR_SUCCESS;
    }
    wchar_t szText[PIN_MESSAGE_CHARS] = {};
    switch (work.pin.outcome)
    {
    case TokenPinOutcome::WrongPin:
        if (work.fRetriesAfter && work.retriesAfter.retries == 0)
        {
            return TellBlocked(prompts, szTraceText);
        }
        TraceLine(szTraceText, L"Wrong PIN\r\n");
        StringCchCopyW(szText, PIN_MESSAGE_CHARS, L"Wrong PIN; nothing was changed");
        AppendRetries(szText, work.fRetriesAfter, work.retriesAfter);
        prompts.Show(szText, ERROR_BOX);
        return TOKEN_FLOW_CTAP_STATUS | CTAP_STATUS_PIN_INVALID;
    case TokenPinOutcome::PowerCycleNeeded:
        return TellPowerCycle(prompts, szTraceText, work.fRetriesAfter, work.retriesAfter);
    case TokenPinOutcome::Blocked:
        return TellBlocked(prompts, szTraceText);
    case TokenPinOutcome::NotSet:
        TraceLine(szTraceText, L"The key has no PIN set\r\n");
        prompts.Show(L"The key has no PIN set although it asked for one; nothing was changed", ERROR_BOX);
        return TOKEN_FLOW_CTAP_STATUS | CTAP_STATUS_PIN_NOT_SET;
    case TokenPinOutcome::NoProtocol:
        TraceLine(szTraceText, L"The key offers no PIN protocol spoken here\r\n");
        prompts.Show(L"This key offers no PIN protocol this program speaks; nothing was changed", ERROR_BOX);
        return TOKEN_FLOW_PIN_NOT_SENT;
    case TokenPinOutcome::Failed:
        if (work.pin.answerCheck == CtapResult::Ok && work.pin.deviceResult == 0 && work.pin.statusWord == 0)
        {
            // Nothing came back from the key because nothing was sent: no key agreement.
            TraceLine(szTraceText, L"The PIN could not be protected for the key\r\n");
            prompts.Show(L"The PIN could not be protected on its way to the key (no key agreement); nothing was changed",
                         ERROR_BOX);
            return TOKEN_FLOW_PIN_NOT_SENT;
        }
        return ERROR_SUCCESS; // the key's other answers are the credential's failures
    case TokenPinOutcome::Ok:
    case TokenPinOutcome::NoCtap2:
    case TokenPinOutcome::TimedOut:
        break;
    }
    return ERROR_SUCCESS;
}
