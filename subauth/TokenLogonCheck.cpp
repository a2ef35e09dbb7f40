#include "TokenLogonCheck.h"
#include "CardSession.h"
#include "ConfigStore.h"
#include "CtapHidDevice.h"
#include "DiagnosticLog.h"
#include "HeapObject.h"
#include "HidKeys.h"
#include "LogFormat.h"
#include "SmartCardCtap.h"
#include "TokenIdentification.h"
#include "TokenProof.h"
#include "TokenWork.h"

#include <cwchar>


namespace
{
    // The whole card session of a logon, from the connection to the last command; with a
    // touch required, its owner has to touch the key in that time.
    constexpr ULONGLONG CARD_SESSION_DEADLINE_MS = 5000;
    constexpr ULONGLONG TOUCH_SESSION_DEADLINE_MS = 30000;
    // How long past the deadline the logon waits for a session to end on its own: one
    // that checks the deadline before each command ends within it.
    constexpr ULONGLONG LET_GO_GRACE_MS = 500;
    // Sessions given up on that a token still holds (a transmission that does not
    // return). Beyond these no new session is started: a device that never lets go must
    // not pile up threads in LSA.
    constexpr LONG MAX_LINGERING_SESSIONS = 2;

    // How far a session got: what the logon is refused with when it has to give up on it.
    enum class SessionStage
    {
        Identifying, // up to the token's user: 0xFFFF0013, a communication failure
        Proving,     // the proof: 0xFFFF0017
        Decided,     // only the one-time-password probe is left: the decision stands
    };

    // What the logon keeps of a session it gives up on, taken while the session is still
    // its own to read.
    struct SESSION_SNAPSHOT
    {
        SessionStage stage;
        wchar_t szSerial[TOKEN_KEY_NAME_CHARS];
    };

    // One logon's card session. It runs on a thread of its own, so a token that stops
    // answering cannot hold the logon past the deadline; it writes the logon's lines while
    // the logon waits for it, and then belongs to whoever is left.
    struct LOGON_CARD_WORK
    {
        explicit LOGON_CARD_WORK(ULONGLONG ullDeadline, bool fLogging) : session(ullDeadline), log(fLogging, &gate) {}

        CCardSession session;
        CLogGate gate;
        CLogonLog log;
        wchar_t* pszUserName = nullptr; // the logon's name, whole, on the process heap
        TOKEN_PROOF_CHALLENGE challenge = {};
        bool fChallenge = false;
        bool fTouch = false; // every proof asks for the user's presence
        // The USB path: the account's credentials and the FIDO keys plugged in.
        USER_CREDENTIAL_TOKENS credentials = {};
        FIDO_HID_KEY_LIST hidKeys = {};

        // Written by the session while the gate is open; read by the logon after the work
        // finished, or after it closed the gate.
        SessionStage stage = SessionStage::Identifying;
        wchar_t szSerial[TOKEN_KEY_NAME_CHARS] = {};
        LONG result = SUBAUTH_CONNECT_FAILED;
        BOOLEAN authoritative = TRUE;
        TOKEN_CHECK_DETAILS details = {};
        SESSION_SNAPSHOT* pSnapshot = nullptr; // the logon's, filled when it lets go
    };

    void LogSink(void* pLog, const wchar_t* pszText)
    {
        static_cast<CLogonLog*>(pLog)->Write(pszText);
    }

    void EnterStage(LOGON_CARD_WORK& work, SessionStage stage)
    {
        if (work.gate.Enter())
        {
            work.stage = stage;
            wcsncpy_s(work.szSerial, work.details.szSerial, _TRUNCATE);
            work.gate.Leave();
        }
    }

    void SetProofFailure(TOKEN_CHECK_DETAILS& details, const wchar_t* pszReason)
    {
        wcsncpy_s(details.szProofFailure, pszReason, _TRUNCATE);
    }

    // A refusal of the proof: its log line, and the reason its event names.
    LONG RefuseProof(LOGON_CARD_WORK& work, const wchar_t* pszLogLine, const wchar_t* pszReason)
    {
        work.log.Write(pszLogLine);
        SetProofFailure(work.details, pszReason);
        return SUBAUTH_PROOF_FAILED;
    }

