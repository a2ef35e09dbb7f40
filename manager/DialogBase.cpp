#include "DialogBase.h"
#include "Button.h"

CDialogBase::CDialogBase(UINT idTemplate, HWND hwndParent)
    : m_idTemplate(idTemplate), m_hwndParent(hwndParent)
{
}

INT_PTR CDialogBase::DoModal()
{
    return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(m_idTemplate), m_hwndParent, DialogProc,
                           reinterpret_cast<LPARAM>(this));
}

void CDialogBase::EndDialog(INT_PTR nResult)
{
    ::EndDialog(m_hWnd, nResult);
}

bool CDialogBase::BindControl(int idControl, CButton& control)
{
    control.Attach(GetDlgItem(m_hWnd, idControl));
    return control.GetSafeHwnd() != nullptr;
}

bool CDialogBase::OnMessage(UINT, WPARAM, LPARAM, INT_PTR*)
{
    return false;
}

INT_PTR CALLBACK CDialogBase::DialogProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg == WM_INITDIALOG)
    {
        auto* pDialog = reinterpret_cast<CDialogBase*>(lParam);
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        pDialog->m_hWnd = hwnd;
        pDialog->DoDataExchange();
        return pDialog->OnInitDialog();
    }

    auto* pDialog = reinterpret_cast<CDialogBase*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (pDialog == nullptr)
    {
        return FALSE;
    }
    INT_PTR result = FALSE;
    if (pDialog->OnMessage(uMsg, wParam, lParam, &result))
    {
        return result;
    }
    if (uMsg == WM_COMMAND && HIWORD(wParam) == BN_CLICKED && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL))
    {
        pDialog->EndDialog(LOWORD(wParam));
        return TRUE;
    }
    if (uMsg == WM_NCDESTROY)
    {
        SetWindowLongPtrW(hwnd, DWLP_USER, 0);
        pDialog->m_hWnd = nullptr;
    }
    return FALSE;
}
