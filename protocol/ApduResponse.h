#pragma once
// How answers from the token are judged. No Windows headers: also built natively for
// sanitizers and fuzzing.
#include <cstddef>
#include <cstdint>

// A command succeeded when the last two received bytes are 90 00.
bool IsStatusOk(const uint8_t* pbResponse, size_t cbResponse);

// The IC serial number from a GET DATA CPLC answer: bytes 15 to 18 of the CPLC record.
// Fails unless the answer ends in 90 00 and carries at least those 19 bytes before it.
bool ParseCplcSerial(const uint8_t* pbResponse, size_t cbResponse, uint8_t (&rgbSerial)[4]);

constexpr size_t SERIAL_TEXT_CHARS = 9; // eight hexadecimal characters and the terminator

// "%02X%02X%02X%02X" of the four serial bytes.
void FormatSerialText(const uint8_t (&rgbSerial)[4], wchar_t (&szSerial)[SERIAL_TEXT_CHARS]);
