#include <algorithm>
#include <string>
#include <vector>

#include "collect/Passes.h"
#include "platform/api.h"
#include "platform/guids.h"
#include "tests/support/Harness.h"

namespace {

using LineList = std::vector<std::string>;

using testing_support::Utf8List;

// ---- IsDeviceOfInterest -------------------------------------------------

struct InterestCase {
    const char *name;
    GUID deviceClass;
    const WCHAR *compatibleIds;  // multi-string, or null for no list
    bool expected;
};

class DeviceOfInterestTest : public ::testing::TestWithParam<InterestCase> {};

TEST_P(DeviceOfInterestTest, FirstCompatibleIdDecides) {
    const InterestCase &c = GetParam();
    EXPECT_EQ(IsDeviceOfInterest(c.deviceClass, c.compatibleIds), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DeviceOfInterestTest,
    ::testing::Values(
        InterestCase{"UsbPrinter", guids::kDevClassUsb, WS("USB\\Class_07\0USB\\Class_07&SubClass_01\0"), true},
        InterestCase{"UsbPrinterMixedCase", guids::kDevClassUsb, WS("usb\\CLASS_07\0"), true},
        InterestCase{"UsbPrinterWithSubClass", guids::kDevClassUsb, WS("USB\\Class_07&SubClass_01\0USB\\Class_07\0"),
                     false},
        InterestCase{"UsbPrinterOnlySecond", guids::kDevClassUsb, WS("USB\\Class_03\0USB\\Class_07\0"), false},
        InterestCase{"UsbPrefixOnly", guids::kDevClassUsb, WS("USB\\Class_0\0"), false},
        InterestCase{"UsbNoList", guids::kDevClassUsb, nullptr, false},
        InterestCase{"WpdFileSystem", guids::kDevClassWpd, WS("WpdBusEnum\\FS\0"), false},
        InterestCase{"WpdDevice", guids::kDevClassWpd, WS("wpdbusenum\\fs2\0wpdbusenum\\fs\0"), true},
        InterestCase{"WpdNoList", guids::kDevClassWpd, nullptr, false},
        InterestCase{"ModemNoList", guids::kDevClassModem, nullptr, true},
        InterestCase{"DiskAnything", guids::kDevClassDiskDrive, WS("USB\\Class_03\0"), true}),
    [](const ::testing::TestParamInfo<InterestCase> &info) { return std::string(info.param.name); });

// ---- IsDevnodeStatusValid -----------------------------------------------

struct StatusCase {
    const char *name;
    const char *statusJson;  // the device's status-related keys
    bool expected;
    LineList lines;
};

class DevnodeStatusTest : public MachineTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(DevnodeStatusTest, LinesPerStatus) {
    const StatusCase &c = GetParam();
    Load(std::string(R"({"devices": [{"id": "ROOT\\X\\0000", )") + c.statusJson + "}]}");
    EXPECT_EQ(IsDevnodeStatusValid(1), c.expected);
    EXPECT_EQ(Lines(), c.lines);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DevnodeStatusTest,
    ::testing::Values(
        StatusCase{"Healthy", R"("status": ["DN_STARTED", "DN_DRIVER_LOADED"])", true,
                   {"ENTER IsDevnodeStatusValid 1", "LEAVE IsDevnodeStatusValid "}},
        StatusCase{"NotStarted", R"("status": ["DN_DRIVER_LOADED", "DN_HAS_PROBLEM"])", false,
                   {"ENTER IsDevnodeStatusValid 1", "INFO IsDevnodeStatusValid not DN_STARTED",
                    "LEAVE IsDevnodeStatusValid "}},
        StatusCase{"Problem", R"("status": ["DN_STARTED", "DN_DRIVER_LOADED", "DN_HAS_PROBLEM"], "problem": 10)",
                   false,
                   {"ENTER IsDevnodeStatusValid 1", "INFO IsDevnodeStatusValid DN_HAS_PROBLEM",
                    "LEAVE IsDevnodeStatusValid "}},
        StatusCase{"NoDriver", R"("status": 8)", false,
                   {"ENTER IsDevnodeStatusValid 1", "INFO IsDevnodeStatusValid not DN_DRIVER_LOADED",
                    "LEAVE IsDevnodeStatusValid "}},
        StatusCase{"StatusUnreadable", R"("status_error": 13)", false, {"ENTER IsDevnodeStatusValid 1"}}),
    [](const ::testing::TestParamInfo<StatusCase> &info) { return std::string(info.param.name); });

// ---- GetHandleToDevice --------------------------------------------------

class HandleToDeviceTest : public MachineTest {};

constexpr const char *kDiskInterface = "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}";

std::string TwoDisks(const char *firstInterfaces, const char *secondInterfaces) {
    return std::string(R"({"devices": [
        {"id": "SCSI\\DISK\\A", "class": "{4D36E967-E325-11CE-BFC1-08002BE10318}", "interfaces": [)") +
           firstInterfaces + R"(]},
        {"id": "SCSI\\DISK\\B", "class": "{4D36E967-E325-11CE-BFC1-08002BE10318}", "interfaces": [)" +
           secondInterfaces + R"(]}],
      "objects": [{"name": "\\Device\\Harddisk0\\DR0"}]})";
}

TEST_F(HandleToDeviceTest, NoInterfaceAtAll) {
    Load(TwoDisks("", ""));
    EXPECT_EQ(GetHandleToDevice(guids::kDevInterfaceDisk, 1), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Lines(), (LineList{"ENTER GetHandleToDevice 1", "ENTER GetDeviceId", "INFO GetDeviceId SCSI\\DISK\\A",
                              "LEAVE GetDeviceId", "ERROR GetHandleToDevice not found ", "LEAVE GetHandleToDevice"}));
}

TEST_F(HandleToDeviceTest, OnlyAnotherDeviceHasTheInterface) {
    Load(TwoDisks("", R"({"class": "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}", "path": "\\\\?\\scsi#b",
                         "object": "\\Device\\Harddisk0\\DR0"})"));
    EXPECT_EQ(GetHandleToDevice(guids::kDevInterfaceDisk, 1), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Lines(), (LineList{"ENTER GetHandleToDevice 1", "ENTER GetDeviceId", "INFO GetDeviceId SCSI\\DISK\\A",
                              "LEAVE GetDeviceId", "ENTER GetDeviceId", "INFO GetDeviceId SCSI\\DISK\\B",
                              "LEAVE GetDeviceId", "ERROR GetHandleToDevice not found ",
                              "LEAVE GetHandleToDevice"}));
    EXPECT_EQ(sim::CountCalls("CreateFileW"), 0u);
}

TEST_F(HandleToDeviceTest, MatchingInterfaceCannotBeOpened) {
    Load(TwoDisks(R"({"class": "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}", "path": "\\\\?\\scsi#a"})", ""));
    EXPECT_EQ(GetHandleToDevice(guids::kDevInterfaceDisk, 1), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Lines(), (LineList{"ENTER GetHandleToDevice 1", "ENTER GetDeviceId", "INFO GetDeviceId SCSI\\DISK\\A",
                              "LEAVE GetDeviceId", "ENTER GetDeviceId", "INFO GetDeviceId SCSI\\DISK\\A",
                              "LEAVE GetDeviceId", "ERROR GetHandleToDevice INVALID_HANDLE_VALUE 2",
                              "LEAVE GetHandleToDevice"}));
}

TEST_F(HandleToDeviceTest, OpensTheFirstMatchingInterface) {
    Load(TwoDisks(R"({"class": "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}", "path": "\\\\?\\scsi#a#1",
                      "object": "\\Device\\Harddisk0\\DR0"},
                     {"class": "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}", "path": "\\\\?\\scsi#a#2"})",
                  ""));
    HANDLE handle = GetHandleToDevice(guids::kDevInterfaceDisk, 1);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Lines().back(), "LEAVE GetHandleToDevice");
    ASSERT_EQ(sim::CountCalls("CreateFileW"), 1u);
    for (const sim::Call &call : sim::Calls()) {
        if (call.op == "CreateFileW") {
            EXPECT_EQ(call.target, "\\\\?\\scsi#a#1");
        }
    }
    api::CloseHandle(handle);
}

