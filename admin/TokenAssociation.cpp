#include "TokenAssociation.h"
#include "AdminEvents.h"
#include "ConfigDirectory.h"
#include "SmartCardContext.h"
#include "SmartCardReader.h"
#include "TokenIdentification.h"
#include "TokenProof.h"
#include "TokenWork.h"

#include <strsafe.h>

#include <cstring>
#include <new>

namespace
{
    constexpr size_t READER_NAME_BUFFER_CHARS = 128;
    constexpr size_t SERIAL_BUFFER_CHARS = 64;
    constexpr size_t USER_NAME_COPY_CHARS = 257;
    // The key's owner has this long to touch it while the credential is made.
    constexpr ULONGLONG CREDENTIAL_DEADLINE_MS = 30000;
    constexpr ULONGLONG FIDO_SELECT_DEADLINE_MS = 5000;

    void DebugOutputSink(void*, const wchar_t* pszText)
    {
        OutputDebugStringW(pszText);
    }

    // A trace line too long for the buffer is cut; StringCchPrintfW still terminates it.
    template <typename... Args>
    void TraceLine(wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS], const wchar_t* pszFormat, Args... args)
    {
        StringCchPrintfW(szTraceText, MANAGER_TRACE_TEXT_CHARS, pszFormat, args...);
        OutputDebugStringW(szTraceText);
    }

    // A user name is stored and compared whole or not at all.
    DWORD RefuseUserName(IAdminPrompts& prompts, LONG conversionStatus)
    {
        prompts.Show(conversionStatus == ERROR_INSUFFICIENT_BUFFER
                           ? L"User name is too long for a token association"
                           : L"User name cannot be stored in the system code page",
                       ERROR_BOX);
        return TOKEN_FLOW_UNUSABLE_INPUT;
    }

    // The plugged-in token for one action: its context, its connection and its serial
    // number. The reader is destroyed (card left in place) before the context is released.
    struct PLUGGED_TOKEN
    {
        CSmartCardContext* pContext = nullptr;
        CSmartCardReader* pReader = nullptr;
    };

    void ReleasePluggedToken(PLUGGED_TOKEN& token)
    {
        delete token.pReader;
        token.pReader = nullptr;
        delete token.pContext;
        token.pContext = nullptr;
    }

    // Owns a PLUGGED_TOKEN for the length of a flow, unless a credential exchange that
    // missed its deadline took it over.
    class CPluggedToken
    {
    public:
        CPluggedToken() = default;
        ~CPluggedToken() { ReleasePluggedToken(_token); }
        CPluggedToken(const CPluggedToken&) = delete;
        CPluggedToken& operator=(const CPluggedToken&) = delete;

        PLUGGED_TOKEN& Get() { return _token; }
        CSmartCardReader& Reader() { return *_token.pReader; }

    private:
        PLUGGED_TOKEN _token;
    };

    // The steps both flows start with: one token reader, a connection, the serial number.
    DWORD OpenPluggedToken(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS], CPluggedToken& plugged,
                           wchar_t (&szSerial)[SERIAL_BUFFER_CHARS])
    {
        PLUGGED_TOKEN& token = plugged.Get();
        token.pContext = new (std::nothrow) CSmartCardContext();
        if (token.pContext == nullptr)
        {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        wchar_t szReaderName[READER_NAME_BUFFER_CHARS] = {};
        const LONG establishStatus = token.pContext->EstablishContext();
        if (establishStatus != SCARD_S_SUCCESS)
        {
            return static_cast<DWORD>(establishStatus);
        }

        const wchar_t* pszTokenReader = nullptr;
        const int tokenCount = CountTokenReaders(*token.pContext, szTraceText, MANAGER_TRACE_TEXT_CHARS, DebugOutputSink,
                                                 nullptr, &pszTokenReader);
        if (tokenCount == 0)
        {
            prompts.Show(L"No token detected", ERROR_BOX);
            return TOKEN_FLOW_NO_SINGLE_TOKEN;
        }
        if (tokenCount > 1)
        {
            prompts.Show(L"More than one token detected", ERROR_BOX);
            return TOKEN_FLOW_NO_SINGLE_TOKEN;
        }
        // A name that does not fit is not cut: the empty name then fails to connect.
        if (pszTokenReader != nullptr && wcsnlen(pszTokenReader, READER_NAME_BUFFER_CHARS) < READER_NAME_BUFFER_CHARS)
        {
            StringCchCopyW(szReaderName, READER_NAME_BUFFER_CHARS, pszTokenReader);
        }

        token.pReader = new (std::nothrow) CSmartCardReader(token.pContext->context, szReaderName);
        if (token.pReader == nullptr)
        {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        const LONG connectStatus = token.pReader->Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
        if (connectStatus != SCARD_S_SUCCESS)
        {
            TraceLine(szTraceText, L"Connect failed: %X\r\n", static_cast<unsigned int>(connectStatus));
            return TOKEN_FLOW_CONNECT_FAILED;
        }
        // A logon at the same time must not select another applet in between.
        token.pReader->BeginTransaction();
        // No key may ever be named after a serial that was not read.
        if (ReadTokenSerial(*token.pReader, szSerial, SERIAL_BUFFER_CHARS) != 0)
        {
            szSerial[0] = L'\0';
            prompts.Show(L"Could not read the token serial number", ERROR_BOX);
            return TOKEN_FLOW_UNUSABLE_INPUT;
        }
        TraceLine(szTraceText, L"Serial number: %ls\r\n", szSerial);
        return ERROR_SUCCESS;
    }

    struct CREDENTIAL_WORK
    {
        PLUGGED_TOKEN token;
        wchar_t szUserName[USER_NAME_COPY_CHARS];
        ULONGLONG ullDeadline;
        NEW_TOKEN_CREDENTIAL credential;
        TOKEN_PROOF_CHALLENGE challenge;
        TOKEN_PROOF_RESULT proof;
    };

    // Makes the credential, then has the key prove it at once the way every logon will:
    // a key that cannot answer silently, or whose key does not verify, is found now
    // rather than at its owner's next logon.
    void RunMakeCredential(void* pWork)
    {
        auto* pCredentialWork = static_cast<CREDENTIAL_WORK*>(pWork);
        NEW_TOKEN_CREDENTIAL& made = pCredentialWork->credential;
        MakeTokenCredential(*pCredentialWork->token.pReader, pCredentialWork->szUserName, pCredentialWork->ullDeadline, &made);
        if (made.outcome != TokenCredentialOutcome::Made)
        {
            return;
        }
        TOKEN_CREDENTIAL stored = {};
        memcpy(stored.rgbCredentialId, made.rgbCredentialId, made.cbCredentialId);
        stored.cbCredentialId = made.cbCredentialId;
        memcpy(stored.rgbPublicKey, made.rgbPublicKey, sizeof(stored.rgbPublicKey));
        stored.signCount = made.signCount;
        if (!DrawTokenProofChallenge(&pCredentialWork->challenge))
        {
            pCredentialWork->proof.outcome = TokenProofOutcome::Failed;
            StringCchCopyW(pCredentialWork->proof.szReason, TOKEN_PROOF_REASON_CHARS, L"no challenge");
            return;
        }
        ProveTokenPossession(*pCredentialWork->token.pReader, stored, pCredentialWork->challenge, pCredentialWork->ullDeadline,
                             &pCredentialWork->proof);
    }

    void AbandonMakeCredential(void* pWork)
    {
        auto* pCredentialWork = static_cast<CREDENTIAL_WORK*>(pWork);
        ReleasePluggedToken(pCredentialWork->token);
        delete pCredentialWork;
    }

    bool WaitThroughPrompts(void* pPrompts, HANDLE hDone, DWORD dwMilliseconds)
    {
        return static_cast<IAdminPrompts*>(pPrompts)->WaitForToken(hDone, dwMilliseconds);
    }

    // The result a failed credential exchange is reported with.
    DWORD CredentialFailure(const NEW_TOKEN_CREDENTIAL& credential, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS])
    {
        switch (credential.outcome)
        {
        case TokenCredentialOutcome::Made:
            return ERROR_SUCCESS;
        case TokenCredentialOutcome::TimedOut:
            TraceLine(szTraceText, L"Credential not made: the key was not touched in time\r\n");
            return TOKEN_FLOW_TIMED_OUT;
        case TokenCredentialOutcome::NoFidoApplet:
            TraceLine(szTraceText, L"Credential not made: no FIDO2 application\r\n");
            return TOKEN_FLOW_BAD_ANSWER;
        case TokenCredentialOutcome::Failed:
            break;
        }
        if (credential.answerCheck == CtapResult::AuthenticatorStatus)
        {
            TraceLine(szTraceText, L"Credential not made: authenticator status 0x%02X\r\n",
                      static_cast<unsigned int>(credential.ctapStatus));
            return TOKEN_FLOW_CTAP_STATUS | credential.ctapStatus;
        }
        if (credential.cardResult != 0)
        {
            TraceLine(szTraceText, L"Credential not made: 0x%08X\r\n", static_cast<unsigned int>(credential.cardResult));
            return credential.cardResult;
        }
        if (credential.answerCheck != CtapResult::Ok)
        {
            TraceLine(szTraceText, L"Credential not made: %ls\r\n", CtapResultText(credential.answerCheck));
            return TOKEN_FLOW_BAD_ANSWER;
        }
        if (credential.statusWord != 0)
        {
            TraceLine(szTraceText, L"Credential not made: status word %04X\r\n", static_cast<unsigned int>(credential.statusWord));
            return TOKEN_FLOW_BAD_ANSWER;
        }
        TraceLine(szTraceText, L"Credential not made: nothing could be sent\r\n");
        return ERROR_INTERNAL_ERROR;
    }

    // The result a failed first proof is reported with.
    DWORD ProofFailure(const TOKEN_PROOF_RESULT& proof, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS])
    {
        switch (proof.outcome)
        {
        case TokenProofOutcome::Proven:
            return ERROR_SUCCESS;
        case TokenProofOutcome::TimedOut:
            TraceLine(szTraceText, L"Credential made, but not proven in time\r\n");
            return TOKEN_FLOW_TIMED_OUT;
        case TokenProofOutcome::NoFidoApplet:
        case TokenProofOutcome::CredentialNotHeld:
        case TokenProofOutcome::CounterNotIncreased:
            TraceLine(szTraceText, L"Credential made, but the key cannot prove it\r\n");
            return TOKEN_FLOW_BAD_ANSWER;
        case TokenProofOutcome::Failed:
            break;
        }
        TraceLine(szTraceText, L"Credential made, but the key cannot prove it: %ls\r\n", proof.szReason);
        return TOKEN_FLOW_BAD_ANSWER;
    }

    // Makes the token's credential for the account and stores it with the token key, the
    // key's owner touching it if it asks for a touch. On failure the registration is undone:
    // nothing half-written stays, and the serial is free for another try.
    DWORD MakeAndStoreCredential(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS],
                                 CPluggedToken& plugged, const wchar_t* pszSerial, const wchar_t* pszUserName,
                                 const RegisterTokenResult& registered)
    {
        CREDENTIAL_WORK* pWork = new (std::nothrow) CREDENTIAL_WORK();
        if (pWork == nullptr || StringCchCopyW(pWork->szUserName, USER_NAME_COPY_CHARS, pszUserName) != S_OK)
        {
            delete pWork;
            UndoRegisterToken(pszSerial, pszUserName, registered);
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        pWork->token = plugged.Get();
        plugged.Get() = {};
        pWork->ullDeadline = GetTickCount64() + CREDENTIAL_DEADLINE_MS;
        prompts.ShowProgress(L"Touch the key now");
        const TokenWorkOutcome work = RunTokenWork(pWork, RunMakeCredential, AbandonMakeCredential, pWork->ullDeadline,
                                                   WaitThroughPrompts, &prompts);
        prompts.ShowProgress(nullptr);
        DWORD result = TOKEN_FLOW_TIMED_OUT;
        if (work == TokenWorkOutcome::TimedOut)
        {
            TraceLine(szTraceText, L"Credential not made: the key did not answer in time\r\n");
        }
        else
        {
            plugged.Get() = pWork->token;
            result = work == TokenWorkOutcome::NotStarted ? ERROR_NOT_ENOUGH_MEMORY : CredentialFailure(pWork->credential, szTraceText);
            if (result == ERROR_SUCCESS)
            {
                result = ProofFailure(pWork->proof, szTraceText);
            }
            if (result == ERROR_SUCCESS)
            {
                const NEW_TOKEN_CREDENTIAL& made = pWork->credential;
                result = static_cast<DWORD>(WriteTokenCredential(pszSerial, made.rgbCredentialId, made.cbCredentialId,
                                                                  made.rgbPublicKey, pWork->proof.presentedCount));
                if (result != ERROR_SUCCESS)
                {
                    TraceLine(szTraceText, L"Error 0x%x updating registry %d\r\n", static_cast<unsigned int>(result), 345);
                }
            }
            delete pWork;
        }
        if (result != ERROR_SUCCESS)
        {
            UndoRegisterToken(pszSerial, pszUserName, registered);
        }
        return result;
    }
}

