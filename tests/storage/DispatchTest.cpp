#include "device/DeviceInfo.h"
#include "platform/guids.h"
#include "tests/storage/StorageFixture.h"

namespace {

using namespace storage_test;

constexpr const char *kUsbStorPath = "\\\\?\\USBSTOR#DISK&VEN_ACME#0123#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr const char *kNoHashPath = "\\\\?\\usbstordisk&ven_acme#0123#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr const char *kRemovable = R"("status": ["DN_STARTED", "DN_REMOVABLE"])";
constexpr const char *kSd = R"("sd_protocol": "{AD7536A8-D055-4C40-AA4D-96312DDB6B38}",
                              "sd_cid": "03534441424344458000000A2A0106C3")";
constexpr const char *kFixed = R"("media_types": [{"media_type": 12}])";
constexpr const char *kVendor = R"("storage_descriptor": {"product": "Reader  "})";
constexpr int kAny = -2;  // result or type not checked
constexpr int kUnset = -1;

class DispatchTest : public StorageTest {};

TEST_F(DispatchTest, TakesTheFirstBranchThatApplies) {
    const struct {
        std::string objectKeys;
        const char *deviceKeys, *path, *classText;
        const GUID *interfaceClass;
        Lines_t ownLines;  // the dispatch's INFO and ERROR lines after its handle line
        int result, type;
    } cases[] = {
        {std::string(kSd) + ", " + kVendor + R"(, "media_types": [{"media_type": 51}])", "", kDiskPath, kDiskClass,
         &guids::kDevInterfaceDisk, {"INFO UseDiskDriveInfo IsSDCard"}, 1, REMOVABLE_STORAGE_DEVICE},
        {R"("media_types": [{"media_type": 12}, {"media_type": 54}])", kRemovable, kUsbStorPath, kCdromClass,
         &guids::kDevInterfaceCdrom, {"INFO UseDiskDriveInfo IsCDROM"}, 1, CDROM_DEVICE},
        {kFixed, "", kUsbStorPath, kDiskClass, &guids::kDevInterfaceDisk, {"INFO UseDiskDriveInfo USB storage"}, kAny,
         kAny},
        {std::string(kFixed) + ", " + kVendor, "", kNoHashPath, kDiskClass, &guids::kDevInterfaceDisk,
         {"INFO UseDiskDriveInfo UseHDDInfo"}, 1, HDD_DEVICE},
        {std::string(kFixed) + ", " + kVendor, kRemovable, kDiskPath, kDiskClass, &guids::kDevInterfaceDisk,
         {"INFO UseDiskDriveInfo GUID_DEVINTERFACE_DISK"}, 1, REMOVABLE_STORAGE_DEVICE},
        // The removable filler fails without a descriptor: the fixed-disk test still runs.
        {kFixed, kRemovable, kDiskPath, kDiskClass, &guids::kDevInterfaceDisk,
         {"INFO UseDiskDriveInfo GUID_DEVINTERFACE_DISK", "INFO UseDiskDriveInfo UseHDDInfo"}, 1, HDD_DEVICE},
        {kFixed, kRemovable, kDiskPath, kDiskClass, &guids::kDevInterfaceUsbDevice, {"INFO UseDiskDriveInfo UseHDDInfo"},
         1, HDD_DEVICE},
        {R"("media_types": [])", kRemovable, kDiskPath, kCdromClass, &guids::kDevInterfaceCdrom,
         {"ERROR UseDiskDriveInfo unknown device"}, 0, kUnset},
        {"", "", kDiskPath, kDiskClass, &guids::kDevInterfaceDisk, {"ERROR UseDiskDriveInfo unknown device"}, 0, kUnset},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.objectKeys + " / " + c.deviceKeys + " / " + c.path);
        const std::string number = c.classText == kCdromClass ? R"("device_number": {"type": 2, "number": 0})"
                                                              : R"("device_number": {"type": 7, "number": 0})";
        HANDLE h = LoadAndOpen(DiskMachine(c.objectKeys.empty() ? number : number + ", " + c.objectKeys, "",
                                           c.deviceKeys, c.path, c.classText),
                               c.path);
        CDeviceInfo record;
        const bool ok = record.UseDiskDriveInfo(h, wstr::FromAscii(c.path).c_str(), c.interfaceClass);
        if (c.result != kAny) {
            EXPECT_EQ(ok, c.result == 1);
        }

        Lines_t lines = Lines(), own;
        ASSERT_GE(lines.size(), 4u);
        EXPECT_EQ(Lines_t(lines.begin(), lines.begin() + 3),
                  (Lines_t{"ENTER UseDiskDriveInfo 00000100", "INFO UseDiskDriveInfo 00000100",
                           "ENTER UseDiskDriveSizeInfo 00000100"}));
        EXPECT_EQ(lines.back(), "LEAVE UseDiskDriveInfo");
        for (const std::string &l : lines)
            if (l.rfind("INFO UseDiskDriveInfo ", 0) == 0 || (c.result != kAny && l.rfind("ERROR UseDiskDriveInfo ", 0) == 0))
                own.push_back(l);
        own.erase(own.begin());  // the handle line
        EXPECT_EQ(own, c.ownLines);
        if (c.type != kAny) {
            EXPECT_EQ(record.m_Type.IsSet() ? record.m_Type.Get() : kUnset, c.type);
        }
    }
}

TEST_F(DispatchTest, SdCardKeepsTheCardFieldsTheDescriptorLacks) {
    HANDLE h = LoadAndOpen(DiskMachine(std::string(R"("device_number": {"type": 7, "number": 2}, )") + kSd + ", " + kVendor));
    CDeviceInfo record;
    EXPECT_TRUE(record.UseDiskDriveInfo(h, wstr::FromAscii(kDiskPath).c_str(), &guids::kDevInterfaceDisk));
    EXPECT_EQ(Utf8(record.m_Manufacturer.Text()), "0x3");
    EXPECT_EQ(Utf8(record.m_Serial.Text()), "0xa2a");
    EXPECT_EQ(Utf8(record.m_Version.Text()), "8.0");
    EXPECT_EQ(Utf8(record.m_Model.Text()), "Reader");
    EXPECT_EQ(record.m_DeviceID.Get(), 2u);
    EXPECT_EQ(record.m_bRemovable, kTriYes);
}

TEST_F(DispatchTest, NullHandleIsRefused) {
    Load(DiskMachine(""));
    CDeviceInfo record;
    EXPECT_FALSE(record.UseDiskDriveInfo(nullptr, WS("\\\\?\\usbstor#x"), &guids::kDevInterfaceDisk));
    EXPECT_EQ(Lines(), (Lines_t{"ENTER UseDiskDriveInfo 00000000", "ERROR UseDiskDriveInfo error hDevice",
                                "LEAVE UseDiskDriveInfo"}));
    EXPECT_TRUE(sim::Calls().empty());
}

}  // namespace
