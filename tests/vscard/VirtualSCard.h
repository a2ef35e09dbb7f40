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

/* ---- Virtual HID devices (README.md, "Virtual HID keys") --------------------------
   FIDO keys that speak CTAP HID with the same authenticator as the tokens, and other HID
   devices. Programs reach them through SetupDi*, CreateFileW, ReadFile, WriteFile,
   HidD_* and HidP_GetCaps once VScardInstallHid has patched their import tables. */

#define VSCARD_HID_USAGE_PAGE_FIDO 0xF1D0
#define VSCARD_HID_USAGE_FIDO 0x01
#define VSCARD_HID_PACKET_BYTES 64

/* Behaviour of a HID device, set with VScardHidSetKnob. */
enum {
    VSCARD_HID_VENDOR_ID = 0,     /* USB vendor ID in the path and HidD_GetAttributes (default 0x1209) */
    VSCARD_HID_PRODUCT_ID,        /* USB product ID (default 0xF1D0 for a FIDO key, else 0x0001) */
    VSCARD_HID_OPEN_DENIED,       /* 1: CreateFileW asking to read or write fails with ERROR_ACCESS_DENIED */
    VSCARD_HID_SYNC_WRITES,       /* 1: WriteFile completes at once (default: ERROR_IO_PENDING, completed soon after) */
    VSCARD_HID_UNPLUG_AFTER,      /* k: pulled right after the host has read k more reports (0: never) */
    VSCARD_HID_UNPLUG_ERROR,      /* ERROR_DEVICE_NOT_CONNECTED (default) or ERROR_GEN_FAILURE: how I/O fails once pulled */
    VSCARD_HID_MUTE,              /* 1: takes every report and never answers anything */
    VSCARD_HID_INIT_NONCE,        /* 1: CTAPHID_INIT answered with the nonce's first byte changed */
    VSCARD_HID_INIT_CID,          /* VSCARD_HID_CID_...: the channel CTAPHID_INIT grants */
    VSCARD_HID_NO_CBOR,           /* 1: INIT announces no CBOR capability; CTAPHID_CBOR answers ERR_INVALID_CMD */
    VSCARD_HID_FOREIGN_CID,       /* 1: a packet of another channel before every packet the key sends */
    VSCARD_HID_ENDLESS_KEEPALIVE, /* 1 or 2: CBOR commands are never answered, only KEEPALIVE of that status; CANCEL is ignored */
    VSCARD_HID_TOUCH_MS,          /* ms: a command asking for the user's presence waits that long with KEEPALIVE 2 */
    VSCARD_HID_ERROR,             /* code 1..255: every CBOR command is answered with CTAPHID_ERROR of that code */
    VSCARD_HID_BCNT,              /* n: the answer's BCNT says n (1..65535); only the real bytes follow */
    VSCARD_HID_BCNT_EXTRA,        /* k: BCNT says k bytes more than the answer has; only the real bytes follow */
    VSCARD_HID_CUT_AFTER,         /* k: only the first k packets of an answer are sent, then nothing */
    VSCARD_HID_BAD_SEQ,           /* 1: the answer's first continuation packet has SEQ 1 */
    VSCARD_HID_INIT_IN_ANSWER,    /* 1: an init packet of the same channel right after the answer's first packet */
    VSCARD_HID_KNOB_COUNT
};

enum { VSCARD_HID_CID_GRANTED = 0, VSCARD_HID_CID_ZERO = 1, VSCARD_HID_CID_BROADCAST = 2 };

/* Adds a plugged-in HID device and returns its index (-1 for an empty product string or
   one longer than 126 characters). usagePage VSCARD_HID_USAGE_PAGE_FIDO with usage
   VSCARD_HID_USAGE_FIDO is a FIDO key; anything else only takes reports (0x0001 with
   usage 0x06 is a keyboard, 0x02 a mouse: those cannot be opened to read or write).
   A key's serial number defaults to 0x1234ABCD + its index. */
VSCARD_API int WINAPI VScardHidAddDevice(const wchar_t* product, USHORT usagePage, USHORT usage);
VSCARD_API int WINAPI VScardHidDeviceCount(void);
/* Unplug (handles then fail, pending reads complete with the unplug error) or plug back
   in (a new device instance at the same path; old handles stay dead). */
VSCARD_API BOOL WINAPI VScardHidPlug(int device, BOOL plugged);
VSCARD_API BOOL WINAPI VScardHidSetKnob(int device, int knob, DWORD value);
/* The key's authenticator, as for a token: the same VSCARD_FIDO_... knobs, except those
   of the APDU transport (ABSENT, TOUCH_POLLS, CHUNK, REFUSE_GET_RESPONSE_80, REFUSE_CTAP,
   ENDLESS_MORE_DATA), which answer FALSE. VSCARD_FIDO_BUSY: KEEPALIVE 1 until CANCEL. */
VSCARD_API BOOL WINAPI VScardHidSetFidoKnob(int device, int knob, DWORD value);
/* The serial number the default device secret derives from, and the secret itself (as
   VScardSetDeviceSecret): a key and a token with the same secret accept each other's
   credentials. */
VSCARD_API BOOL WINAPI VScardHidSetSerial(int device, DWORD serial);
VSCARD_API BOOL WINAPI VScardHidSetDeviceSecret(int device, const BYTE* secret, DWORD length);
/* The device interface path, as SetupDiGetDeviceInterfaceDetailW gives it; returns its
   length, or 0 if the buffer is too small or the device unknown. */
VSCARD_API DWORD WINAPI VScardHidDevicePath(int device, wchar_t* path, DWORD chars);

/* What the host did, since the device was added or VScardHidClearRecord. */
VSCARD_API DWORD WINAPI VScardHidPacketsWritten(int device);
/* The index-th packet written (64 bytes, report ID dropped); the first 4096 are kept. */
VSCARD_API BOOL WINAPI VScardHidGetWrittenPacket(int device, DWORD index, BYTE* packet);
/* Init packets written with this CTAPHID command (0x06 INIT, 0x10 CBOR, 0x11 CANCEL ...). */
VSCARD_API DWORD WINAPI VScardHidCountCommands(int device, BYTE command);
/* Reports handed to ReadFile. */
VSCARD_API DWORD WINAPI VScardHidReportsRead(int device);
VSCARD_API void WINAPI VScardHidClearRecord(void);

/* Leak checks: handles open, reads and writes not completed, device information sets and
   preparsed data not freed. */
VSCARD_API DWORD WINAPI VScardHidOpenHandles(void);
VSCARD_API DWORD WINAPI VScardHidPendingIo(void);
VSCARD_API DWORD WINAPI VScardHidOutstandingObjects(void);

/* Points the imports of one module (NULL: the program) at the virtual HID devices:
   SetupDiGetClassDevsW, SetupDiEnumDeviceInterfaces, SetupDiGetDeviceInterfaceDetailW,
   SetupDiDestroyDeviceInfoList, HidD_GetPreparsedData, HidD_FreePreparsedData,
   HidP_GetCaps, HidD_GetProductString, HidD_GetAttributes, CreateFileW, ReadFile,
   WriteFile, CancelIo, CancelIoEx and CloseHandle. What is not ours passes through to the
   system. Returns the number of import slots patched (0: it imports none of them, or
   they are patched already), -1 for a bad module. */
VSCARD_API int WINAPI VScardInstallHid(HMODULE module);
/* Puts back what VScardInstallHid replaced in that module; returns the slots restored. */
VSCARD_API int WINAPI VScardUninstallHid(HMODULE module);

#ifdef __cplusplus
}
#endif

#endif
