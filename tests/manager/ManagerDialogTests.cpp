// The main dialog run in this process on a real window (an X display is needed under
// Wine): start-up, both check boxes, the button handlers with their recovery-code
// prompts, and the refusals. Message boxes are answered by the recorder.
#include "ConfigStore.h"
#include "EcdhStandIn.h"
#include "EventRecorder.h"
#include "ImportPatch.h"
#include "LsaStandIn.h"
#include "MessageBoxRecorder.h"
#include "RandomBytes.h"
#include "RecoveryCode.h"
#include "TestInstallation.h"
#include "TestRegistry.h"
#include "TokenIdentification.h"
#include "VelkorFIDO2GUIDlg.h"
#include "VirtualSCard.h"
#include "resource.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace
{
    const wchar_t CAPTION[] = L"Velkor FIDO2 Login Manager Version 1.0.0.1";
    const wchar_t SERIAL[] = L"1234ABCD";
    const wchar_t NOT_ADMINISTRATOR[] = L"Administrator access is required for this application\n"
                                        L"Please right click on application and select \"Run as Administrator\"";

    std::wstring CurrentUser()
    {
        wchar_t name[512] = {};
        DWORD cch = 512;
        GetUserNameW(name, &cch);
        return name;
    }

    // ---- running the dialog ---------------------------------------------------------------

    std::function<void(HWND)> g_script;
    HWND g_hwndDialog = nullptr;

    BOOL CALLBACK FindDialog(HWND hwnd, LPARAM)
    {
        wchar_t caption[128] = {};
        GetWindowTextW(hwnd, caption, 128);
        if (wcscmp(caption, CAPTION) != 0) return TRUE;
        g_hwndDialog = hwnd;
        return FALSE;
    }

    void CALLBACK RunScript(HWND, UINT, UINT_PTR idEvent, DWORD)
    {
        KillTimer(nullptr, idEvent);
        g_hwndDialog = nullptr;
        EnumThreadWindows(GetCurrentThreadId(), FindDialog, 0);
        if (g_hwndDialog == nullptr)
        {
            ADD_FAILURE() << "the dialog is not up";
            return;
        }
        if (g_script) g_script(g_hwndDialog);
        // Closed as the close box would; a failed script must not leave it open.
        SendMessageW(g_hwndDialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    }

    // Runs the main dialog modally; the script runs once it is up, then it is closed.
    INT_PTR RunDialog(std::function<void(HWND)> script)
    {
        g_script = std::move(script);
        const UINT_PTR timer = SetTimer(nullptr, 0, 1, RunScript);
        CVelkorFIDO2GUIDlg dlg;
        const INT_PTR result = dlg.DoModal();
        KillTimer(nullptr, timer);
        EXPECT_NE(-1, result) << "the dialog could not be created (no X display?)";
        g_script = nullptr;
        return result;
    }

    DWORD SubKeyCount(const wchar_t* pszPath)
    {
        HKEY hKey = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, pszPath, 0, KEY_READ, &hKey) != ERROR_SUCCESS) return MAXDWORD;
        DWORD count = MAXDWORD;
        RegQueryInfoKeyW(hKey, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
        RegCloseKey(hKey);
        return count;
    }

    HWND Item(HWND hwnd, int id) { return GetDlgItem(hwnd, id); }
    bool Checked(HWND hwnd, int id) { return SendMessageW(Item(hwnd, id), BM_GETCHECK, 0, 0) == BST_CHECKED; }
    bool Enabled(HWND hwnd, int id) { return IsWindowEnabled(Item(hwnd, id)) != FALSE; }
    void Click(HWND hwnd, int id) { SendMessageW(Item(hwnd, id), BM_CLICK, 0, 0); }
    std::wstring Text(HWND hwnd)
    {
        wchar_t text[512] = {};
        GetWindowTextW(hwnd, text, 512);
        return text;
    }

    struct ControlState
    {
        bool providerChecked, userChecked, userEnabled, associateEnabled, dissociateEnabled;
        bool operator==(const ControlState& other) const
        {
            return providerChecked == other.providerChecked && userChecked == other.userChecked &&
                   userEnabled == other.userEnabled && associateEnabled == other.associateEnabled &&
                   dissociateEnabled == other.dissociateEnabled;
        }
    };
    void PrintTo(const ControlState& s, std::ostream* os)
    {
        *os << "{provider " << s.providerChecked << ", user " << s.userChecked << " enabled " << s.userEnabled
            << ", associate " << s.associateEnabled << ", dissociate " << s.dissociateEnabled << "}";
    }
    ControlState State(HWND hwnd)
    {
        return { Checked(hwnd, IDC_ENABLE_PROVIDER), Checked(hwnd, IDC_ENABLE_USER), Enabled(hwnd, IDC_ENABLE_USER),
                 Enabled(hwnd, IDC_ASSOCIATE), Enabled(hwnd, IDC_DISSOCIATE) };
    }
    const ControlState PROVIDER_OFF = { false, false, false, false, false };

    // ---- stand-ins for system calls ---------------------------------------------------------

    BOOL WINAPI NotAnAdmin() { return FALSE; }
    BOOL WINAPI NoAccountName(LPCWSTR, PSID, LPWSTR, LPDWORD, LPWSTR, LPDWORD, PSID_NAME_USE)
    {
        SetLastError(ERROR_NONE_MAPPED);
        return FALSE;
    }
    // The logon session's spelling of the name, as GetUserNameW may report it.
    BOOL WINAPI ShoutedUserName(LPWSTR pszName, LPDWORD pcch)
    {
        std::wstring name = CurrentUser();
        for (wchar_t& c : name) c = static_cast<wchar_t>(towupper(c));
        if (*pcch <= name.size()) return FALSE;
        wcscpy_s(pszName, *pcch, name.c_str());
        *pcch = static_cast<DWORD>(name.size() + 1);
        return TRUE;
    }
    LONG WINAPI RefuseDeleteValue(HKEY, LPCWSTR, LPCWSTR) { return ERROR_ACCESS_DENIED; }
    bool NoRandomBytes(unsigned char*, size_t) { return false; }

    class ManagerDialog : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            testreg::Reset();
            VScardReset();
            ASSERT_TRUE(_boxes.IsActive());
            _user = CurrentUser();
            ASSERT_FALSE(_user.empty());
        }

        void TearDown() override
        {
            VScardReset();
            testreg::DeleteTree();
        }

        void ProviderOn() { testreg::SetDword(testreg::Settings(), L"enabled", 1); }
        // A key that proves possession by default; without FIDO2 one known by its serial alone.
        int PlugToken(bool fido = true)
        {
            const int index = VScardAddReader((std::wstring(TokenReaderName) + L" 0").c_str(), TRUE);
            if (!fido) VScardSetFidoKnob(index, VSCARD_FIDO_ABSENT, 0x6A82);
            return index;
        }

        std::wstring UserPath() const { return testreg::User(_user); }
        std::string StoredVerifier() const
        {
            std::string value = testreg::ReadAnsi(UserPath(), "Recovery");
            if (!value.empty() && value.back() == '\0') value.pop_back();
            return value;
        }
        static bool Verifies(const std::wstring& code, const std::string& verifier)
        {
            const std::string typed(code.begin(), code.end());
            return VerifyRecoveryCode(typed.c_str(), static_cast<int>(typed.size()), verifier.c_str(),
                                      static_cast<int>(verifier.size()));
        }

        void ExpectBoxes(const std::vector<std::pair<std::wstring, UINT>>& expected)
        {
            const std::vector<ShownBox>& shown = _boxes.Boxes();
            ASSERT_EQ(expected.size(), shown.size()) << testing::PrintToString(_boxes.Texts());
            for (size_t i = 0; i < expected.size(); ++i)
            {
                EXPECT_EQ(expected[i].first, shown[i].text) << "box " << i;
                EXPECT_EQ(expected[i].second, shown[i].type) << "box " << i;
                EXPECT_EQ(L"VelkorFIDO2_GUI", shown[i].caption) << "box " << i;
            }
        }

        std::wstring LockoutQuestion() const
        {
            return _user + L" would be locked out: associate a token or generate a recovery code first\n\n"
                           L"Switch Velkor FIDO2 login on for " + _user + L" anyway?";
        }

        CMessageBoxRecorder _boxes;
        std::wstring _user;
    };
}

