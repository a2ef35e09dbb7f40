// The enrolment document's pure parts: base64url, the P-256 curve check and the document's
// shape, each against a table of good and damaged inputs.
#include "Base64Url.h"
#include "EnrolmentDocument.h"
#include "P256Curve.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
    std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

    std::vector<uint8_t> FromHex(const std::string& hex)
    {
        std::vector<uint8_t> bytes;
        for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        return bytes;
    }

    // The curve's generator, and the public key of the P-256 example in RFC 6979 (A.2.5).
    const std::string GENERATOR = "04"
                                  "6B17D1F2E12C4247F8BCE6E563A440F277037D812DEB33A0F4A13945D898C296"
                                  "4FE342E2FE1A7F9B8EE7EB4A7C0F9E162BCE33576B315ECECBB6406837BF51F5";
    const std::string RFC6979_KEY = "04"
                                    "60FED4BA255A9D31C961EB74C6356D68C049B8923B61FA6CE669622E60F29FB6"
                                    "7903FE1008B8BC99A41AE9E95628BC64F2F1B20C2D7E9F5177A3C294D4462299";
    const std::string PRIME = "FFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFF";
}

TEST(Base64Url, EncodesAndDecodesTheStandardVectors)
{
    const struct { std::vector<uint8_t> bytes; const char* text; } cases[] = {
        { Bytes(""), "" },          { Bytes("f"), "Zg" },          { Bytes("fo"), "Zm8" },
        { Bytes("foo"), "Zm9v" },   { Bytes("foob"), "Zm9vYg" },   { Bytes("fooba"), "Zm9vYmE" },
        { Bytes("foobar"), "Zm9vYmFy" }, { { 0xFB, 0xFF }, "-_8" }, { { 0x00, 0x00, 0x00 }, "AAAA" },
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(c.text, Base64UrlEncode(c.bytes));
        std::vector<uint8_t> decoded = { 0x55 };
        EXPECT_TRUE(Base64UrlDecode(c.text, &decoded)) << c.text;
        EXPECT_EQ(c.bytes, decoded) << c.text;
    }
}

TEST(Base64Url, RefusesEverythingButOneCanonicalText)
{
    for (const char* text : { "Zg==", "Zm8=", "Zh", "Zm9", "Z", "Zm9vY", "+/8", "Zm 9v", "Zm9v\n", "Zm9v.", "\xC3\xA9" })
    {
        std::vector<uint8_t> decoded = { 0x55 };
        EXPECT_FALSE(Base64UrlDecode(text, &decoded)) << text;
        EXPECT_TRUE(decoded.empty()) << text;
    }
}

TEST(P256Curve, AcceptsPointsOfTheCurveOnly)
{
    std::string offByOne = GENERATOR;
    offByOne.back() = '6'; // y + 1
    std::string swapped = "04" + GENERATOR.substr(66) + GENERATOR.substr(2, 64);
    const struct { std::string hex; bool onCurve; } cases[] = {
        { GENERATOR, true },
        { RFC6979_KEY, true },
        { offByOne, false },
        { swapped, false },
        { "04" + std::string(128, '0'), false },
        { "04" + PRIME + GENERATOR.substr(66), false },      // x = p
        { "04" + GENERATOR.substr(2, 64) + PRIME, false },   // y = p
        { "02" + GENERATOR.substr(2), false },                // not uncompressed
        { GENERATOR.substr(0, 128), false },                  // 64 bytes
        { GENERATOR + "00", false },                          // 66 bytes
    };
    for (const auto& c : cases)
    {
        const std::vector<uint8_t> key = FromHex(c.hex);
        EXPECT_EQ(c.onCurve, IsP256PublicKey(key.data(), key.size())) << c.hex;
    }
    EXPECT_FALSE(IsP256PublicKey(nullptr, 65));
}

namespace
{
    std::string Generator64() { return Base64UrlEncode(FromHex(GENERATOR)); }

