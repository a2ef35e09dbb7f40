// The devices' side of the virtual HID keys: CTAP HID framing and channels over the
// token's authenticator, the faults of hostile keys, and the delivery of input reports to
// every handle open on a device (each handle keeps its own queue, as the HID class driver
// does). One simulator thread sends what is due later: keepalives, slow answers,
// the end of a message that never came whole, and the completion of pending writes and
// cancelled reads.
#include "VScardHid.h"

#include <stdio.h>
#include <string.h>

#include "CborReader.h"

namespace vscard {

HidState gh;

namespace {

const BYTE CTAPHID_PING = 0x01;
const BYTE CTAPHID_INIT = 0x06;
const BYTE CTAPHID_CBOR = 0x10;
const BYTE CTAPHID_CANCEL = 0x11;
const BYTE CTAPHID_KEEPALIVE = 0x3B;
const BYTE CTAPHID_ERROR = 0x3F;

const BYTE ERR_INVALID_CMD = 0x01;
const BYTE ERR_INVALID_LEN = 0x03;
const BYTE ERR_INVALID_SEQ = 0x04;
const BYTE ERR_MSG_TIMEOUT = 0x05;
const BYTE ERR_CHANNEL_BUSY = 0x06;
const BYTE ERR_INVALID_CHANNEL = 0x0B;

const BYTE CAPABILITY_CBOR = 0x04;
const BYTE CAPABILITY_NMSG = 0x08; // no U2F messages
const BYTE CTAP2_ERR_KEEPALIVE_CANCEL = 0x2D;

const size_t kInitData = 57;
const size_t kContData = 59;
const size_t kMaxMessage = kInitData + 128 * kContData;
const ULONGLONG kKeepaliveMs = 100;
const ULONGLONG kMessageTimeoutMs = 500;
const size_t kReportQueue = 512; // per handle; the oldest report goes when it is full
const size_t kWrittenKept = 4096;

const LONG kStatusCancelled = (LONG)0xC0000120;
const LONG kStatusDeviceNotConnected = (LONG)0xC000009D;
const LONG kStatusUnsuccessful = (LONG)0xC0000001;

typedef std::vector<BYTE> Bytes;

DWORD be32(const BYTE* p)
{
    return ((DWORD)p[0] << 24) | ((DWORD)p[1] << 16) | ((DWORD)p[2] << 8) | p[3];
}

void putBe32(BYTE* p, DWORD v)
{
    p[0] = (BYTE)(v >> 24);
    p[1] = (BYTE)(v >> 16);
    p[2] = (BYTE)(v >> 8);
    p[3] = (BYTE)v;
}

HidPacket initPacket(DWORD cid, BYTE command, size_t stated, const BYTE* data, size_t count)
{
    HidPacket p = {};
    putBe32(p.bytes, cid);
    p.bytes[4] = (BYTE)(0x80 | command);
    p.bytes[5] = (BYTE)(stated >> 8);
    p.bytes[6] = (BYTE)stated;
    if (count != 0)
        memcpy(p.bytes + 7, data, count);
    return p;
}

HidPacket contPacket(DWORD cid, BYTE seq, const BYTE* data, size_t count)
{
    HidPacket p = {};
    putBe32(p.bytes, cid);
    p.bytes[4] = seq;
    memcpy(p.bytes + 5, data, count);
    return p;
}

const char* productText(const HidDevice& d, std::string* storage)
{
    *storage = "\"" + toUtf8(d.product) + "\"";
    return storage->c_str();
}

// Counts a report handed to a read; true when that was the last one before the pull.
bool noteReportRead(int index, const BYTE* report)
{
    HidDevice& d = gh.devices[(size_t)index];
    ++d.reportsRead;
    std::string name;
    if (g.logFile != INVALID_HANDLE_VALUE)
        logLine(std::string("HID ReadFile ") + productText(d, &name) + " -> 0x00000000 " + hexText(report + 1, kHidPacketBytes));
    return d.unplugCountdown != 0 && --d.unplugCountdown == 0;
}

// Every handle open on the device gets the report; then reads are served, so a pull after
// one of them finds every queue with the report in it.
void deliver(int index, const HidPacket& packet)
{
    for (std::map<HANDLE, HidHandle>::iterator it = gh.handles.begin(); it != gh.handles.end(); ++it) {
        HidHandle& hh = it->second;
        if (hh.device != index || !hidHandleAlive(hh))
            continue;
        if (hh.reports.size() >= kReportQueue)
            hh.reports.pop_front();
        hh.reports.push_back(packet);
    }
    for (std::map<HANDLE, HidHandle>::iterator it = gh.handles.begin(); it != gh.handles.end(); ++it) {
        if (it->second.device == index && hidHandleAlive(it->second))
            hidServeReads(it->first, it->second);
    }
}

// Every packet the key sends goes through here, behind a stranger's with the foreign-CID fault.
void emit(int index, const HidPacket& packet)
{
    HidDevice& d = gh.devices[(size_t)index];
    if (d.knobs[VSCARD_HID_FOREIGN_CID]) {
        const DWORD cid = be32(packet.bytes);
        const DWORD stranger = cid == 0x0BADCAFE ? 0x0BADCAFF : 0x0BADCAFE;
        const BYTE status = 0x2E;
        deliver(index, initPacket(stranger, CTAPHID_CBOR, 1, &status, 1));
    }
    if (d.present)
        deliver(index, packet);
}

// One message to the host; an answer to a CBOR command gets the answer faults.
void sendMessage(int index, DWORD cid, BYTE command, const Bytes& payload, bool answer)
{
    HidDevice& d = gh.devices[(size_t)index];
    size_t stated = payload.size();
    if (answer && d.knobs[VSCARD_HID_BCNT] != 0)
        stated = d.knobs[VSCARD_HID_BCNT];
    else if (answer && d.knobs[VSCARD_HID_BCNT_EXTRA] != 0)
        stated = payload.size() + d.knobs[VSCARD_HID_BCNT_EXTRA] > 0xFFFF ? 0xFFFF
                                                                           : payload.size() + d.knobs[VSCARD_HID_BCNT_EXTRA];
    std::vector<HidPacket> packets;
    const size_t first = payload.size() < kInitData ? payload.size() : kInitData;
    packets.push_back(initPacket(cid, command, stated, payload.empty() ? NULL : &payload[0], first));
    BYTE seq = 0;
    for (size_t at = first; at < payload.size(); at += kContData, ++seq) {
        const size_t count = payload.size() - at < kContData ? payload.size() - at : kContData;
        packets.push_back(contPacket(cid, seq, &payload[at], count));
    }
    if (answer) {
        if (d.knobs[VSCARD_HID_BAD_SEQ] && packets.size() > 1)
            packets[1].bytes[4] = 1;
        if (d.knobs[VSCARD_HID_INIT_IN_ANSWER]) {
            const BYTE ok = 0x00;
            packets.insert(packets.begin() + 1, initPacket(cid, CTAPHID_CBOR, 1, &ok, 1));
        }
        if (d.knobs[VSCARD_HID_CUT_AFTER] != 0 && packets.size() > d.knobs[VSCARD_HID_CUT_AFTER])
            packets.resize(d.knobs[VSCARD_HID_CUT_AFTER]);
    }
    const DWORD plugging = d.plugging;
    for (size_t i = 0; i < packets.size() && d.present && d.plugging == plugging; ++i)
        emit(index, packets[i]);
}

void sendError(int index, DWORD cid, BYTE code)
{
    sendMessage(index, cid, CTAPHID_ERROR, Bytes(1, code), false);
}

// Whether a CTAP answer shows the user was present: status 00 and the UP flag in its
// authenticator data (member 2 of both a new credential and an assertion).
bool answerShowsPresence(const Bytes& answer)
{
    if (answer.size() < 2 || answer[0] != 0x00)
        return false;
    CCborReader reader(&answer[1], answer.size() - 1);
    size_t entries;
    if (!reader.ReadMapHeader(&entries))
        return false;
    for (size_t i = 0; i < entries; ++i) {
        int64_t key;
        const BYTE* authData;
        size_t cbAuthData;
        if (!reader.ReadInteger(&key))
            return false;
        if (key == 2)
            return reader.ReadBytes(&authData, &cbAuthData) && cbAuthData > 32 && (authData[32] & 0x01) != 0;
        if (!reader.SkipItem())
            return false;
    }
    return false;
}

void finishCommand(int index)
{
    HidDevice& d = gh.devices[(size_t)index];
    d.processing = false;
    const Bytes answer = d.txAnswer;
    d.txAnswer.clear();
    if (d.knobs[VSCARD_HID_ERROR] != 0)
        sendError(index, d.txCid, (BYTE)d.knobs[VSCARD_HID_ERROR]);
    else
        sendMessage(index, d.txCid, CTAPHID_CBOR, answer, true);
}

void startCbor(int index, DWORD cid, const Bytes& message)
{
    HidDevice& d = gh.devices[(size_t)index];
    if (d.knobs[VSCARD_HID_NO_CBOR]) {
        sendError(index, cid, ERR_INVALID_CMD);
        return;
    }
    if (message.empty()) {
        sendError(index, cid, ERR_INVALID_LEN);
        return;
    }
    const CtapOutcome outcome = authenticatorMessage(d.token, message);
    const bool presence = answerShowsPresence(outcome.answer);
    d.processing = true;
    d.txCid = cid;
    d.txAnswer = outcome.answer;
    d.endless = false;
    d.cancellable = true;
    d.keepaliveStatus = presence ? 2 : 1;
    const ULONGLONG wait = (ULONGLONG)outcome.delayMs + (presence ? d.knobs[VSCARD_HID_TOUCH_MS] : 0);
    if (d.knobs[VSCARD_HID_ENDLESS_KEEPALIVE] != 0) {
        d.endless = true;
        d.cancellable = false; // a broken key: it does not listen either
        d.keepaliveStatus = (BYTE)d.knobs[VSCARD_HID_ENDLESS_KEEPALIVE];
    } else if (d.token.fido.knobs[VSCARD_FIDO_BUSY]) {
        d.endless = true;
        d.keepaliveStatus = 1;
        d.txAnswer.assign(1, CTAP2_ERR_KEEPALIVE_CANCEL);
    }
    if (!d.endless && wait == 0) {
        finishCommand(index);
        return;
    }
    const ULONGLONG now = GetTickCount64();
    d.answerAt = now + wait;
    d.nextKeepalive = now + kKeepaliveMs;
    hidKickSimulator();
}

void answerInit(int index, DWORD cid, const BYTE* nonce)
{
    HidDevice& d = gh.devices[(size_t)index];
    DWORD granted = cid; // INIT on a channel of its own resynchronises that channel
    if (d.knobs[VSCARD_HID_INIT_CID] == VSCARD_HID_CID_ZERO) {
        granted = 0;
    } else if (d.knobs[VSCARD_HID_INIT_CID] == VSCARD_HID_CID_BROADCAST) {
        granted = kHidBroadcastCid;
    } else if (cid == kHidBroadcastCid) {
        // Channels of different keys differ, so a command sent to the wrong key is refused.
        d.lastCid = (d.lastCid + 1) & 0x00FFFFFF;
        if (d.lastCid == 0)
            d.lastCid = 1;
        granted = ((DWORD)(index + 1) << 24) | d.lastCid;
        d.channels.insert(granted);
    }
    Bytes payload(nonce, nonce + 8);
    if (d.knobs[VSCARD_HID_INIT_NONCE])
        payload[0] ^= 0x5A;
    payload.resize(17);
    putBe32(&payload[8], granted);
    payload[12] = 2; // CTAP HID protocol version
    payload[13] = 1; // device version 1.0.0
    payload[14] = 0;
    payload[15] = 0;
    payload[16] = d.knobs[VSCARD_HID_NO_CBOR] ? 0 : (BYTE)(CAPABILITY_CBOR | CAPABILITY_NMSG);
    sendMessage(index, cid, CTAPHID_INIT, payload, false);
}

void dispatch(int index, DWORD cid, BYTE command, const Bytes& message)
{
    if (command == CTAPHID_PING)
        sendMessage(index, cid, CTAPHID_PING, message, false);
    else if (command == CTAPHID_CBOR)
        startCbor(index, cid, message);
    else
        sendError(index, cid, ERR_INVALID_CMD); // MSG, LOCK, WINK: not offered
}

bool knownChannel(const HidDevice& d, DWORD cid)
{
    return d.channels.count(cid) != 0;
}

void initPacketIn(int index, DWORD cid, BYTE command, size_t length, const BYTE* data)
{
    HidDevice& d = gh.devices[(size_t)index];
    if (cid == 0 || (cid == kHidBroadcastCid && command != CTAPHID_INIT) || (cid != kHidBroadcastCid && !knownChannel(d, cid))) {
        sendError(index, cid, ERR_INVALID_CHANNEL);
        return;
    }
    if (command == CTAPHID_INIT) {
        if (d.receiving && d.rxCid == cid)
            d.receiving = false;
        if (d.processing && d.txCid == cid)
            d.processing = false; // abandoned: its answer never comes
        if (length != 8)
            sendError(index, cid, ERR_INVALID_LEN);
        else
            answerInit(index, cid, data);
        return;
    }
    if (command == CTAPHID_CANCEL) {
        if (d.processing && d.txCid == cid && d.cancellable) {
            d.processing = false;
            sendMessage(index, cid, CTAPHID_CBOR, Bytes(1, CTAP2_ERR_KEEPALIVE_CANCEL), true);
        }
        return; // CANCEL has no answer of its own
    }
    if ((d.receiving && d.rxCid != cid) || d.processing) {
        sendError(index, cid, ERR_CHANNEL_BUSY);
        return;
    }
    if (d.receiving) {
        d.receiving = false; // a new message in the middle of one
        sendError(index, cid, ERR_INVALID_SEQ);
        return;
    }
    if (length > kMaxMessage) {
        sendError(index, cid, ERR_INVALID_LEN);
        return;
    }
    const Bytes start(data, data + (length < kInitData ? length : kInitData));
    if (start.size() == length) {
        dispatch(index, cid, command, start);
        return;
    }
    d.receiving = true;
    d.rxCid = cid;
    d.rxCommand = command;
    d.rxLength = length;
    d.rxSeq = 0;
    d.rxData = start;
    d.rxDeadline = GetTickCount64() + kMessageTimeoutMs;
    hidKickSimulator();
}

void continuationIn(int index, DWORD cid, BYTE seq, const BYTE* data)
{
    HidDevice& d = gh.devices[(size_t)index];
    if (!d.receiving) {
        return; // nothing to continue: dropped, as keys do
    }
    if (cid != d.rxCid) {
        if (knownChannel(d, cid))
            sendError(index, cid, ERR_CHANNEL_BUSY);
        return;
    }
    if (seq != d.rxSeq) {
        d.receiving = false;
        sendError(index, cid, ERR_INVALID_SEQ);
        return;
    }
    const size_t left = d.rxLength - d.rxData.size();
    d.rxData.insert(d.rxData.end(), data, data + (left < kContData ? left : kContData));
    ++d.rxSeq;
    d.rxDeadline = GetTickCount64() + kMessageTimeoutMs;
    if (d.rxData.size() == d.rxLength) {
        d.receiving = false;
        const Bytes message = d.rxData;
        dispatch(index, cid, d.rxCommand, message);
    }
}

void clearProtocol(HidDevice& d)
{
    d.channels.clear();
    d.receiving = false;
    d.processing = false;
    d.rxData.clear();
    d.txAnswer.clear();
}

// What is due at `now`; returns when the next thing is due (0: nothing waits for a time).
ULONGLONG simulatorTurn(ULONGLONG now)
{
    ULONGLONG next = 0;
    for (size_t i = 0; i < gh.devices.size(); ++i) {
        HidDevice& d = gh.devices[i];
        if (!d.present)
            continue;
        if (d.receiving && now >= d.rxDeadline) {
            d.receiving = false;
            sendError((int)i, d.rxCid, ERR_MSG_TIMEOUT);
        }
        // A keepalive due before the answer goes out first, however late this turn is.
        if (d.processing && now >= d.nextKeepalive && (d.endless || d.nextKeepalive <= d.answerAt)) {
            d.nextKeepalive = now + kKeepaliveMs;
            sendMessage((int)i, d.txCid, CTAPHID_KEEPALIVE, Bytes(1, d.keepaliveStatus), false);
        }
        if (d.processing && !d.endless && now >= d.answerAt)
            finishCommand((int)i);
        const ULONGLONG times[3] = {d.receiving ? d.rxDeadline : 0, d.processing ? d.nextKeepalive : 0,
                                    d.processing && !d.endless ? d.answerAt : 0};
        for (size_t t = 0; t < 3; ++t) {
            if (times[t] != 0 && (next == 0 || times[t] < next))
                next = times[t];
        }
    }
    // Writes the device has taken and reads whose cancel was asked for complete now.
    for (std::map<HANDLE, HidHandle>::iterator it = gh.handles.begin(); it != gh.handles.end(); ++it) {
        std::list<HidIo>& io = it->second.io;
        for (std::list<HidIo>::iterator op = io.begin(); op != io.end();) {
            if (!op->write && !op->cancelled) {
                ++op;
                continue;
            }
            HidIo done = *op;
            op = io.erase(op);
            if (done.write)
                hidCompleteIo(it->first, done, 0, kHidReportBytes);
            else
                hidCompleteIo(it->first, done, kStatusCancelled, 0);
        }
    }
    return next;
}

DWORD WINAPI simulatorMain(LPVOID)
{
    EnterCriticalSection(&g.cs);
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        const ULONGLONG next = simulatorTurn(now);
        DWORD wait = INFINITE;
        if (next != 0)
            wait = next <= now ? 0 : (next - now > 0x7FFFFFFF ? 0x7FFFFFFF : (DWORD)(next - now));
        if (wait != 0)
            SleepConditionVariableCS(&gh.wake, &g.cs, wait);
    }
}

} // namespace