// ---- start-up -------------------------------------------------------------------------------

TEST_F(ManagerDialog, OpensWithTheProviderOffAndEverythingElseDisabled)
{
    testreg::SetDword(UserPath(), L"enabled", 1);
    ControlState state = {};
    std::wstring userLabel, caption;
    RunDialog([&](HWND hwnd) {
        state = State(hwnd);
        userLabel = Text(Item(hwnd, IDC_ENABLE_USER));
        caption = Text(hwnd);
    });
    EXPECT_EQ(PROVIDER_OFF, state); // the user box shows the template's state
    EXPECT_EQ(L" Enable Velkor FIDO2 login for user " + _user + L"\r\n", userLabel);
    EXPECT_EQ(CAPTION, caption);
    EXPECT_TRUE(_boxes.Boxes().empty());
}

TEST_F(ManagerDialog, OpensWithTheProviderOnShowingTheUserSwitch)
{
    ProviderOn();
    ControlState state = {};
    RunDialog([&](HWND hwnd) { state = State(hwnd); });
    EXPECT_EQ((ControlState{ true, false, true, true, true }), state);

    testreg::SetDword(UserPath(), L"enabled", 1);
    RunDialog([&](HWND hwnd) { state = State(hwnd); });
    EXPECT_EQ((ControlState{ true, true, true, true, true }), state);
}

TEST_F(ManagerDialog, OnlyTheDwordOneTurnsTheProviderOnAndStartUpWritesNothing)
{
    ControlState state = {};
    testreg::SetDword(testreg::Settings(), L"enabled", 2);
    RunDialog([&](HWND hwnd) { state = State(hwnd); });
    EXPECT_EQ(PROVIDER_OFF, state);
    EXPECT_EQ(std::string("\x02\0\0\0", 4), testreg::ReadAnsi(testreg::Settings(), "enabled"));

    testreg::SetString(testreg::Settings(), L"enabled", L"1");
    RunDialog([&](HWND hwnd) { state = State(hwnd); });
    EXPECT_EQ(PROVIDER_OFF, state);
    DWORD type = 0;
    testreg::ReadAnsi(testreg::Settings(), "enabled", &type);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
}

TEST_F(ManagerDialog, TheSystemMenuEndsWithTheAboutEntry)
{
    std::wstring text;
    UINT id = 0, separatorType = 0;
    RunDialog([&](HWND hwnd) {
        HMENU menu = GetSystemMenu(hwnd, FALSE);
        const int count = GetMenuItemCount(menu);
        ASSERT_GE(count, 2);
        wchar_t item[128] = {};
        GetMenuStringW(menu, static_cast<UINT>(count - 1), item, 128, MF_BYPOSITION);
        text = item;
        id = GetMenuItemID(menu, count - 1);
        MENUITEMINFOW info = {};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_FTYPE;
        GetMenuItemInfoW(menu, static_cast<UINT>(count - 2), TRUE, &info);
        separatorType = info.fType;
    });
    EXPECT_EQ(L"&About VelkorFIDO2_GUI...", text);
    EXPECT_EQ(static_cast<UINT>(IDM_ABOUTBOX), id);
    EXPECT_TRUE(separatorType & MFT_SEPARATOR);
}