DWORD AssociateToken(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS], const wchar_t* pszUserName)
{
    CPluggedToken plugged;
    wchar_t szSerial[SERIAL_BUFFER_CHARS] = {};
    const DWORD readResult = OpenPluggedToken(prompts, szTraceText, plugged, szSerial);
    if (readResult != ERROR_SUCCESS)
    {
        return readResult;
    }

    // Asked before anything is written: a token that cannot prove possession may be
    // refused outright.
    const bool fOffersFido = SelectTokenFido(plugged.Reader(), GetTickCount64() + FIDO_SELECT_DEADLINE_MS) ==
                             CtapTransportStatus::Ok;
    if (!fOffersFido && IsProofRequired())
    {
        OutputDebugStringW(L"Token cannot prove possession and proof is required");
        prompts.Show(L"This token cannot prove possession and proof is required", ERROR_BOX);
        return TOKEN_FLOW_REFUSED;
    }

    const RegisterTokenResult registered = RegisterToken(szSerial, pszUserName);
    if (registered.alreadyRegistered)
    {
        OutputDebugStringW(L"Token already registered");
        prompts.Show(L"Token already registered", ERROR_BOX);
        return TOKEN_FLOW_REFUSED;
    }
    int registryStep = 0;
    switch (registered.failedStep)
    {
    case RegisterTokenStep::None:
    {
        if (registered.status != ERROR_SUCCESS)
        {
            return static_cast<DWORD>(registered.status);
        }
        DWORD result = ERROR_SUCCESS;
        if (!fOffersFido)
        {
            prompts.Show(L"This token cannot prove possession; it is associated by its serial number only", INFORMATION_BOX);
        }
        else
        {
            result = MakeAndStoreCredential(prompts, szTraceText, plugged, szSerial, pszUserName, registered);
        }
        if (result == ERROR_SUCCESS)
        {
            ReportTokenAssociated(szSerial, pszUserName);
            prompts.TokenRecorded(szSerial);
        }
        return result;
    }
    case RegisterTokenStep::ConvertUserName:
        return RefuseUserName(prompts, registered.status);
    case RegisterTokenStep::CreateTokenKey:
        registryStep = 307;
        break;
    case RegisterTokenStep::WriteUser:
        registryStep = 321;
        break;
    case RegisterTokenStep::CreateUserKey:
        registryStep = 333;
        break;
    }
    TraceLine(szTraceText, L"Error 0x%x updating registry %d\r\n", static_cast<unsigned int>(registered.status),
              registryStep);
    return static_cast<DWORD>(registered.status);
}

