#pragma once
// The Login Manager application: one modal dialog, then the program ends.
#include <windows.h>

class CVelkorFIDO2GUIApp
{
public:
    CVelkorFIDO2GUIApp();

    // Runs the main dialog; FALSE always, since there is no message loop after it.
    BOOL InitInstance();

private:
    DWORD m_dwRestartManagerSupportFlags;
};

extern CVelkorFIDO2GUIApp theApp;
