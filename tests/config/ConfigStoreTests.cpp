#include "ConfigStore.h"
#include "ImportPatch.h"
#include "TestRegistry.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
    class ConfigStore : public ::testing::Test
    {
    protected:
        void SetUp() override { testreg::Reset(); }
        void TearDown() override { testreg::DeleteTree(); }
    };

    std::vector<BYTE> AnsiBytes(const std::string& text, bool withTerminator = true)
    {
        std::vector<BYTE> bytes(text.begin(), text.end());
        if (withTerminator) bytes.push_back(0);
        return bytes;
    }

    LONG WINAPI FailingSetKeyValueA(HKEY, LPCSTR, LPCSTR, DWORD, LPCVOID, DWORD)
    {
        return ERROR_ACCESS_DENIED;
    }

    LONG WINAPI FailingCreateKeyExW(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, const SECURITY_ATTRIBUTES*, PHKEY,
                                    LPDWORD)
    {
        return ERROR_ACCESS_DENIED;
    }
}

TEST_F(ConfigStore, OnlyTheExactPatternOneCountsAsOn)
{
    const std::wstring settings = testreg::Settings();
    EXPECT_FALSE(IsAuthEnabled()) << "absent";
    testreg::SetDword(settings, L"enabled", 0);
    EXPECT_FALSE(IsAuthEnabled());
    testreg::SetDword(settings, L"enabled", 2);
    EXPECT_FALSE(IsAuthEnabled());
    testreg::SetDword(settings, L"enabled", 0xFFFFFFFF);
    EXPECT_FALSE(IsAuthEnabled());
    testreg::SetString(settings, L"enabled", L"1");
    EXPECT_FALSE(IsAuthEnabled()) << "REG_SZ 1 reads as 49";
    testreg::SetRaw(settings, L"enabled", REG_QWORD, { 1, 0, 0, 0, 0, 0, 0, 0 });
    EXPECT_FALSE(IsAuthEnabled()) << "longer than 4 bytes";
    testreg::SetRaw(settings, L"enabled", REG_BINARY, { 1 });
    EXPECT_TRUE(IsAuthEnabled()) << "a one-byte 01 of any type";
    testreg::SetDword(settings, L"enabled", 1);
    EXPECT_TRUE(IsAuthEnabled());

    EXPECT_FALSE(IsSafeModeEnabled());
    EXPECT_FALSE(IsLoggingEnabled());
    testreg::SetDword(settings, L"safemodeEnabled", 1);
    testreg::SetDword(settings, L"loggingEnabled", 1);
    EXPECT_TRUE(IsSafeModeEnabled());
    EXPECT_TRUE(IsLoggingEnabled());

    testreg::DeleteTree();
    EXPECT_FALSE(IsAuthEnabled()) << "no key at all";
}

TEST_F(ConfigStore, MachineSwitchNeedsTheSettingsKey)
{
    EXPECT_EQ(ERROR_SUCCESS, SetAuthEnabled(true));
    DWORD type = 0;
    EXPECT_EQ(std::string("\x01\x00\x00\x00", 4), testreg::ReadAnsi(testreg::Settings(), "enabled", &type));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ(ERROR_SUCCESS, SetAuthEnabled(false));
    EXPECT_FALSE(IsAuthEnabled());

    testreg::DeleteKey(testreg::Settings());
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, SetAuthEnabled(true));
    EXPECT_FALSE(testreg::KeyExists(testreg::Settings()));
}

TEST_F(ConfigStore, UserSwitchNeedsTheUserKey)
{
    EXPECT_FALSE(IsUserEnabled(L"alice"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, SetUserEnabled(L"alice", true));
    EXPECT_FALSE(testreg::KeyExists(testreg::User(L"alice")));

    testreg::CreateKey(testreg::User(L"alice"));
    EXPECT_EQ(ERROR_SUCCESS, SetUserEnabled(L"alice", true));
    EXPECT_TRUE(IsUserEnabled(L"alice"));
    EXPECT_TRUE(IsUserEnabled(L"ALICE")) << "key names are not case-sensitive";
    EXPECT_EQ(ERROR_SUCCESS, SetUserEnabled(L"alice", false));
    EXPECT_FALSE(IsUserEnabled(L"alice"));

    // An empty name would address the users key itself.
    testreg::SetDword(L"SOFTWARE\\Halvane\\FIDO2\\auth\\users", L"enabled", 1);
    EXPECT_FALSE(IsUserEnabled(L""));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, SetUserEnabled(L"", true));
}