HidDevice::HidDevice()
{
    memset(knobs, 0, sizeof knobs);
}

DWORD HidDevice::inputReportBytes() const
{
    if (usagePage == 0x0001 && usage == 0x0006)
        return 9; // report ID, modifiers, reserved, six keys
    if (usagePage == 0x0001 && usage == 0x0002)
        return 5;
    return kHidReportBytes;
}

DWORD HidDevice::outputReportBytes() const
{
    if (usagePage == 0x0001 && usage == 0x0006)
        return 2; // the LEDs
    if (usagePage == 0x0001 && usage == 0x0002)
        return 0;
    return kHidReportBytes;
}

std::string hexText(const BYTE* bytes, size_t count)
{
    std::string out;
    char buf[4];
    for (size_t i = 0; i < count; ++i) {
        snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
        out += buf;
    }
    return out;
}

int addHidDevice(const std::wstring& product, USHORT usagePage, USHORT usage)
{
    if (product.empty() || product.size() > kHidProductChars)
        return -1;
    const int index = (int)gh.devices.size();
    HidDevice d;
    d.product = product;
    d.usagePage = usagePage;
    d.usage = usage;
    d.knobs[VSCARD_HID_VENDOR_ID] = 0x1209;
    d.knobs[VSCARD_HID_PRODUCT_ID] = d.fido() ? 0xF1D0 : 0x0001;
    d.knobs[VSCARD_HID_UNPLUG_ERROR] = ERROR_DEVICE_NOT_CONNECTED;
    d.token.name = product;
    d.token.serial = 0x1234ABCD + (DWORD)index;
    d.token.present = true;
    d.present = true;
    d.plugging = ++gh.nextPlugging;
    gh.devices.push_back(d);
    return index;
}

