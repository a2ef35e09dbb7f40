#include "WrappedCredentialEvents.h"
#include "Dll.h"

#include <shlwapi.h>

// The inner credential may hold the relay after the wrapping credential is gone, and
// calls into it then: the module must stay loaded for as long as the relay lives.
CWrappedCredentialEvents::CWrappedCredentialEvents()
{
    ModuleAddRef();
}

CWrappedCredentialEvents::~CWrappedCredentialEvents()
{
    ModuleRelease();
}

void CWrappedCredentialEvents::Initialize(ICredentialProviderCredential* pOwnerCredential,
                                          ICredentialProviderCredentialEvents* pUiEvents)
{
    _pOwnerCredential = pOwnerCredential;
    _pUiEvents = pUiEvents;
}

HRESULT CWrappedCredentialEvents::Uninitialize()
{
    _pOwnerCredential = nullptr;
    _pUiEvents = nullptr;
    return S_OK;
}

IFACEMETHODIMP CWrappedCredentialEvents::QueryInterface(REFIID riid, void** ppv)
{
    static const QITAB qit[] = {
        QITABENT(CWrappedCredentialEvents, ICredentialProviderCredentialEvents),
        { nullptr, 0 },
    };
    return QISearch(this, qit, riid, ppv);
}

IFACEMETHODIMP_(ULONG) CWrappedCredentialEvents::AddRef()
{
    return static_cast<ULONG>(++_lRefCount);
}

IFACEMETHODIMP_(ULONG) CWrappedCredentialEvents::Release()
{
    const LONG lRefCount = --_lRefCount;
    if (lRefCount == 0)
    {
        delete this;
    }
    return static_cast<ULONG>(lRefCount);
}

IFACEMETHODIMP CWrappedCredentialEvents::SetFieldState(ICredentialProviderCredential*, DWORD dwFieldID,
                                                       CREDENTIAL_PROVIDER_FIELD_STATE cpfs)
{
    return IsAttached() ? _pUiEvents->SetFieldState(_pOwnerCredential, dwFieldID, cpfs) : E_FAIL;
}

IFACEMETHODIMP CWrappedCredentialEvents::SetFieldInteractiveState(ICredentialProviderCredential*, DWORD dwFieldID,
                                                                  CREDENTIAL_PROVIDER_FIELD_INTERACTIVE_STATE cpfis)
{
    return IsAttached() ? _pUiEvents->SetFieldInteractiveState(_pOwnerCredential, dwFieldID, cpfis) : E_FAIL;
}

IFACEMETHODIMP CWrappedCredentialEvents::SetFieldString(ICredentialProviderCredential*, DWORD dwFieldID, LPCWSTR psz)
{
    return IsAttached() ? _pUiEvents->SetFieldString(_pOwnerCredential, dwFieldID, psz) : E_FAIL;
}

IFACEMETHODIMP CWrappedCredentialEvents::SetFieldCheckbox(ICredentialProviderCredential*, DWORD dwFieldID, BOOL bChecked,
                                                          LPCWSTR pszLabel)
{
    return IsAttached() ? _pUiEvents->SetFieldCheckbox(_pOwnerCredential, dwFieldID, bChecked, pszLabel) : E_FAIL;
}

IFACEMETHODIMP CWrappedCredentialEvents::SetFieldBitmap(ICredentialProviderCredential*, DWORD dwFieldID, HBITMAP hbmp)
{
    return IsAttached() ? _pUiEvents->SetFieldBitmap(_pOwnerCredential, dwFieldID, hbmp) : E_FAIL;
}

IFACEMETHODIMP CWrappedCredentialEvents::SetFieldComboBoxSelectedItem(ICredentialProviderCredential*, DWORD dwFieldID,
                                                                      DWORD dwSelectedItem)
{
    return IsAttached() ? _pUiEvents->SetFieldComboBoxSelectedItem(_pOwnerCredential, dwFieldID, dwSelectedItem) : E_FAIL;
}

IFACEMETHODIMP CWrappedCredentialEvents::DeleteFieldComboBoxItem(ICredentialProviderCredential*, DWORD dwFieldID,
                                                                 DWORD dwItem)
{
    return IsAttached() ? _pUiEvents->DeleteFieldComboBoxItem(_pOwnerCredential, dwFieldID, dwItem) : E_FAIL;
}

IFACEMETHODIMP CWrappedCredentialEvents::AppendFieldComboBoxItem(ICredentialProviderCredential*, DWORD dwFieldID,
                                                                 LPCWSTR pszItem)
{
    return IsAttached() ? _pUiEvents->AppendFieldComboBoxItem(_pOwnerCredential, dwFieldID, pszItem) : E_FAIL;
}

IFACEMETHODIMP CWrappedCredentialEvents::SetFieldSubmitButton(ICredentialProviderCredential*, DWORD dwFieldID,
                                                              DWORD dwAdjacentTo)
{
    return IsAttached() ? _pUiEvents->SetFieldSubmitButton(_pOwnerCredential, dwFieldID, dwAdjacentTo) : E_FAIL;
}

IFACEMETHODIMP CWrappedCredentialEvents::OnCreatingWindow(HWND* phwndOwner)
{
    return IsAttached() ? _pUiEvents->OnCreatingWindow(phwndOwner) : E_FAIL;
}