TEST_F(ConfigStore, StringReadsFailWhenTheValueDoesNotFitTheBuffer)
{
    const std::wstring user = testreg::User(L"alice");
    testreg::CreateKey(user);
    BYTE buffer[SEC_VALUE_BUFFER_SIZE] = {};

    // 255 characters and the terminator fit 256 bytes; 256 characters do not.
    HKEY hKey = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, user.c_str(), 0, KEY_WRITE, &hKey));
    const std::string fits(255, '7');
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(hKey, "sec", 0, REG_SZ, AnsiBytes(fits).data(), 256));
    DWORD size = sizeof(buffer);
    EXPECT_EQ(ERROR_SUCCESS, ReadSecValue(L"alice", buffer, &size));
    EXPECT_EQ(256u, size);
    const std::string tooLong(256, '7');
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(hKey, "sec", 0, REG_SZ, AnsiBytes(tooLong).data(), 257));
    size = sizeof(buffer);
    EXPECT_EQ(ERROR_MORE_DATA, ReadSecValue(L"alice", buffer, &size));
    RegCloseKey(hKey);

    BYTE userBuffer[TOKEN_USER_BUFFER_SIZE] = {};
    testreg::SetAnsi(testreg::Token(L"0000AAAA"), "user", std::string(127, 'u') + '\0');
    size = sizeof(userBuffer);
    EXPECT_EQ(ERROR_SUCCESS, ReadTokenUser(L"0000AAAA", userBuffer, &size));
    EXPECT_EQ(128u, size);
    testreg::SetAnsi(testreg::Token(L"0000AAAA"), "user", std::string(128, 'u') + '\0');
    size = sizeof(userBuffer);
    EXPECT_NE(ERROR_SUCCESS, ReadTokenUser(L"0000AAAA", userBuffer, &size));

    size = sizeof(buffer);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, ReadRecoveryValue(L"alice", buffer, &size));
    size = sizeof(buffer);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, ReadRecoveryValue(L"nobody", buffer, &size));
    size = sizeof(userBuffer);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, ReadTokenUser(L"", userBuffer, &size)) << "the tokens key itself";
}

TEST_F(ConfigStore, StringsAreStoredWithTheirTerminator)
{
    testreg::CreateKey(testreg::User(L"alice"));
    ASSERT_TRUE(WriteSecValue(L"alice", L"0123456789ABCDEF0123456789ABCDEF"));
    BYTE buffer[SEC_VALUE_BUFFER_SIZE] = {};
    DWORD size = sizeof(buffer);
    ASSERT_EQ(ERROR_SUCCESS, ReadSecValue(L"alice", buffer, &size));
    EXPECT_EQ(33u, size);
    EXPECT_STREQ("0123456789ABCDEF0123456789ABCDEF", reinterpret_cast<char*>(buffer));

    HKEY hKey = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, testreg::User(L"alice").c_str(), 0, KEY_WRITE, &hKey));
    EXPECT_EQ(ERROR_SUCCESS, SetAnsiStringValue(hKey, "Recovery", std::string(64, 'A').c_str(), 64));
    RegCloseKey(hKey);
    EXPECT_EQ(65u, testreg::ReadAnsi(testreg::User(L"alice"), "Recovery").size());
}

TEST_F(ConfigStore, SecIsWrittenAndDeletedOnlyUnderAnExistingUserKey)
{
    EXPECT_FALSE(WriteSecValue(L"alice", L"code")) << "no user key";
    EXPECT_FALSE(testreg::KeyExists(testreg::User(L"alice")));
    testreg::CreateKey(testreg::User(L"alice"));
    EXPECT_FALSE(DeleteSecValue(L"alice")) << "nothing to delete";
    EXPECT_TRUE(WriteSecValue(L"alice", L"code"));
    EXPECT_TRUE(testreg::ValueExists(testreg::User(L"alice"), L"sec"));
    EXPECT_TRUE(DeleteSecValue(L"alice"));
    EXPECT_FALSE(testreg::ValueExists(testreg::User(L"alice"), L"sec"));
    EXPECT_FALSE(WriteSecValue(L"", L"code"));
}

