#include "LockoutPreflight.h"
#include "AdminHandles.h"
#include "ConfigDirectory.h"
#include "RecoveryStore.h"

#include <sddl.h>
#include <strsafe.h>
#include <taskschd.h>

#include <memory>

namespace
{
    constexpr DWORD MAX_FOLDER_DEPTH = 32;
    constexpr size_t SID_TEXT_CHARS = 192;

    // Who a service or task runs as, and whether that is the account.
    struct ACCOUNT_MATCH
    {
        const wchar_t* pszUserName;
        wchar_t szComputer[MAX_COMPUTERNAME_LENGTH + 1];
        wchar_t szSid[SID_TEXT_CHARS]; // empty when unknown
    };

    bool SameText(const wchar_t* pszA, int cchA, const wchar_t* pszB)
    {
        return CompareStringOrdinal(pszA, cchA, pszB, -1, TRUE) == CSTR_EQUAL;
    }

    bool RunsAs(const ACCOUNT_MATCH& match, const wchar_t* pszRunAs)
    {
        if (pszRunAs == nullptr || pszRunAs[0] == L'\0')
        {
            return false;
        }
        if (match.szSid[0] != L'\0' && SameText(pszRunAs, -1, match.szSid))
        {
            return true;
        }
        const wchar_t* pszSlash = wcschr(pszRunAs, L'\\');
        if (pszSlash == nullptr)
        {
            return SameText(pszRunAs, -1, match.pszUserName);
        }
        const int cchDomain = static_cast<int>(pszSlash - pszRunAs);
        const bool fLocal = SameText(pszRunAs, cchDomain, L".") || SameText(pszRunAs, cchDomain, match.szComputer);
        return fLocal && SameText(pszSlash + 1, -1, match.pszUserName);
    }

    void Warn(PreflightWarningSink pfnWarn, void* pContext, ACCOUNT_RUNS_CHECK& check, const wchar_t* pszKind,
              const wchar_t* pszName, const wchar_t* pszUserName)
    {
        wchar_t szText[PREFLIGHT_TEXT_CHARS] = {};
        StringCchPrintfW(szText, PREFLIGHT_TEXT_CHARS,
                         L"%ls %ls runs as %ls and will fail to start while its token is absent", pszKind, pszName,
                         pszUserName);
        pfnWarn(pContext, szText);
        ++check.cWarnings;
    }

    // ---- services -------------------------------------------------------------------

    struct HeapFreer
    {
        void operator()(void* p) const { HeapFree(GetProcessHeap(), 0, p); }
    };
    using HeapBuffer = std::unique_ptr<BYTE, HeapFreer>;

