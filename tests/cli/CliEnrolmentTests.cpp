// velkorctl export and import in this process, against the real (Wine) registry and the
// virtual key: a key enrolled once logs on again after its document was imported into a
// wiped configuration (another machine, as far as one prefix can play one); damaged
// documents are refused whole; a write that fails halfway leaves nothing behind; every
// change is an event.
#include "Base64Url.h"
#include "CtlArguments.h"
#include "CtlCommands.h"
#include "EventRecorder.h"
#include "ImportPatch.h"
#include "LogonHarness.h"
#include "TestRegistry.h"
#include "TokenIdentification.h"
#include "VirtualSCard.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>

namespace
{
    class CCapturedOutput final : public CCtlOutput
    {
    public:
        std::wstring out, err;

    protected:
        void Write(bool fError, const std::wstring& text) override { (fError ? err : out) += text; }
    };

    std::wstring User()
    {
        wchar_t name[512] = {};
        DWORD cch = 512;
        GetUserNameW(name, &cch);
        return name;
    }

    std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

    std::wstring DocumentPath()
    {
        wchar_t folder[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, folder);
        return std::wstring(folder) + L"velkor-enrolment.json";
    }

    void WriteDocument(const std::string& text) { std::ofstream(DocumentPath().c_str(), std::ios::binary | std::ios::trunc) << text; }

    std::string ReadDocument()
    {
        std::ifstream file(DocumentPath().c_str(), std::ios::binary);
        std::stringstream content;
        content << file.rdbuf();
        return content.str();
    }

    // arguments separated by single blanks; {file} is the document's path, {user} this account.
    int RunCtlLine(std::wstring line, CCapturedOutput& output)
    {
        for (size_t at = line.find(L"{file}"); at != std::wstring::npos; at = line.find(L"{file}")) line.replace(at, 6, DocumentPath());
        for (size_t at = line.find(L"{user}"); at != std::wstring::npos; at = line.find(L"{user}")) line.replace(at, 6, User());
        std::vector<std::wstring> args;
        std::wstringstream words(line);
        for (std::wstring word; words >> word;) args.push_back(word);
        return RunVelkorCtl(args, output);
    }

    const std::wstring TOKEN_READER = std::wstring(TokenReaderName) + L" 0";

    // The P-256 generator: a point of the curve, as a document carries it.
    const std::string GENERATOR = "BGsX0fLhLEJH-Lzm5WOkQPJ3A32BLeszoPShOUXYmMKWT-NC4v4af5uO5-tKfA-eFivOM1drMV7Oy7ZAaDe_UfU";

    std::string Document(const std::string& tokens)
    {
        return R"({"format":"velkor-enrolment","version":1,"tokens":[)" + tokens + "]}";
    }

    std::string Token(const std::string& id, const std::string& user, const std::string& publicKey = GENERATOR)
    {
        return R"({"id":")" + id + R"(","user":")" + user + R"(","credentialId":"AQID","publicKey":")" + publicKey + "\"}";
    }

    std::string SerialOnly(const std::string& id, const std::string& user)
    {
        return R"({"id":")" + id + R"(","user":")" + user + "\"}";
    }

    class CtlEnrolment : public CPackageTest
    {
    protected:
        void SetUp() override
        {
            testreg::Reset();
            VScardReset();
            DeleteFileW(DocumentPath().c_str());
            ASSERT_TRUE(_events.IsActive());
        }
        void TearDown() override
        {
            VScardReset();
            testreg::DeleteTree();
            DeleteFileW(DocumentPath().c_str());
        }

        std::vector<DWORD> EventIds() const
        {
            std::vector<DWORD> ids;
            for (const ReportedEvent& event : _events.Events()) ids.push_back(event.id & 0xFFFF);
            return ids;
        }

        CEventRecorder _events;
    };
}

