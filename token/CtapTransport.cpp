#include "CtapTransport.h"

CCtapTransport::CCtapTransport(CSmartCardReader& reader, ULONGLONG ullDeadline)
    : _reader(reader), _ullDeadline(ullDeadline)
{
}

bool CCtapTransport::PastDeadline() const
{
    return GetTickCount64() >= _ullDeadline;
}

bool CCtapTransport::Send(const uint8_t* pbCommand, size_t cbCommand)
{
    SecureZeroMemory(_rgbAnswer, sizeof(_rgbAnswer));
    _cbAnswer = sizeof(_rgbAnswer);
    _lastCardResult = static_cast<DWORD>(_reader.Transmit(pbCommand, static_cast<DWORD>(cbCommand), _rgbAnswer, &_cbAnswer));
    if (_lastCardResult != SCARD_S_SUCCESS || _cbAnswer > sizeof(_rgbAnswer))
    {
        _cbAnswer = 0;
        return false;
    }
    return true;
}

// Follows the answer just received to its end: more data to fetch, a command still
// running to poll, or an error.
CtapTransportStatus CCtapTransport::Collect(CApduAnswerBuffer& answer)
{
    for (;;)
    {
        const NFC_ANSWER classified = ClassifyNfcAnswer(_rgbAnswer, _cbAnswer);
        _lastStatusWord = classified.statusWord;
        switch (classified.kind)
        {
        case NfcAnswerKind::Complete:
            return answer.Append(classified.pbData, classified.cbData) ? CtapTransportStatus::Ok
                                                                       : CtapTransportStatus::AnswerTooLong;
        case NfcAnswerKind::MoreData:
        {
            if (!answer.Append(classified.pbData, classified.cbData))
            {
                return CtapTransportStatus::AnswerTooLong;
            }
            uint8_t rgbGetResponse[5];
            BuildGetResponseCommand(_getResponseClass, static_cast<uint8_t>(classified.cbMore & 0xFF), rgbGetResponse);
            if (!Send(rgbGetResponse, sizeof(rgbGetResponse)))
            {
                return CtapTransportStatus::CardError;
            }
            // Some tokens know GET RESPONSE only in the interindustry class.
            const NFC_ANSWER retry = ClassifyNfcAnswer(_rgbAnswer, _cbAnswer);
            if (_getResponseClass == 0x80 && retry.kind == NfcAnswerKind::Error &&
                IsClassOrInstructionRefused(retry.statusWord))
            {
                _getResponseClass = 0x00;
                BuildGetResponseCommand(_getResponseClass, static_cast<uint8_t>(classified.cbMore & 0xFF), rgbGetResponse);
                if (!Send(rgbGetResponse, sizeof(rgbGetResponse)))
                {
                    return CtapTransportStatus::CardError;
                }
            }
            break;
        }
        case NfcAnswerKind::Processing:
        case NfcAnswerKind::UserPresenceNeeded:
        {
            const ULONGLONG ullNow = GetTickCount64();
            if (ullNow >= _ullDeadline)
            {
                Send(NFCCTAP_CANCEL_COMMAND, sizeof(NFCCTAP_CANCEL_COMMAND));
                return CtapTransportStatus::TimedOut;
            }
            const ULONGLONG ullLeft = _ullDeadline - ullNow;
            Sleep(static_cast<DWORD>(ullLeft < POLL_INTERVAL_MS ? ullLeft : POLL_INTERVAL_MS));
            if (!Send(NFCCTAP_GETRESPONSE_COMMAND, sizeof(NFCCTAP_GETRESPONSE_COMMAND)))
            {
                return CtapTransportStatus::CardError;
            }
            break;
        }
        case NfcAnswerKind::Error:
            return CtapTransportStatus::CardError;
        }
    }
}

CtapTransportStatus CCtapTransport::SelectFido(FidoVersion* pVersion)
{
    *pVersion = FidoVersion::None;
    if (PastDeadline())
    {
        return CtapTransportStatus::TimedOut;
    }
    if (!Send(FIDO_SELECT_COMMAND, FIDO_SELECT_COMMAND_BYTES))
    {
        return CtapTransportStatus::CardError;
    }
    uint8_t rgbVersion[32] = {};
    CApduAnswerBuffer version(rgbVersion, sizeof(rgbVersion));
    const CtapTransportStatus status = Collect(version);
    if (status == CtapTransportStatus::TimedOut || (status == CtapTransportStatus::CardError && _lastCardResult != 0))
    {
        return status;
    }
    *pVersion = status == CtapTransportStatus::Ok ? CheckFidoSelectAnswer(version.Data(), version.Length())
                                                  : FidoVersion::None;
    return IsCtap2Version(*pVersion) ? CtapTransportStatus::Ok : CtapTransportStatus::NoFidoApplet;
}

CtapTransportStatus CCtapTransport::Exchange(const uint8_t* pbMessage, size_t cbMessage, CApduAnswerBuffer& answer)
{
    answer.Reset();
    const size_t cSegments = CountNfcCtapSegments(cbMessage);
    for (size_t i = 0; i < cSegments; ++i)
    {
        if (PastDeadline())
        {
            return CtapTransportStatus::TimedOut;
        }
        uint8_t rgbSegment[NFCCTAP_SEGMENT_MAX_BYTES];
        const size_t cbSegment = BuildNfcCtapSegment(pbMessage, cbMessage, i, rgbSegment, sizeof(rgbSegment));
        if (cbSegment == 0 || !Send(rgbSegment, cbSegment))
        {
            return CtapTransportStatus::CardError;
        }
        // Every segment but the last is only acknowledged.
        if (i + 1 < cSegments)
        {
            const NFC_ANSWER acknowledged = ClassifyNfcAnswer(_rgbAnswer, _cbAnswer);
            _lastStatusWord = acknowledged.statusWord;
            if (acknowledged.kind != NfcAnswerKind::Complete || acknowledged.cbData != 0)
            {
                return CtapTransportStatus::CardError;
            }
        }
    }
    return cSegments == 0 ? CtapTransportStatus::CardError : Collect(answer);
}