HidDevice* hidDevice(int index)
{
    if (index < 0 || (size_t)index >= gh.devices.size())
        return NULL;
    return &gh.devices[(size_t)index];
}

std::wstring hidDevicePath(int index)
{
    const HidDevice& d = gh.devices[(size_t)index];
    wchar_t path[128];
    swprintf(path, sizeof path / sizeof path[0],
             L"\\\\?\\hid#vid_%04lx&pid_%04lx#velkor-virtual-%d#{4d1e55b2-f16f-11cf-88cb-001111000030}",
             (unsigned long)d.knobs[VSCARD_HID_VENDOR_ID], (unsigned long)d.knobs[VSCARD_HID_PRODUCT_ID], index);
    return path;
}

int hidDeviceByPath(const wchar_t* path)
{
    for (size_t i = 0; i < gh.devices.size(); ++i) {
        const std::wstring ours = hidDevicePath((int)i);
        // \\?\ and \\.\ name the same device; paths are not case-sensitive.
        if (wcslen(path) == ours.size() && _wcsnicmp(path, ours.c_str(), 2) == 0 && (path[2] == L'?' || path[2] == L'.') &&
            _wcsicmp(path + 3, ours.c_str() + 3) == 0)
            return (int)i;
    }
    return -1;
}

bool setHidKnob(HidDevice& d, int knob, DWORD value)
{
    switch (knob) {
    case VSCARD_HID_VENDOR_ID:
    case VSCARD_HID_PRODUCT_ID:
    case VSCARD_HID_BCNT:
    case VSCARD_HID_BCNT_EXTRA:
        if (value > 0xFFFF)
            return false;
        break;
    case VSCARD_HID_OPEN_DENIED:
    case VSCARD_HID_SYNC_WRITES:
    case VSCARD_HID_MUTE:
    case VSCARD_HID_INIT_NONCE:
    case VSCARD_HID_NO_CBOR:
    case VSCARD_HID_FOREIGN_CID:
    case VSCARD_HID_BAD_SEQ:
    case VSCARD_HID_INIT_IN_ANSWER:
        if (value > 1)
            return false;
        break;
    case VSCARD_HID_INIT_CID:
    case VSCARD_HID_ENDLESS_KEEPALIVE:
        if (value > 2)
            return false;
        break;
    case VSCARD_HID_ERROR:
        if (value > 0xFF)
            return false;
        break;
    case VSCARD_HID_UNPLUG_ERROR:
        if (value != ERROR_DEVICE_NOT_CONNECTED && value != ERROR_GEN_FAILURE)
            return false;
        break;
    case VSCARD_HID_UNPLUG_AFTER:
        d.unplugCountdown = value;
        break;
    case VSCARD_HID_TOUCH_MS:
    case VSCARD_HID_CUT_AFTER:
        break;
    default:
        return false;
    }
    d.knobs[knob] = value;
    return true;
}

