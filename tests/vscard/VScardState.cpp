// Global state, simulated token, failure rules, record and log.
#include "VScardHid.h"

#include <cstddef>
#include <stdio.h>
#include <string.h>

namespace vscard {

State g;

State::State()
{
    InitializeCriticalSection(&cs);
    InitializeConditionVariable(&changed);
    // Distinct ranges so a card handle is never accepted as a context.
    nextContext = 0x5C000000;
    nextCard = 0x7C000000;
}

State::~State()
{
    for (std::map<void*, ULONG_PTR>::iterator it = allocations.begin(); it != allocations.end(); ++it)
        HeapFree(GetProcessHeap(), 0, it->first);
    allocations.clear();
    if (logFile != INVALID_HANDLE_VALUE)
        CloseHandle(logFile);
    if (startedEvent != NULL)
        CloseHandle(startedEvent);
    DeleteCriticalSection(&cs);
}

void reportProblem(const std::string& text)
{
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (err != NULL && err != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(err, text.data(), (DWORD)text.size(), &written, NULL);
    }
    OutputDebugStringA(text.c_str());
}

static void writeLog(const std::string& line)
{
    if (g.logFile == INVALID_HANDLE_VALUE)
        return;
    std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(g.logFile, text.data(), (DWORD)text.size(), &written, NULL);
}

void logLine(const std::string& line)
{
    writeLog(line);
}

void ensureInit(bool withScenario)
{
    if (g.initDone)
        return;
    g.initDone = true;

    std::wstring logPath;
    if (getEnv(L"VELKOR_VSCARD_LOG", &logPath) && !logPath.empty()) {
        // Append-only so several processes can share one log.
        g.logFile = CreateFileW(logPath.c_str(), FILE_APPEND_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (g.logFile == INVALID_HANDLE_VALUE)
            reportProblem("vscard: cannot open VELKOR_VSCARD_LOG file " + toUtf8(logPath) + "\n");
    }

    std::wstring scenario;
    if (withScenario && getEnv(L"VELKOR_VSCARD_SCENARIO", &scenario) && !scenario.empty()) {
        std::wstring error;
        int line = loadScenario(scenario, &error);
        if (line != 0) {
            // Fail loudly: a half-applied scenario would make tests pass or fail for the wrong reason.
            g.scenarioBroken = true;
            char where[32];
            snprintf(where, sizeof where, "%d", line);
            std::string msg = "vscard: scenario " + toUtf8(scenario) +
                              (line > 0 ? std::string(" line ") + where : std::string()) + ": " +
                              toUtf8(error) + "; every PC/SC call fails with SCARD_F_INTERNAL_ERROR";
            reportProblem(msg + "\n");
            writeLog(msg);
        }
    }
}

void resetState()
{
    g.scenarioBroken = false;
    g.readers.clear();
    g.contexts.clear();
    g.cards.clear();
    for (int i = 0; i < VSCARD_FN_COUNT; ++i) {
        g.calls[i] = 0;
        g.rules[i].clear();
    }
    g.record.clear();
    resetHid();
    notifyChange();
}

void notifyChange()
{
    WakeAllConditionVariable(&g.changed);
}

LONG injectedFailure(int function)
{
    DWORD n = ++g.calls[function];
    if (g.scenarioBroken)
        return SCARD_F_INTERNAL_ERROR;
    std::vector<FailRule>& rules = g.rules[function];
    LONG code = 0;
    for (size_t i = 0; i < rules.size(); ++i) {
        if (n == rules[i].target || (rules[i].andAfter && n > rules[i].target)) {
            code = rules[i].code;
            break;
        }
    }
    // One-shot rules are spent once their call has passed.
    for (size_t i = rules.size(); i-- > 0;) {
        if (!rules[i].andAfter && n >= rules[i].target)
            rules.erase(rules.begin() + (std::ptrdiff_t)i);
    }
    return code;
}

static std::string hexBytes(const std::vector<BYTE>& bytes)
{
    std::string out;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        snprintf(buf, sizeof buf, "%02X", bytes[i]);
        if (i)
            out += ' ';
        out += buf;
    }
    return out;
}

static std::string protocolTag(DWORD protocol)
{
    switch (protocol) {
    case SCARD_PROTOCOL_T0: return "T0";
    case SCARD_PROTOCOL_T1: return "T1";
    case SCARD_PROTOCOL_RAW: return "RAW";
    case SCARD_PROTOCOL_UNDEFINED: return "none";
    case VSCARD_NO_PCI: return "null";
    default: {
        char buf[16];
        snprintf(buf, sizeof buf, "0x%lX", (unsigned long)protocol);
        return buf;
    }
    }
}

void addRecord(Record& r)
{
    r.threadId = GetCurrentThreadId();
    if (g.logFile != INVALID_HANDLE_VALUE) {
        // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on "literal" + std::string.
        std::string line = functionName(r.function);
        bool connect = r.function == VSCARD_FN_CONNECT_W || r.function == VSCARD_FN_CONNECT_A;
        if (connect) {
            line += " \"";
            line += toUtf8(r.readerName);
            line += '"';
        }
        if (r.function == VSCARD_FN_TRANSMIT && !r.command.empty()) {
            line += ' ';
            line += hexBytes(r.command);
        }
        char code[24];
        snprintf(code, sizeof code, " -> 0x%08lX", (unsigned long)r.result);
        line += code;
        bool showActive = (connect || r.function == VSCARD_FN_RECONNECT) && r.result == SCARD_S_SUCCESS;
        if (showActive || r.function == VSCARD_FN_TRANSMIT) {
            line += " [";
            line += protocolTag(showActive ? r.activeProtocol : r.sendProtocol);
            line += ']';
        }
        if (r.function == VSCARD_FN_TRANSMIT && !r.answer.empty()) {
            line += ' ';
            line += hexBytes(r.answer);
        }
        writeLog(line);
    }
    g.record.push_back(r);
}

int addReader(const std::wstring& name, bool withToken)
{
    if (name.empty())
        return -1;
    for (size_t i = 0; i < g.readers.size(); ++i) {
        if (g.readers[i].name == name)
            return -1;
    }
    Reader r;
    r.name = name;
    r.present = withToken;
    g.readers.push_back(r);
    notifyChange();
    return (int)(g.readers.size() - 1);
}

void removeToken(Reader& r)
{
    r.pullAfter = 0;
    if (!r.present)
        return;
    r.present = false;
    ++r.events;
    r.transactionOwner = 0;
    r.fido.resetSession();
    r.fido.powerCycle(); // out of the reader, out of power
    notifyChange();
}

void insertToken(Reader& r)
{
    if (r.present)
        return;
    r.present = true;
    ++r.events;
    r.transactionOwner = 0;
    r.fido.resetSession();
    notifyChange();
}

bool cardRemoved(const Card& c)
{
    const Reader& r = g.readers[c.reader];
    return c.withToken && (!r.present || r.events != c.events);
}

// ---- simulated token --------------------------------------------------------

static const BYTE kSelect[] = {0x00, 0xA4, 0x04, 0x00};
static const BYTE kGetCplc[] = {0x80, 0xCA, 0x9F, 0x7F, 0x00};
static const BYTE kSelectOtp[] = {0x00, 0xA4, 0x04, 0x00, 0x09, 0x4A, 0x4E,
                                  0x45, 0x54, 0x5F, 0x4F, 0x54, 0x50, 0x01};
static const BYTE kGetBf52[] = {0x80, 0xCA, 0xBF, 0x52, 0x00, 0x00, 0x00};
static const BYTE kInitUpdate[] = {0x80, 0x50, 0x00, 0x00, 0x08}; // + 8 bytes host challenge

static bool same(const BYTE* command, DWORD length, const BYTE* pattern, size_t patternLength)
{
    return length == patternLength && memcmp(command, pattern, patternLength) == 0;
}

static int classify(const BYTE* command, DWORD length)
{
    if (same(command, length, kSelect, sizeof kSelect))
        return VSCARD_CMD_SELECT;
    if (same(command, length, kGetCplc, sizeof kGetCplc))
        return VSCARD_CMD_GET_CPLC;
    if (same(command, length, kSelectOtp, sizeof kSelectOtp))
        return VSCARD_CMD_SELECT_OTP;
    if (same(command, length, kGetBf52, sizeof kGetBf52))
        return VSCARD_CMD_GET_BF52;
    if (length == sizeof kInitUpdate + 8 && memcmp(command, kInitUpdate, sizeof kInitUpdate) == 0)
        return VSCARD_CMD_INIT_UPDATE;
    return -1;
}

static void appendSerial(std::vector<BYTE>& out, DWORD serial)
{
    out.push_back((BYTE)(serial >> 24));
    out.push_back((BYTE)(serial >> 16));
    out.push_back((BYTE)(serial >> 8));
    out.push_back((BYTE)serial);
}

std::vector<BYTE> defaultAnswer(const Reader& r, int command)
{
    std::vector<BYTE> out;
    switch (command) {
    case VSCARD_CMD_GET_CPLC: {
        static const BYTE head[] = {
            0x9F, 0x7F, 0x2A, // tag, 42 bytes
            0x47, 0x90,       // IC fabricator
            0xD3, 0x21,       // IC type
            0x47, 0x91,       // OS identifier
            0x81, 0x02,       // OS release date
            0x63, 0x00,       // OS release level
            0x03, 0x48,       // IC fabrication date
        };
        static const BYTE tail[] = {
            0x12, 0x34,             // IC batch identifier
            0x48, 0x12,             // module fabricator
            0x03, 0x50,             // module packaging date
            0x00, 0x00,             // ICC manufacturer
            0x03, 0x51,             // IC embedding date
            0x00, 0x00,             // pre-personaliser
            0x00, 0x00,             // pre-personalisation date
            0x00, 0x00, 0x00, 0x00, // pre-personalisation equipment
            0x00, 0x00,             // personaliser
            0x00, 0x00,             // personalisation date
            0x00, 0x00, 0x00, 0x00, // personalisation equipment
            0x90, 0x00,
        };
        out.assign(head, head + sizeof head);
        appendSerial(out, r.serial); // response offsets 15..18
        out.insert(out.end(), tail, tail + sizeof tail);
        break;
    }
    case VSCARD_CMD_GET_BF52: {
        static const BYTE data[] = {0xBF, 0x52, 0x0B, 0x80, 0x01, 0x01, 0x81, 0x02,
                                    0x00, 0x06, 0x82, 0x02, 0x01, 0x00, 0x90, 0x00};
        out.assign(data, data + sizeof data);
        break;
    }
    case VSCARD_CMD_INIT_UPDATE: {
        // Key diversification data (10), key info (2), card challenge (8), card cryptogram (8).
        out.push_back(0x00);
        out.push_back(0x00);
        appendSerial(out, r.serial);
        static const BYTE rest[] = {0x47, 0x90, 0xD3, 0x21, 0x01, 0x02, 0x00, 0x2A, 0x5B, 0x13,
                                    0xC8, 0x77, 0x0E, 0x91, 0x3C, 0x84, 0x1F, 0xA2, 0x96, 0xD0,
                                    0x7B, 0x55, 0x90, 0x00};
        out.insert(out.end(), rest, rest + sizeof rest);
        break;
    }
    default:
        out.push_back(0x90);
        out.push_back(0x00);
        break;
    }
    return out;
}

std::vector<BYTE> tokenAnswer(Reader& r, const BYTE* command, DWORD length, DWORD* delayMs)
{
    *delayMs = 0;
    std::vector<BYTE> fido;
    if (fidoAnswer(r, command, length, &fido, delayMs))
        return fido;
    int which = classify(command, length);
    if (which == VSCARD_CMD_SELECT || which == VSCARD_CMD_SELECT_OTP)
        r.fido.resetSession(); // another applet: the FIDO one is no longer selected
    if (which < 0) {
        std::vector<BYTE> out;
        out.push_back(0x6D);
        out.push_back(0x00);
        return out;
    }
    return r.customAnswer[which] ? r.answer[which] : defaultAnswer(r, which);
}

std::vector<BYTE> tokenAtr(const Reader& r)
{
    static const char historical[] = "VelkorToken";
    const size_t k = sizeof historical - 1;
    BYTE atr[4 + sizeof historical];
    size_t n = 0;
    atr[n++] = 0x3B;
    if (r.protocol == SCARD_PROTOCOL_T0) {
        atr[n++] = (BYTE)k;
    } else {
        // TD1 -> TD2 announcing T=1, which then needs a check byte.
        atr[n++] = (BYTE)(0x80 | k);
        atr[n++] = 0x80;
        atr[n++] = 0x01;
    }
    memcpy(atr + n, historical, k);
    n += k;
    if (r.protocol != SCARD_PROTOCOL_T0) {
        BYTE check = 0;
        for (size_t i = 1; i < n; ++i)
            check = (BYTE)(check ^ atr[i]);
        atr[n++] = check;
    }
    return std::vector<BYTE>(atr, atr + n);
}

// ---- names ------------------------------------------------------------------

static const char* const kFunctionNames[VSCARD_FN_COUNT] = {
    "SCardEstablishContext", "SCardReleaseContext",   "SCardIsValidContext",   "SCardListReadersW",
    "SCardListReadersA",     "SCardFreeMemory",       "SCardConnectW",         "SCardConnectA",
    "SCardReconnect",        "SCardDisconnect",       "SCardBeginTransaction", "SCardEndTransaction",
    "SCardTransmit",         "SCardControl",          "SCardStatusW",          "SCardStatusA",
    "SCardGetStatusChangeW", "SCardGetStatusChangeA", "SCardCancel",           "SCardGetAttrib",
};

const char* functionName(int function)
{
    if (function < 0 || function >= VSCARD_FN_COUNT)
        return "?";
    return kFunctionNames[function];
}

int functionFromName(const std::string& name)
{
    for (int i = 0; i < VSCARD_FN_COUNT; ++i) {
        if (name == kFunctionNames[i])
            return i;
    }
    return -1;
}

#define VSCARD_ERROR_NAME(x) {#x, (LONG)(x)}
static const struct {
    const char* name;
    LONG code;
} kErrorNames[] = {
    VSCARD_ERROR_NAME(SCARD_F_INTERNAL_ERROR),      VSCARD_ERROR_NAME(SCARD_E_CANCELLED),
    VSCARD_ERROR_NAME(SCARD_E_INVALID_HANDLE),      VSCARD_ERROR_NAME(SCARD_E_INVALID_PARAMETER),
    VSCARD_ERROR_NAME(SCARD_E_INVALID_TARGET),      VSCARD_ERROR_NAME(SCARD_E_NO_MEMORY),
    VSCARD_ERROR_NAME(SCARD_F_WAITED_TOO_LONG),     VSCARD_ERROR_NAME(SCARD_E_INSUFFICIENT_BUFFER),
    VSCARD_ERROR_NAME(SCARD_E_UNKNOWN_READER),      VSCARD_ERROR_NAME(SCARD_E_TIMEOUT),
    VSCARD_ERROR_NAME(SCARD_E_SHARING_VIOLATION),   VSCARD_ERROR_NAME(SCARD_E_NO_SMARTCARD),
    VSCARD_ERROR_NAME(SCARD_E_UNKNOWN_CARD),        VSCARD_ERROR_NAME(SCARD_E_CANT_DISPOSE),
    VSCARD_ERROR_NAME(SCARD_E_PROTO_MISMATCH),      VSCARD_ERROR_NAME(SCARD_E_NOT_READY),
    VSCARD_ERROR_NAME(SCARD_E_INVALID_VALUE),       VSCARD_ERROR_NAME(SCARD_E_SYSTEM_CANCELLED),
    VSCARD_ERROR_NAME(SCARD_F_COMM_ERROR),          VSCARD_ERROR_NAME(SCARD_F_UNKNOWN_ERROR),
    VSCARD_ERROR_NAME(SCARD_E_INVALID_ATR),         VSCARD_ERROR_NAME(SCARD_E_NOT_TRANSACTED),
    VSCARD_ERROR_NAME(SCARD_E_READER_UNAVAILABLE),  VSCARD_ERROR_NAME(SCARD_P_SHUTDOWN),
    VSCARD_ERROR_NAME(SCARD_E_PCI_TOO_SMALL),       VSCARD_ERROR_NAME(SCARD_E_READER_UNSUPPORTED),
    VSCARD_ERROR_NAME(SCARD_E_DUPLICATE_READER),    VSCARD_ERROR_NAME(SCARD_E_CARD_UNSUPPORTED),
    VSCARD_ERROR_NAME(SCARD_E_NO_SERVICE),          VSCARD_ERROR_NAME(SCARD_E_SERVICE_STOPPED),
    VSCARD_ERROR_NAME(SCARD_E_UNEXPECTED),          VSCARD_ERROR_NAME(SCARD_E_UNSUPPORTED_FEATURE),
    VSCARD_ERROR_NAME(SCARD_E_NO_READERS_AVAILABLE), VSCARD_ERROR_NAME(SCARD_E_COMM_DATA_LOST),
    VSCARD_ERROR_NAME(SCARD_E_NO_KEY_CONTAINER),    VSCARD_ERROR_NAME(SCARD_E_SERVER_TOO_BUSY),
    VSCARD_ERROR_NAME(SCARD_W_UNSUPPORTED_CARD),    VSCARD_ERROR_NAME(SCARD_W_UNRESPONSIVE_CARD),
    VSCARD_ERROR_NAME(SCARD_W_UNPOWERED_CARD),      VSCARD_ERROR_NAME(SCARD_W_RESET_CARD),
    VSCARD_ERROR_NAME(SCARD_W_REMOVED_CARD),
};
#undef VSCARD_ERROR_NAME

bool errorFromName(const std::string& name, LONG* code)
{
    for (size_t i = 0; i < sizeof kErrorNames / sizeof kErrorNames[0]; ++i) {
        if (name == kErrorNames[i].name) {
            *code = kErrorNames[i].code;
            return true;
        }
    }
    return false;
}

// ---- text helpers -----------------------------------------------------------

std::string toUtf8(const std::wstring& s)
{
    if (s.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), (int)s.size(), NULL, 0, NULL, NULL);
    if (n <= 0)
        return std::string();
    std::string out((size_t)n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, s.data(), (int)s.size(), &out[0], n, NULL, NULL);
    return out;
}

std::wstring fromUtf8(const std::string& s)
{
    if (s.empty())
        return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), NULL, 0);
    if (n <= 0)
        return std::wstring();
    std::wstring out((size_t)n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), &out[0], n);
    return out;
}

bool getEnv(const wchar_t* name, std::wstring* value)
{
    DWORD n = GetEnvironmentVariableW(name, NULL, 0);
    if (n == 0)
        return false;
    std::vector<wchar_t> buf(n);
    DWORD got = GetEnvironmentVariableW(name, &buf[0], n);
    if (got == 0 || got >= n)
        return false;
    value->assign(&buf[0], got);
    return true;
}

} // namespace vscard
