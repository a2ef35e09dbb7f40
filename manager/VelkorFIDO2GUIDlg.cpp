#include "VelkorFIDO2GUIDlg.h"
#include "AboutDlg.h"
#include "AccountActions.h"
#include "AccountNames.h"
#include "AppMessageBox.h"
#include "ConfigChanges.h"
#include "ConfigStore.h"
#include "InstallationHealth.h"
#include "LockoutPreflight.h"
#include "PinDlg.h"
#include "VelkorVersion.h"
#include "resource.h"

#include <shlobj.h>
#include <strsafe.h>

namespace
{
    constexpr size_t USER_LABEL_CHARS = 256;
    constexpr size_t ABOUT_MENU_TEXT_CHARS = 256;

    const wchar_t DIALOG_CAPTION[] = L"Velkor FIDO2 Login Manager Version " VELKOR_VERSION_WTEXT;
    const wchar_t NOT_ADMINISTRATOR_TEXT[] =
        L"Administrator access is required for this application\n"
        L"Please right click on application and select \"Run as Administrator\"";

    constexpr size_t PREFLIGHT_BOX_CHARS = 2048;

    int CheckFrom(bool fOn)
    {
        return fOn ? BST_CHECKED : BST_UNCHECKED;
    }

    constexpr size_t LSA_BOX_CHARS = HEALTH_TEXT_CHARS * 3;

    void AddParagraph(wchar_t (&szBox)[LSA_BOX_CHARS], const wchar_t* pszPrefix, const wchar_t* pszText)
    {
        if (szBox[0] != L'\0')
        {
            StringCchCatW(szBox, LSA_BOX_CHARS, L"\n\n");
        }
        StringCchCatW(szBox, LSA_BOX_CHARS, pszPrefix);
        StringCchCatW(szBox, LSA_BOX_CHARS, pszText);
    }

    // With the computer's switch on: whether LSA protection refuses our package (the
    // running LSA, or RunAsPPL), is about to, or could not be checked. One box, or none.
    void WarnAboutLsaProtection()
    {
        INSTALLATION_HEALTH health = {};
        ReadInstallationHealth(&health);
        wchar_t szBox[LSA_BOX_CHARS] = {};
        wchar_t szText[HEALTH_TEXT_CHARS] = {};
        if (health.fLsaProtectionRefuses && FormatNotEnforced(health, szText))
        {
            AddParagraph(szBox, L"", szText);
        }
        if (FormatLsaWarning(health, szText))
        {
            AddParagraph(szBox, L"WARNING: ", szText);
        }
        if (FormatLsaNotChecked(health, szText))
        {
            AddParagraph(szBox, L"", szText);
        }
        if (szBox[0] != L'\0')
        {
            ShowMessageBox(szBox, WARNING_BOX);
        }
    }

    void CollectWarning(void* pContext, const wchar_t* pszWarning)
    {
        auto* pszText = static_cast<wchar_t*>(pContext);
        if (pszText[0] != L'\0')
        {
            StringCchCatW(pszText, PREFLIGHT_BOX_CHARS, L"\n");
        }
        StringCchCatW(pszText, PREFLIGHT_BOX_CHARS, pszWarning);
    }

    // Before the account's factor goes on: a locked-out account only on Yes, and one box
    // naming the services and tasks that will fail. False leaves the switch as it is.
    bool ConfirmUserSwitchOn(const wchar_t* pszUserName)
    {
        ACCOUNT_LOCKOUT lockout = {};
        if (CheckAccountLockout(pszUserName, &lockout) == ERROR_SUCCESS && lockout.fLockedOut)
        {
            wchar_t szLockout[PREFLIGHT_TEXT_CHARS] = {};
            FormatLockoutText(pszUserName, lockout, szLockout);
            wchar_t szQuestion[PREFLIGHT_TEXT_CHARS * 2] = {};
            StringCchPrintfW(szQuestion, PREFLIGHT_TEXT_CHARS * 2, L"%ls\n\nSwitch Velkor FIDO2 login on for %ls anyway?",
                             szLockout, pszUserName);
            if (ShowMessageBox(szQuestion, QUESTION_BOX) != IDYES)
            {
                return false;
            }
        }

        wchar_t szStored[USER_NAME_CHARS] = {};
        BYTE rgbSid[SECURITY_MAX_SID_SIZE] = {};
        const bool fSid = ResolveLocalAccountName(pszUserName, szStored, USER_NAME_CHARS, rgbSid, sizeof(rgbSid)) ==
                          ERROR_SUCCESS;
        wchar_t szWarnings[PREFLIGHT_BOX_CHARS] = {};
        WarnAboutAccountRuns(pszUserName, fSid ? rgbSid : nullptr, CollectWarning, szWarnings);
        if (szWarnings[0] != L'\0')
        {
            ShowMessageBox(szWarnings, WARNING_BOX);
        }
        return true;
    }
}