TEST_F(ManagerDialog, ANonAdministratorIsRefusedBeforeAnythingIsWritten)
{
    ProviderOn();
    CImportPatch patch("shell32.dll", "IsUserAnAdmin", reinterpret_cast<void*>(&NotAnAdmin));
    ASSERT_TRUE(patch.IsActive());
    bool scriptRan = false;
    EXPECT_EQ(IDCANCEL, RunDialog([&](HWND) { scriptRan = true; }));
    EXPECT_FALSE(scriptRan); // closed before it could be used
    ExpectBoxes({ { NOT_ADMINISTRATOR, TYPE_ERROR } });
    EXPECT_FALSE(testreg::KeyExists(UserPath()));
    EXPECT_EQ(std::string("\x01\0\0\0", 4), testreg::ReadAnsi(testreg::Settings(), "enabled"));
}

TEST_F(ManagerDialog, WithoutAUserNameNothingUserRelatedCanBeUsed)
{
    ProviderOn();
    PlugToken();
    CImportPatch patch("advapi32.dll", "LookupAccountSidW", reinterpret_cast<void*>(&NoAccountName));
    ASSERT_TRUE(patch.IsActive());
    ControlState state = {};
    RunDialog([&](HWND hwnd) {
        state = State(hwnd);
        // Even a click that reaches the handlers does nothing.
        SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDC_ASSOCIATE, BN_CLICKED), 0);
        SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDC_DISSOCIATE, BN_CLICKED), 0);
        SendMessageW(Item(hwnd, IDC_ENABLE_USER), BM_SETCHECK, BST_CHECKED, 0);
        SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDC_ENABLE_USER, BN_CLICKED), 0);
        // The computer-wide switch still works.
        Click(hwnd, IDC_ENABLE_PROVIDER);
    });
    EXPECT_EQ((ControlState{ true, false, false, false, false }), state);
    ExpectBoxes({ { L"Cannot determine the current user name", TYPE_ERROR } });
    EXPECT_EQ(0u, VScardCountCalls(VSCARD_FN_ESTABLISH_CONTEXT));
    EXPECT_EQ(0u, SubKeyCount(L"SOFTWARE\\Halvane\\FIDO2\\auth\\users"));
    EXPECT_EQ(std::string("\0\0\0\0", 4), testreg::ReadAnsi(testreg::Settings(), "enabled"));
}

// ---- the provider check box -----------------------------------------------------------------

TEST_F(ManagerDialog, TheProviderBoxWritesTheSwitchAndEnablesTheRest)
{
    testreg::SetDword(UserPath(), L"enabled", 1);
    ControlState afterOn = {}, afterOff = {};
    RunDialog([&](HWND hwnd) {
        Click(hwnd, IDC_ENABLE_PROVIDER);
        afterOn = State(hwnd);
        EXPECT_TRUE(IsAuthEnabled());
        Click(hwnd, IDC_ENABLE_PROVIDER);
        afterOff = State(hwnd);
    });
    EXPECT_EQ((ControlState{ true, true, true, true, true }), afterOn);
    // Unchecking keeps the user box's check, only greyed.
    EXPECT_EQ((ControlState{ false, true, false, false, false }), afterOff);
    EXPECT_EQ(std::string("\0\0\0\0", 4), testreg::ReadAnsi(testreg::Settings(), "enabled"));
    EXPECT_TRUE(_boxes.Boxes().empty());
}

TEST_F(ManagerDialog, WithoutTheSettingsKeyTheProviderCannotBeEnabled)
{
    testreg::DeleteKey(testreg::Settings());
    ControlState state = {};
    RunDialog([&](HWND hwnd) {
        Click(hwnd, IDC_ENABLE_PROVIDER);
        state = State(hwnd);
    });
    ExpectBoxes({ { L"Error enabling credential provider", TYPE_ERROR } });
    EXPECT_EQ((ControlState{ true, false, false, false, false }), state);
    EXPECT_FALSE(testreg::KeyExists(testreg::Settings()));
}

TEST_F(ManagerDialog, AProviderSwitchThatCannotBeWrittenOffLeavesTheControlsEnabled)
{
    ProviderOn();
    ControlState state = {};
    RunDialog([&](HWND hwnd) {
        testreg::DeleteKey(testreg::Settings());
        Click(hwnd, IDC_ENABLE_PROVIDER);
        state = State(hwnd);
    });
    ExpectBoxes({ { L"Error disabling credential provider", TYPE_ERROR } });
    EXPECT_EQ((ControlState{ false, false, true, true, true }), state);
}

// ---- the user check box ---------------------------------------------------------------------

TEST_F(ManagerDialog, TheUserBoxWritesTheUserSwitch)
{
    ProviderOn();
    testreg::CreateKey(UserPath());
    testreg::AssociateToken(SERIAL, _user);
    RunDialog([&](HWND hwnd) {
        Click(hwnd, IDC_ENABLE_USER);
        EXPECT_TRUE(IsUserEnabled(_user.c_str()));
        Click(hwnd, IDC_ENABLE_USER);
    });
    EXPECT_EQ(std::string("\0\0\0\0", 4), testreg::ReadAnsi(UserPath(), "enabled"));
    EXPECT_TRUE(_boxes.Boxes().empty());
}