    std::string Document(const std::string& tokens) { return R"({"format":"velkor-enrolment","version":1,"tokens":[)" + tokens + "]}"; }

    std::string Token(const std::string& members) { return "{" + members + "}"; }

    std::string WithCredential(const std::string& id = "1234ABCD", const std::string& user = "alice")
    {
        return Token(R"("id":")" + id + R"(","user":")" + user + R"(","credentialId":"AQID","publicKey":")" + Generator64() + "\"");
    }
}

TEST(EnrolmentDocument, ReadsWhatItWrites)
{
    EnrolmentToken withCredential;
    withCredential.id = "1234ABCD";
    withCredential.user = "Alice M\xC3\xBCller";
    withCredential.credentialId = { 1, 2, 3, 250, 251 };
    withCredential.publicKey = FromHex(RFC6979_KEY);
    withCredential.name = "Velkor key \"blue\"";
    EnrolmentToken serialOnly;
    serialOnly.id = "0BADCAFE";
    serialOnly.user = "bob";
    EnrolmentToken usb;
    usb.credentialId = { 9, 8, 7 };
    usb.id = FidoTokenKeyName(usb.credentialId);
    usb.user = "carol";
    usb.publicKey = FromHex(GENERATOR);

    const std::string text = FormatEnrolmentDocument({ withCredential, serialOnly, usb });
    EXPECT_EQ(std::string::npos, text.find("signCount"));
    EXPECT_EQ(std::string::npos, text.find('='));
    const EnrolmentParseResult parsed = ParseEnrolmentDocument("\xEF\xBB\xBF" + text);
    ASSERT_TRUE(parsed.ok) << parsed.error << "\n" << text;
    ASSERT_EQ(3u, parsed.tokens.size());
    const EnrolmentToken* expected[] = { &withCredential, &serialOnly, &usb };
    for (size_t i = 0; i < 3; ++i)
    {
        EXPECT_EQ(expected[i]->id, parsed.tokens[i].id);
        EXPECT_EQ(expected[i]->user, parsed.tokens[i].user);
        EXPECT_EQ(expected[i]->credentialId, parsed.tokens[i].credentialId);
        EXPECT_EQ(expected[i]->publicKey, parsed.tokens[i].publicKey);
        EXPECT_EQ(expected[i]->name, parsed.tokens[i].name);
    }
    EXPECT_TRUE(ParseEnrolmentDocument(Document("")).ok);
}

