// The association and dissociation flows against the virtual PC/SC stack and the real
// registry: boxes, trace lines, results and the configuration afterwards.
#include "AppMessageBox.h"
#include "ConfigStore.h"
#include "CtapApdu.h"
#include "DebugOutputCapture.h"
#include "ImportPatch.h"
#include "MessageBoxRecorder.h"
#include "ProcessThreads.h"
#include "TestRegistry.h"
#include "TokenAssociation.h"
#include "TokenCredentialStore.h"
#include "TokenIdentification.h"
#include "VirtualSCard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace
{
    using Lines = std::vector<std::wstring>;

    const wchar_t USER[] = L"alice";
    const wchar_t SERIAL[] = L"1234ABCD";
    const std::wstring TOKEN_READER = std::wstring(TokenReaderName) + L" 0";

    // ---- registry calls made to fail on their nth call from now ---------------------------

    struct FailRule
    {
        int nth = 0;        // 0: never
        LONG status = ERROR_ACCESS_DENIED;
        int calls = 0;
        void* original = nullptr;
        bool Fails() { return ++calls == nth; }
    };
    FailRule g_createRule, g_setRule, g_deleteRule;

    LONG WINAPI FailingCreateKey(HKEY hKey, LPCWSTR pszSubKey, DWORD reserved, LPWSTR pszClass, DWORD options,
                                 REGSAM sam, const LPSECURITY_ATTRIBUTES pSecurity, PHKEY phkResult, LPDWORD pdwDisposition)
    {
        if (g_createRule.Fails()) return g_createRule.status;
        return reinterpret_cast<decltype(&RegCreateKeyExW)>(g_createRule.original)(
            hKey, pszSubKey, reserved, pszClass, options, sam, pSecurity, phkResult, pdwDisposition);
    }

    LONG WINAPI FailingSetKeyValue(HKEY hKey, LPCSTR pszSubKey, LPCSTR pszValueName, DWORD type, LPCVOID pData, DWORD cbData)
    {
        if (g_setRule.Fails()) return g_setRule.status;
        return reinterpret_cast<decltype(&RegSetKeyValueA)>(g_setRule.original)(hKey, pszSubKey, pszValueName, type, pData, cbData);
    }

    LONG WINAPI FailingDeleteKey(HKEY hKey, LPCWSTR pszSubKey)
    {
        if (g_deleteRule.Fails()) return g_deleteRule.status;
        return reinterpret_cast<decltype(&RegDeleteKeyW)>(g_deleteRule.original)(hKey, pszSubKey);
    }

    class CRegistryFailure
    {
    public:
        CRegistryFailure(const char* pszFunction, void* pfnReplacement, FailRule& rule, int nth, LONG status)
            : _patch("advapi32.dll", pszFunction, pfnReplacement), _rule(rule)
        {
            _rule = FailRule();
            _rule.nth = nth;
            _rule.status = status;
            _rule.original = _patch.Original();
        }
        ~CRegistryFailure() { _rule.nth = 0; }
        bool IsActive() const { return _patch.IsActive(); }
        int Calls() const { return _rule.calls; }

    private:
        CImportPatch _patch;
        FailRule& _rule;
    };

    std::vector<std::wstring> SubKeys(const std::wstring& path)
    {
        std::vector<std::wstring> names;
        HKEY hKey = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS) return names;
        wchar_t name[256];
        for (DWORD i = 0;; ++i)
        {
            DWORD cch = 256;
            if (RegEnumKeyExW(hKey, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            names.push_back(name);
        }
        RegCloseKey(hKey);
        return names;
    }

    const std::wstring TOKENS = L"SOFTWARE\\Halvane\\FIDO2\\auth\\tokens";
    const std::wstring USERS = L"SOFTWARE\\Halvane\\FIDO2\\auth\\users";

    class TokenFlow : public ::testing::Test
    {
    protected:
        static void SetUpTestSuite()
        {
            // The flows, linked into this program, reach the virtual USB keys.
            VScardInstallHid(nullptr);
        }

        void SetUp() override
        {
            testreg::Reset();
            VScardReset();
            ASSERT_TRUE(_boxes.IsActive());
        }

        void TearDown() override
        {
            // Every flow gives back its connection, context and reader names.
            EXPECT_EQ(0u, VScardOpenCards());
            EXPECT_EQ(0u, VScardOpenContexts());
            EXPECT_EQ(0u, VScardOutstandingAllocations());
            for (int i = 0; i < 200 && (VScardHidOpenHandles() != 0 || VScardHidPendingIo() != 0); ++i) Sleep(50);
            EXPECT_EQ(0u, VScardHidOpenHandles());
            EXPECT_EQ(0u, VScardHidPendingIo());
            EXPECT_EQ(0u, VScardHidOutstandingObjects());
            VScardReset();
            testreg::DeleteTree();
        }

        int AddToken(DWORD serial = 0x1234ABCD, const std::wstring& name = TOKEN_READER)
        {
            const int index = VScardAddReader(name.c_str(), TRUE);
            EXPECT_GE(index, 0);
            VScardSetSerial(index, serial);
            return index;
        }

        DWORD Associate(const wchar_t* pszUser = USER, AssociationInterface iface = AssociationInterface::Any)
        {
            _trace.Clear();
            return AssociateToken(_prompts, _traceText, pszUser, iface);
        }

        DWORD Dissociate(const wchar_t* pszUser = USER)
        {
            _trace.Clear();
            return DissociateToken(_prompts, _traceText, pszUser);
        }

        static int AddUsbKey(const wchar_t* product, DWORD serial)
        {
            const int key = VScardHidAddDevice(product, VSCARD_HID_USAGE_PAGE_FIDO, VSCARD_HID_USAGE_FIDO);
            EXPECT_GE(key, 0);
            VScardHidSetSerial(key, serial);
            return key;
        }

        // The token keys named fido-...
        static std::vector<std::wstring> UsbTokenKeys()
        {
            std::vector<std::wstring> keys;
            for (const std::wstring& name : SubKeys(TOKENS))
                if (name.rfind(L"fido-", 0) == 0) keys.push_back(name);
            return keys;
        }

        // The flow's own lines, without the reader's result and hex lines.
        Lines FlowLines() const
        {
            Lines lines;
            for (const std::wstring& line : _trace.Lines())
            {
                if (line.rfind(L"APDU: ", 0) == 0 || line.rfind(L"RESP: ", 0) == 0 || line.rfind(L"      ", 0) == 0 ||
                    line.rfind(L"SCardTransmit", 0) == 0)
                    continue;
                lines.push_back(line);
            }
            return lines;
        }

        bool Traced(const std::wstring& line) const
        {
            const Lines lines = _trace.Lines();
            return std::find(lines.begin(), lines.end(), line) != lines.end();
        }

        void ExpectOnlyErrorBoxes(const std::vector<std::wstring>& texts)
        {
            EXPECT_EQ(texts, _boxes.Texts());
            for (const ShownBox& box : _boxes.Boxes())
            {
                EXPECT_EQ(TYPE_ERROR, box.type) << testing::PrintToString(box.text);
                EXPECT_EQ(L"VelkorFIDO2_GUI", box.caption);
            }
        }

        void ExpectNoTokenKeys() { EXPECT_TRUE(SubKeys(TOKENS).empty()); }

        CMessageBoxRecorder _boxes;
        CDebugOutputCapture _trace;
        wchar_t _traceText[MANAGER_TRACE_TEXT_CHARS] = {};
        CMessageBoxPrompts _prompts;
    };

    const Lines ONE_TOKEN_SCAN = {
        L"Reader: " + TOKEN_READER + L"\r\n", L"tokenCount: 1\r\n", L"Velkor FIDO2 Token detected\r\n",
        L"SCardConnect = 0x00000000",
    };

    Lines Concat(Lines a, const Lines& b)
    {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
}

// ---- association ------------------------------------------------------------------------

TEST_F(TokenFlow, AssociationRecordsTheTokenUnderTheUser)
{
    AddToken();
    EXPECT_EQ(0u, Associate());
    EXPECT_TRUE(_boxes.Boxes().empty());
    EXPECT_EQ(std::string("alice") + '\0', testreg::ReadAnsi(testreg::Token(SERIAL), "user"));
    EXPECT_TRUE(testreg::KeyExists(testreg::User(USER)));
    // The flow leaves the user switch to its caller.
    EXPECT_FALSE(IsUserEnabled(USER));
    EXPECT_EQ(Concat(ONE_TOKEN_SCAN, { L"SCardBeginTransaction = 0x00000000", L"Serial number: 1234ABCD\r\n", L"~CSmartCardReader() called" }), FlowLines());
    // Shared mode, both protocols.
    VSCARD_RECORD record = {};
    for (DWORD i = 0; i < VScardRecordCount(); ++i)
    {
        if (VScardGetRecord(i, &record) && record.function == VSCARD_FN_CONNECT_W) break;
    }
    EXPECT_EQ(static_cast<DWORD>(SCARD_SHARE_SHARED), record.shareMode);
    EXPECT_EQ(static_cast<DWORD>(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1), record.preferredProtocols);
}

TEST_F(TokenFlow, AssociationOfARegisteredTokenChangesNothing)
{
    AddToken();
    testreg::AssociateToken(SERIAL, L"bob");
    EXPECT_EQ(0xFFFFFFFCu, Associate());
    ExpectOnlyErrorBoxes({ L"Token already registered" });
    EXPECT_TRUE(Traced(L"Serial number: 1234ABCD\r\n"));
    EXPECT_TRUE(Traced(L"Token already registered"));
    EXPECT_EQ(std::string("bob") + '\0', testreg::ReadAnsi(testreg::Token(SERIAL), "user"));
    EXPECT_FALSE(testreg::KeyExists(testreg::User(USER)));
}

TEST_F(TokenFlow, WithoutSmartCardServiceNothingIsShownOrTraced)
{
    AddToken();
    VScardFailCall(VSCARD_FN_ESTABLISH_CONTEXT, SCARD_E_NO_SERVICE, 1, TRUE);
    EXPECT_EQ(static_cast<DWORD>(SCARD_E_NO_SERVICE), Associate());
    EXPECT_EQ(static_cast<DWORD>(SCARD_E_NO_SERVICE), Dissociate());
    EXPECT_TRUE(_boxes.Boxes().empty());
    EXPECT_TRUE(_trace.Lines().empty());
    ExpectNoTokenKeys();
}

TEST_F(TokenFlow, NoReaderAtAllIsNoToken)
{
    EXPECT_EQ(0xFFFFFFFFu, Associate());
    EXPECT_EQ(0xFFFFFFFFu, Dissociate());
    ExpectOnlyErrorBoxes({ L"No token detected", L"No token detected" });
    ExpectNoTokenKeys();
}

TEST_F(TokenFlow, OnlyOtherReadersIsNoToken)
{
    VScardAddReader(L"Generic USB Smart Card Reader 0", TRUE);
    EXPECT_EQ(0xFFFFFFFFu, Associate());
    ExpectOnlyErrorBoxes({ L"No token detected" });
    EXPECT_EQ((Lines{ L"Reader: Generic USB Smart Card Reader 0\r\n", L"no match\r\n", L"tokenCount: 0\r\n",
                      L"No token detected\r\n" }),
              FlowLines());
    EXPECT_EQ(0u, VScardCountConnects(nullptr));
    ExpectNoTokenKeys();
}

TEST_F(TokenFlow, TwoTokensAreRefusedAndNothingIsWritten)
{
    AddToken(0x11111111, TOKEN_READER);
    AddToken(0x22222222, std::wstring(TokenReaderName) + L" 1");
    EXPECT_EQ(0xFFFFFFFFu, Associate());
    EXPECT_EQ(0xFFFFFFFFu, Dissociate());
    ExpectOnlyErrorBoxes({ L"More than one token detected", L"More than one token detected" });
    EXPECT_TRUE(Traced(L"More than one token detected\r\n"));
    EXPECT_EQ(0u, VScardCountConnects(nullptr));
    ExpectNoTokenKeys();
}

TEST_F(TokenFlow, AnEmptyTokenReaderFailsToConnectWithoutABox)
{
    VScardAddReader(TOKEN_READER.c_str(), FALSE);
    EXPECT_EQ(0xFFFFFFFEu, Associate());
    EXPECT_TRUE(_boxes.Boxes().empty());
    EXPECT_EQ(Lines({ L"Reader: " + TOKEN_READER + L"\r\n", L"tokenCount: 1\r\n", L"Velkor FIDO2 Token detected\r\n",
                      L"SCardConnect = 0x8010000C", L"Connect failed: 8010000C\r\n", L"~CSmartCardReader() called" }),
              FlowLines());
    EXPECT_EQ(0xFFFFFFFEu, Dissociate());
    EXPECT_TRUE(_boxes.Boxes().empty());
    ExpectNoTokenKeys();
}

TEST_F(TokenFlow, AReaderNameTooLongForTheBufferIsNotCutButRefused)
{
    // The name matches, but 130 characters do not fit the flow's 128-character buffer.
    const std::wstring longName = TOKEN_READER + std::wstring(130 - TOKEN_READER.size(), L'x');
    AddToken(0x1234ABCD, longName);
    EXPECT_EQ(0xFFFFFFFEu, Associate());
    EXPECT_TRUE(_boxes.Boxes().empty());
    EXPECT_TRUE(Traced(L"Connect failed: 80100009\r\n"));
    EXPECT_EQ(0u, VScardCountConnects(nullptr));
    ExpectNoTokenKeys();
}

TEST_F(TokenFlow, AnUnreadableSerialIsNeverWrittenAnywhere)
{
    const int reader = AddToken();
    const BYTE referenceNotFound[] = { 0x6A, 0x88 };
    VScardSetAnswer(reader, VSCARD_CMD_GET_CPLC, referenceNotFound, sizeof(referenceNotFound));
    EXPECT_EQ(0xFFFFFFFDu, Associate());
    for (const std::wstring& line : _trace.Lines()) EXPECT_EQ(std::wstring::npos, line.find(L"Serial number")) << line;
    EXPECT_EQ(0xFFFFFFFDu, Dissociate());
    ExpectOnlyErrorBoxes({ L"Could not read the token serial number", L"Could not read the token serial number" });
    ExpectNoTokenKeys();
    EXPECT_TRUE(SubKeys(USERS).empty());
}

TEST_F(TokenFlow, ACardThatStopsAnsweringIsAnUnreadSerial)
{
    AddToken();
    VScardFailCall(VSCARD_FN_TRANSMIT, SCARD_W_UNRESPONSIVE_CARD, 2, FALSE);
    EXPECT_EQ(0xFFFFFFFDu, Associate());
    ExpectOnlyErrorBoxes({ L"Could not read the token serial number" });
    ExpectNoTokenKeys();
}

TEST_F(TokenFlow, FailingToCreateTheTokenKeyIsStep307)
{
    AddToken();
    CRegistryFailure failure("RegCreateKeyExW", reinterpret_cast<void*>(&FailingCreateKey), g_createRule, 1, ERROR_ACCESS_DENIED);
    ASSERT_TRUE(failure.IsActive());
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), Associate());
    EXPECT_TRUE(_boxes.Boxes().empty());
    EXPECT_TRUE(Traced(L"Error 0x5 updating registry 307\r\n"));
    ExpectNoTokenKeys();
}