// Enrolled once, deployed anywhere: the key's credential goes with the document, the counter
// starts again on the new machine, and only the enrolled key proves it.
TEST_F(CtlEnrolment, AKeyEnrolledOnceLogsOnWhereItsDocumentWasImported)
{
    const std::wstring user = User();
    VScardAddReader(TOKEN_READER.c_str(), TRUE);
    CCapturedOutput output;
    ASSERT_EQ(0, RunCtlLine(L"associate {user}", output)) << testing::PrintToString(output.out + output.err);
    ASSERT_TRUE(testreg::ValueExists(testreg::Token(L"1234ABCD"), L"credentialId"));
    testreg::SetAnsi(testreg::User(user), "Recovery", std::string(64, 'A') + '\0');

    ASSERT_EQ(0, RunCtlLine(L"export --file {file}", output)) << testing::PrintToString(output.out + output.err);
    const std::string document = ReadDocument();
    EXPECT_NE(std::string::npos, document.find("\"id\": \"1234ABCD\"")) << document;
    for (const char* secret : { "signCount", "Recovery", "AAAAAAAA" }) EXPECT_EQ(std::string::npos, document.find(secret)) << secret;

    // Another machine: nothing of this account is configured there.
    const std::string credentialId = testreg::ReadAnsi(testreg::Token(L"1234ABCD"), "credentialId");
    testreg::Reset();
    _events.Clear();
    CCapturedOutput imported;
    ASSERT_EQ(0, RunCtlLine(L"import {file} --enable", imported)) << testing::PrintToString(imported.out + imported.err);
    EXPECT_NE(std::wstring::npos, imported.out.find(L"Token 1234ABCD imported for " + user));
    EXPECT_EQ((std::vector<DWORD>{ 2004, 2002 }), EventIds());
    EXPECT_EQ(credentialId, testreg::ReadAnsi(testreg::Token(L"1234ABCD"), "credentialId"));
    EXPECT_EQ(std::string(4, '\0'), testreg::ReadAnsi(testreg::Token(L"1234ABCD"), "signCount"));
    EXPECT_EQ(Narrow(user) + '\0', testreg::ReadAnsi(testreg::Token(L"1234ABCD"), "user"));
    EXPECT_FALSE(testreg::ValueExists(testreg::User(user), L"Recovery")) << "a recovery verifier never travels";

    testreg::SetDword(testreg::Settings(), L"enabled", 1);
    EXPECT_EQ(0, CallLogon(s_pfnFilter, user).status);
    EXPECT_NE(std::string(4, '\0'), testreg::ReadAnsi(testreg::Token(L"1234ABCD"), "signCount")) << "the counter grew here";

    // A look-alike with the same serial holds no such credential.
    VScardReset();
    const int reader = VScardAddReader(TOKEN_READER.c_str(), TRUE);
    const BYTE otherSecret[] = { 1, 2, 3, 4 };
    VScardSetDeviceSecret(reader, otherSecret, sizeof(otherSecret));
    EXPECT_EQ(static_cast<NTSTATUS>(0xFFFF0017), CallLogon(s_pfnFilter, user).status);
}

TEST_F(CtlEnrolment, ExportWritesWhatImportReadsForTheAccountsAskedFor)
{
    const std::wstring user = User();
    testreg::AssociateToken(L"0BADCAFE", user); // known by its serial alone
    testreg::AssociateToken(L"CAFE0001", L"bob");
    testreg::SetString(testreg::Token(L"0BADCAFE"), L"name", L"spare key");
    CCapturedOutput output;
    ASSERT_EQ(0, RunCtlLine(L"export {user} --file {file}", output)) << testing::PrintToString(output.out + output.err);
    EXPECT_NE(std::wstring::npos, output.out.find(L"Exported 1 token to "));
    EXPECT_EQ("{\n  \"format\": \"velkor-enrolment\",\n  \"version\": 1,\n  \"tokens\": [\n    {\n      \"id\": \"0BADCAFE\",\n"
              "      \"user\": \"" + Narrow(user) + "\",\n      \"name\": \"spare key\"\n    }\n  ]\n}\n",
              ReadDocument());

    // To standard output, and nothing else there.
    CCapturedOutput all;
    ASSERT_EQ(0, RunCtlLine(L"export", all));
    EXPECT_NE(std::wstring::npos, all.out.find(L"\"id\": \"CAFE0001\""));
    EXPECT_EQ(L'{', all.out.front());
    EXPECT_TRUE(all.err.empty());
    EXPECT_EQ(2, RunCtlLine(L"export --json", all)) << "the report and the document cannot share standard output";
    EXPECT_EQ(1, RunCtlLine(L"export nosuchuser --file {file}", all));
    EXPECT_TRUE(_events.Events().empty()) << "export changes nothing";
}

