// The virtual HID keys of tests/vscard, reached through the ordinary Win32 calls as a
// product makes them: enumeration and opening, CTAP HID channels and the token's
// authenticator behind them, keepalives and cancelling, unplugging, the faults of hostile
// keys, misuse, scenario lines, and the stand-ins in place in another process from the
// moment winscard.dll loads there.
#include "CtapMessage.h"
#include "FidoTestCrypto.h"
#include "HidTestClient.h"
#include "VirtualSCard.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

using namespace hidtest;

namespace
{
    const wchar_t KEY_NAME[] = L"Velkor Virtual Key";
    const BYTE CLIENT_DATA_HASH[32] = { 0xC1, 0x1E, 0x47 };

    std::wstring PathOf(int device)
    {
        wchar_t path[200] = {};
        VScardHidDevicePath(device, path, 200);
        return path;
    }

    Bytes RpIdHash() { return TestSha256(Bytes(VELKOR_RP_ID, VELKOR_RP_ID + sizeof(VELKOR_RP_ID) - 1)); }

    Bytes AssertionRequest(const Bytes& id, bool userPresence)
    {
        BYTE request[CTAP_REQUEST_BUFFER_BYTES];
        const size_t cb = EncodeGetAssertionRequest(VELKOR_RP_ID, CLIENT_DATA_HASH, id.data(), id.size(), request, sizeof(request), userPresence);
        return Bytes(request, request + cb);
    }

    // Raw packets until the key has been silent for a while.
    std::vector<Packet> Drain(CHidTestKey& key, DWORD silenceMs = 400)
    {
        std::vector<Packet> packets;
        Packet p;
        while (packets.size() < 64 && key.Read(&p, silenceMs) == ERROR_SUCCESS) packets.push_back(p);
        return packets;
    }

    class VirtualHidKey : public ::testing::Test
    {
    protected:
        static void SetUpTestSuite() { ASSERT_GT(VScardInstallHid(nullptr), 0); }
        static void TearDownTestSuite() { EXPECT_GT(VScardUninstallHid(nullptr), 0); }

        void SetUp() override { Fresh(); }
        void TearDown() override
        {
            EXPECT_EQ(0u, VScardHidOpenHandles());
            EXPECT_EQ(0u, VScardHidPendingIo());
            EXPECT_EQ(0u, VScardHidOutstandingObjects());
            VScardReset();
        }

        void Fresh()
        {
            VScardReset();
            device = VScardHidAddDevice(KEY_NAME, VSCARD_HID_USAGE_PAGE_FIDO, VSCARD_HID_USAGE_FIDO);
        }

        // A new credential of the key: its ID and public key.
        void MakeCredential(CHidTestKey& key, DWORD cid, Bytes* id, Bytes* publicKey)
        {
            BYTE request[CTAP_REQUEST_BUFFER_BYTES];
            const BYTE user[CTAP_USER_ID_BYTES] = { 1, 2, 3 };
            const size_t cb = EncodeMakeCredentialRequest(VELKOR_RP_ID, CLIENT_DATA_HASH, user, "alice", 5, request, sizeof(request));
            Bytes answer;
            ASSERT_EQ(ERROR_SUCCESS, key.Send(cid, CBOR, Bytes(request, request + cb)));
            ASSERT_EQ(CBOR, key.Receive(cid, &answer));
            BYTE rpIdHash[32];
            memcpy(rpIdHash, RpIdHash().data(), 32);
            CTAP_NEW_CREDENTIAL credential;
            uint8_t status = 0xFF;
            ASSERT_EQ(CtapResult::Ok, ParseMakeCredentialResponse(answer.data(), answer.size(), rpIdHash, &credential, &status));
            id->assign(credential.pbCredentialId, credential.pbCredentialId + credential.cbCredentialId);
            publicKey->assign(credential.rgbPublicKey, credential.rgbPublicKey + CTAP_PUBLIC_KEY_BYTES);
        }

        // The CTAP status of a getAssertion; Ok only when it parses and verifies.
        uint8_t Assert(CHidTestKey& key, DWORD cid, const Bytes& id, const Bytes& publicKey, bool userPresence = false,
                       Bytes* keepalives = nullptr, uint8_t* flags = nullptr)
        {
            Bytes answer;
            if (key.Send(cid, CBOR, AssertionRequest(id, userPresence)) != ERROR_SUCCESS ||
                key.Receive(cid, &answer, 3000, keepalives) != CBOR)
                return 0xFF;
            BYTE rpIdHash[32];
            memcpy(rpIdHash, RpIdHash().data(), 32);
            CTAP_ASSERTION assertion;
            uint8_t status = 0xFF;
            if (ParseGetAssertionResponse(answer.data(), answer.size(), rpIdHash, id.data(), id.size(), &assertion, &status) != CtapResult::Ok)
                return status != 0 ? status : 0xFE;
            Bytes message(assertion.pbAuthData, assertion.pbAuthData + assertion.cbAuthData);
            message.insert(message.end(), CLIENT_DATA_HASH, CLIENT_DATA_HASH + 32);
            if (flags != nullptr) *flags = assertion.flags;
            return TestVerifies(publicKey.data(), message, assertion.rgbSignature) ? 0x00 : 0xFD;
        }

