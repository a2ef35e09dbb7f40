#include "TokenLogonCheck.h"
#include "ConfigStore.h"
#include "DiagnosticLog.h"
#include "HeapObject.h"
#include "LogFormat.h"
#include "SmartCardContext.h"
#include "SmartCardReader.h"
#include "TokenIdentification.h"
#include "TokenProof.h"
#include "TokenWork.h"

#include <cwchar>


namespace
{
    // The whole proof, from the FIDO SELECT to the verified signature.
    constexpr ULONGLONG PROOF_DEADLINE_MS = 5000;

    // The smart-card objects of one check. They belong to the check, unless a proof that
    // missed its deadline is still talking to the token: then they belong to the proof.
    struct TOKEN_SESSION
    {
        CSmartCardContext* pContext = nullptr;
        CSmartCardReader* pReader = nullptr;
    };

    // The reader first: it borrows the context's handle.
    void ReleaseSession(TOKEN_SESSION& session)
    {
        HeapDelete(session.pReader);
        session.pReader = nullptr;
        if (session.pContext != nullptr)
        {
            session.pContext->Release();
            HeapDelete(session.pContext);
            session.pContext = nullptr;
        }
    }

    struct PROOF_WORK
    {
        TOKEN_SESSION session;
        TOKEN_CREDENTIAL credential;
        TOKEN_PROOF_CHALLENGE challenge;
        ULONGLONG ullDeadline;
        TOKEN_PROOF_RESULT result;
    };

    void RunProof(void* pWork)
    {
        auto* pProof = static_cast<PROOF_WORK*>(pWork);
        ProveTokenPossession(*pProof->session.pReader, pProof->credential, pProof->challenge, pProof->ullDeadline,
                             &pProof->result);
    }

    void AbandonProof(void* pWork)
    {
        auto* pProof = static_cast<PROOF_WORK*>(pWork);
        ReleaseSession(pProof->session);
        SecureZeroMemory(&pProof->credential, sizeof(pProof->credential));
        HeapDelete(pProof);
    }

    void LogSink(void* pLog, const wchar_t* pszText)
    {
        static_cast<CLogonLog*>(pLog)->Write(pszText);
    }

    // The proof on a thread of its own, so that a token that stops answering cannot hold
    // the logon past the deadline.
    void SetProofFailure(TOKEN_CHECK_DETAILS* pDetails, const wchar_t* pszReason)
    {
        wcsncpy_s(pDetails->szProofFailure, pszReason, _TRUNCATE);
    }

    // A refusal of the proof: its log line, and the reason its event names.
    LONG RefuseProof(CLogonLog& log, TOKEN_CHECK_DETAILS* pDetails, const wchar_t* pszLogLine, const wchar_t* pszReason)
    {
        log.Write(pszLogLine);
        SetProofFailure(pDetails, pszReason);
        return SUBAUTH_PROOF_FAILED;
    }

    // "Token proof failed: ..." with what failed, which the event names too.
    LONG ProofFailed(CLogonLog& log, TOKEN_CHECK_DETAILS* pDetails, const wchar_t* pszReason)
    {
        log.Line(L"Token proof failed: %s\r\n", pszReason);
        SetProofFailure(pDetails, pszReason);
        return SUBAUTH_PROOF_FAILED;
    }

    LONG CheckProof(TOKEN_SESSION& session, const wchar_t* pszSerial, const TOKEN_CREDENTIAL& credential, CLogonLog& log,
                    TOKEN_CHECK_DETAILS* pDetails)
    {
        PROOF_WORK* pProof = HeapNew<PROOF_WORK>();
        if (pProof == nullptr)
        {
            return ProofFailed(log, pDetails, L"out of memory");
        }
        // The deadline is the key's: the challenge is drawn before it starts.
        if (!DrawTokenProofChallenge(&pProof->challenge))
        {
            HeapDelete(pProof);
            return ProofFailed(log, pDetails, L"no challenge");
        }
        pProof->session = session;
        pProof->credential = credential;
        pProof->ullDeadline = GetTickCount64() + PROOF_DEADLINE_MS;
        session = {};
        const TokenWorkOutcome work = RunTokenWork(pProof, RunProof, AbandonProof, pProof->ullDeadline);
        if (work == TokenWorkOutcome::TimedOut)
        {
            return RefuseProof(log, pDetails, L"Token did not answer in time\r\n", L"no answer in time");
        }
        session = pProof->session;
        const TOKEN_PROOF_RESULT result = pProof->result;
        SecureZeroMemory(&pProof->credential, sizeof(pProof->credential));
        HeapDelete(pProof);
        if (work == TokenWorkOutcome::NotStarted)
        {
            return ProofFailed(log, pDetails, L"no thread for the exchange");
        }

        switch (result.outcome)
        {
        case TokenProofOutcome::Proven:
            // Concurrent logons with this key each raise it; it never goes down.
            RaiseTokenSignCount(pszSerial, result.presentedCount);
            return 0;
        case TokenProofOutcome::NoFidoApplet:
            return RefuseProof(log, pDetails, L"Token has no FIDO2 application\r\n", L"no FIDO2 application");
        case TokenProofOutcome::CredentialNotHeld:
            return RefuseProof(log, pDetails, L"Token does not hold the credential\r\n",
                               L"the token does not hold the credential");
        case TokenProofOutcome::CounterNotIncreased:
            log.Line(L"Signature counter did not increase: stored %u, presented %u\r\n",
                     static_cast<unsigned int>(result.storedCount), static_cast<unsigned int>(result.presentedCount));
            SetProofFailure(pDetails, L"signature counter did not increase");
            return SUBAUTH_PROOF_FAILED;
        case TokenProofOutcome::TimedOut:
            return RefuseProof(log, pDetails, L"Token did not answer in time\r\n", L"no answer in time");
        case TokenProofOutcome::Failed:
            break;
        }
        return ProofFailed(log, pDetails, result.szReason);
    }