// The credential's three values go first and the user last: a failed write at either end
// takes the token key back, so the serial can be associated later.
TEST_F(TokenFlow, FailingToWriteTheCredentialOrTheUserLeavesNoBlockedSerial)
{
    const struct { int nth; const wchar_t* line; } cases[] = {
        { 1, L"Error 0x5 updating registry 345\r\n" }, // credentialId
        { 4, L"Error 0x5 updating registry 321\r\n" }, // user
    };
    AddToken();
    for (const auto& c : cases)
    {
        {
            CRegistryFailure failure("RegSetKeyValueA", reinterpret_cast<void*>(&FailingSetKeyValue), g_setRule, c.nth,
                                     ERROR_ACCESS_DENIED);
            ASSERT_TRUE(failure.IsActive());
            EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), Associate()) << c.nth;
            EXPECT_EQ(c.nth, failure.Calls());
        }
        EXPECT_TRUE(_boxes.Boxes().empty());
        EXPECT_TRUE(Traced(c.line)) << c.nth;
        ExpectNoTokenKeys();
    }
    EXPECT_EQ(0u, Associate());
}

TEST_F(TokenFlow, FailingToCreateTheUserKeyIsStep333)
{
    AddToken();
    {
        CRegistryFailure failure("RegCreateKeyExW", reinterpret_cast<void*>(&FailingCreateKey), g_createRule, 2, ERROR_ACCESS_DENIED);
        ASSERT_TRUE(failure.IsActive());
        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), Associate());
    }
    EXPECT_TRUE(_boxes.Boxes().empty());
    EXPECT_TRUE(Traced(L"Error 0x5 updating registry 333\r\n"));
    // No rollback here: the token is recorded, the user key is missing.
    EXPECT_EQ(std::string("alice") + '\0', testreg::ReadAnsi(testreg::Token(SERIAL), "user"));
    EXPECT_FALSE(testreg::KeyExists(testreg::User(USER)));
}

