// Answers of the FIDO applet as a transport loop collects them. The input is the bound
// of the answer buffer, then answers, each a length byte and that many bytes. The
// collected data must be exactly the data parts of 90 00 and 61 xx answers while they
// fit, never more than the bound. The whole input is also cut into NFCCTAP_MSG segments,
// which must join back into it, and each answer's data is judged as a SELECT answer.
#include "CtapApdu.h"
#include "CtapExchange.h"
#include "FuzzInput.h"

#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput input(data, size);
    const size_t bound = input.Upto(CTAP_CREDENTIAL_ANSWER_MAX);
    const std::unique_ptr<uint8_t[]> storage(new uint8_t[bound]);
    CCtapAnswerBuffer buffer(storage.get(), bound);
    std::vector<uint8_t> expected;
    bool fOverflow = false;
    while (input.Remaining() > 0)
    {
        const std::vector<uint8_t> bytes = input.Bytes(input.Byte());
        const std::unique_ptr<uint8_t[]> answer = ExactCopy(bytes.data(), bytes.size());
        const NFC_ANSWER judged = ClassifyNfcAnswer(answer.get(), bytes.size());
        const uint16_t sw = bytes.size() >= 2 ? static_cast<uint16_t>(bytes[bytes.size() - 2] << 8 | bytes.back()) : 0;
        FUZZ_CHECK(judged.statusWord == sw);
        FUZZ_CHECK((judged.kind == NfcAnswerKind::Complete) == (bytes.size() >= 2 && sw == 0x9000));
        FUZZ_CHECK((judged.kind == NfcAnswerKind::MoreData) == (bytes.size() >= 2 && bytes[bytes.size() - 2] == 0x61));
        if (judged.kind == NfcAnswerKind::Processing || judged.kind == NfcAnswerKind::UserPresenceNeeded)
        {
            FUZZ_CHECK(sw == 0x9100 && bytes.size() >= 3 && bytes[0] == (judged.kind == NfcAnswerKind::Processing ? 1 : 2));
        }
        if (judged.kind != NfcAnswerKind::Complete && judged.kind != NfcAnswerKind::MoreData)
        {
            FUZZ_CHECK(judged.cbData == 0);
            continue;
        }
        FUZZ_CHECK(judged.pbData == answer.get() && judged.cbData == bytes.size() - 2);
        FUZZ_CHECK(judged.kind != NfcAnswerKind::MoreData || (judged.cbMore >= 1 && judged.cbMore <= 256));
        const FidoVersion version = CheckFidoSelectAnswer(judged.pbData, judged.cbData);
        const std::string text(reinterpret_cast<const char*>(judged.pbData), judged.cbData);
        FUZZ_CHECK((version != FidoVersion::None) == (text == "U2F_V2" || text == "FIDO_2_0" || text == "FIDO_2_1" || text == "FIDO_2_1_PRE"));
        const bool fAppended = buffer.Append(judged.pbData, judged.cbData);
        fOverflow = fOverflow || expected.size() + judged.cbData > bound;
        FUZZ_CHECK(fAppended == !fOverflow);
        if (!fOverflow) expected.insert(expected.end(), judged.pbData, judged.pbData + judged.cbData);
    }
    FUZZ_CHECK(buffer.Overflowed() == fOverflow);
    FUZZ_CHECK(buffer.Length() == expected.size() && buffer.Length() <= bound);
    FUZZ_CHECK(expected.empty() || std::memcmp(buffer.Data(), expected.data(), expected.size()) == 0);

    const std::unique_ptr<uint8_t[]> payload = ExactCopy(data, size);
    const size_t cSegments = CountNfcCtapSegments(size);
    std::vector<uint8_t> joined;
    for (size_t k = 0; k < cSegments; ++k)
    {
        uint8_t apdu[NFCCTAP_SEGMENT_MAX_BYTES];
        const size_t cb = BuildNfcCtapSegment(payload.get(), size, k, apdu, sizeof(apdu));
        const bool fLast = k + 1 == cSegments;
        FUZZ_CHECK(cb >= 6 && apdu[0] == (fLast ? 0x80 : 0x90) && apdu[1] == 0x10 && apdu[4] == cb - 5 - (fLast ? 1 : 0));
        FUZZ_CHECK(fLast ? apdu[cb - 1] == 0 : cb == 5 + NFCCTAP_SEGMENT_DATA_MAX);
        joined.insert(joined.end(), apdu + 5, apdu + 5 + apdu[4]);
    }
    FUZZ_CHECK(joined.size() == size && (size == 0 || std::memcmp(joined.data(), data, size) == 0));
    return 0;
}
