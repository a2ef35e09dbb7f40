#pragma once
// Relays field notifications of a wrapped password credential to the logon user
// interface, naming the wrapping credential instead of the inner one.
#include "CredentialProviderApi.h"

class CWrappedCredentialEvents final : public ICredentialProviderCredentialEvents
{
public:
    CWrappedCredentialEvents();

    // Neither pointer is counted: the wrapping credential owns both and detaches the
    // relay before it lets them go.
    void Initialize(ICredentialProviderCredential* pOwnerCredential, ICredentialProviderCredentialEvents* pUiEvents);
    HRESULT Uninitialize();

    IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    IFACEMETHODIMP_(ULONG) AddRef() override;
    IFACEMETHODIMP_(ULONG) Release() override;

    IFACEMETHODIMP SetFieldState(ICredentialProviderCredential* pcpc, DWORD dwFieldID,
                                 CREDENTIAL_PROVIDER_FIELD_STATE cpfs) override;
    IFACEMETHODIMP SetFieldInteractiveState(ICredentialProviderCredential* pcpc, DWORD dwFieldID,
                                            CREDENTIAL_PROVIDER_FIELD_INTERACTIVE_STATE cpfis) override;
    IFACEMETHODIMP SetFieldString(ICredentialProviderCredential* pcpc, DWORD dwFieldID, LPCWSTR psz) override;
    IFACEMETHODIMP SetFieldCheckbox(ICredentialProviderCredential* pcpc, DWORD dwFieldID, BOOL bChecked,
                                    LPCWSTR pszLabel) override;
    IFACEMETHODIMP SetFieldBitmap(ICredentialProviderCredential* pcpc, DWORD dwFieldID, HBITMAP hbmp) override;
    IFACEMETHODIMP SetFieldComboBoxSelectedItem(ICredentialProviderCredential* pcpc, DWORD dwFieldID,
                                                DWORD dwSelectedItem) override;
    IFACEMETHODIMP DeleteFieldComboBoxItem(ICredentialProviderCredential* pcpc, DWORD dwFieldID, DWORD dwItem) override;
    IFACEMETHODIMP AppendFieldComboBoxItem(ICredentialProviderCredential* pcpc, DWORD dwFieldID, LPCWSTR pszItem) override;
    IFACEMETHODIMP SetFieldSubmitButton(ICredentialProviderCredential* pcpc, DWORD dwFieldID, DWORD dwAdjacentTo) override;
    IFACEMETHODIMP OnCreatingWindow(HWND* phwndOwner) override;

private:
    ~CWrappedCredentialEvents();
    bool IsAttached() const { return _pOwnerCredential != nullptr && _pUiEvents != nullptr; }

    LONG _lRefCount = 1;
    ICredentialProviderCredential* _pOwnerCredential = nullptr;
    ICredentialProviderCredentialEvents* _pUiEvents = nullptr;
};
