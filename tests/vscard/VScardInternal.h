// Shared state of the virtual PC/SC stack. Internal to the DLL.
#ifndef VELKOR_VSCARD_INTERNAL_H
#define VELKOR_VSCARD_INTERNAL_H

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601 // condition variables
#endif

// The system header marks the PC/SC API as imported; this DLL defines it.
#define WINSCARDAPI
#define WINSCARDDATA
#include <windows.h>
#include <winscard.h>

#include <map>
#include <string>
#include <vector>

#include "VirtualSCard.h"

namespace vscard {

// The FIDO2 authenticator of a token: its settings, counters and the state of the
// exchange in progress (cleared when the token is reset).
struct FidoToken {
    std::string version = "FIDO_2_0";
    DWORD knobs[VSCARD_FIDO_KNOB_COUNT] = {};
    std::vector<BYTE> secret; // empty: derived from the serial
    DWORD globalCounter = 0;
    std::map<std::string, DWORD> credentialCounters;

    bool selected = false;
    std::vector<BYTE> chain;    // CTAP message bytes of the CLA 90 segments so far
    std::vector<BYTE> pending;  // answer bytes left for GET RESPONSE
    std::vector<BYTE> withheld; // CTAP answer kept back while the touch is awaited
    DWORD pollsLeft = 0;

    // clientPIN: the PIN (UTF-8, empty for none; its retries are a knob), and what lasts
    // until the token loses power: wrong PINs in a row, the key-agreement key pair (a CNG
    // private blob, made when first asked for) and the pinUvAuthToken with what it allows.
    std::string pin;
    DWORD wrongPinsInARow = 0;
    std::vector<BYTE> agreementKey;
    std::vector<BYTE> pinToken;
    DWORD pinTokenProtocol = 0;
    DWORD pinTokenPermissions = 0;
    std::string pinTokenRpId;

    FidoToken();
    void resetSession();
    void powerCycle();
};

struct Reader {
    std::wstring name;
    bool present = false;
    DWORD serial = 0x1234ABCD;
    DWORD protocol = SCARD_PROTOCOL_T1;
    bool customAnswer[VSCARD_CMD_COUNT] = {};
    std::vector<BYTE> answer[VSCARD_CMD_COUNT];
    // Counts inserts and removals; a card handle remembers the value it saw
    // so a handle from before a re-insert still reports the removal.
    DWORD events = 0;
    DWORD pullAfter = 0; // successful transmits left before the token is pulled
    ULONG_PTR transactionOwner = 0;
    FidoToken fido;
};

struct Card {
    ULONG_PTR context = 0;
    size_t reader = 0;
    DWORD events = 0;
    DWORD shareMode = 0;
    DWORD protocol = 0;
    bool withToken = false; // false only for SCARD_SHARE_DIRECT to an empty reader
};

struct Context {
    DWORD cancels = 0; // bumped by SCardCancel to wake its waiters
};

struct FailRule {
    LONG code;
    DWORD target; // value of the call counter that fails
    bool andAfter;
};

struct Record {
    int function = 0;
    LONG result = 0;
    DWORD threadId = 0;
    int reader = -1;
    std::wstring readerName;
    ULONG_PTR context = 0;
    ULONG_PTR card = 0;
    DWORD shareMode = 0;
    DWORD preferredProtocols = 0;
    DWORD activeProtocol = 0;
    DWORD sendProtocol = 0;
    std::vector<BYTE> command;
    std::vector<BYTE> answer;
};

struct State {
    CRITICAL_SECTION cs;
    CONDITION_VARIABLE changed; // signalled on every change a waiter may care about
    bool initDone = false;
    bool scenarioBroken = false;
    bool logOpened = false;
    HANDLE logFile = INVALID_HANDLE_VALUE;
    HANDLE startedEvent = NULL;
    std::vector<Reader> readers;
    std::map<ULONG_PTR, Context> contexts;
    std::map<ULONG_PTR, Card> cards;
    std::map<void*, ULONG_PTR> allocations;
    ULONG_PTR nextContext = 0;
    ULONG_PTR nextCard = 0;
    DWORD calls[VSCARD_FN_COUNT] = {};
    std::vector<FailRule> rules[VSCARD_FN_COUNT];
    std::vector<Record> record;

    State();
    ~State();
    State(const State&) = delete;
    State& operator=(const State&) = delete;
};

extern State g;

class Guard {
public:
    Guard() { EnterCriticalSection(&g.cs); }
    ~Guard() { LeaveCriticalSection(&g.cs); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
};

// All of these expect the lock to be held.
void ensureInit(bool loadScenario);
void resetState();
void notifyChange();
LONG injectedFailure(int function); // counts the call; 0 when it should run normally
void addRecord(Record& r);
int addReader(const std::wstring& name, bool withToken); // -1 if empty or duplicate name
void removeToken(Reader& r);
void insertToken(Reader& r);
bool cardRemoved(const Card& c); // token gone since the handle was (re)connected
// The token's answer; *delayMs is how long the answer takes (0 for at once).
std::vector<BYTE> tokenAnswer(Reader& r, const BYTE* command, DWORD length, DWORD* delayMs);
// What the FIDO2 authenticator makes of one whole CTAP message (command byte and CBOR),
// whichever transport carried it: APDUs or HID reports.
struct CtapOutcome {
    std::vector<BYTE> answer;      // status byte and CBOR
    DWORD delayMs = 0;             // the answer takes this long (touch-delay, assertion-delay)
    bool makingCredential = false; // a new credential: the user's touch is part of it
};
CtapOutcome authenticatorMessage(Reader& token, const std::vector<BYTE>& message);
// FIDO applet commands (SELECT of its AID, NFCCTAP_MSG, GET RESPONSE, NFCCTAP_GETRESPONSE);
// false when the command is none of them.
bool fidoAnswer(Reader& r, const BYTE* command, DWORD length, std::vector<BYTE>* answer, DWORD* delayMs);
std::vector<BYTE> tokenAtr(const Reader& r);
std::vector<BYTE> defaultAnswer(const Reader& r, int command);
int loadScenario(const std::wstring& path, std::wstring* error);

const char* functionName(int function);
int functionFromName(const std::string& name);
bool errorFromName(const std::string& name, LONG* code);
std::string toUtf8(const std::wstring& s);
std::wstring fromUtf8(const std::string& s);
bool getEnv(const wchar_t* name, std::wstring* value);
void reportProblem(const std::string& text); // stderr and debugger output

} // namespace vscard

#endif
