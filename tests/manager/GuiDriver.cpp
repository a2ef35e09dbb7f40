#include "GuiDriver.h"

#include <gtest/gtest.h>

#include <fstream>

namespace
{
    const wchar_t MAIN_CAPTION[] = L"Velkor FIDO2 Login Manager Version 1.0.0.1";
    const wchar_t BOX_CAPTION[] = L"VelkorFIDO2_GUI";
    constexpr DWORD WAIT_STEP_MS = 20;
    constexpr DWORD BOX_TIMEOUT_MS = 10000;

    struct WindowSearch
    {
        DWORD processId;
        const wchar_t* pszCaption;
        HWND found;
    };

    BOOL CALLBACK FindProcessWindow(HWND hwnd, LPARAM lParam)
    {
        auto* pSearch = reinterpret_cast<WindowSearch*>(lParam);
        DWORD processId = 0;
        GetWindowThreadProcessId(hwnd, &processId);
        if (processId != pSearch->processId || !IsWindowVisible(hwnd)) return TRUE;
        wchar_t caption[256] = {};
        GetWindowTextW(hwnd, caption, 256);
        if (wcscmp(caption, pSearch->pszCaption) != 0) return TRUE;
        pSearch->found = hwnd;
        return FALSE;
    }

    BOOL CALLBACK CollectStatic(HWND hwnd, LPARAM lParam)
    {
        wchar_t className[64] = {};
        GetClassNameW(hwnd, className, 64);
        if (_wcsicmp(className, L"Static") != 0) return TRUE;
        // An icon's text is its resource name.
        if ((GetWindowLongW(hwnd, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) return TRUE;
        wchar_t text[1024] = {};
        GetWindowTextW(hwnd, text, 1024);
        if (text[0] != L'\0') reinterpret_cast<std::vector<std::wstring>*>(lParam)->push_back(text);
        return TRUE;
    }

    bool ButtonShown(HWND hwnd, int id)
    {
        HWND hwndButton = GetDlgItem(hwnd, id);
        return hwndButton != nullptr && IsWindowVisible(hwndButton);
    }

    std::string Narrow(const std::wstring& text)
    {
        std::string narrow;
        for (wchar_t ch : text) narrow += static_cast<char>(ch);
        return narrow;
    }

    std::string Environment(const char* pszName)
    {
        char value[1024] = {};
        const DWORD length = GetEnvironmentVariableA(pszName, value, sizeof(value));
        return (length > 0 && length < sizeof(value)) ? std::string(value) : std::string();
    }

    // The width and height in a PNG's header, or 0 when the file is no PNG.
    bool ReadPngSize(const std::wstring& path, unsigned* pWidth, unsigned* pHeight)
    {
        std::ifstream file(path.c_str(), std::ios::binary);
        unsigned char header[24] = {};
        if (!file.read(reinterpret_cast<char*>(header), sizeof(header))) return false;
        if (memcmp(header, "\x89PNG\r\n\x1a\n", 8) != 0 || memcmp(header + 12, "IHDR", 4) != 0) return false;
        *pWidth = (header[16] << 24u) | (header[17] << 16u) | (header[18] << 8u) | header[19];
        *pHeight = (header[20] << 24u) | (header[21] << 16u) | (header[22] << 8u) | header[23];
        return true;
    }
}

std::wstring UnixToDosPath(const std::string& unixPath)
{
    using DosName = wchar_t*(CDECL*)(const char*);
    const auto pfnDosName = reinterpret_cast<DosName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    if (unixPath.empty() || unixPath[0] != '/' || pfnDosName == nullptr) return std::wstring(unixPath.begin(), unixPath.end());
    std::wstring dos;
    if (wchar_t* pszDos = pfnDosName(unixPath.c_str()))
    {
        dos = pszDos;
        HeapFree(GetProcessHeap(), 0, pszDos);
    }
    return dos;
}

CGuiDriver::~CGuiDriver()
{
    if (m_process.hProcess != nullptr)
    {
        if (WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT)
        {
            TerminateProcess(m_process.hProcess, 1);
            WaitForSingleObject(m_process.hProcess, 5000);
        }
        CloseHandle(m_process.hThread);
        CloseHandle(m_process.hProcess);
    }
    if (!m_scenarioPath.empty()) DeleteFileW(m_scenarioPath.c_str());
}

bool CGuiDriver::Start(const std::string& scenario)
{
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    m_scenarioPath = std::wstring(folder) + L"velkor-manager-gui-scenario.txt";
    {
        std::ofstream file(m_scenarioPath.c_str(), std::ios::binary | std::ios::trunc);
        file << scenario;
    }
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring exe = self;
    exe = exe.substr(0, exe.find_last_of(L"\\/") + 1) + L"VelkorFIDO2_GUI.exe";
    std::wstring commandLine = L"\"" + exe + L"\"";

    SetEnvironmentVariableW(L"VELKOR_VSCARD_SCENARIO", m_scenarioPath.c_str());
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    const BOOL started = CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                        &startup, &m_process);
    SetEnvironmentVariableW(L"VELKOR_VSCARD_SCENARIO", nullptr);
    if (!started)
    {
        ADD_FAILURE() << "cannot start VelkorFIDO2_GUI.exe: " << GetLastError();
        return false;
    }
    m_hwndDialog = WaitForWindow(MAIN_CAPTION, 20000);
    if (m_hwndDialog == nullptr) return false;
    Sync();
    return true;
}

int CGuiDriver::Close()
{
    PostMessageW(m_hwndDialog, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(m_process.hProcess, 10000) != WAIT_OBJECT_0) return -1;
    DWORD exitCode = 0;
    GetExitCodeProcess(m_process.hProcess, &exitCode);
    return static_cast<int>(exitCode);
}

bool CGuiDriver::Checked(int id) const
{
    DWORD_PTR result = 0;
    SendMessageTimeoutW(Item(id), BM_GETCHECK, 0, 0, SMTO_BLOCK, 5000, &result);
    return result == BST_CHECKED;
}

std::wstring CGuiDriver::Text(HWND hwnd) const
{
    wchar_t text[1024] = {};
    GetWindowTextW(hwnd, text, 1024);
    return text;
}

// Returns once the dialog's thread has handled everything sent before, or is waiting in
// a box's own message loop.
void CGuiDriver::Sync() const
{
    DWORD_PTR result = 0;
    SendMessageTimeoutW(m_hwndDialog, WM_NULL, 0, 0, SMTO_BLOCK, 5000, &result);
}

void CGuiDriver::ClickCheckBox(int id)
{
    const bool before = Checked(id);
    PostMessageW(Item(id), BM_CLICK, 0, 0);
    for (DWORD waited = 0; waited < BOX_TIMEOUT_MS && Checked(id) == before; waited += WAIT_STEP_MS) Sleep(WAIT_STEP_MS);
    Sync();
}

void CGuiDriver::ClickAndLeave(int id)
{
    PostMessageW(Item(id), BM_CLICK, 0, 0);
}

void CGuiDriver::SystemCommand(UINT id)
{
    PostMessageW(m_hwndDialog, WM_SYSCOMMAND, id, 0);
}

HWND CGuiDriver::WaitForWindow(const wchar_t* pszCaption, DWORD timeoutMs) const
{
    for (DWORD waited = 0; waited <= timeoutMs; waited += WAIT_STEP_MS)
    {
        WindowSearch search = { m_process.dwProcessId, pszCaption, nullptr };
        EnumWindows(FindProcessWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr) return search.found;
        if (WaitForSingleObject(m_process.hProcess, 0) == WAIT_OBJECT_0) return nullptr;
        Sleep(WAIT_STEP_MS);
    }
    return nullptr;
}

HWND CGuiDriver::FindBox() const
{
    WindowSearch search = { m_process.dwProcessId, BOX_CAPTION, nullptr };
    EnumWindows(FindProcessWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::vector<std::wstring> CGuiDriver::StaticTexts(HWND hwnd) const
{
    std::vector<std::wstring> texts;
    EnumChildWindows(hwnd, CollectStatic, reinterpret_cast<LPARAM>(&texts));
    return texts;
}

SeenBox CGuiDriver::AnswerBox(int answer)
{
    SeenBox seen;
    HWND hwndBox = WaitForWindow(BOX_CAPTION, BOX_TIMEOUT_MS);
    if (hwndBox == nullptr) return seen;
    const std::vector<std::wstring> texts = StaticTexts(hwndBox);
    for (const std::wstring& text : texts) seen.text += text;
    seen.hasOk = ButtonShown(hwndBox, IDOK);
    seen.hasYesNo = ButtonShown(hwndBox, IDYES) && ButtonShown(hwndBox, IDNO);
    // A box must belong to the dialog, or it could hide behind it.
    EXPECT_EQ(m_hwndDialog, GetWindow(hwndBox, GW_OWNER)) << Narrow(seen.text);
    EXPECT_TRUE(ClickAndWaitGone(hwndBox, answer)) << Narrow(seen.text);
    return seen;
}

bool CGuiDriver::NoBoxOpen()
{
    Sync();
    return FindBox() == nullptr;
}

bool CGuiDriver::ClickAndWaitGone(HWND hwnd, int idButton)
{
    HWND hwndButton = GetDlgItem(hwnd, idButton);
    if (hwndButton == nullptr) return false;
    PostMessageW(hwndButton, BM_CLICK, 0, 0);
    for (DWORD waited = 0; waited < BOX_TIMEOUT_MS; waited += WAIT_STEP_MS)
    {
        if (!IsWindow(hwnd) || !IsWindowVisible(hwnd)) return true;
        Sleep(WAIT_STEP_MS);
    }
    return false;
}

std::wstring CGuiDriver::Screenshot(HWND hwnd, const std::wstring& name)
{
    const std::string folder = Environment("VELKOR_SCREENSHOT_DIR");
    if (folder.empty())
    {
        ADD_FAILURE() << "VELKOR_SCREENSHOT_DIR is not set";
        return std::wstring();
    }
    // Let the window finish painting; Wine's own screen copy loses the text, so the
    // picture comes from the X server.
    Sync();
    RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    Sleep(300);
    RECT rect = {};
    GetWindowRect(hwnd, &rect);
    const unsigned width = static_cast<unsigned>(rect.right - rect.left);
    const unsigned height = static_cast<unsigned>(rect.bottom - rect.top);
    const std::string target = folder + "/" + Narrow(name) + ".png";
    const std::wstring dosTarget = UnixToDosPath(target);
    DeleteFileW(dosTarget.c_str());

    char command[2048] = {};
    snprintf(command, sizeof(command),
             "/bin/sh -c \"mkdir -p '%s' && import -window root -crop %ux%u+%ld+%ld +repage '%s.part.png' && mv '%s.part.png' '%s'\"",
             folder.c_str(), width, height, rect.left, rect.top, target.c_str(), target.c_str(), target.c_str());
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    {
        ADD_FAILURE() << "cannot run import: " << GetLastError();
        return std::wstring();
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    // The file appears whole, by its rename, once import is done.
    for (DWORD waited = 0; waited < 20000; waited += 100)
    {
        unsigned pngWidth = 0, pngHeight = 0;
        if (GetFileAttributesW(dosTarget.c_str()) != INVALID_FILE_ATTRIBUTES && ReadPngSize(dosTarget, &pngWidth, &pngHeight))
        {
            EXPECT_EQ(width, pngWidth) << target;
            EXPECT_EQ(height, pngHeight) << target;
            return dosTarget;
        }
        Sleep(100);
    }
    ADD_FAILURE() << "no screenshot at " << target << " (is ImageMagick's import installed?)";
    return std::wstring();
}
