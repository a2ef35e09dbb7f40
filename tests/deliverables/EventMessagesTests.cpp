// The event source's messages as Event Viewer reads them: VelkorSubAuth.dll (the source's
// EventMessageFile) loaded as a data file, each message formatted by its identifier.
#include "VelkorEvents.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace
{
    enum class Severity : DWORD
    {
        Informational = 1,
        Warning = 2,
    };

    struct ExpectedMessage
    {
        DWORD id;
        WORD eventId;
        Severity severity;
        int insertions;
    };

    const ExpectedMessage MESSAGES[] = {
        { VELKOR_EVENT_LOGON_TOKEN, 1000, Severity::Informational, 2 },
        { VELKOR_EVENT_LOGON_RECOVERY, 1001, Severity::Informational, 1 },
        { VELKOR_EVENT_LOGON_NETWORK_POLICY, 1002, Severity::Informational, 1 },
        { VELKOR_EVENT_REFUSED_NO_TOKEN, 1100, Severity::Warning, 1 },
        { VELKOR_EVENT_REFUSED_SEVERAL_TOKENS, 1101, Severity::Warning, 1 },
        { VELKOR_EVENT_REFUSED_COMMUNICATION, 1102, Severity::Warning, 2 },
        { VELKOR_EVENT_REFUSED_WRONG_TOKEN, 1103, Severity::Warning, 2 },
        { VELKOR_EVENT_REFUSED_RECOVERY, 1104, Severity::Warning, 1 },
        { VELKOR_EVENT_REFUSED_NO_SERVICE, 1105, Severity::Warning, 2 },
        { VELKOR_EVENT_REFUSED_PROOF, 1106, Severity::Warning, 3 },
        { VELKOR_EVENT_RECOVERY_EXPIRED, 1107, Severity::Warning, 1 },
        { VELKOR_EVENT_REFUSED_RECOVERY_AFTER_REFUSAL, 1108, Severity::Warning, 1 },
        { VELKOR_EVENT_COMPUTER_ENABLED, 2000, Severity::Informational, 1 },
        { VELKOR_EVENT_COMPUTER_DISABLED, 2001, Severity::Informational, 1 },
        { VELKOR_EVENT_USER_ENABLED, 2002, Severity::Informational, 2 },
        { VELKOR_EVENT_USER_DISABLED, 2003, Severity::Informational, 2 },
        { VELKOR_EVENT_TOKEN_ASSOCIATED, 2004, Severity::Informational, 3 },
        { VELKOR_EVENT_TOKEN_DISSOCIATED, 2005, Severity::Informational, 3 },
        { VELKOR_EVENT_RECOVERY_GENERATED, 2006, Severity::Informational, 2 },
        { VELKOR_EVENT_RECOVERY_REMOVED, 2007, Severity::Informational, 2 },
        { VELKOR_EVENT_ACCOUNT_FORGOTTEN, 2008, Severity::Informational, 2 },
    };
    constexpr DWORD FACILITY_APPLICATION_CODE = 0xFFF;

    std::wstring ProgramFolder()
    {
        wchar_t path[MAX_PATH * 2] = {};
        GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
        std::wstring folder = path;
        return folder.substr(0, folder.find_last_of(L"\\/"));
    }

    // Format with or without insertion strings; empty when the message does not resolve.
    std::wstring Format(HMODULE hModule, DWORD id, const DWORD_PTR* pArguments)
    {
        DWORD flags = FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER;
        flags |= pArguments != nullptr ? FORMAT_MESSAGE_ARGUMENT_ARRAY : FORMAT_MESSAGE_IGNORE_INSERTS;
        wchar_t* pszText = nullptr;
        const DWORD cch = FormatMessageW(flags, hModule, id, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                         reinterpret_cast<wchar_t*>(&pszText), 0,
                                         reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(pArguments)));
        std::wstring text = cch != 0 && pszText != nullptr ? std::wstring(pszText, cch) : std::wstring();
        LocalFree(pszText);
        return text;
    }

    // The insertion numbers a message text uses (%1 ... %99).
    std::set<int> Insertions(const std::wstring& text)
    {
        std::set<int> numbers;
        for (size_t i = 0; i + 1 < text.size(); ++i)
        {
            if (text[i] != L'%') continue;
            if (text[i + 1] == L'%')
            {
                ++i;
                continue;
            }
            int number = 0;
            size_t j = i + 1;
            while (j < text.size() && iswdigit(text[j])) number = number * 10 + (text[j++] - L'0');
            if (number > 0) numbers.insert(number);
        }
        return numbers;
    }

    // Every message identifier in the module's message table.
    std::set<DWORD> MessageTableIds(HMODULE hModule)
    {
        std::set<DWORD> ids;
        const HRSRC hResource = FindResourceW(hModule, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(11)); // RT_MESSAGETABLE
        const HGLOBAL hData = hResource != nullptr ? LoadResource(hModule, hResource) : nullptr;
        const auto* pTable = static_cast<const MESSAGE_RESOURCE_DATA*>(hData != nullptr ? LockResource(hData) : nullptr);
        if (pTable == nullptr) return ids;
        for (DWORD block = 0; block < pTable->NumberOfBlocks; ++block)
        {
            for (DWORD id = pTable->Blocks[block].LowId; id <= pTable->Blocks[block].HighId; ++id) ids.insert(id);
        }
        return ids;
    }

    class EventMessages : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            _hModule = LoadLibraryExW((ProgramFolder() + L"\\VelkorSubAuth.dll").c_str(), nullptr,
                                      LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
            ASSERT_NE(_hModule, nullptr) << GetLastError();
        }
        void TearDown() override
        {
            if (_hModule != nullptr) FreeLibrary(_hModule);
        }
        HMODULE _hModule = nullptr;
    };
}

TEST_F(EventMessages, EveryMessageResolvesWithItsInsertionStrings)
{
    for (const ExpectedMessage& message : MESSAGES)
    {
        SCOPED_TRACE(message.eventId);
        EXPECT_EQ(LOWORD(message.id), message.eventId);
        EXPECT_EQ(message.id >> 30, static_cast<DWORD>(message.severity));
        EXPECT_EQ(HIWORD(message.id) & 0xFFF, FACILITY_APPLICATION_CODE);

        const std::wstring raw = Format(_hModule, message.id, nullptr);
        ASSERT_FALSE(raw.empty()) << "message does not resolve: " << GetLastError();
        std::set<int> expected;
        for (int i = 1; i <= message.insertions; ++i) expected.insert(i);
        EXPECT_EQ(Insertions(raw), expected);

        const std::wstring strings[] = { L"<one>", L"<two>", L"<three>" };
        DWORD_PTR arguments[3] = {};
        for (int i = 0; i < 3; ++i) arguments[i] = reinterpret_cast<DWORD_PTR>(strings[i].c_str());
        const std::wstring formatted = Format(_hModule, message.id, arguments);
        for (int i = 0; i < message.insertions; ++i) EXPECT_NE(formatted.find(strings[i]), std::wstring::npos);
        EXPECT_EQ(formatted.find(L'%'), std::wstring::npos) << "unfilled insertion";
    }
}

TEST_F(EventMessages, TheTableHoldsTheseMessagesAndNoOthers)
{
    std::set<DWORD> expected;
    for (const ExpectedMessage& message : MESSAGES) expected.insert(message.id);
    EXPECT_EQ(MessageTableIds(_hModule), expected);
}

TEST_F(EventMessages, AnUnknownIdentifierDoesNotResolve)
{
    EXPECT_TRUE(Format(_hModule, VELKOR_EVENT_LOGON_TOKEN + 50, nullptr).empty());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
}
