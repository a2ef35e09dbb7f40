#include "TokenAssociation.h"
#include "AdminEvents.h"
#include "AssociationPin.h"
#include "CardSession.h"
#include "ConfigDirectory.h"
#include "CtapHidDevice.h"
#include "HidKeys.h"
#include "SmartCardCtap.h"
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
    // Finding the key, reading its serial number, asking whether it speaks CTAP2, and
    // recognising a key over USB by the credentials it holds.
    constexpr ULONGLONG OPEN_DEADLINE_MS = 5000;
    // The key's owner has this long to touch it while the credential is made.
    constexpr ULONGLONG CREDENTIAL_DEADLINE_MS = 30000;
    // How long past a deadline the flow waits for the card work to end on its own.
    constexpr ULONGLONG LET_GO_GRACE_MS = 500;

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

    // The card work of one flow. It runs on threads of its own, each step under its
    // deadline, while the flow waits (keeping its windows painted); a step that misses
    // its deadline keeps the work, and the work lets the key go when the key lets it go.
    struct ASSOCIATION_CARD_WORK
    {
        CCardSession* pSession = nullptr; // its deadline is the step's, for either interface
        AssociationInterface iface = AssociationInterface::Any;
        bool fProbeCtap2 = false;
        wchar_t szTraceText[MANAGER_TRACE_TEXT_CHARS] = {};
        // Opening the smart-card interface: the token reader, the connection, the serial
        // number, CTAP2.
        LONG establishStatus = SCARD_S_SUCCESS;
        int tokenCount = 0;
        LONG connectStatus = SCARD_S_SUCCESS;
        bool fSerialRead = false;
        wchar_t szSerial[SERIAL_BUFFER_CHARS] = {};
        CtapExchangeStatus ctap2 = CtapExchangeStatus::DeviceError;
        DWORD ctap2CardResult = 0;
        // The USB interface: the FIDO keys plugged in, the one worked with, and which of
        // the known credentials it holds.
        bool fHidLooked = false;
        FIDO_HID_KEY_LIST hidKeys = {};
        CCtapHidDevice* pHid = nullptr;
        CtapExchangeStatus hidOpened = CtapExchangeStatus::DeviceError;
        USER_CREDENTIAL_TOKENS known = {};
        wchar_t szHeldTokenKey[TOKEN_KEY_NAME_CHARS] = {};
        // Making the credential.
        bool fOverUsb = false;
        wchar_t szUserName[USER_NAME_COPY_CHARS] = {};
        NEW_TOKEN_CREDENTIAL credential = {};
        TOKEN_PROOF_CHALLENGE challenge = {};
        TOKEN_PROOF_RESULT proof = {};
        // The key's PIN: what the key said of it, and its hash while it waits to be sent.
        ASSOCIATION_PIN_WORK pin = {};
    };

    void DeleteCardWork(ASSOCIATION_CARD_WORK* pWork)
    {
        if (pWork != nullptr)
        {
            delete pWork->pHid;
            delete pWork->pSession;
            SecureZeroMemory(&pWork->credential, sizeof(pWork->credential));
            SecureZeroMemory(&pWork->known, sizeof(pWork->known));
            SecureZeroMemory(&pWork->pin, sizeof(pWork->pin));
            delete pWork;
        }
    }

    void AbandonCardWork(void* pWork)
    {
        DeleteCardWork(static_cast<ASSOCIATION_CARD_WORK*>(pWork));
    }

    void LetGoOfCardWork(void* pWork)
    {
        // A USB key's waits end at the deadline by themselves; PC/SC waits are cancelled.
        static_cast<ASSOCIATION_CARD_WORK*>(pWork)->pSession->LetGo();
    }

    void LookForUsbKeys(ASSOCIATION_CARD_WORK& work)
    {
        FindFidoHidKeys(&work.hidKeys, work.pSession->Deadline());
        work.fHidLooked = true;
    }

    void RunOpenToken(void* pWork)
    {
        auto* pCardWork = static_cast<ASSOCIATION_CARD_WORK*>(pWork);
        const bool fUsbAllowed = pCardWork->iface != AssociationInterface::Reader;
        if (pCardWork->iface == AssociationInterface::Usb)
        {
            LookForUsbKeys(*pCardWork);
            return;
        }
        CCardSession& session = *pCardWork->pSession;
        pCardWork->establishStatus = session.EstablishContext();
        if (pCardWork->establishStatus != SCARD_S_SUCCESS)
        {
            if (fUsbAllowed)
            {
                LookForUsbKeys(*pCardWork);
            }
            return;
        }
        const wchar_t* pszTokenReader = nullptr;
        pCardWork->tokenCount = CountTokenReaders(session.Context(), pCardWork->szTraceText, MANAGER_TRACE_TEXT_CHARS,
                                                  DebugOutputSink, nullptr, &pszTokenReader);
        if (pCardWork->tokenCount == 0 && fUsbAllowed)
        {
            LookForUsbKeys(*pCardWork);
        }
        if (pCardWork->tokenCount != 1)
        {
            return;
        }
        // A name that does not fit is not cut: the empty name then fails to connect.
        wchar_t szReaderName[READER_NAME_BUFFER_CHARS] = {};
        if (pszTokenReader != nullptr && wcsnlen(pszTokenReader, READER_NAME_BUFFER_CHARS) < READER_NAME_BUFFER_CHARS)
        {
            StringCchCopyW(szReaderName, READER_NAME_BUFFER_CHARS, pszTokenReader);
        }
        pCardWork->connectStatus = session.Connect(szReaderName, true, true);
        if (pCardWork->connectStatus != SCARD_S_SUCCESS)
        {
            return;
        }
        CSmartCardReader& reader = *session.Reader();
        // No key may ever be named after a serial that was not read.
        pCardWork->fSerialRead = ReadTokenSerial(reader, pCardWork->szSerial, SERIAL_BUFFER_CHARS) == 0;
        if (!pCardWork->fSerialRead)
        {
            pCardWork->szSerial[0] = L'\0';
            return;
        }
        if (pCardWork->fProbeCtap2)
        {
            CSmartCardCtap exchange(reader, session.Deadline());
            pCardWork->ctap2 = ProbeCtap2(exchange, &pCardWork->pin.info);
            pCardWork->ctap2CardResult = exchange.LastDeviceResult();
            if (pCardWork->ctap2 == CtapExchangeStatus::Ok)
            {
                ReadKeyPinState(exchange, pCardWork->pin);
            }
            // The same key may offer CTAP2 over USB instead.
            if (pCardWork->ctap2 == CtapExchangeStatus::NoCtap2 && fUsbAllowed)
            {
                LookForUsbKeys(*pCardWork);
            }
        }
    }

    // Opens the one USB key plugged in and finds which of the known credentials it holds:
    // it proves, silently, as at a logon (a counter that did not grow still shows it holds it).
    void RunIdentifyUsbKey(void* pWork)
    {
        auto* pCardWork = static_cast<ASSOCIATION_CARD_WORK*>(pWork);
        pCardWork->pHid = new (std::nothrow) CCtapHidDevice(pCardWork->hidKeys.rgKeys[0].szPath, pCardWork->pSession->Deadline());
        if (pCardWork->pHid == nullptr)
        {
            return;
        }
        pCardWork->hidOpened = pCardWork->pHid->Open();
        if (pCardWork->hidOpened != CtapExchangeStatus::Ok)
        {
            return;
        }
        // What the key says of its PIN, for a credential to be made on it (an association's).
        if (pCardWork->fProbeCtap2 && ReadTokenInfo(*pCardWork->pHid, &pCardWork->pin.info) == CtapExchangeStatus::Ok)
        {
            ReadKeyPinState(*pCardWork->pHid, pCardWork->pin);
        }
        if (pCardWork->known.cTokens == 0 || !DrawTokenProofChallenge(&pCardWork->challenge))
        {
            return;
        }
        for (size_t i = 0; i < pCardWork->known.cTokens; ++i)
        {
            const USER_CREDENTIAL_TOKEN& token = pCardWork->known.rgTokens[i];
            TOKEN_PROOF_RESULT result;
            ProveOnOpenExchange(*pCardWork->pHid, token.credential, pCardWork->challenge, false, &result);
            if (result.outcome == TokenProofOutcome::Proven || result.outcome == TokenProofOutcome::CounterNotIncreased)
            {
                StringCchCopyW(pCardWork->szHeldTokenKey, TOKEN_KEY_NAME_CHARS, token.szTokenKey);
                return;
            }
            if (result.outcome == TokenProofOutcome::TimedOut)
            {
                pCardWork->hidOpened = CtapExchangeStatus::TimedOut;
                return;
            }
        }
    }

    // Makes the credential, then has the key prove it at once the way every logon will:
    // a key that cannot answer silently, or whose key does not verify, is found now
    // rather than at its owner's next logon.
    void RunMakeCredential(void* pWork)
    {
        auto* pCardWork = static_cast<ASSOCIATION_CARD_WORK*>(pWork);
        const ULONGLONG ullDeadline = pCardWork->pSession->Deadline();
        NEW_TOKEN_CREDENTIAL& made = pCardWork->credential;
        made = {};
        made.outcome = TokenCredentialOutcome::Failed;
        CSmartCardCtap cardExchange(*pCardWork->pSession->Reader(), ullDeadline);
        ICtapExchange* pExchange = &cardExchange;
        CtapExchangeStatus opened = CtapExchangeStatus::Ok;
        if (pCardWork->fOverUsb)
        {
            // The channel opened to recognise the key is the one the credential is made on.
            pCardWork->pHid->SetDeadline(ullDeadline);
            pExchange = pCardWork->pHid;
        }
        else
        {
            opened = cardExchange.Open();
        }
        if (NoteCredentialExchangeFailure(opened, *pExchange, &made))
        {
            return;
        }
        MakeCredentialWithPin(*pExchange, pCardWork->pin, pCardWork->szUserName, &made);
        if (made.outcome != TokenCredentialOutcome::Made)
        {
            return;
        }
        TOKEN_CREDENTIAL stored;
        StoredCredentialOf(made, &stored);
        if (!DrawTokenProofChallenge(&pCardWork->challenge))
        {
            pCardWork->proof.outcome = TokenProofOutcome::Failed;
            StringCchCopyW(pCardWork->proof.szReason, TOKEN_PROOF_REASON_CHARS, L"no challenge");
            return;
        }
        ProveOnOpenExchange(*pExchange, stored, pCardWork->challenge, false, &pCardWork->proof);
        SecureZeroMemory(&stored, sizeof(stored));
    }

    bool WaitThroughPrompts(void* pPrompts, HANDLE hDone, DWORD dwMilliseconds)
    {
        return static_cast<IAdminPrompts*>(pPrompts)->WaitForToken(hDone, dwMilliseconds);
    }

    // Runs one step of the card work. Finished: the work is the flow's again. Otherwise it
    // is gone (the step keeps it) or never left (no thread), and *ppWork says which.
    TokenWorkOutcome RunCardStep(IAdminPrompts& prompts, ASSOCIATION_CARD_WORK*& pWork, TokenWorkFunction pfnStep)
    {
        const TOKEN_WORK_CALLS calls = { pfnStep, AbandonCardWork, LetGoOfCardWork };
        const TokenWorkOutcome outcome =
            RunTokenWork(pWork, calls, pWork->pSession->Deadline() + LET_GO_GRACE_MS, WaitThroughPrompts, &prompts);
        if (outcome == TokenWorkOutcome::TimedOut)
        {
            pWork = nullptr;
        }
        return outcome;
    }

    // The card work for the length of a flow, unless a step that missed its deadline took it.
    class CCardWork
    {
    public:
        CCardWork() = default;
        ~CCardWork() { DeleteCardWork(_pWork); }
        CCardWork(const CCardWork&) = delete;
        CCardWork& operator=(const CCardWork&) = delete;

        bool Create(ULONGLONG ullDeadline)
        {
            _pWork = new (std::nothrow) ASSOCIATION_CARD_WORK();
            if (_pWork == nullptr)
            {
                return false;
            }
            _pWork->pSession = new (std::nothrow) CCardSession(ullDeadline);
            return _pWork->pSession != nullptr;
        }
        ASSOCIATION_CARD_WORK*& Get() { return _pWork; }

    private:
        ASSOCIATION_CARD_WORK* _pWork = nullptr;
    };

    DWORD TellTimedOut(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS])
    {
        TraceLine(szTraceText, L"The token did not answer in time\r\n");
        prompts.Show(L"The token did not answer in time; nothing was changed. Unplug it, plug it in again and try again",
                     ERROR_BOX);
        return TOKEN_FLOW_TIMED_OUT;
    }

    // Where the key to work with is: one token reader (its serial read), or, without
    // one, exactly one FIDO key over USB.
    enum class PluggedKey
    {
        Reader,
        Usb,
    };

    // The steps both flows start with: one token reader, a connection, the serial number
    // (for an association, whether the token speaks CTAP2); without a token reader, the
    // FIDO keys plugged in over USB.
    DWORD OpenPluggedToken(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS], CCardWork& cardWork,
                           AssociationInterface iface, bool fProbeCtap2, const wchar_t* pszOnlyOne, PluggedKey* pKey)
    {
        if (!cardWork.Create(GetTickCount64() + OPEN_DEADLINE_MS))
        {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        ASSOCIATION_CARD_WORK*& pWork = cardWork.Get();
        pWork->iface = iface;
        pWork->fProbeCtap2 = fProbeCtap2;
        const TokenWorkOutcome outcome = RunCardStep(prompts, pWork, RunOpenToken);
        if (outcome == TokenWorkOutcome::NotStarted)
        {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        if (outcome == TokenWorkOutcome::TimedOut)
        {
            return TellTimedOut(prompts, szTraceText);
        }
        StringCchCopyW(szTraceText, MANAGER_TRACE_TEXT_CHARS, pWork->szTraceText);
        const bool fReaderFound = iface != AssociationInterface::Usb && pWork->establishStatus == SCARD_S_SUCCESS &&
                                  pWork->tokenCount != 0;
        if (!fReaderFound && pWork->fHidLooked && (pWork->hidKeys.cKeys != 0 || pWork->hidKeys.fMore))
        {
            if (pWork->hidKeys.cKeys > 1 || pWork->hidKeys.fMore)
            {
                prompts.Show(pszOnlyOne, ERROR_BOX);
                return TOKEN_FLOW_NO_SINGLE_TOKEN;
            }
            TraceLine(szTraceText, L"Security key over USB: %ls\r\n", pWork->hidKeys.rgKeys[0].szProduct);
            *pKey = PluggedKey::Usb;
            return ERROR_SUCCESS;
        }
        if (iface != AssociationInterface::Usb && pWork->establishStatus != SCARD_S_SUCCESS)
        {
            return static_cast<DWORD>(pWork->establishStatus);
        }
        if (pWork->tokenCount == 0)
        {
            prompts.Show(L"No token detected", ERROR_BOX);
            return TOKEN_FLOW_NO_SINGLE_TOKEN;
        }
        if (pWork->tokenCount > 1)
        {
            prompts.Show(L"More than one token detected", ERROR_BOX);
            return TOKEN_FLOW_NO_SINGLE_TOKEN;
        }
        if (pWork->connectStatus != SCARD_S_SUCCESS)
        {
            TraceLine(szTraceText, L"Connect failed: %X\r\n", static_cast<unsigned int>(pWork->connectStatus));
            return TOKEN_FLOW_CONNECT_FAILED;
        }
        if (!pWork->fSerialRead)
        {
            if (pWork->pSession->Reader()->lastResult == static_cast<DWORD>(SCARD_E_TIMEOUT))
            {
                return TellTimedOut(prompts, szTraceText);
            }
            prompts.Show(L"Could not read the token serial number", ERROR_BOX);
            return TOKEN_FLOW_UNUSABLE_INPUT;
        }
        TraceLine(szTraceText, L"Serial number: %ls\r\n", pWork->szSerial);
        *pKey = PluggedKey::Reader;
        return ERROR_SUCCESS;
    }

    // Recognises the USB key among the credentials the configuration knows (pszUserName:
    // that account's; null: every account's). *pszHeld is empty when it holds none of them.
    DWORD IdentifyUsbKey(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS], CCardWork& cardWork,
                         const wchar_t* pszUserName, wchar_t (&szHeld)[TOKEN_KEY_NAME_CHARS])
    {
        szHeld[0] = L'\0';
        ASSOCIATION_CARD_WORK*& pWork = cardWork.Get();
        const LONG findStatus = FindUserCredentialTokens(pszUserName, &pWork->known);
        if (findStatus != ERROR_SUCCESS)
        {
            return static_cast<DWORD>(findStatus);
        }
        pWork->pSession->ExtendDeadline(GetTickCount64() + OPEN_DEADLINE_MS);
        const TokenWorkOutcome outcome = RunCardStep(prompts, pWork, RunIdentifyUsbKey);
        if (outcome == TokenWorkOutcome::NotStarted)
        {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        if (outcome == TokenWorkOutcome::TimedOut || pWork->hidOpened == CtapExchangeStatus::TimedOut)
        {
            return TellTimedOut(prompts, szTraceText);
        }
        SecureZeroMemory(&pWork->known, sizeof(pWork->known));
        if (pWork->pHid == nullptr)
        {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        if (pWork->hidOpened == CtapExchangeStatus::NoCtap2)
        {
            prompts.Show(L"This security key does not offer FIDO2; it cannot be used for logon", ERROR_BOX);
            return TOKEN_FLOW_REFUSED;
        }
        if (pWork->hidOpened != CtapExchangeStatus::Ok)
        {
            TraceLine(szTraceText, L"Security key not opened: 0x%08X\r\n", static_cast<unsigned int>(pWork->pHid->LastDeviceResult()));
            prompts.Show(L"Communication with the token failed; nothing was changed. Try again", ERROR_BOX);
            return pWork->pHid->LastDeviceResult() != 0 ? pWork->pHid->LastDeviceResult() : TOKEN_FLOW_BAD_ANSWER;
        }
        StringCchCopyW(szHeld, TOKEN_KEY_NAME_CHARS, pWork->szHeldTokenKey);
        return ERROR_SUCCESS;
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
        if (credential.deviceResult != 0)
        {
            TraceLine(szTraceText, L"Credential not made: 0x%08X\r\n", static_cast<unsigned int>(credential.deviceResult));
            return credential.deviceResult;
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

    // Makes the key's credential for the account (its owner touching the key if it asks
    // for a touch) and has it proven; *pCredential is then what the token key will hold.
    DWORD MakeCredential(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS], CCardWork& cardWork,
                         const wchar_t* pszUserName, bool fOverUsb, TOKEN_CREDENTIAL* pCredential)
    {
        ASSOCIATION_CARD_WORK*& pWork = cardWork.Get();
        if (StringCchCopyW(pWork->szUserName, USER_NAME_COPY_CHARS, pszUserName) != S_OK)
        {
            return TOKEN_FLOW_UNUSABLE_INPUT;
        }
        pWork->fOverUsb = fOverUsb;
        // The key's PIN, where it needs one, is asked for here, between card steps.
        DWORD result = PrepareKeyPin(prompts, szTraceText, pWork->pin);
        if (result != ERROR_SUCCESS)
        {
            return result;
        }
        for (bool fAskedAfterRefusal = false;; fAskedAfterRefusal = true)
        {
            pWork->pSession->ExtendDeadline(GetTickCount64() + CREDENTIAL_DEADLINE_MS);
            prompts.ShowProgress(L"Touch the key now");
            const TokenWorkOutcome outcome = RunCardStep(prompts, pWork, RunMakeCredential);
            prompts.ShowProgress(nullptr);
            if (outcome == TokenWorkOutcome::TimedOut)
            {
                TraceLine(szTraceText, L"Credential not made: the key did not answer in time\r\n");
                return TOKEN_FLOW_TIMED_OUT;
            }
            if (outcome == TokenWorkOutcome::NotStarted)
            {
                return ERROR_NOT_ENOUGH_MEMORY;
            }
            if (fAskedAfterRefusal || !KeyAsksForPinAfterAll(pWork->pin, pWork->credential))
            {
                break;
            }
            result = AskKeyPin(prompts, szTraceText, pWork->pin);
            if (result != ERROR_SUCCESS)
            {
                return result;
            }
        }
        result = JudgeKeyPinAnswer(prompts, szTraceText, pWork->pin);
        if (result == ERROR_SUCCESS)
        {
            result = CredentialFailure(pWork->credential, szTraceText);
        }
        if (result == ERROR_SUCCESS)
        {
            result = ProofFailure(pWork->proof, szTraceText);
        }
        if (result != ERROR_SUCCESS)
        {
            return result;
        }
        StoredCredentialOf(pWork->credential, pCredential);
        // The count the first proof presented, so the next logon must present a higher one.
        pCredential->signCount = pWork->proof.presentedCount;
        return ERROR_SUCCESS;
    }

    // Whether the token may be associated by its serial, with a credential, or not at all.
    // Only the token's own answer that it has no CTAP2 here leads to the serial alone: a
    // card error or a deadline must never weaken what is stored.
    DWORD JudgeCtap2(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS],
                     const ASSOCIATION_CARD_WORK& work, bool* pfOffersFido)
    {
        *pfOffersFido = false;
        switch (work.ctap2)
        {
        case CtapExchangeStatus::Ok:
            *pfOffersFido = true;
            return ERROR_SUCCESS;
        case CtapExchangeStatus::NoCtap2:
            return ERROR_SUCCESS;
        case CtapExchangeStatus::TimedOut:
            return TellTimedOut(prompts, szTraceText);
        case CtapExchangeStatus::DeviceError:
        case CtapExchangeStatus::AnswerTooLong:
        case CtapExchangeStatus::MalformedAnswer:
            break;
        }
        TraceLine(szTraceText, L"FIDO2 check failed: 0x%08X\r\n", static_cast<unsigned int>(work.ctap2CardResult));
        prompts.Show(L"Communication with the token failed; nothing was changed. Try again", ERROR_BOX);
        return work.ctap2CardResult != 0 ? work.ctap2CardResult : TOKEN_FLOW_BAD_ANSWER;
    }

    DWORD RefuseRegistered(IAdminPrompts& prompts)
    {
        OutputDebugStringW(L"Token already registered");
        prompts.Show(L"Token already registered", ERROR_BOX);
        return TOKEN_FLOW_REFUSED;
    }

    // Writes the token key (credential and name first, the user last) and reports it.
    DWORD RecordToken(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS], const wchar_t* pszTokenKey,
                      const wchar_t* pszUserName, const TOKEN_REGISTRATION_VALUES& values)
    {
        const bool fValues = values.pCredential != nullptr || (values.pszName != nullptr && values.pszName[0] != L'\0');
        const RegisterTokenResult registered =
            RegisterToken(pszTokenKey, pszUserName, fValues ? WriteTokenRegistrationValues : nullptr,
                          const_cast<TOKEN_REGISTRATION_VALUES*>(&values));
        if (registered.alreadyRegistered)
        {
            return RefuseRegistered(prompts);
        }
        int registryStep = 0;
        switch (registered.failedStep)
        {
        case RegisterTokenStep::None:
            if (registered.status != ERROR_SUCCESS)
            {
                return static_cast<DWORD>(registered.status);
            }
            if (values.pCredential == nullptr)
            {
                prompts.Show(L"This token cannot prove possession; it is associated by its serial number only", INFORMATION_BOX);
            }
            ReportTokenAssociated(pszTokenKey, pszUserName);
            prompts.TokenRecorded(pszTokenKey);
            return ERROR_SUCCESS;
        case RegisterTokenStep::ConvertUserName:
            return RefuseUserName(prompts, registered.status);
        case RegisterTokenStep::CreateTokenKey:
            registryStep = 307;
            break;
        case RegisterTokenStep::WriteValues:
            registryStep = 345;
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

    // Opens the USB key; a key that already holds one of the credentials stored here,
    // whoever it belongs to, is registered and refused.
    DWORD RefuseKnownUsbKey(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS], CCardWork& cardWork)
    {
        wchar_t szHeld[TOKEN_KEY_NAME_CHARS] = {};
        const DWORD identified = IdentifyUsbKey(prompts, szTraceText, cardWork, nullptr, szHeld);
        if (identified != ERROR_SUCCESS)
        {
            return identified;
        }
        if (szHeld[0] != L'\0')
        {
            TraceLine(szTraceText, L"The key holds the credential of %ls\r\n", szHeld);
            return RefuseRegistered(prompts);
        }
        return ERROR_SUCCESS;
    }

    // A key over USB alone: known by the credential made for it, under tokens\fido-<id>.
    DWORD AssociateUsbKey(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS], CCardWork& cardWork,
                          const wchar_t* pszUserName)
    {
        const DWORD known = RefuseKnownUsbKey(prompts, szTraceText, cardWork);
        if (known != ERROR_SUCCESS)
        {
            return known;
        }
        TOKEN_CREDENTIAL credential = {};
        DWORD result = MakeCredential(prompts, szTraceText, cardWork, pszUserName, true, &credential);
        wchar_t szTokenKey[TOKEN_KEY_NAME_CHARS] = {};
        if (result == ERROR_SUCCESS && !MakeFidoTokenKeyName(credential.rgbCredentialId, credential.cbCredentialId, szTokenKey))
        {
            result = ERROR_INTERNAL_ERROR;
        }
        if (result == ERROR_SUCCESS)
        {
            TraceLine(szTraceText, L"Security key: %ls\r\n", szTokenKey);
            const TOKEN_REGISTRATION_VALUES values = { &credential, cardWork.Get()->hidKeys.rgKeys[0].szProduct };
            result = RecordToken(prompts, szTraceText, szTokenKey, pszUserName, values);
        }
        SecureZeroMemory(&credential, sizeof(credential));
        return result;
    }
}

DWORD AssociateToken(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS], const wchar_t* pszUserName,
                     AssociationInterface iface)
{
    char szAnsiUser[TOKEN_USER_BUFFER_SIZE];
    int cchAnsiUser = 0;
    CCardWork cardWork;
    PluggedKey plugged = PluggedKey::Reader;
    const DWORD openResult =
        OpenPluggedToken(prompts, szTraceText, cardWork, iface, true, L"Plug in only the key to associate", &plugged);
    if (openResult != ERROR_SUCCESS)
    {
        return openResult;
    }
    const LONG conversionStatus = UserNameToAnsi(pszUserName, szAnsiUser, &cchAnsiUser);
    if (plugged == PluggedKey::Usb)
    {
        if (conversionStatus != ERROR_SUCCESS)
        {
            return RefuseUserName(prompts, conversionStatus);
        }
        return AssociateUsbKey(prompts, szTraceText, cardWork, pszUserName);
    }

    wchar_t szSerial[SERIAL_BUFFER_CHARS] = {};
    StringCchCopyW(szSerial, SERIAL_BUFFER_CHARS, cardWork.Get()->szSerial);
    bool fOffersFido = false;
    const DWORD ctap2Result = JudgeCtap2(prompts, szTraceText, *cardWork.Get(), &fOffersFido);
    if (ctap2Result != ERROR_SUCCESS)
    {
        return ctap2Result;
    }
    // Without CTAP2 on its smart-card interface, the same key may make its credential over
    // USB: exactly one FIDO key plugged in there is taken to be it.
    const ASSOCIATION_CARD_WORK& work = *cardWork.Get();
    const bool fOverUsb = !fOffersFido && work.fHidLooked && work.hidKeys.cKeys == 1 && !work.hidKeys.fMore;
    // Asked before anything is written: a token that cannot prove possession may be
    // refused outright.
    if (!fOffersFido && !fOverUsb && IsProofRequired())
    {
        OutputDebugStringW(L"Token cannot prove possession and proof is required");
        prompts.Show(L"This token cannot prove possession and proof is required", ERROR_BOX);
        return TOKEN_FLOW_REFUSED;
    }
    if (conversionStatus != ERROR_SUCCESS)
    {
        return RefuseUserName(prompts, conversionStatus);
    }
    // Told before the key is touched; the registration below decides for good.
    bool fRegistered = false;
    if (TokenKeyExists(szSerial, &fRegistered) == ERROR_SUCCESS && fRegistered)
    {
        return RefuseRegistered(prompts);
    }

    TOKEN_CREDENTIAL credential = {};
    if (fOverUsb)
    {
        const DWORD known = RefuseKnownUsbKey(prompts, szTraceText, cardWork);
        if (known != ERROR_SUCCESS)
        {
            return known;
        }
    }
    if (fOffersFido || fOverUsb)
    {
        const DWORD madeResult = MakeCredential(prompts, szTraceText, cardWork, pszUserName, fOverUsb, &credential);
        if (madeResult != ERROR_SUCCESS)
        {
            SecureZeroMemory(&credential, sizeof(credential));
            return madeResult;
        }
    }
    // The credential is written before the user: nothing ever passes on the serial alone
    // for a key that must prove.
    const TOKEN_REGISTRATION_VALUES values = { fOffersFido || fOverUsb ? &credential : nullptr, nullptr };
    const DWORD result = RecordToken(prompts, szTraceText, szSerial, pszUserName, values);
    SecureZeroMemory(&credential, sizeof(credential));
    return result;
}

