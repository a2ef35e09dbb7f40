#pragma once
// Hex dump of command and response bytes as trace lines: a six-character label, then
// each byte as two upper-case digits and a space, at most 16 bytes a line; continuation
// lines start with six spaces so the bytes line up.
#include <cstddef>
#include <cstdint>

using TraceLineSink = void (*)(void* pContext, const wchar_t* pszLine);

constexpr size_t HEX_TRACE_LABEL_LENGTH = 6;
constexpr size_t HEX_TRACE_BYTES_PER_LINE = 16;
// Label + 16 * "XX " + terminator.
constexpr size_t HEX_TRACE_MIN_BUFFER = HEX_TRACE_LABEL_LENGTH + HEX_TRACE_BYTES_PER_LINE * 3 + 1;

// pszLabel must be HEX_TRACE_LABEL_LENGTH characters. The lines are built in pszBuffer
// (at least HEX_TRACE_MIN_BUFFER characters) and handed to pfnSink one by one.
void WriteHexTrace(const wchar_t* pszLabel, const uint8_t* pbData, size_t cbData,
                   wchar_t* pszBuffer, size_t cchBuffer, TraceLineSink pfnSink, void* pContext);

// "<name> = 0x%08lX": the result line of one PC/SC call.
void FormatResultLine(const wchar_t* pszCallName, uint32_t result, wchar_t* pszBuffer, size_t cchBuffer);
