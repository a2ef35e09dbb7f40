// Association of keys with a PIN against the virtual key: who is asked for the PIN and when,
// what a wrong, blocked or cancelled PIN tells, and that nothing is written unless the
// credential was made. The PIN is typed by a scripted prompt; boxes are recorded.
#include "AppMessageBox.h"
#include "AssociationPin.h"
#include "EcdhStandIn.h"
#include "MessageBoxRecorder.h"
#include "TestRegistry.h"
#include "TokenAssociation.h"
#include "TokenIdentification.h"
#include "VirtualSCard.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace
{
    using Lines = std::vector<std::wstring>;
    const wchar_t USER[] = L"alice";
    const wchar_t SERIAL[] = L"1234ABCD";
    const char PIN[] = "4711-pin";
    const wchar_t TYPED_PIN[] = L"4711-pin";
    const wchar_t* const CANCEL = nullptr;

    const std::wstring ALWAYS_UV = L"This key requires its PIN for every use; it cannot be used for logon";
    const std::wstring BLOCKED = L"The key's PIN is blocked; nothing was changed. The key must be reset, which deletes "
                                 L"every credential on it, and then associated again";
    const std::wstring REPLUG = L"Too many wrong PINs in a row; nothing was changed. Unplug the key and plug it in again "
                                L"before the next attempt";

    // Types the scripted PINs (CANCEL: the box is cancelled) and remembers each question, and
    // how many commands the key had had when it was asked.
    class CTypedPin final : public CMessageBoxPrompts
    {
    public:
        std::vector<const wchar_t*> typed;
        Lines questions;
        std::vector<DWORD> transmitsWhenAsked;

        bool AskPin(const wchar_t* pszQuestion, wchar_t (&szPin)[PIN_INPUT_CHARS]) override
        {
            questions.push_back(pszQuestion);
            transmitsWhenAsked.push_back(VScardCountTransmits(nullptr, 0));
            if (typed.empty())
            {
                ADD_FAILURE() << "asked for a PIN nobody was to type: " << testing::PrintToString(std::wstring(pszQuestion));
                return false;
            }
            const wchar_t* pszPin = typed.front();
            typed.erase(typed.begin());
            if (pszPin == CANCEL) return false;
            wcscpy_s(szPin, pszPin);
            return true;
        }
    };

    std::wstring Question(const wchar_t* pszLeft)
    {
        return std::wstring(L"Type the PIN of the security key. It is needed once, to associate the key; logons never ask "
                            L"for it") + pszLeft;
    }

    class AssociationPin : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            ASSERT_TRUE(_standIn.IsReady());
            ASSERT_TRUE(_boxes.IsActive());
            testreg::Reset();
            VScardReset();
            _reader = VScardAddReader((std::wstring(TokenReaderName) + L" 0").c_str(), TRUE);
        }
        void TearDown() override
        {
            EXPECT_EQ(0u, VScardOpenCards());
            EXPECT_EQ(0u, VScardOpenContexts());
            VScardReset();
            testreg::DeleteTree();
        }

        DWORD Associate(std::vector<const wchar_t*> typed)
        {
            _prompts = CTypedPin();
            _prompts.typed = typed;
            _boxes.Clear();
            const DWORD result = AssociateToken(_prompts, _traceText, USER);
            EXPECT_TRUE(_prompts.typed.empty()) << _prompts.typed.size() << " PINs were not asked for";
            return result;
        }

        CEcdhStandIn _standIn{ L"winscard.dll" };
        CMessageBoxRecorder _boxes;
        CTypedPin _prompts;
        wchar_t _traceText[MANAGER_TRACE_TEXT_CHARS] = {};
        int _reader = -1;
    };

    struct PinCase
    {
        const char* what;
        std::function<void(int reader)> key;
        std::vector<const wchar_t*> typed;
        DWORD result;
        Lines boxes;
        Lines questions;
        bool sentAfterAsking; // the key heard anything after the question
    };

    void Version21(int reader) { VScardSetFidoVersion(reader, "FIDO_2_1"); }
    void WithPin(int reader) { VScardSetFidoPin(reader, PIN); }
    void Knob(int reader, int knob, DWORD value) { WithPin(reader); VScardSetFidoKnob(reader, knob, value); }

    const PinCase CASES[] = {
        { "CTAP 2.0 key: getPinToken, protocol 1", WithPin, { TYPED_PIN }, 0, {}, { Question(L" (8 attempts left)") }, true },
        { "CTAP 2.1 key: token with permissions, protocol 2", [](int r) { WithPin(r); Version21(r); }, { TYPED_PIN }, 0, {},
          { Question(L" (8 attempts left)") }, true },
        { "CTAP 2.1 key offering protocol 1 only", [](int r) { Knob(r, VSCARD_FIDO_PIN_PROTOCOLS, 1); Version21(r); },
          { TYPED_PIN }, 0, {}, { Question(L" (8 attempts left)") }, true },
        { "a key without a PIN is never asked", [](int) {}, {}, 0, {}, {}, false },
        { "a key that needs no PIN for this credential is never asked",
          [](int r) { Knob(r, VSCARD_FIDO_MAKE_CRED_UV_NOT_RQD, 1); }, {}, 0, {}, {}, false },
        { "a key that wants its PIN at every use is refused", [](int r) { Knob(r, VSCARD_FIDO_ALWAYS_UV, 1); }, {},
          TOKEN_FLOW_REFUSED, { ALWAYS_UV }, {}, false },
        { "a wrong PIN", WithPin, { L"0000" }, TOKEN_FLOW_CTAP_STATUS | 0x31,
          { L"Wrong PIN; nothing was changed (7 attempts left)" }, { Question(L" (8 attempts left)") }, true },
        { "the last attempt wrong blocks the PIN", [](int r) { Knob(r, VSCARD_FIDO_PIN_RETRIES, 1); }, { L"0000" },
          TOKEN_FLOW_CTAP_STATUS | 0x32, { BLOCKED }, { Question(L" (1 attempt left)") }, true },
        { "a blocked PIN is not asked for", [](int r) { Knob(r, VSCARD_FIDO_PIN_RETRIES, 0); }, {},
          TOKEN_FLOW_CTAP_STATUS | 0x32, { BLOCKED }, {}, false },
        { "cancelled", WithPin, { CANCEL }, TOKEN_FLOW_PIN_NOT_GIVEN, { L"No PIN was given; nothing was changed" },
          { Question(L" (8 attempts left)") }, false },
        { "too short to be a PIN: never sent", WithPin, { L"123" }, TOKEN_FLOW_PIN_UNUSABLE,
          { L"A security key's PIN has at least 4 characters and at most 63 bytes; nothing was sent to the key" },
          { Question(L" (8 attempts left)") }, false },
        // getInfo said no PIN was needed, makeCredential says otherwise: asked once, then no loop.
        { "a key that asks for its PIN after all", [](int r) { Knob(r, VSCARD_FIDO_MAKE_CRED_UV_NOT_RQD, 1);
                                                                 VScardSetFidoKnob(r, VSCARD_FIDO_PIN_REQUIRED, 1); },
          { TYPED_PIN }, TOKEN_FLOW_CTAP_STATUS | 0x36, {}, { Question(L" (8 attempts left)") }, true },
    };
}

