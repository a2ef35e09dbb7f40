// velkorctl.exe: Velkor FIDO2 Login administration from the command line, for people
// and for scripts that look after many machines.
#include "CtlCommands.h"
#include "CtlReport.h"

#include <windows.h>

#include <new>

int wmain(int argc, wchar_t** argv)
{
    try
    {
        const std::vector<std::wstring> args(argv + 1, argv + argc);
        CCtlOutput output;
        return RunVelkorCtl(args, output);
    }
    catch (const std::bad_alloc&)
    {
        // Allocation failure ends the command before or after a change, never inside one:
        // each configuration change is a single call.
        DWORD dwWritten = 0;
        const char text[] = "velkorctl: out of memory\r\n";
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, sizeof(text) - 1, &dwWritten, nullptr);
        return CTL_EXIT_ERROR;
    }
}