        int device = -1;
    };
}

TEST_F(VirtualHidKey, EnumeratesOpensAndDescribesDevices)
{
    const int keyboard = VScardHidAddDevice(L"Velkor Keyboard", 0x0001, 0x06);
    const int gadget = VScardHidAddDevice(L"Vendor Gadget", 0xFF00, 0x01);
    const int gone = VScardHidAddDevice(L"Unplugged Key", VSCARD_HID_USAGE_PAGE_FIDO, VSCARD_HID_USAGE_FIDO);
    ASSERT_TRUE(VScardHidPlug(gone, FALSE));
    EXPECT_EQ((std::vector<std::wstring>{ PathOf(device), PathOf(keyboard), PathOf(gadget) }), EnumerateHid());
    EXPECT_EQ(4u, EnumerateHid(DIGCF_DEVICEINTERFACE).size()); // without DIGCF_PRESENT
    EXPECT_EQ(L"\\\\?\\hid#vid_1209&pid_f1d0#velkor-virtual-0#{4d1e55b2-f16f-11cf-88cb-001111000030}", PathOf(device));

    const struct { int device; DWORD access; DWORD openError; USHORT page, usage, input, output; const wchar_t* product; } DEVICES[] = {
        { device, GENERIC_READ | GENERIC_WRITE, ERROR_SUCCESS, 0xF1D0, 0x01, 65, 65, KEY_NAME },
        { keyboard, GENERIC_READ | GENERIC_WRITE, ERROR_ACCESS_DENIED, 0, 0, 0, 0, nullptr }, // the system's own
        { keyboard, 0, ERROR_SUCCESS, 0x0001, 0x06, 9, 2, L"Velkor Keyboard" },
        { gadget, GENERIC_READ | GENERIC_WRITE, ERROR_SUCCESS, 0xFF00, 0x01, 65, 65, L"Vendor Gadget" },
        { gone, GENERIC_READ | GENERIC_WRITE, ERROR_FILE_NOT_FOUND, 0, 0, 0, 0, nullptr },
    };
    for (const auto& entry : DEVICES)
    {
        CHidTestKey key(PathOf(entry.device), entry.access);
        EXPECT_EQ(entry.openError, key.openError) << entry.device;
        if (!key.IsOpen()) continue;
        HIDP_CAPS caps;
        ASSERT_TRUE(key.Caps(&caps));
        EXPECT_EQ(entry.page, caps.UsagePage);
        EXPECT_EQ(entry.usage, caps.Usage);
        EXPECT_EQ(entry.input, caps.InputReportByteLength);
        EXPECT_EQ(entry.output, caps.OutputReportByteLength);
        EXPECT_EQ(entry.product, key.Product());
    }
    EXPECT_EQ(0u, VScardHidPacketsWritten(gadget) + VScardHidPacketsWritten(keyboard));

    HIDD_ATTRIBUTES attributes = {};
    VScardHidSetKnob(device, VSCARD_HID_VENDOR_ID, 0x1050);
    {
        CHidTestKey key(PathOf(device));
        ASSERT_TRUE(HidD_GetAttributes(key.Handle(), &attributes));
        EXPECT_EQ(0x1050, attributes.VendorID);
        EXPECT_EQ(0xF1D0, attributes.ProductID);
        // Only whole strings: a buffer too small gets nothing.
        wchar_t small[5] = { L'x' };
        EXPECT_FALSE(HidD_GetProductString(key.Handle(), small, sizeof(small)));
        EXPECT_EQ(L'x', small[0]);
        // A handle that shares nothing keeps others out; "\\.\" names the same device.
        HANDLE exclusive = CreateFileW(PathOf(device).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        EXPECT_EQ(INVALID_HANDLE_VALUE, exclusive);
        EXPECT_EQ(ERROR_SHARING_VIOLATION, GetLastError());
        std::wstring dotted = PathOf(device);
        dotted[2] = L'.';
        CHidTestKey second(dotted);
        EXPECT_TRUE(second.IsOpen());
    }
    VScardHidSetKnob(device, VSCARD_HID_OPEN_DENIED, 1); // a FIDO key opened without elevation
    EXPECT_EQ(ERROR_ACCESS_DENIED, CHidTestKey(PathOf(device)).openError);
}

TEST_F(VirtualHidKey, SpeaksCtapHidOverTheTokensAuthenticator)
{
    CHidTestKey key(PathOf(device));
    Bytes init;
    const DWORD cid = key.Init(&init);
    ASSERT_NE(0u, cid);
    ASSERT_EQ(17u, init.size());
    EXPECT_EQ(2, init[12]);            // CTAP HID protocol version
    EXPECT_EQ(0x0C, init[16]);         // CBOR, no U2F messages
    EXPECT_NE(cid, key.Init());        // every INIT on the broadcast channel opens another channel
    const Bytes longPing(150, 0xA5);   // three packets each way
    Bytes echo;
    ASSERT_EQ(ERROR_SUCCESS, key.Send(cid, PING, longPing));
    EXPECT_EQ(PING, key.Receive(cid, &echo));
    EXPECT_EQ(longPing, echo);

    Bytes id, publicKey;
    MakeCredential(key, cid, &id, &publicKey);
    uint8_t flags = 0xFF;
    EXPECT_EQ(0x00, Assert(key, cid, id, publicKey, false, nullptr, &flags));
    EXPECT_EQ(0x00, flags);
    VScardHidSetFidoKnob(device, VSCARD_FIDO_REFUSE_SILENT, 1);
    EXPECT_EQ(CTAP_STATUS_INVALID_OPTION, Assert(key, cid, id, publicKey));
    EXPECT_FALSE(VScardHidSetFidoKnob(device, VSCARD_FIDO_CHUNK, 100)); // a smart card's transport only

    // Another key with the same device secret holds the credential too; one with its own does not.
    const BYTE secret[] = { 0x0B, 0xAD, 0xC0, 0xDE };
    const int twin = VScardHidAddDevice(L"Twin", VSCARD_HID_USAGE_PAGE_FIDO, VSCARD_HID_USAGE_FIDO);
    const int stranger = VScardHidAddDevice(L"Stranger", VSCARD_HID_USAGE_PAGE_FIDO, VSCARD_HID_USAGE_FIDO);
    VScardHidSetDeviceSecret(device, secret, sizeof(secret));
    VScardHidSetDeviceSecret(twin, secret, sizeof(secret));
    MakeCredential(key, cid, &id, &publicKey);
    for (const auto& other : { std::make_pair(twin, CTAP_STATUS_OK), std::make_pair(stranger, CTAP_STATUS_NO_CREDENTIALS) })
    {
        CHidTestKey second(PathOf(other.first));
        EXPECT_EQ(other.second, Assert(second, second.Init(), id, publicKey)) << other.first;
    }

    // Channel rules: each wrong request gets the error real keys give.
    Packet p = {};
    const auto packet = [&](DWORD packetCid, BYTE head, BYTE b5, BYTE b6) {
        p.fill(0);
        p[0] = BYTE(packetCid >> 24), p[1] = BYTE(packetCid >> 16), p[2] = BYTE(packetCid >> 8), p[3] = BYTE(packetCid);
        p[4] = head, p[5] = b5, p[6] = b6;
        return p;
    };
    const struct { std::vector<Packet> packets; DWORD replyCid; BYTE error; } RULES[] = {
        { { packet(0, 0x80 | CBOR, 0, 1) }, 0, 0x0B },                         // CID 0
        { { packet(BROADCAST, 0x80 | CBOR, 0, 1) }, BROADCAST, 0x0B },         // only INIT on the broadcast channel
        { { packet(0x01020304, 0x80 | PING, 0, 1) }, 0x01020304, 0x0B },       // a channel never opened
        { { packet(BROADCAST, 0x80 | INIT, 0, 4) }, BROADCAST, 0x03 },         // a nonce of 4 bytes
        { { packet(cid, 0x80 | 0x03, 0, 1) }, cid, 0x01 },                     // U2F messages are not offered
        { { packet(cid, 0x80 | PING, 0, 100), packet(cid, 1, 0, 0) }, cid, 0x04 }, // continuation out of sequence
        { { packet(cid, 0x80 | PING, 0, 100) }, cid, 0x05 },                   // the rest never comes
    };
    for (const auto& rule : RULES)
    {
        for (const Packet& out : rule.packets) ASSERT_EQ(ERROR_SUCCESS, key.Write(out));
        Bytes reply;
        EXPECT_EQ(ERROR_REPLY, key.Receive(rule.replyCid, &reply)) << rule.replyCid;
        EXPECT_EQ(Bytes{ rule.error }, reply);
    }
    // A second channel while the first one's command runs: busy.
    VScardHidSetFidoKnob(device, VSCARD_FIDO_REFUSE_SILENT, 0);
    VScardHidSetFidoKnob(device, VSCARD_FIDO_ASSERTION_DELAY_MS, 1000);
    const DWORD other = key.Init();
    Bytes reply, keepalives;
    ASSERT_EQ(ERROR_SUCCESS, key.Send(cid, CBOR, AssertionRequest(id, false)));
    ASSERT_EQ(ERROR_SUCCESS, key.Send(other, PING, Bytes(1, 0x42)));
    EXPECT_EQ(ERROR_REPLY, key.Receive(other, &reply));
    EXPECT_EQ(Bytes{ 0x06 }, reply);
    EXPECT_EQ(CBOR, key.Receive(cid, &reply, 3000, &keepalives));
    EXPECT_EQ(0x00, reply[0]);

    // What the host wrote, for tests that must show a key was left alone.
    EXPECT_EQ(4u, VScardHidCountCommands(device, INIT)); // three channels opened, one nonce too short
    BYTE first[VSCARD_HID_PACKET_BYTES];
    ASSERT_TRUE(VScardHidGetWrittenPacket(device, 0, first));
    EXPECT_EQ(0xFFFFFFFF, Cid(*reinterpret_cast<Packet*>(first)));
    EXPECT_EQ(0x80 | INIT, first[4]);
    EXPECT_GT(VScardHidReportsRead(device), 20u);
    VScardHidClearRecord();
    EXPECT_EQ(0u, VScardHidPacketsWritten(device) + VScardHidCountCommands(device, INIT) + VScardHidReportsRead(device));
}

TEST_F(VirtualHidKey, KeepalivesWhileTheKeyWorksOrWaitsForATouch)
{
    const struct { bool fidoDelay; bool userPresence; BYTE keepalive; uint8_t flags; } ROWS[] = {
        { false, true, 2, AUTH_DATA_FLAG_UP }, // a key that needs a touch (hid touch)
        { false, false, 0, 0 },                // a silent assertion does not wait for one
        { true, false, 1, 0 },                 // a slow authenticator (fido assertion-delay)
    };
    for (const auto& row : ROWS)
    {
        Fresh();
        VScardHidSetKnob(device, VSCARD_HID_TOUCH_MS, 300);
        if (row.fidoDelay) VScardHidSetFidoKnob(device, VSCARD_FIDO_ASSERTION_DELAY_MS, 300);
        CHidTestKey key(PathOf(device));
        const DWORD cid = key.Init();
        Bytes id, publicKey, keepalives;
        MakeCredential(key, cid, &id, &publicKey);
        uint8_t flags = 0xFF;
        EXPECT_EQ(0x00, Assert(key, cid, id, publicKey, row.userPresence, &keepalives, &flags));
        EXPECT_EQ(row.flags, flags);
        EXPECT_EQ(row.keepalive == 0, keepalives.empty());
        for (BYTE status : keepalives) EXPECT_EQ(row.keepalive, status);
    }
}

TEST_F(VirtualHidKey, CancellingCommandsAndReads)
{
    // A CTAP command that never ends: CANCEL ends it with CTAP2_ERR_KEEPALIVE_CANCEL; a broken
    // key keeps sending KEEPALIVE whatever the host says.
    for (const bool broken : { false, true })
    {
        Fresh();
        if (broken) VScardHidSetKnob(device, VSCARD_HID_ENDLESS_KEEPALIVE, 2);
        else VScardHidSetFidoKnob(device, VSCARD_FIDO_BUSY, 1);
        CHidTestKey key(PathOf(device));
        const DWORD cid = key.Init();
        ASSERT_EQ(ERROR_SUCCESS, key.Send(cid, CBOR, AssertionRequest(Bytes(144, 1), false)));
        Packet p;
        ASSERT_EQ(ERROR_SUCCESS, key.Read(&p, 2000));
        EXPECT_EQ(0x80 | KEEPALIVE, p[4]);
        EXPECT_EQ(broken ? 2 : 1, p[7]);
        ASSERT_EQ(ERROR_SUCCESS, key.Send(cid, CANCEL, Bytes()));
        if (!broken)
        {
            Bytes reply;
            EXPECT_EQ(CBOR, key.Receive(cid, &reply));
            EXPECT_EQ(Bytes{ 0x2D }, reply);
            continue;
        }
        for (int i = 0; i < 3; ++i)
        {
            ASSERT_EQ(ERROR_SUCCESS, key.Read(&p, 2000));
            EXPECT_EQ(0x80 | KEEPALIVE, p[4]);
        }
        EXPECT_NE(0u, key.Init()); // INIT on the broadcast channel still answers
    }

    // A pending read ends with ERROR_OPERATION_ABORTED only once cancelled; nothing left, nothing found.
    Fresh();
    CHidTestKey key(PathOf(device));
    BYTE report[65];
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov = {};
    ov.hEvent = event;
    DWORD done = 7;
    EXPECT_FALSE(ReadFile(key.Handle(), report, sizeof(report), nullptr, &ov));
    EXPECT_EQ(ERROR_IO_PENDING, GetLastError());
    EXPECT_FALSE(GetOverlappedResult(key.Handle(), &ov, &done, FALSE));
    EXPECT_EQ(ERROR_IO_INCOMPLETE, GetLastError());
    EXPECT_TRUE(CancelIoEx(key.Handle(), &ov));
    EXPECT_FALSE(GetOverlappedResult(key.Handle(), &ov, &done, TRUE));
    EXPECT_EQ(ERROR_OPERATION_ABORTED, GetLastError());
    EXPECT_EQ(0u, done);
    EXPECT_FALSE(CancelIoEx(key.Handle(), &ov));
    EXPECT_EQ(ERROR_NOT_FOUND, GetLastError());
    // CancelIo cancels the calling thread's reads.
    EXPECT_FALSE(ReadFile(key.Handle(), report, sizeof(report), nullptr, &ov));
    EXPECT_TRUE(CancelIo(key.Handle()));
    EXPECT_FALSE(GetOverlappedResult(key.Handle(), &ov, &done, TRUE));
    EXPECT_EQ(ERROR_OPERATION_ABORTED, GetLastError());
    CloseHandle(event);
}

TEST_F(VirtualHidKey, UnpluggedKeysFailTheirHandles)
{
    for (const DWORD error : { DWORD(ERROR_DEVICE_NOT_CONNECTED), DWORD(ERROR_GEN_FAILURE) })
    {
        Fresh();
        VScardHidSetKnob(device, VSCARD_HID_UNPLUG_ERROR, error);
        CHidTestKey key(PathOf(device));
        const DWORD cid = key.Init();
        // Pulled right after the host has read the answer's first packet.
        VScardHidSetKnob(device, VSCARD_HID_UNPLUG_AFTER, 1);
        ASSERT_EQ(ERROR_SUCCESS, key.Send(cid, CBOR, AssertionRequest(Bytes(144, 1), false)));
        Packet p;
        EXPECT_EQ(ERROR_SUCCESS, key.Read(&p, 2000));
        EXPECT_EQ(error, key.Read(&p, 2000));
        EXPECT_EQ(error, key.Write(p));
        EXPECT_FALSE(HidD_GetProductString(key.Handle(), &p, sizeof(p)));
        EXPECT_EQ(error, GetLastError());
        EXPECT_TRUE(EnumerateHid().empty());
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, CHidTestKey(PathOf(device)).openError);

        // Plugged back in: the old handle stays dead, a new one works.
        VScardHidPlug(device, TRUE);
        EXPECT_EQ(error, key.Read(&p, 100));
        CHidTestKey again(PathOf(device));
        const DWORD channel = again.Init();
        EXPECT_NE(0u, channel);

        // A read pending when the key goes fails with the same error.
        BYTE report[65];
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        OVERLAPPED ov = {};
        ov.hEvent = event;
        DWORD done = 0;
        EXPECT_FALSE(ReadFile(again.Handle(), report, sizeof(report), nullptr, &ov));
        VScardHidPlug(device, FALSE);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
        EXPECT_FALSE(GetOverlappedResult(again.Handle(), &ov, &done, TRUE));
        EXPECT_EQ(error, GetLastError());
        CloseHandle(event);
    }
}

