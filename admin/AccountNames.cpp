#include "AccountNames.h"

namespace
{
    class CHandle
    {
    public:
        CHandle() = default;
        ~CHandle()
        {
            if (_h != nullptr) CloseHandle(_h);
        }
        CHandle(const CHandle&) = delete;
        CHandle& operator=(const CHandle&) = delete;
        HANDLE* Put() { return &_h; }
        HANDLE Get() const { return _h; }

    private:
        HANDLE _h = nullptr;
    };

    constexpr DWORD DOMAIN_NAME_CHARS = 256;
}

DWORD GetRunningAccountName(wchar_t* pszName, DWORD cchName)
{
    if (pszName == nullptr || cchName == 0)
    {
        return ERROR_INVALID_PARAMETER;
    }
    pszName[0] = L'\0';
    CHandle token;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.Put()) &&
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put()))
    {
        return GetLastError();
    }
    // TOKEN_USER with a SID of the largest size fits in this buffer.
    alignas(TOKEN_USER) BYTE rgbUser[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    DWORD cbUser = 0;
    if (!GetTokenInformation(token.Get(), TokenUser, rgbUser, sizeof(rgbUser), &cbUser))
    {
        return GetLastError();
    }
    const auto* pUser = reinterpret_cast<const TOKEN_USER*>(rgbUser);
    wchar_t szDomain[DOMAIN_NAME_CHARS] = {};
    DWORD cchDomain = DOMAIN_NAME_CHARS;
    DWORD cchAccount = cchName;
    SID_NAME_USE use = SidTypeUnknown;
    if (!LookupAccountSidW(nullptr, pUser->User.Sid, pszName, &cchAccount, szDomain, &cchDomain, &use))
    {
        const DWORD error = GetLastError();
        pszName[0] = L'\0';
        return error;
    }
    return ERROR_SUCCESS;
}