    // "Token proof failed: ..." with what failed, which the event names too.
    LONG ProofFailed(LOGON_CARD_WORK& work, const wchar_t* pszReason)
    {
        work.log.Line(L"Token proof failed: %s\r\n", pszReason);
        SetProofFailure(work.details, pszReason);
        return SUBAUTH_PROOF_FAILED;
    }

    // A proof's refusal: its log line and event reason, or 0 when it proved (and the
    // token key's counter was raised to what it presented).
    LONG JudgeProof(LOGON_CARD_WORK& work, const wchar_t* pszTokenKey, const TOKEN_PROOF_RESULT& result)
    {
        switch (result.outcome)
        {
        case TokenProofOutcome::Proven:
            // Concurrent logons with this key each raise it; it never goes down.
            RaiseTokenSignCount(pszTokenKey, result.presentedCount);
            return 0;
        case TokenProofOutcome::NoFidoApplet:
            return RefuseProof(work, L"Token has no FIDO2 application\r\n", L"no FIDO2 application");
        case TokenProofOutcome::CredentialNotHeld:
            return RefuseProof(work, L"Token does not hold the credential\r\n", L"the token does not hold the credential");
        case TokenProofOutcome::CounterNotIncreased:
            work.log.Line(L"Signature counter did not increase: stored %u, presented %u\r\n",
                          static_cast<unsigned int>(result.storedCount), static_cast<unsigned int>(result.presentedCount));
            SetProofFailure(work.details, L"signature counter did not increase");
            return SUBAUTH_PROOF_FAILED;
        case TokenProofOutcome::TimedOut:
            return RefuseProof(work, L"Token did not answer in time\r\n", L"no answer in time");
        case TokenProofOutcome::Failed:
            break;
        }
        return ProofFailed(work, result.szReason);
    }

    // The USB path: each FIDO key plugged in is asked for each of the credentials, one at a
    // time (a key holding none of them answers at once that it holds none). The first
    // verified assertion with a growing counter passes; a counter that did not grow refuses
    // at once; the deadline ends it all. Returns SUBAUTH_NO_TOKEN when no key is plugged in.
    LONG CheckUsbKeys(LOGON_CARD_WORK& work, const USER_CREDENTIAL_TOKENS& credentials)
    {
        FindFidoHidKeys(&work.hidKeys, work.session.Deadline());
        if (work.hidKeys.cKeys == 0)
        {
            return SUBAUTH_NO_TOKEN;
        }
        EnterStage(work, SessionStage::Proving);
        if (!work.fChallenge)
        {
            return ProofFailed(work, L"no challenge");
        }
        // What the keys that could not prove said, reported when none proves.
        TOKEN_PROOF_RESULT refusal = {};
        refusal.outcome = TokenProofOutcome::CredentialNotHeld;
        const wchar_t* pszRefusingKey = credentials.rgTokens[0].szTokenKey;
        for (size_t iKey = 0; iKey < work.hidKeys.cKeys; ++iKey)
        {
            CCtapHidDevice device(work.hidKeys.rgKeys[iKey].szPath, work.session.Deadline());
            const CtapExchangeStatus opened = device.Open();
            if (opened == CtapExchangeStatus::TimedOut)
            {
                refusal.outcome = TokenProofOutcome::TimedOut;
                break;
            }
            if (opened != CtapExchangeStatus::Ok)
            {
                continue;
            }
            for (size_t iToken = 0; iToken < credentials.cTokens; ++iToken)
            {
                const USER_CREDENTIAL_TOKEN& token = credentials.rgTokens[iToken];
                TOKEN_PROOF_RESULT result;
                ProveOnOpenExchange(device, token.credential, work.challenge, work.fTouch, &result);
                if (result.outcome == TokenProofOutcome::CredentialNotHeld)
                {
                    continue;
                }
                if (result.outcome == TokenProofOutcome::Proven || result.outcome == TokenProofOutcome::CounterNotIncreased ||
                    result.outcome == TokenProofOutcome::TimedOut)
                {
                    wcsncpy_s(work.details.szSerial, token.szTokenKey, _TRUNCATE);
                    EnterStage(work, SessionStage::Proving);
                    const LONG judged = JudgeProof(work, token.szTokenKey, result);
                    if (judged == 0)
                    {
                        work.log.Line(L"Security key %s proved possession\r\n", token.szTokenKey);
                    }
                    return judged;
                }
                // This key cannot answer for the credentials; the next one may.
                refusal = result;
                pszRefusingKey = token.szTokenKey;
                break;
            }
        }
        wcsncpy_s(work.details.szSerial, pszRefusingKey, _TRUNCATE);
        return JudgeProof(work, pszRefusingKey, refusal);
    }

