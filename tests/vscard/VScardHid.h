// Virtual HID devices: FIDO keys that speak CTAP HID with the token's authenticator, and
// other HID devices beside them; the handles a program opens on them and the reads and
// writes in flight. Internal to the DLL. Everything here expects g.cs to be held unless
// it says otherwise.
#ifndef VELKOR_VSCARD_HID_H
#define VELKOR_VSCARD_HID_H

#include "VScardInternal.h"

#include <deque>
#include <list>
#include <set>

namespace vscard {

const DWORD kHidReportBytes = 65; // report ID 0, then one 64-byte packet
const size_t kHidPacketBytes = 64;
const size_t kHidProductChars = 126; // longest USB string descriptor text
const DWORD kHidBroadcastCid = 0xFFFFFFFF;

struct HidPacket {
    BYTE bytes[kHidPacketBytes];
};

// A ReadFile or WriteFile that has not completed yet.
struct HidIo {
    OVERLAPPED* ov = NULL; // the caller's, or the synchronous call's own
    BYTE* buffer = NULL;   // a read's destination
    bool write = false;
    bool cancelled = false; // completes with STATUS_CANCELLED at the simulator's next turn
    DWORD threadId = 0;
};

// An open handle. Its value is a real manual-reset event, signalled when an I/O without
// an event of its own completes, as a file object is.
struct HidHandle {
    int device = -1;     // -1 once the devices were reset
    DWORD plugging = 0;  // the plug-in it was opened on: once the device's differs, I/O fails
    bool read = false;   // access asked for
    bool write = false;
    DWORD share = 0;
    bool overlapped = false;
    std::deque<HidPacket> reports; // input reports waiting for a read
    std::list<HidIo> io;
};

struct HidDevice {
    std::wstring product;
    USHORT usagePage = 0;
    USHORT usage = 0;
    DWORD knobs[VSCARD_HID_KNOB_COUNT];
    bool present = false;
    DWORD plugging = 0;        // this plug-in's number, unique in the process
    Reader token;              // a FIDO key's authenticator: serial, device secret, knobs, counters
    DWORD unplugCountdown = 0; // reports left to read before the key is pulled (0: never)

    // CTAP HID: allocated channels, the request being received, the command running.
    std::set<DWORD> channels;
    DWORD lastCid = 0;
    bool receiving = false;
    DWORD rxCid = 0;
    BYTE rxCommand = 0;
    size_t rxLength = 0;
    BYTE rxSeq = 0;
    std::vector<BYTE> rxData;
    ULONGLONG rxDeadline = 0;
    bool processing = false;
    DWORD txCid = 0;
    std::vector<BYTE> txAnswer;
    ULONGLONG answerAt = 0;
    ULONGLONG nextKeepalive = 0;
    BYTE keepaliveStatus = 0;
    bool endless = false;     // never answers
    bool cancellable = false; // CTAPHID_CANCEL ends it with CTAP2_ERR_KEEPALIVE_CANCEL

    // What the host did with it.
    DWORD packetsWritten = 0;
    std::vector<HidPacket> written; // the first packets written, kept for tests
    DWORD commands[128] = {};       // init packets written, by CTAPHID command
    DWORD reportsRead = 0;

    HidDevice();
    bool fido() const { return usagePage == VSCARD_HID_USAGE_PAGE_FIDO && usage == VSCARD_HID_USAGE_FIDO; }
    // Keyboards and mice belong to the system: nobody else opens them for reading or writing.
    bool systemOwned() const { return usagePage == 0x0001 && (usage == 0x0002 || usage == 0x0006); }
    DWORD inputReportBytes() const;
    DWORD outputReportBytes() const;
};

struct HidState {
    std::vector<HidDevice> devices;
    std::map<HANDLE, HidHandle> handles;
    std::deque<HANDLE> closed; // closed handles whose events stay open, so their values are not reused
    DWORD nextPlugging = 0;
    HANDLE thread = NULL;
    CONDITION_VARIABLE wake; // the simulator's
    HidState() { InitializeConditionVariable(&wake); }
};

extern HidState gh;

// Devices.
int addHidDevice(const std::wstring& product, USHORT usagePage, USHORT usage); // -1 if empty or too long
HidDevice* hidDevice(int index);
std::wstring hidDevicePath(int index);
int hidDeviceByPath(const wchar_t* path); // -1 if none
bool setHidKnob(HidDevice& d, int knob, DWORD value);
bool fidoKnobAppliesToHid(int knob);
void plugHidDevice(int index, bool plugged);
void resetHid(); // called by resetState

// The device's side of the reports.
void hidOutputReport(int index, const BYTE* report, DWORD size); // a report the host wrote, report ID first
bool hidTakeReport(HidHandle& hh, BYTE* buffer); // a queued input report for a read
void hidServeReads(HANDLE h, HidHandle& hh);
void hidFailIo(HANDLE h, HidHandle& hh, LONG status); // completes every pending I/O of the handle
LONG hidUnpluggedStatus(const HidDevice& d);
DWORD hidUnpluggedError(const HidDevice& d);
bool hidHandleAlive(const HidHandle& hh); // its device is still the one it was opened on
void hidCompleteIo(HANDLE h, HidIo& io, LONG status, DWORD bytes);
void hidKickSimulator(); // starts the simulator thread if needed and wakes it

// Import-table patches and the fast "is this ours" checks (take no lock of g.cs).
void hidRegisterHandle(HANDLE h);
void hidForgetHandle(HANDLE h);
bool hidIsOurHandle(HANDLE h);
DWORD hidOutstandingObjects(); // device information sets and preparsed data not freed

void logLine(const std::string& line); // VELKOR_VSCARD_LOG, when set
std::string hexText(const BYTE* bytes, size_t count);

} // namespace vscard

#endif