TEST_F(HandleToDeviceTest, UnknownNodeStopsAfterTheIdentifierRead) {
    Load(TwoDisks("", ""));
    EXPECT_EQ(GetHandleToDevice(guids::kDevInterfaceDisk, 9), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Lines(), (LineList{"ENTER GetHandleToDevice 9", "ENTER GetDeviceId", "ERROR GetDeviceId 5",
                              "LEAVE GetDeviceId"}));
    EXPECT_EQ(sim::CountCalls("SetupDiGetClassDevsW"), 0u);
}

TEST_F(HandleToDeviceTest, InterfaceSetRefused) {
    Load(std::string(R"({"class_errors": {")") + kDiskInterface + R"(": 1234},
                         "devices": [{"id": "SCSI\\DISK\\A"}]})");
    EXPECT_EQ(GetHandleToDevice(guids::kDevInterfaceDisk, 1), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Lines(), (LineList{"ENTER GetHandleToDevice 1", "ENTER GetDeviceId", "INFO GetDeviceId SCSI\\DISK\\A",
                              "LEAVE GetDeviceId", "ERROR GetHandleToDevice SetupDiGetClassDevs 1234",
                              "LEAVE GetHandleToDevice"}));
}

// ---- IsSystemDisk ---------------------------------------------------------

