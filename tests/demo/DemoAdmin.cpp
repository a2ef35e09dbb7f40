// The administrator's side of the demo, from a console: the Login Manager's own
// operations (the provider switch and the token association flow), with each message
// box the Login Manager would show printed and answered "Yes".
//   demo_admin enable
//   demo_admin associate <user>
#include "ConfigStore.h"
#include "AppMessageBox.h"
#include "ImportPatch.h"
#include "AccountActions.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace
{
    int WINAPI ConsoleMessageBox(HWND, LPCWSTR pszText, LPCWSTR pszCaption, UINT uType)
    {
        const bool question = (uType & MB_YESNO) == MB_YESNO;
        const wchar_t* pszKind = (uType & MB_ICONERROR) == MB_ICONERROR ? L"error"
                                 : question                             ? L"question"
                                                                        : L"information";
        wprintf(L"  [%ls box \"%ls\"] %ls%ls\n", pszKind, pszCaption, pszText, question ? L"  -> Yes" : L"");
        fflush(stdout);
        return question ? IDYES : IDOK;
    }

    int Usage()
    {
        wprintf(L"usage: demo_admin enable | associate <user>\n");
        return 2;
    }
}

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
    {
        return Usage();
    }
    CImportPatch messageBoxes("USER32.dll", "MessageBoxW", reinterpret_cast<void*>(ConsoleMessageBox));
    const std::wstring command = argv[1];
    if (command == L"enable")
    {
        const LONG status = SetAuthEnabled(true);
        wprintf(L"  Login Manager: \"Enable Velkor FIDO2 credential provider\" checked -> %ls\n",
                status == ERROR_SUCCESS ? L"token logon switched on" : L"failed");
        return status == ERROR_SUCCESS ? 0 : 1;
    }
    if (command == L"associate" && argc == 3)
    {
        // What the dialog's "Associate  Token" button does, box for box.
        CMessageBoxPrompts prompts;
        wchar_t szTrace[MANAGER_TRACE_TEXT_CHARS] = {};
        return AssociateTokenWithAccount(prompts, szTrace, argv[2]) == ERROR_SUCCESS ? 0 : 1;
    }
    return Usage();
}
