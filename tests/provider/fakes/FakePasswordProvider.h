#pragma once
// A stand-in for the system password provider, with the field layout the wrapper relies
// on: 0 a display text, 1 the user name, 2 the password, 3 the submit button.
#include "CredentialProviderApi.h"

#include <string>
#include <vector>

enum FAKE_FIELD : DWORD
{
    FAKE_FIELD_DISPLAY = 0,
    FAKE_FIELD_USER_NAME = 1,
    FAKE_FIELD_PASSWORD = 2,
    FAKE_FIELD_SUBMIT = 3,
    FAKE_FIELD_COUNT = 4,
};

constexpr ULONG FAKE_AUTHENTICATION_PACKAGE = 0x00FA4E01;

struct FakePasswordConfig
{
    std::vector<std::wstring> users{ L"alice" };
    bool refuseScenario = false;        // SetUsageScenario answers E_NOTIMPL
    bool failGetCredentialAt = false;   // GetCredentialAt answers E_FAIL
    bool failSerialization = false;     // GetSerialization answers E_FAIL
    bool autoLogonOnSelect = false;     // SetSelected asks for auto-logon
    DWORD defaultTile = CREDENTIAL_PROVIDER_NO_DEFAULT;
    BOOL autoLogonWithDefault = FALSE;
};

struct FakeReportedResult
{
    NTSTATUS status;
    NTSTATUS substatus;
    std::wstring user;
};

FakePasswordConfig& FakeConfig();
std::vector<FakeReportedResult>& FakeReportedResults();
// Live fake objects; 0 once everything has been released.
LONG FakeLiveObjects();
// Reads the configuration from VELKOR_FAKE_PASSWORD_TILES (comma-separated user names)
// and VELKOR_FAKE_PASSWORD_FAIL (scenario, credentialat, serialization, zerotiles).
void FakeConfigureFromEnvironment();

// The serialization a tile of the fake produces: "FAKE:<user>:<password>" as UTF-16.
std::wstring FakeSerializationText(const CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION& serialization);

class CFakePasswordCredential final : public ICredentialProviderCredential
{
public:
    explicit CFakePasswordCredential(const std::wstring& user);

    // Sends a field notification through the sink it was given, as the real tile does
    // when it changes a field by itself.
    HRESULT NotifyFieldString(DWORD dwFieldID, LPCWSTR psz);
    ICredentialProviderCredentialEvents* Sink() const { return _pEvents; }

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

private:
    ~CFakePasswordCredential();

    LONG _lRefCount = 1;
    std::wstring _user;
    std::wstring _password;
    ICredentialProviderCredentialEvents* _pEvents = nullptr;
};

class CFakePasswordProvider final : public ICredentialProvider
{
public:
    CFakePasswordProvider();

    IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    IFACEMETHODIMP_(ULONG) AddRef() override;
    IFACEMETHODIMP_(ULONG) Release() override;
    IFACEMETHODIMP SetUsageScenario(CREDENTIAL_PROVIDER_USAGE_SCENARIO cpus, DWORD dwFlags) override;
    IFACEMETHODIMP SetSerialization(const CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcs) override;
    IFACEMETHODIMP Advise(ICredentialProviderEvents* pcpe, UINT_PTR upAdviseContext) override;
    IFACEMETHODIMP UnAdvise() override;
    IFACEMETHODIMP GetFieldDescriptorCount(DWORD* pdwCount) override;
    IFACEMETHODIMP GetFieldDescriptorAt(DWORD dwIndex, CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR** ppcpfd) override;
    IFACEMETHODIMP GetCredentialCount(DWORD* pdwCount, DWORD* pdwDefault, BOOL* pbAutoLogonWithDefault) override;
    IFACEMETHODIMP GetCredentialAt(DWORD dwIndex, ICredentialProviderCredential** ppcpc) override;

    ICredentialProviderEvents* Events() const { return _pEvents; }

private:
    ~CFakePasswordProvider();

    LONG _lRefCount = 1;
    std::vector<CFakePasswordCredential*> _credentials;
    ICredentialProviderEvents* _pEvents = nullptr;
};

// A class factory for the fake, for CoRegisterClassObject or a DLL's DllGetClassObject.
class CFakePasswordProviderFactory final : public IClassFactory
{
public:
    IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    IFACEMETHODIMP_(ULONG) AddRef() override;
    IFACEMETHODIMP_(ULONG) Release() override;
    IFACEMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override;
    IFACEMETHODIMP LockServer(BOOL) override { return S_OK; }

private:
    LONG _lRefCount = 1;
};