bool fidoKnobAppliesToHid(int knob)
{
    switch (knob) {
    case VSCARD_FIDO_ABSENT:
    case VSCARD_FIDO_TOUCH_POLLS:
    case VSCARD_FIDO_CHUNK:
    case VSCARD_FIDO_REFUSE_GET_RESPONSE_80:
    case VSCARD_FIDO_REFUSE_CTAP:
    case VSCARD_FIDO_ENDLESS_MORE_DATA:
        return false;
    default:
        return knob >= 0 && knob < VSCARD_FIDO_KNOB_COUNT;
    }
}

LONG hidUnpluggedStatus(const HidDevice& d)
{
    return d.knobs[VSCARD_HID_UNPLUG_ERROR] == ERROR_GEN_FAILURE ? kStatusUnsuccessful : kStatusDeviceNotConnected;
}

DWORD hidUnpluggedError(const HidDevice& d)
{
    return d.knobs[VSCARD_HID_UNPLUG_ERROR];
}

bool hidHandleAlive(const HidHandle& hh)
{
    const HidDevice* d = hidDevice(hh.device);
    return d != NULL && d->present && d->plugging == hh.plugging;
}

void hidCompleteIo(HANDLE h, HidIo& io, LONG status, DWORD bytes)
{
    // GetOverlappedResult reads Internal once the event is set: the result goes first.
    OVERLAPPED* ov = io.ov;
    ov->InternalHigh = bytes;
    MemoryBarrier();
    ov->Internal = (ULONG_PTR)(DWORD)status;
    MemoryBarrier();
    // The low bit of hEvent only keeps the completion off a completion port.
    HANDLE event = (HANDLE)((ULONG_PTR)ov->hEvent & ~(ULONG_PTR)1);
    SetEvent(event != NULL ? event : h);
}