    HeapBuffer HeapBytes(DWORD cb)
    {
        return HeapBuffer(static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, cb)));
    }

    // The account the service's configuration names; false when it cannot be read.
    bool ServiceRunsAs(SC_HANDLE hManager, const wchar_t* pszService, const ACCOUNT_MATCH& match, DWORD* pdwStatus)
    {
        CServiceHandle service(OpenServiceW(hManager, pszService, SERVICE_QUERY_CONFIG));
        if (service.Get() == nullptr)
        {
            *pdwStatus = GetLastError();
            return false;
        }
        DWORD cbNeeded = 0;
        if (QueryServiceConfigW(service.Get(), nullptr, 0, &cbNeeded) || GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        {
            *pdwStatus = GetLastError();
            return false;
        }
        HeapBuffer config = HeapBytes(cbNeeded);
        if (!config)
        {
            *pdwStatus = ERROR_NOT_ENOUGH_MEMORY;
            return false;
        }
        auto* pConfig = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.get());
        if (!QueryServiceConfigW(service.Get(), pConfig, cbNeeded, &cbNeeded))
        {
            *pdwStatus = GetLastError();
            return false;
        }
        return RunsAs(match, pConfig->lpServiceStartName);
    }

    DWORD WarnAboutServices(const ACCOUNT_MATCH& match, PreflightWarningSink pfnWarn, void* pContext,
                            ACCOUNT_RUNS_CHECK& check)
    {
        CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_CONNECT));
        if (manager.Get() == nullptr)
        {
            return GetLastError();
        }
        DWORD dwStatus = ERROR_SUCCESS;
        DWORD dwResume = 0;
        for (;;)
        {
            DWORD cbNeeded = 0;
            DWORD cServices = 0;
            const DWORD dwResumeBefore = dwResume;
            if (EnumServicesStatusExW(manager.Get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0,
                                      &cbNeeded, &cServices, &dwResume, nullptr))
            {
                return dwStatus; // nothing (more) to list
            }
            if (GetLastError() != ERROR_MORE_DATA)
            {
                return GetLastError();
            }
            dwResume = dwResumeBefore;
            HeapBuffer buffer = HeapBytes(cbNeeded);
            if (!buffer)
            {
                return ERROR_NOT_ENOUGH_MEMORY;
            }
            const BOOL fDone = EnumServicesStatusExW(manager.Get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32,
                                                     SERVICE_STATE_ALL, buffer.get(), cbNeeded, &cbNeeded, &cServices,
                                                     &dwResume, nullptr);
            if (!fDone && GetLastError() != ERROR_MORE_DATA)
            {
                return GetLastError();
            }
            const auto* pServices = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.get());
            for (DWORD i = 0; i < cServices; ++i)
            {
                DWORD dwServiceStatus = ERROR_SUCCESS;
                if (ServiceRunsAs(manager.Get(), pServices[i].lpServiceName, match, &dwServiceStatus))
                {
                    Warn(pfnWarn, pContext, check, L"Service", pServices[i].lpServiceName, match.pszUserName);
                }
                // Gone since the list was made, or a protected system service that refuses
                // even administrators: neither runs as a local user's account.
                else if (dwServiceStatus != ERROR_SUCCESS && dwServiceStatus != ERROR_SERVICE_DOES_NOT_EXIST &&
                         dwServiceStatus != ERROR_ACCESS_DENIED)
                {
                    dwStatus = dwServiceStatus;
                }
            }
            if (fDone)
            {
                return dwStatus;
            }
        }
    }

    // ---- scheduled tasks ------------------------------------------------------------

    // An index into a Task Scheduler collection, which counts from 1.
    VARIANT CollectionIndex(LONG i)
    {
        VARIANT index;
        VariantInit(&index);
        index.vt = VT_I4;
        index.lVal = i;
        return index;
    }

    HRESULT TaskRunsAs(IRegisteredTask* pTask, const ACCOUNT_MATCH& match, bool* pfRunsAs)
    {
        *pfRunsAs = false;
        Microsoft::WRL::ComPtr<ITaskDefinition> definition;
        HRESULT hr = pTask->get_Definition(definition.ReleaseAndGetAddressOf());
        if (FAILED(hr))
        {
            return hr;
        }
        Microsoft::WRL::ComPtr<IPrincipal> principal;
        hr = definition->get_Principal(principal.ReleaseAndGetAddressOf());
        if (FAILED(hr))
        {
            return hr;
        }
        CBstr userId;
        hr = principal->get_UserId(userId.Put());
        if (FAILED(hr))
        {
            return hr;
        }
        *pfRunsAs = RunsAs(match, userId.Get());
        return S_OK;
    }

    HRESULT WarnAboutFolder(ITaskFolder* pFolder, DWORD dwDepth, const ACCOUNT_MATCH& match, PreflightWarningSink pfnWarn,
                            void* pContext, ACCOUNT_RUNS_CHECK& check)
    {
        HRESULT hrResult = S_OK;
        Microsoft::WRL::ComPtr<IRegisteredTaskCollection> tasks;
        LONG cTasks = 0;
        HRESULT hr = pFolder->GetTasks(TASK_ENUM_HIDDEN, tasks.ReleaseAndGetAddressOf());
        if (SUCCEEDED(hr))
        {
            hr = tasks->get_Count(&cTasks);
        }
        if (FAILED(hr))
        {
            hrResult = hr;
            cTasks = 0;
        }
        for (LONG i = 1; i <= cTasks; ++i)
        {
            VARIANT index = CollectionIndex(i);
            Microsoft::WRL::ComPtr<IRegisteredTask> task;
            hr = tasks->get_Item(index, task.ReleaseAndGetAddressOf());
            bool fRunsAs = false;
            if (SUCCEEDED(hr))
            {
                hr = TaskRunsAs(task.Get(), match, &fRunsAs);
            }
            CBstr path;
            if (SUCCEEDED(hr) && fRunsAs)
            {
                hr = task->get_Path(path.Put());
            }
            if (FAILED(hr))
            {
                hrResult = hr;
                continue;
            }
            if (fRunsAs)
            {
                Warn(pfnWarn, pContext, check, L"Task", path.Get() != nullptr ? path.Get() : L"?", match.pszUserName);
            }
        }

        if (dwDepth >= MAX_FOLDER_DEPTH)
        {
            return hrResult;
        }
        Microsoft::WRL::ComPtr<ITaskFolderCollection> folders;
        LONG cFolders = 0;
        hr = pFolder->GetFolders(0, folders.ReleaseAndGetAddressOf());
        if (SUCCEEDED(hr))
        {
            hr = folders->get_Count(&cFolders);
        }
        if (FAILED(hr))
        {
            return hr;
        }
        for (LONG i = 1; i <= cFolders; ++i)
        {
            VARIANT index = CollectionIndex(i);
            Microsoft::WRL::ComPtr<ITaskFolder> folder;
            hr = folders->get_Item(index, folder.ReleaseAndGetAddressOf());
            if (SUCCEEDED(hr))
            {
                hr = WarnAboutFolder(folder.Get(), dwDepth + 1, match, pfnWarn, pContext, check);
            }
            if (FAILED(hr))
            {
                hrResult = hr;
            }
        }
        return hrResult;
    }

    HRESULT WarnAboutTasks(const ACCOUNT_MATCH& match, PreflightWarningSink pfnWarn, void* pContext,
                           ACCOUNT_RUNS_CHECK& check)
    {
        // A thread that already has COM in another apartment keeps it.
        const HRESULT hrInit = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (FAILED(hrInit) && hrInit != RPC_E_CHANGED_MODE)
        {
            return hrInit;
        }
        HRESULT hr = S_OK;
        {
            Microsoft::WRL::ComPtr<ITaskService> service;
            hr = CoCreateInstance(__uuidof(TaskScheduler), nullptr, CLSCTX_INPROC_SERVER, __uuidof(ITaskService),
                                  reinterpret_cast<void**>(service.ReleaseAndGetAddressOf()));
            VARIANT empty;
            VariantInit(&empty);
            if (SUCCEEDED(hr))
            {
                hr = service->Connect(empty, empty, empty, empty);
            }
            Microsoft::WRL::ComPtr<ITaskFolder> root;
            if (SUCCEEDED(hr))
            {
                CBstr rootPath(L"\\");
                hr = rootPath.Get() != nullptr ? service->GetFolder(rootPath.Get(), root.ReleaseAndGetAddressOf()) : E_OUTOFMEMORY;
            }
            if (SUCCEEDED(hr))
            {
                hr = WarnAboutFolder(root.Get(), 0, match, pfnWarn, pContext, check);
            }
        }
        if (SUCCEEDED(hrInit))
        {
            CoUninitialize();
        }
        return hr;
    }
}