    LONG CheckProof(LOGON_CARD_WORK& work, const wchar_t* pszSerial, const TOKEN_CREDENTIAL& credential)
    {
        if (!work.fChallenge)
        {
            return ProofFailed(work, L"no challenge");
        }
        TOKEN_PROOF_RESULT result;
        CSmartCardCtap exchange(*work.session.Reader(), work.session.Deadline());
        ProveTokenPossession(exchange, credential, work.challenge, work.fTouch, &result);
        if (result.outcome == TokenProofOutcome::NoFidoApplet)
        {
            // The same key may prove over its USB HID interface.
            USER_CREDENTIAL_TOKENS& only = work.credentials;
            only.cTokens = 1;
            wcsncpy_s(only.rgTokens[0].szTokenKey, pszSerial, _TRUNCATE);
            only.rgTokens[0].credential = credential;
            const LONG usb = CheckUsbKeys(work, only);
            SecureZeroMemory(&only.rgTokens[0].credential, sizeof(only.rgTokens[0].credential));
            if (usb != SUBAUTH_NO_TOKEN)
            {
                return usb;
            }
        }
        return JudgeProof(work, pszSerial, result);
    }

    // After the token's user has matched: a token with a credential must prove that it
    // holds it; one without passes on its serial number unless proof is required.
    LONG CheckPossession(LOGON_CARD_WORK& work, const wchar_t* pszSerial)
    {
        TOKEN_CREDENTIAL credential;
        switch (ReadTokenCredential(pszSerial, &credential))
        {
        case TokenCredentialState::None:
            if (IsProofRequired())
            {
                return RefuseProof(work, L"Token has no credential and proof is required\r\n",
                                   L"no credential and proof is required");
            }
            work.log.Write(L"Token has no credential; accepted by serial number\r\n");
            return 0;
        case TokenCredentialState::Malformed:
            return ProofFailed(work, L"stored credential malformed");
        case TokenCredentialState::Present:
            break;
        }
        EnterStage(work, SessionStage::Proving);
        const LONG result = CheckProof(work, pszSerial, credential);
        SecureZeroMemory(&credential, sizeof(credential));
        return result;
    }

    LONG CheckWithReader(LOGON_CARD_WORK& work, const wchar_t* pszReaderName)
    {
        CLogonLog& log = work.log;
        const LONG connectResult = work.session.Connect(pszReaderName, log.IsEnabled(), log.IsEnabled());
        if (connectResult != SCARD_S_SUCCESS)
        {
            log.Line(L"Connect failed: %X\r\n", static_cast<unsigned int>(connectResult));
            work.details.dwStatus = static_cast<DWORD>(connectResult);
            return SUBAUTH_CONNECT_FAILED;
        }
        CSmartCardReader& reader = *work.session.Reader();
        wchar_t szSerial[64] = {};
        const int serialStatus = ReadTokenSerial(reader, szSerial, ARRAYSIZE(szSerial));
        if (serialStatus != 0 && reader.lastResult == static_cast<DWORD>(SCARD_E_TIMEOUT))
        {
            log.Write(L"Token did not answer in time\r\n");
            work.details.dwStatus = reader.lastResult;
            return SUBAUTH_CONNECT_FAILED;
        }
        log.Line(L"Serial number: %s\r\n", szSerial);
        if (serialStatus == 0)
        {
            wcsncpy_s(work.details.szSerial, szSerial, _TRUNCATE);
            EnterStage(work, SessionStage::Identifying);
        }
        BYTE rgbUser[TOKEN_USER_BUFFER_SIZE] = {};
        DWORD cbUser = sizeof(rgbUser);
        // An unread serial is never looked up: it would name the tokens key itself.
        if (serialStatus != 0 || ReadTokenUser(szSerial, rgbUser, &cbUser) != ERROR_SUCCESS)
        {
            log.Write(L"No user associated with token\r\n");
            return SUBAUTH_WRONG_USER;
        }
        wchar_t szTokenUser[TOKEN_USER_BUFFER_SIZE] = {};
        AnsiValueToWide(rgbUser, cbUser, szTokenUser, ARRAYSIZE(szTokenUser));
        log.Line(L"uname from registry: %s\r\n", szTokenUser);
        if (wcscmp(work.pszUserName, szTokenUser) != 0)
        {
            work.authoritative = FALSE;
            log.Write(L"Token is not for this user\r\n");
            return SUBAUTH_WRONG_USER;
        }
        const LONG possession = CheckPossession(work, szSerial);
        if (possession != 0)
        {
            return possession;
        }
        EnterStage(work, SessionStage::Decided);
        ProbeOtpApplet(reader);
        return 0;
    }

