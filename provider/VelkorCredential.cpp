#include "VelkorCredential.h"
#include "ConfigStore.h"
#include "Dll.h"
#include "WrappedCredentialEvents.h"

#include <shlwapi.h>

#include <cwchar>
#include <new>

namespace
{
    // The password provider's field that holds the account name of the tile's user.
    constexpr DWORD USER_NAME_FIELD = 1;
    constexpr DWORD DISPLAY_FIELD = 0;
    constexpr size_t TRACE_CHARS = 1024;

    struct STATUS_MESSAGE
    {
        DWORD dwStatus;
        const wchar_t* pszMessage;
    };

    const STATUS_MESSAGE s_rgStatusMessages[] = {
        { 0xFFFF0011, L"FIDO2 Logon failed, insert Velkor FIDO2 Token" },
        { 0xFFFF0012, L"More than one token detected; remove all tokens and insert one for logon" },
        { 0xFFFF0013, L"Token communication error; please retry" },
        { 0xFFFF0015, L"Token does not have information about this user" },
        { 0xFFFF0016, L"Recovery key not set or invalid recovery key" },
        { 0xFFFF0017, L"Token could not prove it is the registered key" },
    };

    template <typename T>
    void TraceFormatted(const wchar_t* pszFormat, T argument)
    {
        wchar_t szText[TRACE_CHARS];
        if (swprintf(szText, TRACE_CHARS, pszFormat, argument) < 0)
        {
            szText[TRACE_CHARS - 1] = L'\0';
        }
        Trace(szText);
    }

    // Task-memory string owner for values read from fields.
    class CTaskString
    {
    public:
        explicit CTaskString(LPWSTR psz) : _psz(psz) {}
        ~CTaskString() { CoTaskMemFree(_psz); }
        CTaskString(const CTaskString&) = delete;
        CTaskString& operator=(const CTaskString&) = delete;
        const wchar_t* Get() const { return _psz != nullptr ? _psz : L""; }

    private:
        LPWSTR _psz;
    };

    void WipeTaskString(LPWSTR psz)
    {
        if (psz != nullptr)
        {
            SecureZeroMemory(psz, wcslen(psz) * sizeof(wchar_t));
        }
    }
}

CVelkorCredential::CVelkorCredential()
{
    Trace(L"CVelkorCredential()");
    ModuleAddRef();
}

CVelkorCredential::~CVelkorCredential()
{
    Trace(L"~CVelkorCredential()");
    WipeTaskString(_rgOwnFieldStrings[OWN_FIELD_RECOVERY_CODE]);
    for (DWORD i = 0; i < OWN_FIELD_COUNT; ++i)
    {
        CoTaskMemFree(_rgOwnFieldStrings[i]);
        _rgOwnFieldStrings[i] = nullptr;
        CoTaskMemFree(_rgOwnFieldDescriptors[i].pszLabel);
        _rgOwnFieldDescriptors[i].pszLabel = nullptr;
    }
    DropEventsRelay();
    _pUiEvents.Reset();
    _pInnerCredential.Reset();
    ModuleRelease();
}

