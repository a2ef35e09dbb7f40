#pragma once
// What the installer registers (Auth0, the logon screen's keys, an empty stand-in for
// System32\VelkorSubAuth.dll) and RunAsPPL, put in place and taken away again.
#include <windows.h>

#include <string>

namespace testinst
{
    extern const wchar_t LSA_KEY[];   // SYSTEM\CurrentControlSet\Control\Lsa
    std::wstring PackagePath();       // System32\VelkorSubAuth.dll

    class CInstallation
    {
    public:
        ~CInstallation() { Remove(); }
        void Install(const std::wstring& auth0 = L"VelkorSubAuth");
        void Protect(DWORD runAsPpl);
        void Remove();

    private:
        bool _createdPackage = false;
    };
}
