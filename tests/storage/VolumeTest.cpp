#include "device/DeviceInfo.h"
#include "storage/Volume.h"
#include "tests/storage/StorageFixture.h"

namespace {

using namespace storage_test;

class VolumeTest : public StorageTest {};

TEST_F(VolumeTest, VolumeOfTheFirstLetterNamingTheDeviceExactly) {
    const struct {
        const char *top;
        bool found;
        Lines_t lines;
    } cases[] = {
        {R"("dos_devices": {"D:": "\\Device\\HarddiskVolume3", "E:": "\\Device\\Harddisk1\\DR1", "F:": "\\Device\\Harddisk1\\DR1"},
            "volumes": {"E:": {"label": "", "serial": "0000001F"}, "F:": {"label": "OTHER", "serial": "12345678"}})",
         true,
         {"INFO GetVolumeInformationForMountPoint m_bHasDWVolumeSerial 1",
          "INFO GetVolumeInformationForMountPoint m_dwVolumeSerial 31",
          "INFO GetVolumeInformationForMountPoint vSerialNumber 0000001F", "INFO GetVolumeInformationForMountPoint vName ",
          "LEAVE GetVolumeInformationForMountPoint ", "INFO GetVolumeInformationForHandle vName ",
          "INFO GetVolumeInformationForHandle vSerialNumber 0000001F", "LEAVE GetVolumeInformationForHandle "}},
        {R"("dos_devices": {"E:": "\\device\\harddisk1\\dr1"}, "volumes": {"E:": {"label": "X", "serial": "00000001"}})",
         false,
         {"ERROR GetVolumeInformationForMountPoint not found", "LEAVE GetVolumeInformationForMountPoint ",
          "ERROR GetVolumeInformationForHandle GetVolumeInformationForMountPoint", "LEAVE GetVolumeInformationForHandle "}},
        {R"("dos_devices": {"E:": "\\Device\\Harddisk1\\DR1", "F:": "\\Device\\Harddisk1\\DR1"},
            "volumes": {"E:": {"error": 21}, "F:": {"label": "X", "serial": "00000001"}})",
         false,
         {"ERROR GetVolumeInformationForMountPoint GetVolumeInformation 21", "LEAVE GetVolumeInformationForMountPoint ",
          "ERROR GetVolumeInformationForHandle GetVolumeInformationForMountPoint", "LEAVE GetVolumeInformationForHandle "}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.top);
        HANDLE h = LoadAndOpen(DiskMachine("", c.top));
        CDeviceInfo record;
        WString vName = WS("old"), vSerial = WS("old");
        EXPECT_EQ(record.GetVolumeInformationForHandle(h, vName, vSerial), c.found);
        Lines_t expected{"ENTER GetVolumeInformationForHandle 00000100", "ENTER GetObjectNameByHandle 00000100",
                         std::string("INFO GetObjectNameByHandle ") + kDiskObject, "LEAVE GetObjectNameByHandle "};
        expected.insert(expected.end(), c.lines.begin(), c.lines.end());
        EXPECT_EQ(Lines(), expected);
        EXPECT_EQ(record.m_bHasDWVolumeSerial, c.found);
        EXPECT_EQ(record.m_dwVolumeSerial, c.found ? 31u : 0u);
    }
}

TEST_F(VolumeTest, BootDriveComparesWithTheSystemDriveIgnoringCase) {
    const struct {
        const char *top;
        const char *boot;  // the flag's second line, null: none
    } cases[] = {
        {R"("dos_devices": {"C:": "\\DEVICE\\harddisk1\\dr1"})", "1"},
        {R"("dos_devices": {"C:": "\\Device\\Harddisk0\\DR0"})", "0"},
        {R"("windows_directory": null, "environment": {"SystemDrive": "D:"},
            "dos_devices": {"C:": "\\Device\\Harddisk0\\DR0", "D:": "\\Device\\Harddisk1\\DR1"})", "1"},
        {R"("windows_directory": "\\\\server\\windows", "environment": {"SystemDrive": "D:"},
            "dos_devices": {"D:": "\\Device\\Harddisk1\\DR1"})", "1"},
        {R"("windows_directory": null, "environment": {}, "dos_devices": {"C:": "\\Device\\Harddisk1\\DR1"})", nullptr},
        {R"("dos_devices": {"D:": "\\Device\\Harddisk1\\DR1"})", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.top);
        HANDLE h = LoadAndOpen(DiskMachine("", c.top));
        CDeviceInfo record;
        record.m_bBootDrive = true;
        record.CheckBootDrive(h);
        EXPECT_EQ(record.m_bBootDrive, c.boot != nullptr && c.boot[0] == '1');
        Lines_t expected{"ENTER CheckBootDrive 00000100", "INFO CheckBootDrive m_bBootDrive 0"};
        if (c.boot != nullptr)
            expected.insert(expected.end(), {"ENTER GetObjectNameByHandle 00000100",
                                             std::string("INFO GetObjectNameByHandle ") + kDiskObject,
                                             "LEAVE GetObjectNameByHandle ",
                                             std::string("INFO CheckBootDrive m_bBootDrive ") + c.boot});
        expected.push_back("LEAVE CheckBootDrive ");
        EXPECT_EQ(Lines(), expected);
    }
}

}  // namespace