void hidFailIo(HANDLE h, HidHandle& hh, LONG status)
{
    std::list<HidIo> io;
    io.swap(hh.io);
    for (std::list<HidIo>::iterator it = io.begin(); it != io.end(); ++it)
        hidCompleteIo(h, *it, status, 0);
}

bool hidTakeReport(HidHandle& hh, BYTE* buffer)
{
    if (hh.reports.empty())
        return false;
    buffer[0] = 0;
    memcpy(buffer + 1, hh.reports.front().bytes, kHidPacketBytes);
    hh.reports.pop_front();
    if (noteReportRead(hh.device, buffer))
        plugHidDevice(hh.device, false);
    return true;
}

void hidServeReads(HANDLE h, HidHandle& hh)
{
    bool pull = false;
    while (!hh.reports.empty() && !pull) {
        std::list<HidIo>::iterator op = hh.io.begin();
        while (op != hh.io.end() && (op->write || op->cancelled))
            ++op;
        if (op == hh.io.end())
            break;
        HidIo done = *op;
        hh.io.erase(op);
        done.buffer[0] = 0;
        memcpy(done.buffer + 1, hh.reports.front().bytes, kHidPacketBytes);
        hh.reports.pop_front();
        pull = noteReportRead(hh.device, done.buffer);
        hidCompleteIo(h, done, 0, kHidReportBytes);
    }
    if (pull)
        plugHidDevice(hh.device, false);
}

