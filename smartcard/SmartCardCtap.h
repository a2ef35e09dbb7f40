#pragma once
// CTAP2 messages over the token's smart-card interface, on a connection that is already
// open: the FIDO applet's SELECT, command chaining, GET RESPONSE chains and the status
// polling of a command that is still running, all within one deadline.
//   NoCtap2: the SELECT was refused, or the token refused its first CTAP2 message.
//   DeviceError: a transmission failed or the token answered with an error status word.
//   MalformedAnswer: a GET RESPONSE that brings nothing.
#include "CtapApdu.h"
#include "CtapExchange.h"
#include "SmartCardReader.h"

class CSmartCardCtap final : public ICtapExchange
{
public:
    // ullDeadline is a GetTickCount64 value.
    CSmartCardCtap(CSmartCardReader& reader, ULONGLONG ullDeadline);
    CSmartCardCtap(const CSmartCardCtap&) = delete;
    CSmartCardCtap& operator=(const CSmartCardCtap&) = delete;

    // The FIDO SELECT.
    CtapExchangeStatus Open() override { FidoVersion version; return SelectFido(&version); }

    // Selects the FIDO applet; Ok for a CTAP2 version (FIDO_2_0, FIDO_2_1_PRE, FIDO_2_1) and
    // for U2F_V2, which keys that speak both U2F and CTAP2 answer: whether such a key speaks
    // CTAP2 shows in its answer to the first CTAP2 message.
    CtapExchangeStatus SelectFido(FidoVersion* pVersion);
    // Sends one CTAP message (command byte and CBOR) and collects the whole answer (status
    // byte and CBOR) into answer. The first message refused with an error status word means
    // the token has no CTAP2 on this interface: NoFidoApplet.
    CtapExchangeStatus Exchange(const uint8_t* pbMessage, size_t cbMessage, CCtapAnswerBuffer& answer) override;

    // What the last failure was: the PC/SC result, or 0 and the status word.
    uint32_t LastDeviceResult() const override { return _lastCardResult; }
    uint16_t LastStatusWord() const override { return _lastStatusWord; }

private:
    static constexpr DWORD APDU_ANSWER_BYTES = 258; // 256 data bytes and the status word
    static constexpr DWORD POLL_INTERVAL_MS = 100;

    bool PastDeadline() const;
    // Ok, TimedOut (nothing sent once the deadline has passed) or CardError.
    CtapExchangeStatus Send(const uint8_t* pbCommand, size_t cbCommand);
    CtapExchangeStatus Collect(CCtapAnswerBuffer& answer);
    CtapExchangeStatus GetResponse(size_t cbMore);

    CSmartCardReader& _reader;
    ULONGLONG _ullDeadline;
    uint8_t _rgbAnswer[APDU_ANSWER_BYTES] = {};
    DWORD _cbAnswer = 0;
    uint8_t _getResponseClass = 0x80;
    DWORD _lastCardResult = 0;
    uint16_t _lastStatusWord = 0;
    bool _fCtapAnswered = false; // the token has answered a CTAP2 message on this connection
};