// Each damaged document is refused whole, with what is wrong and where, and nothing written.
TEST_F(CtlEnrolment, DamagedDocumentsAreRefusedWithNothingWritten)
{
    const std::string user = Narrow(User());
    std::string offCurve = GENERATOR;
    offCurve[60] = offCurve[60] == 'A' ? 'B' : 'A'; // y changes; the text stays base64url
    const struct
    {
        const char* label;
        std::function<void()> arrange;
        std::string document;
        const wchar_t* options;
        int exitCode;
        std::wstring error;
    } cases[] = {
        { "wrong version", [] {}, R"({"format":"velkor-enrolment","version":2,"tokens":[]})", L"", 1,
          L"version: 2, this program reads version 1; nothing was imported" },
        { "bad base64url", [] {}, Document(Token("1234ABCD", user, GENERATOR + "=")), L"", 1,
          L"tokens[0].publicKey: not base64url without padding" },
        { "key off the curve", [] {}, Document(Token("1234ABCD", user, offCurve)), L"", 1,
          L"tokens[0].publicKey: not a point on the P-256 curve" },
        { "2 MB of JSON", [] {}, Document(std::string(2 * 1024 * 1024, ' ')), L"", 1, L": larger than 1048576 bytes; nothing was imported" },
        { "duplicate keys", [] {}, R"({"format":"velkor-enrolment","version":1,"tokens":[],"tokens":[]})", L"", 1,
          L"member \"tokens\" appears twice in one object" },
        { "an unknown account after a good one", [] {}, Document(Token("1234ABCD", user) + "," + Token("CAFE0001", "nosuchuser")), L"", 1,
          L"tokens[1].user: no local account nosuchuser on this computer" },
        { "a group", [] {}, Document(Token("1234ABCD", "Administrators")), L"", 1, L"tokens[0].user: no local account Administrators" },
        { "another account's key", [] { testreg::AssociateToken(L"1234ABCD", L"bob"); }, Document(Token("1234ABCD", user)), L"", 1,
          L"tokens[0]: token 1234ABCD is registered to another account (--force replaces it)" },
        { "the same key with another credential", [] { testreg::AssociateToken(L"1234ABCD", User()); },
          Document(Token("1234ABCD", user)), L"", 1, L"holds another credential (--force replaces it)" },
        { "a key without credential where proof is required", [] { testreg::SetDword(testreg::Settings(), L"requireProof", 1); },
          Document(SerialOnly("1234ABCD", user)), L"", 1, L"has no credential, and proof is required on this computer" },
        { "no such file", [] { DeleteFileW(DocumentPath().c_str()); }, "", L"", 4, L"Cannot read " },
        { "no configuration keys (not installed)", [] { testreg::DeleteKey(L"SOFTWARE\\Halvane\\FIDO2\\auth\\tokens"); },
          Document(Token("1234ABCD", user)), L"", 4, L"is Velkor FIDO2 Login installed?; nothing was imported" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.label);
        testreg::Reset();
        WriteDocument(c.document);
        c.arrange();
        _events.Clear();
        const std::wstring before = testreg::Snapshot();
        CCapturedOutput output;
        EXPECT_EQ(c.exitCode, RunCtlLine(std::wstring(L"import {file}") + c.options, output)) << testing::PrintToString(output.err);
        EXPECT_NE(std::wstring::npos, output.err.find(c.error)) << testing::PrintToString(output.err);
        EXPECT_NE(std::wstring::npos, output.err.find(L"othing was imported")) << testing::PrintToString(output.err);
        EXPECT_EQ(before, testreg::Snapshot());
        EXPECT_TRUE(_events.Events().empty());
    }
}

