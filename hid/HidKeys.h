#pragma once
// The FIDO security keys plugged in over USB HID: every present HID device interface is
// opened, and those whose top-level collection is the FIDO usage (page 0xF1D0, usage 1)
// are kept; other devices are closed at once and never written to.
#include <windows.h>

constexpr size_t MAX_FIDO_HID_KEYS = 8;
constexpr size_t HID_PATH_CHARS = 512;
constexpr size_t HID_PRODUCT_CHARS = 128;

struct FIDO_HID_KEY
{
    wchar_t szPath[HID_PATH_CHARS];      // the device interface path, for CreateFileW
    wchar_t szProduct[HID_PRODUCT_CHARS]; // the key's product string, for display only; may be empty
};

struct FIDO_HID_KEY_LIST
{
    FIDO_HID_KEY rgKeys[MAX_FIDO_HID_KEYS];
    size_t cKeys;   // keys listed
    bool fMore;     // more FIDO keys than listed were present
    DWORD dwStatus; // 0, or why the devices could not be listed
};

// Lists the FIDO keys present; stops looking once ullDeadline (GetTickCount64) has passed.
void FindFidoHidKeys(FIDO_HID_KEY_LIST* pList, ULONGLONG ullDeadline);

// Whether an open HID device is a FIDO key.
bool IsFidoHidDevice(HANDLE hDevice);