TEST_F(TokenFlow, AUserNameTooLongForTheUserValueIsRefusedWhole)
{
    AddToken();
    const std::wstring longUser(128, L'u'); // 129 bytes with the terminator
    EXPECT_EQ(0xFFFFFFFDu, Associate(longUser.c_str()));
    ExpectOnlyErrorBoxes({ L"User name is too long for a token association" });
    ExpectNoTokenKeys();
    EXPECT_TRUE(SubKeys(USERS).empty());

    // 127 characters still fit.
    _boxes.Clear();
    const std::wstring longestUser(127, L'u');
    EXPECT_EQ(0u, Associate(longestUser.c_str()));
    EXPECT_EQ(std::string(127, 'u') + '\0', testreg::ReadAnsi(testreg::Token(SERIAL), "user"));

    // The same name cut to 127 characters is not its owner.
    EXPECT_EQ(0xFFFFFFFDu, Dissociate(longUser.c_str()));
    ExpectOnlyErrorBoxes({ L"User name is too long for a token association" });
    EXPECT_TRUE(testreg::KeyExists(testreg::Token(SERIAL)));
}

TEST_F(TokenFlow, AUserNameWithoutAnExactAnsiFormIsRefused)
{
    if (GetACP() == CP_UTF8) GTEST_SKIP() << "every name has an exact form in UTF-8";
    AddToken();
    const wchar_t user[] = L"\x4E2D\x6587\x540D";
    EXPECT_EQ(0xFFFFFFFDu, Associate(user));
    EXPECT_EQ(0xFFFFFFFDu, Dissociate(user));
    ExpectOnlyErrorBoxes({ L"User name cannot be stored in the system code page",
                           L"User name cannot be stored in the system code page" });
    ExpectNoTokenKeys();
}