CVelkorFIDO2GUIDlg::CVelkorFIDO2GUIDlg(HWND hwndParent)
    : CDialogBase(IDD_MANAGER_DIALOG, hwndParent),
      m_hIcon(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME)))
{
}

CVelkorFIDO2GUIDlg::~CVelkorFIDO2GUIDlg()
{
    // An icon loaded with LoadIcon is shared and is not destroyed.
    SecureZeroMemory(m_traceText, sizeof(m_traceText));
}

void CVelkorFIDO2GUIDlg::DoDataExchange()
{
    BindControl(IDC_ENABLE_PROVIDER, m_enableProvider);
    BindControl(IDC_ENABLE_USER, m_enableUser);
    BindControl(IDC_ASSOCIATE, m_associate);
    BindControl(IDC_DISSOCIATE, m_dissociate);
}

BOOL CVelkorFIDO2GUIDlg::OnInitDialog()
{
    SetMessageBoxOwner(m_hWnd);

    HMENU hSysMenu = GetSystemMenu(m_hWnd, FALSE);
    if (hSysMenu != nullptr)
    {
        wchar_t szAboutMenu[ABOUT_MENU_TEXT_CHARS] = {};
        if (LoadStringW(GetModuleHandleW(nullptr), IDS_ABOUTBOX, szAboutMenu, ABOUT_MENU_TEXT_CHARS) > 0)
        {
            AppendMenuW(hSysMenu, MF_SEPARATOR, 0, nullptr);
            AppendMenuW(hSysMenu, MF_STRING, IDM_ABOUTBOX, szAboutMenu);
        }
    }

    SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
    SetWindowTextW(m_hWnd, DIALOG_CAPTION);

    // The account's name as the system stores it, whatever spelling the logon used: the
    // logon path compares a token's owner exactly.
    m_userNameLength = USER_NAME_CHARS;
    if (GetRunningAccountName(m_userName, m_userNameLength) != ERROR_SUCCESS)
    {
        SecureZeroMemory(m_userName, sizeof(m_userName));
    }

    // The label is only for display: a name too long for it is cut.
    wchar_t szUserLabel[USER_LABEL_CHARS] = {};
    StringCchPrintfW(szUserLabel, USER_LABEL_CHARS, L" Enable Velkor FIDO2 login for user %ls\r\n", m_userName);
    m_enableUser.SetWindowText(szUserLabel);

    if (!IsUserAnAdmin())
    {
        ShowMessageBox(NOT_ADMINISTRATOR_TEXT, ERROR_BOX);
        EndDialog(IDCANCEL);
        return TRUE;
    }
    if (!HasUserName())
    {
        ShowMessageBox(L"Cannot determine the current user name", ERROR_BOX);
    }

    m_enableProvider.SetCheck(CheckFrom(IsAuthEnabled()));
    m_initializing = true;
    OnEnableProviderClicked();
    m_initializing = false;
    return TRUE;
}

