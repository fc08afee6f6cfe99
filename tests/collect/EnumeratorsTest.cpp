#include <climits>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "collect/Enumerators.h"
#include "platform/api.h"
#include "platform/guids.h"
#include "tests/support/Harness.h"

namespace {

using LineList = std::vector<std::string>;
using DevinstArray = CArray<DEVINST, const DEVINST &>;

// ---- CArray growth ----------------------------------------------------------

struct GrowthCase {
    const char *name;
    int32_t filledTo;  // SetSize on an empty array: a block of exactly this many
    int32_t adds;
    std::vector<int32_t> capacities;  // after each Add
};

class ArrayGrowthTest : public ::testing::TestWithParam<GrowthCase> {};

TEST_P(ArrayGrowthTest, CapacityAfterEachAdd) {
    const GrowthCase &c = GetParam();
    DevinstArray array;
    if (c.filledTo > 0) {
        array.SetSize(c.filledTo);
        ASSERT_EQ(array.m_nCapacity, c.filledTo);
        for (int32_t i = 0; i < c.filledTo; ++i) array[i] = static_cast<DEVINST>(i + 1);
    }
    std::vector<int32_t> capacities;
    for (int32_t i = 0; i < c.adds; ++i) {
        EXPECT_EQ(array.Add(0xAB000000u + static_cast<DEVINST>(i)), c.filledTo + i);
        capacities.push_back(array.m_nCapacity);
    }
    EXPECT_EQ(capacities, c.capacities);
    ASSERT_EQ(array.GetSize(), c.filledTo + c.adds);
    // Growth keeps what was there.
    for (int32_t i = 0; i < c.filledTo; ++i) ASSERT_EQ(array[i], static_cast<DEVINST>(i + 1));
    for (int32_t i = 0; i < c.adds; ++i) ASSERT_EQ(array[c.filledTo + i], 0xAB000000u + static_cast<DEVINST>(i));
}

INSTANTIATE_TEST_SUITE_P(Table, ArrayGrowthTest,
                         ::testing::Values(GrowthCase{"FromEmpty", 0, 11, {1, 5, 5, 5, 5, 9, 9, 9, 9, 13, 13}},
                                           GrowthCase{"Full80", 80, 2, {90, 90}},
                                           GrowthCase{"Full8192", 8192, 1, {9216}},
                                           GrowthCase{"Full16384", 16384, 1, {17408}},
                                           GrowthCase{"Full20", 20, 3, {24, 24, 24}}),
                         [](const ::testing::TestParamInfo<GrowthCase> &info) { return std::string(info.param.name); });

TEST(ArrayTest, SetSizeRules) {
    DevinstArray array;
    array.SetSize(3);
    for (int32_t i = 0; i < 3; ++i) array[i] = 7;
    // A jump beyond capacity plus step takes exactly the size asked for.
    array.SetSize(40);
    EXPECT_EQ(array.m_nCapacity, 40);
    EXPECT_EQ(array[2], 7u);
    EXPECT_EQ(array[3], 0u);
    // Shrinking keeps the block; growing back within it zeroes the re-exposed elements.
    array[30] = 9;
    array.SetSize(10);
    EXPECT_EQ(array.m_nCapacity, 40);
    EXPECT_EQ(array.GetSize(), 10);
    array.SetSize(35);
    EXPECT_EQ(array[30], 0u);
    EXPECT_EQ(array[2], 7u);
    array.SetSize(0);
    EXPECT_EQ(array.m_pItems, nullptr);
    EXPECT_EQ(array.m_nCapacity, 0);
    EXPECT_EQ(array.GetSize(), 0);
}

TEST(ArrayTest, ImpossibleSizesThrow) {
    DevinstArray array;
    EXPECT_THROW(array.SetSize(-1), std::bad_alloc);
    array.m_nCount = INT32_MAX;  // no block: Add must refuse before touching memory
    EXPECT_THROW(array.Add(1), std::bad_alloc);
    array.m_nCount = 0;
}

// ---- The walk ------------------------------------------------------------

constexpr const char *kStorageMachine = R"({"devices": [
    {"id": "SCSI\\DISK\\A", "interfaces": [
        {"class": "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}", "path": "\\\\?\\a#1"},
        {"class": "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}", "path": "\\\\?\\a#2"}]},
    {"id": "IDE\\CDROM\\B", "interfaces": [
        {"class": "{53F56308-B6BF-11D0-94F2-00A0C91EFB8B}", "path": "\\\\?\\b#1"}]},
    {"id": "SCSI\\DISK\\C", "interfaces": [
        {"class": "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}", "path": "\\\\?\\c#1", "present": false},
        {"class": "{53F56308-B6BF-11D0-94F2-00A0C91EFB8B}", "path": "\\\\?\\c#2"}]},
    {"id": "SCSI\\DISK\\D", "interfaces": [
        {"class": "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}", "path": "\\\\?\\d#1"}]}]})";