TEST(EnrolmentDocument, NamesTheFaultOfEveryDamagedDocument)
{
    std::string offCurve = FromHex(GENERATOR).empty() ? "" : Base64UrlEncode([] {
        std::vector<uint8_t> key = FromHex(GENERATOR);
        key.back() ^= 1;
        return key;
    }());
    const struct { const char* label; std::string text; const char* error; } cases[] = {
        { "not JSON", "{\"format\":", "not JSON: " },
        { "an array", "[]", "not a JSON object" },
        { "wrong format", R"({"format":"other","version":1,"tokens":[]})", "format: not \"velkor-enrolment\"" },
        { "wrong version", R"({"format":"velkor-enrolment","version":2,"tokens":[]})", "version: 2, this program reads version 1" },
        { "version as text", R"({"format":"velkor-enrolment","version":"1","tokens":[]})", "version: \"1\"" },
        { "no tokens", R"({"format":"velkor-enrolment","version":1})", "tokens: missing" },
        { "an unknown member", R"({"format":"velkor-enrolment","version":1,"tokens":[],"x":0})", "x: not a member of this format" },
        { "duplicate member", R"({"format":"velkor-enrolment","version":1,"version":1,"tokens":[]})", "member \"version\" appears twice" },
        { "duplicate member in a token", Document(R"({"id":"1234ABCD","user":"alice","user":"bob"})"), "member \"user\" appears twice" },
        { "a token twice", Document(WithCredential() + "," + WithCredential()), "tokens[1].id: 1234ABCD appears twice" },
        { "bad base64url", Document(Token(R"("id":"1234ABCD","user":"alice","credentialId":"AQI=","publicKey":")" + Generator64() + "\"")),
          "tokens[0].credentialId: not base64url without padding" },
        { "key off the curve", Document(Token(R"("id":"1234ABCD","user":"alice","credentialId":"AQID","publicKey":")" + offCurve + "\"")),
          "tokens[0].publicKey: not a point on the P-256 curve" },
        { "key too short", Document(Token(R"("id":"1234ABCD","user":"alice","credentialId":"AQID","publicKey":"BAEC")")),
          "tokens[0].publicKey: not 65 bytes" },
        { "credential without key", Document(R"({"id":"1234ABCD","user":"alice","credentialId":"AQID"})"), "tokens[0].publicKey: missing" },
        { "credential ID too long", Document(Token(R"("id":"1234ABCD","user":"alice","credentialId":")" + Base64UrlEncode(std::vector<uint8_t>(1024, 7)) +
                                                   R"(","publicKey":")" + Generator64() + "\"")),
          "tokens[0].credentialId: 1024 bytes, not 1 to 1023" },
        { "lower-case serial", Document(R"({"id":"1234abcd","user":"alice"})"), "tokens[0].id: \"1234abcd\" is neither" },
        { "a path as id", Document(R"({"id":"..\\settings","user":"alice"})"), "tokens[0].id:" },
        { "fido key without credential", Document(R"({"id":"fido-0123456789ABCDEF","user":"alice"})"), "tokens[0].credentialId: missing" },
        { "fido key of another credential", Document(WithCredential("fido-0123456789ABCDEF")), "is not the name of this credential" },
        { "a domain account", Document(R"({"id":"1234ABCD","user":"PC\\alice"})"), "tokens[0].user: not an account name" },
        { "an empty account", Document(R"({"id":"1234ABCD","user":""})"), "tokens[0].user: not an account name" },
        { "a number as user", Document(R"({"id":"1234ABCD","user":7})"), "tokens[0].user: not a string" },
        { "a signature counter", Document(R"({"id":"1234ABCD","user":"alice","signCount":9})"), "tokens[0].signCount: not a member" },
        { "nested too deep", Document(R"({"id":"1234ABCD","user":"alice","name":[[1]]})"), "nested deeper" },
        { "UTF-16", std::string("\xFF\xFE{\0", 4), "UTF-16 text" },
        { "invalid UTF-8", Document(R"({"id":"1234ABCD","user":"al)" "\xC3" R"(ice"})"), "not JSON: " },
        { "2 MB of JSON", Document(std::string(2 * 1024 * 1024, ' ')), "larger than 1048576 bytes" },
    };
    for (const auto& c : cases)
    {
        const EnrolmentParseResult parsed = ParseEnrolmentDocument(c.text);
        EXPECT_FALSE(parsed.ok) << c.label;
        EXPECT_TRUE(parsed.tokens.empty()) << c.label;
        EXPECT_NE(std::string::npos, parsed.error.find(c.error)) << c.label << ": " << parsed.error;
    }
}

TEST(EnrolmentDocument, KnowsBothKindsOfTokenKeyName)
{
    EXPECT_TRUE(IsTokenKeyName("1234ABCD"));
    EXPECT_TRUE(IsTokenKeyName("fido-0123456789ABCDEF"));
    for (const char* id : { "1234ABC", "1234ABCDE", "1234abcd", "fido-0123456789abcdef", "fido-0123456789ABCDE", "FIDO-0123456789ABCDEF", "" })
        EXPECT_FALSE(IsTokenKeyName(id)) << id;
    // SHA-256("") begins E3B0C44298FC1C14.
    EXPECT_EQ("fido-E3B0C44298FC1C14", FidoTokenKeyName({}));
}