HRESULT CVelkorCredential::Initialize(const CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR* rgOwnFieldDescriptors,
                                      const OWN_FIELD_STATE_PAIR* rgOwnFieldStates,
                                      ICredentialProviderCredential* pInnerCredential, DWORD dwWrappedDescriptorCount,
                                      DWORD dwOwnFieldCount, CREDENTIAL_PROVIDER_USAGE_SCENARIO cpus)
{
    Trace(L"CVelkorCredential()::Initialize");
    _pInnerCredential = pInnerCredential;
    _cpus = cpus;
    _dwWrappedDescriptorCount = dwWrappedDescriptorCount;
    _dwOwnFieldCount = dwOwnFieldCount <= OWN_FIELD_COUNT ? dwOwnFieldCount : OWN_FIELD_COUNT;
    TraceFormatted(L"_dwWrappedDescriptorCount = %d", static_cast<int>(dwWrappedDescriptorCount));

    for (DWORD i = 0; i < _dwOwnFieldCount; ++i)
    {
        _rgOwnFieldStates[i] = rgOwnFieldStates[i];
        // The touch hint stands wherever a logon follows; no logon follows a password change.
        const bool fShown = i == OWN_FIELD_TOUCH_HINT ? _cpus != CPUS_CHANGE_PASSWORD : OffersRecovery();
        if (!fShown)
        {
            _rgOwnFieldStates[i].cpfs = CPFS_HIDDEN;
        }
        CoTaskMemFree(_rgOwnFieldDescriptors[i].pszLabel);
        const HRESULT hr = CopyFieldDescriptor(rgOwnFieldDescriptors[i], &_rgOwnFieldDescriptors[i]);
        if (FAILED(hr))
        {
            return hr;
        }
    }

    {
        CTaskString displayName(ReadField(DISPLAY_FIELD));
        TraceFormatted(L"User: %ls", displayName.Get());
        Trace(IsUserEnabled(displayName.Get()) ? L"FIDO2 logon enabled" : L"FIDO2 logon not enabled");
    }

    CoTaskMemFree(_rgOwnFieldStrings[OWN_FIELD_RECOVERY_LINK]);
    _rgOwnFieldStrings[OWN_FIELD_RECOVERY_LINK] = nullptr;
    HRESULT hr = SHStrDupW(RECOVERY_LINK_TEXT, &_rgOwnFieldStrings[OWN_FIELD_RECOVERY_LINK]);
    if (FAILED(hr))
    {
        return hr;
    }
    WipeTaskString(_rgOwnFieldStrings[OWN_FIELD_RECOVERY_CODE]);
    CoTaskMemFree(_rgOwnFieldStrings[OWN_FIELD_RECOVERY_CODE]);
    _rgOwnFieldStrings[OWN_FIELD_RECOVERY_CODE] = nullptr;
    hr = SHStrDupW(L"", &_rgOwnFieldStrings[OWN_FIELD_RECOVERY_CODE]);
    if (SUCCEEDED(hr) && _dwOwnFieldCount > OWN_FIELD_TOUCH_HINT)
    {
        CoTaskMemFree(_rgOwnFieldStrings[OWN_FIELD_TOUCH_HINT]);
        _rgOwnFieldStrings[OWN_FIELD_TOUCH_HINT] = nullptr;
        hr = SHStrDupW(TOUCH_HINT_TEXT, &_rgOwnFieldStrings[OWN_FIELD_TOUCH_HINT]);
    }
    return hr;
}

IFACEMETHODIMP CVelkorCredential::QueryInterface(REFIID riid, void** ppv)
{
    static const QITAB qit[] = {
        QITABENT(CVelkorCredential, ICredentialProviderCredential),
        { nullptr, 0 },
    };
    return QISearch(this, qit, riid, ppv);
}

IFACEMETHODIMP_(ULONG) CVelkorCredential::AddRef()
{
    return static_cast<ULONG>(++_lRefCount);
}

IFACEMETHODIMP_(ULONG) CVelkorCredential::Release()
{
    const LONG lRefCount = --_lRefCount;
    if (lRefCount == 0)
    {
        delete this;
    }
    return static_cast<ULONG>(lRefCount);
}

void CVelkorCredential::DropEventsRelay()
{
    if (_pEventsRelay != nullptr)
    {
        // Detached first: the inner credential may hold the relay beyond this point.
        _pEventsRelay->Uninitialize();
        _pEventsRelay.Reset();
    }
}

void CVelkorCredential::ForgetRecoveryCode()
{
    LPWSTR& pszCode = _rgOwnFieldStrings[OWN_FIELD_RECOVERY_CODE];
    if (pszCode == nullptr || pszCode[0] == L'\0')
    {
        return;
    }
    WipeTaskString(pszCode);
    // The empty string lives in the same block: emptying never needs an allocation.
    pszCode[0] = L'\0';
    if (_pUiEvents != nullptr)
    {
        _pUiEvents->SetFieldString(this, _dwWrappedDescriptorCount + OWN_FIELD_RECOVERY_CODE, L"");
    }
}