TEST_F(ManagerDialog, BeforeAnyAssociationTheUserCannotBeSwitchedOn)
{
    ProviderOn();
    bool checked = false;
    _boxes.AnswerQuestions({ IDYES }); // past the lockout question
    RunDialog([&](HWND hwnd) {
        Click(hwnd, IDC_ENABLE_USER);
        checked = Checked(hwnd, IDC_ENABLE_USER);
    });
    ExpectBoxes({ { LockoutQuestion(), TYPE_QUESTION }, { L"Error enabling FIDO2 login for user", TYPE_ERROR } });
    EXPECT_TRUE(checked); // keeps the click's state
    EXPECT_FALSE(testreg::KeyExists(UserPath()));
}

TEST_F(ManagerDialog, AUserSwitchThatCannotBeWrittenOffShowsAnError)
{
    ProviderOn();
    testreg::SetDword(UserPath(), L"enabled", 1);
    bool checked = true;
    RunDialog([&](HWND hwnd) {
        testreg::DeleteKey(UserPath());
        Click(hwnd, IDC_ENABLE_USER);
        checked = Checked(hwnd, IDC_ENABLE_USER);
    });
    ExpectBoxes({ { L"Error disabling FIDO2 login for user", TYPE_ERROR } });
    EXPECT_FALSE(checked);
}

// ---- association --------------------------------------------------------------------------

TEST_F(ManagerDialog, AFirstAssociationSwitchesTheUserOnAndShowsANewRecoveryCode)
{
    ProviderOn();
    PlugToken();
    _boxes.AnswerQuestions({ IDYES });
    bool userChecked = false;
    RunDialog([&](HWND hwnd) {
        Click(hwnd, IDC_ASSOCIATE);
        userChecked = Checked(hwnd, IDC_ENABLE_USER);
    });
    ASSERT_EQ(3u, _boxes.Boxes().size()) << testing::PrintToString(_boxes.Texts());
    const std::wstring code = _boxes.Boxes()[2].text;
    ExpectBoxes({ { L"Token added to user", TYPE_INFORMATION },
                  { L"Do you want to generate recovery code?", TYPE_QUESTION },
                  { code, TYPE_INFORMATION } });
    EXPECT_EQ(32u, code.size());
    EXPECT_EQ(std::wstring::npos, code.find_first_not_of(L"0123456789ABCDEF")) << code;
    EXPECT_TRUE(Verifies(code, StoredVerifier()));
    EXPECT_TRUE(userChecked);
    EXPECT_TRUE(IsUserEnabled(_user.c_str()));
    const std::string name(_user.begin(), _user.end());
    EXPECT_EQ(name + '\0', testreg::ReadAnsi(testreg::Token(SERIAL), "user"));
}

TEST_F(ManagerDialog, TheAccountIsRecordedAsTheSystemSpellsItNotAsTheSessionDoes)
{
    ProviderOn();
    PlugToken();
    CImportPatch shouted("advapi32.dll", "GetUserNameW", reinterpret_cast<void*>(&ShoutedUserName));
    ASSERT_TRUE(shouted.IsActive());
    _boxes.AnswerQuestions({ IDNO });
    std::wstring label;
    RunDialog([&](HWND hwnd) {
        label = Text(Item(hwnd, IDC_ENABLE_USER));
        Click(hwnd, IDC_ASSOCIATE);
    });
    // The package compares the token's owner exactly with the account's name.
    const std::string name(_user.begin(), _user.end());
    EXPECT_EQ(name + '\0', testreg::ReadAnsi(testreg::Token(SERIAL), "user"));
    EXPECT_EQ(L" Enable Velkor FIDO2 login for user " + _user + L"\r\n", label);
}

TEST_F(ManagerDialog, DissociatingOneOfTwoTokensKeepsTheAccountOn)
{
    ProviderOn();
    PlugToken();
    testreg::AssociateToken(SERIAL, _user);
    testreg::AssociateToken(L"CAFE0001", _user);
    testreg::SetDword(UserPath(), L"enabled", 1);
    bool userChecked = false;
    RunDialog([&](HWND hwnd) {
        Click(hwnd, IDC_DISSOCIATE);
        userChecked = Checked(hwnd, IDC_ENABLE_USER);
    });
    ExpectBoxes({ { L"Token removed; the account keeps its other tokens", TYPE_INFORMATION } });
    EXPECT_TRUE(userChecked);
    EXPECT_TRUE(IsUserEnabled(_user.c_str()));
    EXPECT_FALSE(testreg::KeyExists(testreg::Token(SERIAL)));
    EXPECT_TRUE(testreg::KeyExists(testreg::Token(L"CAFE0001")));
}

TEST_F(ManagerDialog, AnsweringNoStoresNoRecoveryCode)
{
    ProviderOn();
    PlugToken();
    _boxes.AnswerQuestions({ IDNO });
    RunDialog([&](HWND hwnd) { Click(hwnd, IDC_ASSOCIATE); });
    ExpectBoxes({ { L"Token added to user", TYPE_INFORMATION }, { L"Do you want to generate recovery code?", TYPE_QUESTION } });
    EXPECT_FALSE(testreg::ValueExists(UserPath(), L"Recovery"));
    EXPECT_TRUE(testreg::KeyExists(testreg::Token(SERIAL)));
}

