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
