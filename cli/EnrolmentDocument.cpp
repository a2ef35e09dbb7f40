#include "EnrolmentDocument.h"
#include "Base64Url.h"
#include "P256Curve.h"
#include "Sha256.h"

#include <nlohmann/json.hpp>

#include <exception>
#include <set>
#include <stdexcept>

namespace
{
    const char FORMAT_NAME[] = "velkor-enrolment";
    constexpr int FORMAT_VERSION = 1;
    constexpr size_t SERIAL_DIGITS = 8;
    constexpr size_t FIDO_ID_DIGITS = 16;
    const char FIDO_PREFIX[] = "fido-";
    constexpr size_t FIDO_PREFIX_CHARS = sizeof(FIDO_PREFIX) - 1;
    // The document is three levels deep: nothing deeper is read at all.
    constexpr int MAX_DEPTH = 3;

    // Thrown by the parser's callback to stop at the first fault.
    class CDocumentFault : public std::runtime_error
    {
    public:
        explicit CDocumentFault(const std::string& text) : std::runtime_error(text) {}
    };

    bool IsUpperHex(const std::string& text, size_t from, size_t count)
    {
        if (text.size() != from + count) return false;
        for (size_t i = from; i < text.size(); ++i)
        {
            const char ch = text[i];
            if (!((ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'F'))) return false;
        }
        return true;
    }

    // Names and labels must not carry line breaks or other control characters; an account
    // name must also not contain a path separator, which would address another key.
    bool HasControlCharacter(const std::string& text)
    {
        for (unsigned char ch : text)
        {
            if (ch < 0x20 || ch == 0x7F) return true;
        }
        return false;
    }

    const nlohmann::json& Member(const nlohmann::json& object, const char* name, const std::string& where)
    {
        const auto found = object.find(name);
        if (found == object.end()) throw CDocumentFault(where + name + ": missing");
        return *found;
    }

    std::string StringMember(const nlohmann::json& object, const char* name, const std::string& where)
    {
        const nlohmann::json& value = Member(object, name, where);
        if (!value.is_string()) throw CDocumentFault(where + name + ": not a string");
        return value.get<std::string>();
    }

    std::vector<uint8_t> BinaryMember(const nlohmann::json& object, const char* name, const std::string& where)
    {
        std::vector<uint8_t> bytes;
        if (!Base64UrlDecode(StringMember(object, name, where), &bytes))
        {
            throw CDocumentFault(where + name + ": not base64url without padding");
        }
        return bytes;
    }

    void CheckMembers(const nlohmann::json& object, const std::set<std::string>& known, const std::string& where)
    {
        for (const auto& member : object.items())
        {
            if (known.count(member.key()) == 0) throw CDocumentFault(where + member.key() + ": not a member of this format");
        }
    }

    EnrolmentToken ReadToken(const nlohmann::json& entry, const std::string& where)
    {
        if (!entry.is_object()) throw CDocumentFault(where.substr(0, where.size() - 1) + ": not an object");
        CheckMembers(entry, { "id", "user", "credentialId", "publicKey", "name" }, where);

        EnrolmentToken token;
        token.id = StringMember(entry, "id", where);
        if (!IsTokenKeyName(token.id))
        {
            throw CDocumentFault(where + "id: \"" + token.id +
                                 "\" is neither a serial number (8 upper-case hexadecimal digits) nor fido- and 16");
        }
        token.user = StringMember(entry, "user", where);
        if (token.user.empty() || token.user.size() > ENROLMENT_USER_MAX_BYTES || HasControlCharacter(token.user) ||
            token.user.find_first_of("\\/") != std::string::npos)
        {
            throw CDocumentFault(where + "user: not an account name (without a computer or domain part)");
        }

        const bool hasId = entry.contains("credentialId");
        const bool hasKey = entry.contains("publicKey");
        if (hasId != hasKey) throw CDocumentFault(where + (hasId ? "publicKey" : "credentialId") + ": missing");
        if (hasId)
        {
            token.credentialId = BinaryMember(entry, "credentialId", where);
            if (token.credentialId.empty() || token.credentialId.size() > ENROLMENT_CREDENTIAL_ID_MAX_BYTES)
            {
                throw CDocumentFault(where + "credentialId: " + std::to_string(token.credentialId.size()) +
                                     " bytes, not 1 to 1023");
            }
            token.publicKey = BinaryMember(entry, "publicKey", where);
            if (token.publicKey.size() != P256_PUBLIC_KEY_BYTES || token.publicKey[0] != 0x04)
            {
                throw CDocumentFault(where + "publicKey: not 65 bytes of an uncompressed point (04, X, Y)");
            }
            if (!IsP256PublicKey(token.publicKey.data(), token.publicKey.size()))
            {
                throw CDocumentFault(where + "publicKey: not a point on the P-256 curve");
            }
        }
        if (token.id.rfind(FIDO_PREFIX, 0) == 0)
        {
            if (!hasId) throw CDocumentFault(where + "credentialId: missing (a fido- key is known by its credential)");
            if (FidoTokenKeyName(token.credentialId) != token.id)
            {
                throw CDocumentFault(where + "id: \"" + token.id + "\" is not the name of this credential (" +
                                     FidoTokenKeyName(token.credentialId) + ")");
            }
        }
        if (entry.contains("name"))
        {
            token.name = StringMember(entry, "name", where);
            if (token.name.size() > ENROLMENT_NAME_MAX_BYTES || HasControlCharacter(token.name))
            {
                throw CDocumentFault(where + "name: longer than 256 bytes or with control characters");
            }
        }
        return token;
    }