bool CVelkorCredential::IsOwnField(DWORD dwFieldID) const
{
    return dwFieldID >= _dwWrappedDescriptorCount && dwFieldID - _dwWrappedDescriptorCount < _dwOwnFieldCount;
}

LPWSTR CVelkorCredential::ReadField(DWORD dwFieldID)
{
    LPWSTR psz = nullptr;
    if (FAILED(GetStringValue(dwFieldID, &psz)))
    {
        return nullptr;
    }
    return psz;
}

IFACEMETHODIMP CVelkorCredential::Advise(ICredentialProviderCredentialEvents* pcpce)
{
    Trace(L"CVelkorCredential()::Advise");
    DropEventsRelay();
    _pUiEvents = pcpce;
    // The owner takes its own reference and the creation reference is dropped: mingw-w64's
    // ComPtr::Attach adds a reference where the SDK's does not, so it is not used.
    CWrappedCredentialEvents* pRelay = new (std::nothrow) CWrappedCredentialEvents();
    if (pRelay == nullptr)
    {
        return E_OUTOFMEMORY;
    }
    _pEventsRelay = pRelay;
    pRelay->Release();
    _pEventsRelay->Initialize(this, _pUiEvents.Get());
    return _pInnerCredential != nullptr ? _pInnerCredential->Advise(_pEventsRelay.Get()) : S_OK;
}

IFACEMETHODIMP CVelkorCredential::UnAdvise()
{
    Trace(L"CVelkorCredential()::UnAdvise");
    if (_pInnerCredential != nullptr)
    {
        _pInnerCredential->UnAdvise();
    }
    DropEventsRelay();
    _pUiEvents.Reset();
    return S_OK;
}

IFACEMETHODIMP CVelkorCredential::SetSelected(BOOL* pbAutoLogon)
{
    Trace(L"CVelkorCredential()::SetSelected");
    HRESULT hr = E_UNEXPECTED;
    if (_pInnerCredential != nullptr)
    {
        hr = _pInnerCredential->SetSelected(pbAutoLogon);
    }
    // A wrapped tile never logs on by itself when selected.
    if (pbAutoLogon != nullptr)
    {
        *pbAutoLogon = FALSE;
    }
    return hr;
}

IFACEMETHODIMP CVelkorCredential::SetDeselected()
{
    Trace(L"CVelkorCredential()::SetDeselected");
    ForgetRecoveryCode();
    return _pInnerCredential != nullptr ? _pInnerCredential->SetDeselected() : E_UNEXPECTED;
}

IFACEMETHODIMP CVelkorCredential::GetFieldState(DWORD dwFieldID, CREDENTIAL_PROVIDER_FIELD_STATE* pcpfs,
                                                CREDENTIAL_PROVIDER_FIELD_INTERACTIVE_STATE* pcpfis)
{
    if (_pInnerCredential == nullptr)
    {
        return E_UNEXPECTED;
    }
    if (pcpfs == nullptr || pcpfis == nullptr)
    {
        return E_INVALIDARG;
    }
    if (dwFieldID < _dwWrappedDescriptorCount)
    {
        return _pInnerCredential->GetFieldState(dwFieldID, pcpfs, pcpfis);
    }
    if (!IsOwnField(dwFieldID))
    {
        return E_INVALIDARG;
    }
    const OWN_FIELD_STATE_PAIR& state = _rgOwnFieldStates[dwFieldID - _dwWrappedDescriptorCount];
    *pcpfs = state.cpfs;
    *pcpfis = state.cpfis;
    return S_OK;
}

IFACEMETHODIMP CVelkorCredential::GetStringValue(DWORD dwFieldID, LPWSTR* ppsz)
{
    if (_pInnerCredential == nullptr)
    {
        return E_UNEXPECTED;
    }
    if (dwFieldID < _dwWrappedDescriptorCount)
    {
        return _pInnerCredential->GetStringValue(dwFieldID, ppsz);
    }
    if (!IsOwnField(dwFieldID) || ppsz == nullptr)
    {
        return E_INVALIDARG;
    }
    const wchar_t* pszValue = _rgOwnFieldStrings[dwFieldID - _dwWrappedDescriptorCount];
    return SHStrDupW(pszValue != nullptr ? pszValue : L"", ppsz);
}

