#include "CtapHidDevice.h"
#include "HidKeys.h"
#include "RandomBytes.h"

#include <cstring>
#include <cwchar>

namespace
{
    DWORD MillisecondsUntil(ULONGLONG ullDeadline)
    {
        const ULONGLONG ullNow = GetTickCount64();
        if (ullNow >= ullDeadline)
        {
            return 0;
        }
        const ULONGLONG ullLeft = ullDeadline - ullNow;
        return ullLeft < INFINITE ? static_cast<DWORD>(ullLeft) : INFINITE - 1;
    }
}

CCtapHidDevice::CCtapHidDevice(const wchar_t* pszPath, ULONGLONG ullDeadline) : _ullDeadline(ullDeadline)
{
    if (pszPath != nullptr && wcsnlen(pszPath, ARRAYSIZE(_szPath)) < ARRAYSIZE(_szPath))
    {
        wcscpy_s(_szPath, pszPath);
    }
}

CCtapHidDevice::~CCtapHidDevice()
{
    Close();
}

void CCtapHidDevice::Close()
{
    if (_hDevice != INVALID_HANDLE_VALUE)
    {
        EndPendingRead();
        CloseHandle(_hDevice);
        _hDevice = INVALID_HANDLE_VALUE;
    }
    if (_hReadEvent != nullptr)
    {
        CloseHandle(_hReadEvent);
        _hReadEvent = nullptr;
    }
    if (_hWriteEvent != nullptr)
    {
        CloseHandle(_hWriteEvent);
        _hWriteEvent = nullptr;
    }
    _fOpen = false;
    SecureZeroMemory(_rgbMessage, sizeof(_rgbMessage));
}

CCtapHidDevice::Io CCtapHidDevice::WritePacket(const uint8_t (&rgbPacket)[CTAPHID_PACKET_BYTES], ULONGLONG ullDeadline)
{
    _rgbWriteReport[0] = 0; // the FIDO collection has no report IDs
    memcpy(_rgbWriteReport + 1, rgbPacket, CTAPHID_PACKET_BYTES);
    OVERLAPPED overlapped = {};
    overlapped.hEvent = _hWriteEvent;
    ResetEvent(_hWriteEvent);
    if (!WriteFile(_hDevice, _rgbWriteReport, REPORT_BYTES, nullptr, &overlapped))
    {
        if (GetLastError() != ERROR_IO_PENDING)
        {
            _dwLastError = GetLastError();
            return Io::Failed;
        }
        if (WaitForSingleObject(_hWriteEvent, MillisecondsUntil(ullDeadline)) != WAIT_OBJECT_0)
        {
            // The report must not go out later, nor its buffer be reused while it still might.
            CancelIoEx(_hDevice, &overlapped);
            DWORD cbIgnored = 0;
            GetOverlappedResult(_hDevice, &overlapped, &cbIgnored, TRUE);
            return Io::TimedOut;
        }
    }
    DWORD cbWritten = 0;
    if (!GetOverlappedResult(_hDevice, &overlapped, &cbWritten, FALSE))
    {
        _dwLastError = GetLastError();
        return Io::Failed;
    }
    return Io::Done;
}

CCtapHidDevice::Io CCtapHidDevice::ReadPacket(uint8_t (&rgbPacket)[CTAPHID_PACKET_BYTES])
{
    // One read is outstanding at a time; one left by a wait that ran out is waited on again.
    if (!_fReadPending)
    {
        memset(_rgbReadReport, 0, sizeof(_rgbReadReport));
        memset(&_readOverlapped, 0, sizeof(_readOverlapped));
        _readOverlapped.hEvent = _hReadEvent;
        ResetEvent(_hReadEvent);
        if (!ReadFile(_hDevice, _rgbReadReport, REPORT_BYTES, nullptr, &_readOverlapped))
        {
            if (GetLastError() != ERROR_IO_PENDING)
            {
                _dwLastError = GetLastError();
                return Io::Failed;
            }
            _fReadPending = true;
        }
    }
    if (_fReadPending && WaitForSingleObject(_hReadEvent, MillisecondsUntil(_ullDeadline)) != WAIT_OBJECT_0)
    {
        return Io::TimedOut;
    }
    _fReadPending = false;
    DWORD cbRead = 0;
    if (!GetOverlappedResult(_hDevice, &_readOverlapped, &cbRead, FALSE))
    {
        _dwLastError = GetLastError();
        return Io::Failed;
    }
    // A short report reads as if its missing bytes were zero.
    memset(rgbPacket, 0, CTAPHID_PACKET_BYTES);
    if (cbRead > 1)
    {
        const DWORD cbData = cbRead - 1 < CTAPHID_PACKET_BYTES ? cbRead - 1 : static_cast<DWORD>(CTAPHID_PACKET_BYTES);
        memcpy(rgbPacket, _rgbReadReport + 1, cbData);
    }
    return Io::Done;
}