TEST_F(CtlEnrolment, TheSameRecordAgainChangesNothingAndForceReplaces)
{
    const std::string user = Narrow(User());
    WriteDocument(Document(Token("1234ABCD", user) + "," + SerialOnly("0BADCAFE", user)));
    CCapturedOutput output;
    ASSERT_EQ(0, RunCtlLine(L"import {file}", output)) << testing::PrintToString(output.err);
    EXPECT_EQ((std::vector<DWORD>{ 2004, 2004 }), EventIds());
    EXPECT_FALSE(testreg::ValueExists(testreg::User(User()), L"enabled")) << "without --enable the switch stays as it was";
    testreg::SetDword(testreg::Token(L"1234ABCD"), L"signCount", 41); // logons here since

    _events.Clear();
    const std::wstring before = testreg::Snapshot();
    CCapturedOutput again;
    ASSERT_EQ(0, RunCtlLine(L"import {file}", again)) << testing::PrintToString(again.err);
    EXPECT_NE(std::wstring::npos, again.out.find(L"Token 1234ABCD is stored already: unchanged"));
    EXPECT_EQ(before, testreg::Snapshot()) << "the counter of this machine stays";
    EXPECT_TRUE(_events.Events().empty());

    // bob's key, taken over by --force: bob's record goes whole, the counter starts at 0.
    testreg::Reset();
    testreg::AssociateToken(L"1234ABCD", L"bob");
    testreg::SetDword(testreg::Token(L"1234ABCD"), L"signCount", 7);
    testreg::SetString(testreg::Token(L"1234ABCD"), L"name", L"bob's key");
    _events.Clear();
    CCapturedOutput forced;
    ASSERT_EQ(0, RunCtlLine(L"import {file} --force", forced)) << testing::PrintToString(forced.err);
    EXPECT_NE(std::wstring::npos, forced.out.find(L"WARNING: token 1234ABCD is registered to another account; replaced because of --force"));
    EXPECT_EQ(user + '\0', testreg::ReadAnsi(testreg::Token(L"1234ABCD"), "user"));
    EXPECT_EQ(std::string(4, '\0'), testreg::ReadAnsi(testreg::Token(L"1234ABCD"), "signCount"));
    EXPECT_FALSE(testreg::ValueExists(testreg::Token(L"1234ABCD"), L"name"));
    EXPECT_EQ((std::vector<DWORD>{ 2004, 2004 }), EventIds());
}

namespace
{
    // Fails the second write of a token's `user`: the first token is whole by then, the
    // second has its credential, and a replaced key of bob's waits to be put back.
    int g_userWrites = 0;
    using SetKeyValueA = LSTATUS(WINAPI*)(HKEY, LPCSTR, LPCSTR, DWORD, LPCVOID, DWORD);
    SetKeyValueA g_pfnSetKeyValueA = nullptr;
    LSTATUS WINAPI FailSecondUser(HKEY hKey, LPCSTR pszSubKey, LPCSTR pszValueName, DWORD dwType, LPCVOID pvData, DWORD cbData)
    {
        if (pszValueName != nullptr && strcmp(pszValueName, "user") == 0 && ++g_userWrites == 2) return ERROR_ACCESS_DENIED;
        return g_pfnSetKeyValueA(hKey, pszSubKey, pszValueName, dwType, pvData, cbData);
    }
}

