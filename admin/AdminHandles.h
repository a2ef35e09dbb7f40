#pragma once
// Small owners for what the administration code opens, so every function can return early
// and still close it. COM pointers use WRL's ComPtr, as the credential provider does.
#include <windows.h>
#include <oleauto.h>

#include <wrl/client.h>

// A kernel handle (a process or thread token, say): closed when the owner goes.
class CKernelHandle
{
public:
    CKernelHandle() = default;
    ~CKernelHandle()
    {
        if (_h != nullptr) CloseHandle(_h);
    }
    CKernelHandle(const CKernelHandle&) = delete;
    CKernelHandle& operator=(const CKernelHandle&) = delete;
    HANDLE* Put() { return &_h; }
    HANDLE Get() const { return _h; }

private:
    HANDLE _h = nullptr;
};

// A service control manager or service handle.
class CServiceHandle
{
public:
    explicit CServiceHandle(SC_HANDLE h) : _h(h) {}
    ~CServiceHandle()
    {
        if (_h != nullptr) CloseServiceHandle(_h);
    }
    CServiceHandle(const CServiceHandle&) = delete;
    CServiceHandle& operator=(const CServiceHandle&) = delete;
    SC_HANDLE Get() const { return _h; }

private:
    SC_HANDLE _h;
};

// A BSTR handed to or received from an automation interface.
class CBstr
{
public:
    CBstr() = default;
    explicit CBstr(const wchar_t* psz) : _b(SysAllocString(psz)) {}
    ~CBstr() { SysFreeString(_b); }
    CBstr(const CBstr&) = delete;
    CBstr& operator=(const CBstr&) = delete;
    BSTR* Put() { return &_b; }
    BSTR Get() const { return _b; }

private:
    BSTR _b = nullptr;
};