std::vector<DEVINST> Nodes(const CArray<DEVINST, const DEVINST &> &array) {
    std::vector<DEVINST> out;
    for (int32_t i = 0; i < array.GetSize(); ++i) out.push_back(array[i]);
    return out;
}

class EnumeratorTest : public MachineTest {};

TEST_F(EnumeratorTest, ByInterfaceListsOneNodePerInterface) {
    Load(kStorageMachine);
    CDeviceEnumeratorByInterface disks(&guids::kDevInterfaceDisk);
    EXPECT_TRUE(disks.Enumerate());
    EXPECT_EQ(Nodes(disks.m_Devices), (std::vector<DEVINST>{1, 1, 4}));
    EXPECT_EQ(Lines(), (LineList{"ENTER ProcessDevice ", "LEAVE ProcessDevice 1"}));
    // A second run starts from an empty array.
    EXPECT_TRUE(disks.Enumerate());
    EXPECT_EQ(Nodes(disks.m_Devices), (std::vector<DEVINST>{1, 1, 4}));
}

TEST_F(EnumeratorTest, StorageListsDisksThenCdroms) {
    Load(kStorageMachine);
    CStorageDeviceEnumerator storage;
    EXPECT_TRUE(storage.Enumerate());
    EXPECT_EQ(Nodes(storage.m_Devices), (std::vector<DEVINST>{1, 1, 4, 2, 3}));
    EXPECT_EQ(Lines(), (LineList{"ENTER ProcessDevice ", "LEAVE ProcessDevice 1", "ENTER ProcessDevice ",
                                 "LEAVE ProcessDevice 1"}));
}

TEST_F(EnumeratorTest, RefusedSetIsNotAFailure) {
    Load(R"({"class_errors": {"{53F56308-B6BF-11D0-94F2-00A0C91EFB8B}": 5}, "devices": [
        {"id": "SCSI\\DISK\\A", "interfaces": [
            {"class": "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}", "path": "\\\\?\\a#1"}]}]})");
    CStorageDeviceEnumerator storage;
    EXPECT_TRUE(storage.Enumerate());
    EXPECT_EQ(Nodes(storage.m_Devices), (std::vector<DEVINST>{1}));
    EXPECT_EQ(Lines(), (LineList{"ENTER ProcessDevice ", "LEAVE ProcessDevice 1", "ENTER ProcessDevice ",
                                 "ERROR ProcessDevice SetupDiGetClassDevs 5", "LEAVE ProcessDevice 1"}));
}

// A hooked disk whose kernel device cannot be opened: the record is dropped
// and both its own and the walk's closing lines end in 0.
TEST_F(EnumeratorTest, HookedDiskWithoutKernelDevice) {
    Load(R"({"windows_directory": null,
      "devices": [{"id": "SCSI\\DISK\\A", "interfaces": [
        {"class": "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}", "path": "\\\\?\\a#disk"},
        {"class": "{E768C1E7-986A-404D-BBF3-748B5DCE914A}", "path": "\\\\?\\a#hook", "object": "\\Device\\Harddisk0\\DR0"}]}],
      "objects": [{"name": "\\Device\\Harddisk0\\DR0", "mountdev_name": "\\Device\\Gone0"}]})");
    CRemovableDeviceEnumerator removable;
    EXPECT_FALSE(removable.Enumerate());
    EXPECT_EQ(removable.m_Devices.GetSize(), 0);
    EXPECT_EQ(Lines(),
              (LineList{"ENTER GetSystemDeviceInfo", "ERROR GetSystemDeviceInfo GetWindowsDirectory 2",
                        "LEAVE GetSystemDeviceInfo", "ENTER ProcessDevice ", "LEAVE ProcessDevice 1",
                        "ENTER ProcessDevice ", "LEAVE ProcessDevice 1", "ENTER ProcessDevice ",
                        "ENTER ProcessDevice \\\\?\\a#hook", "ENTER GetDeviceHandle ",
                        "INFO GetDeviceHandle pPdo \\\\?\\a#hook", "LEAVE GetDeviceHandle ",
                        "ENTER GetDeviceHandle ", "INFO GetDeviceHandle \\Device\\Gone0",
                        "ERROR GetDeviceHandle INVALID_HANDLE_VALUE -1073741772", "LEAVE GetDeviceHandle ",
                        "ERROR ProcessDevice GetDeviceHandle", "LEAVE ProcessDevice 0", "LEAVE ProcessDevice 0"}));
}

TEST_F(EnumeratorTest, NoHookedInterfaceKeepsNothing) {
    Load(R"({"windows_directory": null})");
    CRemovableDeviceEnumerator removable;
    EXPECT_TRUE(removable.Enumerate());
    EXPECT_EQ(removable.m_Devices.GetSize(), 0);
    LineList lines = Lines();
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[7], "ENTER ProcessDevice ");
    EXPECT_EQ(lines[8], "LEAVE ProcessDevice 1");
}

// ---- Kernel names and handles -----------------------------------------------

