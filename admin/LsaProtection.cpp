#include "LsaProtection.h"
#include "AdminHandles.h"

#include <softpub.h>
#include <strsafe.h>
#include <winevt.h>
#include <wintrust.h>

#include <memory>

namespace
{
    const wchar_t LSA_SERVICE[] = L"SamSs";
    const wchar_t CODE_INTEGRITY_CHANNEL[] = L"Microsoft-Windows-CodeIntegrity/Operational";
    const wchar_t LSA_PROCESS_PART[] = L"the protection of the process that runs SamSs";
    const wchar_t LOG_PART[] = L"the Code Integrity log";

    // Refused (3033 image signing level, 3063 shared sections) and their audit-mode
    // twins (3065, 3066), only since Windows started: an older refusal says nothing now.
    const wchar_t EVENT_QUERY[] =
        L"*[System[(EventID=3033 or EventID=3063 or EventID=3065 or EventID=3066) and "
        L"TimeCreated[timediff(@SystemTime) <= %llu]]]";
    constexpr size_t EVENT_QUERY_CHARS = 192;
    constexpr DWORD EVENTS_PER_CALL = 16;
    constexpr DWORD EVENT_WAIT_MS = 5000;
    // A log that keeps more since the start is not read to its end, and says so.
    constexpr DWORD MAX_EVENTS = 4096;
    constexpr DWORD MAX_EVENT_XML_BYTES = 256 * 1024;

    using GetProcessInformationFn = BOOL(WINAPI*)(HANDLE, PROCESS_INFORMATION_CLASS, LPVOID, DWORD);

    class CEventHandle
    {
    public:
        explicit CEventHandle(EVT_HANDLE h = nullptr) : _h(h) {}
        ~CEventHandle()
        {
            if (_h != nullptr) EvtClose(_h);
        }
        CEventHandle(const CEventHandle&) = delete;
        CEventHandle& operator=(const CEventHandle&) = delete;
        EVT_HANDLE Get() const { return _h; }

    private:
        EVT_HANDLE _h;
    };

    struct HeapFreer
    {
        void operator()(void* p) const { HeapFree(GetProcessHeap(), 0, p); }
    };

    void NotChecked(LSA_PROTECTION_STATE* pState, const wchar_t* pszPart, const wchar_t* pszWhy)
    {
        if (pState->szNotChecked[0] != L'\0')
        {
            StringCchCatW(pState->szNotChecked, LSA_NOT_CHECKED_CHARS, L"; ");
        }
        wchar_t szItem[LSA_NOT_CHECKED_CHARS] = {};
        StringCchPrintfW(szItem, LSA_NOT_CHECKED_CHARS, L"%ls (%ls)", pszPart, pszWhy);
        StringCchCatW(pState->szNotChecked, LSA_NOT_CHECKED_CHARS, szItem);
    }

    void CallFailed(LSA_PROTECTION_STATE* pState, const wchar_t* pszPart, const wchar_t* pszCall, DWORD dwError)
    {
        wchar_t szWhy[96] = {};
        if (dwError == ERROR_SUCCESS)
            StringCchPrintfW(szWhy, 96, L"%ls failed without an error code", pszCall);
        else
            StringCchPrintfW(szWhy, 96, L"%ls error 0x%08lX", pszCall, dwError);
        NotChecked(pState, pszPart, szWhy);
    }

