#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "device/DeviceInfo.h"
#include "platform/api.h"
#include "tests/device/DeviceLines.h"
#include "tests/support/Harness.h"

using namespace device_test;

namespace {

constexpr const char *kDiskPath = R"(\\?\ide#disksamsung#5&1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b})";
constexpr const char *kCdromPath = R"(\\?\ide#cdromhl#5&2#{53f56308-b6bf-11d0-94f2-00a0c91efb8b})";

// A fixed disk and a CD-ROM drive that share the device number 1.
constexpr const char *kDrives = R"({
  "devices": [
    {"id": "IDE\\DISKSAMSUNG\\5&1", "class": "{4D36E967-E325-11CE-BFC1-08002BE10318}",
     "interfaces": [{"class": "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}",
                     "path": "\\\\?\\ide#disksamsung#5&1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}",
                     "object": "\\Device\\Harddisk1\\DR1"}]},
    {"id": "IDE\\CDROMHL\\5&2", "class": "{4D36E965-E325-11CE-BFC1-08002BE10318}",
     "interfaces": [{"class": "{53F56308-B6BF-11D0-94F2-00A0C91EFB8B}",
                     "path": "\\\\?\\ide#cdromhl#5&2#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}",
                     "object": "\\Device\\CdRom0"}]}
  ],
  "objects": [
    {"name": "\\Device\\Harddisk1\\DR1", "device_number": {"type": 7, "number": 1, "partition": 2},
     "media_types": [{"media_type": 12, "cylinders": 1000, "tracks_per_cylinder": 255,
                      "sectors_per_track": 63, "bytes_per_sector": 512, "sides": 1, "characteristics": 0}]},
    {"name": "\\Device\\CdRom0", "device_number": {"type": 2, "number": 1, "partition": 0}},
    {"name": "\\Device\\Harddisk3\\DR3", "aliases": ["\\\\.\\PhysicalDrive3"],
     "device_number": {"type": 7, "number": 3, "partition": 0}},
    {"name": "\\Device\\Broken", "aliases": ["\\\\.\\Broken"], "device_number": {"error": 50}}
  ]
})";

LineList NumberInfoLines(uint32_t number, uint32_t type, uint32_t partition) {
    return {"INFO UseDriveInfo HANDLE devNum " + std::to_string(number),
            "INFO UseDriveInfo HANDLE DevNumber.DeviceNumber " + std::to_string(number),
            "INFO UseDriveInfo HANDLE DevNumber.DeviceType " + std::to_string(type),
            "INFO UseDriveInfo HANDLE DevNumber.PartitionNumber " + std::to_string(partition)};
}

