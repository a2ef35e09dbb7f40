#include "TestInstallation.h"
#include "TestRegistry.h"

#include <gtest/gtest.h>

namespace testinst
{
    const wchar_t LSA_KEY[] = L"SYSTEM\\CurrentControlSet\\Control\\Lsa";

    namespace
    {
        const std::wstring CLSID_TEXT = L"{A614094D-EFED-4B38-94BB-E14B932584B0}";
        const std::wstring AUTHENTICATION = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Authentication\\";
        const std::wstring MSV1_0 = L"SYSTEM\\CurrentControlSet\\Control\\Lsa\\MSV1_0";
    }

    std::wstring PackagePath()
    {
        wchar_t folder[MAX_PATH] = {};
        GetSystemDirectoryW(folder, MAX_PATH);
        return std::wstring(folder) + L"\\VelkorSubAuth.dll";
    }

    void CInstallation::Install(const std::wstring& auth0)
    {
        testreg::SetString(MSV1_0, L"Auth0", auth0);
        testreg::SetString(AUTHENTICATION + L"Credential Providers\\" + CLSID_TEXT, nullptr, L"VelkorCredentialProvider");
        testreg::SetString(AUTHENTICATION + L"Credential Provider Filters\\" + CLSID_TEXT, nullptr, L"VelkorCredentialProvider");
        testreg::SetString(L"SOFTWARE\\Classes\\CLSID\\" + CLSID_TEXT + L"\\InprocServer32", nullptr, L"VelkorCredentialProvider.dll");
        if (GetFileAttributesW(PackagePath().c_str()) == INVALID_FILE_ATTRIBUTES)
        {
            HANDLE file = CreateFileW(PackagePath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
            ASSERT_NE(INVALID_HANDLE_VALUE, file);
            CloseHandle(file);
            _createdPackage = true;
        }
    }

    void CInstallation::Protect(DWORD runAsPpl) { testreg::SetDword(LSA_KEY, L"RunAsPPL", runAsPpl); }

    void CInstallation::Remove()
    {
        testreg::DeleteValue(MSV1_0, L"Auth0");
        testreg::DeleteValue(LSA_KEY, L"RunAsPPL");
        testreg::DeleteKey(AUTHENTICATION + L"Credential Providers\\" + CLSID_TEXT);
        testreg::DeleteKey(AUTHENTICATION + L"Credential Provider Filters\\" + CLSID_TEXT);
        testreg::DeleteKey(L"SOFTWARE\\Classes\\CLSID\\" + CLSID_TEXT);
        if (_createdPackage) DeleteFileW(PackagePath().c_str());
        _createdPackage = false;
    }
}