bool IsTokenAFactor(TokenCredentialState credential, bool fProofRequired)
{
    return credential == TokenCredentialState::Present ||
           (credential == TokenCredentialState::None && !fProofRequired);
}

const wchar_t* NoTokenFactorReason(bool fProofRequired)
{
    return fProofRequired ? L"requireProof is 1 and none of its tokens has a usable proof credential"
                          : L"none of its tokens has a usable proof credential";
}

namespace
{
    struct ACCOUNT_TOKEN_SEARCH
    {
        const char* pszAnsiUser;
        bool fProofRequired;
        bool fAny;
        bool fFactor;
    };

    bool VisitAccountToken(void* pContext, const wchar_t* pszSerial)
    {
        auto* pSearch = static_cast<ACCOUNT_TOKEN_SEARCH*>(pContext);
        BYTE rgbUser[TOKEN_USER_BUFFER_SIZE] = {};
        DWORD cbUser = sizeof(rgbUser);
        if (ReadTokenUser(pszSerial, rgbUser, &cbUser) != ERROR_SUCCESS ||
            !StoredTokenUserMatches(rgbUser, cbUser, pSearch->pszAnsiUser))
        {
            return true;
        }
        pSearch->fAny = true;
        TOKEN_CREDENTIAL credential;
        pSearch->fFactor = IsTokenAFactor(ReadTokenCredential(pszSerial, &credential), pSearch->fProofRequired);
        SecureZeroMemory(&credential, sizeof(credential));
        return !pSearch->fFactor;
    }
}

