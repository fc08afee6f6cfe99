// The simulated USB hub requests.
#include <cstring>
#include <string>
#include <vector>

#include "platform/os.h"
#include "platform/wstr.h"
#include "tests/support/Harness.h"

namespace {

const char *const kMachine = R"({
  "objects": [
    {"name": "\\Device\\USBPDO-1", "aliases": ["\\\\?\\hub1"],
     "hub": {"ex_query": true, "ports": [
       {"port": 1, "descriptor": {"idVendor": 4660, "idProduct": 22136, "iManufacturer": 1, "iProduct": 2, "iSerialNumber": 3},
        "driver_key": "{36fc9e60-c465-11cf-8056-444553540000}\\0007",
        "languages": [1033, 1031],
        "strings": {"1": "ACME", "2": "Stick", "3": "0123456789"}},
       {"port": 3, "connected": false, "driver_key": "{36fc9e60-c465-11cf-8056-444553540000}\\0009"}]}},
    {"name": "\\Device\\USBPDO-2", "aliases": ["\\\\?\\hub2"],
     "hub": {"ex_query": false, "port_count": 6, "ports": [
       {"port": 2, "descriptor": {"idVendor": 1, "idProduct": 2}, "driver_key": {"error": 31}}]}}
  ]
})";

class SimUsbTest : public MachineTest {
protected:
    void SetUp() override { Load(kMachine); }

    struct Result {
        BOOL ok;
        DWORD error;
        DWORD returned;
    };
    // Sends one request with the same buffer as input and output, as the program does.
    Result Send(const WCHAR *hub, DWORD code, void *buffer, DWORD size) {
        HANDLE h = api::CreateFileW(hub, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        os::SetLastError(0);
        DWORD returned = 0xDEADu;
        BOOL ok = api::DeviceIoControl(h, code, buffer, size, buffer, size, &returned, nullptr);
        Result r{ok, os::GetLastError(), returned};
        api::CloseHandle(h);
        return r;
    }
    Result Connection(const WCHAR *hub, DWORD code, ULONG port, std::vector<unsigned char> *buffer) {
        buffer->assign(365, 0);
        std::memcpy(buffer->data(), &port, sizeof port);
        return Send(hub, code, buffer->data(), 365);
    }
    Result Descriptor(ULONG port, UCHAR index, USHORT language, std::vector<unsigned char> *buffer, DWORD size = 524) {
        buffer->assign(size, 0);
        USB_DESCRIPTOR_REQUEST request{};
        request.ConnectionIndex = port;
        request.SetupPacket.wValue = static_cast<USHORT>(0x0300 | index);
        request.SetupPacket.wIndex = language;
        request.SetupPacket.wLength = static_cast<USHORT>(size - sizeof request);
        std::memcpy(buffer->data(), &request, sizeof request);
        return Send(WS("\\\\?\\hub1"), IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, buffer->data(), size);
    }
};

TEST_F(SimUsbTest, PortCountIsTheHighestPortOrTheGivenCount) {
    struct Case {
        const WCHAR *hub;
        int ports;
    };
    for (const Case &c : {Case{WS("\\\\?\\hub1"), 3}, Case{WS("\\\\?\\hub2"), 6}}) {
        USB_NODE_INFORMATION info{};
        Result r = Send(c.hub, IOCTL_USB_GET_NODE_INFORMATION, &info, sizeof info);
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.returned, 76u);
        EXPECT_EQ(info.u.HubInformation.HubDescriptor.bNumberOfPorts, c.ports);
    }
    unsigned char small[40] = {};
    EXPECT_FALSE(Send(WS("\\\\?\\hub1"), IOCTL_USB_GET_NODE_INFORMATION, small, sizeof small).ok);
}

TEST_F(SimUsbTest, ConnectionInformationPerPort) {
    std::vector<unsigned char> b;
    struct Case {
        ULONG port;
        bool ok;
        DWORD error;
        uint32_t status;
    };
    const Case cases[] = {
        {1, true, 0, 1},
        {2, true, 0, 0},  // not listed: nothing connected
        {3, true, 0, 0},  // listed but unplugged
        {0, false, ERROR_INVALID_PARAMETER, 0},
        {4, false, ERROR_INVALID_PARAMETER, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.port);
        Result r = Connection(WS("\\\\?\\hub1"), IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, c.port, &b);
        EXPECT_EQ(r.ok != FALSE, c.ok);
        EXPECT_EQ(r.error, c.error);
        uint32_t status = 0xFF;
        std::memcpy(&status, b.data() + offsetof(USB_NODE_CONNECTION_INFORMATION_EX, ConnectionStatus), 4);
        if (c.ok) {
            EXPECT_EQ(status, c.status);
        }
    }
    Connection(WS("\\\\?\\hub1"), IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, 1, &b);
    USB_DEVICE_DESCRIPTOR d{};
    std::memcpy(&d, b.data() + offsetof(USB_NODE_CONNECTION_INFORMATION_EX, DeviceDescriptor), sizeof d);
    EXPECT_EQ(d.bLength, 18);
    EXPECT_EQ(d.idVendor, 4660);
    EXPECT_EQ(d.idProduct, 22136);
    EXPECT_EQ(d.iSerialNumber, 3);
}

