#include <cstdlib>
#include <cstring>

#include "device/DeviceInfo.h"
#include "platform/holders.h"
#include "tests/support/Harness.h"
#include "tests/usb/UsbMachine.h"
#include "usb/HubTopology.h"

using namespace usbtest;
using LineList = std::vector<std::string>;

namespace {

std::string Narrow(const WCHAR *text) { return text == nullptr ? "<null>" : wstr::ToUtf8(text); }

class UsbHubTest : public MachineTest {
protected:
    // Opens the root hub as the scan does; the caller's holder closes it.
    HANDLE OpenHub() {
        WString path = wstr::FromUtf8(kHubPath);
        HANDLE hub = api::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(hub, INVALID_HANDLE_VALUE);
        sim::ClearCalls();
        return hub;
    }
    // The sizes of the one request with this control code, or {0, 0}.
    std::pair<uint32_t, uint32_t> IoctlSizes(uint32_t code, size_t which = 0) {
        for (const sim::Call &call : sim::Calls())
            if (call.op == "DeviceIoControl" && call.code == code && which-- == 0) return {call.inSize, call.outSize};
        return {0, 0};
    }
};

struct HubWalkCase {
    const char *name;
    DEVINST node;
    bool ok;
    std::string instanceId;  // the out identifier afterwards
    DEVINST hub, child;
    LineList lines;
};

TEST_F(UsbHubTest, WalksUpToTheNearestHub) {
    const std::string hubFound = "INFO GetUSBDeviceHubPath lpszDeviceHubPath " + kHubPath;
    const HubWalkCase cases[] = {
        {"parent is the hub", 3, true, kStickId, 2, 3,
         Join({{"ENTER GetUSBDeviceHubPath 3"}, IdLines(kStickId), IdLines(kHubId), HubProbeLines(kHubId, kHubPath),
               {hubFound, "LEAVE GetUSBDeviceHubPath"}})},
        {"composite function", 6, true, kCompositeId, 2, 5,
         Join({{"ENTER GetUSBDeviceHubPath 6"}, IdLines(kFunctionId), IdLines(kCompositeId), HubProbeLines(kCompositeId),
               IdLines(kHubId), HubProbeLines(kHubId, kHubPath), {hubFound, "LEAVE GetUSBDeviceHubPath"}})},
        {"no hub above", 8, false, kLegacyId, 0xFFFFFFFF, 0xFFFFFFFF,
         Join({{"ENTER GetUSBDeviceHubPath 8"}, IdLines(kLegacyId), IdLines(kHtreeId), HubProbeLines(kHtreeId),
               {"ERROR GetUSBDeviceHubPath CM_Get_Parent", "LEAVE GetUSBDeviceHubPath"}})},
        {"a root node", 1, false, kPciId, 0xFFFFFFFF, 0xFFFFFFFF,
         Join({{"ENTER GetUSBDeviceHubPath 1"}, IdLines(kPciId),
               {"ERROR GetUSBDeviceHubPath CM_Get_Parent", "LEAVE GetUSBDeviceHubPath"}})},
        {"unknown node", 99, false, "<null>", 0xFFFFFFFF, 0xFFFFFFFF,
         {"ENTER GetUSBDeviceHubPath 99", "ENTER GetDeviceId", "ERROR GetDeviceId 5", "LEAVE GetDeviceId",
          "ERROR GetUSBDeviceHubPath GetDeviceId", "LEAVE GetUSBDeviceHubPath"}},
    };
    for (const HubWalkCase &c : cases) {
        SCOPED_TRACE(c.name);
        Load(Machine(DefaultHub()));
        CDeviceInfo record;
        WCHAR *instanceId = nullptr, *hubPath = nullptr;
        CAutoFree<WCHAR> idHolder(&instanceId), pathHolder(&hubPath);
        EXPECT_EQ(record.GetUSBDeviceHubPath(c.node, &instanceId, &hubPath), c.ok);
        EXPECT_EQ(Lines(), c.lines);
        EXPECT_EQ(Narrow(instanceId), c.instanceId);
        EXPECT_EQ(Narrow(hubPath), c.ok ? kHubPath : "<null>");
        EXPECT_EQ(record.m_HubDevInst, c.hub);
        EXPECT_EQ(record.m_HubChildDevInst, c.child);
    }
}

TEST_F(UsbHubTest, PortCountComesFromTheHubDescriptor) {
    const struct {
        std::string hub, ioctl;
        bool ok;
        int ports;
        LineList lines;
    } cases[] = {
        {R"({"port_count": 4, "ports": []})", "{}", true, 4, {"INFO GetUsbHubNumberOfPorts 4"}},
        {R"({"port_count": 255, "ports": []})", "{}", true, 255, {"INFO GetUsbHubNumberOfPorts 255"}},
        {DefaultHub(), "{}", true, 3, {"INFO GetUsbHubNumberOfPorts 3"}},
        // A short byte count is not examined.
        {DefaultHub(), R"({"0x220408": {"bytes": "000000000929070000", "returned": 2}})", true, 7,
         {"INFO GetUsbHubNumberOfPorts 7"}},
        {DefaultHub(), R"({"0x220408": {"error": 31}})", false, 0, {"ERROR GetUsbHubNumberOfPorts 31"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.hub + c.ioctl);
        Load(Machine(c.hub, c.ioctl));
        CAutoFreeHandle hub(OpenHub());
        BYTE ports = 0;
        EXPECT_EQ(GetUsbHubNumberOfPorts(hub.Get(), &ports), c.ok);
        EXPECT_EQ(ports, c.ports);
        EXPECT_EQ(Lines(), Join({{"ENTER GetUsbHubNumberOfPorts"}, c.lines, {"LEAVE GetUsbHubNumberOfPorts"}}));
        EXPECT_EQ(IoctlSizes(IOCTL_USB_GET_NODE_INFORMATION), std::make_pair(76u, 76u));
    }
}

TEST_F(UsbHubTest, ConnectionFallsBackToTheOlderQuerySilently) {
    const struct {
        bool exQuery;
        BYTE port;
        bool connected;
        LineList lines;
    } cases[] = {
        {true, 3, true, {"LEAVE IsUsbDeviceConnected TRUE"}},
        {false, 3, true, {"LEAVE IsUsbDeviceConnected TRUE"}},
        {true, 1, false, {"LEAVE IsUsbDeviceConnected FALSE"}},  // listed, not connected
        {false, 4, false, {"LEAVE IsUsbDeviceConnected FALSE"}},  // not listed
        {true, 9, false,
         {"ERROR IsUsbDeviceConnected IOCTL_USB_GET_NODE_CONNECTION_INFORMATION 87", "LEAVE IsUsbDeviceConnected FALSE"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "ex_query " << c.exQuery << " port " << int(c.port));
        std::string hubJson = DefaultHub();
        hubJson.insert(1, std::string(R"("port_count": 4, "ex_query": )") + (c.exQuery ? "true, " : "false, "));
        Load(Machine(hubJson));
        CAutoFreeHandle hub(OpenHub());
        USB_DEVICE_DESCRIPTOR descriptor;
        std::memset(&descriptor, 0, sizeof(descriptor));
        EXPECT_EQ(IsUsbDeviceConnected(hub.Get(), c.port, &descriptor), c.connected);
        EXPECT_EQ(Lines(), Join({{"ENTER IsUsbDeviceConnected"}, c.lines}));
        EXPECT_EQ(descriptor.idVendor, c.connected ? 4660 : 0);
        EXPECT_EQ(descriptor.iSerialNumber, c.connected ? 3 : 0);
        // The older request is sent only when the extended one fails.
        const bool fellBack = !c.exQuery || c.port > 4;
        EXPECT_EQ(sim::CountIoctl(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX), 1u);
        EXPECT_EQ(sim::CountIoctl(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION), fellBack ? 1u : 0u);
        EXPECT_EQ(IoctlSizes(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX), std::make_pair(365u, 365u));
        if (fellBack) {
            EXPECT_EQ(IoctlSizes(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION), std::make_pair(365u, 365u));
        }
    }
}

TEST_F(UsbHubTest, DriverKeyNameIsBoundedByTheAnswer) {
    auto raw = [](const std::string &bytes) { return R"({"0x220420": {"bytes": ")" + bytes + R"("}})"; };
    const struct {
        const char *name;
        std::string ioctl;
        bool ok;
        std::string key;
        LineList error;
        uint32_t secondSize;  // 0: no second request
    } cases[] = {
        // The second request asks for exactly the size the probe reported.
        {"from the hub", "{}", true, R"({36fc9e60-c465-11cf-8056-444553540000}\0007)", {}, 96},
        {"unterminated", raw("03000000" "10000000" "4100420043004400"), true, "ABCD", {}, 16},
        {"odd length", raw("03000000" "0F000000" "4100420043004400"), true, "ABC", {}, 15},
        {"embedded NUL", raw("03000000" "10000000" "4100000043004400"), true, "A", {}, 16},
        {"length 10", raw("03000000" "0A000000" "0000"), false, "<null>", {"ERROR GetDriverKeyName invalid nBytes"}, 0},
        {"length 0", raw("03000000" "00000000" "0000"), false, "<null>", {"ERROR GetDriverKeyName invalid nBytes"}, 0},
        {"absurd length", raw("03000000" "F0FFFFFF" "4100"), false, "<null>", {"ERROR GetDriverKeyName invalid nBytes"}, 0},
        {"probe fails", R"({"0x220420": {"error": 31}})", false, "<null>",
         {"ERROR GetDriverKeyName IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME 31"}, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Load(Machine(DefaultHub(), c.ioctl));
        CAutoFreeHandle hub(OpenHub());
        WCHAR *key = nullptr;
        CAutoFree<WCHAR> keyHolder(&key);
        DWORD length = 0;
        EXPECT_EQ(GetDriverKeyName(hub.Get(), 3, &key, &length), c.ok);
        EXPECT_EQ(Narrow(key), c.key);
        EXPECT_EQ(length, c.ok ? wstr::Len(key) + 1 : 0);
        EXPECT_EQ(Lines(), Join({{"ENTER GetDriverKeyName"}, c.error, {"LEAVE GetDriverKeyName"}}));
        EXPECT_EQ(sim::CountIoctl(IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME), c.secondSize ? 2u : 1u);
        EXPECT_EQ(IoctlSizes(IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME), std::make_pair(10u, 10u));
        if (c.secondSize) {
            EXPECT_EQ(IoctlSizes(IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 1), std::make_pair(c.secondSize, c.secondSize));
        }
    }
}

TEST_F(UsbHubTest, DriverKeyToInstanceIdAmongPresentUsbDevices) {
    const struct {
        const char *name;
        std::string stickProperties, key, id;
    } cases[] = {
        {"exact", R"("Driver": ")" + kStickKey + "\"", R"({36fc9e60-c465-11cf-8056-444553540000}\0007)", kStickId},
        {"case differs", R"("Driver": ")" + kStickKey + "\"", R"({36FC9E60-C465-11CF-8056-444553540000}\0007)", kStickId},
        {"composite function", R"("Driver": ")" + kStickKey + "\"", R"({745a17a0-74d3-11d0-b6fe-00a0c90f57da}\0010)",
         kFunctionId},
        // USBSTOR devices are not enumerated by "USB".
        {"not a USB device", R"("Driver": ")" + kStickKey + "\"", R"({4d36e967-e325-11ce-bfc1-08002be10318}\0003)", ""},
        {"unknown", R"("Driver": ")" + kStickKey + "\"", R"({36fc9e60-c465-11cf-8056-444553540000}\0099)", ""},
        // A device without a driver key ends the search before later devices.
        {"search stops", "", R"({36fc9e60-c465-11cf-8056-444553540000}\0008)", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Load(Machine(DefaultHub(), "{}", c.stickProperties));
        WString key = wstr::FromUtf8(c.key);
        WCHAR *id = nullptr;
        CAutoFree<WCHAR> idHolder(&id);
        EXPECT_EQ(GetUsbInstanceIdFromDriverKeyName(key.c_str(), &id), !c.id.empty());
        EXPECT_EQ(Narrow(id), c.id.empty() ? "<null>" : c.id);
        LineList expected = {"ENTER GetUsbInstanceIdFromDriverKeyName " + c.key};
        if (!c.id.empty()) expected.push_back("INFO GetUsbInstanceIdFromDriverKeyName " + c.id);
        expected.push_back("LEAVE GetUsbInstanceIdFromDriverKeyName ");
        EXPECT_EQ(Lines(), expected);
    }
}

}  // namespace