TEST_F(ManagerDialog, AnExistingRecoveryCodeIsReplacedOnlyOnYes)
{
    ProviderOn();
    PlugToken();
    const std::string oldVerifier(64, 'A');
    testreg::SetDword(UserPath(), L"enabled", 0); // switched off before: association turns it on
    testreg::SetAnsi(UserPath(), "Recovery", oldVerifier + '\0');
    _boxes.AnswerQuestions({ IDNO });
    bool userChecked = false;
    RunDialog([&](HWND hwnd) {
        EXPECT_FALSE(Checked(hwnd, IDC_ENABLE_USER));
        Click(hwnd, IDC_ASSOCIATE);
        userChecked = Checked(hwnd, IDC_ENABLE_USER);
    });
    ExpectBoxes({ { L"Token added to user", TYPE_INFORMATION },
                  { L"Do you want to regenerate recovery code and replace existing code?", TYPE_QUESTION } });
    EXPECT_EQ(oldVerifier, StoredVerifier());
    EXPECT_TRUE(userChecked);

    // A second token of the same user; this time Yes.
    VScardReset();
    VScardSetSerial(VScardAddReader((std::wstring(TokenReaderName) + L" 0").c_str(), TRUE), 0x0BADCAFE);
    _boxes.Clear();
    _boxes.AnswerQuestions({ IDYES });
    RunDialog([&](HWND hwnd) { Click(hwnd, IDC_ASSOCIATE); });
    ASSERT_EQ(3u, _boxes.Boxes().size());
    EXPECT_EQ(L"Do you want to regenerate recovery code and replace existing code?", _boxes.Boxes()[1].text);
    EXPECT_NE(oldVerifier, StoredVerifier());
    EXPECT_TRUE(Verifies(_boxes.Boxes()[2].text, StoredVerifier()));
}

TEST_F(ManagerDialog, ARecoveryCodeThatCannotBeMadeIsNotShown)
{
    ProviderOn();
    PlugToken(false); // no random bytes are needed to associate it
    const std::string oldVerifier(64, 'B');
    testreg::SetAnsi(UserPath(), "Recovery", oldVerifier + '\0');
    const RandomSource previous = SetRandomSourceForTesting(NoRandomBytes);
    _boxes.AnswerQuestions({ IDYES });
    RunDialog([&](HWND hwnd) { Click(hwnd, IDC_ASSOCIATE); });
    SetRandomSourceForTesting(previous);
    ExpectBoxes({ { L"This token cannot prove possession; it is associated by its serial number only", TYPE_INFORMATION },
                  { L"Token added to user", TYPE_INFORMATION },
                  { L"Do you want to regenerate recovery code and replace existing code?", TYPE_QUESTION },
                  { L"Error generating recovery key", TYPE_ERROR } });
    EXPECT_EQ(oldVerifier, StoredVerifier());
    EXPECT_TRUE(testreg::KeyExists(testreg::Token(SERIAL)));
    EXPECT_TRUE(IsUserEnabled(_user.c_str()));
}

namespace
{
    std::wstring g_progressText;
    bool g_dialogTookInput = true;

    void CALLBACK WatchProgress(HWND, UINT, UINT_PTR idEvent, DWORD)
    {
        HWND hwndText = FindWindowExW(g_hwndDialog, nullptr, L"STATIC", L"Touch the key now");
        if (hwndText == nullptr) return;
        KillTimer(nullptr, idEvent);
        g_progressText = L"Touch the key now";
        g_dialogTookInput = IsWindowEnabled(g_hwndDialog) != FALSE;
    }
}

// A key that proves possession gets its credential at association: the dialog says to
// touch the key, and keeps painting without taking input, until the key answers.
TEST_F(ManagerDialog, AssociationMakesTheKeysCredentialWhileAskingForATouch)
{
    ProviderOn();
    const int token = PlugToken();
    VScardSetFidoKnob(token, VSCARD_FIDO_TOUCH_POLLS, 5);
    _boxes.AnswerQuestions({ IDNO });
    g_progressText.clear();
    RunDialog([&](HWND hwnd) {
        const UINT_PTR timer = SetTimer(nullptr, 0, 20, WatchProgress);
        Click(hwnd, IDC_ASSOCIATE);
        KillTimer(nullptr, timer);
        EXPECT_EQ(nullptr, FindWindowExW(hwnd, nullptr, L"STATIC", L"Touch the key now")) << "gone afterwards";
        EXPECT_TRUE(IsWindowEnabled(hwnd));
    });
    EXPECT_EQ(L"Touch the key now", g_progressText);
    EXPECT_FALSE(g_dialogTookInput);
    ExpectBoxes({ { L"Token added to user", TYPE_INFORMATION }, { L"Do you want to generate recovery code?", TYPE_QUESTION } });
    EXPECT_EQ(65u, testreg::ReadAnsi(testreg::Token(SERIAL), "publicKey").size());
    EXPECT_FALSE(testreg::ReadAnsi(testreg::Token(SERIAL), "credentialId").empty());
}

namespace
{
    // The PIN box of an association in progress, answered once it is up: its question and
    // whether it hides what is typed are kept, the PIN typed (or the box cancelled).
    struct PIN_BOX
    {
        const wchar_t* pszTyped; // null: cancelled
        std::wstring question;
        bool fPassword = false;
        bool fAnswered = false;
    } g_pinBox;

    BOOL CALLBACK AnswerPinBox(HWND hwnd, LPARAM)
    {
        wchar_t caption[64] = {};
        GetWindowTextW(hwnd, caption, 64);
        if (wcscmp(caption, L"Security key PIN") != 0 || !IsWindowVisible(hwnd)) return TRUE;
        g_pinBox.question = Text(GetDlgItem(hwnd, IDC_PIN_QUESTION));
        HWND hwndEdit = GetDlgItem(hwnd, IDC_PIN_EDIT);
        g_pinBox.fPassword = (GetWindowLongW(hwndEdit, GWL_STYLE) & ES_PASSWORD) != 0;
        if (g_pinBox.pszTyped != nullptr) SetWindowTextW(hwndEdit, g_pinBox.pszTyped);
        g_pinBox.fAnswered = true;
        SendMessageW(GetDlgItem(hwnd, g_pinBox.pszTyped != nullptr ? IDOK : IDCANCEL), BM_CLICK, 0, 0);
        return FALSE;
    }