void CCtapHidDevice::EndPendingRead()
{
    if (!_fReadPending)
    {
        return;
    }
    // The read's buffer and OVERLAPPED are ours until the read has ended.
    CancelIoEx(_hDevice, &_readOverlapped);
    DWORD cbIgnored = 0;
    GetOverlappedResult(_hDevice, &_readOverlapped, &cbIgnored, TRUE);
    _fReadPending = false;
}

void CCtapHidDevice::CancelCommand()
{
    uint8_t rgbPacket[CTAPHID_PACKET_BYTES];
    if (_fOpen && BuildCtapHidPacket(_cid, CTAPHID_CANCEL, nullptr, 0, 0, rgbPacket))
    {
        WritePacket(rgbPacket, GetTickCount64() + CANCEL_WRITE_MS);
    }
    EndPendingRead();
}

CtapExchangeStatus CCtapHidDevice::Send(uint32_t cid, uint8_t command, const uint8_t* pbPayload, size_t cbPayload)
{
    const size_t cPackets = CountCtapHidPackets(cbPayload);
    if (cPackets == 0)
    {
        return CtapExchangeStatus::DeviceError;
    }
    for (size_t i = 0; i < cPackets; ++i)
    {
        if (GetTickCount64() >= _ullDeadline)
        {
            return CtapExchangeStatus::TimedOut;
        }
        uint8_t rgbPacket[CTAPHID_PACKET_BYTES];
        if (!BuildCtapHidPacket(cid, command, pbPayload, cbPayload, i, rgbPacket))
        {
            return CtapExchangeStatus::DeviceError;
        }
        switch (WritePacket(rgbPacket, _ullDeadline))
        {
        case Io::Done:
            break;
        case Io::TimedOut:
            return CtapExchangeStatus::TimedOut;
        case Io::Failed:
            return CtapExchangeStatus::DeviceError;
        }
    }
    return CtapExchangeStatus::Ok;
}

// Reads packets into the reassembly until the answer is whole, the key fails or the
// framing breaks, or the deadline passes; every wait is bounded by the deadline.
CtapExchangeStatus CCtapHidDevice::Receive(CCtapHidReassembly& reassembly)
{
    for (;;)
    {
        uint8_t rgbPacket[CTAPHID_PACKET_BYTES];
        switch (ReadPacket(rgbPacket))
        {
        case Io::Done:
            break;
        case Io::TimedOut:
            return CtapExchangeStatus::TimedOut;
        case Io::Failed:
            return CtapExchangeStatus::DeviceError;
        }
        switch (reassembly.Feed(rgbPacket))
        {
        case CtapHidFeed::NeedMore:
        case CtapHidFeed::Skipped:
            break;
        case CtapHidFeed::KeepAlive:
            _lastKeepAlive = reassembly.KeepAliveStatus();
            break;
        case CtapHidFeed::Complete:
            return CtapExchangeStatus::Ok;
        case CtapHidFeed::KeyError:
            _dwLastError = reassembly.ErrorCode();
            _fKeyError = true;
            return CtapExchangeStatus::DeviceError;
        case CtapHidFeed::Refused:
            return CtapExchangeStatus::MalformedAnswer;
        }
    }
}

