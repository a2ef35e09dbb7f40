#include "LsaStandIn.h"
#include "ImportPatch.h"

#include <winevt.h>

namespace
{
    LsaScene g_scene;
    size_t g_nextEvent = 0;
    std::wstring g_query;
    void* g_rgOriginal[4] = {}; // OpenServiceW, QueryServiceStatusEx, CloseServiceHandle, GetProcAddress

    // Addresses that stand for the handles; nothing is ever read through them.
    char g_service, g_results, g_events[64];

    bool IsEvent(EVT_HANDLE h)
    {
        return h >= g_events && h < g_events + sizeof(g_events);
    }

    SC_HANDLE WINAPI FakeOpenService(SC_HANDLE hManager, LPCWSTR pszName, DWORD dwAccess)
    {
        if (pszName == nullptr || _wcsicmp(pszName, L"SamSs") != 0)
            return reinterpret_cast<decltype(&OpenServiceW)>(g_rgOriginal[0])(hManager, pszName, dwAccess);
        if (g_scene.serviceError != ERROR_SUCCESS)
        {
            SetLastError(g_scene.serviceError);
            return nullptr;
        }
        return reinterpret_cast<SC_HANDLE>(&g_service);
    }

    BOOL WINAPI FakeQueryStatus(SC_HANDLE h, SC_STATUS_TYPE level, LPBYTE pb, DWORD cb, LPDWORD pcbNeeded)
    {
        if (h != reinterpret_cast<SC_HANDLE>(&g_service))
            return reinterpret_cast<decltype(&QueryServiceStatusEx)>(g_rgOriginal[1])(h, level, pb, cb, pcbNeeded);
        auto* pStatus = reinterpret_cast<SERVICE_STATUS_PROCESS*>(pb);
        *pStatus = {};
        pStatus->dwCurrentState = SERVICE_RUNNING;
        pStatus->dwProcessId = GetCurrentProcessId(); // a process the test may open
        *pcbNeeded = sizeof(*pStatus);
        return TRUE;
    }

    BOOL WINAPI FakeCloseService(SC_HANDLE h)
    {
        return h == reinterpret_cast<SC_HANDLE>(&g_service)
                   ? TRUE
                   : reinterpret_cast<decltype(&CloseServiceHandle)>(g_rgOriginal[2])(h);
    }

    BOOL WINAPI FakeProcessInformation(HANDLE, PROCESS_INFORMATION_CLASS infoClass, LPVOID pInfo, DWORD cb)
    {
        if (infoClass != ProcessProtectionLevelInfo || cb != sizeof(DWORD))
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        *static_cast<DWORD*>(pInfo) = g_scene.protectionLevel;
        return TRUE;
    }