    void CALLBACK LookForPinBox(HWND, UINT, UINT_PTR idEvent, DWORD)
    {
        if (g_pinBox.fAnswered) return;
        EnumThreadWindows(GetCurrentThreadId(), AnswerPinBox, 0);
        if (g_pinBox.fAnswered) KillTimer(nullptr, idEvent);
    }
}

// A key with a PIN: the association asks for it in a password box over the dialog, and with
// it makes the key's credential; cancelled, nothing is written.
TEST_F(ManagerDialog, AKeyWithAPinIsAskedForItInAPasswordBox)
{
    CEcdhStandIn standIn{ L"winscard.dll" };
    ASSERT_TRUE(standIn.IsReady());
    ProviderOn();
    VScardSetFidoPin(PlugToken(), "4711-pin");
    for (const wchar_t* pszTyped : { static_cast<const wchar_t*>(nullptr), L"4711-pin" })
    {
        _boxes.Clear();
        _boxes.AnswerQuestions(pszTyped != nullptr ? std::vector<int>{ IDNO } : std::vector<int>{});
        g_pinBox = { pszTyped, L"", false, false };
        RunDialog([&](HWND hwnd) {
            SetTimer(nullptr, 0, 20, LookForPinBox);
            Click(hwnd, IDC_ASSOCIATE);
        });
        EXPECT_TRUE(g_pinBox.fAnswered);
        EXPECT_TRUE(g_pinBox.fPassword) << "what is typed is not shown";
        EXPECT_EQ(L"Type the PIN of the security key. It is needed once, to associate the key; logons never ask for it "
                  L"(8 attempts left)", g_pinBox.question);
        if (pszTyped == nullptr)
        {
            ExpectBoxes({ { L"No PIN was given; nothing was changed", TYPE_ERROR },
                          { L"Error 0xFFFFFD01 adding token: The key needs its PIN, and none was given", TYPE_ERROR } });
            EXPECT_FALSE(testreg::KeyExists(testreg::Token(SERIAL)));
            continue;
        }
        ExpectBoxes({ { L"Token added to user", TYPE_INFORMATION }, { L"Do you want to generate recovery code?", TYPE_QUESTION } });
        EXPECT_FALSE(testreg::ReadAnsi(testreg::Token(SERIAL), "credentialId").empty());
        EXPECT_TRUE(IsUserEnabled(_user.c_str()));
    }
}

TEST_F(ManagerDialog, AFailedAssociationShowsItsCodeAfterTheFlowsOwnBox)
{
    ProviderOn();
    RunDialog([&](HWND hwnd) { Click(hwnd, IDC_ASSOCIATE); }); // no reader
    PlugToken();
    const std::string name(_user.begin(), _user.end());
    testreg::AssociateToken(SERIAL, _user);
    RunDialog([&](HWND hwnd) { Click(hwnd, IDC_ASSOCIATE); });
    ExpectBoxes({ { L"No token detected", TYPE_ERROR },
                  { L"Error 0xFFFFFFFF adding token: No key is plugged in, or more than one", TYPE_ERROR },
                  { L"Token already registered", TYPE_ERROR },
                  { L"Error 0xFFFFFFFC adding token: Refused: the key is registered already, is not this account's key, or cannot prove possession while proof is required", TYPE_ERROR } });
    EXPECT_FALSE(IsUserEnabled(_user.c_str()));
}

TEST_F(ManagerDialog, AConnectionFailureShowsOnlyTheCodeBox)
{
    ProviderOn();
    VScardAddReader((std::wstring(TokenReaderName) + L" 0").c_str(), FALSE);
    RunDialog([&](HWND hwnd) { Click(hwnd, IDC_ASSOCIATE); Click(hwnd, IDC_DISSOCIATE); });
    ExpectBoxes({ { L"Error 0xFFFFFFFE adding token: The key did not answer the connection", TYPE_ERROR },
                  { L"Error 0xFFFFFFFE removing token: The key did not answer the connection", TYPE_ERROR } });
}

// ---- dissociation -------------------------------------------------------------------------

TEST_F(ManagerDialog, DissociationSwitchesTheUserOffAndRemovesTheRecoveryCodeOnYes)
{
    ProviderOn();
    PlugToken();
    testreg::AssociateToken(SERIAL, _user);
    testreg::SetDword(UserPath(), L"enabled", 1);
    testreg::SetAnsi(UserPath(), "Recovery", std::string(64, 'C') + '\0');
    _boxes.AnswerQuestions({ IDYES });
    bool userChecked = true;
    RunDialog([&](HWND hwnd) {
        Click(hwnd, IDC_DISSOCIATE);
        userChecked = Checked(hwnd, IDC_ENABLE_USER);
    });
    ExpectBoxes({ { L"Token removed from user", TYPE_INFORMATION },
                  { L"Do you want to remove recovery code?", TYPE_QUESTION },
                  { L"Recovery key removed", TYPE_INFORMATION } });
    EXPECT_FALSE(userChecked);
    EXPECT_FALSE(testreg::KeyExists(testreg::Token(SERIAL)));
    EXPECT_FALSE(testreg::ValueExists(UserPath(), L"Recovery"));
    EXPECT_EQ(std::string("\0\0\0\0", 4), testreg::ReadAnsi(UserPath(), "enabled"));
    EXPECT_TRUE(testreg::KeyExists(UserPath()));
}

