#pragma once
// A button, check box or other control of a dialog, bound by its id.
#include <windows.h>

class CButton
{
public:
    void Attach(HWND hwnd) { m_hWnd = hwnd; }
    HWND GetSafeHwnd() const { return m_hWnd; }

    // BST_CHECKED or BST_UNCHECKED (non-zero counts as checked).
    int GetCheck() const;
    void SetCheck(int nCheck);
    void EnableWindow(BOOL fEnable);
    bool IsWindowEnabled() const;
    void SetWindowText(const wchar_t* pszText);

private:
    HWND m_hWnd = nullptr;
};
