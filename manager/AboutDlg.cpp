#include "AboutDlg.h"
#include "resource.h"

CAboutDlg::CAboutDlg(HWND hwndParent)
    : CDialogBase(IDD_ABOUTBOX, hwndParent)
{
}