// ---- dissociation -----------------------------------------------------------------------

TEST_F(TokenFlow, DissociationDeletesOnlyTheTokenKey)
{
    AddToken();
    testreg::AssociateToken(SERIAL, USER);
    testreg::SetDword(testreg::User(USER), L"enabled", 1);
    testreg::SetAnsi(testreg::User(USER), "Recovery", std::string(64, 'A') + '\0');
    EXPECT_EQ(0u, Dissociate());
    EXPECT_TRUE(_boxes.Boxes().empty());
    EXPECT_FALSE(testreg::KeyExists(testreg::Token(SERIAL)));
    EXPECT_TRUE(IsUserEnabled(USER));
    EXPECT_TRUE(testreg::ValueExists(testreg::User(USER), L"Recovery"));
    EXPECT_EQ(Concat(ONE_TOKEN_SCAN, { L"SCardBeginTransaction = 0x00000000", L"Serial number: 1234ABCD\r\n", L"~CSmartCardReader() called" }), FlowLines());
}

TEST_F(TokenFlow, ATokenOfAnotherUserIsNotDissociated)
{
    AddToken();
    testreg::AssociateToken(SERIAL, L"bob");
    EXPECT_EQ(0xFFFFFFFCu, Dissociate());
    ExpectOnlyErrorBoxes({ L"Token is not mapped to current user: this key is registered to another account" });
    EXPECT_TRUE(Traced(L"Token is not mapped to current user"));
    EXPECT_EQ(std::string("bob") + '\0', testreg::ReadAnsi(testreg::Token(SERIAL), "user"));
}