TEST_F(ConfigStore, RegisterTokenRecordsTheUserAndRefusesATakenSerial)
{
    const RegisterTokenResult first = RegisterToken(L"1234ABCD", L"alice");
    EXPECT_EQ(ERROR_SUCCESS, first.status);
    EXPECT_FALSE(first.alreadyRegistered);
    EXPECT_EQ(RegisterTokenStep::None, first.failedStep);
    EXPECT_EQ(std::string("alice\0", 6), testreg::ReadAnsi(testreg::Token(L"1234ABCD"), "user"));
    EXPECT_TRUE(testreg::KeyExists(testreg::User(L"alice")));
    EXPECT_FALSE(testreg::ValueExists(testreg::User(L"alice"), L"enabled")) << "the caller switches the user on";

    const RegisterTokenResult again = RegisterToken(L"1234ABCD", L"bob");
    EXPECT_TRUE(again.alreadyRegistered);
    EXPECT_NE(ERROR_SUCCESS, again.status);
    EXPECT_EQ(std::string("alice\0", 6), testreg::ReadAnsi(testreg::Token(L"1234ABCD"), "user"));
    EXPECT_FALSE(testreg::KeyExists(testreg::User(L"bob")));

    // One user may own several tokens; an existing user key is simply opened.
    testreg::SetDword(testreg::User(L"alice"), L"enabled", 1);
    EXPECT_EQ(ERROR_SUCCESS, RegisterToken(L"0000BEEF", L"alice").status);
    EXPECT_TRUE(IsUserEnabled(L"alice"));
}

TEST_F(ConfigStore, RegisterTokenStoresNoCutOrMadeUpName)
{
    const std::wstring longest(127, L'n');
    EXPECT_EQ(ERROR_SUCCESS, RegisterToken(L"00000001", longest.c_str()).status);
    EXPECT_EQ(128u, testreg::ReadAnsi(testreg::Token(L"00000001"), "user").size());

    const std::wstring tooLong(128, L'n');
    const RegisterTokenResult refused = RegisterToken(L"00000002", tooLong.c_str());
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, refused.status);
    EXPECT_EQ(RegisterTokenStep::ConvertUserName, refused.failedStep);
    EXPECT_FALSE(testreg::KeyExists(testreg::Token(L"00000002")));
    EXPECT_FALSE(testreg::KeyExists(testreg::User(tooLong)));

    // A character the ANSI code page cannot hold would come back as '?'.
    const RegisterTokenResult unmappable = RegisterToken(L"00000003", L"\x4E2D\x6587");
    EXPECT_EQ(ERROR_NO_UNICODE_TRANSLATION, unmappable.status);
    EXPECT_FALSE(testreg::KeyExists(testreg::Token(L"00000003")));

    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegisterToken(L"", L"alice").status);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegisterToken(L"00000004", L"").status);
}

TEST_F(ConfigStore, RegisterTokenRemovesTheTokenKeyWhenTheUserCannotBeWritten)
{
    {
        CImportPatch failWrite("ADVAPI32.dll", "RegSetKeyValueA", reinterpret_cast<void*>(FailingSetKeyValueA));
        ASSERT_TRUE(failWrite.IsActive());
        const RegisterTokenResult result = RegisterToken(L"1234ABCD", L"alice");
        EXPECT_EQ(ERROR_ACCESS_DENIED, result.status);
        EXPECT_EQ(RegisterTokenStep::WriteUser, result.failedStep);
        EXPECT_FALSE(result.alreadyRegistered);
    }
    EXPECT_FALSE(testreg::KeyExists(testreg::Token(L"1234ABCD"))) << "a failed association must not block the serial";
    EXPECT_EQ(ERROR_SUCCESS, RegisterToken(L"1234ABCD", L"alice").status);
}

TEST_F(ConfigStore, RegisterTokenReportsTheFailingStep)
{
    CImportPatch failCreate("ADVAPI32.dll", "RegCreateKeyExW", reinterpret_cast<void*>(FailingCreateKeyExW));
    ASSERT_TRUE(failCreate.IsActive());
    const RegisterTokenResult result = RegisterToken(L"1234ABCD", L"alice");
    EXPECT_EQ(ERROR_ACCESS_DENIED, result.status);
    EXPECT_EQ(RegisterTokenStep::CreateTokenKey, result.failedStep);
    EXPECT_FALSE(testreg::KeyExists(testreg::Token(L"1234ABCD")));
}

TEST_F(ConfigStore, UnregisterTokenKeepsTheUsersValues)
{
    ASSERT_EQ(ERROR_SUCCESS, RegisterToken(L"1234ABCD", L"alice").status);
    testreg::SetDword(testreg::User(L"alice"), L"enabled", 1);
    testreg::SetString(testreg::User(L"alice"), L"Recovery", std::wstring(64, L'A'));
    EXPECT_EQ(ERROR_SUCCESS, UnregisterToken(L"1234ABCD"));
    EXPECT_FALSE(testreg::KeyExists(testreg::Token(L"1234ABCD")));
    EXPECT_TRUE(IsUserEnabled(L"alice"));
    EXPECT_TRUE(testreg::ValueExists(testreg::User(L"alice"), L"Recovery"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, UnregisterToken(L"1234ABCD"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, UnregisterToken(L""));
    EXPECT_TRUE(testreg::KeyExists(L"SOFTWARE\\Halvane\\FIDO2\\auth\\tokens"));
}