struct MountCase {
    const char *name;
    const char *objectKeys;  // keys of the object the path opens
    const char *expected;    // null: no name
    size_t requests;
    LineList middle;  // lines between the pPdo line and the LEAVE line
};

class MountDeviceNameTest : public MachineTest, public ::testing::WithParamInterface<MountCase> {};

TEST_P(MountDeviceNameTest, AsksAndClamps) {
    const MountCase &c = GetParam();
    Load(std::string(R"({"devices": [{"id": "X\\1", "interfaces": [
        {"class": "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}", "path": "\\\\?\\x", "object": "\\Device\\X"}]}],
      "objects": [{"name": "\\Device\\X")") + c.objectKeys + "}]}");
    WCHAR *name = GetMountDeviceName(WS("\\\\?\\x"));
    if (c.expected == nullptr) {
        EXPECT_EQ(name, nullptr);
    } else {
        ASSERT_NE(name, nullptr);
        EXPECT_EQ(wstr::ToUtf8(name), c.expected);
    }
    std::free(name);
    EXPECT_EQ(sim::CountIoctl(IOCTL_MOUNTDEV_QUERY_DEVICE_NAME), c.requests);
    LineList expected{"ENTER GetDeviceHandle ", "INFO GetDeviceHandle pPdo \\\\?\\x"};
    expected.insert(expected.end(), c.middle.begin(), c.middle.end());
    expected.push_back("LEAVE GetDeviceHandle ");
    EXPECT_EQ(Lines(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MountDeviceNameTest,
    ::testing::Values(
        MountCase{"AskedTwice", R"(, "mountdev_name": "\\Device\\HarddiskVolume7")", "\\Device\\HarddiskVolume7", 2,
                  {}},
        MountCase{"Refused", R"(, "mountdev_name": {"error": 50})", nullptr, 1,
                  {"ERROR GetDeviceHandle IOCTL_MOUNTDEV_QUERY_DEVICE_NAME 50"}},
        MountCase{"NotDescribed", "", nullptr, 1, {"ERROR GetDeviceHandle IOCTL_MOUNTDEV_QUERY_DEVICE_NAME 1"}},
        // Success on the 4-byte buffer with a NameLength far beyond it.
        MountCase{"LyingLengthClamped", R"(, "ioctl": {"0x4D0008": {"bytes": "00014100"}})", "A", 1, {}},
        // MORE_DATA with a length of 0: nothing to ask again for.
        MountCase{"ZeroLengthMoreData", R"(, "ioctl": {"0x4D0008": {"bytes": "00000000", "error": 234}})", nullptr, 1,
                  {"ERROR GetDeviceHandle IOCTL_MOUNTDEV_QUERY_DEVICE_NAME 234"}},
        // The second answer still claims more than the larger buffer holds.
        MountCase{"SecondAnswerStillShort", R"(, "ioctl": {"0x4D0008": {"bytes": "0600410042004300", "error": 234}})",
                  nullptr, 2, {"ERROR GetDeviceHandle IOCTL_MOUNTDEV_QUERY_DEVICE_NAME 234"}}),
    [](const ::testing::TestParamInfo<MountCase> &info) { return std::string(info.param.name); });

class KernelHandleTest : public MachineTest {};

TEST_F(KernelHandleTest, UnopenablePathAndNullPath) {
    Load(R"({})");
    EXPECT_EQ(GetMountDeviceName(WS("\\\\?\\missing")), nullptr);
    EXPECT_EQ(GetMountDeviceName(nullptr), nullptr);
    EXPECT_EQ(Lines(), (LineList{"ENTER GetDeviceHandle ", "INFO GetDeviceHandle pPdo \\\\?\\missing",
                                 "ERROR GetDeviceHandle CreateFile 2", "LEAVE GetDeviceHandle ",
                                 "ENTER GetDeviceHandle ", "ERROR GetDeviceHandle invalid parameter ",
                                 "LEAVE GetDeviceHandle "}));
}

TEST_F(KernelHandleTest, OpensByKernelName) {
    Load(R"({"objects": [{"name": "\\Device\\Harddisk2\\DR2"},
                         {"name": "\\Device\\Locked", "open_error": "0xC0000022"}]})");
    HANDLE handle = GetDeviceHandle(WS("\\device\\harddisk2\\dr2"));
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(api::NtClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(GetDeviceHandle(WS("\\Device\\Locked")), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetDeviceHandle(nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Lines(), (LineList{"ENTER GetDeviceHandle ", "INFO GetDeviceHandle \\device\\harddisk2\\dr2",
                                 "LEAVE GetDeviceHandle ", "ENTER GetDeviceHandle ",
                                 "INFO GetDeviceHandle \\Device\\Locked",
                                 "ERROR GetDeviceHandle INVALID_HANDLE_VALUE -1073741790", "LEAVE GetDeviceHandle ",
                                 "ENTER GetDeviceHandle ", "ERROR GetDeviceHandle invalid paramter ",
                                 "LEAVE GetDeviceHandle "}));
}

}  // namespace
