/*
 * Control API of the virtual PC/SC stack (tests/vscard/winscard.dll).
 *
 * Tests link the "vscard" target and drive the simulated readers and
 * tokens through these functions while the code under test talks to the
 * same DLL through the ordinary SCard* API. Plain C so any test can use it.
 */
#ifndef VELKOR_VIRTUAL_SCARD_H
#define VELKOR_VIRTUAL_SCARD_H

#include <windows.h>
#include <wchar.h>

#ifdef VSCARD_BUILD_DLL
#define VSCARD_API __declspec(dllexport)
#else
#define VSCARD_API __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Commands the simulated token recognises (exact byte match). */
enum {
    VSCARD_CMD_SELECT = 0,      /* 00 A4 04 00 */
    VSCARD_CMD_GET_CPLC = 1,    /* 80 CA 9F 7F 00 */
    VSCARD_CMD_SELECT_OTP = 2,  /* 00 A4 04 00 09 4A 4E 45 54 5F 4F 54 50 01 */
    VSCARD_CMD_GET_BF52 = 3,    /* 80 CA BF 52 00 00 00 */
    VSCARD_CMD_INIT_UPDATE = 4, /* 80 50 00 00 08 + 8 bytes */
    VSCARD_CMD_COUNT = 5
};

/* One value per exported PC/SC function; used for records and failures. */
enum {
    VSCARD_FN_ESTABLISH_CONTEXT = 0,
    VSCARD_FN_RELEASE_CONTEXT,
    VSCARD_FN_IS_VALID_CONTEXT,
    VSCARD_FN_LIST_READERS_W,
    VSCARD_FN_LIST_READERS_A,
    VSCARD_FN_FREE_MEMORY,
    VSCARD_FN_CONNECT_W,
    VSCARD_FN_CONNECT_A,
    VSCARD_FN_RECONNECT,
    VSCARD_FN_DISCONNECT,
    VSCARD_FN_BEGIN_TRANSACTION,
    VSCARD_FN_END_TRANSACTION,
    VSCARD_FN_TRANSMIT,
    VSCARD_FN_CONTROL,
    VSCARD_FN_STATUS_W,
    VSCARD_FN_STATUS_A,
    VSCARD_FN_GET_STATUS_CHANGE_W,
    VSCARD_FN_GET_STATUS_CHANGE_A,
    VSCARD_FN_CANCEL,
    VSCARD_FN_GET_ATTRIB,
    VSCARD_FN_COUNT
};

/* Behaviour of the simulated FIDO2 authenticator, set with VScardSetFidoKnob. */
enum {
    VSCARD_FIDO_ABSENT = 0,             /* 0: the FIDO applet answers SELECT; else the status word of its refusal (0x6A82, 0x6D00) */
    VSCARD_FIDO_REFUSE_SILENT,          /* 1: getAssertion with "up": false answers CTAP status 0x2C */
    VSCARD_FIDO_PIN_REQUIRED,           /* 1: makeCredential answers CTAP status 0x36 */
    VSCARD_FIDO_TOUCH_POLLS,            /* n: makeCredential's answer comes with the n-th NFCCTAP_GETRESPONSE (91 00 until then) */
    VSCARD_FIDO_TOUCH_DELAY_MS,         /* ms: the transmit that completes makeCredential blocks that long */
    VSCARD_FIDO_ASSERTION_DELAY_MS,     /* ms: the transmit that completes getAssertion blocks that long */
    VSCARD_FIDO_CHUNK,                  /* 1..256 answer bytes per transmit, the rest through 61 xx (default 256) */
    VSCARD_FIDO_REFUSE_GET_RESPONSE_80, /* 1: GET RESPONSE with CLA 80 answers 6E 00 (CLA 00 still works) */
    VSCARD_FIDO_COUNTER_MODE,           /* VSCARD_COUNTER_PER_CREDENTIAL (default), _GLOBAL or _ZERO */
    VSCARD_FIDO_COUNTER_START,          /* VSCARD_COUNTER_CLOCK (default), or the count before the first one */
    VSCARD_FIDO_COUNTER_LAG,            /* every count shown this much lower (a copied key behind its original) */
    VSCARD_FIDO_DAMAGE_MAKE_CREDENTIAL, /* VSCARD_DAMAGE_... done to makeCredential answers */
    VSCARD_FIDO_DAMAGE_GET_ASSERTION,   /* VSCARD_DAMAGE_... done to getAssertion answers */
    VSCARD_FIDO_REFUSE_CTAP,            /* SW: every NFCCTAP_MSG answers this status word (0x6D00: U2F only) */
    VSCARD_FIDO_ENDLESS_MORE_DATA,      /* 1: NFCCTAP_MSG and every GET RESPONSE answer 61 10 with no data */
    VSCARD_FIDO_BUSY,                   /* 1: a CTAP command never ends: 01 91 00 to it and to every poll */
    VSCARD_FIDO_PIN_RETRIES,            /* PIN retries left (default 8); 0: the PIN is blocked */
    VSCARD_FIDO_MAKE_CRED_UV_NOT_RQD,   /* 1: getInfo says makeCredUvNotRqd, and makeCredential needs no PIN */
    VSCARD_FIDO_ALWAYS_UV,              /* 1: getInfo says alwaysUv, and makeCredential and getAssertion need the PIN */
    VSCARD_FIDO_PIN_PROTOCOLS,          /* PIN/UV auth protocols offered: 1, 2, or 3 for both (2 first); 0: by version */
    VSCARD_FIDO_KNOB_COUNT
};

