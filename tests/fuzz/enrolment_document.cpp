// Enrolment documents from files: any bytes are refused with a reason or accepted, and an
// accepted document written again reads back as the same tokens (one text per value).
#include "EnrolmentDocument.h"
#include "FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const EnrolmentParseResult parsed = ParseEnrolmentDocument(text);
    FUZZ_CHECK(parsed.ok == parsed.error.empty());
    if (!parsed.ok)
    {
        FUZZ_CHECK(parsed.tokens.empty());
        return 0;
    }
    const EnrolmentParseResult again = ParseEnrolmentDocument(FormatEnrolmentDocument(parsed.tokens));
    FUZZ_CHECK(again.ok);
    FUZZ_CHECK(again.tokens.size() == parsed.tokens.size());
    for (size_t i = 0; i < parsed.tokens.size(); ++i)
    {
        FUZZ_CHECK(again.tokens[i].id == parsed.tokens[i].id);
        FUZZ_CHECK(again.tokens[i].user == parsed.tokens[i].user);
        FUZZ_CHECK(again.tokens[i].credentialId == parsed.tokens[i].credentialId);
        FUZZ_CHECK(again.tokens[i].publicKey == parsed.tokens[i].publicKey);
        FUZZ_CHECK(again.tokens[i].name == parsed.tokens[i].name);
        FUZZ_CHECK(IsTokenKeyName(parsed.tokens[i].id));
    }
    return 0;
}
