#include "storage/DiskMapping.h"
#include "tests/storage/StorageFixture.h"

namespace {

using namespace storage_test;

constexpr const char *kPathLost = "\\\\?\\scsi#disk&ven_lost#1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr const char *kPathA = "\\\\?\\scsi#disk&ven_a#1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

std::string Device(const char *id, const char *cls, const char *path, const char *object) {
    std::string iface = R"({"class": )" + Json(cls) + R"(, "path": )" + Json(path);
    if (object != nullptr) iface += R"(, "object": )" + Json(object);
    return R"({"id": )" + Json(id) + R"(, "interfaces": [)" + iface + "}]}";
}

// DEVINST 1: a disk whose interface will not open; 2 (read-only) and 3: disks
// that both report number 1; 4: a CD-ROM drive reporting number 1 too; 5: the
// probe the test opens, reporting `probeNumber`, in no storage class.
std::string MappingMachine(const std::string &probeNumber) {
    return "{\"devices\": [" + Device("SCSI\\DISK&VEN_LOST\\1", kDiskClass, kPathLost, nullptr) + ", " +
           Device("SCSI\\DISK&VEN_A\\1", kDiskClass, kPathA, "\\Device\\DiskA") + ", " +
           Device("SCSI\\DISK&VEN_B\\1", kDiskClass, "\\\\?\\scsi#disk&ven_b#1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}",
                  "\\Device\\DiskB") + ", " +
           Device("IDE\\CDROM\\1", kCdromClass, "\\\\?\\ide#cdrom#1#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}",
                  "\\Device\\CdRom0") + ", " +
           Device("ROOT\\PROBE\\0", "{00000000-0000-0000-0000-000000000001}", kDiskPath, "\\Device\\Probe") +
           R"(], "objects": [
        {"name": "\\Device\\DiskA", "read_only": true, "device_number": {"type": 7, "number": 1, "partition": 0}},
        {"name": "\\Device\\DiskB", "device_number": {"type": 7, "number": 1, "partition": 5}},
        {"name": "\\Device\\CdRom0", "device_number": {"type": 2, "number": 1}},
        {"name": "\\Device\\Probe", "device_number": )" + probeNumber + "}]}";
}

class DiskMappingTest : public StorageTest {};

TEST_F(DiskMappingTest, DeviceTypeChoosesTheInterfaceClass) {
    const struct {
        const char *number;
        DEVINST node;  // 0: not found
    } cases[] = {
        {R"({"type": 7, "number": 1, "partition": 5})", 2},
        {R"({"type": 2, "number": 1})", 4},
        {R"({"type": 3, "number": 1})", 4},
        {R"({"type": 7, "number": 9})", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.number);
        HANDLE h = LoadAndOpen(MappingMachine(c.number));
        DEVINST node = 0xABCD;
        EXPECT_EQ(GetDevInstFromHandle(h, &node), c.node != 0);
        EXPECT_EQ(node, c.node != 0 ? c.node : 0xABCDu) << "written only on success";
    }
}

TEST_F(DiskMappingTest, FirstMatchWinsAfterSkippingAnInterfaceThatWillNotOpen) {
    HANDLE h = LoadAndOpen(MappingMachine(R"({"type": 7, "number": 1})"));
    DEVINST node = 0;
    EXPECT_TRUE(GetDevInstFromHandle(h, &node));
    EXPECT_EQ(Lines(),
              (Lines_t{"ENTER GetDevInstFromHandle 00000100", "ENTER GetDiskDevInstFromDiskNumber ",
                       "ENTER GetDevInstFromDiskNumber ", std::string("ENTER CreateFileForDevice ") + kPathLost,
                       "ERROR CreateFileForDevice INVALID_HANDLE_VALUE 2", "LEAVE CreateFileForDevice ",
                       std::string("ENTER CreateFileForDevice ") + kPathA, "LEAVE CreateFileForDevice ",
                       "INFO GetDevInstFromDiskNumber DevInst 2", "LEAVE GetDevInstFromDiskNumber ",
                       "INFO GetDiskDevInstFromDiskNumber DevInst 2", "LEAVE GetDiskDevInstFromDiskNumber ",
                       "INFO GetDevInstFromHandle DevInst 2", "LEAVE GetDevInstFromHandle "}));
    // Read-write first, then read-only: twice for each of the first two interfaces.
    EXPECT_EQ(sim::CountCalls("CreateFileW"), 4u);
}

TEST_F(DiskMappingTest, OtherDeviceTypesAreRefusedWithTheirNumber) {
    HANDLE h = LoadAndOpen(MappingMachine(R"({"type": 31, "number": 1})"));
    DEVINST node = 0;
    EXPECT_FALSE(GetDevInstFromHandle(h, &node));
    EXPECT_EQ(Lines(), (Lines_t{"ENTER GetDevInstFromHandle 00000100", "ENTER GetDiskDevInstFromDiskNumber ",
                                "ERROR GetDiskDevInstFromDiskNumber invalid  sdn.DeviceType 31",
                                "LEAVE GetDiskDevInstFromDiskNumber ",
                                "ERROR GetDevInstFromHandle GetDiskDevInstFromDiskNumber", "LEAVE GetDevInstFromHandle "}));
    EXPECT_EQ(sim::CountCalls("SetupDiGetClassDevsW"), 0u);
}

}  // namespace
