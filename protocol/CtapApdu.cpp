#include "CtapApdu.h"

#include <cstring>

namespace
{
    constexpr uint8_t CLA_PROPRIETARY = 0x80;
    constexpr uint8_t CLA_CHAINING = 0x10;
    constexpr uint8_t INS_NFCCTAP_MSG = 0x10;
    constexpr uint8_t P1_GETRESPONSE_SUPPORTED = 0x80;
    constexpr uint8_t INS_GET_RESPONSE = 0xC0;
    constexpr uint8_t STATUS_PROCESSING = 0x01;
    constexpr uint8_t STATUS_UP_NEEDED = 0x02;

    struct VERSION_TEXT
    {
        const char* pszText;
        FidoVersion version;
    };

    const VERSION_TEXT VERSION_TEXTS[] = {
        {"U2F_V2", FidoVersion::U2fV2},
        {"FIDO_2_0", FidoVersion::Fido20},
        {"FIDO_2_1_PRE", FidoVersion::Fido21Pre},
        {"FIDO_2_1", FidoVersion::Fido21},
    };
}

FidoVersion CheckFidoSelectAnswer(const uint8_t* pbData, size_t cbData)
{
    if (pbData == nullptr)
    {
        return FidoVersion::None;
    }
    for (const VERSION_TEXT& entry : VERSION_TEXTS)
    {
        const size_t cch = std::strlen(entry.pszText);
        if (cbData == cch && std::memcmp(pbData, entry.pszText, cch) == 0)
        {
            return entry.version;
        }
    }
    return FidoVersion::None;
}

bool IsCtap2Version(FidoVersion version)
{
    return version == FidoVersion::Fido20 || version == FidoVersion::Fido21Pre || version == FidoVersion::Fido21;
}

size_t CountNfcCtapSegments(size_t cbPayload)
{
    return cbPayload / NFCCTAP_SEGMENT_DATA_MAX + (cbPayload % NFCCTAP_SEGMENT_DATA_MAX != 0 ? 1 : 0);
}

size_t BuildNfcCtapSegment(const uint8_t* pbPayload, size_t cbPayload, size_t iSegment, uint8_t* pbApdu,
                           size_t cbApdu)
{
    const size_t cSegments = CountNfcCtapSegments(cbPayload);
    if (pbPayload == nullptr || pbApdu == nullptr || iSegment >= cSegments)
    {
        return 0;
    }
    const bool fLast = iSegment + 1 == cSegments;
    const size_t offset = iSegment * NFCCTAP_SEGMENT_DATA_MAX;
    const size_t cbData = fLast ? cbPayload - offset : NFCCTAP_SEGMENT_DATA_MAX;
    const size_t cbSegment = 5 + cbData + (fLast ? 1 : 0);
    if (cbSegment > cbApdu)
    {
        return 0;
    }
    pbApdu[0] = fLast ? CLA_PROPRIETARY : static_cast<uint8_t>(CLA_PROPRIETARY | CLA_CHAINING);
    pbApdu[1] = INS_NFCCTAP_MSG;
    pbApdu[2] = P1_GETRESPONSE_SUPPORTED;
    pbApdu[3] = 0x00;
    pbApdu[4] = static_cast<uint8_t>(cbData);
    std::memcpy(pbApdu + 5, pbPayload + offset, cbData);
    if (fLast)
    {
        pbApdu[5 + cbData] = 0x00;
    }
    return cbSegment;
}

void BuildGetResponseCommand(uint8_t cla, uint8_t cbExpected, uint8_t (&rgbCommand)[5])
{
    rgbCommand[0] = cla;
    rgbCommand[1] = INS_GET_RESPONSE;
    rgbCommand[2] = 0x00;
    rgbCommand[3] = 0x00;
    rgbCommand[4] = cbExpected;
}

bool IsClassOrInstructionRefused(uint16_t statusWord)
{
    return statusWord == 0x6E00 || statusWord == 0x6D00;
}

NFC_ANSWER ClassifyNfcAnswer(const uint8_t* pbAnswer, size_t cbAnswer)
{
    NFC_ANSWER answer;
    if (pbAnswer == nullptr || cbAnswer < 2)
    {
        return answer;
    }
    const size_t cbData = cbAnswer - 2;
    const uint8_t sw1 = pbAnswer[cbData];
    const uint8_t sw2 = pbAnswer[cbData + 1];
    answer.statusWord = static_cast<uint16_t>((sw1 << 8) | sw2);
    if (sw1 == 0x90 && sw2 == 0x00)
    {
        answer.kind = NfcAnswerKind::Complete;
    }
    else if (sw1 == 0x61)
    {
        answer.kind = NfcAnswerKind::MoreData;
        answer.cbMore = sw2 == 0 ? 256 : sw2;
    }
    else if (sw1 == 0x91 && sw2 == 0x00 && cbData >= 1 && pbAnswer[0] == STATUS_PROCESSING)
    {
        answer.kind = NfcAnswerKind::Processing;
        return answer;
    }
    else if (sw1 == 0x91 && sw2 == 0x00 && cbData >= 1 && pbAnswer[0] == STATUS_UP_NEEDED)
    {
        answer.kind = NfcAnswerKind::UserPresenceNeeded;
        return answer;
    }
    else
    {
        return answer;
    }
    answer.pbData = pbAnswer;
    answer.cbData = cbData;
    return answer;
}
