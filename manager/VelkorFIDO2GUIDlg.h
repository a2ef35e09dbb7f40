#pragma once
// The Login Manager's main dialog: the provider and user switches, and the buttons that
// associate and dissociate the plugged-in token.
#include "Button.h"
#include "DialogBase.h"
#include "TokenAssociation.h"

constexpr DWORD USER_NAME_CHARS = 512;

class CVelkorFIDO2GUIDlg : public CDialogBase
{
public:
    explicit CVelkorFIDO2GUIDlg(HWND hwndParent = nullptr);
    ~CVelkorFIDO2GUIDlg() override;

protected:
    void DoDataExchange() override;
    BOOL OnInitDialog() override;
    bool OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, INT_PTR* pResult) override;

    bool OnSysCommand(UINT nID);
    bool OnPaint();
    HCURSOR OnQueryDragIcon();
    void OnAssociateClicked();
    void OnEnableProviderClicked();
    void OnEnableUserClicked();
    void OnDissociateClicked();

    // The user box, then the two buttons.
    void DisableUserControls();

    // Nothing is read or written under an empty user name.
    bool HasUserName() const { return m_userName[0] != L'\0'; }

    HICON m_hIcon;
    CButton m_enableProvider;
    CButton m_enableUser;
    wchar_t m_userName[USER_NAME_CHARS] = {};
    DWORD m_userNameLength = 0;
    wchar_t m_traceText[MANAGER_TRACE_TEXT_CHARS] = {};
    bool m_initializing = true;
    CButton m_associate;
    CButton m_dissociate;
};
