#include "VelkorFIDO2GUI.h"
#include "VelkorFIDO2GUIDlg.h"

#include <commctrl.h>

namespace
{
    // Restart support only: Windows may restart the program after an update or a hang.
    constexpr DWORD RESTART_MANAGER_SUPPORT_RESTART = 0x01;
}

CVelkorFIDO2GUIApp theApp;

CVelkorFIDO2GUIApp::CVelkorFIDO2GUIApp()
    : m_dwRestartManagerSupportFlags(RESTART_MANAGER_SUPPORT_RESTART)
{
}

BOOL CVelkorFIDO2GUIApp::InitInstance()
{
    INITCOMMONCONTROLSEX initControls = {};
    initControls.dwSize = sizeof(initControls);
    initControls.dwICC = ICC_WIN95_CLASSES;
    if (!InitCommonControlsEx(&initControls))
    {
        OutputDebugStringW(L"InitCommonControlsEx failed\r\n");
    }

    if (m_dwRestartManagerSupportFlags & RESTART_MANAGER_SUPPORT_RESTART)
    {
        const HRESULT hr = RegisterApplicationRestart(nullptr, 0);
        if (FAILED(hr))
        {
            OutputDebugStringW(L"RegisterApplicationRestart failed\r\n");
        }
    }

    CVelkorFIDO2GUIDlg dlg;
    dlg.DoModal();
    return FALSE;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    theApp.InitInstance();
    return 0;
}
