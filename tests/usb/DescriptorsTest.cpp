#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "device/DeviceInfo.h"
#include "platform/guids.h"
#include "platform/holders.h"
#include "tests/support/Harness.h"
#include "tests/usb/UsbMachine.h"
#include "usb/Descriptors.h"
#include "usb/HubTopology.h"

using namespace usbtest;
using LineList = std::vector<std::string>;

namespace {

std::string Narrow(const WCHAR *text) { return text == nullptr ? "<null>" : wstr::ToUtf8(text); }

std::optional<std::string> Field(const CStringValue &value) {
    if (!value.IsSet()) return std::nullopt;
    return Narrow(value.Get());
}

HANDLE Open(const std::string &path) {
    WString wide = wstr::FromUtf8(path);
    HANDLE handle = api::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    sim::ClearCalls();
    return handle;
}

// The bytes of a block's descriptor and the four bytes after it.
std::vector<BYTE> BlockBytes(const STRING_DESCRIPTOR_NODE *block) {
    const BYTE *descriptor = reinterpret_cast<const BYTE *>(block) + 3;
    return std::vector<BYTE>(descriptor, descriptor + descriptor[0] + 4);
}

using UsbDescriptorTest = MachineTest;

TEST_F(UsbDescriptorTest, StringDescriptorAcceptanceTests) {
    // Raw answers: the 12-byte request header, then the descriptor.
    auto raw = [](const std::string &descriptor, const std::string &returned = "") {
        return std::string(R"({"0x220410": {"bytes": ")") + std::string(24, '0') + descriptor + "\"" +
               (returned.empty() ? "" : R"(, "returned": )" + returned) + "}}";
    };
    const struct {
        const char *name;
        std::string ioctl;
        BYTE index;
        USHORT language;
        std::vector<BYTE> block;  // empty: rejected
    } cases[] = {
        {"from the hub", "{}", 2, 1033, {12, 3, 'S', 0, 't', 0, 'i', 0, 'c', 0, 'k', 0, 0, 0, 0, 0}},
        {"language not offered", "{}", 2, 1031, {}},
        {"index not offered", "{}", 9, 1033, {}},
        {"valid raw", raw("0A034100420043004400"), 2, 1033, {10, 3, 'A', 0, 'B', 0, 'C', 0, 'D', 0, 0, 0, 0, 0}},
        // Whatever follows the descriptor in the buffer never reaches the block.
        {"trailing bytes", raw("0A0341004200430044004500FFFF", "22"), 2, 1033,
         {10, 3, 'A', 0, 'B', 0, 'C', 0, 'D', 0, 0, 0, 0, 0}},
        {"bLength above the count", raw("0C0341004200430044FF", "22"), 2, 1033, {}},
        {"bLength below the count", raw("080341004200430044FF", "22"), 2, 1033, {}},
        {"odd bLength", raw("090341004200430044", "21"), 2, 1033, {}},
        {"not a string", raw("0A014100420043004400"), 2, 1033, {}},
        {"empty answer", raw("0003", "12"), 2, 1033, {}},
        {"one byte", raw("0203", "1"), 2, 1033, {}},
        {"request fails", R"({"0x220410": {"error": 31}})", 2, 1033, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Load(Machine(DefaultHub(), c.ioctl));
        CAutoFreeHandle hub(Open(kHubPath));
        STRING_DESCRIPTOR_NODE *block = nullptr;
        CAutoFree<STRING_DESCRIPTOR_NODE> blockHolder(&block);
        EXPECT_EQ(GetStringDescriptor(hub.Get(), 3, c.index, c.language, &block), !c.block.empty());
        EXPECT_EQ(Lines(), LineList{});
        EXPECT_EQ(sim::CountIoctl(IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION), 1u);
        EXPECT_EQ(sim::Calls().back().inSize, 524u);
        EXPECT_EQ(sim::Calls().back().outSize, 524u);
        if (c.block.empty()) {
            EXPECT_EQ(block, nullptr);
            continue;
        }
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(block->DescriptorIndex, c.index);
        EXPECT_EQ(static_cast<USHORT>(block->LanguageID), c.language);  // a copy: the field is packed
        EXPECT_EQ(BlockBytes(block), c.block);
    }
}

TEST_F(UsbDescriptorTest, LanguageList) {
    const struct {
        std::string languages, ioctl;
        std::vector<USHORT> list;
        LineList error;
    } cases[] = {
        {"[1033]", "{}", {1033}, {}},
        {"[1031, 1033, 1036]", "{}", {1031, 1033, 1036}, {}},
        // Callers take the first entry, so an empty list is no list.
        {"[]", "{}", {}, {"ERROR GetUsbDescriptorLanguages empty language list"}},
        {"[1033]", R"({"0x220410": {"bytes": "000000000000000000000000050309040704", "returned": 17}})", {},
         {"ERROR GetUsbDescriptorLanguages GetStringDescriptor"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.languages + c.ioctl);
        Load(Machine(DefaultHub(StickPort(3, R"("iProduct": 2)", R"(, "languages": )" + c.languages)), c.ioctl));
        CAutoFreeHandle hub(Open(kHubPath));
        USHORT *languages = nullptr;
        CAutoFree<USHORT> languagesHolder(&languages);
        DWORD count = 99;
        EXPECT_EQ(GetUsbDescriptorLanguages(hub.Get(), 3, &languages, &count), !c.list.empty());
        EXPECT_EQ(Lines(), Join({{"ENTER GetUsbDescriptorLanguages"}, c.error, {"LEAVE GetUsbDescriptorLanguages"}}));
        ASSERT_EQ(count, c.list.size());
        EXPECT_EQ(languages == nullptr, c.list.empty());
        for (DWORD i = 0; i < count; ++i) EXPECT_EQ(languages[i], c.list[i]);
    }
}

// The lines of one port's turn up to its instance identifier.
LineList PortLines(bool connected, const std::string &key = "", const std::string &id = "") {
    if (!connected) return {"ENTER IsUsbDeviceConnected", "LEAVE IsUsbDeviceConnected FALSE"};
    LineList lines = {"ENTER IsUsbDeviceConnected", "LEAVE IsUsbDeviceConnected TRUE", "ENTER GetDriverKeyName",
                   "LEAVE GetDriverKeyName", "ENTER GetUsbInstanceIdFromDriverKeyName " + key};
    if (!id.empty()) lines.push_back("INFO GetUsbInstanceIdFromDriverKeyName " + id);
    lines.push_back("LEAVE GetUsbInstanceIdFromDriverKeyName ");
    if (!id.empty()) lines.push_back("INFO GetUSBDeviceInfo pInstanceId " + id);
    return lines;
}
const std::string kStickKeyText = R"({36fc9e60-c465-11cf-8056-444553540000}\0007)";
const LineList kComposite = PortLines(true, R"({36fc9e60-c465-11cf-8056-444553540000}\0008)", kCompositeId);
const LineList kStick = PortLines(true, kStickKeyText, kStickId);
const LineList kLanguages = {"ENTER GetUsbDescriptorLanguages", "LEAVE GetUsbDescriptorLanguages"};

LineList ScanLines(int ports, LineList body, bool filled, const std::string &wanted = kStickId) {
    return Join({{"ENTER GetUSBDeviceInfo " + kHubPath + " " + wanted, "ENTER CreateFileForDevice " + kHubPath,
                  "LEAVE CreateFileForDevice ", "ENTER GetUsbHubNumberOfPorts",
                  std::string("INFO GetUsbHubNumberOfPorts ") + std::to_string(ports), "LEAVE GetUsbHubNumberOfPorts",
                  std::string("INFO GetUsbHubNumberOfPorts GetUsbHubNumberOfPorts ") + std::to_string(ports)},
                 body, {std::string("INFO GetUSBDeviceInfo bFilledInfo ") + (filled ? "1" : "0"), "LEAVE GetUSBDeviceInfo"}});
}

TEST_F(UsbDescriptorTest, PortScanReadsTheWantedDevicesStrings) {
    const std::string allStrings = R"(, "strings": {"1": "ACME", "2": "Stick", "3": "0123456789"})";
    const LineList serial = {"INFO GetUSBDeviceInfo m_Serial 0123456789"};
    const LineList all = {"INFO GetUSBDeviceInfo m_Serial 0123456789", "INFO GetUSBDeviceInfo m_Manufacturer ACME",
                       "INFO GetUSBDeviceInfo m_Model Stick"};
    const std::string indexes = R"("iManufacturer": 1, "iProduct": 2, "iSerialNumber": 3)";
    const struct {
        const char *name;
        std::string hub;
        std::string wanted;
        std::optional<std::string> serial, manufacturer, model;
        LineList lines;
    } cases[] = {
        {"stick on port 3 of 4", std::string(R"({"port_count": 4, )") + DefaultHub().substr(1), kStickId, "0123456789", "ACME", "Stick",
         ScanLines(4, Join({PortLines(false), kComposite, kStick, kLanguages, all}), true)},
        {"string indexes all zero", DefaultHub(StickPort(3, R"("iProduct": 0)")), kStickId, {}, {}, {},
         ScanLines(3, Join({PortLines(false), kComposite, kStick}), false)},
        {"only iProduct", DefaultHub(StickPort(3, R"("iProduct": 2)")), kStickId, {}, {}, "Stick",
         ScanLines(3, Join({PortLines(false), kComposite, kStick, kLanguages, {"INFO GetUSBDeviceInfo m_Model Stick"}}),
                   true)},
        {"several languages", DefaultHub(StickPort(3, indexes, R"(, "languages": [1031, 1033])" + allStrings)), kStickId,
         "0123456789", "ACME", "Stick", ScanLines(3, Join({PortLines(false), kComposite, kStick, kLanguages, all}), true)},
        {"unreadable strings skipped", DefaultHub(StickPort(3, indexes, R"(, "languages": [1033], "strings": {"3": "0123456789"})")),
         kStickId, "0123456789", {}, {}, ScanLines(3, Join({PortLines(false), kComposite, kStick, kLanguages, serial}), true)},
        {"instance id differs in case", DefaultHub(), R"(usb\vid_1234&pid_5678\0123456789)", {}, {}, {},
         ScanLines(3, Join({PortLines(false), kComposite, kStick}), false, R"(usb\vid_1234&pid_5678\0123456789)")},
        {"driver key differs in case",
         DefaultHub(StickPort(3, indexes, R"(, "languages": [1033])" + allStrings, R"({36FC9E60-C465-11CF-8056-444553540000}\\0007)")),
         kStickId, "0123456789", "ACME", "Stick",
         ScanLines(3, Join({PortLines(false), kComposite,
                            PortLines(true, R"({36FC9E60-C465-11CF-8056-444553540000}\0007)", kStickId), kLanguages, all}),
                   true)},
        {"empty language list", DefaultHub(StickPort(3, indexes, R"(, "languages": [])")), kStickId, {}, {}, {},
         ScanLines(3, Join({PortLines(false), kComposite, kStick,
                            {"ENTER GetUsbDescriptorLanguages", "ERROR GetUsbDescriptorLanguages empty language list",
                             "LEAVE GetUsbDescriptorLanguages"}}),
                   false)},
        {"no ports", R"({"port_count": 0, "ports": []})", kStickId, {}, {}, {}, ScanLines(0, {}, false)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Load(Machine(c.hub));
        CDeviceInfo record;
        WString hubPath = wstr::FromUtf8(kHubPath), wanted = wstr::FromUtf8(c.wanted);
        EXPECT_EQ(record.GetUSBDeviceInfo(hubPath.c_str(), wanted.c_str()), c.model || c.serial);
        EXPECT_EQ(Lines(), c.lines);
        EXPECT_EQ(Field(record.m_Serial), c.serial);
        EXPECT_EQ(Field(record.m_Manufacturer), c.manufacturer);
        EXPECT_EQ(Field(record.m_Model), c.model);
        // Descriptors are read only for a device found with string indexes.
        EXPECT_EQ(sim::CountIoctl(IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION) == 0,
                  std::count(c.lines.begin(), c.lines.end(), kLanguages[0]) == 0);
    }
}

TEST_F(UsbDescriptorTest, PortScanReachesPort255) {
    Load(Machine(R"({"port_count": 255, "ports": [)" + StickPort(255) + "]}"));
    CDeviceInfo record;
    WString hubPath = wstr::FromUtf8(kHubPath), wanted = wstr::FromUtf8(kStickId);
    EXPECT_TRUE(record.GetUSBDeviceInfo(hubPath.c_str(), wanted.c_str()));
    EXPECT_EQ(sim::CountIoctl(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX), 255u);
    EXPECT_EQ(Field(record.m_Model), "Stick");
}

TEST_F(UsbDescriptorTest, PortScanFailsWithoutHub) {
    const struct {
        std::string path, ioctl;
        LineList lines;
    } cases[] = {
        {R"(\\?\usb#nohub)", "{}",
         {R"(ENTER GetUSBDeviceInfo \\?\usb#nohub )" + kStickId, R"(ENTER CreateFileForDevice \\?\usb#nohub)",
          "ERROR CreateFileForDevice INVALID_HANDLE_VALUE 2", "LEAVE CreateFileForDevice ", "ERROR GetUSBDeviceInfo 2",
          "LEAVE GetUSBDeviceInfo"}},
        {kHubPath, R"({"0x220408": {"error": 31}})",
         {"ENTER GetUSBDeviceInfo " + kHubPath + " " + kStickId, "ENTER CreateFileForDevice " + kHubPath,
          "LEAVE CreateFileForDevice ", "ENTER GetUsbHubNumberOfPorts", "ERROR GetUsbHubNumberOfPorts 31",
          "LEAVE GetUsbHubNumberOfPorts", "ERROR GetUsbHubNumberOfPorts GetUsbHubNumberOfPorts", "LEAVE GetUSBDeviceInfo"}},
    };
    for (const auto &c : cases) {
        Load(Machine(DefaultHub(), c.ioctl));
        CDeviceInfo record;
        WString hubPath = wstr::FromUtf8(c.path), wanted = wstr::FromUtf8(kStickId);
        EXPECT_FALSE(record.GetUSBDeviceInfo(hubPath.c_str(), wanted.c_str()));
        EXPECT_EQ(Lines(), c.lines);
    }
}

// The storage stick from its open disk handle (0x100) to its strings.
LineList UseLines(const LineList &strings) {
    const LineList number = {"ENTER GetDeviceNumber", "INFO GetDeviceNumber 1", "LEAVE GetDeviceNumber"};
    return Join({{"ENTER UseUSBDeviceInfo 00000100", "ENTER GetUSBDevicePath 00000100", "ENTER GetDevicePath"}, number,
                 number, {"INFO GetDevicePath " + kDiskPath, "LEAVE GetDevicePath", "ENTER GetUSBDeviceHubPath 4"},
                 IdLines(kDiskId), IdLines(kStickId), HubProbeLines(kStickId), IdLines(kHubId),
                 HubProbeLines(kHubId, kHubPath),
                 {"INFO GetUSBDeviceHubPath lpszDeviceHubPath " + kHubPath, "LEAVE GetUSBDeviceHubPath",
                  "INFO GetUSBDevicePath lpszInstancePath " + kStickId, "INFO GetUSBDevicePath lpszDeviceHubPath " + kHubPath,
                  "LEAVE GetUSBDevicePath", "INFO UseUSBDeviceInfo lpszDevicePath " + kDiskPath,
                  "INFO UseUSBDeviceInfo lpszInstancePath " + kStickId, "INFO UseUSBDeviceInfo lpszDeviceHubPath " + kHubPath,
                  "INFO UseUSBDeviceInfo m_DeviceID 1", "INFO UseUSBDeviceInfo m_Type 257",
                  "INFO UseUSBDeviceInfo m_bRemovable 1"},
                 strings, number, {"INFO UseUSBDeviceInfo m_DeviceID 1", "LEAVE UseUSBDeviceInfo"}});
}

TEST_F(UsbDescriptorTest, UsbStorageFromItsHub) {
    const LineList scanHead = {"ENTER GetUSBDeviceInfo " + kHubPath + " " + kStickId, "ENTER CreateFileForDevice " + kHubPath,
                            "LEAVE CreateFileForDevice ", "ENTER GetUsbHubNumberOfPorts", "INFO GetUsbHubNumberOfPorts 3",
                            "LEAVE GetUsbHubNumberOfPorts", "INFO GetUsbHubNumberOfPorts GetUsbHubNumberOfPorts 3"};
    const struct {
        const char *name;
        std::string stickPort;
        LineList strings;
        std::string serial, model;
    } cases[] = {
        {"strings from the hub", StickPort(3),
         Join({scanHead, PortLines(false), kComposite, kStick, kLanguages,
               {"INFO GetUSBDeviceInfo m_Serial 0123456789", "INFO GetUSBDeviceInfo m_Manufacturer ACME",
                "INFO GetUSBDeviceInfo m_Model Stick", "INFO GetUSBDeviceInfo bFilledInfo 1", "LEAVE GetUSBDeviceInfo"}}),
         "0123456789", "Stick"},
        // No strings from the hub: the storage descriptor's are used.
        {"storage descriptor fallback", StickPort(3, R"("iProduct": 0)"),
         Join({scanHead, PortLines(false), kComposite, kStick,
               {"INFO GetUSBDeviceInfo bFilledInfo 0", "LEAVE GetUSBDeviceInfo", "ENTER UseStorageDeviceProperty 00000100",
                "INFO UseStorageDeviceProperty m_Serial 0123456789", "INFO UseStorageDeviceProperty m_Manufacturer ACME",
                "INFO UseStorageDeviceProperty m_Model Stick", "INFO UseStorageDeviceProperty m_Version 1.00",
                "LEAVE UseStorageDeviceProperty"}}),
         "0123456789", "Stick"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Load(Machine(DefaultHub(c.stickPort)));
        CAutoFreeHandle disk(Open(kDiskPath));
        CDeviceInfo record;
        EXPECT_TRUE(record.UseUSBDeviceInfo(disk.Get(), &guids::kDevInterfaceDisk));
        EXPECT_EQ(Lines(), UseLines(c.strings));
        EXPECT_EQ(record.m_Type.Get(), REMOVABLE_STORAGE_DEVICE);
        EXPECT_EQ(record.m_bRemovable, kTriYes);
        EXPECT_EQ(record.m_DeviceID.Get(), 1u);
        EXPECT_EQ(Field(record.m_Serial), c.serial);
        EXPECT_EQ(Field(record.m_Model), c.model);
        EXPECT_EQ(record.m_HubDevInst, 2u);
        EXPECT_EQ(record.m_HubChildDevInst, 3u);
    }
}

TEST_F(UsbDescriptorTest, UsbStorageWithoutHubFails) {
    Load(Machine(DefaultHub()));
    CAutoFreeHandle disk(Open(kLoneDiskPath));
    CDeviceInfo record;
    EXPECT_FALSE(record.UseUSBDeviceInfo(disk.Get(), &guids::kDevInterfaceDisk));
    auto number = [](int n) {
        return LineList{"ENTER GetDeviceNumber", std::string("INFO GetDeviceNumber ") + std::to_string(n), "LEAVE GetDeviceNumber"};
    };
    EXPECT_EQ(Lines(), Join({{"ENTER UseUSBDeviceInfo 00000100", "ENTER GetUSBDevicePath 00000100", "ENTER GetDevicePath"},
                             number(2), number(1), number(2),
                             {"INFO GetDevicePath " + kLoneDiskPath, "LEAVE GetDevicePath", "ENTER GetUSBDeviceHubPath 9"},
                             IdLines(kLoneDiskId), IdLines(kLegacyId), HubProbeLines(kLegacyId), IdLines(kHtreeId),
                             HubProbeLines(kHtreeId),
                             {"ERROR GetUSBDeviceHubPath CM_Get_Parent", "LEAVE GetUSBDeviceHubPath",
                              "ERROR GetUSBDevicePath GetUSBDeviceHubPath", "LEAVE GetUSBDevicePath",
                              "ERROR UseUSBDeviceInfo GetUSBDevicePath", "LEAVE UseUSBDeviceInfo"}}));
    EXPECT_FALSE(record.m_Type.IsSet());
    EXPECT_EQ(record.m_bRemovable, kTriUnknown);
}

}  // namespace