class SystemDiskTest : public MachineTest {};

TEST_F(SystemDiskTest, ComparesTypeAndNumberWithUnsetAsDumped) {
    Load(R"({})");
    CDeviceInfo a, b, c, unset1, unset2;
    a.m_Type.Set(REMOVABLE_STORAGE_DEVICE);
    a.m_DeviceID.Set(3);
    b.m_Type.Set(REMOVABLE_STORAGE_DEVICE);
    b.m_DeviceID.Set(3);
    c.m_Type.Set(REMOVABLE_STORAGE_DEVICE);
    c.m_DeviceID.Set(4);

    EXPECT_FALSE(IsSystemDisk(nullptr, &a));
    EXPECT_FALSE(IsSystemDisk(&a, nullptr));
    EXPECT_TRUE(Lines().empty());
    Log().StartCapture();

    EXPECT_TRUE(IsSystemDisk(&a, &b));
    EXPECT_FALSE(IsSystemDisk(&a, &c));
    EXPECT_TRUE(IsSystemDisk(&unset1, &unset2));
    EXPECT_FALSE(IsSystemDisk(&unset1, &a));
    EXPECT_EQ(Lines(), (LineList{"INFO IsSystemDisk Type: 257 257, ID: 3 3", "INFO IsSystemDisk Type: 257 257, ID: 3 4",
                              "INFO IsSystemDisk Type: -1 -1, ID: 4294967295 4294967295",
                              "INFO IsSystemDisk Type: -1 257, ID: 4294967295 3"}));
}

// ---- GetSystemDeviceInfo and the pass itself -------------------------------

class AllDevicesTest : public MachineTest {};

TEST_F(AllDevicesTest, NoWindowsDirectory) {
    Load(R"({"windows_directory": null, "windows_directory_error": 1234})");
    EXPECT_EQ(GetSystemDeviceInfo(), nullptr);
    EXPECT_EQ(Lines(), (LineList{"ENTER GetSystemDeviceInfo", "ERROR GetSystemDeviceInfo GetWindowsDirectory 1234",
                              "LEAVE GetSystemDeviceInfo"}));
}

TEST_F(AllDevicesTest, SystemVolumeCannotBeOpened) {
    Load(R"({"windows_directory": "D:\\WINNT"})");
    EXPECT_EQ(GetSystemDeviceInfo(), nullptr);
    EXPECT_EQ(Lines(), (LineList{"ENTER GetSystemDeviceInfo", "INFO GetSystemDeviceInfo Path: \\\\.\\D:",
                              "ERROR GetSystemDeviceInfo CreateFile 2", "LEAVE GetSystemDeviceInfo"}));
}

TEST_F(AllDevicesTest, DisplayNameFallsBackFromEmptyFriendlyName) {
    Load(R"({"devices": [
        {"id": "A\\1", "class": "{4D36E96D-E325-11CE-BFC1-08002BE10318}",
         "properties": {"FriendlyName": "", "DeviceDesc": "Modem A"}},
        {"id": "A\\2", "class": "{4D36E96D-E325-11CE-BFC1-08002BE10318}",
         "properties": {"FriendlyName": "Modem B friendly", "DeviceDesc": "Modem B"}},
        {"id": "A\\3", "class": "{4D36E96D-E325-11CE-BFC1-08002BE10318}"}]})");
    HDEVINFO set = api::SetupDiGetClassDevsW(&guids::kDevClassModem, nullptr, nullptr, DIGCF_PRESENT);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    std::vector<std::string> names;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD i = 0; api::SetupDiEnumDeviceInfo(set, i, &device); ++i)
        names.push_back(wstr::ToUtf8(GetDeviceDisplayName(set, &device)));
    api::SetupDiDestroyDeviceInfoList(set);
    EXPECT_EQ(names, (std::vector<std::string>{"Modem A", "Modem B friendly", ""}));
}

