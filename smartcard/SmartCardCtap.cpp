#include "SmartCardCtap.h"

CSmartCardCtap::CSmartCardCtap(CSmartCardReader& reader, ULONGLONG ullDeadline)
    : _reader(reader), _ullDeadline(ullDeadline)
{
}

bool CSmartCardCtap::PastDeadline() const
{
    return GetTickCount64() >= _ullDeadline;
}

CtapExchangeStatus CSmartCardCtap::Send(const uint8_t* pbCommand, size_t cbCommand)
{
    SecureZeroMemory(_rgbAnswer, sizeof(_rgbAnswer));
    _cbAnswer = 0;
    if (PastDeadline())
    {
        return CtapExchangeStatus::TimedOut;
    }
    DWORD cbAnswer = sizeof(_rgbAnswer);
    _lastCardResult = static_cast<DWORD>(_reader.Transmit(pbCommand, static_cast<DWORD>(cbCommand), _rgbAnswer, &cbAnswer));
    if (_lastCardResult == static_cast<DWORD>(SCARD_E_TIMEOUT) && PastDeadline())
    {
        return CtapExchangeStatus::TimedOut;
    }
    if (_lastCardResult != SCARD_S_SUCCESS || cbAnswer > sizeof(_rgbAnswer))
    {
        return CtapExchangeStatus::DeviceError;
    }
    _cbAnswer = cbAnswer;
    return CtapExchangeStatus::Ok;
}

// GET RESPONSE for the cbMore bytes a 61 xx announced.
CtapExchangeStatus CSmartCardCtap::GetResponse(size_t cbMore)
{
    uint8_t rgbGetResponse[5];
    BuildGetResponseCommand(_getResponseClass, static_cast<uint8_t>(cbMore & 0xFF), rgbGetResponse);
    CtapExchangeStatus status = Send(rgbGetResponse, sizeof(rgbGetResponse));
    if (status != CtapExchangeStatus::Ok)
    {
        return status;
    }
    // Some tokens know GET RESPONSE only in the interindustry class.
    const NFC_ANSWER answer = ClassifyNfcAnswer(_rgbAnswer, _cbAnswer);
    if (_getResponseClass == 0x80 && answer.kind == NfcAnswerKind::Error && IsClassOrInstructionRefused(answer.statusWord))
    {
        _getResponseClass = 0x00;
        BuildGetResponseCommand(_getResponseClass, static_cast<uint8_t>(cbMore & 0xFF), rgbGetResponse);
        status = Send(rgbGetResponse, sizeof(rgbGetResponse));
    }
    return status;
}

// Follows the answer just received to its end: more data to fetch, a command still
// running to poll, or an error. Every round sends, so every round meets the deadline; a
// GET RESPONSE must bring data, so the rounds end with the answer bound at the latest.
CtapExchangeStatus CSmartCardCtap::Collect(CCtapAnswerBuffer& answer)
{
    bool fFetching = false;
    for (;;)
    {
        const NFC_ANSWER classified = ClassifyNfcAnswer(_rgbAnswer, _cbAnswer);
        _lastStatusWord = classified.statusWord;
        if (classified.kind != NfcAnswerKind::Error)
        {
            _fCtapAnswered = true;
        }
        switch (classified.kind)
        {
        case NfcAnswerKind::Complete:
            return answer.Append(classified.pbData, classified.cbData) ? CtapExchangeStatus::Ok
                                                                       : CtapExchangeStatus::AnswerTooLong;
        case NfcAnswerKind::MoreData:
        {
            // A token that keeps announcing more and sends nothing would be fetched from forever.
            if (fFetching && classified.cbData == 0)
            {
                return CtapExchangeStatus::MalformedAnswer;
            }
            if (!answer.Append(classified.pbData, classified.cbData))
            {
                return CtapExchangeStatus::AnswerTooLong;
            }
            const CtapExchangeStatus status = GetResponse(classified.cbMore);
            if (status != CtapExchangeStatus::Ok)
            {
                return status;
            }
            fFetching = true;
            break;
        }
        case NfcAnswerKind::Processing:
        case NfcAnswerKind::UserPresenceNeeded:
        {
            const ULONGLONG ullNow = GetTickCount64();
            if (ullNow >= _ullDeadline)
            {
                // The one command that may go out after the deadline: it stops the token's work.
                DWORD cbIgnored = sizeof(_rgbAnswer);
                const ULONGLONG ullReaderDeadline = _reader.deadline;
                _reader.deadline = 0;
                _reader.Transmit(NFCCTAP_CANCEL_COMMAND, sizeof(NFCCTAP_CANCEL_COMMAND), _rgbAnswer, &cbIgnored);
                _reader.deadline = ullReaderDeadline;
                return CtapExchangeStatus::TimedOut;
            }
            const ULONGLONG ullLeft = _ullDeadline - ullNow;
            Sleep(static_cast<DWORD>(ullLeft < POLL_INTERVAL_MS ? ullLeft : POLL_INTERVAL_MS));
            if (PastDeadline())
            {
                continue; // cancel above rather than poll once more
            }
            const CtapExchangeStatus status = Send(NFCCTAP_GETRESPONSE_COMMAND, sizeof(NFCCTAP_GETRESPONSE_COMMAND));
            if (status != CtapExchangeStatus::Ok)
            {
                return status;
            }
            fFetching = false;
            break;
        }
        case NfcAnswerKind::Error:
            return CtapExchangeStatus::DeviceError;
        }
    }
}

