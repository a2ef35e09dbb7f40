#pragma once
// Wraps one tile of the system password provider: all of its fields, then a hidden
// recovery-code field and the link that reveals it. A typed recovery code is handed to
// the sub-authentication package through the user's `sec` value for the one logon.
#include "CredentialProviderApi.h"
#include "OwnFields.h"
#include "WrappedCredentialEvents.h"

#include <wrl/client.h>

class CVelkorCredential : public ICredentialProviderCredential
{
public:
    CVelkorCredential();

    // In the Credential UI scenario (UAC prompts, Run as) no logon result ever comes back
    // to the tile, and a password change never reaches the sub-authentication package: in
    // neither is the recovery code offered or handed over.
    HRESULT Initialize(const CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR* rgOwnFieldDescriptors,
                       const OWN_FIELD_STATE_PAIR* rgOwnFieldStates, ICredentialProviderCredential* pInnerCredential,
                       DWORD dwWrappedDescriptorCount, DWORD dwOwnFieldCount, CREDENTIAL_PROVIDER_USAGE_SCENARIO cpus);

    IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    IFACEMETHODIMP_(ULONG) AddRef() override;
    IFACEMETHODIMP_(ULONG) Release() override;

    IFACEMETHODIMP Advise(ICredentialProviderCredentialEvents* pcpce) override;
    IFACEMETHODIMP UnAdvise() override;
    IFACEMETHODIMP SetSelected(BOOL* pbAutoLogon) override;
    IFACEMETHODIMP SetDeselected() override;
    IFACEMETHODIMP GetFieldState(DWORD dwFieldID, CREDENTIAL_PROVIDER_FIELD_STATE* pcpfs,
                                 CREDENTIAL_PROVIDER_FIELD_INTERACTIVE_STATE* pcpfis) override;
    IFACEMETHODIMP GetStringValue(DWORD dwFieldID, LPWSTR* ppsz) override;
    IFACEMETHODIMP GetBitmapValue(DWORD dwFieldID, HBITMAP* phbmp) override;
    IFACEMETHODIMP GetCheckboxValue(DWORD dwFieldID, BOOL* pbChecked, LPWSTR* ppszLabel) override;
    IFACEMETHODIMP GetSubmitButtonValue(DWORD dwFieldID, DWORD* pdwAdjacentTo) override;
    IFACEMETHODIMP GetComboBoxValueCount(DWORD dwFieldID, DWORD* pcItems, DWORD* pdwSelectedItem) override;
    IFACEMETHODIMP GetComboBoxValueAt(DWORD dwFieldID, DWORD dwItem, LPWSTR* ppszItem) override;
    IFACEMETHODIMP SetStringValue(DWORD dwFieldID, LPCWSTR psz) override;
    IFACEMETHODIMP SetCheckboxValue(DWORD dwFieldID, BOOL bChecked) override;
    IFACEMETHODIMP SetComboBoxSelectedValue(DWORD dwFieldID, DWORD dwSelectedItem) override;
    IFACEMETHODIMP CommandLinkClicked(DWORD dwFieldID) override;
    IFACEMETHODIMP GetSerialization(CREDENTIAL_PROVIDER_GET_SERIALIZATION_RESPONSE* pcpgsr,
                                    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcs, LPWSTR* ppszOptionalStatusText,
                                    CREDENTIAL_PROVIDER_STATUS_ICON* pcpsiOptionalStatusIcon) override;
    IFACEMETHODIMP ReportResult(NTSTATUS ntsStatus, NTSTATUS ntsSubstatus, LPWSTR* ppszOptionalStatusText,
                                CREDENTIAL_PROVIDER_STATUS_ICON* pcpsiOptionalStatusIcon) override;

protected:
    virtual ~CVelkorCredential();

private:
    void DropEventsRelay();
    // Reads a field through GetStringValue; a failed read is the empty string.
    LPWSTR ReadField(DWORD dwFieldID);
    bool IsOwnField(DWORD dwFieldID) const;
    bool OffersRecovery() const { return _cpus != CPUS_CREDUI && _cpus != CPUS_CHANGE_PASSWORD; }
    // A typed code serves one submission: wiped from memory and from the tile.
    void ForgetRecoveryCode();

    LONG _lRefCount = 1;
    CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR _rgOwnFieldDescriptors[OWN_FIELD_COUNT] = {};
    OWN_FIELD_STATE_PAIR _rgOwnFieldStates[OWN_FIELD_COUNT] = {};
    LPWSTR _rgOwnFieldStrings[OWN_FIELD_COUNT] = {};
    Microsoft::WRL::ComPtr<CWrappedCredentialEvents> _pEventsRelay;
    Microsoft::WRL::ComPtr<ICredentialProviderCredentialEvents> _pUiEvents;
    Microsoft::WRL::ComPtr<ICredentialProviderCredential> _pInnerCredential;
    DWORD _dwWrappedDescriptorCount = 0;
    DWORD _dwOwnFieldCount = OWN_FIELD_COUNT_WITHOUT_HINT;
    BOOL _fSecWritten = FALSE;
    CREDENTIAL_PROVIDER_USAGE_SCENARIO _cpus = CPUS_INVALID;
};