TEST_F(CtlEnrolment, AWriteThatFailsHalfwayUndoesEverything)
{
    const std::string user = Narrow(User());
    testreg::AssociateToken(L"0BADCAFE", L"bob");
    testreg::SetDword(testreg::Token(L"0BADCAFE"), L"signCount", 7);
    testreg::SetString(testreg::Token(L"0BADCAFE"), L"name", L"bob's key");
    WriteDocument(Document(Token("0BADCAFE", user) + "," + Token("1234ABCD", user) + "," + SerialOnly("CAFE0001", user)));
    const std::wstring before = testreg::Snapshot();

    g_userWrites = 0;
    CImportPatch fail("advapi32.dll", "RegSetKeyValueA", reinterpret_cast<void*>(&FailSecondUser));
    ASSERT_TRUE(fail.IsActive());
    g_pfnSetKeyValueA = reinterpret_cast<SetKeyValueA>(fail.Original());
    CCapturedOutput output;
    EXPECT_EQ(4, RunCtlLine(L"import {file} --force --enable", output));
    EXPECT_NE(std::wstring::npos, output.err.find(L"Import failed writing token 1234ABCD: Access is denied (error 0x00000005); "
                                                  L"what was written is undone, nothing was imported"))
        << testing::PrintToString(output.err);
    EXPECT_EQ(2, g_userWrites);
    EXPECT_EQ(before, testreg::Snapshot());
    EXPECT_TRUE(_events.Events().empty());
}

TEST(CtlEnrolmentArguments, ExportImportAndForgetOnTheCommandLine)
{
    const struct { std::vector<std::wstring> args; CtlVerb verb; std::vector<std::wstring> names; const wchar_t* path;
                   const wchar_t* file; bool enable, force, yes; const wchar_t* error; } cases[] = {
        { { L"export" }, CtlVerb::Export, {}, L"", L"", false, false, false, L"" },
        { { L"EXPORT", L"alice", L"Bob", L"--FILE", L"C:\\x.json" }, CtlVerb::Export, { L"alice", L"Bob" }, L"", L"C:\\x.json", false, false, false, L"" },
        { { L"export", L"--file=C:\\x.json", L"--json" }, CtlVerb::Export, {}, L"", L"C:\\x.json", false, false, false, L"" },
        { { L"Import", L"\\\\server\\share\\alice.json", L"--Enable", L"--force" }, CtlVerb::Import, {}, L"\\\\server\\share\\alice.json",
          L"", true, true, false, L"" },
        { { L"forget", L"ghost", L"--YES" }, CtlVerb::Forget, {}, L"", L"", false, false, true, L"" },
        { { L"export", L"--json" }, CtlVerb::None, {}, L"", L"", false, false, false,
          L"export --json writes the document with --file PATH (standard output carries the report)" },
        { { L"import" }, CtlVerb::None, {}, L"", L"", false, false, false, L"import needs a file" },
        { { L"import", L"a.json", L"b.json" }, CtlVerb::None, {}, L"", L"", false, false, false, L"unexpected argument b.json" },
        { { L"export", L"--file" }, CtlVerb::None, {}, L"", L"", false, false, false, L"--file needs a value" },
        { { L"import", L"a.json", L"--file", L"b" }, CtlVerb::None, {}, L"", L"", false, false, false, L"--file does not apply to import" },
        { { L"forget", L"ghost", L"--force" }, CtlVerb::None, {}, L"", L"", false, false, false, L"--force does not apply to forget" },
        { { L"--version", L"status" }, CtlVerb::None, {}, L"", L"", false, false, false, L"--version goes alone (or with --json)" },
        { { L"Help", L"EXPORT" }, CtlVerb::Help, {}, L"", L"", false, false, false, L"" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const CtlCommand command = ParseCtlArguments(c.args);
        EXPECT_EQ(c.verb, command.verb);
        EXPECT_EQ(std::wstring(c.error), command.error);
        if (command.verb == CtlVerb::None) continue;
        EXPECT_EQ(c.names, command.names);
        EXPECT_EQ(std::wstring(c.path), command.path);
        EXPECT_EQ(std::wstring(c.file), command.file);
        EXPECT_EQ(c.enable, command.enable);
        EXPECT_EQ(c.force, command.force);
        EXPECT_EQ(c.yes, command.yes);
    }
}