CtapExchangeStatus CCtapHidDevice::Open()
{
    Close();
    _dwLastError = 0;
    if (GetTickCount64() >= _ullDeadline)
    {
        return CtapExchangeStatus::TimedOut;
    }
    _hDevice = CreateFileW(_szPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (_hDevice == INVALID_HANDLE_VALUE)
    {
        _dwLastError = GetLastError();
        return CtapExchangeStatus::DeviceError;
    }
    _hReadEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    _hWriteEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (_hReadEvent == nullptr || _hWriteEvent == nullptr)
    {
        _dwLastError = GetLastError();
        return CtapExchangeStatus::DeviceError;
    }
    // What was found as a FIDO key may have been replaced by another device since.
    if (!IsFidoHidDevice(_hDevice))
    {
        _dwLastError = ERROR_NOT_SUPPORTED;
        return CtapExchangeStatus::DeviceError;
    }
    return OpenChannel();
}

CtapExchangeStatus CCtapHidDevice::OpenChannel()
{
    _fOpen = false;
    uint8_t rgbNonce[CTAPHID_INIT_NONCE_BYTES];
    if (!FillRandomBytes(rgbNonce, sizeof(rgbNonce)))
    {
        _dwLastError = ERROR_INTERNAL_ERROR;
        return CtapExchangeStatus::DeviceError;
    }
    CtapExchangeStatus status = Send(CTAPHID_BROADCAST_CID, CTAPHID_INIT, rgbNonce, sizeof(rgbNonce));
    // Other programs open channels too: their answers carry their nonces and are passed by.
    for (int foreign = 0; status == CtapExchangeStatus::Ok; ++foreign)
    {
        uint8_t rgbAnswer[CTAPHID_PACKET_BYTES] = {};
        CCtapHidReassembly reassembly(CTAPHID_BROADCAST_CID, CTAPHID_INIT, rgbAnswer, sizeof(rgbAnswer));
        status = Receive(reassembly);
        if (status != CtapExchangeStatus::Ok)
        {
            break;
        }
        const size_t cbAnswer = reassembly.Length();
        if (cbAnswer < CTAPHID_INIT_NONCE_BYTES || memcmp(rgbAnswer, rgbNonce, sizeof(rgbNonce)) != 0)
        {
            if (foreign + 1 >= MAX_FOREIGN_INIT_ANSWERS)
            {
                status = CtapExchangeStatus::MalformedAnswer;
            }
            continue;
        }
        uint32_t cid = 0;
        uint8_t capabilities = 0;
        if (!ParseCtapHidInitAnswer(rgbAnswer, cbAnswer, rgbNonce, &cid, &capabilities))
        {
            // A key without CBOR speaks U2F only: it has no CTAP2 here. Anything else is no answer.
            const bool fU2fOnly = cbAnswer >= CTAPHID_INIT_ANSWER_MIN_BYTES && (rgbAnswer[16] & CTAPHID_CAPABILITY_CBOR) == 0;
            return fU2fOnly ? CtapExchangeStatus::NoCtap2 : CtapExchangeStatus::MalformedAnswer;
        }
        _cid = cid;
        _fOpen = true;
        return CtapExchangeStatus::Ok;
    }
    if (status == CtapExchangeStatus::TimedOut)
    {
        EndPendingRead();
    }
    return status;
}

CtapExchangeStatus CCtapHidDevice::Exchange(const uint8_t* pbMessage, size_t cbMessage, CCtapAnswerBuffer& answer)
{
    answer.Reset();
    if (!_fOpen)
    {
        return CtapExchangeStatus::DeviceError;
    }
    _lastKeepAlive = 0;
    CtapExchangeStatus status = CtapExchangeStatus::Ok;
    for (;;)
    {
        _fKeyError = false;
        status = Send(_cid, CTAPHID_CBOR, pbMessage, cbMessage);
        if (status != CtapExchangeStatus::Ok)
        {
            break;
        }
        const size_t cbBound = answer.Capacity() < sizeof(_rgbMessage) ? answer.Capacity() : sizeof(_rgbMessage);
        CCtapHidReassembly reassembly(_cid, CTAPHID_CBOR, _rgbMessage, cbBound);
        status = Receive(reassembly);
        if (status == CtapExchangeStatus::Ok && !answer.Append(_rgbMessage, reassembly.Length()))
        {
            status = CtapExchangeStatus::AnswerTooLong;
        }
        SecureZeroMemory(_rgbMessage, reassembly.Length() < sizeof(_rgbMessage) ? reassembly.Length() : sizeof(_rgbMessage));
        // Another program (or logon) has the key's attention: its turn ends, then ours.
        if (status != CtapExchangeStatus::DeviceError || !_fKeyError || _dwLastError != CTAPHID_ERR_CHANNEL_BUSY)
        {
            break;
        }
        const DWORD dwLeft = MillisecondsUntil(_ullDeadline);
        if (dwLeft == 0)
        {
            return CtapExchangeStatus::TimedOut;
        }
        Sleep(dwLeft < BUSY_RETRY_MS ? dwLeft : BUSY_RETRY_MS);
        // A channel of its own again: what the key still says to the refused message (busy,
        // packet by packet) stays on the old one, and is passed by.
        status = OpenChannel();
        if (status != CtapExchangeStatus::Ok)
        {
            break;
        }
    }
    if (status == CtapExchangeStatus::TimedOut)
    {
        // The key stops working on it, and the read still out is ended before anything else.
        CancelCommand();
    }
    return status;
}