CtapExchangeStatus CSmartCardCtap::SelectFido(FidoVersion* pVersion)
{
    *pVersion = FidoVersion::None;
    const CtapExchangeStatus sent = Send(FIDO_SELECT_COMMAND, FIDO_SELECT_COMMAND_BYTES);
    if (sent != CtapExchangeStatus::Ok)
    {
        return sent;
    }
    uint8_t rgbVersion[32] = {};
    CCtapAnswerBuffer version(rgbVersion, sizeof(rgbVersion));
    const CtapExchangeStatus status = Collect(version);
    // Only the token's own refusal of the applet (file not found, instruction not known)
    // says it has no FIDO applet; a failed transmission, a deadline, another status word or
    // an answer that cannot be followed says nothing about that.
    if (status == CtapExchangeStatus::DeviceError && _lastCardResult == 0 &&
        (_lastStatusWord == 0x6A82 || _lastStatusWord == 0x6D00))
    {
        return CtapExchangeStatus::NoCtap2;
    }
    if (status != CtapExchangeStatus::Ok)
    {
        return status;
    }
    *pVersion = CheckFidoSelectAnswer(version.Data(), version.Length());
    _fCtapAnswered = false;
    return IsCtap2Version(*pVersion) || *pVersion == FidoVersion::U2fV2 ? CtapExchangeStatus::Ok
                                                                        : CtapExchangeStatus::NoCtap2;
}

CtapExchangeStatus CSmartCardCtap::Exchange(const uint8_t* pbMessage, size_t cbMessage, CCtapAnswerBuffer& answer)
{
    answer.Reset();
    const size_t cSegments = CountNfcCtapSegments(cbMessage);
    if (cSegments == 0)
    {
        return CtapExchangeStatus::DeviceError;
    }
    CtapExchangeStatus status = CtapExchangeStatus::Ok;
    for (size_t i = 0; i < cSegments && status == CtapExchangeStatus::Ok; ++i)
    {
        uint8_t rgbSegment[NFCCTAP_SEGMENT_MAX_BYTES];
        const size_t cbSegment = BuildNfcCtapSegment(pbMessage, cbMessage, i, rgbSegment, sizeof(rgbSegment));
        status = cbSegment != 0 ? Send(rgbSegment, cbSegment) : CtapExchangeStatus::DeviceError;
        if (status != CtapExchangeStatus::Ok)
        {
            break;
        }
        if (i + 1 == cSegments)
        {
            status = Collect(answer);
            break;
        }
        // Every segment but the last is only acknowledged.
        const NFC_ANSWER acknowledged = ClassifyNfcAnswer(_rgbAnswer, _cbAnswer);
        _lastStatusWord = acknowledged.statusWord;
        if (acknowledged.kind != NfcAnswerKind::Complete || acknowledged.cbData != 0)
        {
            status = CtapExchangeStatus::DeviceError;
        }
    }
    // A key that selects (U2F_V2 among them) and then refuses CTAP2 messages with a status
    // word has no CTAP2 on this interface; a card error or a deadline says nothing about that.
    if (status == CtapExchangeStatus::DeviceError && _lastCardResult == 0 && _lastStatusWord != 0 && !_fCtapAnswered)
    {
        return CtapExchangeStatus::NoCtap2;
    }
    return status;
}
