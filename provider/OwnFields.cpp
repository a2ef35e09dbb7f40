#include "OwnFields.h"

#include <shlwapi.h>

const CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR s_rgOwnFieldDescriptors[OWN_FIELD_COUNT] = {
    { OWN_FIELD_RECOVERY_CODE, CPFT_EDIT_TEXT, const_cast<LPWSTR>(L"Type recovery code"), GUID_NULL },
    { OWN_FIELD_RECOVERY_LINK, CPFT_COMMAND_LINK, const_cast<LPWSTR>(L""), GUID_NULL },
    { OWN_FIELD_TOUCH_HINT, CPFT_SMALL_TEXT, const_cast<LPWSTR>(L""), GUID_NULL },
};

const OWN_FIELD_STATE_PAIR s_rgOwnFieldStates[OWN_FIELD_COUNT] = {
    { CPFS_HIDDEN, CPFIS_NONE },
    { CPFS_DISPLAY_IN_SELECTED_TILE, CPFIS_NONE },
    { CPFS_DISPLAY_IN_SELECTED_TILE, CPFIS_NONE },
};

const wchar_t RECOVERY_LINK_TEXT[] = L"Insert Velkor FIDO2 token or click for recovery";
const wchar_t TOUCH_HINT_TEXT[] = L"Touch your security key when it flashes";

HRESULT CopyFieldDescriptor(const CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR& source, CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR* pTarget)
{
    pTarget->dwFieldID = source.dwFieldID;
    pTarget->cpft = source.cpft;
    pTarget->guidFieldType = source.guidFieldType;
    pTarget->pszLabel = nullptr;
    if (source.pszLabel == nullptr)
    {
        return S_OK;
    }
    return SHStrDupW(source.pszLabel, &pTarget->pszLabel);
}

HRESULT CloneFieldDescriptor(const CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR& source, CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR** ppTarget)
{
    auto* pClone = static_cast<CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR*>(CoTaskMemAlloc(sizeof(CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR)));
    if (pClone == nullptr)
    {
        *ppTarget = nullptr;
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = CopyFieldDescriptor(source, pClone);
    if (FAILED(hr))
    {
        CoTaskMemFree(pClone);
        *ppTarget = nullptr;
        return hr;
    }
    *ppTarget = pClone;
    return hr;
}