enum {
    VSCARD_DAMAGE_NONE = 0,
    VSCARD_DAMAGE_CUT,           /* the CTAP answer loses its last byte */
    VSCARD_DAMAGE_TRAILING,      /* a 00 byte after the CTAP answer */
    VSCARD_DAMAGE_AUTH_DATA_BIT, /* bit 0 of the last authenticator data byte flipped (after signing) */
    VSCARD_DAMAGE_SIGNATURE_BIT  /* bit 0 of the last signature byte flipped (getAssertion only) */
};

enum { VSCARD_COUNTER_PER_CREDENTIAL = 0, VSCARD_COUNTER_GLOBAL = 1, VSCARD_COUNTER_ZERO = 2 };
#define VSCARD_COUNTER_CLOCK 0xFFFFFFFFu /* counts start at tenths of seconds since 2024 */

#define VSCARD_MAX_ANSWER 258          /* longest settable answer, SW included */
#define VSCARD_RECORD_BYTES 300        /* bytes kept per command/answer in a record */
#define VSCARD_RECORD_READER_CHARS 256 /* reader name chars kept in a record, NUL included */
#define VSCARD_NO_PCI 0xFFFFFFFFu      /* sendProtocol when pioSendPci was NULL */

typedef struct VSCARD_RECORD {
    int function;         /* VSCARD_FN_... */
    LONG result;          /* what the call returned */
    DWORD threadId;       /* calling thread */
    int readerIndex;      /* reader concerned, -1 if none or unknown */
    wchar_t reader[VSCARD_RECORD_READER_CHARS]; /* connect: name as passed; card calls: the card's reader */
    ULONG_PTR context;    /* context handle passed or created (0 if none) */
    ULONG_PTR card;       /* card handle passed or created (0 if none) */
    DWORD shareMode;      /* connect/reconnect */
    DWORD preferredProtocols; /* connect/reconnect */
    DWORD activeProtocol; /* connect/reconnect: negotiated on success; transmit: the handle's protocol */
    DWORD sendProtocol;   /* transmit: pioSendPci->dwProtocol, or VSCARD_NO_PCI */
    BYTE command[VSCARD_RECORD_BYTES]; /* transmit: command bytes */
    DWORD commandLength;  /* bytes stored in command (cbSendLength, capped) */
    BOOL commandTruncated; /* cbSendLength was larger than VSCARD_RECORD_BYTES */
    BYTE answer[VSCARD_RECORD_BYTES]; /* transmit: bytes handed back to the caller */
    DWORD answerLength;
} VSCARD_RECORD;

/* Back to a clean slate: no readers, contexts, card handles, failure rules
   or records. Also stops a VELKOR_VSCARD_SCENARIO file from being loaded
   later in this process. Memory handed out with SCARD_AUTOALLOCATE stays
   valid and can still be freed with SCardFreeMemory. */
VSCARD_API void WINAPI VScardReset(void);

/* Adds a reader (any name length) and returns its index, or -1 on error.
   A token starts with serial 0x1234ABCD, protocol T=1 and default answers. */
VSCARD_API int WINAPI VScardAddReader(const wchar_t* name, BOOL withToken);
VSCARD_API int WINAPI VScardReaderCount(void);

