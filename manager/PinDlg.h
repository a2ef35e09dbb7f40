#pragma once
// Asks for the security key's PIN in a password box, over the main dialog, while an
// association waits between two card steps. The PIN goes into the caller's buffer only;
// the box's own copy is overwritten before the box closes.
#include "AdminPrompts.h"
#include "DialogBase.h"

class CPinDlg : public CDialogBase
{
public:
    // IDOK with the PIN in szPin; IDCANCEL with szPin empty.
    CPinDlg(HWND hwndParent, const wchar_t* pszQuestion, wchar_t (&szPin)[PIN_INPUT_CHARS]);

protected:
    BOOL OnInitDialog() override;
    bool OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, INT_PTR* pResult) override;

private:
    // Overwrites what the edit box holds, then empties it.
    void WipeEdit();

    const wchar_t* m_pszQuestion;
    wchar_t (&m_szPin)[PIN_INPUT_CHARS];
};
