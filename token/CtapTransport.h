#pragma once
// CTAP2 messages over the token's smart-card interface, on a connection that is already
// open: the FIDO applet's SELECT, command chaining, GET RESPONSE chains and the status
// polling of a command that is still running, all within one deadline.
#include "CtapApdu.h"
#include "SmartCardReader.h"

enum class CtapTransportStatus
{
    Ok,
    NoFidoApplet,    // the SELECT was refused, or the token refused its first CTAP2 message
    TimedOut,        // the deadline passed; a command still running was cancelled
    CardError,       // a transmission failed or the token answered with an error status word
    AnswerTooLong,   // more than the answer buffer holds
    MalformedAnswer, // an answer that cannot be followed (a GET RESPONSE that brings nothing)
};

class CCtapTransport
{
public:
    // ullDeadline is a GetTickCount64 value.
    CCtapTransport(CSmartCardReader& reader, ULONGLONG ullDeadline);

    // Selects the FIDO applet; Ok for a CTAP2 version (FIDO_2_0, FIDO_2_1_PRE, FIDO_2_1) and
    // for U2F_V2, which keys that speak both U2F and CTAP2 answer: whether such a key speaks
    // CTAP2 shows in its answer to the first CTAP2 message.
    CtapTransportStatus SelectFido(FidoVersion* pVersion);
    // Sends one CTAP message (command byte and CBOR) and collects the whole answer (status
    // byte and CBOR) into answer. The first message refused with an error status word means
    // the token has no CTAP2 on this interface: NoFidoApplet.
    CtapTransportStatus Exchange(const uint8_t* pbMessage, size_t cbMessage, CApduAnswerBuffer& answer);

    // What the last failure was: the PC/SC result, or 0 and the status word.
    DWORD LastCardResult() const { return _lastCardResult; }
    uint16_t LastStatusWord() const { return _lastStatusWord; }

private:
    static constexpr DWORD APDU_ANSWER_BYTES = 258; // 256 data bytes and the status word
    static constexpr DWORD POLL_INTERVAL_MS = 100;

    bool PastDeadline() const;
    // Ok, TimedOut (nothing sent once the deadline has passed) or CardError.
    CtapTransportStatus Send(const uint8_t* pbCommand, size_t cbCommand);
    CtapTransportStatus Collect(CApduAnswerBuffer& answer);
    CtapTransportStatus GetResponse(size_t cbMore);

    CSmartCardReader& _reader;
    ULONGLONG _ullDeadline;
    uint8_t _rgbAnswer[APDU_ANSWER_BYTES] = {};
    DWORD _cbAnswer = 0;
    uint8_t _getResponseClass = 0x80;
    DWORD _lastCardResult = 0;
    uint16_t _lastStatusWord = 0;
    bool _fCtapAnswered = false; // the token has answered a CTAP2 message on this connection
};