IFACEMETHODIMP CVelkorCredential::GetBitmapValue(DWORD dwFieldID, HBITMAP* phbmp)
{
    return _pInnerCredential != nullptr ? _pInnerCredential->GetBitmapValue(dwFieldID, phbmp) : E_UNEXPECTED;
}

IFACEMETHODIMP CVelkorCredential::GetCheckboxValue(DWORD dwFieldID, BOOL* pbChecked, LPWSTR* ppszLabel)
{
    if (_pInnerCredential == nullptr || dwFieldID >= _dwWrappedDescriptorCount)
    {
        return E_UNEXPECTED;
    }
    return _pInnerCredential->GetCheckboxValue(dwFieldID, pbChecked, ppszLabel);
}

IFACEMETHODIMP CVelkorCredential::GetSubmitButtonValue(DWORD dwFieldID, DWORD* pdwAdjacentTo)
{
    return _pInnerCredential != nullptr ? _pInnerCredential->GetSubmitButtonValue(dwFieldID, pdwAdjacentTo)
                                        : E_UNEXPECTED;
}

IFACEMETHODIMP CVelkorCredential::GetComboBoxValueCount(DWORD dwFieldID, DWORD* pcItems, DWORD* pdwSelectedItem)
{
    if (_pInnerCredential == nullptr || dwFieldID >= _dwWrappedDescriptorCount)
    {
        return E_UNEXPECTED;
    }
    return _pInnerCredential->GetComboBoxValueCount(dwFieldID, pcItems, pdwSelectedItem);
}

IFACEMETHODIMP CVelkorCredential::GetComboBoxValueAt(DWORD dwFieldID, DWORD dwItem, LPWSTR* ppszItem)
{
    if (_pInnerCredential == nullptr || dwFieldID >= _dwWrappedDescriptorCount)
    {
        return E_UNEXPECTED;
    }
    return _pInnerCredential->GetComboBoxValueAt(dwFieldID, dwItem, ppszItem);
}

IFACEMETHODIMP CVelkorCredential::SetStringValue(DWORD dwFieldID, LPCWSTR psz)
{
    if (_pInnerCredential == nullptr)
    {
        return E_UNEXPECTED;
    }
    if (dwFieldID < _dwWrappedDescriptorCount)
    {
        return _pInnerCredential->SetStringValue(dwFieldID, psz);
    }
    if (dwFieldID - _dwWrappedDescriptorCount != OWN_FIELD_RECOVERY_CODE)
    {
        return E_UNEXPECTED;
    }
    WipeTaskString(_rgOwnFieldStrings[OWN_FIELD_RECOVERY_CODE]);
    CoTaskMemFree(_rgOwnFieldStrings[OWN_FIELD_RECOVERY_CODE]);
    _rgOwnFieldStrings[OWN_FIELD_RECOVERY_CODE] = nullptr;
    return SHStrDupW(psz != nullptr ? psz : L"", &_rgOwnFieldStrings[OWN_FIELD_RECOVERY_CODE]);
}

IFACEMETHODIMP CVelkorCredential::SetCheckboxValue(DWORD dwFieldID, BOOL bChecked)
{
    return _pInnerCredential != nullptr ? _pInnerCredential->SetCheckboxValue(dwFieldID, bChecked) : E_UNEXPECTED;
}

IFACEMETHODIMP CVelkorCredential::SetComboBoxSelectedValue(DWORD dwFieldID, DWORD dwSelectedItem)
{
    if (_pInnerCredential == nullptr || dwFieldID >= _dwWrappedDescriptorCount)
    {
        return E_UNEXPECTED;
    }
    return _pInnerCredential->SetComboBoxSelectedValue(dwFieldID, dwSelectedItem);
}

