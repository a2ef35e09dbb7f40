// VelkorFIDO2_GUI.exe as an administrator meets it: started in its own process with a
// virtual token, driven through its windows, and the registry checked afterwards.
// Screenshots of the dialog and the About box land in the build tree.
#include "ConfigStore.h"
#include "GuiDriver.h"
#include "RecoveryCode.h"
#include "TestRegistry.h"
#include "resource.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
    const char ONE_TOKEN[] = "reader \"Halvane Velkor FIDO2 Security Key 0\" token\nserial 1234ABCD\n";
    const wchar_t SERIAL[] = L"1234ABCD";

    std::wstring CurrentUser()
    {
        wchar_t name[512] = {};
        DWORD cch = 512;
        GetUserNameW(name, &cch);
        return name;
    }

    std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

    ULONGLONG FileSize(const std::wstring& path)
    {
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
        return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }

    class ManagerGui : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            testreg::Reset();
            _user = CurrentUser();
            ASSERT_FALSE(_user.empty());
        }
        void TearDown() override { testreg::DeleteTree(); }

        void ExpectBox(const SeenBox& box, const std::wstring& text, bool question)
        {
            EXPECT_EQ(text, box.text);
            EXPECT_EQ(!question, box.hasOk) << Narrow(text);
            EXPECT_EQ(question, box.hasYesNo) << Narrow(text);
        }

        void ExpectScreenshot(HWND hwnd, const wchar_t* pszName)
        {
            const std::wstring path = _gui.Screenshot(hwnd, pszName);
            ASSERT_FALSE(path.empty());
            // A picture with text in it, not a blank rectangle.
            EXPECT_GT(FileSize(path), 1000u) << Narrow(path);
        }

        std::wstring UserPath() const { return testreg::User(_user); }

        CGuiDriver _gui;
        std::wstring _user;
    };
}

TEST_F(ManagerGui, WithTheProviderOffOnlyTheProviderBoxCanBeUsed)
{
    testreg::SetDword(UserPath(), L"enabled", 1);
    ASSERT_TRUE(_gui.Start(ONE_TOKEN));
    EXPECT_EQ(L" Enable Velkor FIDO2 Credential Provider on this computer", _gui.Text(_gui.Item(IDC_ENABLE_PROVIDER)));
    EXPECT_EQ(L" Enable Velkor FIDO2 login for user " + _user + L"\r\n", _gui.Text(_gui.Item(IDC_ENABLE_USER)));
    EXPECT_EQ(L"Associate  Token", _gui.Text(_gui.Item(IDC_ASSOCIATE)));
    EXPECT_EQ(L"Dissociate Token", _gui.Text(_gui.Item(IDC_DISSOCIATE)));
    EXPECT_FALSE(_gui.Checked(IDC_ENABLE_PROVIDER));
    EXPECT_TRUE(_gui.Enabled(IDC_ENABLE_PROVIDER));
    EXPECT_FALSE(_gui.Checked(IDC_ENABLE_USER));
    EXPECT_FALSE(_gui.Enabled(IDC_ENABLE_USER));
    EXPECT_FALSE(_gui.Enabled(IDC_ASSOCIATE));
    EXPECT_FALSE(_gui.Enabled(IDC_DISSOCIATE));
    ExpectScreenshot(_gui.Dialog(), L"main-dialog-provider-off");

    // Checking the box switches the computer on and brings up the user's state.
    _gui.ClickCheckBox(IDC_ENABLE_PROVIDER);
    EXPECT_TRUE(_gui.NoBoxOpen());
    EXPECT_TRUE(_gui.Enabled(IDC_ENABLE_USER));
    EXPECT_TRUE(_gui.Checked(IDC_ENABLE_USER));
    EXPECT_TRUE(_gui.Enabled(IDC_ASSOCIATE));
    EXPECT_TRUE(IsAuthEnabled());
    EXPECT_EQ(0, _gui.Close());
}

TEST_F(ManagerGui, WithTheProviderOnEverythingIsEnabled)
{
    testreg::SetDword(testreg::Settings(), L"enabled", 1);
    testreg::SetDword(UserPath(), L"enabled", 1);
    ASSERT_TRUE(_gui.Start(ONE_TOKEN));
    EXPECT_TRUE(_gui.Checked(IDC_ENABLE_PROVIDER));
    EXPECT_TRUE(_gui.Checked(IDC_ENABLE_USER));
    EXPECT_TRUE(_gui.Enabled(IDC_ENABLE_USER));
    EXPECT_TRUE(_gui.Enabled(IDC_ASSOCIATE));
    EXPECT_TRUE(_gui.Enabled(IDC_DISSOCIATE));
    ExpectScreenshot(_gui.Dialog(), L"main-dialog-provider-on");

    // The user switch follows its box.
    _gui.ClickCheckBox(IDC_ENABLE_USER);
    EXPECT_TRUE(_gui.NoBoxOpen());
    EXPECT_FALSE(IsUserEnabled(_user.c_str()));
    EXPECT_EQ(0, _gui.Close());
    EXPECT_TRUE(IsAuthEnabled()); // closing writes nothing
}