TEST_F(AssociationPin, WhoIsAskedAndWhatIsTold)
{
    for (const PinCase& c : CASES)
    {
        TearDown();
        SetUp();
        c.key(_reader);
        const std::wstring before = testreg::Snapshot();
        EXPECT_EQ(c.result, Associate(c.typed)) << c.what;
        EXPECT_EQ(c.boxes, _boxes.Texts()) << c.what;
        EXPECT_EQ(c.questions, _prompts.questions) << c.what;
        if (!_prompts.transmitsWhenAsked.empty())
        {
            EXPECT_EQ(c.sentAfterAsking, VScardCountTransmits(nullptr, 0) > _prompts.transmitsWhenAsked.back()) << c.what;
        }
        if (c.result != 0)
        {
            EXPECT_EQ(before, testreg::Snapshot()) << c.what << ": nothing is written";
            continue;
        }
        EXPECT_TRUE(testreg::ValueExists(testreg::Token(SERIAL), L"credentialId")) << c.what;
        EXPECT_TRUE(testreg::ValueExists(testreg::Token(SERIAL), L"publicKey")) << c.what;
    }
}

// Three wrong PINs in a row: the key wants to be plugged in again, and says so before anybody
// types another; plugged in again, the right PIN associates it.
TEST_F(AssociationPin, ThreeWrongPinsInARowWantTheKeyPluggedInAgain)
{
    Version21(_reader);
    WithPin(_reader);
    const std::wstring before = testreg::Snapshot();
    EXPECT_EQ(TOKEN_FLOW_CTAP_STATUS | 0x31, Associate({ L"0000" }));
    EXPECT_EQ(TOKEN_FLOW_CTAP_STATUS | 0x31, Associate({ L"0001" }));
    EXPECT_EQ(Lines{ L"Wrong PIN; nothing was changed (6 attempts left)" }, _boxes.Texts());
    EXPECT_EQ(TOKEN_FLOW_CTAP_STATUS | 0x34, Associate({ L"0002" }));
    EXPECT_EQ(Lines{ REPLUG + L" (5 attempts left)" }, _boxes.Texts());
    EXPECT_EQ(TOKEN_FLOW_CTAP_STATUS | 0x34, Associate({}));
    EXPECT_EQ(Lines{ REPLUG + L" (5 attempts left)" }, _boxes.Texts());
    EXPECT_EQ(before, testreg::Snapshot());

    VScardRemoveToken(_reader);
    VScardInsertToken(_reader);
    EXPECT_EQ(0u, Associate({ TYPED_PIN }));
    EXPECT_EQ(Lines{ Question(L" (5 attempts left)") }, _prompts.questions);
    EXPECT_TRUE(testreg::ValueExists(testreg::Token(SERIAL), L"credentialId"));
}