    // After the token's user has matched: a token with a credential must prove that it
    // holds it; one without passes on its serial number unless proof is required.
    LONG CheckPossession(TOKEN_SESSION& session, const wchar_t* pszSerial, CLogonLog& log, TOKEN_CHECK_DETAILS* pDetails)
    {
        TOKEN_CREDENTIAL credential;
        switch (ReadTokenCredential(pszSerial, &credential))
        {
        case TokenCredentialState::None:
            if (IsProofRequired())
            {
                return RefuseProof(log, pDetails, L"Token has no credential and proof is required\r\n",
                                   L"no credential and proof is required");
            }
            log.Write(L"Token has no credential; accepted by serial number\r\n");
            return 0;
        case TokenCredentialState::Malformed:
            return ProofFailed(log, pDetails, L"stored credential malformed");
        case TokenCredentialState::Present:
            break;
        }
        const LONG result = CheckProof(session, pszSerial, credential, log, pDetails);
        SecureZeroMemory(&credential, sizeof(credential));
        return result;
    }

    LONG CheckWithReader(TOKEN_SESSION& session, const wchar_t* pszReaderName, const wchar_t* pszUserName,
                         BOOLEAN* pAuthoritative, CLogonLog& log, TOKEN_CHECK_DETAILS* pDetails)
    {
        session.pReader = HeapNew<CSmartCardReader>(session.pContext->context, pszReaderName);
        if (session.pReader == nullptr)
        {
            return SUBAUTH_CONNECT_FAILED;
        }
        session.pReader->traceResults = log.IsEnabled();
        session.pReader->traceData = log.IsEnabled();

        if (session.pReader->Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1) != SCARD_S_SUCCESS)
        {
            log.Line(L"Connect failed: %X\r\n", static_cast<unsigned int>(session.pReader->lastResult));
            pDetails->dwStatus = session.pReader->lastResult;
            return SUBAUTH_CONNECT_FAILED;
        }
        // Concurrent logons with one token would otherwise select applets under each
        // other's feet. Without a transaction a logon may fail, never pass wrongly.
        session.pReader->BeginTransaction();
        wchar_t szSerial[64] = {};
        const int serialStatus = ReadTokenSerial(*session.pReader, szSerial, ARRAYSIZE(szSerial));
        log.Line(L"Serial number: %s\r\n", szSerial);
        if (serialStatus == 0)
        {
            wcsncpy_s(pDetails->szSerial, szSerial, _TRUNCATE);
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
        if (wcscmp(pszUserName, szTokenUser) != 0)
        {
            *pAuthoritative = FALSE;
            log.Write(L"Token is not for this user\r\n");
            return SUBAUTH_WRONG_USER;
        }
        const LONG possession = CheckPossession(session, szSerial, log, pDetails);
        if (possession != 0)
        {
            return possession;
        }
        ProbeOtpApplet(*session.pReader);
        return 0;
    }

    LONG RunCheck(TOKEN_SESSION& session, const wchar_t* pszUserName, BOOLEAN* pAuthoritative, CLogonLog& log,
                  TOKEN_CHECK_DETAILS* pDetails)
    {
        // Without the smart-card service no token can be shown, and on recent Windows the
        // service stops when the last reader goes: that must not open the door.
        CSmartCardContext& context = *session.pContext;
        const LONG establishResult = context.EstablishContext();
        if (establishResult != SCARD_S_SUCCESS)
        {
            log.Line(L"Smart card service unavailable: 0x%08X\r\n", static_cast<unsigned int>(establishResult));
            pDetails->fServiceUnavailable = true;
            pDetails->dwStatus = static_cast<DWORD>(establishResult);
            return SUBAUTH_NO_TOKEN;
        }
        if (context.ListReaders() == nullptr)
        {
            log.Write(L"No readers found\r\n");
            return SUBAUTH_NO_TOKEN;
        }
        const wchar_t* pszTokenReader = nullptr;
        wchar_t szTrace[LOG_LINE_CHARS] = {};
        const int tokenCount = CountTokenReaders(context, szTrace, LOG_LINE_CHARS, LogSink, &log, &pszTokenReader);
        if (tokenCount == 0)
        {
            return SUBAUTH_NO_TOKEN;
        }
        if (tokenCount > 1)
        {
            return SUBAUTH_MULTIPLE_TOKENS;
        }
        return CheckWithReader(session, pszTokenReader, pszUserName, pAuthoritative, log, pDetails);
    }
}

LONG CheckTokenLogon(const wchar_t* pszUserName, BOOLEAN* pAuthoritative, CLogonLog& log, TOKEN_CHECK_DETAILS* pDetails)
{
    *pDetails = {};
    LONG result = SUBAUTH_NO_TOKEN;
    TOKEN_SESSION session;
    session.pContext = HeapNew<CSmartCardContext>();
    const HRESULT hrCom = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (session.pContext != nullptr)
    {
        result = RunCheck(session, pszUserName, pAuthoritative, log, pDetails);
    }
    ReleaseSession(session);
    if (SUCCEEDED(hrCom))
    {
        CoUninitialize();
    }
    log.Line(L"returnVal 0x%08X *Authoritative %d\r\n", static_cast<unsigned int>(result), *pAuthoritative ? 1 : 0);
    return result;
}
