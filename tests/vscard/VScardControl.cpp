// Control API for tests (see VirtualSCard.h).
#include "VScardInternal.h"

#include <stdio.h>
#include <string.h>

using namespace vscard;

namespace {

Reader* readerAt(int index)
{
    if (index < 0 || (size_t)index >= g.readers.size())
        return NULL;
    return &g.readers[(size_t)index];
}

bool validCommand(int command)
{
    return command >= 0 && command < VSCARD_CMD_COUNT;
}

} // namespace

extern "C" {

void WINAPI VScardReset(void)
{
    try {
        Guard lock;
        ensureInit(false);
        resetState();
    } catch (...) {
    }
}

int WINAPI VScardAddReader(const wchar_t* name, BOOL withToken)
{
    if (name == NULL)
        return -1;
    try {
        Guard lock;
        ensureInit(true);
        return addReader(name, withToken != FALSE);
    } catch (...) {
        return -1;
    }
}

int WINAPI VScardReaderCount(void)
{
    Guard lock;
    ensureInit(true);
    return (int)g.readers.size();
}

BOOL WINAPI VScardRemoveToken(int reader)
{
    Guard lock;
    ensureInit(true);
    Reader* r = readerAt(reader);
    if (!r)
        return FALSE;
    removeToken(*r);
    return TRUE;
}

BOOL WINAPI VScardInsertToken(int reader)
{
    Guard lock;
    ensureInit(true);
    Reader* r = readerAt(reader);
    if (!r)
        return FALSE;
    insertToken(*r);
    return TRUE;
}

BOOL WINAPI VScardSetSerial(int reader, DWORD serial)
{
    Guard lock;
    ensureInit(true);
    Reader* r = readerAt(reader);
    if (!r)
        return FALSE;
    r->serial = serial;
    return TRUE;
}

BOOL WINAPI VScardSetProtocol(int reader, DWORD protocol)
{
    Guard lock;
    ensureInit(true);
    Reader* r = readerAt(reader);
    if (!r || (protocol != SCARD_PROTOCOL_T0 && protocol != SCARD_PROTOCOL_T1))
        return FALSE;
    r->protocol = protocol;
    return TRUE;
}

BOOL WINAPI VScardSetAnswer(int reader, int command, const BYTE* answer, DWORD length)
{
    if (!validCommand(command) || length > VSCARD_MAX_ANSWER || (answer == NULL && length != 0))
        return FALSE;
    try {
        Guard lock;
        ensureInit(true);
        Reader* r = readerAt(reader);
        if (!r)
            return FALSE;
        r->answer[command].assign(answer, answer + length);
        r->customAnswer[command] = true;
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}

BOOL WINAPI VScardSetDefaultAnswer(int reader, int command)
{
    if (!validCommand(command))
        return FALSE;
    Guard lock;
    ensureInit(true);
    Reader* r = readerAt(reader);
    if (!r)
        return FALSE;
    r->answer[command].clear();
    r->customAnswer[command] = false;
    return TRUE;
}

BOOL WINAPI VScardSetFidoVersion(int reader, const char* version)
{
    if (version != NULL && (version[0] == '\0' || strlen(version) > 32))
        return FALSE;
    try {
        Guard lock;
        ensureInit(true);
        Reader* r = readerAt(reader);
        if (!r)
            return FALSE;
        r->fido.version = version ? version : "FIDO_2_0";
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}

BOOL WINAPI VScardSetFidoKnob(int reader, int knob, DWORD value)
{
    if (knob < 0 || knob >= VSCARD_FIDO_KNOB_COUNT)
        return FALSE;
    Guard lock;
    ensureInit(true);
    Reader* r = readerAt(reader);
    if (!r)
        return FALSE;
    r->fido.knobs[knob] = value;
    return TRUE;
}

BOOL WINAPI VScardSetFidoPin(int reader, const char* pin)
{
    const size_t length = pin != NULL ? strlen(pin) : 0;
    if (length != 0 && (length < 4 || length > 63))
        return FALSE;
    try {
        Guard lock;
        ensureInit(true);
        Reader* r = readerAt(reader);
        if (!r)
            return FALSE;
        r->fido.pin.assign(pin != NULL ? pin : "", length);
        r->fido.knobs[VSCARD_FIDO_PIN_RETRIES] = 8;
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}

BOOL WINAPI VScardSetDeviceSecret(int reader, const BYTE* secret, DWORD length)
{
    if (length > 64 || (secret == NULL && length != 0))
        return FALSE;
    try {
        Guard lock;
        ensureInit(true);
        Reader* r = readerAt(reader);
        if (!r)
            return FALSE;
        r->fido.secret.assign(secret, secret + length);
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}

BOOL WINAPI VScardFailCall(int function, LONG code, DWORD nth, BOOL andAfter)
{
    if (function < 0 || function >= VSCARD_FN_COUNT)
        return FALSE;
    try {
        Guard lock;
        ensureInit(true);
        if (nth == 0) {
            g.rules[function].clear();
            return TRUE;
        }
        if (code == 0)
            return FALSE;
        FailRule rule = {code, g.calls[function] + nth, andAfter != FALSE};
        g.rules[function].push_back(rule);
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}

BOOL WINAPI VScardPullTokenAfterTransmits(int reader, DWORD transmits)
{
    Guard lock;
    ensureInit(true);
    Reader* r = readerAt(reader);
    if (!r)
        return FALSE;
    r->pullAfter = transmits;
    return TRUE;
}

int WINAPI VScardLoadScenario(const wchar_t* path)
{
    if (path == NULL)
        return -1;
    try {
        Guard lock;
        ensureInit(true);
        std::wstring error;
        int line = loadScenario(path, &error);
        if (line != 0) {
            char where[24] = "";
            if (line > 0)
                snprintf(where, sizeof where, " line %d", line);
            reportProblem("vscard: scenario " + toUtf8(path) + where + ": " + toUtf8(error) + "\n");
        }
        return line;
    } catch (...) {
        return -1;
    }
}

DWORD WINAPI VScardRecordCount(void)
{
    Guard lock;
    return (DWORD)g.record.size();
}

BOOL WINAPI VScardGetRecord(DWORD index, VSCARD_RECORD* out)
{
    if (out == NULL)
        return FALSE;
    Guard lock;
    if (index >= g.record.size())
        return FALSE;
    const Record& r = g.record[index];
    memset(out, 0, sizeof *out);
    out->function = r.function;
    out->result = r.result;
    out->threadId = r.threadId;
    out->readerIndex = r.reader;
    size_t chars = r.readerName.size();
    if (chars > VSCARD_RECORD_READER_CHARS - 1)
        chars = VSCARD_RECORD_READER_CHARS - 1;
    memcpy(out->reader, r.readerName.data(), chars * sizeof(wchar_t));
    out->context = r.context;
    out->card = r.card;
    out->shareMode = r.shareMode;
    out->preferredProtocols = r.preferredProtocols;
    out->activeProtocol = r.activeProtocol;
    out->sendProtocol = r.sendProtocol;
    size_t n = r.command.size();
    if (n > VSCARD_RECORD_BYTES) {
        n = VSCARD_RECORD_BYTES;
        out->commandTruncated = TRUE;
    }
    if (n)
        memcpy(out->command, &r.command[0], n);
    out->commandLength = (DWORD)n;
    n = r.answer.size() > VSCARD_RECORD_BYTES ? VSCARD_RECORD_BYTES : r.answer.size();
    if (n)
        memcpy(out->answer, &r.answer[0], n);
    out->answerLength = (DWORD)n;
    return TRUE;
}

void WINAPI VScardClearRecord(void)
{
    Guard lock;
    g.record.clear();
}

DWORD WINAPI VScardCountCalls(int function)
{
    Guard lock;
    DWORD n = 0;
    for (size_t i = 0; i < g.record.size(); ++i) {
        if (g.record[i].function == function)
            ++n;
    }
    return n;
}

DWORD WINAPI VScardCountConnects(const wchar_t* reader)
{
    Guard lock;
    DWORD n = 0;
    for (size_t i = 0; i < g.record.size(); ++i) {
        const Record& r = g.record[i];
        if (r.function != VSCARD_FN_CONNECT_W && r.function != VSCARD_FN_CONNECT_A)
            continue;
        if (reader == NULL || r.readerName == reader)
            ++n;
    }
    return n;
}

DWORD WINAPI VScardCountTransmits(const BYTE* command, DWORD length)
{
    Guard lock;
    DWORD n = 0;
    for (size_t i = 0; i < g.record.size(); ++i) {
        const Record& r = g.record[i];
        if (r.function != VSCARD_FN_TRANSMIT)
            continue;
        if (command == NULL ||
            (r.command.size() == length && (length == 0 || memcmp(&r.command[0], command, length) == 0)))
            ++n;
    }
    return n;
}

DWORD WINAPI VScardOpenContexts(void)
{
    Guard lock;
    return (DWORD)g.contexts.size();
}

DWORD WINAPI VScardOpenCards(void)
{
    Guard lock;
    return (DWORD)g.cards.size();
}

DWORD WINAPI VScardOutstandingAllocations(void)
{
    Guard lock;
    return (DWORD)g.allocations.size();
}

const char* WINAPI VScardFunctionName(int function)
{
    return functionName(function);
}

} // extern "C"
