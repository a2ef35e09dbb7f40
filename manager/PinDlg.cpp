#include "PinDlg.h"
#include "resource.h"

CPinDlg::CPinDlg(HWND hwndParent, const wchar_t* pszQuestion, wchar_t (&szPin)[PIN_INPUT_CHARS])
    : CDialogBase(IDD_PIN_DIALOG, hwndParent), m_pszQuestion(pszQuestion), m_szPin(szPin)
{
    SecureZeroMemory(m_szPin, sizeof(m_szPin));
}

BOOL CPinDlg::OnInitDialog()
{
    SetDlgItemTextW(m_hWnd, IDC_PIN_QUESTION, m_pszQuestion != nullptr ? m_pszQuestion : L"");
    // One character more than a PIN may have, so that a longer one is told as too long.
    SendDlgItemMessageW(m_hWnd, IDC_PIN_EDIT, EM_LIMITTEXT, PIN_INPUT_CHARS - 1, 0);
    SetFocus(GetDlgItem(m_hWnd, IDC_PIN_EDIT));
    return FALSE; // the focus is set
}

void CPinDlg::WipeEdit()
{
    const HWND hwndEdit = GetDlgItem(m_hWnd, IDC_PIN_EDIT);
    wchar_t szFiller[PIN_INPUT_CHARS] = {};
    const int cch = GetWindowTextLengthW(hwndEdit);
    for (int i = 0; i < cch && i < static_cast<int>(PIN_INPUT_CHARS) - 1; ++i)
    {
        szFiller[i] = L'x';
    }
    // Text of the same length reuses the box's buffer; then it is emptied.
    SetWindowTextW(hwndEdit, szFiller);
    SetWindowTextW(hwndEdit, L"");
}

bool CPinDlg::OnMessage(UINT uMsg, WPARAM wParam, LPARAM, INT_PTR*)
{
    if (uMsg != WM_COMMAND || HIWORD(wParam) != BN_CLICKED)
    {
        return false;
    }
    switch (LOWORD(wParam))
    {
    case IDOK:
        GetDlgItemTextW(m_hWnd, IDC_PIN_EDIT, m_szPin, PIN_INPUT_CHARS);
        WipeEdit();
        EndDialog(IDOK);
        return true;
    case IDCANCEL:
        WipeEdit();
        SecureZeroMemory(m_szPin, sizeof(m_szPin));
        EndDialog(IDCANCEL);
        return true;
    }
    return false;
}
