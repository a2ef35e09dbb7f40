// Our declarations of the credential-provider interfaces stand in for the SDK header, so
// their layout must be the SDK's: sizes, offsets, enum values and method order.
#include "CredentialProviderApi.h"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <utility>

namespace
{
    // An object whose vtable entries each record their own slot number: calling a method
    // by name through an interface pointer to it tells which slot the declaration uses.
    // (On x64 every entry shares one calling convention, so extra arguments are harmless.)
    struct CSlotRecorder
    {
        void* const* vtable;
        int lastSlot;
    };

    template <int N>
    HRESULT STDMETHODCALLTYPE RecordSlot(CSlotRecorder* self)
    {
        self->lastSlot = N;
        return S_OK;
    }

    template <int... N>
    constexpr auto MakeVtable(std::integer_sequence<int, N...>)
    {
        return std::array<void*, sizeof...(N)>{ reinterpret_cast<void*>(&RecordSlot<N>)... };
    }

    const auto VTABLE = MakeVtable(std::make_integer_sequence<int, 24>());

    template <typename Interface, typename Call>
    int SlotOf(Call call)
    {
        CSlotRecorder recorder = { VTABLE.data(), -1 };
        call(reinterpret_cast<Interface*>(&recorder));
        return recorder.lastSlot;
    }
}

TEST(CredentialProviderApi, StructureLayoutMatchesTheSdk)
{
    EXPECT_EQ(32u, sizeof(CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR));
    EXPECT_EQ(0u, offsetof(CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR, dwFieldID));
    EXPECT_EQ(4u, offsetof(CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR, cpft));
    EXPECT_EQ(8u, offsetof(CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR, pszLabel));
    EXPECT_EQ(16u, offsetof(CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR, guidFieldType));

    EXPECT_EQ(32u, sizeof(CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION));
    EXPECT_EQ(0u, offsetof(CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION, ulAuthenticationPackage));
    EXPECT_EQ(4u, offsetof(CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION, clsidCredentialProvider));
    EXPECT_EQ(20u, offsetof(CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION, cbSerialization));
    EXPECT_EQ(24u, offsetof(CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION, rgbSerialization));

    EXPECT_EQ(4u, sizeof(CREDENTIAL_PROVIDER_USAGE_SCENARIO));
    EXPECT_EQ(5, CPUS_PLAP);
    EXPECT_EQ(9, CPFT_SUBMIT_BUTTON);
    EXPECT_EQ(3, CPFS_DISPLAY_IN_BOTH);
    EXPECT_EQ(3, CPFIS_FOCUSED);
    EXPECT_EQ(3, CPGSR_RETURN_NO_CREDENTIAL_FINISHED);
    EXPECT_EQ(1, CPSI_ERROR);
}

TEST(CredentialProviderApi, InterfaceIdentifiersAreThePublishedOnes)
{
    wchar_t text[40];
    const struct { const IID* piid; const wchar_t* expected; } ids[] = {
        { &__uuidof(ICredentialProvider), L"{D27C3481-5A1C-45B2-8AAA-C20EBBE8229E}" },
        { &__uuidof(ICredentialProviderFilter), L"{A5DA53F9-D475-4080-A120-910C4A739880}" },
        { &__uuidof(ICredentialProviderCredential), L"{63913A93-40C1-481A-818D-4072FF8C70CC}" },
        { &__uuidof(ICredentialProviderCredentialEvents), L"{FA6FA76B-66B7-4B11-95F1-86171118E816}" },
        { &__uuidof(ICredentialProviderEvents), L"{34201E5A-A787-41A3-A5A4-BD6DCF2A854E}" },
        { &CLSID_PasswordCredentialProvider, L"{60B78E88-EAD8-445C-9CFD-0B87F74EA6CD}" },
    };
    for (const auto& id : ids)
    {
        ASSERT_GT(StringFromGUID2(*id.piid, text, 40), 0);
        EXPECT_STREQ(id.expected, text);
    }
}

