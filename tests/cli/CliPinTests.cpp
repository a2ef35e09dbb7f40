// velkorctl associate with keys that have a PIN, in this process against the virtual key (the
// ECDH derivation stood in for under Wine): --pin-file, no console, the logon afterwards
// through the package as LSA loads it, and a PIN that appears nowhere afterwards.
#include "CngCrypto.h"
#include "ConfigStore.h"
#include "DebugOutputCapture.h"
#include "EcdhStandIn.h"
#include "EventRecorder.h"
#include "InProcessCtl.h"
#include "LogonHarness.h"
#include "TestLogFile.h"
#include "TestRegistry.h"
#include "TokenIdentification.h"
#include "VirtualSCard.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

namespace
{
    const std::wstring TOKEN_READER = std::wstring(TokenReaderName) + L" 0";
    const char PIN[] = "Velkor-PIN-7391";
    const char WRONG_PIN[] = "Wrong-PIN-5820";

    std::wstring User()
    {
        wchar_t name[512] = {};
        DWORD cch = 512;
        GetUserNameW(name, &cch);
        return name;
    }

    std::wstring PinFile()
    {
        wchar_t folder[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, folder);
        return std::wstring(folder) + L"velkor-pin.txt";
    }

    void WritePinFile(const std::string& content) { std::ofstream(PinFile().c_str(), std::ios::binary | std::ios::trunc) << content; }

    std::wstring Expand(std::wstring line)
    {
        for (size_t at = line.find(L"{pin}"); at != std::wstring::npos; at = line.find(L"{pin}")) line.replace(at, 5, PinFile());
        for (size_t at = line.find(L"{user}"); at != std::wstring::npos; at = line.find(L"{user}")) line.replace(at, 6, User());
        return line;
    }

    class CtlPin : public CPackageTest
    {
    protected:
        void SetUp() override
        {
            ASSERT_TRUE(_standIn.IsReady());
            testreg::Reset();
            VScardReset();
            _reader = VScardAddReader(TOKEN_READER.c_str(), TRUE);
            VScardSetFidoVersion(_reader, "FIDO_2_1");
            VScardSetFidoPin(_reader, PIN);
            DeleteFileW(PinFile().c_str());
        }
        void TearDown() override
        {
            VScardReset();
            testreg::DeleteTree();
            DeleteFileW(PinFile().c_str());
        }

        int Run(const wchar_t* pszLine)
        {
            _output = CCapturedOutput();
            return RunLine(Expand(pszLine), _output);
        }
        std::wstring Printed() const { return _output.out + _output.err; }

        CEcdhStandIn _standIn{ L"winscard.dll" };
        int _reader = -1;
        CCapturedOutput _output;
    };

    struct CliPinCase
    {
        const char* what;
        std::function<void(int reader)> key;
        const char* pinFile; // null: no file
        const wchar_t* line;
        int exitCode;
        std::vector<std::wstring> errors; // each a fragment of standard error
        bool stored;
    };

    const CliPinCase CASES[] = {
        { "the PIN from a file with a byte order mark and a line end", [](int) {}, "\xEF\xBB\xBFVelkor-PIN-7391\r\nmore\r\n",
          L"associate {user} --pin-file {pin}", 0, {}, true },
        { "no console and no --pin-file", [](int) {}, nullptr, L"associate {user}", 4,
          { L"velkorctl: the key needs its PIN and there is no console to type it at: give --pin-file PATH",
            L"No PIN was given; nothing was changed" }, false },
        { "a PIN file that is not there", [](int) {}, nullptr, L"associate {user} --pin-file {pin}", 4,
          { L"velkorctl: cannot read the PIN file ", L"Error 0xFFFFFD01 adding token: The key needs its PIN, and none was given" },
          false },
        { "a first line too long to be a PIN", [](int) {}, "1234567890123456789012345678901234567890123456789012345678901234567890"
          "1234567890123456789012345678901234567890123456789012345678901234567890", L"associate {user} --pin-file {pin}", 4,
          { L"is no PIN (empty, too long or not UTF-8)" }, false },
        { "a key that needs no PIN never reads the file", [](int r) { VScardSetFidoPin(r, nullptr); }, nullptr,
          L"associate {user} --pin-file {pin}", 0, {}, true },
    };
}