    // nlohmann keeps the last of two equal member names silently; a document that says two
    // things about one member is refused instead. The callback sees every member name.
    class CDuplicateCheck
    {
    public:
        bool operator()(int depth, nlohmann::json::parse_event_t event, nlohmann::json& parsed)
        {
            using Event = nlohmann::json::parse_event_t;
            if (depth > MAX_DEPTH) throw CDocumentFault("nested deeper than the format allows");
            switch (event)
            {
            case Event::object_start:
                _names.emplace_back();
                break;
            case Event::object_end:
                if (!_names.empty()) _names.pop_back();
                break;
            case Event::key:
                if (!_names.empty() && !_names.back().insert(parsed.get<std::string>()).second)
                {
                    throw CDocumentFault("member \"" + parsed.get<std::string>() + "\" appears twice in one object");
                }
                break;
            default:
                break;
            }
            return true;
        }

    private:
        std::vector<std::set<std::string>> _names;
    };

    std::string WithoutExceptionId(const std::string& text)
    {
        // "[json.exception.parse_error.101] parse error at ..." -> "parse error at ..."
        const size_t end = text.rfind("] ", text.find(' '));
        return (text.rfind("[json.exception.", 0) == 0 && end != std::string::npos) ? text.substr(end + 2) : text;
    }
}

bool IsTokenKeyName(const std::string& id)
{
    if (id.rfind(FIDO_PREFIX, 0) == 0) return IsUpperHex(id, FIDO_PREFIX_CHARS, FIDO_ID_DIGITS);
    return IsUpperHex(id, 0, SERIAL_DIGITS);
}

std::string FidoTokenKeyName(const std::vector<uint8_t>& credentialId)
{
    uint8_t digest[SHA256_DIGEST_SIZE] = {};
    Sha256(credentialId.data(), static_cast<uint32_t>(credentialId.size()), digest, sizeof(digest));
    static const char HEX[] = "0123456789ABCDEF";
    std::string name = FIDO_PREFIX;
    for (size_t i = 0; i < FIDO_ID_DIGITS / 2; ++i)
    {
        name += HEX[digest[i] >> 4];
        name += HEX[digest[i] & 0xF];
    }
    return name;
}

EnrolmentParseResult ParseEnrolmentDocument(const std::string& utf8)
{
    EnrolmentParseResult result;
    if (utf8.size() > ENROLMENT_MAX_BYTES)
    {
        result.error = "larger than " + std::to_string(ENROLMENT_MAX_BYTES) + " bytes";
        return result;
    }
    std::string text = utf8;
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
    if (text.size() >= 2 && ((text[0] == '\xFF' && text[1] == '\xFE') || (text[0] == '\xFE' && text[1] == '\xFF')))
    {
        result.error = "UTF-16 text; the document is UTF-8 (write it with --file, not a shell redirection)";
        return result;
    }
    try
    {
        const nlohmann::json document = nlohmann::json::parse(text, CDuplicateCheck());
        if (!document.is_object()) throw CDocumentFault("not a JSON object");
        CheckMembers(document, { "format", "version", "tokens" }, "");
        if (StringMember(document, "format", "") != FORMAT_NAME) throw CDocumentFault("format: not \"velkor-enrolment\"");
        const nlohmann::json& version = Member(document, "version", "");
        if (!version.is_number_integer() || version.get<long long>() != FORMAT_VERSION)
        {
            throw CDocumentFault("version: " + version.dump() + ", this program reads version 1");
        }
        const nlohmann::json& tokens = Member(document, "tokens", "");
        if (!tokens.is_array()) throw CDocumentFault("tokens: not an array");
        if (tokens.size() > ENROLMENT_MAX_TOKENS) throw CDocumentFault("tokens: more than 4096");
        std::set<std::string> ids;
        for (size_t i = 0; i < tokens.size(); ++i)
        {
            const std::string where = "tokens[" + std::to_string(i) + "].";
            EnrolmentToken token = ReadToken(tokens[i], where);
            if (!ids.insert(token.id).second) throw CDocumentFault(where + "id: " + token.id + " appears twice");
            result.tokens.push_back(std::move(token));
        }
    }
    catch (const CDocumentFault& fault)
    {
        result.tokens.clear();
        result.error = fault.what();
        return result;
    }
    catch (const nlohmann::json::exception& error)
    {
        result.tokens.clear();
        result.error = "not JSON: " + WithoutExceptionId(error.what());
        return result;
    }
    result.ok = true;
    return result;
}

std::string FormatEnrolmentDocument(const std::vector<EnrolmentToken>& tokens)
{
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const EnrolmentToken& token : tokens)
    {
        nlohmann::ordered_json entry;
        entry["id"] = token.id;
        entry["user"] = token.user;
        if (!token.credentialId.empty())
        {
            entry["credentialId"] = Base64UrlEncode(token.credentialId);
            entry["publicKey"] = Base64UrlEncode(token.publicKey);
        }
        if (!token.name.empty()) entry["name"] = token.name;
        list.push_back(std::move(entry));
    }
    nlohmann::ordered_json document;
    document["format"] = FORMAT_NAME;
    document["version"] = FORMAT_VERSION;
    document["tokens"] = std::move(list);
    // Names a Windows code page could not turn into UTF-8 are replaced rather than thrown on.
    return document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}
