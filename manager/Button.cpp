#include "Button.h"

int CButton::GetCheck() const
{
    return static_cast<int>(SendMessageW(m_hWnd, BM_GETCHECK, 0, 0));
}

void CButton::SetCheck(int nCheck)
{
    SendMessageW(m_hWnd, BM_SETCHECK, static_cast<WPARAM>(nCheck), 0);
}

void CButton::EnableWindow(BOOL fEnable)
{
    ::EnableWindow(m_hWnd, fEnable);
}

bool CButton::IsWindowEnabled() const
{
    return ::IsWindowEnabled(m_hWnd) != FALSE;
}

void CButton::SetWindowText(const wchar_t* pszText)
{
    ::SetWindowTextW(m_hWnd, pszText);
}