TEST_F(TokenFlow, AnUnregisteredTokenIsNotMappedToTheUser)
{
    AddToken();
    EXPECT_EQ(0xFFFFFFFCu, Dissociate());
    ExpectOnlyErrorBoxes({ L"Token is not mapped to current user: this key is not registered" });
    ExpectNoTokenKeys();
}

TEST_F(TokenFlow, TheOwnerIsComparedExactly)
{
    AddToken();
    testreg::AssociateToken(SERIAL, L"Alice");
    EXPECT_EQ(0xFFFFFFFCu, Dissociate());
    // A stored name that only starts like the user's is not the user either.
    testreg::SetAnsi(testreg::Token(SERIAL), "user", std::string("alicex") + '\0');
    EXPECT_EQ(0xFFFFFFFCu, Dissociate());
    testreg::SetAnsi(testreg::Token(SERIAL), "user", std::string("alic") + '\0');
    EXPECT_EQ(0xFFFFFFFCu, Dissociate());
    EXPECT_TRUE(testreg::KeyExists(testreg::Token(SERIAL)));
    EXPECT_EQ(3u, _boxes.Boxes().size());
}

TEST_F(TokenFlow, ATokenKeyWithoutUserOrWithAnOverlongUserMatchesNobody)
{
    AddToken();
    testreg::CreateKey(testreg::Token(SERIAL));
    EXPECT_EQ(0xFFFFFFFCu, Dissociate());
    testreg::SetAnsi(testreg::Token(SERIAL), "user", std::string(200, 'a') + '\0');
    EXPECT_EQ(0xFFFFFFFCu, Dissociate(std::wstring(127, L'a').c_str()));
    EXPECT_TRUE(testreg::KeyExists(testreg::Token(SERIAL)));
}

TEST_F(TokenFlow, ATokenKeyThatCannotBeDeletedStays)
{
    AddToken();
    testreg::AssociateToken(SERIAL, USER);
    {
        CRegistryFailure failure("RegDeleteKeyW", reinterpret_cast<void*>(&FailingDeleteKey), g_deleteRule, 1, ERROR_ACCESS_DENIED);
        ASSERT_TRUE(failure.IsActive());
        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), Dissociate());
    }
    EXPECT_TRUE(_boxes.Boxes().empty());
    EXPECT_TRUE(Traced(L"Error 0x5 updating registry\r\n"));
    EXPECT_TRUE(testreg::KeyExists(testreg::Token(SERIAL)));
}

TEST_F(TokenFlow, AssociateThenDissociateReturnsToUnregistered)
{
    AddToken();
    EXPECT_EQ(0u, Associate());
    EXPECT_EQ(0u, Dissociate());
    ExpectNoTokenKeys();
    EXPECT_TRUE(testreg::KeyExists(testreg::User(USER)));
    EXPECT_EQ(0u, Associate());
    EXPECT_TRUE(_boxes.Boxes().empty());
}

// ---- the credential a key makes at association -------------------------------------------