TEST_F(SimUsbTest, HubWithoutTheExtendedQueryAnswersTheOlderOne) {
    std::vector<unsigned char> b;
    Result r = Connection(WS("\\\\?\\hub2"), IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, 2, &b);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(r.returned, 0u);
    r = Connection(WS("\\\\?\\hub2"), IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, 2, &b);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(b[offsetof(USB_NODE_CONNECTION_INFORMATION, ConnectionStatus)], 1);
    EXPECT_EQ(b[offsetof(USB_NODE_CONNECTION_INFORMATION, DeviceDescriptor) + 8], 1);  // idVendor low byte
}

TEST_F(SimUsbTest, DriverKeyProbeOfTenBytesReportsTheFullLength) {
    const std::string key = "{36fc9e60-c465-11cf-8056-444553540000}\\0007";
    const ULONG actual = static_cast<ULONG>(8 + 2 * (key.size() + 1));
    unsigned char probe[12];
    std::memset(probe, 0xCC, sizeof probe);
    ULONG port = 1;
    std::memcpy(probe, &port, 4);
    Result r = Send(WS("\\\\?\\hub1"), IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, probe, 10);
    ASSERT_TRUE(r.ok);
    ULONG reported = 0;
    std::memcpy(&reported, probe + 4, 4);
    EXPECT_EQ(reported, actual);
    EXPECT_EQ(r.returned, 10u);
    EXPECT_EQ(probe[10], 0xCC);

    std::vector<unsigned char> full(actual + 2, 0xCC);
    std::memcpy(full.data(), &port, 4);
    r = Send(WS("\\\\?\\hub1"), IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, full.data(), actual);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.returned, actual);
    EXPECT_EQ(wstr::ToUtf8(reinterpret_cast<const WCHAR *>(full.data() + 8)), key);
    EXPECT_EQ(full[actual], 0xCC);

    // An unplugged port, a port beyond the hub, and a modelled failure.
    port = 3;
    std::memcpy(probe, &port, 4);
    EXPECT_FALSE(Send(WS("\\\\?\\hub1"), IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, probe, 10).ok);
    port = 9;
    std::memcpy(probe, &port, 4);
    EXPECT_EQ(Send(WS("\\\\?\\hub1"), IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, probe, 10).error,
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    port = 2;
    std::memcpy(probe, &port, 4);
    EXPECT_EQ(Send(WS("\\\\?\\hub2"), IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, probe, 10).error, 31u);
}

TEST_F(SimUsbTest, StringDescriptorsFollowTheRequestHeader) {
    std::vector<unsigned char> b;
    Result r = Descriptor(1, 2, 1033, &b);
    ASSERT_TRUE(r.ok);
    const size_t header = sizeof(USB_DESCRIPTOR_REQUEST);
    EXPECT_EQ(b[header], 2 + 2 * 5);  // bLength for "Stick"
    EXPECT_EQ(b[header + 1], 3);
    EXPECT_EQ(r.returned, header + 12);
    EXPECT_EQ(wstr::ToUtf8(WStringView(reinterpret_cast<const WCHAR *>(b.data() + header + 2), 5)), "Stick");

    // Descriptor 0 holds the languages, whatever language it is asked in.
    r = Descriptor(1, 0, 0, &b);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(b[header], 6);
    EXPECT_EQ(b[header + 2] | (b[header + 3] << 8), 1033);
    EXPECT_EQ(b[header + 4] | (b[header + 5] << 8), 1031);

    struct Case {
        ULONG port;
        UCHAR index;
        USHORT language;
        DWORD error;
    };
    const Case failures[] = {
        {1, 4, 1033, ERROR_GEN_FAILURE},  // no such string
        {1, 1, 1036, ERROR_GEN_FAILURE},  // not one of the device's languages
        {2, 1, 1033, ERROR_GEN_FAILURE},  // nothing connected
        {7, 1, 1033, ERROR_INVALID_PARAMETER},
    };
    for (const Case &c : failures) {
        SCOPED_TRACE(c.index);
        r = Descriptor(c.port, c.index, c.language, &b);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, c.error);
        EXPECT_EQ(r.returned, 0u);
    }
}

TEST_F(SimUsbTest, ShortOutputBuffersCutTheDescriptor) {
    std::vector<unsigned char> b;
    const DWORD size = sizeof(USB_DESCRIPTOR_REQUEST) + 6;
    Result r = Descriptor(1, 3, 1033, &b, size);  // "0123456789" needs 22 bytes
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.returned, size);
    EXPECT_EQ(b[sizeof(USB_DESCRIPTOR_REQUEST)], 22);  // bLength still tells the whole length
}

}  // namespace
