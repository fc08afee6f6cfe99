#include <cstdlib>

#include "device/DeviceInfo.h"
#include "storage/Queries.h"
#include "tests/storage/StorageFixture.h"

namespace {

using namespace storage_test;

class QueriesTest : public StorageTest {};

TEST_F(QueriesTest, MediaTypesGiveUpAfterEightTooSmallAnswers) {
    HANDLE h = LoadAndOpen(DiskMachine(R"("ioctl": {"0x2D0C04": {"error": 122}})"));
    EXPECT_EQ(GetMediaTypes(h), nullptr);
    EXPECT_EQ(Lines(), (Lines_t{"ENTER GetMediaTypes", "LEAVE GetMediaTypes 00000000 0"}));
    std::vector<uint32_t> sizes;
    for (const sim::Call &call : sim::Calls())
        if (call.op == "DeviceIoControl" && call.code == IOCTL_STORAGE_GET_MEDIA_TYPES_EX) sizes.push_back(call.outSize);
    EXPECT_EQ(sizes, (std::vector<uint32_t>{72, 104, 168, 296, 552, 1064, 2088, 4136}));
}

TEST_F(QueriesTest, MediaTypesCountIsCutToTheEntriesWritten) {
    std::vector<uint8_t> answer(40, 0);  // one entry written, a count far beyond the block
    Put32(answer, 4, 100000);
    for (const char *returned : {"40", "12"}) {
        SCOPED_TRACE(returned);
        HANDLE h = LoadAndOpen(DiskMachine(R"("ioctl": {"0x2D0C04": {"bytes": ")" + Hex(answer) +
                                           R"(", "returned": )" + returned + "}}"));
        GET_MEDIA_TYPES *media = GetMediaTypes(h);
        ASSERT_NE(media, nullptr);
        EXPECT_EQ(media->MediaInfoCount, returned[0] == '4' ? 1u : 0u);
        std::free(media);
    }
}

TEST_F(QueriesTest, MediaSizeIsTheFirstEntryMultipliedIn64Bits) {
    const struct {
        const char *entries, *line;
    } cases[] = {
        {R"({"media_type": 12, "cylinders": 1000, "tracks_per_cylinder": 255, "sectors_per_track": 63,
             "bytes_per_sector": 512, "sides": 1}, {"media_type": 12, "cylinders": 9})",
         "INFO UseDiskDriveSizeInfo m_MediaSize 8225280000"},
        {R"({"media_type": 12, "cylinders": 1, "tracks_per_cylinder": 1, "sectors_per_track": 1,
             "bytes_per_sector": 4096, "sides": 1048576})",
         "INFO UseDiskDriveSizeInfo m_MediaSize 4294967296"},
        {R"({"media_type": 12, "cylinders": 1099511627776, "tracks_per_cylinder": 255, "sectors_per_track": 63,
             "bytes_per_sector": 512, "sides": 2})",
         "INFO UseDiskDriveSizeInfo m_MediaSize -359162070282797056"},  // wraps modulo 2^64
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        HANDLE h = LoadAndOpen(DiskMachine(std::string(R"("media_types": [)") + c.entries + "]"));
        CDeviceInfo record;
        GET_MEDIA_TYPES *media = nullptr;
        record.UseDiskDriveSizeInfo(h, &media);
        ASSERT_NE(media, nullptr);
        std::free(media);
        Lines_t lines = Lines();
        ASSERT_EQ(lines.size(), 5u);
        EXPECT_EQ(lines[3], c.line);
        EXPECT_EQ(lines[4], "LEAVE UseDiskDriveSizeInfo ");
    }
}

TEST_F(QueriesTest, DescriptorStringsLoseTrailingBlanksOnly) {
    HANDLE h = LoadAndOpen(DiskMachine(R"("storage_descriptor": {"vendor": "ACME    ", "product": "\tStick \t  ",
                                          "revision": "1.00", "serial": "  123 ", "bus_type": 7})"));
    CDeviceInfo record;
    EXPECT_TRUE(record.UseStorageDeviceProperty(h));
    EXPECT_EQ(Lines(), (Lines_t{"ENTER UseStorageDeviceProperty 00000100", "INFO UseStorageDeviceProperty m_Serial   123",
                                "INFO UseStorageDeviceProperty m_Manufacturer ACME",
                                "INFO UseStorageDeviceProperty m_Model \tStick \t",
                                "INFO UseStorageDeviceProperty m_Version 1.00", "LEAVE UseStorageDeviceProperty"}));
    EXPECT_FALSE(record.m_Type.IsSet()) << "only a 1394 bus sets the type";
}

