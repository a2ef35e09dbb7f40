#pragma once
// One CTAP2 message and its answer over whichever interface a key offers: its smart-card
// interface (ISO 7816 APDUs) or USB HID. What is asked of a key is written once over this;
// each interface keeps its own framing, its own deadline and its own device errors.
// No Windows headers: also built natively.
#include <cstddef>
#include <cstdint>

// Upper bounds of a whole answer, status byte and CBOR.
constexpr size_t CTAP_ASSERTION_ANSWER_MAX = 2048;
constexpr size_t CTAP_CREDENTIAL_ANSWER_MAX = 4096;

// Collects answer data in a caller's buffer, refusing to grow past it: an Append that
// would pass the bound appends nothing, and the accumulator stays failed until Reset.
class CCtapAnswerBuffer
{
public:
    CCtapAnswerBuffer(uint8_t* pbBuffer, size_t cbCapacity);

    bool Append(const uint8_t* pbData, size_t cbData);
    void Reset();

    const uint8_t* Data() const { return _pbBuffer; }
    size_t Length() const { return _cbLength; }
    size_t Capacity() const { return _cbCapacity; }
    bool Overflowed() const { return _fOverflowed; }

private:
    uint8_t* _pbBuffer;
    size_t _cbCapacity;
    size_t _cbLength = 0;
    bool _fOverflowed = false;
};

enum class CtapExchangeStatus
{
    Ok,
    NoCtap2,         // the key itself says it offers no CTAP2 on this interface
    TimedOut,        // the deadline passed; a command still running was cancelled
    DeviceError,     // the device failed, went away, or refused with an error status
    AnswerTooLong,   // more than the answer buffer holds
    MalformedAnswer, // an answer that cannot be followed
};

class ICtapExchange
{
public:
    // Makes the key ready for CTAP2 messages: the FIDO applet's SELECT, a HID channel.
    virtual CtapExchangeStatus Open() = 0;
    // Sends one CTAP message (command byte and CBOR) and collects the whole answer (status
    // byte and CBOR) into answer.
    virtual CtapExchangeStatus Exchange(const uint8_t* pbMessage, size_t cbMessage, CCtapAnswerBuffer& answer) = 0;
    // What the last DeviceError was: the device's result code (0 when it was a status
    // word), and the status word of a smart card (0 otherwise).
    virtual uint32_t LastDeviceResult() const = 0;
    virtual uint16_t LastStatusWord() const = 0;

protected:
    ~ICtapExchange() = default;
};
