// Control API of the virtual HID devices (see VirtualSCard.h).
#include "VScardHid.h"

#include <string.h>

using namespace vscard;

namespace {

// Runs f on the device under the lock, the scenario loaded first; FALSE for an unknown device.
template <typename F> BOOL withDevice(int device, F f)
{
    try {
        Guard lock;
        ensureInit(true);
        HidDevice* d = hidDevice(device);
        return d != NULL && f(*d) ? TRUE : FALSE;
    } catch (...) {
        return FALSE;
    }
}

} // namespace

extern "C" {

int WINAPI VScardHidAddDevice(const wchar_t* product, USHORT usagePage, USHORT usage)
{
    if (product == NULL)
        return -1;
    try {
        Guard lock;
        ensureInit(true);
        return addHidDevice(product, usagePage, usage);
    } catch (...) {
        return -1;
    }
}

int WINAPI VScardHidDeviceCount(void)
{
    Guard lock;
    ensureInit(true);
    return (int)gh.devices.size();
}

BOOL WINAPI VScardHidPlug(int device, BOOL plugged)
{
    return withDevice(device, [&](HidDevice&) {
        plugHidDevice(device, plugged != FALSE);
        return true;
    });
}

BOOL WINAPI VScardHidSetKnob(int device, int knob, DWORD value)
{
    return withDevice(device, [&](HidDevice& d) { return setHidKnob(d, knob, value); });
}

BOOL WINAPI VScardHidSetFidoKnob(int device, int knob, DWORD value)
{
    return withDevice(device, [&](HidDevice& d) {
        if (!d.fido() || !fidoKnobAppliesToHid(knob))
            return false;
        d.token.fido.knobs[knob] = value;
        return true;
    });
}

BOOL WINAPI VScardHidSetSerial(int device, DWORD serial)
{
    return withDevice(device, [&](HidDevice& d) {
        d.token.serial = serial;
        return true;
    });
}

BOOL WINAPI VScardHidSetDeviceSecret(int device, const BYTE* secret, DWORD length)
{
    if (length > 64 || (secret == NULL && length != 0))
        return FALSE;
    return withDevice(device, [&](HidDevice& d) {
        d.token.fido.secret.assign(secret, secret + length);
        return true;
    });
}

DWORD WINAPI VScardHidDevicePath(int device, wchar_t* path, DWORD chars)
{
    DWORD length = 0;
    withDevice(device, [&](HidDevice&) {
        const std::wstring p = hidDevicePath(device);
        if (path == NULL || chars <= p.size())
            return false;
        memcpy(path, p.c_str(), (p.size() + 1) * sizeof(wchar_t));
        length = (DWORD)p.size();
        return true;
    });
    return length;
}

DWORD WINAPI VScardHidPacketsWritten(int device)
{
    DWORD n = 0;
    withDevice(device, [&](HidDevice& d) {
        n = d.packetsWritten;
        return true;
    });
    return n;
}

BOOL WINAPI VScardHidGetWrittenPacket(int device, DWORD index, BYTE* packet)
{
    if (packet == NULL)
        return FALSE;
    return withDevice(device, [&](HidDevice& d) {
        if (index >= d.written.size())
            return false;
        memcpy(packet, d.written[index].bytes, kHidPacketBytes);
        return true;
    });
}

DWORD WINAPI VScardHidCountCommands(int device, BYTE command)
{
    DWORD n = 0;
    withDevice(device, [&](HidDevice& d) {
        n = d.commands[command & 0x7F];
        return true;
    });
    return n;
}

DWORD WINAPI VScardHidReportsRead(int device)
{
    DWORD n = 0;
    withDevice(device, [&](HidDevice& d) {
        n = d.reportsRead;
        return true;
    });
    return n;
}

void WINAPI VScardHidClearRecord(void)
{
    Guard lock;
    for (size_t i = 0; i < gh.devices.size(); ++i) {
        HidDevice& d = gh.devices[i];
        d.packetsWritten = 0;
        d.written.clear();
        memset(d.commands, 0, sizeof d.commands);
        d.reportsRead = 0;
    }
}

DWORD WINAPI VScardHidOpenHandles(void)
{
    Guard lock;
    return (DWORD)gh.handles.size();
}

DWORD WINAPI VScardHidPendingIo(void)
{
    Guard lock;
    DWORD n = 0;
    for (std::map<HANDLE, HidHandle>::iterator it = gh.handles.begin(); it != gh.handles.end(); ++it)
        n += (DWORD)it->second.io.size();
    return n;
}

DWORD WINAPI VScardHidOutstandingObjects(void)
{
    Guard lock;
    return hidOutstandingObjects();
}

} // extern "C"
