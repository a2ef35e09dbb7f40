#include "AppMessageBox.h"

const wchar_t APP_MESSAGE_BOX_CAPTION[] = L"VelkorFIDO2_GUI";

namespace
{
    HWND g_hwndMessageBoxOwner = nullptr;
}

void SetMessageBoxOwner(HWND hwndOwner)
{
    g_hwndMessageBoxOwner = hwndOwner;
}

int ShowMessageBox(const wchar_t* pszText, UINT uType)
{
    // A box over the About box (or any other popup of the dialog) belongs to that popup.
    HWND hwndOwner = g_hwndMessageBoxOwner;
    if (hwndOwner != nullptr && IsWindow(hwndOwner))
    {
        HWND hwndPopup = GetLastActivePopup(hwndOwner);
        if (hwndPopup != nullptr && IsWindowEnabled(hwndPopup))
        {
            hwndOwner = hwndPopup;
        }
    }
    else
    {
        hwndOwner = nullptr;
    }
    return MessageBoxW(hwndOwner, pszText, APP_MESSAGE_BOX_CAPTION, uType);
}