DWORD DissociateToken(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS], const wchar_t* pszUserName)
{
    CPluggedToken plugged;
    wchar_t szSerial[SERIAL_BUFFER_CHARS] = {};
    const DWORD readResult = OpenPluggedToken(prompts, szTraceText, plugged, szSerial);
    if (readResult != ERROR_SUCCESS)
    {
        return readResult;
    }
    return DissociateSerial(prompts, szTraceText, szSerial, pszUserName);
}

DWORD DissociateSerial(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS], const wchar_t* pszSerial,
                       const wchar_t* pszUserName)
{
    // A failed read (no key, no value, a value too long) matches nobody.
    BYTE rgbStoredUser[TOKEN_USER_BUFFER_SIZE] = {};
    DWORD cbStoredUser = sizeof(rgbStoredUser);
    const LONG readStatus = ReadTokenUser(pszSerial, rgbStoredUser, &cbStoredUser);

    char szAnsiUser[TOKEN_USER_BUFFER_SIZE];
    int cchAnsiUser = 0;
    const LONG conversionStatus = UserNameToAnsi(pszUserName, szAnsiUser, &cchAnsiUser);
    if (conversionStatus != ERROR_SUCCESS)
    {
        return RefuseUserName(prompts, conversionStatus);
    }

    if (readStatus != ERROR_SUCCESS || !StoredTokenUserMatches(rgbStoredUser, cbStoredUser, szAnsiUser))
    {
        // Whether the key is free or another account's tells the administrator what to do next.
        OutputDebugStringW(L"Token is not mapped to current user");
        prompts.Show(readStatus == ERROR_FILE_NOT_FOUND
                         ? L"Token is not mapped to current user: this key is not registered"
                         : L"Token is not mapped to current user: this key is registered to another account",
                     ERROR_BOX);
        return TOKEN_FLOW_REFUSED;
    }

    const LONG deleteStatus = UnregisterToken(pszSerial);
    if (deleteStatus != ERROR_SUCCESS)
    {
        TraceLine(szTraceText, L"Error 0x%x updating registry\r\n", static_cast<unsigned int>(deleteStatus));
        return static_cast<DWORD>(deleteStatus);
    }
    ReportTokenDissociated(pszSerial, pszUserName);
    prompts.TokenRecorded(pszSerial);
    return ERROR_SUCCESS;
}