TEST_F(TokenFlow, AKeyThatProvesPossessionGetsItsCredentialStored)
{
    const int token = AddToken();
    VScardSetFidoKnob(token, VSCARD_FIDO_TOUCH_POLLS, 3); // a touch, through status polling
    EXPECT_EQ(0u, Associate());
    EXPECT_TRUE(_boxes.Boxes().empty());
    EXPECT_EQ(65u, testreg::ReadAnsi(testreg::Token(SERIAL), "publicKey").size());
    EXPECT_FALSE(testreg::ReadAnsi(testreg::Token(SERIAL), "credentialId").empty());
    DWORD type = 0;
    EXPECT_EQ(4u, testreg::ReadAnsi(testreg::Token(SERIAL), "signCount", &type).size());
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_LE(3u, VScardCountTransmits(NFCCTAP_GETRESPONSE_COMMAND, sizeof(NFCCTAP_GETRESPONSE_COMMAND)));
}

TEST_F(TokenFlow, AKeyWithoutFido2IsKnownByItsSerialOrRefusedWhenProofIsRequired)
{
    const int token = AddToken();
    VScardSetFidoKnob(token, VSCARD_FIDO_ABSENT, 0x6A82);
    testreg::SetDword(testreg::Settings(), L"requireProof", 1);
    const std::wstring before = testreg::Snapshot();
    EXPECT_EQ(TOKEN_FLOW_REFUSED, Associate());
    EXPECT_EQ((Lines{ L"This token cannot prove possession and proof is required" }), _boxes.Texts());
    EXPECT_EQ(before, testreg::Snapshot()) << "nothing is written";

    _boxes.Clear();
    testreg::DeleteValue(testreg::Settings(), L"requireProof");
    EXPECT_EQ(0u, Associate());
    EXPECT_EQ((Lines{ L"This token cannot prove possession; it is associated by its serial number only" }), _boxes.Texts());
    EXPECT_EQ(std::string("alice") + '\0', testreg::ReadAnsi(testreg::Token(SERIAL), "user"));
    EXPECT_FALSE(testreg::ValueExists(testreg::Token(SERIAL), L"publicKey"));
}

// Only the key's own answer that it has no CTAP2 here leads to "by its serial number only":
// U2F_V2 keys that speak CTAP2 get their credential, a transmission that fails on the FIDO
// SELECT fails the association and writes nothing.
TEST_F(TokenFlow, OnlyTheKeysOwnRefusalOfCtap2AssociatesItByItsSerial)
{
    const std::wstring serialOnly = L"This token cannot prove possession; it is associated by its serial number only";
    const struct { const char* what; const char* version; DWORD refuseCtap; DWORD failSelect; DWORD result; bool credential; std::wstring box; } cases[] = {
        { "U2F_V2 and CTAP2", "U2F_V2", 0, 0, 0, true, L"" },
        { "U2F_V2 only", "U2F_V2", 0x6D00, 0, 0, false, serialOnly },
        { "FIDO_2_0 refusing CTAP2", "FIDO_2_0", 0x6985, 0, 0, false, serialOnly },
        { "SELECT lost", "FIDO_2_0", 0, 0x8010002Fu, 0x8010002Fu, false,
          L"Communication with the token failed; nothing was changed. Try again" },
    };
    for (const auto& c : cases)
    {
        VScardReset();
        const int token = AddToken();
        VScardSetFidoVersion(token, c.version);
        VScardSetFidoKnob(token, VSCARD_FIDO_REFUSE_CTAP, c.refuseCtap);
        if (c.failSelect != 0) VScardFailCall(VSCARD_FN_TRANSMIT, static_cast<LONG>(c.failSelect), 3, FALSE);
        testreg::DeleteTree();
        const std::wstring before = testreg::Snapshot();
        _boxes.Clear();
        EXPECT_EQ(c.result, Associate()) << c.what;
        EXPECT_EQ(c.box.empty() ? Lines{} : Lines{ c.box }, _boxes.Texts()) << c.what;
        if (c.result != 0)
        {
            EXPECT_EQ(before, testreg::Snapshot()) << c.what << ": nothing is written";
            continue;
        }
        EXPECT_EQ(std::string("alice") + '\0', testreg::ReadAnsi(testreg::Token(SERIAL), "user")) << c.what;
        EXPECT_EQ(c.credential, testreg::ValueExists(testreg::Token(SERIAL), L"publicKey")) << c.what;
    }
}

