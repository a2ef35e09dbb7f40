#pragma once
// Hands out the provider or the filter behind the one class identifier, chosen by the
// interface the caller asks for.
#include <windows.h>
#include <unknwn.h>

class CClassFactory final : public IClassFactory
{
public:
    CClassFactory();

    IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    IFACEMETHODIMP_(ULONG) AddRef() override;
    IFACEMETHODIMP_(ULONG) Release() override;
    IFACEMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override;
    IFACEMETHODIMP LockServer(BOOL fLock) override;

private:
    ~CClassFactory();

    LONG _lRefCount = 1;
};
