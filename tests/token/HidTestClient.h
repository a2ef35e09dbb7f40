#pragma once
// A small CTAP HID client for tests of the virtual HID keys: it finds HID devices and
// talks to them through the ordinary Win32 calls (SetupDi*, CreateFileW, overlapped
// ReadFile and WriteFile, HidD_*), whatever stands behind them. Not the product's:
// it checks what it reads only as far as the tests need.
#include <windows.h>
#include <setupapi.h>
// mingw-w64's HID headers leave out extern "C".
extern "C" {
#include <hidsdi.h>
}

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace hidtest
{
    using Bytes = std::vector<BYTE>;
    using Packet = std::array<BYTE, 64>;

    const GUID HID_INTERFACE = { 0x4d1e55b2, 0xf16f, 0x11cf, { 0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30 } };
    constexpr DWORD BROADCAST = 0xFFFFFFFF;
    constexpr BYTE PING = 0x01, INIT = 0x06, CBOR = 0x10, CANCEL = 0x11, KEEPALIVE = 0x3B, ERROR_REPLY = 0x3F;

    inline DWORD Cid(const Packet& p) { return (DWORD(p[0]) << 24) | (DWORD(p[1]) << 16) | (DWORD(p[2]) << 8) | p[3]; }
    inline bool IsInit(const Packet& p) { return (p[4] & 0x80) != 0; }
    inline size_t Bcnt(const Packet& p) { return (size_t(p[5]) << 8) | p[6]; }

    inline std::vector<std::wstring> EnumerateHid(DWORD flags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)
    {
        std::vector<std::wstring> paths;
        HDEVINFO set = SetupDiGetClassDevsW(&HID_INTERFACE, nullptr, nullptr, flags);
        if (set == INVALID_HANDLE_VALUE) return paths;
        SP_DEVICE_INTERFACE_DATA data = {};
        data.cbSize = sizeof(data);
        for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &HID_INTERFACE, i, &data); ++i)
        {
            DWORD needed = 0;
            SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &needed, nullptr);
            std::vector<BYTE> buffer(needed);
            auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
            if (SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed, nullptr, nullptr)) paths.push_back(detail->DevicePath);
        }
        SetupDiDestroyDeviceInfoList(set);
        return paths;
    }

    class CHidTestKey
    {
    public:
        explicit CHidTestKey(const std::wstring& path, DWORD access = GENERIC_READ | GENERIC_WRITE)
        {
            _h = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
            openError = _h == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
            _event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        }
        ~CHidTestKey()
        {
            if (_h != INVALID_HANDLE_VALUE) CloseHandle(_h);
            CloseHandle(_event);
        }
        CHidTestKey(const CHidTestKey&) = delete;
        CHidTestKey& operator=(const CHidTestKey&) = delete;

        HANDLE Handle() const { return _h; }
        bool IsOpen() const { return _h != INVALID_HANDLE_VALUE; }

        bool Caps(HIDP_CAPS* caps) const
        {
            PHIDP_PREPARSED_DATA data = nullptr;
            if (!HidD_GetPreparsedData(_h, &data)) return false;
            const bool read = HidP_GetCaps(data, caps) == HIDP_STATUS_SUCCESS;
            HidD_FreePreparsedData(data);
            return read;
        }

        std::wstring Product() const
        {
            wchar_t name[127] = {};
            return HidD_GetProductString(_h, name, sizeof(name)) ? name : L"";
        }

        // ERROR_SUCCESS once the report is written, else the error.
        DWORD Write(const Packet& packet)
        {
            BYTE report[65] = {};
            memcpy(report + 1, packet.data(), 64);
            OVERLAPPED ov = {};
            ov.hEvent = _event;
            DWORD done = 0;
            if (!WriteFile(_h, report, sizeof(report), nullptr, &ov) && GetLastError() != ERROR_IO_PENDING) return GetLastError();
            if (!GetOverlappedResult(_h, &ov, &done, TRUE)) return GetLastError();
            return done == sizeof(report) ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
        }

        // ERROR_SUCCESS with a packet; WAIT_TIMEOUT when none came in time (the read was
        // cancelled and waited for); else the read's error.
        DWORD Read(Packet* packet, DWORD timeoutMs)
        {
            BYTE report[65] = {};
            OVERLAPPED ov = {};
            ov.hEvent = _event;
            DWORD done = 0;
            if (!ReadFile(_h, report, sizeof(report), nullptr, &ov) && GetLastError() != ERROR_IO_PENDING) return GetLastError();
            if (!GetOverlappedResultEx(_h, &ov, &done, timeoutMs, FALSE))
            {
                const DWORD error = GetLastError();
                if (error != WAIT_TIMEOUT) return error;
                CancelIoEx(_h, &ov);
                if (!GetOverlappedResult(_h, &ov, &done, TRUE))
                    return GetLastError() == ERROR_OPERATION_ABORTED ? WAIT_TIMEOUT : GetLastError();
            }
            if (done != sizeof(report) || report[0] != 0) return ERROR_INVALID_DATA;
            memcpy(packet->data(), report + 1, 64);
            return ERROR_SUCCESS;
        }

        DWORD Send(DWORD cid, BYTE command, const Bytes& data)
        {
            Packet p = {};
            const BYTE head[] = { BYTE(cid >> 24), BYTE(cid >> 16), BYTE(cid >> 8), BYTE(cid), BYTE(0x80 | command),
                                  BYTE(data.size() >> 8), BYTE(data.size()) };
            memcpy(p.data(), head, sizeof(head));
            size_t at = data.size() < 57 ? data.size() : 57;
            if (at != 0) memcpy(p.data() + 7, data.data(), at);
            DWORD error = Write(p);
            for (BYTE seq = 0; error == ERROR_SUCCESS && at < data.size(); ++seq)
            {
                p.fill(0);
                memcpy(p.data(), head, 4);
                p[4] = seq;
                const size_t count = data.size() - at < 59 ? data.size() - at : 59;
                memcpy(p.data() + 5, data.data() + at, count);
                at += count;
                error = Write(p);
            }
            return error;
        }

        // The next whole message on this channel; packets of other channels are skipped and
        // KEEPALIVE statuses collected. Returns its command, or 0 when none came in time.
        BYTE Receive(DWORD cid, Bytes* payload, DWORD timeoutMs = 3000, Bytes* keepalives = nullptr)
        {
            Packet p;
            for (;;)
            {
                if (Read(&p, timeoutMs) != ERROR_SUCCESS) return 0;
                if (Cid(p) != cid || !IsInit(p)) continue;
                const BYTE command = p[4] & 0x7F;
                if (command == KEEPALIVE)
                {
                    if (keepalives != nullptr) keepalives->push_back(p[7]);
                    continue;
                }
                const size_t length = Bcnt(p);
                payload->assign(p.begin() + 7, p.begin() + 7 + (length < 57 ? length : 57));
                for (BYTE seq = 0; payload->size() < length; ++seq)
                {
                    if (Read(&p, timeoutMs) != ERROR_SUCCESS || IsInit(p) || p[4] != seq) return 0;
                    const size_t left = length - payload->size();
                    payload->insert(payload->end(), p.begin() + 5, p.begin() + 5 + (left < 59 ? left : 59));
                }
                return command;
            }
        }

        // A channel from CTAPHID_INIT on the broadcast channel; 0 if the answer is not one
        // to this nonce. The whole answer in *answer.
        DWORD Init(Bytes* answer = nullptr)
        {
            const Bytes nonce = { 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, _nonceSalt++ };
            Bytes reply;
            if (Send(BROADCAST, INIT, nonce) != ERROR_SUCCESS || Receive(BROADCAST, &reply, 2000) != INIT || reply.size() < 17) return 0;
            if (answer != nullptr) *answer = reply;
            if (!std::equal(nonce.begin(), nonce.end(), reply.begin())) return 0;
            return (DWORD(reply[8]) << 24) | (DWORD(reply[9]) << 16) | (DWORD(reply[10]) << 8) | reply[11];
        }

        DWORD openError = ERROR_SUCCESS;

    private:
        HANDLE _h = INVALID_HANDLE_VALUE;
        HANDLE _event = nullptr;
        BYTE _nonceSalt = 0;
    };
}