TEST_F(CtlPin, AssociateWithThePinFromAFileOrNone)
{
    for (const CliPinCase& c : CASES)
    {
        TearDown();
        SetUp();
        c.key(_reader);
        if (c.pinFile != nullptr) WritePinFile(c.pinFile);
        const std::wstring before = testreg::Snapshot();
        EXPECT_EQ(c.exitCode, Run(c.line)) << c.what << testing::PrintToString(Printed());
        for (const std::wstring& error : c.errors)
        {
            EXPECT_NE(std::wstring::npos, _output.err.find(error)) << c.what << testing::PrintToString(Printed());
        }
        EXPECT_EQ(c.stored, testreg::ValueExists(testreg::Token(L"1234ABCD"), L"credentialId")) << c.what;
        if (!c.stored)
        {
            EXPECT_EQ(before, testreg::Snapshot()) << c.what;
        }
    }
    EXPECT_EQ(2, Run(L"associate {user} --pin-file")) << "--pin-file needs a value";
    EXPECT_EQ(2, Run(L"dissociate {user} --pin-file {pin}"));
    EXPECT_NE(std::wstring::npos, _output.err.find(L"--pin-file does not apply to dissociate"));
}

// The PIN of a successful association and of a wrong attempt before it appears in no trace
// line, no event, no log line, nowhere in the configuration, in nothing velkorctl printed, and
// in no command the key was sent: neither as text nor as the hash the key compares. The key
// then logs its owner on without it.
TEST_F(CtlPin, ThePinIsNowhereAndTheLogonNeedsIt)
{
    const std::wstring user = User();
    testreg::SetDword(testreg::Settings(), L"enabled", 1);
    testreg::SetDword(testreg::Settings(), L"loggingEnabled", 1);
    testlog::Delete();
    CEventRecorder events;
    ASSERT_TRUE(events.IsActive());
    CDebugOutputCapture trace;
    VScardClearRecord();

    std::wstring printed;
    WritePinFile(WRONG_PIN);
    EXPECT_EQ(4, Run(L"associate {user} --pin-file {pin}")) << testing::PrintToString(Printed());
    printed += Printed();
    WritePinFile(PIN);
    ASSERT_EQ(0, Run(L"associate {user} --pin-file {pin}")) << testing::PrintToString(Printed());
    printed += Printed();
    DeleteFileW(PinFile().c_str());
    ASSERT_TRUE(IsUserEnabled(user.c_str()));

    // The logon: a silent assertion, no PIN, while the key still has one.
    const DWORD transmitsBefore = VScardCountTransmits(nullptr, 0);
    EXPECT_EQ(0, CallLogon(s_pfnFilter, user).status);
    EXPECT_LT(transmitsBefore, VScardCountTransmits(nullptr, 0)) << "the logon asked the key";

    std::wstring haystack = printed + testreg::Snapshot() + testlog::ReadText();
    for (const std::wstring& line : trace.Lines()) haystack += line + L"\n";
    for (const ReportedEvent& event : events.Events())
    {
        for (const std::wstring& text : event.strings) haystack += text + L"\n";
    }
    std::string sent;
    for (DWORD i = 0; i < VScardRecordCount(); ++i)
    {
        VSCARD_RECORD record = {};
        if (!VScardGetRecord(i, &record)) continue;
        sent.append(reinterpret_cast<const char*>(record.command), record.commandLength);
        sent.append(reinterpret_cast<const char*>(record.answer), record.answerLength);
    }
    ASSERT_FALSE(trace.Lines().empty());
    ASSERT_FALSE(events.Events().empty());
    ASSERT_FALSE(sent.empty());
    // Hex in any case and with or without blanks, and the decimal bytes of the configuration.
    std::wstring squeezed;
    for (wchar_t ch : haystack)
    {
        if (ch != L' ') squeezed += static_cast<wchar_t>(towlower(ch));
    }
    for (const char* pszPin : { PIN, WRONG_PIN })
    {
        const std::string pin = pszPin;
        BYTE digest[32];
        ASSERT_TRUE(Sha256Cng(reinterpret_cast<const BYTE*>(pin.data()), pin.size(), nullptr, 0, digest));
        const std::string hash(reinterpret_cast<const char*>(digest), 16);
        for (const std::string& secret : { pin, hash })
        {
            std::wstring hex, decimal;
            for (unsigned char ch : secret)
            {
                hex += L"0123456789abcdef"[ch >> 4];
                hex += L"0123456789abcdef"[ch & 15];
                decimal += L" " + std::to_wstring(ch);
            }
            EXPECT_EQ(std::wstring::npos, squeezed.find(hex)) << pin;
            EXPECT_EQ(std::wstring::npos, haystack.find(decimal)) << pin;
            EXPECT_EQ(std::string::npos, sent.find(secret)) << pin;
        }
        const std::wstring wide(pin.begin(), pin.end());
        EXPECT_EQ(std::wstring::npos, haystack.find(wide)) << pin;
    }
}
