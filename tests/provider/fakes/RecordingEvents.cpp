#include "RecordingEvents.h"

#include <shlwapi.h>

IFACEMETHODIMP CRecordingCredentialEvents::QueryInterface(REFIID riid, void** ppv)
{
    static const QITAB qit[] = {
        QITABENT(CRecordingCredentialEvents, ICredentialProviderCredentialEvents),
        QITABENT(CRecordingCredentialEvents, ICredentialProviderEvents),
        { nullptr, 0 },
    };
    return QISearch(this, qit, riid, ppv);
}

IFACEMETHODIMP_(ULONG) CRecordingCredentialEvents::Release()
{
    const LONG count = --_lRefCount;
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

void CRecordingCredentialEvents::Record(ICredentialProviderCredential* pcpc, const std::wstring& call)
{
    lastCredential = pcpc;
    credentials.push_back(pcpc);
    calls.push_back(call);
}

IFACEMETHODIMP CRecordingCredentialEvents::SetFieldState(ICredentialProviderCredential* pcpc, DWORD dwFieldID,
                                                         CREDENTIAL_PROVIDER_FIELD_STATE cpfs)
{
    Record(pcpc, L"SetFieldState " + std::to_wstring(dwFieldID) + L" " + std::to_wstring(cpfs));
    return S_OK;
}

IFACEMETHODIMP CRecordingCredentialEvents::SetFieldInteractiveState(ICredentialProviderCredential* pcpc, DWORD dwFieldID,
                                                                    CREDENTIAL_PROVIDER_FIELD_INTERACTIVE_STATE cpfis)
{
    Record(pcpc, L"SetFieldInteractiveState " + std::to_wstring(dwFieldID) + L" " + std::to_wstring(cpfis));
    return S_OK;
}

IFACEMETHODIMP CRecordingCredentialEvents::SetFieldString(ICredentialProviderCredential* pcpc, DWORD dwFieldID, LPCWSTR psz)
{
    Record(pcpc, L"SetFieldString " + std::to_wstring(dwFieldID) + L" " + (psz != nullptr ? psz : L"(null)"));
    return S_OK;
}

IFACEMETHODIMP CRecordingCredentialEvents::SetFieldCheckbox(ICredentialProviderCredential* pcpc, DWORD dwFieldID,
                                                            BOOL bChecked, LPCWSTR pszLabel)
{
    Record(pcpc, L"SetFieldCheckbox " + std::to_wstring(dwFieldID) + L" " + std::to_wstring(bChecked) + L" " +
                     (pszLabel != nullptr ? pszLabel : L"(null)"));
    return S_OK;
}

IFACEMETHODIMP CRecordingCredentialEvents::SetFieldBitmap(ICredentialProviderCredential* pcpc, DWORD dwFieldID, HBITMAP)
{
    Record(pcpc, L"SetFieldBitmap " + std::to_wstring(dwFieldID));
    return S_OK;
}

IFACEMETHODIMP CRecordingCredentialEvents::SetFieldComboBoxSelectedItem(ICredentialProviderCredential* pcpc,
                                                                        DWORD dwFieldID, DWORD dwSelectedItem)
{
    Record(pcpc, L"SetFieldComboBoxSelectedItem " + std::to_wstring(dwFieldID) + L" " + std::to_wstring(dwSelectedItem));
    return S_OK;
}

IFACEMETHODIMP CRecordingCredentialEvents::DeleteFieldComboBoxItem(ICredentialProviderCredential* pcpc, DWORD dwFieldID,
                                                                   DWORD dwItem)
{
    Record(pcpc, L"DeleteFieldComboBoxItem " + std::to_wstring(dwFieldID) + L" " + std::to_wstring(dwItem));
    return S_OK;
}

IFACEMETHODIMP CRecordingCredentialEvents::AppendFieldComboBoxItem(ICredentialProviderCredential* pcpc, DWORD dwFieldID,
                                                                   LPCWSTR pszItem)
{
    Record(pcpc, L"AppendFieldComboBoxItem " + std::to_wstring(dwFieldID) + L" " + (pszItem != nullptr ? pszItem : L""));
    return S_OK;
}

IFACEMETHODIMP CRecordingCredentialEvents::SetFieldSubmitButton(ICredentialProviderCredential* pcpc, DWORD dwFieldID,
                                                                DWORD dwAdjacentTo)
{
    Record(pcpc, L"SetFieldSubmitButton " + std::to_wstring(dwFieldID) + L" " + std::to_wstring(dwAdjacentTo));
    return S_OK;
}

IFACEMETHODIMP CRecordingCredentialEvents::OnCreatingWindow(HWND* phwndOwner)
{
    calls.push_back(L"OnCreatingWindow");
    if (phwndOwner != nullptr) *phwndOwner = nullptr;
    return S_OK;
}

IFACEMETHODIMP CRecordingCredentialEvents::CredentialsChanged(UINT_PTR upAdviseContext)
{
    calls.push_back(L"CredentialsChanged " + std::to_wstring(upAdviseContext));
    return S_OK;
}