// Raw descriptors on a 1394 bus whose vendor string "ABCDEFGH" at byte 40 has
// no NUL; filler bytes follow up to 1024.
TEST_F(QueriesTest, DescriptorStringsStayInsideSizeAndTheReturnedBytes) {
    const struct {
        uint32_t size, vendorOffset;
        const char *returned;  // null: all bytes
        bool accepted;
        const char *vendor;
    } cases[] = {
        {44, 40, nullptr, true, "ABC"},        // cut to Size - offset - 1 bytes
        {41, 40, nullptr, true, ""},           // no room but for the NUL
        {44, 44, nullptr, true, "<unset>"},    // offset at Size: untouched
        {1024, 40, "44", true, "ABC"},         // the returned count bounds the read too
        {1025, 40, nullptr, false, "<unset>"}, // larger than the buffer: rejected whole
        {44, 40, "0", false, "<unset>"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.size << "/" << c.vendorOffset);
        std::vector<uint8_t> d(1024, 'Z');
        for (size_t i = 0; i < 40; ++i) d[i] = 0;
        Put32(d, 4, c.size);
        Put32(d, 12, c.vendorOffset);
        Put32(d, 28, 4);  // BusType1394
        for (size_t i = 0; i < 8; ++i) d[40 + i] = static_cast<uint8_t>('A' + i);
        std::string raw = R"("bytes": ")" + Hex(d) + "\"";
        if (c.returned != nullptr) raw += std::string(R"(, "returned": )") + c.returned;
        HANDLE h = LoadAndOpen(DiskMachine(R"("ioctl": {"0x2D1400": {)" + raw + "}}"));
        CDeviceInfo record;
        EXPECT_EQ(record.UseStorageDeviceProperty(h), c.accepted);
        EXPECT_EQ(Utf8(record.m_Manufacturer.Text()), c.vendor);
        EXPECT_EQ(record.m_Type.IsSet(), c.accepted);
        if (!c.accepted) {
            EXPECT_EQ(Lines(), (Lines_t{"ENTER UseStorageDeviceProperty 00000100", "LEAVE UseStorageDeviceProperty"}));
        }
    }
}

TEST_F(QueriesTest, RemovableFromTheNodeOrItsParentOnly) {
    const struct {
        const char *disk, *parent, *root;
        uint8_t removable;
        const char *line;
    } cases[] = {
        {R"(["DN_REMOVABLE"])", "[]", "[]", 1, "INFO CheckRemovableFromCM m_bRemovable 1"},
        {"[]", R"(["DN_REMOVABLE"])", "[]", 1, "INFO CheckRemovableFromCM (parent) m_bRemovable 1"},
        {"[]", "[]", R"(["DN_REMOVABLE"])", 2, "LEAVE GetDevInstFromHandle "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        HANDLE h = LoadAndOpen(std::string(R"({"devices": [
            {"id": "ROOT\\HUB\\0", "status": )") + c.root + R"(},
            {"id": "USB\\VID_1&PID_2\\7", "parent": "ROOT\\HUB\\0", "status": )" + c.parent + R"(},
            {"id": "SCSI\\DISK\\1", "parent": "USB\\VID_1&PID_2\\7", "status": )" + c.disk +
                               R"(, "interfaces": [{"class": )" + Json(kDiskClass) + R"(, "path": )" +
                               Json(kDiskPath) + R"(, "object": "\\Device\\Harddisk1\\DR1"}]}],
          "objects": [{"name": "\\Device\\Harddisk1\\DR1", "device_number": {"type": 7, "number": 1}}]})");
        CDeviceInfo record;
        record.CheckRemovableFromCM(h);
        EXPECT_EQ(record.m_bRemovable, c.removable);
        Lines_t lines = Lines();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(Lines_t(lines.end() - 2, lines.end()), (Lines_t{c.line, "LEAVE CheckRemovableFromCM"}));
    }
}

}  // namespace
