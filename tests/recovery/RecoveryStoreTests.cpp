#include "ConfigStore.h"
#include "ImportPatch.h"
#include "RandomBytes.h"
#include "RecoveryCode.h"
#include "RecoveryStore.h"
#include "TestRegistry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace
{
    const wchar_t USER[] = L"alice";

    class RecoveryStore : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            testreg::Reset();
            testreg::SetDword(testreg::User(USER), L"enabled", 1);
        }
        void TearDown() override { testreg::DeleteTree(); }

        // The stored value as the ANSI call returns it, terminator included.
        std::string Stored(DWORD* pType = nullptr) { return testreg::ReadAnsi(testreg::User(USER), "Recovery", pType); }

        static std::string Narrow(const wchar_t* psz)
        {
            std::string text;
            for (; *psz != L'\0'; ++psz) text += static_cast<char>(*psz);
            return text;
        }

        static bool Verifies(const std::string& code, const std::string& stored)
        {
            return VerifyRecoveryCode(code.c_str(), static_cast<int>(code.size()), stored.c_str(),
                                      static_cast<int>(stored.size()));
        }

        static bool IsUpperHex(const std::string& text)
        {
            for (char ch : text)
            {
                if (!((ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'F'))) return false;
            }
            return true;
        }
    };

    bool FailingSource(unsigned char* pbBuffer, size_t cbBuffer)
    {
        memset(pbBuffer, 0x5A, cbBuffer);
        return false;
    }

    class RandomSourceOverride
    {
    public:
        explicit RandomSourceOverride(RandomSource source) : _previous(SetRandomSourceForTesting(source)) {}
        ~RandomSourceOverride() { SetRandomSourceForTesting(_previous); }
        RandomSourceOverride(const RandomSourceOverride&) = delete;
        RandomSourceOverride& operator=(const RandomSourceOverride&) = delete;

    private:
        RandomSource _previous;
    };
}

// ---- generating ------------------------------------------------------------------------

TEST_F(RecoveryStore, GeneratedCodeVerifiesAgainstTheStoredValue)
{
    wchar_t code[33] = {};
    ASSERT_EQ(ERROR_SUCCESS, GenerateRecoveryCode(USER, code, 33));
    const std::string typed = Narrow(code);
    ASSERT_EQ(32u, typed.size());
    EXPECT_TRUE(IsUpperHex(typed)) << typed;

    DWORD type = 0;
    const std::string stored = Stored(&type);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    ASSERT_EQ(65u, stored.size()) << "64 characters and the terminator";
    EXPECT_EQ('\0', stored[64]);
    const std::string verifier = stored.substr(0, 64);
    EXPECT_TRUE(IsUpperHex(verifier)) << verifier;
    EXPECT_EQ(std::string::npos, verifier.find(typed)) << "the code itself is not stored";

    EXPECT_TRUE(VerifyRecoveryCode(typed.c_str(), 32, verifier.c_str(), 64));
    std::string lower = typed;
    for (char& ch : lower) ch = static_cast<char>(tolower(ch));
    EXPECT_TRUE(Verifies(lower, verifier));

    // The sub-authentication package reads it through the configuration store.
    BYTE buffer[RECOVERY_VALUE_BUFFER_SIZE] = {};
    DWORD size = sizeof(buffer);
    ASSERT_EQ(ERROR_SUCCESS, ReadRecoveryValue(USER, buffer, &size));
    EXPECT_EQ(65u, size);
    EXPECT_EQ(verifier, std::string(reinterpret_cast<const char*>(buffer), 64));
}

TEST_F(RecoveryStore, NewCodeReplacesTheOldOne)
{
    wchar_t first[33] = {};
    wchar_t second[33] = {};
    ASSERT_EQ(ERROR_SUCCESS, GenerateRecoveryCode(USER, first, 33));
    const std::string firstStored = Stored().substr(0, 64);
    ASSERT_EQ(ERROR_SUCCESS, GenerateRecoveryCode(USER, second, 33));
    const std::string secondStored = Stored();
    ASSERT_EQ(65u, secondStored.size());

    EXPECT_NE(Narrow(first), Narrow(second));
    EXPECT_NE(firstStored, secondStored.substr(0, 64));
    EXPECT_FALSE(Verifies(Narrow(first), secondStored.substr(0, 64))) << "the old code is dead";
    EXPECT_TRUE(Verifies(Narrow(second), secondStored.substr(0, 64)));
}

TEST_F(RecoveryStore, UnknownUserGetsNoKey)
{
    wchar_t code[33] = {};
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GenerateRecoveryCode(L"bob", code, 33));
    EXPECT_FALSE(testreg::KeyExists(testreg::User(L"bob")));
    EXPECT_FALSE(HasRecoveryCode(L"bob"));
}

namespace
{
    LONG WINAPI FailingSetKeyValueA(HKEY, LPCSTR, LPCSTR, DWORD, LPCVOID, DWORD)
    {
        return ERROR_ACCESS_DENIED;
    }
}