    // No token reader: an account that owns a credential may prove with a FIDO key over
    // USB HID; one that owns none never has the USB devices looked at.
    LONG WithoutTokenReader(LOGON_CARD_WORK& work)
    {
        if (FindUserCredentialTokens(work.pszUserName, &work.credentials) != ERROR_SUCCESS || work.credentials.cTokens == 0)
        {
            return SUBAUTH_NO_TOKEN;
        }
        const LONG result = CheckUsbKeys(work, work.credentials);
        SecureZeroMemory(&work.credentials, sizeof(work.credentials));
        return result;
    }

    LONG RunCheck(LOGON_CARD_WORK& work)
    {
        // Without the smart-card service no token can be shown, and on recent Windows the
        // service stops when the last reader goes: that must not open the door.
        CLogonLog& log = work.log;
        const LONG establishResult = work.session.EstablishContext();
        if (establishResult != SCARD_S_SUCCESS)
        {
            log.Line(L"Smart card service unavailable: 0x%08X\r\n", static_cast<unsigned int>(establishResult));
            work.details.fServiceUnavailable = true;
            work.details.dwStatus = static_cast<DWORD>(establishResult);
            return WithoutTokenReader(work);
        }
        CSmartCardContext& context = work.session.Context();
        if (context.ListReaders() == nullptr)
        {
            log.Write(L"No readers found\r\n");
            return WithoutTokenReader(work);
        }
        const wchar_t* pszTokenReader = nullptr;
        wchar_t szTrace[LOG_LINE_CHARS] = {};
        const int tokenCount = CountTokenReaders(context, szTrace, LOG_LINE_CHARS, LogSink, &log, &pszTokenReader);
        if (tokenCount == 0)
        {
            return WithoutTokenReader(work);
        }
        if (tokenCount > 1)
        {
            return SUBAUTH_MULTIPLE_TOKENS;
        }
        return CheckWithReader(work, pszTokenReader);
    }

    void RunCardSession(void* pWork)
    {
        auto* pCardWork = static_cast<LOGON_CARD_WORK*>(pWork);
        pCardWork->result = RunCheck(*pCardWork);
        // The card goes back as soon as the session is done, whoever waits for it.
        pCardWork->session.Close();
    }

    void AbandonCardSession(void* pWork)
    {
        auto* pCardWork = static_cast<LOGON_CARD_WORK*>(pWork);
        SecureZeroMemory(&pCardWork->challenge, sizeof(pCardWork->challenge));
        SecureZeroMemory(&pCardWork->credentials, sizeof(pCardWork->credentials));
        if (pCardWork->pszUserName != nullptr)
        {
            HeapFree(GetProcessHeap(), 0, pCardWork->pszUserName);
        }
        HeapDelete(pCardWork);
    }

    void LetGoOfCardSession(void* pWork)
    {
        auto* pCardWork = static_cast<LOGON_CARD_WORK*>(pWork);
        pCardWork->gate.Close();
        pCardWork->pSnapshot->stage = pCardWork->stage;
        wcsncpy_s(pCardWork->pSnapshot->szSerial, pCardWork->szSerial, _TRUNCATE);
        pCardWork->session.LetGo();
    }

