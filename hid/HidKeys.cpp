#include "HidKeys.h"

#include <initguid.h>
#include <winternl.h>

#include <hidclass.h>
#include <setupapi.h>
// Some SDKs declare the HID functions without C linkage for C++.
extern "C"
{
#include <hidusage.h>
#include <hidpi.h>
#include <hidsdi.h>
}

#include <cwchar>

namespace
{
    constexpr USHORT FIDO_USAGE_PAGE = 0xF1D0;
    constexpr USHORT FIDO_USAGE_CTAPHID = 0x01;
    // A machine has a few dozen HID interfaces at most; the walk is bounded all the same.
    constexpr DWORD MAX_INTERFACES_VISITED = 256;

    class CDeviceInfoList
    {
    public:
        explicit CDeviceInfoList(HDEVINFO hInfo) : _hInfo(hInfo) {}
        ~CDeviceInfoList()
        {
            if (_hInfo != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(_hInfo);
        }
        CDeviceInfoList(const CDeviceInfoList&) = delete;
        CDeviceInfoList& operator=(const CDeviceInfoList&) = delete;
        HDEVINFO Get() const { return _hInfo; }

    private:
        HDEVINFO _hInfo;
    };

    class CDeviceHandle
    {
    public:
        explicit CDeviceHandle(HANDLE hDevice) : _hDevice(hDevice) {}
        ~CDeviceHandle()
        {
            if (_hDevice != INVALID_HANDLE_VALUE) CloseHandle(_hDevice);
        }
        CDeviceHandle(const CDeviceHandle&) = delete;
        CDeviceHandle& operator=(const CDeviceHandle&) = delete;
        HANDLE Get() const { return _hDevice; }

    private:
        HANDLE _hDevice;
    };

    // The interface's path into szPath; false when it cannot be had or does not fit.
    bool InterfacePath(HDEVINFO hInfo, SP_DEVICE_INTERFACE_DATA& interfaceData, wchar_t (&szPath)[HID_PATH_CHARS])
    {
        DWORD cbNeeded = 0;
        SetupDiGetDeviceInterfaceDetailW(hInfo, &interfaceData, nullptr, 0, &cbNeeded, nullptr);
        // The detail is a DWORD size then the path: room for HID_PATH_CHARS characters at most.
        union
        {
            SP_DEVICE_INTERFACE_DETAIL_DATA_W detail;
            BYTE rgb[sizeof(DWORD) + HID_PATH_CHARS * sizeof(wchar_t) + sizeof(wchar_t)];
        } buffer = {};
        if (cbNeeded == 0 || cbNeeded > sizeof(buffer))
        {
            return false;
        }
        buffer.detail.cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!SetupDiGetDeviceInterfaceDetailW(hInfo, &interfaceData, &buffer.detail, cbNeeded, nullptr, nullptr))
        {
            return false;
        }
        const size_t cchPath = wcsnlen(buffer.detail.DevicePath, HID_PATH_CHARS);
        if (cchPath == 0 || cchPath >= HID_PATH_CHARS)
        {
            return false;
        }
        wmemcpy(szPath, buffer.detail.DevicePath, cchPath);
        szPath[cchPath] = L'\0';
        return true;
    }
}

bool IsFidoHidDevice(HANDLE hDevice)
{
    PHIDP_PREPARSED_DATA pPreparsed = nullptr;
    if (!HidD_GetPreparsedData(hDevice, &pPreparsed) || pPreparsed == nullptr)
    {
        return false;
    }
    HIDP_CAPS caps = {};
    const bool fFido = HidP_GetCaps(pPreparsed, &caps) == HIDP_STATUS_SUCCESS && caps.UsagePage == FIDO_USAGE_PAGE &&
                       caps.Usage == FIDO_USAGE_CTAPHID;
    HidD_FreePreparsedData(pPreparsed);
    return fFido;
}

void FindFidoHidKeys(FIDO_HID_KEY_LIST* pList, ULONGLONG ullDeadline)
{
    pList->cKeys = 0;
    pList->fMore = false;
    pList->dwStatus = ERROR_SUCCESS;
    CDeviceInfoList devices(
        SetupDiGetClassDevsW(&GUID_DEVINTERFACE_HID, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (devices.Get() == INVALID_HANDLE_VALUE)
    {
        pList->dwStatus = GetLastError();
        return;
    }
    for (DWORD index = 0; index < MAX_INTERFACES_VISITED && GetTickCount64() < ullDeadline; ++index)
    {
        SP_DEVICE_INTERFACE_DATA interfaceData = {};
        interfaceData.cbSize = sizeof(interfaceData);
        if (!SetupDiEnumDeviceInterfaces(devices.Get(), nullptr, &GUID_DEVINTERFACE_HID, index, &interfaceData))
        {
            const DWORD dwError = GetLastError();
            if (dwError != ERROR_NO_MORE_ITEMS)
            {
                pList->dwStatus = dwError;
            }
            return;
        }
        wchar_t szPath[HID_PATH_CHARS] = {};
        if (!InterfacePath(devices.Get(), interfaceData, szPath))
        {
            continue;
        }
        // Keyboards and mice refuse to be opened for reading and writing; they are passed by.
        CDeviceHandle device(CreateFileW(szPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        if (device.Get() == INVALID_HANDLE_VALUE || !IsFidoHidDevice(device.Get()))
        {
            continue;
        }
        if (pList->cKeys == MAX_FIDO_HID_KEYS)
        {
            pList->fMore = true;
            continue;
        }
        FIDO_HID_KEY& key = pList->rgKeys[pList->cKeys];
        wcscpy_s(key.szPath, szPath);
        // At most 126 characters and a terminator, as HID strings go; the name is for display.
        wchar_t szProduct[HID_PRODUCT_CHARS] = {};
        if (HidD_GetProductString(device.Get(), szProduct, sizeof(szProduct) - sizeof(wchar_t)))
        {
            szProduct[HID_PRODUCT_CHARS - 1] = L'\0';
            wcscpy_s(key.szProduct, szProduct);
        }
        else
        {
            key.szProduct[0] = L'\0';
        }
        ++pList->cKeys;
    }
}