class UseDriveInfoHandleTest : public MachineTest {
protected:
    void SetUp() override { Load(kDrives); }
    // Opens `path`, classifies the handle and closes it again.
    bool Classify(const std::string &path) {
        WString wide = Wide(path);
        HANDLE h = api::CreateFileW(wide.c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << path;
        bool result = m_record.UseDriveInfo(h);
        api::CloseHandle(h);
        return result;
    }
    CDeviceInfo m_record;
};

TEST_F(UseDriveInfoHandleTest, NullHandleIsRefused) {
    EXPECT_FALSE(m_record.UseDriveInfo(static_cast<HANDLE>(nullptr)));
    EXPECT_EQ(m_record.m_Type.Get(), UNKNOWN_DEVICE);
    EXPECT_EQ(Lines(), (LineList{"ENTER UseDriveInfo HANDLE", "ERROR UseDriveInfo invalid parameter",
                                 "LEAVE UseDriveInfo HANDLE"}));
    EXPECT_EQ(sim::CountCalls("DeviceIoControl"), 0u);
}

TEST_F(UseDriveInfoHandleTest, HandleWithoutDeviceNumberFails) {
    EXPECT_FALSE(Classify(R"(\\.\Broken)"));
    EXPECT_EQ(m_record.m_Type.Get(), UNKNOWN_DEVICE);
    EXPECT_EQ(Lines(), (LineList{"ENTER UseDriveInfo HANDLE", "ENTER GetDeviceNumber", "ERROR GetDeviceNumber 50",
                                 "LEAVE GetDeviceNumber", "ERROR UseDriveInfo GetDeviceNumber",
                                 "LEAVE UseDriveInfo HANDLE"}));
}

TEST_F(UseDriveInfoHandleTest, DeviceNumberMatchingNoInterfaceFails) {
    EXPECT_FALSE(Classify(R"(\\.\PhysicalDrive3)"));
    EXPECT_TRUE(m_record.m_UniqueDeviceID.empty());
    EXPECT_EQ(Lines(), Expect()("ENTER UseDriveInfo HANDLE")(NumberLines(3))(NumberInfoLines(3, 7, 0))(
                           "ENTER GetDevicePath")(NumberLines(3))(NumberLines(1))("ERROR GetDevicePath not found")(
                           "LEAVE GetDevicePath")("ERROR UseDriveInfo GetDevicePath")("LEAVE UseDriveInfo HANDLE")
                           .lines());
}

TEST_F(UseDriveInfoHandleTest, FixedDiskIsIdentifiedDispatchedAndDumped) {
    ASSERT_TRUE(Classify(kDiskPath));
    EXPECT_EQ(m_record.m_Type.Get(), HDD_DEVICE);
    EXPECT_EQ(Narrow(m_record.m_UniqueDeviceID), R"(IDE\DISKSAMSUNG\5&1)");

    LineList lines = Lines();
    const LineList head = Expect()("ENTER UseDriveInfo HANDLE")(NumberLines(1))(NumberInfoLines(1, 7, 2))(
        "ENTER GetDevicePath")(NumberLines(1))(NumberLines(1))(std::string("INFO GetDevicePath ") + kDiskPath)(
        "LEAVE GetDevicePath")(std::string("INFO UseDriveInfo HANDLE GetDevicePath ") + kDiskPath)(
        "INFO UseDriveInfo HANDLE DevInst 1")("ENTER SetUniqueDeviceId")(IdLines(R"(IDE\DISKSAMSUNG\5&1)"))(
        "LEAVE SetUniqueDeviceId")("ENTER UseDiskDriveInfo 00000100");
    ASSERT_GT(lines.size(), head.size() + 14);
    EXPECT_EQ(LineList(lines.begin(), lines.begin() + head.size()), head);

    DumpValues dump;
    dump.type = 0, dump.storage = true, dump.uniqueId = R"(IDE\DISKSAMSUNG\5&1)";
    dump.manufacturer = Narrow(m_record.m_Manufacturer.Text());
    dump.model = Narrow(m_record.m_Model.Text());
    dump.version = Narrow(m_record.m_Version.Text());
    dump.serial = Narrow(m_record.m_Serial.Text());
    dump.mediaSize = m_record.m_MediaSize.IsSet() ? m_record.m_MediaSize.Get() : -1;
    dump.deviceId = m_record.m_DeviceID.IsSet() ? m_record.m_DeviceID.Get() : 0xFFFFFFFFu;
    dump.removable = m_record.m_bBootDrive ? 0 : m_record.m_bRemovable;
    const LineList tail = Expect()("INFO UseDriveInfo HANDLE DUMP")(DumpLines(dump))(
        std::string("\t m_bootDrive ") + (m_record.m_bBootDrive ? "1" : "0"))("LEAVE UseDriveInfo HANDLE");
    EXPECT_EQ(LineList(lines.end() - static_cast<long>(tail.size()), lines.end()), tail);
    EXPECT_EQ(CountContaining(lines, "INFO UseDriveInfo HANDLE DUMP"), 1u);
}

TEST_F(UseDriveInfoHandleTest, CdromIsLookedUpAmongCdromInterfacesAndKeepsItsIdentifierOnFailure) {
    // The disk shares the number; only the CD-ROM class may be searched.
    EXPECT_FALSE(Classify(kCdromPath));
    EXPECT_EQ(Narrow(m_record.m_UniqueDeviceID), R"(IDE\CDROMHL\5&2)");

    LineList lines = Lines();
    const LineList head = Expect()("ENTER UseDriveInfo HANDLE")(NumberLines(1))(NumberInfoLines(1, 2, 0))(
        "ENTER GetDevicePath")(NumberLines(1))(NumberLines(1))(std::string("INFO GetDevicePath ") + kCdromPath)(
        "LEAVE GetDevicePath")(std::string("INFO UseDriveInfo HANDLE GetDevicePath ") + kCdromPath)(
        "INFO UseDriveInfo HANDLE DevInst 2")("ENTER SetUniqueDeviceId")(IdLines(R"(IDE\CDROMHL\5&2)"))(
        "LEAVE SetUniqueDeviceId")("ENTER UseDiskDriveInfo 00000100");
    ASSERT_GT(lines.size(), head.size() + 2);
    EXPECT_EQ(LineList(lines.begin(), lines.begin() + head.size()), head);
    // No media answer and no USB path: the dispatch fails, and nothing is dumped.
    EXPECT_EQ(LineList(lines.end() - 2, lines.end()),
              (LineList{"ERROR UseDriveInfo UseDiskDriveInfo", "LEAVE UseDriveInfo HANDLE"}));
    EXPECT_EQ(CountContaining(lines, "DUMP"), 0u);
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

TEST_F(UseDriveInfoHandleTest, InterfaceClassFollowsTheDeviceType) {
    const char *usb = "a5dcbf10-6530-11d2-901f-00c04fb951ed";
    const char *cdrom = "53f56308-b6bf-11d0-94f2-00a0c91efb8b";
    const char *disk = "53f56307-b6bf-11d0-94f2-00a0c91efb8b";
    struct Case {
        int deviceType;
        const char *interfaceClass;
    } cases[] = {{0, usb}, {1, usb}, {2, cdrom}, {3, cdrom}, {7, disk}, {8, usb}, {0x2D, usb}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.deviceType);
        Load(R"({"objects": [{"name": "\\Device\\X", "aliases": ["\\\\.\\X"],
                 "device_number": {"type": )" +
             std::to_string(c.deviceType) + R"(, "number": 9, "partition": 0}}]})");
        CDeviceInfo record;
        WString path = WS("\\\\.\\X");
        HANDLE h = api::CreateFileW(path.c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_FALSE(record.UseDriveInfo(h));
        api::CloseHandle(h);
        size_t sets = 0;
        for (const sim::Call &call : sim::Calls()) {
            if (call.op != "SetupDiGetClassDevsW") continue;
            ++sets;
            EXPECT_NE(Lower(call.target).find(c.interfaceClass), std::string::npos) << call.target;
        }
        EXPECT_EQ(sets, 1u);
        LineList lines = Lines();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2], "ERROR UseDriveInfo GetDevicePath");
    }
}

}  // namespace