    FARPROC WINAPI FakeProcAddress(HMODULE hModule, LPCSTR pszName)
    {
        if (HIWORD(reinterpret_cast<ULONG_PTR>(pszName)) == 0 || strcmp(pszName, "GetProcessInformation") != 0)
            return reinterpret_cast<decltype(&GetProcAddress)>(g_rgOriginal[3])(hModule, pszName);
        if (!g_scene.hasGetProcessInformation)
        {
            SetLastError(ERROR_PROC_NOT_FOUND);
            return nullptr;
        }
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&FakeProcessInformation));
    }

    EVT_HANDLE WINAPI FakeQuery(EVT_HANDLE, LPCWSTR pszPath, LPCWSTR pszQuery, DWORD)
    {
        g_query = pszQuery != nullptr ? pszQuery : L"";
        if (g_scene.logError != ERROR_SUCCESS || pszPath == nullptr ||
            wcscmp(pszPath, L"Microsoft-Windows-CodeIntegrity/Operational") != 0)
        {
            SetLastError(g_scene.logError != ERROR_SUCCESS ? g_scene.logError : ERROR_EVT_CHANNEL_NOT_FOUND);
            return nullptr;
        }
        g_nextEvent = 0;
        return &g_results;
    }

    BOOL WINAPI FakeNext(EVT_HANDLE hResults, DWORD cWanted, EVT_HANDLE* rgEvents, DWORD, DWORD, PDWORD pcReturned)
    {
        *pcReturned = 0;
        while (hResults == &g_results && *pcReturned < cWanted && g_nextEvent < g_scene.events.size() &&
               g_nextEvent < sizeof(g_events))
        {
            rgEvents[(*pcReturned)++] = &g_events[g_nextEvent++];
        }
        if (*pcReturned == 0) SetLastError(ERROR_NO_MORE_ITEMS);
        return *pcReturned > 0;
    }

    BOOL WINAPI FakeRender(EVT_HANDLE, EVT_HANDLE hEvent, DWORD flags, DWORD cb, PVOID pBuffer, PDWORD pcbUsed, PDWORD pcProperties)
    {
        if (!IsEvent(hEvent) || flags != EvtRenderEventXml)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const std::wstring& xml = g_scene.events[static_cast<char*>(hEvent) - g_events];
        *pcbUsed = static_cast<DWORD>((xml.size() + 1) * sizeof(wchar_t));
        *pcProperties = 0;
        if (cb < *pcbUsed || pBuffer == nullptr)
        {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        memcpy(pBuffer, xml.c_str(), *pcbUsed);
        return TRUE;
    }

    BOOL WINAPI FakeClose(EVT_HANDLE h)
    {
        return h == &g_results || IsEvent(h);
    }
}

std::wstring CodeIntegrityEventXml(DWORD eventId, const std::wstring& file, const std::wstring& systemTime)
{
    return L"<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System><Provider "
           L"Name='Microsoft-Windows-CodeIntegrity'/><EventID>" + std::to_wstring(eventId) +
           L"</EventID><Level>2</Level><TimeCreated SystemTime='" + systemTime +
           L"'/><Channel>Microsoft-Windows-CodeIntegrity/Operational</Channel></System><EventData>"
           L"<Data Name='FileNameBuffer'>" + file + L"</Data><Data Name='ProcessNameBuffer'>"
           L"\\Device\\HarddiskVolume3\\Windows\\System32\\lsass.exe</Data><Data Name='RequestedPolicy'>8</Data>"
           L"</EventData></Event>";
}

CLsaStandIn::CLsaStandIn(const LsaScene& scene)
{
    g_scene = scene;
    g_nextEvent = 0;
    const struct { const char* dll; const char* name; void* replacement; int original; } patches[] = {
        { "advapi32.dll", "OpenServiceW", reinterpret_cast<void*>(&FakeOpenService), 0 },
        { "advapi32.dll", "QueryServiceStatusEx", reinterpret_cast<void*>(&FakeQueryStatus), 1 },
        { "advapi32.dll", "CloseServiceHandle", reinterpret_cast<void*>(&FakeCloseService), 2 },
        { "kernel32.dll", "GetProcAddress", reinterpret_cast<void*>(&FakeProcAddress), 3 },
        { "wevtapi.dll", "EvtQuery", reinterpret_cast<void*>(&FakeQuery), -1 },
        { "wevtapi.dll", "EvtNext", reinterpret_cast<void*>(&FakeNext), -1 },
        { "wevtapi.dll", "EvtRender", reinterpret_cast<void*>(&FakeRender), -1 },
        { "wevtapi.dll", "EvtClose", reinterpret_cast<void*>(&FakeClose), -1 },
    };
    for (const auto& patch : patches)
    {
        _patches.push_back(std::make_unique<CImportPatch>(patch.dll, patch.name, patch.replacement));
        if (patch.original >= 0) g_rgOriginal[patch.original] = _patches.back()->Original();
    }
}

CLsaStandIn::~CLsaStandIn()
{
    _patches.clear();
    g_scene = LsaScene();
    g_query.clear();
}

std::wstring CLsaStandIn::Query() const
{
    return g_query;
}

bool CLsaStandIn::IsActive() const
{
    for (const auto& patch : _patches)
    {
        if (!patch->IsActive()) return false;
    }
    return !_patches.empty();
}