void hidOutputReport(int index, const BYTE* report, DWORD size)
{
    HidDevice& d = gh.devices[(size_t)index];
    HidPacket packet = {}; // another device's shorter report, padded
    memcpy(packet.bytes, report + 1, size - 1 < kHidPacketBytes ? size - 1 : kHidPacketBytes);
    const BYTE* p = packet.bytes;
    ++d.packetsWritten;
    if (d.written.size() < kWrittenKept)
        d.written.push_back(packet);
    if (p[4] & 0x80)
        ++d.commands[p[4] & 0x7F];
    std::string name;
    if (g.logFile != INVALID_HANDLE_VALUE)
        logLine(std::string("HID WriteFile ") + productText(d, &name) + " " + hexText(p, kHidPacketBytes) + " -> 0x00000000");
    if (!d.fido() || d.knobs[VSCARD_HID_MUTE])
        return;
    const DWORD cid = be32(p);
    if (p[4] & 0x80)
        initPacketIn(index, cid, (BYTE)(p[4] & 0x7F), ((size_t)p[5] << 8) | p[6], p + 7);
    else
        continuationIn(index, cid, p[4], p + 5);
}

void plugHidDevice(int index, bool plugged)
{
    HidDevice& d = gh.devices[(size_t)index];
    if (plugged == d.present)
        return;
    std::string name;
    logLine(std::string(plugged ? "HID plug " : "HID unplug ") + productText(d, &name));
    clearProtocol(d);
    d.unplugCountdown = 0;
    if (plugged) {
        d.present = true;
        d.plugging = ++gh.nextPlugging;
        return;
    }
    d.present = false;
    d.token.fido.powerCycle(); // out of the port, out of power
    const LONG status = hidUnpluggedStatus(d);
    for (std::map<HANDLE, HidHandle>::iterator it = gh.handles.begin(); it != gh.handles.end(); ++it) {
        HidHandle& hh = it->second;
        if (hh.device != index || hh.plugging != d.plugging)
            continue;
        hh.reports.clear();
        hidFailIo(it->first, hh, status);
    }
}

void resetHid()
{
    for (std::map<HANDLE, HidHandle>::iterator it = gh.handles.begin(); it != gh.handles.end(); ++it) {
        HidHandle& hh = it->second;
        hh.reports.clear();
        hidFailIo(it->first, hh, kStatusDeviceNotConnected);
        hh.device = -1;
    }
    gh.devices.clear();
}

void hidKickSimulator()
{
    if (gh.thread == NULL) {
        // The thread runs in this DLL until the process ends: keep the DLL loaded.
        HMODULE self = NULL;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           (LPCWSTR)(void*)&hidKickSimulator, &self);
        gh.thread = CreateThread(NULL, 0, simulatorMain, NULL, 0, NULL);
        if (gh.thread == NULL)
            reportProblem("vscard: cannot start the HID simulator thread\n");
    }
    WakeConditionVariable(&gh.wake);
}

} // namespace vscard