TEST_F(VirtualHidKey, HostileKeysAnswerAsTold)
{
    // Faults of CTAPHID_INIT: what the answer carries.
    // Faults of CTAPHID_INIT: what the answer carries, and what a CBOR command on the channel
    // granted gets (0: not tried).
    const struct { int knob; DWORD value; std::function<void(const Bytes& answer)> check; BYTE cborError; } INIT_FAULTS[] = {
        { VSCARD_HID_INIT_NONCE, 1, [](const Bytes& a) { EXPECT_EQ(0x11 ^ 0x5A, a[0]); }, 0 },
        { VSCARD_HID_INIT_CID, VSCARD_HID_CID_ZERO, [](const Bytes& a) { EXPECT_EQ(Bytes(4, 0x00), Bytes(a.begin() + 8, a.begin() + 12)); }, 0 },
        { VSCARD_HID_INIT_CID, VSCARD_HID_CID_BROADCAST, [](const Bytes& a) { EXPECT_EQ(Bytes(4, 0xFF), Bytes(a.begin() + 8, a.begin() + 12)); }, 0x0B },
        { VSCARD_HID_NO_CBOR, 1, [](const Bytes& a) { EXPECT_EQ(0, a[16] & 0x04); }, 0x01 },
        { VSCARD_HID_MUTE, 1, [](const Bytes& a) { EXPECT_TRUE(a.empty()); }, 0 },
    };
    for (const auto& fault : INIT_FAULTS)
    {
        Fresh();
        ASSERT_TRUE(VScardHidSetKnob(device, fault.knob, fault.value));
        CHidTestKey key(PathOf(device));
        Bytes answer;
        const DWORD cid = key.Init(&answer);
        fault.check(answer);
        EXPECT_EQ(1u, VScardHidPacketsWritten(device));
        if (fault.cborError == 0) continue;
        Bytes reply;
        key.Send(cid, CBOR, AssertionRequest(Bytes(144, 1), false));
        EXPECT_EQ(ERROR_REPLY, key.Receive(cid, &reply)) << fault.knob;
        EXPECT_EQ(Bytes{ fault.cborError }, reply);
    }

    // Faults of an answer: the raw packets of a getAssertion (its answer is five or more packets).
    Bytes id, publicKey;
    const auto data = [](const std::vector<Packet>& packets, size_t length) {
        Bytes bytes(packets[0].begin() + 7, packets[0].end());
        for (size_t i = 1; i < packets.size(); ++i) bytes.insert(bytes.end(), packets[i].begin() + 5, packets[i].end());
        bytes.resize(length);
        return bytes;
    };
    const struct { int knob; DWORD value; std::function<void(const std::vector<Packet>&, DWORD cid)> check; } ANSWER_FAULTS[] = {
        { VSCARD_HID_FOREIGN_CID, 1, [](const std::vector<Packet>& raw, DWORD cid) {
              ASSERT_GE(raw.size(), 10u);
              for (size_t i = 0; i < raw.size(); ++i) EXPECT_EQ(i % 2 == 0 ? 0x0BADCAFE : cid, Cid(raw[i])) << i;
          } },
        { VSCARD_HID_ERROR, 0x7F, [](const std::vector<Packet>& raw, DWORD) {
              ASSERT_EQ(1u, raw.size());
              EXPECT_EQ(0x80 | ERROR_REPLY, raw[0][4]);
              EXPECT_EQ(0x7F, raw[0][7]);
          } },
        { VSCARD_HID_BCNT, 5000, [](const std::vector<Packet>& raw, DWORD) {
              EXPECT_EQ(5000u, Bcnt(raw[0]));
              EXPECT_LE(raw.size(), 8u);
          } },
        { VSCARD_HID_BCNT_EXTRA, 10, [&](const std::vector<Packet>& raw, DWORD) {
              const Bytes real = data(raw, Bcnt(raw[0]) - 10);
              BYTE rpIdHash[32];
              memcpy(rpIdHash, RpIdHash().data(), 32);
              CTAP_ASSERTION assertion;
              uint8_t status;
              EXPECT_EQ(CtapResult::Ok, ParseGetAssertionResponse(real.data(), real.size(), rpIdHash, id.data(), id.size(), &assertion, &status));
          } },
        { VSCARD_HID_CUT_AFTER, 2, [](const std::vector<Packet>& raw, DWORD) {
              ASSERT_EQ(2u, raw.size());
              EXPECT_GT(Bcnt(raw[0]), 57u + 59u);
          } },
        { VSCARD_HID_BAD_SEQ, 1, [](const std::vector<Packet>& raw, DWORD) {
              ASSERT_GE(raw.size(), 3u);
              EXPECT_EQ(1, raw[1][4]);
              EXPECT_EQ(1, raw[2][4]);
          } },
        { VSCARD_HID_INIT_IN_ANSWER, 1, [](const std::vector<Packet>& raw, DWORD cid) {
              ASSERT_GE(raw.size(), 3u);
              EXPECT_EQ(cid, Cid(raw[1]));
              EXPECT_TRUE(IsInit(raw[1]));
              EXPECT_EQ(0, raw[2][4]);
          } },
    };
    for (const auto& fault : ANSWER_FAULTS)
    {
        Fresh();
        CHidTestKey key(PathOf(device));
        const DWORD cid = key.Init();
        MakeCredential(key, cid, &id, &publicKey);
        ASSERT_TRUE(VScardHidSetKnob(device, fault.knob, fault.value));
        ASSERT_EQ(ERROR_SUCCESS, key.Send(cid, CBOR, AssertionRequest(id, false)));
        const std::vector<Packet> raw = Drain(key);
        ASSERT_FALSE(raw.empty()) << fault.knob;
        fault.check(raw, cid);
    }
}

