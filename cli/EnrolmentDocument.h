#pragma once
// The enrolment document: the token records of one machine as JSON, so the same FIDO2
// credentials can be stored on every machine their accounts exist on.
//
//   {"format": "velkor-enrolment", "version": 1,
//    "tokens": [{"id": "1234ABCD", "user": "alice", "credentialId": "...", "publicKey": "...",
//                "name": "..."}]}
//
// Binary values are base64url without padding; credentialId and publicKey come together
// or not at all (a token known by its serial alone); name is optional. A document never
// holds a signature counter, a recovery verifier or a code. Parsing checks the whole
// document against what the configuration can hold; whether the accounts exist is for
// the caller. Pure logic (no Windows headers).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Larger files are refused before they are read.
constexpr size_t ENROLMENT_MAX_BYTES = 1024 * 1024;
constexpr size_t ENROLMENT_MAX_TOKENS = 4096;
constexpr size_t ENROLMENT_CREDENTIAL_ID_MAX_BYTES = 1023; // as a token key stores it
constexpr size_t ENROLMENT_USER_MAX_BYTES = 256;
constexpr size_t ENROLMENT_NAME_MAX_BYTES = 256;

struct EnrolmentToken
{
    std::string id;                     // a token key's name: 8 hex digits, or "fido-" and 16
    std::string user;                   // UTF-8
    std::vector<uint8_t> credentialId;  // empty for a token known by its serial alone
    std::vector<uint8_t> publicKey;     // 65 bytes, or empty with credentialId
    std::string name;                   // UTF-8, for display only; may be empty
};

struct EnrolmentParseResult
{
    bool ok = false;
    std::string error; // why the document was refused: "tokens[2].publicKey: ..."
    std::vector<EnrolmentToken> tokens;
};

// utf8: the file's bytes (a UTF-8 byte-order mark is allowed).
EnrolmentParseResult ParseEnrolmentDocument(const std::string& utf8);

// The document for these tokens, indented, ending in a line break.
std::string FormatEnrolmentDocument(const std::vector<EnrolmentToken>& tokens);

// A token key name the configuration uses: a serial number (8 upper-case hexadecimal
// digits) or "fido-" and 16 upper-case hexadecimal digits.
bool IsTokenKeyName(const std::string& id);

// "fido-" and the first 8 bytes of SHA-256 of the credential ID in upper-case hexadecimal:
// the name of the key a credential made over USB is stored under.
std::string FidoTokenKeyName(const std::vector<uint8_t>& credentialId);