bool CVelkorFIDO2GUIDlg::OnMessage(UINT uMsg, WPARAM wParam, LPARAM, INT_PTR* pResult)
{
    switch (uMsg)
    {
    case WM_SYSCOMMAND:
        return OnSysCommand(static_cast<UINT>(wParam));
    case WM_PAINT:
        return OnPaint();
    case WM_QUERYDRAGICON:
        *pResult = reinterpret_cast<INT_PTR>(OnQueryDragIcon());
        return true;
    case WM_COMMAND:
        if (HIWORD(wParam) != BN_CLICKED)
        {
            return false;
        }
        switch (LOWORD(wParam))
        {
        case IDC_ASSOCIATE:
            OnAssociateClicked();
            return true;
        case IDC_ENABLE_PROVIDER:
            OnEnableProviderClicked();
            return true;
        case IDC_ENABLE_USER:
            OnEnableUserClicked();
            return true;
        case IDC_DISSOCIATE:
            OnDissociateClicked();
            return true;
        }
        return false;
    case WM_DESTROY:
        SetMessageBoxOwner(nullptr);
        return false;
    }
    return false;
}

bool CVelkorFIDO2GUIDlg::OnSysCommand(UINT nID)
{
    if ((nID & 0xFFF0) != IDM_ABOUTBOX)
    {
        return false;
    }
    CAboutDlg dlgAbout(m_hWnd);
    dlgAbout.DoModal();
    return true;
}

bool CVelkorFIDO2GUIDlg::OnPaint()
{
    if (!IsIconic(m_hWnd))
    {
        return false;
    }
    PAINTSTRUCT ps;
    HDC hdc = BeginPaint(m_hWnd, &ps);
    if (hdc == nullptr)
    {
        return true;
    }
    SendMessageW(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(hdc), 0);
    const int cxIcon = GetSystemMetrics(SM_CXICON);
    const int cyIcon = GetSystemMetrics(SM_CYICON);
    RECT rect = {};
    GetClientRect(m_hWnd, &rect);
    const int x = (rect.right - rect.left - cxIcon + 1) / 2;
    const int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
    DrawIcon(hdc, x, y, m_hIcon);
    EndPaint(m_hWnd, &ps);
    return true;
}

HCURSOR CVelkorFIDO2GUIDlg::OnQueryDragIcon()
{
    return static_cast<HCURSOR>(m_hIcon);
}

void CVelkorFIDO2GUIDlg::OnEnableProviderClicked()
{
    if (m_enableProvider.GetCheck() != BST_UNCHECKED)
    {
        if (!m_initializing)
        {
            if (ChangeComputerSwitch(true) != ERROR_SUCCESS)
            {
                ShowMessageBox(L"Error enabling credential provider", ERROR_BOX);
                return;
            }
        }
        // Also at start: a switch that is on says nothing about what LSA does with it.
        WarnAboutLsaProtection();
        if (!HasUserName())
        {
            DisableUserControls();
            return;
        }
        m_enableUser.EnableWindow(TRUE);
        m_enableUser.SetCheck(CheckFrom(IsUserEnabled(m_userName)));
        m_associate.EnableWindow(TRUE);
        m_dissociate.EnableWindow(TRUE);
        return;
    }

    if (!m_initializing && ChangeComputerSwitch(false) != ERROR_SUCCESS)
    {
        ShowMessageBox(L"Error disabling credential provider", ERROR_BOX);
        return;
    }
    DisableUserControls();
}

void CVelkorFIDO2GUIDlg::DisableUserControls()
{
    m_enableUser.EnableWindow(FALSE);
    m_associate.EnableWindow(FALSE);
    m_dissociate.EnableWindow(FALSE);
}

void CVelkorFIDO2GUIDlg::OnEnableUserClicked()
{
    if (!HasUserName())
    {
        return;
    }
    // The box keeps the state the click gave it, also after an error; only a No to the
    // lockout question takes the check back.
    if (m_enableUser.GetCheck() != BST_UNCHECKED)
    {
        if (!ConfirmUserSwitchOn(m_userName))
        {
            m_enableUser.SetCheck(BST_UNCHECKED);
            return;
        }
        if (ChangeUserSwitch(m_userName, true) != ERROR_SUCCESS)
        {
            ShowMessageBox(L"Error enabling FIDO2 login for user", ERROR_BOX);
        }
        return;
    }
    if (ChangeUserSwitch(m_userName, false) != ERROR_SUCCESS)
    {
        ShowMessageBox(L"Error disabling FIDO2 login for user", ERROR_BOX);
    }
}

