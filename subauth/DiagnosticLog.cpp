#include "DiagnosticLog.h"
#include "LogFormat.h"

#include <ctime>

const wchar_t LOG_FILE_PATH[] = L"C:\\Velkor.txt";

namespace
{
    // Logons of this process take turns at the file, so none of them loses a line to
    // another; a writer outside the process is waited for this long per line.
    SRWLOCK g_logFileLock = SRWLOCK_INIT;
    constexpr ULONGLONG FOREIGN_WRITER_PATIENCE_MS = 50;
    constexpr DWORD RETRY_PAUSE_MS = 2;

    // The log holds typed recovery codes, so a file the package creates is readable by
    // SYSTEM and Administrators only. Built on the stack: nothing to allocate or free.
    class CLogFileSecurity
    {
    public:
        CLogFileSecurity()
        {
            DWORD cbSystem = sizeof(_rgbSystemSid);
            DWORD cbAdmins = sizeof(_rgbAdminsSid);
            _fValid = CreateWellKnownSid(WinLocalSystemSid, nullptr, _rgbSystemSid, &cbSystem) &&
                      CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, _rgbAdminsSid, &cbAdmins) &&
                      InitializeAcl(reinterpret_cast<PACL>(_rgbAcl), sizeof(_rgbAcl), ACL_REVISION) &&
                      AddAccessAllowedAce(reinterpret_cast<PACL>(_rgbAcl), ACL_REVISION, FILE_ALL_ACCESS, _rgbSystemSid) &&
                      AddAccessAllowedAce(reinterpret_cast<PACL>(_rgbAcl), ACL_REVISION, FILE_ALL_ACCESS, _rgbAdminsSid) &&
                      InitializeSecurityDescriptor(&_descriptor, SECURITY_DESCRIPTOR_REVISION) &&
                      SetSecurityDescriptorDacl(&_descriptor, TRUE, reinterpret_cast<PACL>(_rgbAcl), FALSE) &&
                      SetSecurityDescriptorControl(&_descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
            _attributes.nLength = sizeof(_attributes);
            _attributes.lpSecurityDescriptor = &_descriptor;
            _attributes.bInheritHandle = FALSE;
        }

        SECURITY_ATTRIBUTES* Get() { return _fValid ? &_attributes : nullptr; }

    private:
        alignas(DWORD) BYTE _rgbSystemSid[SECURITY_MAX_SID_SIZE] = {};
        alignas(DWORD) BYTE _rgbAdminsSid[SECURITY_MAX_SID_SIZE] = {};
        alignas(DWORD) BYTE _rgbAcl[sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE)] = {};
        SECURITY_DESCRIPTOR _descriptor = {};
        SECURITY_ATTRIBUTES _attributes = {};
        bool _fValid = false;
    };

    class CLogFileTurn
    {
    public:
        CLogFileTurn() { AcquireSRWLockExclusive(&g_logFileLock); }
        ~CLogFileTurn() { ReleaseSRWLockExclusive(&g_logFileLock); }
        CLogFileTurn(const CLogFileTurn&) = delete;
        CLogFileTurn& operator=(const CLogFileTurn&) = delete;
    };

    // The file opened for appending. Another process that holds it (an editor, a second
    // copy of the package) is waited for a bounded time; other failures end at once.
    HANDLE OpenLogFile(SECURITY_ATTRIBUTES* pSecurity)
    {
        const ULONGLONG start = GetTickCount64();
        for (;;)
        {
            HANDLE hFile = CreateFileW(LOG_FILE_PATH, GENERIC_WRITE, 0, pSecurity, OPEN_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
            if (hFile != INVALID_HANDLE_VALUE)
            {
                return hFile;
            }
            const DWORD error = GetLastError();
            if ((error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) ||
                GetTickCount64() - start >= FOREIGN_WRITER_PATIENCE_MS)
            {
                return INVALID_HANDLE_VALUE;
            }
            Sleep(RETRY_PAUSE_MS);
        }
    }
}

bool CLogonLog::Write(const wchar_t* pszText)
{
    if (!_fEnabled)
    {
        return true;
    }
    if (_pGate == nullptr)
    {
        return WriteFileText(pszText);
    }
    if (!_pGate->Enter())
    {
        return false;
    }
    const bool fWritten = WriteFileText(pszText);
    _pGate->Leave();
    return fWritten;
}

bool CLogonLog::WriteFileText(const wchar_t* pszText)
{
    CLogFileSecurity security;
    if (security.Get() == nullptr)
    {
        return false; // never create the file readable by everybody
    }
    CLogFileTurn turn;
    HANDLE hFile = OpenLogFile(security.Get());
    if (hFile == INVALID_HANDLE_VALUE)
    {
        return false;
    }
    SetFilePointer(hFile, 0, nullptr, FILE_END);
    const int cch = lstrlenW(pszText);
    DWORD cbWritten = 0;
    WriteFile(hFile, pszText, static_cast<DWORD>(cch) * sizeof(wchar_t), &cbWritten, nullptr);
    CloseHandle(hFile);
    return true;
}

void CLogonLog::WriteHeader()
{
    if (!_fEnabled)
    {
        return;
    }
    wchar_t szHeader[LOG_HEADER_CHARS + 1] = {};
    const time_t now = time(nullptr);
    struct tm localTime = {};
    if (localtime_s(&localTime, &now) == 0)
    {
        FormatLogHeader(localTime, szHeader);
    }
    Write(szHeader);
    Write(L"\r\n");
}