    void ReadProcessProtection(LSA_PROTECTION_STATE* pState)
    {
        CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        if (manager.Get() == nullptr)
        {
            CallFailed(pState, LSA_PROCESS_PART, L"OpenSCManager", GetLastError());
            return;
        }
        CServiceHandle service(OpenServiceW(manager.Get(), LSA_SERVICE, SERVICE_QUERY_STATUS));
        if (service.Get() == nullptr)
        {
            CallFailed(pState, LSA_PROCESS_PART, L"OpenService", GetLastError());
            return;
        }
        SERVICE_STATUS_PROCESS status = {};
        DWORD cbNeeded = 0;
        if (!QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                  sizeof(status), &cbNeeded))
        {
            CallFailed(pState, LSA_PROCESS_PART, L"QueryServiceStatusEx", GetLastError());
            return;
        }
        if (status.dwCurrentState != SERVICE_RUNNING || status.dwProcessId == 0)
        {
            NotChecked(pState, LSA_PROCESS_PART, L"SamSs is not running");
            return;
        }
        CKernelHandle process;
        *process.Put() = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, status.dwProcessId);
        if (process.Get() == nullptr)
        {
            CallFailed(pState, LSA_PROCESS_PART, L"OpenProcess", GetLastError());
            return;
        }
        // Looked up at run time: a kernel32 without it (before Windows 8, or Wine) must not
        // keep the program from starting.
        const HMODULE hKernel32 = GetModuleHandleW(L"kernel32.dll");
        const auto pfnGetProcessInformation = reinterpret_cast<GetProcessInformationFn>(
            reinterpret_cast<void*>(hKernel32 != nullptr ? GetProcAddress(hKernel32, "GetProcessInformation") : nullptr));
        if (pfnGetProcessInformation == nullptr)
        {
            NotChecked(pState, LSA_PROCESS_PART, L"GetProcessInformation is not available");
            return;
        }
        PROCESS_PROTECTION_LEVEL_INFORMATION protection = {};
        if (!pfnGetProcessInformation(process.Get(), ProcessProtectionLevelInfo, &protection, sizeof(protection)))
        {
            CallFailed(pState, LSA_PROCESS_PART, L"GetProcessInformation", GetLastError());
            return;
        }
        pState->dwProtectionLevel = protection.ProtectionLevel;
        pState->process = protection.ProtectionLevel == PROTECTION_LEVEL_NONE ? LsaProcessProtection::Unprotected
                                                                              : LsaProcessProtection::Protected;
    }

    // The event as XML; false (and the reason noted) when it cannot be rendered.
    bool RenderEvent(EVT_HANDLE hEvent, std::unique_ptr<BYTE, HeapFreer>& buffer, DWORD& cbBuffer, DWORD* pcbUsed,
                     LSA_PROTECTION_STATE* pState)
    {
        for (;;)
        {
            DWORD cProperties = 0;
            if (EvtRender(nullptr, hEvent, EvtRenderEventXml, cbBuffer, buffer.get(), pcbUsed, &cProperties))
            {
                return true;
            }
            const DWORD dwError = GetLastError();
            if (dwError != ERROR_INSUFFICIENT_BUFFER || *pcbUsed <= cbBuffer || *pcbUsed > MAX_EVENT_XML_BYTES)
            {
                CallFailed(pState, LOG_PART, L"EvtRender", dwError);
                return false;
            }
            buffer.reset(static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, *pcbUsed)));
            cbBuffer = buffer ? *pcbUsed : 0;
            if (!buffer)
            {
                CallFailed(pState, LOG_PART, L"EvtRender", ERROR_NOT_ENOUGH_MEMORY);
                return false;
            }
        }
    }

    void Record(CODE_INTEGRITY_FINDING& finding, const CODE_INTEGRITY_EVENT_FACTS& facts)
    {
        // Newest first: the first one found is the one to tell.
        if (finding.fFound)
        {
            return;
        }
        finding.fFound = true;
        finding.dwEventId = facts.eventId;
        StringCchCopyW(finding.szTime, CI_EVENT_TIME_CHARS, facts.szTime);
    }

    void ReadCodeIntegrityLog(LSA_PROTECTION_STATE* pState)
    {
        wchar_t szQuery[EVENT_QUERY_CHARS] = {};
        StringCchPrintfW(szQuery, EVENT_QUERY_CHARS, EVENT_QUERY, GetTickCount64());
        SetLastError(ERROR_SUCCESS);
        CEventHandle results(
            EvtQuery(nullptr, CODE_INTEGRITY_CHANNEL, szQuery, EvtQueryChannelPath | EvtQueryReverseDirection));
        if (results.Get() == nullptr)
        {
            CallFailed(pState, LOG_PART, L"EvtQuery", GetLastError());
            return;
        }
        std::unique_ptr<BYTE, HeapFreer> buffer;
        DWORD cbBuffer = 0;
        DWORD cEventsRead = 0;
        for (;;)
        {
            EVT_HANDLE rgEvents[EVENTS_PER_CALL] = {};
            DWORD cReturned = 0;
            if (!EvtNext(results.Get(), EVENTS_PER_CALL, rgEvents, EVENT_WAIT_MS, 0, &cReturned))
            {
                const DWORD dwError = GetLastError();
                if (dwError == ERROR_NO_MORE_ITEMS)
                {
                    pState->fLogRead = true;
                }
                else
                {
                    CallFailed(pState, LOG_PART, L"EvtNext", dwError);
                }
                return;
            }
            if (cReturned == 0)
            {
                pState->fLogRead = true;
                return;
            }
            bool fRendered = true;
            for (DWORD i = 0; i < cReturned && i < EVENTS_PER_CALL; ++i)
            {
                CEventHandle event(rgEvents[i]);
                DWORD cbUsed = 0;
                if (!fRendered || !RenderEvent(event.Get(), buffer, cbBuffer, &cbUsed, pState))
                {
                    fRendered = false;
                    continue;
                }
                const CODE_INTEGRITY_EVENT_FACTS facts =
                    ReadCodeIntegrityEvent(reinterpret_cast<const wchar_t*>(buffer.get()), cbUsed / sizeof(wchar_t));
                if (!facts.namesPackage)
                {
                    continue;
                }
                if (facts.eventId == 3033 || facts.eventId == 3063)
                    Record(pState->refused, facts);
                else if (facts.eventId == 3065 || facts.eventId == 3066)
                    Record(pState->audited, facts);
            }
            cEventsRead += cReturned;
            if (!fRendered)
            {
                return;
            }
            if (cEventsRead >= MAX_EVENTS)
            {
                NotChecked(pState, LOG_PART, L"more events since Windows started than are read; only the newest were");
                return;
            }
        }
    }

    bool ChainsToMicrosoft(const wchar_t* pszPath)
    {
        WINTRUST_FILE_INFO file = {};
        file.cbStruct = sizeof(file);
        file.pcwszFilePath = pszPath;
        WINTRUST_DATA data = {};
        data.cbStruct = sizeof(data);
        data.dwUIChoice = WTD_UI_NONE;
        data.fdwRevocationChecks = WTD_REVOKE_NONE;
        data.dwUnionChoice = WTD_CHOICE_FILE;
        data.pFile = &file;
        data.dwStateAction = WTD_STATEACTION_VERIFY;
        data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        const HWND hwndNoUser = static_cast<HWND>(INVALID_HANDLE_VALUE);
        bool fMicrosoft = false;
        if (WinVerifyTrust(hwndNoUser, &action, &data) == ERROR_SUCCESS)
        {
            CRYPT_PROVIDER_DATA* pProvider = WTHelperProvDataFromStateData(data.hWVTStateData);
            CRYPT_PROVIDER_SGNR* pSigner =
                pProvider != nullptr ? WTHelperGetProvSignerFromChain(pProvider, 0, FALSE, 0) : nullptr;
            if (pSigner != nullptr && pSigner->pChainContext != nullptr)
            {
                CERT_CHAIN_POLICY_PARA policy = {};
                policy.cbSize = sizeof(policy);
                CERT_CHAIN_POLICY_STATUS result = {};
                result.cbSize = sizeof(result);
                fMicrosoft = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_MICROSOFT_ROOT, pSigner->pChainContext,
                                                              &policy, &result) &&
                             result.dwError == ERROR_SUCCESS;
            }
        }
        data.dwStateAction = WTD_STATEACTION_CLOSE;
        WinVerifyTrust(hwndNoUser, &action, &data);
        return fMicrosoft;
    }
}

void ReadLsaProtection(const wchar_t* pszPackagePath, LSA_PROTECTION_STATE* pState)
{
    ZeroMemory(pState, sizeof(*pState));
    ReadProcessProtection(pState);
    ReadCodeIntegrityLog(pState);
    // A protected LSA loads nothing it cannot verify: without a valid Microsoft signature
    // (unsigned, signed by anyone else, or unreadable) the package counts as refused.
    pState->fMicrosoftSigned = pszPackagePath != nullptr && pszPackagePath[0] != L'\0' && ChainsToMicrosoft(pszPackagePath);
}