DWORD DissociateToken(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS], const wchar_t* pszUserName,
                      AssociationInterface iface)
{
    CCardWork cardWork;
    PluggedKey plugged = PluggedKey::Reader;
    const DWORD readResult =
        OpenPluggedToken(prompts, szTraceText, cardWork, iface, false, L"Plug in only the key to dissociate", &plugged);
    if (readResult != ERROR_SUCCESS)
    {
        return readResult;
    }
    wchar_t szTokenKey[TOKEN_KEY_NAME_CHARS] = {};
    if (plugged == PluggedKey::Usb)
    {
        // A USB key is the account's when it holds one of the account's credentials.
        const DWORD identified = IdentifyUsbKey(prompts, szTraceText, cardWork, pszUserName, szTokenKey);
        if (identified != ERROR_SUCCESS)
        {
            return identified;
        }
        if (szTokenKey[0] == L'\0')
        {
            OutputDebugStringW(L"Token is not mapped to current user");
            prompts.Show(L"Token is not mapped to current user: this key holds none of the account's credentials", ERROR_BOX);
            return TOKEN_FLOW_REFUSED;
        }
    }
    else
    {
        StringCchCopyW(szTokenKey, TOKEN_KEY_NAME_CHARS, cardWork.Get()->szSerial);
    }
    return DissociateSerial(prompts, szTraceText, szTokenKey, pszUserName);
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