TEST_F(ManagerDialog, DissociationKeepsTheRecoveryCodeOnNoAndDoesNotAskWithoutOne)
{
    ProviderOn();
    PlugToken();
    testreg::AssociateToken(SERIAL, _user);
    testreg::SetAnsi(UserPath(), "Recovery", std::string(64, 'D') + '\0');
    _boxes.AnswerQuestions({ IDNO });
    RunDialog([&](HWND hwnd) { Click(hwnd, IDC_DISSOCIATE); });
    ExpectBoxes({ { L"Token removed from user", TYPE_INFORMATION }, { L"Do you want to remove recovery code?", TYPE_QUESTION } });
    EXPECT_TRUE(testreg::ValueExists(UserPath(), L"Recovery"));

    testreg::DeleteValue(UserPath(), L"Recovery");
    testreg::AssociateToken(SERIAL, _user);
    _boxes.Clear();
    RunDialog([&](HWND hwnd) { Click(hwnd, IDC_DISSOCIATE); });
    ExpectBoxes({ { L"Token removed from user", TYPE_INFORMATION } });
}

TEST_F(ManagerDialog, ARecoveryCodeThatCannotBeRemovedIsReported)
{
    ProviderOn();
    PlugToken();
    testreg::AssociateToken(SERIAL, _user);
    testreg::SetDword(UserPath(), L"enabled", 1);
    testreg::SetAnsi(UserPath(), "Recovery", std::string(64, 'E') + '\0');
    CImportPatch patch("advapi32.dll", "RegDeleteKeyValueW", reinterpret_cast<void*>(&RefuseDeleteValue));
    ASSERT_TRUE(patch.IsActive());
    _boxes.AnswerQuestions({ IDYES });
    RunDialog([&](HWND hwnd) { Click(hwnd, IDC_DISSOCIATE); });
    ExpectBoxes({ { L"Token removed from user", TYPE_INFORMATION },
                  { L"Do you want to remove recovery code?", TYPE_QUESTION },
                  { L"Error removing recovery key", TYPE_ERROR } });
    EXPECT_FALSE(testreg::KeyExists(testreg::Token(SERIAL)));
    EXPECT_FALSE(IsUserEnabled(_user.c_str()));
    EXPECT_TRUE(testreg::ValueExists(UserPath(), L"Recovery"));
}

TEST_F(ManagerDialog, AnotherUsersTokenIsNotDissociated)
{
    ProviderOn();
    PlugToken();
    testreg::AssociateToken(SERIAL, L"someone-else");
    testreg::SetDword(UserPath(), L"enabled", 1);
    bool userChecked = false;
    RunDialog([&](HWND hwnd) {
        Click(hwnd, IDC_DISSOCIATE);
        userChecked = Checked(hwnd, IDC_ENABLE_USER);
    });
    ExpectBoxes({ { L"Token is not mapped to current user: this key is registered to another account", TYPE_ERROR },
                  { L"Error 0xFFFFFFFC removing token: Refused: the key is registered already, is not this account's key, or cannot prove possession while proof is required", TYPE_ERROR } });
    EXPECT_TRUE(userChecked);
    EXPECT_TRUE(IsUserEnabled(_user.c_str()));
    EXPECT_TRUE(testreg::KeyExists(testreg::Token(SERIAL)));
}

// ---- lockout preflight, LSA protection and events ------------------------------------------

TEST_F(ManagerDialog, SwitchingOnALockedOutAccountAsksAndNoLeavesItOff)
{
    ProviderOn();
    testreg::SetDword(UserPath(), L"enabled", 0);
    const std::wstring before = testreg::Snapshot();
    _boxes.AnswerQuestions({ IDNO, IDYES });
    bool checkedAfterNo = true, checkedAfterYes = false;
    RunDialog([&](HWND hwnd) {
        Click(hwnd, IDC_ENABLE_USER);
        checkedAfterNo = Checked(hwnd, IDC_ENABLE_USER);
        EXPECT_EQ(before, testreg::Snapshot());
        Click(hwnd, IDC_ENABLE_USER);
        checkedAfterYes = Checked(hwnd, IDC_ENABLE_USER);
    });
    ExpectBoxes({ { LockoutQuestion(), TYPE_QUESTION }, { LockoutQuestion(), TYPE_QUESTION } });
    EXPECT_FALSE(checkedAfterNo);
    EXPECT_TRUE(checkedAfterYes);
    EXPECT_TRUE(IsUserEnabled(_user.c_str()));

    // A recovery code alone is a way in: no question.
    testreg::SetDword(UserPath(), L"enabled", 0);
    testreg::SetAnsi(UserPath(), "Recovery", std::string(64, 'F') + '\0');
    _boxes.Clear();
    RunDialog([&](HWND hwnd) { Click(hwnd, IDC_ENABLE_USER); });
    EXPECT_TRUE(_boxes.Boxes().empty()) << testing::PrintToString(_boxes.Texts());
    EXPECT_TRUE(IsUserEnabled(_user.c_str()));
}