TEST_F(RecoveryStore, CodeThatWasNotStoredIsNotHandedOut)
{
    wchar_t code[33] = {};
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GenerateRecoveryCode(L"bob", code, 33));
    EXPECT_STREQ(L"", code);
    CImportPatch failingWrite("ADVAPI32.dll", "RegSetKeyValueA", reinterpret_cast<void*>(&FailingSetKeyValueA));
    ASSERT_TRUE(failingWrite.IsActive());
    EXPECT_EQ(ERROR_ACCESS_DENIED, GenerateRecoveryCode(USER, code, 33));
    EXPECT_STREQ(L"", code);
    EXPECT_FALSE(HasRecoveryCode(USER));
}

TEST_F(RecoveryStore, EmptyUserNameTouchesNoKey)
{
    const std::wstring users = L"SOFTWARE\\Halvane\\FIDO2\\auth\\users";
    wchar_t code[33] = {};
    EXPECT_NE(ERROR_SUCCESS, GenerateRecoveryCode(L"", code, 33));
    EXPECT_NE(ERROR_SUCCESS, GenerateRecoveryCode(nullptr, code, 33));
    EXPECT_FALSE(testreg::ValueExists(users, L"Recovery")) << "not on the users key itself";
    EXPECT_FALSE(HasRecoveryCode(L""));
    EXPECT_NE(ERROR_SUCCESS, RemoveRecoveryCode(L""));
}

TEST_F(RecoveryStore, NoRandomSecretNoCode)
{
    wchar_t code[33] = {};
    {
        RandomSourceOverride failing(&FailingSource);
        EXPECT_EQ(ERROR_INTERNAL_ERROR, GenerateRecoveryCode(USER, code, 33));
    }
    EXPECT_FALSE(testreg::ValueExists(testreg::User(USER), L"Recovery"));
    const wchar_t zero[33] = {};
    EXPECT_EQ(0, memcmp(code, zero, sizeof(code))) << "the code text is not written either";
}

TEST_F(RecoveryStore, NoRandomSecretKeepsTheEarlierCode)
{
    wchar_t code[33] = {};
    ASSERT_EQ(ERROR_SUCCESS, GenerateRecoveryCode(USER, code, 33));
    const std::string before = Stored();
    wchar_t other[33] = {};
    {
        RandomSourceOverride failing(&FailingSource);
        EXPECT_EQ(ERROR_INTERNAL_ERROR, GenerateRecoveryCode(USER, other, 33));
    }
    EXPECT_EQ(before, Stored());
    EXPECT_TRUE(Verifies(Narrow(code), before.substr(0, 64)));
}

TEST_F(RecoveryStore, CodeBufferMustHoldThirtyThreeCharacters)
{
    wchar_t code[33];
    wmemset(code, L'#', 33);
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GenerateRecoveryCode(USER, code, 32));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GenerateRecoveryCode(USER, nullptr, 33));
    EXPECT_EQ(L'#', code[0]);
    EXPECT_FALSE(testreg::ValueExists(testreg::User(USER), L"Recovery"));
}

// ---- presence and removal ------------------------------------------------------------------

TEST_F(RecoveryStore, PresenceFollowsTheValue)
{
    EXPECT_FALSE(HasRecoveryCode(L"bob")) << "no key";
    EXPECT_FALSE(HasRecoveryCode(USER)) << "no value";
    wchar_t code[33] = {};
    ASSERT_EQ(ERROR_SUCCESS, GenerateRecoveryCode(USER, code, 33));
    EXPECT_TRUE(HasRecoveryCode(USER));
}

TEST_F(RecoveryStore, ValueTooLargeForTheReaderCountsAsAbsent)
{
    const std::wstring user = testreg::User(USER);
    testreg::SetAnsi(user, "Recovery", std::string(300, 'A') + '\0');
    EXPECT_FALSE(HasRecoveryCode(USER));
    testreg::SetAnsi(user, "Recovery", std::string(256, 'A') + '\0');
    EXPECT_FALSE(HasRecoveryCode(USER)) << "257 bytes";
    testreg::SetAnsi(user, "Recovery", std::string(255, 'A') + '\0');
    EXPECT_TRUE(HasRecoveryCode(USER)) << "256 bytes fit";
}

TEST_F(RecoveryStore, RemovalDeletesOnlyTheCode)
{
    const std::wstring user = testreg::User(USER);
    testreg::SetString(user, L"sec", L"kept");
    wchar_t code[33] = {};
    ASSERT_EQ(ERROR_SUCCESS, GenerateRecoveryCode(USER, code, 33));

    EXPECT_EQ(ERROR_SUCCESS, RemoveRecoveryCode(USER));
    EXPECT_FALSE(testreg::ValueExists(user, L"Recovery"));
    EXPECT_FALSE(HasRecoveryCode(USER));
    EXPECT_TRUE(IsUserEnabled(USER));
    EXPECT_EQ(std::string("\x01\x00\x00\x00", 4), testreg::ReadAnsi(user, "enabled"));
    EXPECT_TRUE(testreg::ValueExists(user, L"sec"));

    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RemoveRecoveryCode(USER)) << "nothing left to remove";
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RemoveRecoveryCode(L"bob")) << "no key";
    EXPECT_FALSE(testreg::KeyExists(testreg::User(L"bob")));
}
