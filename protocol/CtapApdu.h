#pragma once
// The ISO 7816 framing of CTAP2 over a smart-card interface (PC/SC, NFC): selecting the
// FIDO applet, cutting a CTAP message into short command APDUs, judging each answer's
// status word and collecting answer data up to a bound. Short APDUs only, never
// extended length. The transport loop (with its deadlines) is the caller's; these are
// its pure steps. No Windows headers: also built natively for sanitizers and fuzzing.
#include <cstddef>
#include <cstdint>

// SELECT of the FIDO applet (AID A0 00 00 06 47 2F 00 01) with Le 00. Send all
// FIDO_SELECT_COMMAND_BYTES, or FIDO_SELECT_COMMAND_NO_LE_BYTES to leave Le out.
constexpr uint8_t FIDO_SELECT_COMMAND[] = {0x00, 0xA4, 0x04, 0x00, 0x08, 0xA0, 0x00,
                                           0x00, 0x06, 0x47, 0x2F, 0x00, 0x01, 0x00};
constexpr size_t FIDO_SELECT_COMMAND_BYTES = sizeof(FIDO_SELECT_COMMAND);
constexpr size_t FIDO_SELECT_COMMAND_NO_LE_BYTES = FIDO_SELECT_COMMAND_BYTES - 1;

// NFCCTAP_GETRESPONSE: the next status update or the answer of a command still running.
constexpr uint8_t NFCCTAP_GETRESPONSE_COMMAND[] = {0x80, 0x11, 0x00, 0x00};
// The same instruction with P1 11: cancels the command still running.
constexpr uint8_t NFCCTAP_CANCEL_COMMAND[] = {0x80, 0x11, 0x11, 0x00};

enum class FidoVersion
{
    None,      // not one of the texts below
    U2fV2,     // "U2F_V2": CTAP1 only, no CTAP2 messages
    Fido20,    // "FIDO_2_0"
    Fido21Pre, // "FIDO_2_1_PRE"
    Fido21,    // "FIDO_2_1"
};

// Judges the data of the SELECT answer (without its status word; after 61 xx chains,
// all of it): exactly one of "U2F_V2", "FIDO_2_0", "FIDO_2_1", "FIDO_2_1_PRE", nothing
// before or after.
FidoVersion CheckFidoSelectAnswer(const uint8_t* pbData, size_t cbData);

// Whether the token speaks CTAP2 (FIDO_2_0, FIDO_2_1_PRE or FIDO_2_1).
bool IsCtap2Version(FidoVersion version);

// NFCCTAP_MSG: CLA 80 (90 while chaining), INS 10, P1 80, P2 00, Lc, data[, Le 00].
constexpr size_t NFCCTAP_SEGMENT_DATA_MAX = 240;
// Header, Lc, the most data, Le.
constexpr size_t NFCCTAP_SEGMENT_MAX_BYTES = 4 + 1 + NFCCTAP_SEGMENT_DATA_MAX + 1;

// The number of command APDUs that carry cbPayload bytes (0 for an empty payload).
size_t CountNfcCtapSegments(size_t cbPayload);

// Writes segment iSegment (0-based) of the payload into pbApdu and returns its length,
// or 0 when there is no such segment or it does not fit cbApdu. Every segment but the
// last has CLA 90 and 240 data bytes and no Le; the last has CLA 80 and Le 00.
size_t BuildNfcCtapSegment(const uint8_t* pbPayload, size_t cbPayload, size_t iSegment, uint8_t* pbApdu,
                           size_t cbApdu);

// GET RESPONSE with CLA 80 (or 00, the fallback when a token answers 80 C0 with 6E 00
// or 6D 00) for cbExpected bytes (from 61 xx; 0 means 256).
void BuildGetResponseCommand(uint8_t cla, uint8_t cbExpected, uint8_t (&rgbCommand)[5]);

// Whether a status word to GET RESPONSE with CLA 80 says to retry with CLA 00.
bool IsClassOrInstructionRefused(uint16_t statusWord);

enum class NfcAnswerKind
{
    Complete,           // 90 00: the data ends the answer
    MoreData,           // 61 xx: keep the data, then GET RESPONSE for xx more bytes
    Processing,         // 91 00 with status byte 01: poll with NFCCTAP_GETRESPONSE
    UserPresenceNeeded, // 91 00 with status byte 02: poll; the user must touch the token
    Error,              // anything else
};

struct NFC_ANSWER
{
    NfcAnswerKind kind = NfcAnswerKind::Error;
    const uint8_t* pbData = nullptr; // the answer data to keep (Complete, MoreData), within the answer
    size_t cbData = 0;
    uint16_t statusWord = 0;   // SW1 SW2; 0 when the answer is shorter than two bytes
    size_t cbMore = 0;         // MoreData: bytes announced by 61 xx (1 to 256)
};

// Classifies one answer (data then SW1 SW2). A status update (91 00) is judged by its
// first data byte, 01 or 02; a 91 00 without data or with another byte is an error.
NFC_ANSWER ClassifyNfcAnswer(const uint8_t* pbAnswer, size_t cbAnswer);