namespace
{
    // Where "Touch the key now" stands while the key makes its credential, in dialog units.
    constexpr RECT PROGRESS_TEXT_RECT = { 66, 92, 231, 102 };

    // The dialog's boxes, with the user box following the switch the flows change and a
    // line of text while the token works.
    class CDialogPrompts final : public CMessageBoxPrompts
    {
    public:
        CDialogPrompts(HWND hwndDialog, CButton& enableUser, const wchar_t* pszUserName)
            : _hwndDialog(hwndDialog), _enableUser(enableUser), _pszUserName(pszUserName) {}
        ~CDialogPrompts() { ShowProgress(nullptr); }
        CDialogPrompts(const CDialogPrompts&) = delete;
        CDialogPrompts& operator=(const CDialogPrompts&) = delete;

        // What the box shows is read back, so a failed write shows as it stands.
        void UserSwitchChanged() override { _enableUser.SetCheck(CheckFrom(IsUserEnabled(_pszUserName))); }

        // The dialog takes no input meanwhile; it keeps painting.
        void ShowProgress(const wchar_t* pszText) override
        {
            if (_hwndText != nullptr)
            {
                DestroyWindow(_hwndText);
                _hwndText = nullptr;
                EnableWindow(_hwndDialog, TRUE);
            }
            if (pszText == nullptr)
            {
                return;
            }
            RECT rect = PROGRESS_TEXT_RECT;
            MapDialogRect(_hwndDialog, &rect);
            _hwndText = CreateWindowExW(0, L"STATIC", pszText, WS_CHILD | WS_VISIBLE | SS_CENTER, rect.left, rect.top,
                                        rect.right - rect.left, rect.bottom - rect.top, _hwndDialog, nullptr,
                                        GetModuleHandleW(nullptr), nullptr);
            SendMessageW(_hwndText, WM_SETFONT, SendMessageW(_hwndDialog, WM_GETFONT, 0, 0), TRUE);
            EnableWindow(_hwndDialog, FALSE);
            UpdateWindow(_hwndDialog);
        }

        // A password box over the dialog, between two card steps.
        bool AskPin(const wchar_t* pszQuestion, wchar_t (&szPin)[PIN_INPUT_CHARS]) override
        {
            CPinDlg dlg(_hwndDialog, pszQuestion, szPin);
            return dlg.DoModal() == IDOK;
        }

        bool WaitForToken(HANDLE hDone, DWORD dwMilliseconds) override
        {
            const ULONGLONG ullEnd = GetTickCount64() + dwMilliseconds;
            for (;;)
            {
                const ULONGLONG ullNow = GetTickCount64();
                const DWORD dwLeft = ullNow < ullEnd ? static_cast<DWORD>(ullEnd - ullNow) : 0;
                const DWORD dwWait = MsgWaitForMultipleObjects(1, &hDone, FALSE, dwLeft, QS_ALLINPUT);
                if (dwWait == WAIT_OBJECT_0)
                {
                    return true;
                }
                if (dwWait != WAIT_OBJECT_0 + 1)
                {
                    return false;
                }
                MSG msg;
                while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
                {
                    TranslateMessage(&msg);
                    DispatchMessageW(&msg);
                }
            }
        }

    private:
        HWND _hwndDialog;
        CButton& _enableUser;
        const wchar_t* _pszUserName;
        HWND _hwndText = nullptr;
    };
}

void CVelkorFIDO2GUIDlg::OnAssociateClicked()
{
    if (!HasUserName())
    {
        return;
    }
    CDialogPrompts prompts(m_hWnd, m_enableUser, m_userName);
    AssociateTokenWithAccount(prompts, m_traceText, m_userName);
}

void CVelkorFIDO2GUIDlg::OnDissociateClicked()
{
    if (!HasUserName())
    {
        return;
    }
    CDialogPrompts prompts(m_hWnd, m_enableUser, m_userName);
    DissociateTokenFromAccount(prompts, m_traceText, m_userName);
}