// Keys that would hang the administrator's program: each association ends with an error
// within its deadline (5 s) and a second, leaves nothing written, and two seconds after
// the deadline no thread of it is left and the key hears nothing more.
TEST_F(TokenFlow, HostileKeysEndTheAssociationWithAnError)
{
    const struct { const char* what; int knob; bool holdTransaction; DWORD result; } cases[] = {
        { "61 10 without data for ever", VSCARD_FIDO_ENDLESS_MORE_DATA, false, TOKEN_FLOW_BAD_ANSWER },
        { "a command that never ends", VSCARD_FIDO_BUSY, false, TOKEN_FLOW_TIMED_OUT },
        { "a transaction another program holds", VSCARD_FIDO_KNOB_COUNT, true, TOKEN_FLOW_TIMED_OUT },
    };
    for (const auto& c : cases)
    {
        VScardReset();
        const int token = AddToken();
        if (c.knob != VSCARD_FIDO_KNOB_COUNT) VScardSetFidoKnob(token, c.knob, 1);
        SCARDCONTEXT holder = 0;
        SCARDHANDLE held = 0;
        if (c.holdTransaction)
        {
            DWORD protocol = 0;
            ASSERT_EQ(SCARD_S_SUCCESS, SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &holder));
            ASSERT_EQ(SCARD_S_SUCCESS, SCardConnectW(holder, TOKEN_READER.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1,
                                                     &held, &protocol));
            ASSERT_EQ(SCARD_S_SUCCESS, SCardBeginTransaction(held));
        }
        const std::wstring before = testreg::Snapshot();
        const DWORD threadsBefore = CountProcessThreads();
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(c.result, Associate()) << c.what;
        EXPECT_LE(GetTickCount64() - start, 6000u) << c.what;
        EXPECT_EQ(before, testreg::Snapshot()) << c.what << ": nothing is written";
        EXPECT_LE(WaitForProcessThreadsAtMost(threadsBefore, start + 7000), threadsBefore) << c.what;
        const DWORD transmits = VScardCountTransmits(nullptr, 0);
        Sleep(300);
        EXPECT_EQ(transmits, VScardCountTransmits(nullptr, 0)) << c.what;
        if (c.holdTransaction)
        {
            SCardEndTransaction(held, SCARD_LEAVE_CARD);
            SCardDisconnect(held, SCARD_LEAVE_CARD);
            SCardReleaseContext(holder);
        }
    }
}

// A credential that cannot be made leaves nothing half-written: the serial is free again.
TEST_F(TokenFlow, ACredentialThatCannotBeMadeRollsTheAssociationBack)
{
    const struct { const char* what; int knob; DWORD value; DWORD result; const wchar_t* trace; } cases[] = {
        { "PIN required", VSCARD_FIDO_PIN_REQUIRED, 1, TOKEN_FLOW_CTAP_STATUS | 0x36,
          L"Credential not made: authenticator status 0x36\r\n" },
        { "answer cut short", VSCARD_FIDO_DAMAGE_MAKE_CREDENTIAL, VSCARD_DAMAGE_CUT, TOKEN_FLOW_BAD_ANSWER,
          L"Credential not made: malformed answer\r\n" },
        // Found by the first proof, made at once: a key whose y lost a bit verifies nothing,
        // and a key that will not answer without a touch could not log anybody on.
        { "key that verifies nothing", VSCARD_FIDO_DAMAGE_MAKE_CREDENTIAL, VSCARD_DAMAGE_AUTH_DATA_BIT, TOKEN_FLOW_BAD_ANSWER,
          L"Credential made, but the key cannot prove it: signature does not verify\r\n" },
        { "no silent proof", VSCARD_FIDO_REFUSE_SILENT, 1, TOKEN_FLOW_BAD_ANSWER,
          L"Credential made, but the key cannot prove it: authenticator status 0x2C\r\n" },
    };
    for (const auto& c : cases)
    {
        VScardReset();
        VScardSetFidoKnob(AddToken(), c.knob, c.value);
        testreg::DeleteKey(testreg::User(USER));
        const std::wstring before = testreg::Snapshot();
        EXPECT_EQ(c.result, Associate()) << c.what;
        EXPECT_EQ(before, testreg::Snapshot()) << c.what << ": nothing half-written stays";
        const Lines lines = FlowLines();
        EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), c.trace)) << c.what << testing::PrintToString(lines);
    }
}

// ---- keys over USB ------------------------------------------------------------------------

