#pragma once
// Recognising the token's reader, reading its serial number and probing its
// one-time-password applet.
#include "SmartCardContext.h"
#include "SmartCardReader.h"

extern const wchar_t TokenReaderName[]; // L"Halvane Velkor FIDO2 Security Key"

bool IsTokenReaderName(const wchar_t* pszReaderName);

// Receives each trace line of CountTokenReaders ("Reader: ...", "no match", ...).
using TokenTraceSink = void (*)(void* pContext, const wchar_t* pszText);

// Counts the token readers among the names the context lists, tracing the scan into
// pszText (cchText characters) and the sink. With exactly one, *ppszTokenReader points
// at its name as the context holds it (valid until the context is released); otherwise
// it is left untouched. An empty or failed listing gives 0 with no trace line.
int CountTokenReaders(CSmartCardContext& context, wchar_t* pszText, size_t cchText,
                      TokenTraceSink pfnSink, void* pSinkContext, const wchar_t** ppszTokenReader);

// Eight upper-case hexadecimal characters of the CPLC IC serial. 0 on success, -1 on
// failure; the output is written only on success.
int ReadTokenSerial(CSmartCardReader& reader, wchar_t* pszSerial, size_t cchSerial);

bool SelectOtpApplet(CSmartCardReader& reader);
bool GetDataBF52(CSmartCardReader& reader);
bool InitializeUpdate(CSmartCardReader& reader);
// Applet SELECT, GET DATA BF52, INITIALIZE UPDATE, each only after the one before
// succeeded. The outcome is not reported.
void ProbeOtpApplet(CSmartCardReader& reader);
