#pragma once
// A modal dialog built from a template in the program's resources: the little of a
// dialog framework that the Login Manager needs.
#include <windows.h>

class CButton;

class CDialogBase
{
public:
    CDialogBase(UINT idTemplate, HWND hwndParent);
    virtual ~CDialogBase() = default;
    CDialogBase(const CDialogBase&) = delete;
    CDialogBase& operator=(const CDialogBase&) = delete;

    // Runs the dialog until EndDialog; -1 when it could not be created.
    INT_PTR DoModal();
    HWND GetSafeHwnd() const { return m_hWnd; }

protected:
    // Binds the controls before OnInitDialog runs.
    virtual void DoDataExchange() {}
    // TRUE lets the dialog manager set the focus.
    virtual BOOL OnInitDialog() { return TRUE; }
    // Messages the derived dialog handles itself; false sends them on to the dialog
    // manager's default handling. OK and Cancel end the dialog unless handled here.
    virtual bool OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, INT_PTR* pResult);

    void EndDialog(INT_PTR nResult);
    // Attaches the control with this id; false when the template has no such control.
    bool BindControl(int idControl, CButton& control);

    HWND m_hWnd = nullptr;

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

    UINT m_idTemplate;
    HWND m_hwndParent;
};