    // The logon's answer when it had to give up on its session.
    LONG GiveUp(const SESSION_SNAPSHOT& snapshot, CLogonLog& log, TOKEN_CHECK_DETAILS* pDetails)
    {
        wcsncpy_s(pDetails->szSerial, snapshot.szSerial, _TRUNCATE);
        switch (snapshot.stage)
        {
        case SessionStage::Decided:
            // Proven, counted; only the probe, whose answer never counted, is still out.
            return 0;
        case SessionStage::Proving:
            log.Write(L"Token did not answer in time\r\n");
            SetProofFailure(*pDetails, L"no answer in time");
            return SUBAUTH_PROOF_FAILED;
        case SessionStage::Identifying:
            break;
        }
        log.Write(L"Token did not answer in time\r\n");
        pDetails->dwStatus = static_cast<DWORD>(SCARD_E_TIMEOUT);
        return SUBAUTH_CONNECT_FAILED;
    }

    LONG RunCardSessionUnderDeadline(const wchar_t* pszUserName, BOOLEAN* pAuthoritative, CLogonLog& log,
                                     TOKEN_CHECK_DETAILS* pDetails)
    {
        if (CountLingeringTokenWork() >= MAX_LINGERING_SESSIONS)
        {
            log.Write(L"Earlier token sessions are still held by an unresponsive token\r\n");
            return SUBAUTH_CONNECT_FAILED;
        }
        // The challenge is drawn before the token's time starts: first use of CNG may be slow.
        TOKEN_PROOF_CHALLENGE challenge;
        const bool fChallenge = DrawTokenProofChallenge(&challenge);
        const bool fTouch = IsTouchRequired();
        LOGON_CARD_WORK* pWork = HeapNew<LOGON_CARD_WORK>(
            GetTickCount64() + (fTouch ? TOUCH_SESSION_DEADLINE_MS : CARD_SESSION_DEADLINE_MS), log.IsEnabled());
        if (pWork == nullptr)
        {
            log.Write(L"Token session could not be started\r\n");
            return SUBAUTH_CONNECT_FAILED;
        }
        const size_t cchUserName = wcslen(pszUserName) + 1;
        pWork->pszUserName = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, cchUserName * sizeof(wchar_t)));
        if (pWork->pszUserName == nullptr)
        {
            AbandonCardSession(pWork);
            log.Write(L"Token session could not be started\r\n");
            return SUBAUTH_CONNECT_FAILED;
        }
        memcpy(pWork->pszUserName, pszUserName, cchUserName * sizeof(wchar_t));
        pWork->challenge = challenge;
        pWork->fChallenge = fChallenge;
        pWork->fTouch = fTouch;
        SecureZeroMemory(&challenge, sizeof(challenge));
        SESSION_SNAPSHOT snapshot = {};
        pWork->pSnapshot = &snapshot;

        const TOKEN_WORK_CALLS calls = { RunCardSession, AbandonCardSession, LetGoOfCardSession };
        const TokenWorkOutcome outcome = RunTokenWork(pWork, calls, pWork->session.Deadline() + LET_GO_GRACE_MS);
        if (outcome == TokenWorkOutcome::TimedOut)
        {
            // The work is the session's now: only what was taken when letting go is read.
            return GiveUp(snapshot, log, pDetails);
        }
        LONG result = SUBAUTH_CONNECT_FAILED;
        if (outcome == TokenWorkOutcome::NotStarted)
        {
            log.Write(L"Token session could not be started\r\n");
        }
        else
        {
            result = pWork->result;
            *pDetails = pWork->details;
            if (pWork->authoritative == FALSE)
            {
                *pAuthoritative = FALSE;
            }
        }
        AbandonCardSession(pWork);
        return result;
    }
}

LONG CheckTokenLogon(const wchar_t* pszUserName, BOOLEAN* pAuthoritative, CLogonLog& log, TOKEN_CHECK_DETAILS* pDetails)
{
    *pDetails = {};
    const HRESULT hrCom = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const LONG result = RunCardSessionUnderDeadline(pszUserName, pAuthoritative, log, pDetails);
    if (SUCCEEDED(hrCom))
    {
        CoUninitialize();
    }
    log.Line(L"returnVal 0x%08X *Authoritative %d\r\n", static_cast<unsigned int>(result), *pAuthoritative ? 1 : 0);
    return result;
}
