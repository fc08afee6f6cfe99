// Fields that the SDK types as enumerations hold whatever the device wrote.
// Under the sanitizer build, loading an out-of-range value as the enumeration
// stops the test, so these cases catch a field read the wrong way.
#include <cstdlib>

#include "device/DeviceInfo.h"
#include "platform/guids.h"
#include "storage/Queries.h"
#include "tests/storage/StorageFixture.h"

namespace {

using namespace storage_test;

class EnumFieldTest : public StorageTest {};

TEST_F(EnumFieldTest, BusTypeOutsideTheEnumerationIsJustNotFireWire) {
    std::vector<uint8_t> descriptor(40, 0);
    Put32(descriptor, 4, 40);                                                // Size
    Put32(descriptor, offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType), 0x75746C52);  // no bus type at all
    HANDLE h = LoadAndOpen(DiskMachine(R"("ioctl": {"0x2D1400": {"bytes": ")" + Hex(descriptor) + R"("}})"));
    CDeviceInfo record;
    EXPECT_TRUE(record.UseStorageDeviceProperty(h));
    EXPECT_FALSE(record.m_Type.IsSet());

    Put32(descriptor, offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType), 4);  // BusType1394
    h = LoadAndOpen(DiskMachine(R"("ioctl": {"0x2D1400": {"bytes": ")" + Hex(descriptor) + R"("}})"));
    CDeviceInfo firewire;
    EXPECT_TRUE(firewire.UseStorageDeviceProperty(h));
    ASSERT_TRUE(firewire.m_Type.IsSet());
    EXPECT_EQ(firewire.m_Type.Get(), FIREWIRE_STORAGE_DEVICE);
}

TEST_F(EnumFieldTest, MediaTypeOutsideTheEnumerationMatchesNoBranch) {
    std::vector<uint8_t> media(40, 0);
    Put32(media, 4, 1);                                                      // MediaInfoCount
    Put32(media, 8 + offsetof(DEVICE_MEDIA_INFO, DeviceSpecific.DiskInfo.MediaType), 0xFFFFFFF0);
    HANDLE h = LoadAndOpen(DiskMachine(R"("ioctl": {"0x2D0C04": {"bytes": ")" + Hex(media) + R"("}})"));
    CDeviceInfo record;
    EXPECT_FALSE(record.UseDiskDriveInfo(h, wstr::FromAscii(kDiskPath).c_str(), &guids::kDevInterfaceCdrom));
    Lines_t lines = Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "ERROR UseDiskDriveInfo unknown device");
}

}  // namespace