LONG FindAccountTokens(const wchar_t* pszUserName, bool fProofRequired, bool* pfAny, bool* pfFactor)
{
    *pfAny = false;
    *pfFactor = false;
    char szAnsiUser[TOKEN_USER_BUFFER_SIZE];
    int cchAnsiUser = 0;
    const LONG conversionStatus = UserNameToAnsi(pszUserName, szAnsiUser, &cchAnsiUser);
    if (conversionStatus != ERROR_SUCCESS)
    {
        return conversionStatus;
    }
    ACCOUNT_TOKEN_SEARCH search = { szAnsiUser, fProofRequired, false, false };
    const LONG status = EnumerateTokenKeys(VisitAccountToken, &search);
    *pfAny = search.fAny;
    *pfFactor = search.fFactor;
    return status;
}

LONG CheckAccountLockout(const wchar_t* pszUserName, ACCOUNT_LOCKOUT* pLockout)
{
    ZeroMemory(pLockout, sizeof(*pLockout));
    const bool fProofRequired = IsProofRequired();
    bool fAny = false;
    bool fFactor = false;
    const LONG status = FindAccountTokens(pszUserName, fProofRequired, &fAny, &fFactor);
    if (status != ERROR_SUCCESS)
    {
        return status;
    }
    pLockout->fHasTokens = fAny;
    pLockout->fProofRequired = fProofRequired;
    pLockout->fLockedOut = !fFactor && !HasRecoveryCode(pszUserName);
    return ERROR_SUCCESS;
}

void FormatLockoutText(const wchar_t* pszUserName, const ACCOUNT_LOCKOUT& lockout,
                       wchar_t (&szText)[PREFLIGHT_TEXT_CHARS])
{
    if (!lockout.fHasTokens)
    {
        StringCchPrintfW(szText, PREFLIGHT_TEXT_CHARS,
                         L"%ls would be locked out: associate a token or generate a recovery code first", pszUserName);
        return;
    }
    StringCchPrintfW(szText, PREFLIGHT_TEXT_CHARS,
                     L"%ls would be locked out: %ls; associate a key that proves possession or generate a recovery "
                     L"code first",
                     pszUserName, NoTokenFactorReason(lockout.fProofRequired));
}

ACCOUNT_RUNS_CHECK WarnAboutAccountRuns(const wchar_t* pszUserName, PSID pSid, PreflightWarningSink pfnWarn,
                                        void* pContext)
{
    ACCOUNT_RUNS_CHECK check = { ERROR_SUCCESS, S_OK, 0 };
    if (pszUserName == nullptr || pszUserName[0] == L'\0')
    {
        check.dwServicesStatus = ERROR_INVALID_PARAMETER;
        check.hrTasks = E_INVALIDARG;
        return check;
    }
    ACCOUNT_MATCH match = {};
    match.pszUserName = pszUserName;
    DWORD cchComputer = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(match.szComputer, &cchComputer))
    {
        match.szComputer[0] = L'\0';
    }
    wchar_t* pszSid = nullptr;
    if (pSid != nullptr && ConvertSidToStringSidW(pSid, &pszSid))
    {
        StringCchCopyW(match.szSid, SID_TEXT_CHARS, pszSid);
        LocalFree(pszSid);
    }

    check.dwServicesStatus = WarnAboutServices(match, pfnWarn, pContext, check);
    check.hrTasks = WarnAboutTasks(match, pfnWarn, pContext, check);
    return check;
}