IFACEMETHODIMP CVelkorCredential::CommandLinkClicked(DWORD dwFieldID)
{
    if (_pInnerCredential == nullptr)
    {
        return E_UNEXPECTED;
    }
    if (dwFieldID < _dwWrappedDescriptorCount)
    {
        return _pInnerCredential->CommandLinkClicked(dwFieldID);
    }
    // Without a sink (before Advise or after UnAdvise) there is nobody to show the field;
    // where recovery is not offered there is no field to show.
    if (_pUiEvents == nullptr || !OffersRecovery())
    {
        return E_UNEXPECTED;
    }
    return _pUiEvents->SetFieldState(this, _dwWrappedDescriptorCount + OWN_FIELD_RECOVERY_CODE,
                                     CPFS_DISPLAY_IN_SELECTED_TILE);
}

IFACEMETHODIMP CVelkorCredential::GetSerialization(CREDENTIAL_PROVIDER_GET_SERIALIZATION_RESPONSE* pcpgsr,
                                                   CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* pcpcs,
                                                   LPWSTR* ppszOptionalStatusText,
                                                   CREDENTIAL_PROVIDER_STATUS_ICON* pcpsiOptionalStatusIcon)
{
    if (_pInnerCredential == nullptr)
    {
        return E_UNEXPECTED;
    }
    bool fWroteNow = false;
    const wchar_t* pszCode = _rgOwnFieldStrings[OWN_FIELD_RECOVERY_CODE];
    if (OffersRecovery() && pszCode != nullptr && pszCode[0] != L'\0')
    {
        CTaskString userName(ReadField(USER_NAME_FIELD));
        if (IsUserEnabled(userName.Get()))
        {
            if (WriteSecValue(userName.Get(), pszCode))
            {
                _fSecWritten = TRUE;
                fWroteNow = true;
            }
        }
        else
        {
            DeleteSecValue(userName.Get());
        }
    }
    // Whatever happens next, the code went with this submission; a later one (say the
    // password again after a failed logon) must not carry it silently.
    ForgetRecoveryCode();
    const HRESULT hr = _pInnerCredential->GetSerialization(pcpgsr, pcpcs, ppszOptionalStatusText, pcpsiOptionalStatusIcon);
    // No logon follows a failed or unfinished serialization, and so no result that would
    // remove the code: it must not wait for a later logon of this user.
    if (fWroteNow && (FAILED(hr) || pcpgsr == nullptr || *pcpgsr != CPGSR_RETURN_CREDENTIAL_FINISHED))
    {
        CTaskString userName(ReadField(USER_NAME_FIELD));
        DeleteSecValue(userName.Get());
        _fSecWritten = FALSE;
    }
    return hr;
}

IFACEMETHODIMP CVelkorCredential::ReportResult(NTSTATUS ntsStatus, NTSTATUS ntsSubstatus, LPWSTR* ppszOptionalStatusText,
                                               CREDENTIAL_PROVIDER_STATUS_ICON* pcpsiOptionalStatusIcon)
{
    Trace(L"CVelkorCredential()::ReportResult");
    ForgetRecoveryCode();
    if (_fSecWritten)
    {
        // Only the code of this submission: a later result of this tile must not remove
        // one that another session of the same user has stored since.
        CTaskString userName(ReadField(USER_NAME_FIELD));
        DeleteSecValue(userName.Get());
        _fSecWritten = FALSE;
    }
    for (const STATUS_MESSAGE& message : s_rgStatusMessages)
    {
        if (static_cast<DWORD>(ntsStatus) == message.dwStatus)
        {
            if (ppszOptionalStatusText != nullptr)
            {
                SHStrDupW(message.pszMessage, ppszOptionalStatusText);
            }
            if (pcpsiOptionalStatusIcon != nullptr)
            {
                *pcpsiOptionalStatusIcon = CPSI_ERROR;
            }
            return S_OK;
        }
    }
    return _pInnerCredential != nullptr
               ? _pInnerCredential->ReportResult(ntsStatus, ntsSubstatus, ppszOptionalStatusText, pcpsiOptionalStatusIcon)
               : E_UNEXPECTED;
}