TEST_F(ManagerDialog, UnderLsaProtectionSwitchingTheComputerOnWarnsThatNothingIsEnforced)
{
    const std::wstring lsa = L"SYSTEM\\CurrentControlSet\\Control\\Lsa";
    for (const DWORD runAsPpl : { 0u, 1u, 2u })
    {
        SCOPED_TRACE(runAsPpl);
        testreg::SetDword(lsa, L"RunAsPPL", runAsPpl);
        testreg::SetDword(testreg::Settings(), L"enabled", 0);
        _boxes.Clear();
        RunDialog([&](HWND hwnd) { Click(hwnd, IDC_ENABLE_PROVIDER); });
        EXPECT_TRUE(IsAuthEnabled()); // written all the same
        if (runAsPpl == 0)
        {
            EXPECT_TRUE(_boxes.Boxes().empty()) << testing::PrintToString(_boxes.Texts());
            continue;
        }
        if (_boxes.Boxes().size() != 1u)
        {
            ADD_FAILURE() << testing::PrintToString(_boxes.Texts()); // and RunAsPPL still goes below
            continue;
        }
        EXPECT_EQ(MB_OK | MB_ICONWARNING, _boxes.Boxes()[0].type);
        EXPECT_EQ(0u, _boxes.Boxes()[0].text.find(L"NOT ENFORCED: logons are not checked by VelkorSubAuth: "));
        EXPECT_NE(std::wstring::npos, _boxes.Boxes()[0].text.find(L"LSA protection is on (RunAsPPL = " +
                                                                  std::to_wstring(runAsPpl) +
                                                                  L") and refuses the unsigned VelkorSubAuth.dll"));
    }
    testreg::DeleteValue(lsa, L"RunAsPPL");
}

// The running LSA (played by stand-ins) at start with the switch on, and when it is switched on.
TEST_F(ManagerDialog, AtStartAndWhenSwitchedOnTheRunningLsaIsJudged)
{
    const std::wstring refused = L"NOT ENFORCED: LSA runs as a protected process and refuses VelkorSubAuth.dll";
    LsaScene protectedLsa;
    protectedLsa.protectionLevel = 4; // PROTECTION_LEVEL_LSA_LIGHT
    LsaScene unreadable;
    unreadable.serviceError = ERROR_SERVICE_DOES_NOT_EXIST;
    unreadable.logError = ERROR_EVT_CHANNEL_NOT_FOUND;
    const struct
    {
        const char* label;
        bool computerOn;
        LsaScene scene;
        std::wstring box; // "" for none
    } cases[] = {
        { "on and protected", true, protectedLsa, refused },
        { "on and unreadable", true, unreadable,
          L"LSA protection could not be checked: the protection of the process that runs SamSs (OpenService error "
          L"0x00000424); the Code Integrity log (EvtQuery error 0x00003A9F)" },
        { "on and unprotected", true, LsaScene(), L"" },
        { "switched on while protected", false, protectedLsa, refused },
    };
    testinst::CInstallation installation;
    installation.Install();
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.label);
        testreg::SetDword(testreg::Settings(), L"enabled", c.computerOn ? 1 : 0);
        CLsaStandIn lsa(c.scene);
        ASSERT_TRUE(lsa.IsActive());
        _boxes.Clear();
        size_t boxesAtStart = MAXDWORD;
        RunDialog([&](HWND hwnd) {
            boxesAtStart = _boxes.Boxes().size();
            if (!c.computerOn) Click(hwnd, IDC_ENABLE_PROVIDER);
        });
        EXPECT_EQ(c.computerOn && !c.box.empty() ? 1u : 0u, boxesAtStart);
        if (c.box.empty())
        {
            EXPECT_TRUE(_boxes.Boxes().empty()) << testing::PrintToString(_boxes.Texts());
            continue;
        }
        ExpectBoxes({ { c.box, MB_OK | MB_ICONWARNING } });
    }
}

TEST_F(ManagerDialog, EveryChangeIsReportedAsAnEventUnlessTheSwitchIsZero)
{
    PlugToken();
    for (const bool reporting : { true, false })
    {
        SCOPED_TRACE(reporting);
        testreg::Reset();
        if (!reporting) testreg::SetDword(testreg::Settings(), L"eventLogEnabled", 0);
        CEventRecorder events;
        ASSERT_TRUE(events.IsActive());
        _boxes.Clear();
        _boxes.AnswerQuestions({ IDYES, IDYES });
        RunDialog([&](HWND hwnd) {
            Click(hwnd, IDC_ENABLE_PROVIDER); // on
            Click(hwnd, IDC_ASSOCIATE);       // associated, user on, recovery code
            Click(hwnd, IDC_ENABLE_USER);     // user off
            Click(hwnd, IDC_ENABLE_USER);     // user on (it has a token: no question)
            Click(hwnd, IDC_DISSOCIATE);      // dissociated, user off, code removed
            Click(hwnd, IDC_ENABLE_PROVIDER); // off
        });
        std::vector<std::pair<DWORD, std::vector<std::wstring>>> seen;
        for (const ReportedEvent& event : events.Events())
        {
            EXPECT_EQ(L"Velkor FIDO2 Login", event.source);
            EXPECT_EQ(EVENTLOG_INFORMATION_TYPE, event.type);
            seen.push_back({ event.id & 0xFFFF, event.strings });
        }
        const std::vector<std::pair<DWORD, std::vector<std::wstring>>> expected = {
            { 2000, { _user } },
            { 2004, { _user, SERIAL, _user } },
            { 2002, { _user, _user } },
            { 2006, { _user, _user } },
            { 2003, { _user, _user } },
            { 2002, { _user, _user } },
            { 2005, { _user, SERIAL, _user } },
            { 2003, { _user, _user } },
            { 2007, { _user, _user } },
            { 2001, { _user } },
        };
        EXPECT_EQ(reporting ? expected : decltype(expected){}, seen);
        EXPECT_FALSE(testreg::KeyExists(testreg::Token(SERIAL)));
    }
}
