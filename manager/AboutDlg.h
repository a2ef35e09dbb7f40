#pragma once
// The About box, opened from the main dialog's system menu.
#include "DialogBase.h"

class CAboutDlg : public CDialogBase
{
public:
    explicit CAboutDlg(HWND hwndParent);
};