TEST_F(ManagerGui, WithoutTheSettingsKeyTheProviderBoxReportsAnError)
{
    testreg::DeleteKey(testreg::Settings());
    ASSERT_TRUE(_gui.Start(ONE_TOKEN));
    _gui.ClickAndLeave(IDC_ENABLE_PROVIDER);
    ExpectBox(_gui.AnswerBox(IDOK), L"Error enabling credential provider", false);
    EXPECT_TRUE(_gui.NoBoxOpen());
    EXPECT_TRUE(_gui.Checked(IDC_ENABLE_PROVIDER));
    EXPECT_FALSE(_gui.Enabled(IDC_ENABLE_USER));
    EXPECT_FALSE(_gui.Enabled(IDC_ASSOCIATE));
    EXPECT_EQ(0, _gui.Close());
    EXPECT_FALSE(testreg::KeyExists(testreg::Settings()));
}

TEST_F(ManagerGui, AssociateTwiceThenDissociateWithTheRecoveryCode)
{
    testreg::SetDword(testreg::Settings(), L"enabled", 1);
    ASSERT_TRUE(_gui.Start(ONE_TOKEN));
    EXPECT_FALSE(_gui.Checked(IDC_ENABLE_USER));

    // First association: the token is recorded and a recovery code is offered and shown.
    _gui.ClickAndLeave(IDC_ASSOCIATE);
    ExpectBox(_gui.AnswerBox(IDOK), L"Token added to user", false);
    ExpectBox(_gui.AnswerBox(IDYES), L"Do you want to generate recovery code?", true);
    const SeenBox codeBox = _gui.AnswerBox(IDOK);
    EXPECT_TRUE(_gui.NoBoxOpen());
    EXPECT_TRUE(codeBox.hasOk);
    const std::string code = Narrow(codeBox.text);
    ASSERT_EQ(32u, code.size()) << code;
    EXPECT_TRUE(_gui.Checked(IDC_ENABLE_USER));
    EXPECT_EQ(Narrow(_user) + '\0', testreg::ReadAnsi(testreg::Token(SERIAL), "user"));
    EXPECT_TRUE(IsUserEnabled(_user.c_str()));
    std::string verifier = testreg::ReadAnsi(UserPath(), "Recovery");
    ASSERT_EQ(65u, verifier.size());
    verifier.pop_back();
    EXPECT_TRUE(VerifyRecoveryCode(code.c_str(), 32, verifier.c_str(), 64));

    // Second association of the same token.
    _gui.ClickAndLeave(IDC_ASSOCIATE);
    ExpectBox(_gui.AnswerBox(IDOK), L"Token already registered", false);
    ExpectBox(_gui.AnswerBox(IDOK), L"Error 0xFFFFFFFC adding token: Refused: the key is registered already, is not this account's key, or cannot prove possession while proof is required", false);
    EXPECT_TRUE(_gui.NoBoxOpen());
    EXPECT_EQ(verifier + '\0', testreg::ReadAnsi(UserPath(), "Recovery"));

    // Dissociation, removing the recovery code.
    _gui.ClickAndLeave(IDC_DISSOCIATE);
    ExpectBox(_gui.AnswerBox(IDOK), L"Token removed from user", false);
    ExpectBox(_gui.AnswerBox(IDYES), L"Do you want to remove recovery code?", true);
    ExpectBox(_gui.AnswerBox(IDOK), L"Recovery key removed", false);
    EXPECT_TRUE(_gui.NoBoxOpen());
    EXPECT_FALSE(_gui.Checked(IDC_ENABLE_USER));
    EXPECT_EQ(0, _gui.Close());

    EXPECT_FALSE(testreg::KeyExists(testreg::Token(SERIAL)));
    EXPECT_TRUE(testreg::KeyExists(UserPath()));
    EXPECT_FALSE(IsUserEnabled(_user.c_str()));
    EXPECT_FALSE(testreg::ValueExists(UserPath(), L"Recovery"));
}

TEST_F(ManagerGui, TheAboutBoxOpensFromTheSystemMenu)
{
    ASSERT_TRUE(_gui.Start(""));
    _gui.SystemCommand(IDM_ABOUTBOX);
    HWND hwndAbout = _gui.WaitForWindow(L"About VelkorFIDO2 Login Manager");
    ASSERT_NE(nullptr, hwndAbout);
    EXPECT_EQ(_gui.Dialog(), GetWindow(hwndAbout, GW_OWNER));
    const std::vector<std::wstring> texts = _gui.StaticTexts(hwndAbout);
    ASSERT_EQ(2u, texts.size());
    EXPECT_EQ(L"VelkorFIDO2 Login Manager, Version 1.0.0.1", texts[0]);
    EXPECT_EQ(L"Copyright (C) Halvane. All rights reserved.", texts[1]);
    // Modal: the main dialog waits.
    EXPECT_FALSE(IsWindowEnabled(_gui.Dialog()));
    ExpectScreenshot(hwndAbout, L"about-box");
    EXPECT_TRUE(_gui.ClickAndWaitGone(hwndAbout, IDOK));
    EXPECT_TRUE(IsWindowEnabled(_gui.Dialog()));
    EXPECT_EQ(0, _gui.Close());
}
