#pragma once
// Every message box of the Login Manager goes through here: the program's name as the
// caption, modal to the main dialog.
#include "AdminPrompts.h"

#include <windows.h>

extern const wchar_t APP_MESSAGE_BOX_CAPTION[]; // L"VelkorFIDO2_GUI"

// The window the boxes belong to while the main dialog is open (null otherwise).
void SetMessageBoxOwner(HWND hwndOwner);

// Returns the button chosen (IDOK, IDYES, IDNO), or 0 when the box could not be shown.
int ShowMessageBox(const wchar_t* pszText, UINT uType);

// The administration flows' messages as the Login Manager's boxes; a recovery code is an
// information box whose whole text is the code.
class CMessageBoxPrompts : public IAdminPrompts
{
public:
    int Show(const wchar_t* pszText, UINT uType) override { return ShowMessageBox(pszText, uType); }
    void ShowRecoveryCode(const wchar_t* pszCode) override { ShowMessageBox(pszCode, INFORMATION_BOX); }
};