// Without a token reader the one FIDO key over USB is associated by the credential made for
// it, under tokens\fido-<id> with its product name; that key again is already registered.
TEST_F(TokenFlow, AUsbKeyIsAssociatedByItsCredential)
{
    AddUsbKey(L"YubiKey 5 NFC", 0x0BADC0DE);
    VScardHidAddDevice(L"USB Keyboard", 0x0001, 0x06);
    EXPECT_EQ(0u, Associate());
    EXPECT_TRUE(_boxes.Boxes().empty()) << testing::PrintToString(_boxes.Texts());
    const std::vector<std::wstring> keys = UsbTokenKeys();
    ASSERT_EQ(1u, keys.size());
    EXPECT_EQ(21u, keys[0].size());
    const std::wstring token = testreg::Token(keys[0]);
    EXPECT_EQ(std::string("alice") + '\0', testreg::ReadAnsi(token, "user"));
    EXPECT_EQ(65u, testreg::ReadAnsi(token, "publicKey").size());
    wchar_t szName[64] = {};
    ReadTokenName(keys[0].c_str(), szName, ARRAYSIZE(szName));
    EXPECT_STREQ(L"YubiKey 5 NFC", szName);

    const std::wstring before = testreg::Snapshot();
    EXPECT_EQ(TOKEN_FLOW_REFUSED, Associate(L"bob"));
    EXPECT_EQ((Lines{ L"Token already registered" }), _boxes.Texts());
    EXPECT_EQ(before, testreg::Snapshot());
}

// Where association looks, and what it does when the key to associate is not clear.
TEST_F(TokenFlow, AssociationLooksAtTheReaderFirstAndAtUsbWithoutOne)
{
    const struct { const char* what; bool reader; bool readerFido; int usbKeys; AssociationInterface iface;
                   DWORD result; const wchar_t* box; const wchar_t* stored; bool credential; } cases[] = {
        { "two keys over USB", false, true, 2, AssociationInterface::Any, TOKEN_FLOW_NO_SINGLE_TOKEN,
          L"Plug in only the key to associate", nullptr, false },
        { "a key over USB, the reader asked for", false, true, 1, AssociationInterface::Reader, TOKEN_FLOW_NO_SINGLE_TOKEN,
          L"No token detected", nullptr, false },
        { "a reader and a key over USB, USB asked for", true, true, 1, AssociationInterface::Usb, 0, nullptr, L"fido-", true },
        { "a Velkor key without FIDO2 on its card, itself over USB", true, false, 1, AssociationInterface::Any, 0,
          nullptr, SERIAL, true },
        { "a Velkor key without FIDO2 on its card and two keys over USB", true, false, 2, AssociationInterface::Any, 0,
          L"This token cannot prove possession; it is associated by its serial number only", SERIAL, false },
    };
    for (const auto& c : cases)
    {
        VScardReset();
        testreg::DeleteTree();
        _boxes.Clear();
        if (c.reader)
        {
            const int token = AddToken(0x0BADC0DE);
            if (!c.readerFido) VScardSetFidoKnob(token, VSCARD_FIDO_ABSENT, 0x6A82);
        }
        for (int i = 0; i < c.usbKeys; ++i) AddUsbKey(L"Security Key", 0x0BADC0DE + static_cast<DWORD>(i));
        const std::wstring before = testreg::Snapshot();
        EXPECT_EQ(c.result, Associate(USER, c.iface)) << c.what;
        EXPECT_EQ(c.box == nullptr ? Lines{} : Lines{ c.box }, _boxes.Texts()) << c.what;
        if (c.stored == nullptr)
        {
            EXPECT_EQ(before, testreg::Snapshot()) << c.what << ": nothing is written";
            continue;
        }
        const std::wstring key = std::wstring(c.stored) == L"fido-" ? (UsbTokenKeys().empty() ? L"?" : UsbTokenKeys()[0])
                                                                    : std::wstring(L"0BADC0DE");
        EXPECT_EQ(std::string("alice") + '\0', testreg::ReadAnsi(testreg::Token(key), "user")) << c.what;
        EXPECT_EQ(c.credential, testreg::ValueExists(testreg::Token(key), L"publicKey")) << c.what;
    }
}

// A key over USB is the account's when it proves, silently, that it holds one of the
// account's credentials.
TEST_F(TokenFlow, APluggedUsbKeyIsDissociatedWhenItHoldsTheAccountsCredential)
{
    const int key = AddUsbKey(L"Security Key", 0x0BADC0DE);
    ASSERT_EQ(0u, Associate(L"bob"));
    EXPECT_EQ(TOKEN_FLOW_REFUSED, Dissociate(USER));
    EXPECT_EQ((Lines{ L"Token is not mapped to current user: this key holds none of the account's credentials" }),
              _boxes.Texts());
    EXPECT_EQ(1u, UsbTokenKeys().size());
    _boxes.Clear();
    EXPECT_EQ(0u, Dissociate(L"bob"));
    EXPECT_TRUE(UsbTokenKeys().empty());
    // A key that never answers ends the flow with an error, not a hang.
    ASSERT_EQ(0u, Associate(L"bob"));
    VScardHidSetKnob(key, VSCARD_HID_MUTE, 1);
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(TOKEN_FLOW_TIMED_OUT, Dissociate(L"bob"));
    EXPECT_LE(GetTickCount64() - start, 6000u);
    EXPECT_EQ(1u, UsbTokenKeys().size());
}

