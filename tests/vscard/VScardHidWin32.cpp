// The Win32 side of the virtual HID keys: stand-ins for the SetupDi, HidD/HidP and file
// functions a program uses to find a HID device and exchange reports with it, put into a
// module's import table. Whatever is not ours (another device class, a file, an event)
// goes on to the system's function. Handles are real events, so the system's
// GetOverlappedResult(Ex) and WaitForSingleObject work on them unchanged; device
// information sets and preparsed data are addresses in a reserved, inaccessible region,
// never reused by anything else. Misuse a real system would punish fails here too, with
// a message on stderr.
#include "VScardHid.h"

#include <psapi.h>
#include <setupapi.h>
#include <hidsdi.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

namespace vscard {

namespace {

const GUID kHidInterface = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
const GUID kHidClass = {0x745a17a0, 0x74d3, 0x11d0, {0xb6, 0xfe, 0x00, 0xa0, 0xc9, 0x0f, 0x57, 0xda}};
const LONG kStatusPending = 0x103;
const LONG kStatusCancelled = (LONG)0xC0000120;
const size_t kClosedKept = 256;

void misuse(const std::string& text)
{
    reportProblem("vscard: HID misuse: " + text + "\n");
}

DWORD errorOfStatus(LONG status)
{
    switch ((DWORD)status) {
    case 0: return ERROR_SUCCESS;
    case 0xC0000120: return ERROR_OPERATION_ABORTED;
    case 0xC000009D: return ERROR_DEVICE_NOT_CONNECTED;
    default: return ERROR_GEN_FAILURE;
    }
}

// ---- handles and opaque objects -------------------------------------------------

SRWLOCK g_handleLock = SRWLOCK_INIT;
std::set<HANDLE> g_ourHandles; // open ones and recently closed ones

// Device information sets and preparsed data: addresses in a reserved region.
const size_t kObjectSlots = 65536;
const size_t kObjectSpacing = 16;
BYTE* volatile g_objectBase = NULL;
size_t g_nextObject = 0;

struct DeviceSetEntry {
    std::wstring path;
    bool present;
    DWORD devInst;
};
struct DeviceSet {
    bool live = true;
    std::vector<DeviceSetEntry> entries;
};
struct Preparsed {
    bool live = true;
    USHORT usagePage = 0;
    USHORT usage = 0;
    DWORD input = 0;
    DWORD output = 0;
};
std::map<const void*, DeviceSet> g_sets;
std::map<const void*, Preparsed> g_preparsed;

bool isObject(const void* p)
{
    BYTE* base = g_objectBase;
    return base != NULL && p >= base && p < base + kObjectSlots * kObjectSpacing;
}

void* newObject()
{
    if (g_objectBase == NULL) {
        g_objectBase = (BYTE*)VirtualAlloc(NULL, kObjectSlots * kObjectSpacing, MEM_RESERVE, PAGE_NOACCESS);
        if (g_objectBase == NULL)
            return NULL;
    }
    void* p = g_objectBase + (g_nextObject++ % kObjectSlots) * kObjectSpacing;
    g_sets.erase(p);
    g_preparsed.erase(p);
    return p;
}

HidHandle* openHandle(HANDLE h, const char* function)
{
    std::map<HANDLE, HidHandle>::iterator it = gh.handles.find(h);
    if (it != gh.handles.end())
        return &it->second;
    misuse(std::string(function) + " on a HID device handle that was closed");
    SetLastError(ERROR_INVALID_HANDLE);
    return NULL;
}

// ---- the system's functions ----------------------------------------------------

enum {
    F_CREATE_FILE_W,
    F_READ_FILE,
    F_WRITE_FILE,
    F_CANCEL_IO,
    F_CANCEL_IO_EX,
    F_CLOSE_HANDLE,
    F_GET_CLASS_DEVS_W,
    F_ENUM_DEVICE_INTERFACES,
    F_GET_DEVICE_INTERFACE_DETAIL_W,
    F_DESTROY_DEVICE_INFO_LIST,
    F_GET_PREPARSED_DATA,
    F_FREE_PREPARSED_DATA,
    F_GET_CAPS,
    F_GET_PRODUCT_STRING,
    F_GET_ATTRIBUTES,
    F_COUNT
};

struct Function {
    const char* dll;
    const char* name;
    void* fake;
    void* volatile real;
};
extern Function g_functions[F_COUNT];

void* realFunction(int f)
{
    Function& fn = g_functions[f];
    if (fn.real == NULL) {
        HMODULE m = GetModuleHandleA(fn.dll);
        if (m != NULL)
            fn.real = (void*)GetProcAddress(m, fn.name);
    }
    return fn.real;
}

#define REAL(f, type) ((type)realFunction(f))

// ---- reads and writes --------------------------------------------------------------

BOOL transfer(HANDLE h, BYTE* buffer, DWORD size, LPDWORD done, LPOVERLAPPED ov, bool write)
{
    const char* function = write ? "WriteFile" : "ReadFile";
    OVERLAPPED own = {};
    HANDLE wait = NULL;
    {
        Guard lock;
        HidHandle* hh = openHandle(h, function);
        if (hh == NULL)
            return FALSE;
        if (done != NULL)
            *done = 0;
        if (hh->overlapped && ov == NULL) {
            misuse(std::string(function) + " without an OVERLAPPED on a handle opened with FILE_FLAG_OVERLAPPED");
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (write ? !hh->write : !hh->read) {
            misuse(std::string(function) + " on a handle opened without " + (write ? "write" : "read") + " access");
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        for (std::map<HANDLE, HidHandle>::iterator it = gh.handles.begin(); ov != NULL && it != gh.handles.end(); ++it) {
            for (std::list<HidIo>::iterator op = it->second.io.begin(); op != it->second.io.end(); ++op) {
                if (op->ov == ov) {
                    misuse(std::string(function) + " with the OVERLAPPED of an operation still pending");
                    SetLastError(ERROR_INVALID_PARAMETER);
                    return FALSE;
                }
            }
        }
        HidDevice* d = hidDevice(hh->device);
        if (!hidHandleAlive(*hh)) {
            SetLastError(d != NULL ? hidUnpluggedError(*d) : ERROR_DEVICE_NOT_CONNECTED);
            return FALSE;
        }
        const DWORD report = write ? d->outputReportBytes() : d->inputReportBytes();
        if (report == 0) {
            SetLastError(ERROR_INVALID_FUNCTION); // a device without reports that way
            return FALSE;
        }
        if (buffer == NULL) {
            misuse(std::string(function) + " with no buffer");
            SetLastError(ERROR_NOACCESS);
            return FALSE;
        }
        if (write ? size != report : size < report) {
            char text[160];
            snprintf(text, sizeof text, "%s of %lu bytes: the device's %s report is %lu bytes, report ID included",
                     function, (unsigned long)size, write ? "output" : "input", (unsigned long)report);
            misuse(text);
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        if (write && buffer[0] != 0) {
            misuse("WriteFile of a report with ID " + std::to_string(buffer[0]) + ": this device has no report IDs, the first byte must be 0");
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }

        HidIo io;
        io.ov = hh->overlapped ? ov : &own;
        io.buffer = buffer;
        io.write = write;
        io.threadId = GetCurrentThreadId();
        if (!hh->overlapped)
            own.hEvent = wait = CreateEventW(NULL, TRUE, FALSE, NULL);
        io.ov->Internal = (ULONG_PTR)kStatusPending;
        io.ov->InternalHigh = 0;
        HANDLE event = (HANDLE)((ULONG_PTR)io.ov->hEvent & ~(ULONG_PTR)1);
        ResetEvent(event != NULL ? event : h);

        if (write) {
            const bool pending = hh->overlapped && !d->knobs[VSCARD_HID_SYNC_WRITES];
            if (pending)
                hh->io.push_back(io); // completed by the simulator once the device has it
            hidOutputReport(hh->device, buffer, size);
            if (pending) {
                hidKickSimulator();
                SetLastError(ERROR_IO_PENDING);
                return FALSE;
            }
            hidCompleteIo(h, io, 0, size);
        } else if (hidTakeReport(*hh, buffer)) {
            hidCompleteIo(h, io, 0, kHidReportBytes);
        } else {
            hh->io.push_back(io);
            if (hh->overlapped) {
                SetLastError(ERROR_IO_PENDING);
                return FALSE;
            }
        }
    }
    if (wait != NULL) {
        // A handle opened without FILE_FLAG_OVERLAPPED: the call waits for its report.
        WaitForSingleObject(wait, INFINITE);
        CloseHandle(wait);
    }
    OVERLAPPED* result = wait != NULL || !ov ? &own : ov;
    if (ov != NULL && result == &own) {
        ov->Internal = own.Internal;
        ov->InternalHigh = own.InternalHigh;
    }
    if (done != NULL)
        *done = (DWORD)result->InternalHigh;
    const LONG status = (LONG)(DWORD)result->Internal;
    if (status != 0) {
        SetLastError(errorOfStatus(status));
        return FALSE;
    }
    return TRUE;
}

// ---- the stand-ins -------------------------------------------------------------------

bool looksLikeOurs(LPCWSTR path)
{
    return path != NULL && wcslen(path) > 8 && path[0] == L'\\' && path[1] == L'\\' &&
           (path[2] == L'?' || path[2] == L'.') && path[3] == L'\\' && _wcsnicmp(path + 4, L"hid#", 4) == 0 &&
           wcsstr(path, L"#velkor-virtual-") != NULL;
}

HANDLE WINAPI FakeCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE templateFile)
{
    if (!looksLikeOurs(path))
        return REAL(F_CREATE_FILE_W, decltype(&CreateFileW))(path, access, share, security, disposition, flags, templateFile);
    try {
        Guard lock;
        ensureInit(true);
        const int index = hidDeviceByPath(path);
        HidDevice* d = hidDevice(index);
        const bool read = (access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) != 0;
        const bool write = (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA)) != 0;
        DWORD error = ERROR_SUCCESS;
        if (d == NULL || !d->present) {
            error = ERROR_FILE_NOT_FOUND;
        } else if (disposition != OPEN_EXISTING) {
            misuse("CreateFileW of a HID device needs OPEN_EXISTING");
            error = ERROR_INVALID_PARAMETER;
        } else if ((read || write) && (d->systemOwned() || d->knobs[VSCARD_HID_OPEN_DENIED])) {
            error = ERROR_ACCESS_DENIED;
        }
        for (std::map<HANDLE, HidHandle>::iterator it = gh.handles.begin(); error == ERROR_SUCCESS && it != gh.handles.end(); ++it) {
            const HidHandle& other = it->second;
            if (other.device != index || !hidHandleAlive(other))
                continue;
            if ((read && !(other.share & FILE_SHARE_READ)) || (write && !(other.share & FILE_SHARE_WRITE)) ||
                (other.read && !(share & FILE_SHARE_READ)) || (other.write && !(share & FILE_SHARE_WRITE)))
                error = ERROR_SHARING_VIOLATION;
        }
        HANDLE h = error == ERROR_SUCCESS ? CreateEventW(NULL, TRUE, FALSE, NULL) : NULL;
        if (error == ERROR_SUCCESS && h == NULL)
            error = GetLastError();
        char result[24];
        snprintf(result, sizeof result, " -> 0x%08lX", (unsigned long)error);
        logLine("HID CreateFileW " + toUtf8(path) + result);
        if (error != ERROR_SUCCESS) {
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
        if (!(flags & FILE_FLAG_OVERLAPPED))
            reportProblem("vscard: HID: " + toUtf8(d->product) +
                          " opened without FILE_FLAG_OVERLAPPED: its reads wait without a deadline\n");
        HidHandle hh;
        hh.device = index;
        hh.plugging = d->plugging;
        hh.read = read;
        hh.write = write;
        hh.share = share;
        hh.overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
        gh.handles[h] = hh;
        hidRegisterHandle(h);
        SetLastError(ERROR_SUCCESS);
        return h;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
}

BOOL WINAPI FakeReadFile(HANDLE h, LPVOID buffer, DWORD size, LPDWORD done, LPOVERLAPPED ov)
{
    if (!hidIsOurHandle(h))
        return REAL(F_READ_FILE, decltype(&ReadFile))(h, buffer, size, done, ov);
    try {
        return transfer(h, (BYTE*)buffer, size, done, ov, false);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

BOOL WINAPI FakeWriteFile(HANDLE h, LPCVOID buffer, DWORD size, LPDWORD done, LPOVERLAPPED ov)
{
    if (!hidIsOurHandle(h))
        return REAL(F_WRITE_FILE, decltype(&WriteFile))(h, buffer, size, done, ov);
    try {
        return transfer(h, (BYTE*)buffer, size, done, ov, true);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

// Marks pending I/O of the handle for cancelling (all of it, one OVERLAPPED's, or the
// calling thread's); a read then completes with STATUS_CANCELLED at the simulator's next
// turn, as the system completes a cancelled request shortly after, never inside the call.
BOOL cancel(HANDLE h, LPOVERLAPPED ov, bool thisThreadOnly, const char* function)
{
    Guard lock;
    HidHandle* hh = openHandle(h, function);
    if (hh == NULL)
        return FALSE;
    bool found = false;
    for (std::list<HidIo>::iterator op = hh->io.begin(); op != hh->io.end(); ++op) {
        if ((ov == NULL || op->ov == ov) && (!thisThreadOnly || op->threadId == GetCurrentThreadId())) {
            found = true;
            op->cancelled = true; // a write the device has taken completes as written
        }
    }
    if (found)
        hidKickSimulator();
    if (!found && !thisThreadOnly) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI FakeCancelIoEx(HANDLE h, LPOVERLAPPED ov)
{
    if (!hidIsOurHandle(h))
        return REAL(F_CANCEL_IO_EX, decltype(&CancelIoEx))(h, ov);
    return cancel(h, ov, false, "CancelIoEx");
}

BOOL WINAPI FakeCancelIo(HANDLE h)
{
    if (!hidIsOurHandle(h))
        return REAL(F_CANCEL_IO, decltype(&CancelIo))(h);
    return cancel(h, NULL, true, "CancelIo");
}

BOOL WINAPI FakeCloseHandle(HANDLE h)
{
    if (!hidIsOurHandle(h))
        return REAL(F_CLOSE_HANDLE, decltype(&CloseHandle))(h);
    try {
        Guard lock;
        HidHandle* hh = openHandle(h, "CloseHandle");
        if (hh == NULL)
            return FALSE;
        for (std::list<HidIo>::iterator op = hh->io.begin(); op != hh->io.end(); ++op) {
            if (!op->write) {
                misuse("CloseHandle while a ReadFile is pending: it completes cancelled now; "
                       "its buffer and OVERLAPPED had to outlive it (cancel, then wait for it)");
                break;
            }
        }
        hidFailIo(h, *hh, kStatusCancelled);
        gh.handles.erase(h);
        // The event stays open for a while, so its value is not handed out again and a second
        // close is caught.
        gh.closed.push_back(h);
        if (gh.closed.size() > kClosedKept) {
            HANDLE old = gh.closed.front();
            gh.closed.pop_front();
            hidForgetHandle(old);
            CloseHandle(old);
        }
        return TRUE;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

HDEVINFO WINAPI FakeSetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags)
{
    if (classGuid == NULL || !IsEqualGUID(*classGuid, kHidInterface) || !(flags & DIGCF_DEVICEINTERFACE) ||
        (flags & DIGCF_ALLCLASSES))
        return REAL(F_GET_CLASS_DEVS_W, decltype(&SetupDiGetClassDevsW))(classGuid, enumerator, parent, flags);
    try {
        Guard lock;
        ensureInit(true);
        void* object = newObject();
        if (object == NULL) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return INVALID_HANDLE_VALUE;
        }
        DeviceSet& set = g_sets[object];
        const bool anyEnumerator = enumerator == NULL || _wcsicmp(enumerator, L"HID") == 0;
        for (size_t i = 0; anyEnumerator && i < gh.devices.size(); ++i) {
            if ((flags & DIGCF_PRESENT) && !gh.devices[i].present)
                continue;
            DeviceSetEntry entry = {hidDevicePath((int)i), gh.devices[i].present, (DWORD)(0x1000 + i)};
            set.entries.push_back(entry);
        }
        return (HDEVINFO)object;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
}

DeviceSet* liveSet(HDEVINFO set, const char* function)
{
    std::map<const void*, DeviceSet>::iterator it = g_sets.find(set);
    if (it != g_sets.end() && it->second.live)
        return &it->second;
    misuse(std::string(function) + " on a device information set that was destroyed");
    SetLastError(ERROR_INVALID_HANDLE);
    return NULL;
}

BOOL WINAPI FakeSetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA device, const GUID* interfaceClass,
                                            DWORD index, PSP_DEVICE_INTERFACE_DATA data)
{
    if (!isObject(set))
        return REAL(F_ENUM_DEVICE_INTERFACES, decltype(&SetupDiEnumDeviceInterfaces))(set, device, interfaceClass, index, data);
    Guard lock;
    DeviceSet* s = liveSet(set, "SetupDiEnumDeviceInterfaces");
    if (s == NULL)
        return FALSE;
    if (data == NULL || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        misuse("SetupDiEnumDeviceInterfaces: DeviceInterfaceData->cbSize must be sizeof(SP_DEVICE_INTERFACE_DATA)");
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    size_t entry = index;
    if (device != NULL) {
        // Each device has one interface: index 0 of the device given.
        entry = s->entries.size();
        for (size_t i = 0; index == 0 && i < s->entries.size(); ++i) {
            if (s->entries[i].devInst == device->DevInst)
                entry = i;
        }
    }
    if (interfaceClass == NULL || !IsEqualGUID(*interfaceClass, kHidInterface) || entry >= s->entries.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->InterfaceClassGuid = kHidInterface;
    data->Flags = s->entries[entry].present ? SPINT_ACTIVE : 0;
    data->Reserved = ((ULONG_PTR)set << 16) | (entry + 1);
    return TRUE;
}

BOOL WINAPI FakeSetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                                 PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size,
                                                 PDWORD required, PSP_DEVINFO_DATA device)
{
    if (!isObject(set))
        return REAL(F_GET_DEVICE_INTERFACE_DETAIL_W, decltype(&SetupDiGetDeviceInterfaceDetailW))(set, data, detail, size,
                                                                                                required, device);
    try {
        Guard lock;
        DeviceSet* s = liveSet(set, "SetupDiGetDeviceInterfaceDetailW");
        if (s == NULL)
            return FALSE;
        const size_t entry = data != NULL ? (size_t)(data->Reserved & 0xFFFF) : 0;
        if (data == NULL || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || (data->Reserved >> 16) != (ULONG_PTR)set ||
            entry == 0 || entry > s->entries.size()) {
            misuse("SetupDiGetDeviceInterfaceDetailW: DeviceInterfaceData is not one SetupDiEnumDeviceInterfaces filled for this set");
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if ((detail == NULL && size != 0) || (detail != NULL && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))) {
            misuse("SetupDiGetDeviceInterfaceDetailW: no buffer with a size, or DeviceInterfaceDetailData->cbSize is not "
                   "sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)");
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        if (device != NULL && device->cbSize != sizeof(SP_DEVINFO_DATA)) {
            misuse("SetupDiGetDeviceInterfaceDetailW: DeviceInfoData->cbSize must be sizeof(SP_DEVINFO_DATA)");
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        const DeviceSetEntry& e = s->entries[entry - 1];
        const DWORD needed = (DWORD)(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (e.path.size() + 1) * sizeof(WCHAR));
        if (required != NULL)
            *required = needed;
        if (size < needed) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        memcpy(detail->DevicePath, e.path.c_str(), (e.path.size() + 1) * sizeof(WCHAR));
        if (device != NULL) {
            device->ClassGuid = kHidClass;
            device->DevInst = e.devInst;
            device->Reserved = 0;
        }
        return TRUE;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

BOOL WINAPI FakeSetupDiDestroyDeviceInfoList(HDEVINFO set)
{
    if (!isObject(set))
        return REAL(F_DESTROY_DEVICE_INFO_LIST, decltype(&SetupDiDestroyDeviceInfoList))(set);
    Guard lock;
    DeviceSet* s = liveSet(set, "SetupDiDestroyDeviceInfoList");
    if (s == NULL)
        return FALSE;
    s->live = false;
    s->entries.clear();
    return TRUE;
}

BOOLEAN NTAPI FakeHidD_GetPreparsedData(HANDLE h, PHIDP_PREPARSED_DATA* data)
{
    if (!hidIsOurHandle(h))
        return REAL(F_GET_PREPARSED_DATA, decltype(&HidD_GetPreparsedData))(h, data);
    try {
        Guard lock;
        HidHandle* hh = openHandle(h, "HidD_GetPreparsedData");
        if (hh == NULL)
            return FALSE;
        HidDevice* d = hidDevice(hh->device);
        if (!hidHandleAlive(*hh)) {
            SetLastError(d != NULL ? hidUnpluggedError(*d) : ERROR_DEVICE_NOT_CONNECTED);
            return FALSE;
        }
        void* object = data != NULL ? newObject() : NULL;
        if (object == NULL) {
            SetLastError(data == NULL ? ERROR_INVALID_PARAMETER : ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        Preparsed& p = g_preparsed[object];
        p.usagePage = d->usagePage;
        p.usage = d->usage;
        p.input = d->inputReportBytes();
        p.output = d->outputReportBytes();
        *data = (PHIDP_PREPARSED_DATA)object;
        return TRUE;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

Preparsed* livePreparsed(PHIDP_PREPARSED_DATA data, const char* function)
{
    std::map<const void*, Preparsed>::iterator it = g_preparsed.find(data);
    if (it != g_preparsed.end() && it->second.live)
        return &it->second;
    misuse(std::string(function) + " on preparsed data that was freed");
    return NULL;
}

BOOLEAN NTAPI FakeHidD_FreePreparsedData(PHIDP_PREPARSED_DATA data)
{
    if (!isObject(data))
        return REAL(F_FREE_PREPARSED_DATA, decltype(&HidD_FreePreparsedData))(data);
    Guard lock;
    Preparsed* p = livePreparsed(data, "HidD_FreePreparsedData");
    if (p == NULL)
        return FALSE;
    p->live = false;
    return TRUE;
}

NTSTATUS NTAPI FakeHidP_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps)
{
    if (!isObject(data))
        return REAL(F_GET_CAPS, decltype(&HidP_GetCaps))(data, caps);
    Guard lock;
    Preparsed* p = livePreparsed(data, "HidP_GetCaps");
    if (p == NULL || caps == NULL)
        return HIDP_STATUS_INVALID_PREPARSED_DATA;
    memset(caps, 0, sizeof *caps);
    caps->Usage = p->usage;
    caps->UsagePage = p->usagePage;
    caps->InputReportByteLength = (USHORT)p->input;
    caps->OutputReportByteLength = (USHORT)p->output;
    caps->NumberLinkCollectionNodes = 1;
    caps->NumberInputValueCaps = p->input != 0 ? 1 : 0;
    caps->NumberInputDataIndices = caps->NumberInputValueCaps;
    caps->NumberOutputValueCaps = p->output != 0 ? 1 : 0;
    caps->NumberOutputDataIndices = caps->NumberOutputValueCaps;
    return HIDP_STATUS_SUCCESS;
}

BOOLEAN NTAPI FakeHidD_GetProductString(HANDLE h, PVOID buffer, ULONG size)
{
    if (!hidIsOurHandle(h))
        return REAL(F_GET_PRODUCT_STRING, decltype(&HidD_GetProductString))(h, buffer, size);
    Guard lock;
    HidHandle* hh = openHandle(h, "HidD_GetProductString");
    if (hh == NULL)
        return FALSE;
    HidDevice* d = hidDevice(hh->device);
    if (!hidHandleAlive(*hh)) {
        SetLastError(d != NULL ? hidUnpluggedError(*d) : ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    // Too small a buffer gets nothing, not a cut string.
    const size_t bytes = (d->product.size() + 1) * sizeof(wchar_t);
    if (buffer == NULL || size < bytes) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    memcpy(buffer, d->product.c_str(), bytes);
    return TRUE;
}

BOOLEAN NTAPI FakeHidD_GetAttributes(HANDLE h, PHIDD_ATTRIBUTES attributes)
{
    if (!hidIsOurHandle(h))
        return REAL(F_GET_ATTRIBUTES, decltype(&HidD_GetAttributes))(h, attributes);
    Guard lock;
    HidHandle* hh = openHandle(h, "HidD_GetAttributes");
    if (hh == NULL)
        return FALSE;
    HidDevice* d = hidDevice(hh->device);
    if (!hidHandleAlive(*hh)) {
        SetLastError(d != NULL ? hidUnpluggedError(*d) : ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    if (attributes == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    attributes->Size = sizeof *attributes;
    attributes->VendorID = (USHORT)d->knobs[VSCARD_HID_VENDOR_ID];
    attributes->ProductID = (USHORT)d->knobs[VSCARD_HID_PRODUCT_ID];
    attributes->VersionNumber = 0x0100;
    return TRUE;
}

Function g_functions[F_COUNT] = {
    {"kernel32.dll", "CreateFileW", (void*)&FakeCreateFileW, NULL},
    {"kernel32.dll", "ReadFile", (void*)&FakeReadFile, NULL},
    {"kernel32.dll", "WriteFile", (void*)&FakeWriteFile, NULL},
    {"kernel32.dll", "CancelIo", (void*)&FakeCancelIo, NULL},
    {"kernel32.dll", "CancelIoEx", (void*)&FakeCancelIoEx, NULL},
    {"kernel32.dll", "CloseHandle", (void*)&FakeCloseHandle, NULL},
    {"setupapi.dll", "SetupDiGetClassDevsW", (void*)&FakeSetupDiGetClassDevsW, NULL},
    {"setupapi.dll", "SetupDiEnumDeviceInterfaces", (void*)&FakeSetupDiEnumDeviceInterfaces, NULL},
    {"setupapi.dll", "SetupDiGetDeviceInterfaceDetailW", (void*)&FakeSetupDiGetDeviceInterfaceDetailW, NULL},
    {"setupapi.dll", "SetupDiDestroyDeviceInfoList", (void*)&FakeSetupDiDestroyDeviceInfoList, NULL},
    {"hid.dll", "HidD_GetPreparsedData", (void*)&FakeHidD_GetPreparsedData, NULL},
    {"hid.dll", "HidD_FreePreparsedData", (void*)&FakeHidD_FreePreparsedData, NULL},
    {"hid.dll", "HidP_GetCaps", (void*)&FakeHidP_GetCaps, NULL},
    {"hid.dll", "HidD_GetProductString", (void*)&FakeHidD_GetProductString, NULL},
    {"hid.dll", "HidD_GetAttributes", (void*)&FakeHidD_GetAttributes, NULL},
};

// ---- import-table patches -------------------------------------------------------------

struct Patch {
    HMODULE module;
    void** slot;
    void* original;
    void* fake;
};
SRWLOCK g_patchLock = SRWLOCK_INIT;
std::vector<Patch> g_patches;

void writeSlot(void** slot, void* value)
{
    DWORD protection = 0;
    VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &protection);
    *slot = value;
    VirtualProtect(slot, sizeof(void*), protection, &protection);
}

const IMAGE_IMPORT_DESCRIPTOR* importsOf(HMODULE module)
{
    const BYTE* base = (const BYTE*)module;
    const IMAGE_DOS_HEADER* dos = (const IMAGE_DOS_HEADER*)base;
    if (base == NULL || dos->e_magic != IMAGE_DOS_SIGNATURE)
        return NULL;
    const IMAGE_NT_HEADERS* nt = (const IMAGE_NT_HEADERS*)(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE)
        return NULL;
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    static const IMAGE_IMPORT_DESCRIPTOR none = {};
    return dir.VirtualAddress == 0 ? &none : (const IMAGE_IMPORT_DESCRIPTOR*)(base + dir.VirtualAddress);
}

bool importsDll(HMODULE module, const char* dll)
{
    const IMAGE_IMPORT_DESCRIPTOR* d = importsOf(module);
    for (; d != NULL && d->Name != 0; ++d) {
        if (_stricmp((const char*)module + d->Name, dll) == 0)
            return true;
    }
    return false;
}

// Expects g_patchLock held exclusively.
int patchModule(HMODULE module)
{
    BYTE* base = (BYTE*)module;
    const IMAGE_IMPORT_DESCRIPTOR* d = importsOf(module);
    if (d == NULL)
        return -1;
    int patched = 0;
    for (; d->Name != 0; ++d) {
        const char* dll = (const char*)base + d->Name;
        if (d->OriginalFirstThunk == 0)
            continue; // no names left to find the functions by
        const IMAGE_THUNK_DATA* names = (const IMAGE_THUNK_DATA*)(base + d->OriginalFirstThunk);
        IMAGE_THUNK_DATA* slots = (IMAGE_THUNK_DATA*)(base + d->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const char* name = (const char*)((const IMAGE_IMPORT_BY_NAME*)(base + names->u1.AddressOfData))->Name;
            for (int f = 0; f < F_COUNT; ++f) {
                Function& fn = g_functions[f];
                void** slot = (void**)&slots->u1.Function;
                if (_stricmp(dll, fn.dll) != 0 || strcmp(name, fn.name) != 0 || *slot == fn.fake)
                    continue;
                if (realFunction(f) == NULL)
                    break;
                Patch patch = {module, slot, *slot, fn.fake};
                g_patches.push_back(patch);
                writeSlot(slot, fn.fake);
                ++patched;
                break;
            }
        }
    }
    return patched;
}

// The slot is put back only while its module is still the one patched and still holds
// our function (a module unloaded and another loaded at its address keeps its own).
bool restore(const Patch& patch)
{
    HMODULE found = NULL;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            (LPCWSTR)(void*)patch.slot, &found) ||
        found != patch.module || *patch.slot != patch.fake)
        return false;
    writeSlot(patch.slot, patch.original);
    return true;
}

int unpatchModule(HMODULE module)
{
    int restored = 0;
    for (size_t i = g_patches.size(); i-- > 0;) {
        if (module != NULL && g_patches[i].module != module)
            continue;
        if (restore(g_patches[i]))
            ++restored;
        g_patches.erase(g_patches.begin() + (std::ptrdiff_t)i);
    }
    return restored;
}

// A process started with a scenario file (velkorctl, the Login Manager, the logon
// simulator's package) sees the virtual HID devices without a call of its own: the
// program and every module that imports winscard.dll get the stand-ins as this DLL is
// loaded. Only memory is written here; the scenario itself is read at the first call.
void installAtLoad(HINSTANCE self)
{
    wchar_t value[4];
    if (GetEnvironmentVariableW(L"VELKOR_VSCARD_SCENARIO", value, 4) == 0)
        return;
    HMODULE modules[512];
    DWORD bytes = 0;
    if (!EnumProcessModules(GetCurrentProcess(), modules, sizeof modules, &bytes))
        bytes = 0;
    const HMODULE program = GetModuleHandleW(NULL);
    AcquireSRWLockExclusive(&g_patchLock);
    patchModule(program);
    for (DWORD i = 0; i < bytes / sizeof(HMODULE) && i < 512; ++i) {
        if (modules[i] != (HMODULE)self && modules[i] != program && importsDll(modules[i], "winscard.dll"))
            patchModule(modules[i]);
    }
    ReleaseSRWLockExclusive(&g_patchLock);
    // Patched modules call into this DLL until the process ends.
    HMODULE pinned = NULL;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN, (LPCWSTR)(void*)&installAtLoad,
                       &pinned);
}

} // namespace

void hidRegisterHandle(HANDLE h)
{
    AcquireSRWLockExclusive(&g_handleLock);
    g_ourHandles.insert(h);
    ReleaseSRWLockExclusive(&g_handleLock);
}

void hidForgetHandle(HANDLE h)
{
    AcquireSRWLockExclusive(&g_handleLock);
    g_ourHandles.erase(h);
    ReleaseSRWLockExclusive(&g_handleLock);
}

bool hidIsOurHandle(HANDLE h)
{
    AcquireSRWLockShared(&g_handleLock);
    const bool ours = g_ourHandles.count(h) != 0;
    ReleaseSRWLockShared(&g_handleLock);
    return ours;
}

DWORD hidOutstandingObjects()
{
    DWORD n = 0;
    for (std::map<const void*, DeviceSet>::iterator it = g_sets.begin(); it != g_sets.end(); ++it)
        n += it->second.live ? 1 : 0;
    for (std::map<const void*, Preparsed>::iterator it = g_preparsed.begin(); it != g_preparsed.end(); ++it)
        n += it->second.live ? 1 : 0;
    return n;
}

} // namespace vscard

using namespace vscard;

extern "C" {

int WINAPI VScardInstallHid(HMODULE module)
{
    HMODULE self = NULL;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       (LPCWSTR)(void*)&VScardInstallHid, &self);
    if (module == self)
        return -1; // its own calls must reach the system
    try {
        AcquireSRWLockExclusive(&g_patchLock);
        const int patched = patchModule(module != NULL ? module : GetModuleHandleW(NULL));
        ReleaseSRWLockExclusive(&g_patchLock);
        if (patched > 0) {
            HMODULE pinned = NULL;
            GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                               (LPCWSTR)(void*)&VScardInstallHid, &pinned);
        }
        return patched;
    } catch (...) {
        ReleaseSRWLockExclusive(&g_patchLock);
        return -1;
    }
}

int WINAPI VScardUninstallHid(HMODULE module)
{
    AcquireSRWLockExclusive(&g_patchLock);
    const int restored = unpatchModule(module != NULL ? module : GetModuleHandleW(NULL));
    ReleaseSRWLockExclusive(&g_patchLock);
    return restored;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        installAtLoad(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        // Nothing may call into this DLL once it is gone. At process exit other threads
        // are already stopped: no lock is taken here.
        unpatchModule(NULL);
    }
    return TRUE;
}

} // extern "C"
