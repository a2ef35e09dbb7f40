#pragma once
// Every message box of the Login Manager goes through here: the program's name as the
// caption, modal to the main dialog.
#include <windows.h>

constexpr UINT ERROR_BOX = MB_OK | MB_ICONERROR;
constexpr UINT INFORMATION_BOX = MB_OK | MB_ICONINFORMATION;
constexpr UINT QUESTION_BOX = MB_YESNO | MB_ICONQUESTION;

extern const wchar_t APP_MESSAGE_BOX_CAPTION[]; // L"VelkorFIDO2_GUI"

// The window the boxes belong to while the main dialog is open (null otherwise).
void SetMessageBoxOwner(HWND hwndOwner);

// Returns the button chosen (IDOK, IDYES, IDNO), or 0 when the box could not be shown.
int ShowMessageBox(const wchar_t* pszText, UINT uType);