TEST_F(AllDevicesTest, NoDevicesGivesOnlyTheSystemDeviceLines) {
    Load(R"({"windows_directory": null})");
    EXPECT_TRUE(GetAllDeviceIDs().empty());
    EXPECT_EQ(Lines(), (LineList{"ENTER GetAllDeviceIDs", "ENTER GetSystemDeviceInfo",
                              "ERROR GetSystemDeviceInfo GetWindowsDirectory 2", "LEAVE GetSystemDeviceInfo",
                              "LEAVE GetAllDeviceIDs"}));
}

// Per-class filters and the class order; no disk drives, so no storage probing.
TEST_F(AllDevicesTest, FiltersAndClassOrder) {
    Load(R"({"windows_directory": null, "devices": [
        {"id": "USB\\PORTS\\1", "class": "{4D36E978-E325-11CE-BFC1-08002BE10318}",
         "properties": {"FriendlyName": "COM1"}},
        {"id": "USB\\PRN\\1", "class": "{36FC9E60-C465-11CF-8056-444553540000}",
         "properties": {"CompatibleIDs": ["usb\\CLASS_07", "USB\\Class_07&SubClass_01"], "DeviceDesc": "Printer"}},
        {"id": "USB\\PRN\\2", "class": "{36FC9E60-C465-11CF-8056-444553540000}",
         "properties": {"CompatibleIDs": ["USB\\Class_07&SubClass_01"]}},
        {"id": "USB\\HUB\\1", "class": "{36FC9E60-C465-11CF-8056-444553540000}"},
        {"id": "WPD\\FS\\1", "class": "{EEC5AD98-8080-425F-922A-DABF3DE3F69A}",
         "properties": {"CompatibleIDs": ["wpdbusenum\\fs"]}},
        {"id": "WPD\\PHONE\\1", "class": "{EEC5AD98-8080-425F-922A-DABF3DE3F69A}",
         "properties": {"CompatibleIDs": ["wpdbusenum\\phone"], "FriendlyName": "Phone"}},
        {"id": "MODEM\\1", "class": "{4D36E96D-E325-11CE-BFC1-08002BE10318}",
         "status": ["DN_STARTED", "DN_DRIVER_LOADED", "DN_HAS_PROBLEM"]},
        {"id": "MODEM\\2", "class": "{4D36E96D-E325-11CE-BFC1-08002BE10318}", "present": false},
        {"id": "OTHER\\1", "class": "{4D36E96C-E325-11CE-BFC1-08002BE10318}"}]})");
    EXPECT_EQ(Utf8List(GetAllDeviceIDs()),
              (std::vector<std::string>{"USB\\PRN\\1", "USB\\PORTS\\1", "WPD\\PHONE\\1"}));
    LineList lines = Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "INFO IsDevnodeStatusValid DN_HAS_PROBLEM"), 1);
    // Node 2, the printer: its compatible IDs, identifier and display name.
    LineList printer{"ENTER IsDevnodeStatusValid 2",    "LEAVE IsDevnodeStatusValid ",
                  "ENTER GetDeviceRegistryProperty 2", "LEAVE GetDeviceRegistryProperty",
                  "ENTER GetDeviceId",                "INFO GetDeviceId USB\\PRN\\1",
                  "LEAVE GetDeviceId",                "ENTER GetDeviceRegistryProperty 12",
                  "ERROR GetDeviceRegistryProperty 13", "LEAVE GetDeviceRegistryProperty",
                  "ENTER GetDeviceRegistryProperty 0", "LEAVE GetDeviceRegistryProperty"};
    EXPECT_NE(std::search(lines.begin(), lines.end(), printer.begin(), printer.end()), lines.end());
}

// A disk that cannot be opened through its disk interface stays in the list.
TEST_F(AllDevicesTest, UnopenableDiskStays) {
    Load(R"({"windows_directory": null, "devices": [
        {"id": "SCSI\\DISK\\A", "class": "{4D36E967-E325-11CE-BFC1-08002BE10318}",
         "interfaces": [{"class": "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}", "path": "\\\\?\\scsi#a"}]}]})");
    EXPECT_EQ(Utf8List(GetAllDeviceIDs()), (std::vector<std::string>{"SCSI\\DISK\\A"}));
    LineList lines = Lines();
    LineList tail{"ERROR GetHandleToDevice INVALID_HANDLE_VALUE 2", "LEAVE GetHandleToDevice",
               "ERROR IsSystemOrFixedDisk INVALID_HANDLE_VALUE 2", "INFO IsSystemOrFixedDisk not fixed ",
               "LEAVE IsSystemOrFixedDisk", "ENTER GetDeviceId"};
    EXPECT_NE(std::search(lines.begin(), lines.end(), tail.begin(), tail.end()), lines.end());
}

}  // namespace
