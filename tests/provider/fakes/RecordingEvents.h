#pragma once
// The logon user interface's side of the events: records every call as a line of text.
#include "CredentialProviderApi.h"

#include <string>
#include <vector>

class CRecordingCredentialEvents final : public ICredentialProviderCredentialEvents, public ICredentialProviderEvents
{
public:
    std::vector<std::wstring> calls;
    // The credential named in the last notification, and in each one.
    ICredentialProviderCredential* lastCredential = nullptr;
    std::vector<ICredentialProviderCredential*> credentials;

    IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    IFACEMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++_lRefCount); }
    IFACEMETHODIMP_(ULONG) Release() override;
    LONG RefCount() const { return _lRefCount; }

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
    IFACEMETHODIMP CredentialsChanged(UINT_PTR upAdviseContext) override;

private:
    void Record(ICredentialProviderCredential* pcpc, const std::wstring& call);
    LONG _lRefCount = 1;
};