/* Removing the token makes existing card handles fail with
   SCARD_W_REMOVED_CARD (also after a later insert, until reconnected).
   The token keeps its serial/protocol/answers while out of the reader. */
VSCARD_API BOOL WINAPI VScardRemoveToken(int reader);
VSCARD_API BOOL WINAPI VScardInsertToken(int reader);

VSCARD_API BOOL WINAPI VScardSetSerial(int reader, DWORD serial);
/* protocol: SCARD_PROTOCOL_T0 (1) or SCARD_PROTOCOL_T1 (2). */
VSCARD_API BOOL WINAPI VScardSetProtocol(int reader, DWORD protocol);
/* Full answer (data + status word), 0..VSCARD_MAX_ANSWER bytes. */
VSCARD_API BOOL WINAPI VScardSetAnswer(int reader, int command, const BYTE* answer, DWORD length);
/* Back to the built-in answer (the CPLC one follows the serial). */
VSCARD_API BOOL WINAPI VScardSetDefaultAnswer(int reader, int command);

/* The FIDO2 authenticator (see README.md, "The FIDO2 authenticator").
   Version text of the SELECT answer, 1..32 characters; NULL: back to "FIDO_2_0". */
VSCARD_API BOOL WINAPI VScardSetFidoVersion(int reader, const char* version);
/* One VSCARD_FIDO_... setting; each knob's values are listed with it. */
VSCARD_API BOOL WINAPI VScardSetFidoKnob(int reader, int knob, DWORD value);
/* The secret that wraps credential keys into credential IDs, 1..64 bytes; length 0:
   back to the default, derived from the serial. Tokens with the same secret accept
   each other's credentials; with another secret they answer CTAP status 0x2E. */
VSCARD_API BOOL WINAPI VScardSetDeviceSecret(int reader, const BYTE* secret, DWORD length);

/* The authenticator's PIN, UTF-8 (4 to 63 bytes); NULL or "": no PIN set. Setting it also
   gives back all retries (VSCARD_FIDO_PIN_RETRIES 8). */
VSCARD_API BOOL WINAPI VScardSetFidoPin(int reader, const char* pin);

/* Makes the nth call of `function` counted from now (1 = the next one) return
   `code` without doing anything; with andAfter every later call fails too.
   Several rules per function may be active; the oldest matching one wins.
   nth == 0 removes all rules of that function. code must not be 0. */
VSCARD_API BOOL WINAPI VScardFailCall(int function, LONG code, DWORD nth, BOOL andAfter);

/* After `transmits` more successful SCardTransmit calls to this reader the
   token is pulled (as VScardRemoveToken). 0 cancels a pending pull. */
VSCARD_API BOOL WINAPI VScardPullTokenAfterTransmits(int reader, DWORD transmits);

/* Applies a scenario file (format in README.md) on top of the current state.
   Returns 0 on success, the 1-based line number of the first bad line, or
   -1 if the file cannot be read. */
VSCARD_API int WINAPI VScardLoadScenario(const wchar_t* path);

/* Record of PC/SC calls since the last VScardReset/VScardClearRecord. */
VSCARD_API DWORD WINAPI VScardRecordCount(void);
VSCARD_API BOOL WINAPI VScardGetRecord(DWORD index, VSCARD_RECORD* out);
VSCARD_API void WINAPI VScardClearRecord(void);
/* Recorded calls of one function, whatever their result. */
VSCARD_API DWORD WINAPI VScardCountCalls(int function);
/* Recorded SCardConnectW/A calls naming this reader (NULL: all connects). */
VSCARD_API DWORD WINAPI VScardCountConnects(const wchar_t* reader);
/* Recorded SCardTransmit calls with exactly these bytes (NULL: all transmits). */
VSCARD_API DWORD WINAPI VScardCountTransmits(const BYTE* command, DWORD length);

/* Resources the code under test still holds, to catch missing
   SCardReleaseContext / SCardDisconnect / SCardFreeMemory. */
VSCARD_API DWORD WINAPI VScardOpenContexts(void);
VSCARD_API DWORD WINAPI VScardOpenCards(void);
VSCARD_API DWORD WINAPI VScardOutstandingAllocations(void);

/* "SCardTransmit" etc.; "?" for an unknown value. */
VSCARD_API const char* WINAPI VScardFunctionName(int function);

#ifdef __cplusplus
}
#endif

#endif
