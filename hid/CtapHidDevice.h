#pragma once
// CTAP2 over USB HID with one FIDO key: its own channel (INIT on the broadcast channel
// with a fresh nonce), CBOR messages in 64-byte reports, keep-alives while the key works,
// all within one deadline. Reports go out and come in through overlapped I/O; at the
// deadline the command is cancelled on the channel, the pending read cancelled and waited
// for. A key that goes away ends the exchange: DeviceError with the Win32 error.
#include "CtapExchange.h"
#include "CtapHid.h"

#include <windows.h>

class CCtapHidDevice final : public ICtapExchange
{
public:
    // ullDeadline is a GetTickCount64 value.
    CCtapHidDevice(const wchar_t* pszPath, ULONGLONG ullDeadline);
    ~CCtapHidDevice();
    CCtapHidDevice(const CCtapHidDevice&) = delete;
    CCtapHidDevice& operator=(const CCtapHidDevice&) = delete;

    // Opens the device (it must be a FIDO key) and a channel on it.
    CtapExchangeStatus Open() override;
    CtapExchangeStatus Exchange(const uint8_t* pbMessage, size_t cbMessage, CCtapAnswerBuffer& answer) override;
    uint32_t LastDeviceResult() const override { return _dwLastError; }
    uint16_t LastStatusWord() const override { return 0; }

    // A new deadline for the next exchange.
    void SetDeadline(ULONGLONG ullDeadline) { _ullDeadline = ullDeadline; }
    // The last keep-alive status seen: CTAPHID_KEEPALIVE_UP_NEEDED while the key waits for a touch.
    uint8_t LastKeepAlive() const { return _lastKeepAlive; }
    // Ends pending I/O and closes the device.
    void Close();

private:
    static constexpr DWORD REPORT_BYTES = 1 + CTAPHID_PACKET_BYTES; // report ID 0, then the packet
    // How long a CANCEL may take to go out once the deadline has passed.
    static constexpr DWORD CANCEL_WRITE_MS = 100;
    // INIT answers meant for other programs' nonces that are passed by before giving up.
    static constexpr int MAX_FOREIGN_INIT_ANSWERS = 16;
    // A key serves one channel at a time and tells the others it is busy: they try again.
    static constexpr uint8_t CTAPHID_ERR_CHANNEL_BUSY = 0x06;
    static constexpr DWORD BUSY_RETRY_MS = 20;

    enum class Io
    {
        Done,
        TimedOut,
        Failed,
    };

    Io WritePacket(const uint8_t (&rgbPacket)[CTAPHID_PACKET_BYTES], ULONGLONG ullDeadline);
    Io ReadPacket(uint8_t (&rgbPacket)[CTAPHID_PACKET_BYTES]);
    CtapExchangeStatus Send(uint32_t cid, uint8_t command, const uint8_t* pbPayload, size_t cbPayload);
    CtapExchangeStatus Receive(CCtapHidReassembly& reassembly);
    CtapExchangeStatus OpenChannel();
    void CancelCommand();
    void EndPendingRead();

    wchar_t _szPath[512] = {};
    ULONGLONG _ullDeadline;
    HANDLE _hDevice = INVALID_HANDLE_VALUE;
    HANDLE _hReadEvent = nullptr;
    HANDLE _hWriteEvent = nullptr;
    OVERLAPPED _readOverlapped = {};
    bool _fReadPending = false;
    BYTE _rgbReadReport[REPORT_BYTES] = {};
    BYTE _rgbWriteReport[REPORT_BYTES] = {};
    uint32_t _cid = CTAPHID_BROADCAST_CID;
    bool _fOpen = false;
    DWORD _dwLastError = 0;
    bool _fKeyError = false; // the last DeviceError was the key's CTAPHID_ERROR (its code in _dwLastError)
    uint8_t _lastKeepAlive = 0;
    uint8_t _rgbMessage[CTAPHID_MESSAGE_MAX_BYTES] = {};
};