TEST(CredentialProviderApi, MethodsSitInTheSdkSlots)
{
    using Credential = ICredentialProviderCredential;
    EXPECT_EQ(3, SlotOf<Credential>([](Credential* p) { p->Advise(nullptr); }));
    EXPECT_EQ(4, SlotOf<Credential>([](Credential* p) { p->UnAdvise(); }));
    EXPECT_EQ(5, SlotOf<Credential>([](Credential* p) { p->SetSelected(nullptr); }));
    EXPECT_EQ(6, SlotOf<Credential>([](Credential* p) { p->SetDeselected(); }));
    EXPECT_EQ(7, SlotOf<Credential>([](Credential* p) { p->GetFieldState(0, nullptr, nullptr); }));
    EXPECT_EQ(8, SlotOf<Credential>([](Credential* p) { p->GetStringValue(0, nullptr); }));
    EXPECT_EQ(9, SlotOf<Credential>([](Credential* p) { p->GetBitmapValue(0, nullptr); }));
    EXPECT_EQ(10, SlotOf<Credential>([](Credential* p) { p->GetCheckboxValue(0, nullptr, nullptr); }));
    EXPECT_EQ(11, SlotOf<Credential>([](Credential* p) { p->GetSubmitButtonValue(0, nullptr); }));
    EXPECT_EQ(12, SlotOf<Credential>([](Credential* p) { p->GetComboBoxValueCount(0, nullptr, nullptr); }));
    EXPECT_EQ(13, SlotOf<Credential>([](Credential* p) { p->GetComboBoxValueAt(0, 0, nullptr); }));
    EXPECT_EQ(14, SlotOf<Credential>([](Credential* p) { p->SetStringValue(0, nullptr); }));
    EXPECT_EQ(15, SlotOf<Credential>([](Credential* p) { p->SetCheckboxValue(0, FALSE); }));
    EXPECT_EQ(16, SlotOf<Credential>([](Credential* p) { p->SetComboBoxSelectedValue(0, 0); }));
    EXPECT_EQ(17, SlotOf<Credential>([](Credential* p) { p->CommandLinkClicked(0); }));
    EXPECT_EQ(18, SlotOf<Credential>([](Credential* p) { p->GetSerialization(nullptr, nullptr, nullptr, nullptr); }));
    EXPECT_EQ(19, SlotOf<Credential>([](Credential* p) { p->ReportResult(0, 0, nullptr, nullptr); }));

    using Events = ICredentialProviderCredentialEvents;
    EXPECT_EQ(3, SlotOf<Events>([](Events* p) { p->SetFieldState(nullptr, 0, CPFS_HIDDEN); }));
    EXPECT_EQ(4, SlotOf<Events>([](Events* p) { p->SetFieldInteractiveState(nullptr, 0, CPFIS_NONE); }));
    EXPECT_EQ(5, SlotOf<Events>([](Events* p) { p->SetFieldString(nullptr, 0, nullptr); }));
    EXPECT_EQ(6, SlotOf<Events>([](Events* p) { p->SetFieldCheckbox(nullptr, 0, FALSE, nullptr); }));
    EXPECT_EQ(7, SlotOf<Events>([](Events* p) { p->SetFieldBitmap(nullptr, 0, nullptr); }));
    EXPECT_EQ(8, SlotOf<Events>([](Events* p) { p->SetFieldComboBoxSelectedItem(nullptr, 0, 0); }));
    EXPECT_EQ(9, SlotOf<Events>([](Events* p) { p->DeleteFieldComboBoxItem(nullptr, 0, 0); }));
    EXPECT_EQ(10, SlotOf<Events>([](Events* p) { p->AppendFieldComboBoxItem(nullptr, 0, nullptr); }));
    EXPECT_EQ(11, SlotOf<Events>([](Events* p) { p->SetFieldSubmitButton(nullptr, 0, 0); }));
    EXPECT_EQ(12, SlotOf<Events>([](Events* p) { p->OnCreatingWindow(nullptr); }));

    using Provider = ICredentialProvider;
    EXPECT_EQ(3, SlotOf<Provider>([](Provider* p) { p->SetUsageScenario(CPUS_LOGON, 0); }));
    EXPECT_EQ(4, SlotOf<Provider>([](Provider* p) { p->SetSerialization(nullptr); }));
    EXPECT_EQ(5, SlotOf<Provider>([](Provider* p) { p->Advise(nullptr, 0); }));
    EXPECT_EQ(6, SlotOf<Provider>([](Provider* p) { p->UnAdvise(); }));
    EXPECT_EQ(7, SlotOf<Provider>([](Provider* p) { p->GetFieldDescriptorCount(nullptr); }));
    EXPECT_EQ(8, SlotOf<Provider>([](Provider* p) { p->GetFieldDescriptorAt(0, nullptr); }));
    EXPECT_EQ(9, SlotOf<Provider>([](Provider* p) { p->GetCredentialCount(nullptr, nullptr, nullptr); }));
    EXPECT_EQ(10, SlotOf<Provider>([](Provider* p) { p->GetCredentialAt(0, nullptr); }));

    using Filter = ICredentialProviderFilter;
    EXPECT_EQ(3, SlotOf<Filter>([](Filter* p) { p->Filter(CPUS_LOGON, 0, nullptr, nullptr, 0); }));
    EXPECT_EQ(4, SlotOf<Filter>([](Filter* p) { p->UpdateRemoteCredential(nullptr, nullptr); }));

    EXPECT_EQ(3, SlotOf<ICredentialProviderEvents>([](ICredentialProviderEvents* p) { p->CredentialsChanged(0); }));
}