TEST_F(VirtualHidKey, MisuseFailsAsWindowsWould)
{
    CHidTestKey key(PathOf(device));
    CHidTestKey readOnly(PathOf(device), GENERIC_READ);
    BYTE report[65] = {};
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD done = 0;
    const struct { const char* what; std::function<BOOL()> call; DWORD error; } CALLS[] = {
        { "read without OVERLAPPED", [&] { return ReadFile(key.Handle(), report, 65, &done, nullptr); }, ERROR_INVALID_PARAMETER },
        { "read into 64 bytes", [&] { return ReadFile(key.Handle(), report, 64, nullptr, &ov); }, ERROR_INVALID_USER_BUFFER },
        { "write of 64 bytes", [&] { return WriteFile(key.Handle(), report, 64, nullptr, &ov); }, ERROR_INVALID_USER_BUFFER },
        { "write with report ID 1", [&] { report[0] = 1; const BOOL r = WriteFile(key.Handle(), report, 65, nullptr, &ov); report[0] = 0; return r; }, ERROR_INVALID_PARAMETER },
        { "write without write access", [&] { return WriteFile(readOnly.Handle(), report, 65, nullptr, &ov); }, ERROR_ACCESS_DENIED },
        { "open to create", [&] { return CreateFileW(PathOf(device).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, FILE_FLAG_OVERLAPPED, nullptr) != INVALID_HANDLE_VALUE; }, ERROR_INVALID_PARAMETER },
        { "OVERLAPPED of a pending read", [&] {
              ReadFile(key.Handle(), report, 65, nullptr, &ov);
              BYTE other[65];
              const BOOL r = ReadFile(readOnly.Handle(), other, 65, nullptr, &ov);
              const DWORD error = GetLastError();
              CancelIoEx(key.Handle(), &ov);
              GetOverlappedResult(key.Handle(), &ov, &done, TRUE);
              SetLastError(error);
              return r; }, ERROR_INVALID_PARAMETER },
        { "interface data of wrong size", [&] {
              HDEVINFO set = SetupDiGetClassDevsW(&HID_INTERFACE, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
              SP_DEVICE_INTERFACE_DATA data = {};
              data.cbSize = sizeof(data) - 1;
              const BOOL r = SetupDiEnumDeviceInterfaces(set, nullptr, &HID_INTERFACE, 0, &data);
              const DWORD error = GetLastError();
              SetupDiDestroyDeviceInfoList(set);
              SetLastError(error);
              return r; }, ERROR_INVALID_USER_BUFFER },
        { "detail of wrong cbSize", [&] {
              HDEVINFO set = SetupDiGetClassDevsW(&HID_INTERFACE, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
              SP_DEVICE_INTERFACE_DATA data = {};
              data.cbSize = sizeof(data);
              SetupDiEnumDeviceInterfaces(set, nullptr, &HID_INTERFACE, 0, &data);
              DWORD needed = 0;
              EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &needed, nullptr));
              EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
              EXPECT_EQ(4 + 2 * (PathOf(device).size() + 1), needed);
              std::vector<BYTE> buffer(needed);
              auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
              detail->cbSize = needed;
              const BOOL r = SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed, nullptr, nullptr);
              const DWORD error = GetLastError();
              SetupDiDestroyDeviceInfoList(set);
              SetLastError(error);
              return r; }, ERROR_INVALID_USER_BUFFER },
        { "a destroyed set", [&] {
              HDEVINFO set = SetupDiGetClassDevsW(&HID_INTERFACE, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
              SetupDiDestroyDeviceInfoList(set);
              return SetupDiDestroyDeviceInfoList(set); }, ERROR_INVALID_HANDLE },
        { "closed twice", [&] {
              HANDLE h = CreateFileW(PathOf(device).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
              EXPECT_TRUE(CloseHandle(h));
              return CloseHandle(h); }, ERROR_INVALID_HANDLE },
    };
    for (const auto& entry : CALLS)
    {
        SetLastError(0);
        EXPECT_FALSE(entry.call()) << entry.what;
        EXPECT_EQ(entry.error, GetLastError()) << entry.what;
    }
    PHIDP_PREPARSED_DATA data = nullptr;
    HIDP_CAPS caps;
    ASSERT_TRUE(HidD_GetPreparsedData(key.Handle(), &data));
    EXPECT_TRUE(HidD_FreePreparsedData(data));
    EXPECT_EQ(HIDP_STATUS_INVALID_PREPARSED_DATA, HidP_GetCaps(data, &caps));
    EXPECT_EQ(0u, VScardHidPacketsWritten(device)); // nothing refused reached the key
    CloseHandle(ov.hEvent);

    // Whatever is not ours goes on to the system: a file, another device class.
    wchar_t folder[MAX_PATH], file[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"hid", 0, file);
    HANDLE h = CreateFileW(file, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_TRUE(WriteFile(h, "abc", 3, &done, nullptr));
    SetFilePointer(h, 0, nullptr, FILE_BEGIN);
    char text[4] = {};
    EXPECT_TRUE(ReadFile(h, text, 3, &done, nullptr));
    EXPECT_STREQ("abc", text);
    EXPECT_TRUE(CloseHandle(h));
    const GUID volumes = { 0x53f5630d, 0xb6bf, 0x11d0, { 0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b } };
    HDEVINFO set = SetupDiGetClassDevsW(&volumes, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(INVALID_HANDLE_VALUE, set);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(VirtualHidKey, ScenarioLinesDeclareHidDevices)
{
    wchar_t folder[MAX_PATH], path[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"vsh", 0, path);
    const auto load = [&](const char* lines) {
        FILE* file = _wfopen(path, L"wb");
        fputs(lines, file);
        fclose(file);
        VScardReset();
        return VScardLoadScenario(path);
    };
    ASSERT_EQ(0, load("reader \"Halvane Velkor FIDO2 Security Key 0\" token\n"
                      "hid \"Key A\"\nserial 0BADC0DE\ndevice-secret 00112233\nfido refuse-silent\nhid touch 200\nhid vid 1050\n"
                      "hid \"Keyboard\" keyboard\n"
                      "hid \"Key B\" fido unplugged\ndevice-secret 00112233\n"
                      "hid \"Gadget\" usage FF00 1\n"));
    ASSERT_EQ(4, VScardHidDeviceCount());
    const std::vector<std::wstring> present = EnumerateHid();
    ASSERT_EQ(3u, present.size());
    EXPECT_NE(std::wstring::npos, present[0].find(L"vid_1050"));
    CHidTestKey keyboard(PathOf(1));
    EXPECT_EQ(ERROR_ACCESS_DENIED, keyboard.openError);
    {
        CHidTestKey a(PathOf(0));
        const DWORD cid = a.Init();
        Bytes id, publicKey, keepalives;
        MakeCredential(a, cid, &id, &publicKey);
        EXPECT_EQ(CTAP_STATUS_INVALID_OPTION, Assert(a, cid, id, publicKey));
        EXPECT_EQ(0x00, Assert(a, cid, id, publicKey, true, &keepalives));
        EXPECT_FALSE(keepalives.empty());
        VScardHidPlug(2, TRUE);
        CHidTestKey b(PathOf(2));
        EXPECT_EQ(0x00, Assert(b, b.Init(), id, publicKey)); // the same device secret
    }
    const struct { const char* lines; int badLine; } BAD[] = {
        { "hid touch 5\n", 1 },                                // no hid line yet
        { "hid \"K\"\nreader \"R\"\nhid touch 5\n", 3 },       // a reader line ends the hid device's lines
        { "hid \"K\"\nfido chunk 100\n", 2 },                  // APDU settings do not apply
        { "hid \"K\"\nprotocol T0\n", 2 },
        { "hid \"K\" keyboard\nfido refuse-silent\n", 2 },     // no authenticator in a keyboard
        { "hid \"K\" usage F1D0\n", 1 },
        { "hid \"\"\n", 1 },
        { "hid \"K\"\nhid init-cid 7\n", 2 },
        { "hid \"K\"\nhid endless-keepalive 3\n", 2 },
        { "hid \"K\"\nhid error 0\n", 2 },
        { "hid \"K\"\nhid wobble\n", 2 },
    };
    for (const auto& entry : BAD) EXPECT_EQ(entry.badLine, load(entry.lines)) << entry.lines;
    DeleteFileW(path);
}

TEST_F(VirtualHidKey, StandsInForOtherProgramsFromTheScenarioFile)
{
    // A DLL loaded later gets the stand-ins on request, once, and gives them back.
    const HMODULE package = LoadLibraryW(L"VelkorSubAuth.dll");
    ASSERT_NE(nullptr, package);
    const int patched = VScardInstallHid(package);
    EXPECT_GT(patched, 0);
    EXPECT_EQ(0, VScardInstallHid(package));
    EXPECT_EQ(patched, VScardUninstallHid(package));
    FreeLibrary(package);

    // A program that imports winscard.dll and makes no PC/SC call at all finds the scenario's keys.
    wchar_t folder[MAX_PATH], scenario[MAX_PATH], output[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"vsh", 0, scenario);
    GetTempFileNameW(folder, L"vsh", 0, output);
    FILE* file = _wfopen(scenario, L"wb");
    fputs("hid \"Probe Key\"\nhid \"Probe Keyboard\" keyboard\nhid \"Mute Key\"\nhid mute\n", file);
    fclose(file);
    SECURITY_ATTRIBUTES inherit = { sizeof(inherit), nullptr, TRUE };
    HANDLE out = CreateFileW(output, GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = out;
    PROCESS_INFORMATION process = {};
    std::wstring command = L"vscard_hid_probe.exe";
    SetEnvironmentVariableW(L"VELKOR_VSCARD_SCENARIO", scenario);
    ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process));
    SetEnvironmentVariableW(L"VELKOR_VSCARD_SCENARIO", nullptr);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.hProcess, 30000));
    DWORD exitCode = 99;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(out);
    std::string text;
    file = _wfopen(output, L"rb");
    char buffer[512];
    for (size_t n; (n = fread(buffer, 1, sizeof(buffer), file)) > 0;) text.append(buffer, n);
    fclose(file);
    EXPECT_EQ(0u, exitCode) << text;
    EXPECT_NE(std::string::npos, text.find("Probe Key: FIDO, channel 01000001\r\n")) << text;
    EXPECT_NE(std::string::npos, text.find("Probe Keyboard: not opened, error 5\r\n")) << text;
    EXPECT_NE(std::string::npos, text.find("Mute Key: FIDO, no answer to INIT\r\n")) << text;
    DeleteFileW(scenario);
    DeleteFileW(output);
}
