// The shipped default machine is the laptop users and tests start from: one
// run over it must walk every classification and storage branch and fill all
// three lists. The golden log pins the exact text; this names the branches, so
// an edit of the machine that loses one fails here with the branch's name.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "collect/Passes.h"
#include "tests/support/Harness.h"

namespace {

struct Branch {
    const char *what;
    const char *line;  // a whole trace line that only this branch writes
};

const Branch kBranches[] = {
    {"imaging, video subtype", "INFO SetNonStorageDeviceSubType m_SubType 1"},
    {"imaging, other subtype", "INFO SetNonStorageDeviceSubType m_SubType 0"},
    {"imaging", "LEAVE GetNonStorageDeviceType 512"},
    {"USB printer", "LEAVE GetNonStorageDeviceType 513"},
    {"Bluetooth", "LEAVE GetNonStorageDeviceType 514"},
    {"smart card reader", "LEAVE GetNonStorageDeviceType 515"},
    {"other USB device", "LEAVE GetNonStorageDeviceType 516"},
    {"modem", "LEAVE GetNonStorageDeviceType 517"},
    {"port", "LEAVE GetNonStorageDeviceType 518"},
    {"portable device", "LEAVE GetNonStorageDeviceType 519"},
    {"media", "LEAVE GetNonStorageDeviceType 520"},
    {"floppy", "LEAVE GetNonStorageDeviceType 521"},
    {"portable file-system function",
     "ENTER GetNonStorageDeviceType {eec5ad98-8080-425f-922a-dabf3de3f69a} wpdbusenum\\fs"},
    {"unknown after classification", "ERROR UseDriveInfo UNKNOWN_DEVICE"},
    {"SD card", "INFO UseDiskDriveInfo IsSDCard"},
    {"optical drive", "INFO UseDiskDriveInfo IsCDROM"},
    {"USB mass storage", "INFO UseDiskDriveInfo USB storage"},
    {"removable disk on the disk interface", "INFO UseDiskDriveInfo GUID_DEVINTERFACE_DISK"},
    {"fixed disk", "INFO UseDiskDriveInfo UseHDDInfo"},
    {"unknown storage device", "ERROR UseDiskDriveInfo unknown device"},
};

class DefaultMachineCoverageTest : public MachineTest {
protected:
    void SetUp() override {
        const std::string machine = testing_support::ReadSourceFile("machines/default.json");
        ASSERT_FALSE(machine.empty());
        Load(machine);
        m_all = GetAllDeviceIDs();
        m_legacy = GetHookedDeviceIDsLegacy();
        m_hooked = GetHookedDeviceIDs();
        m_lines = Lines();
    }

    DeviceIdList m_all, m_legacy, m_hooked;
    std::vector<std::string> m_lines;
};

TEST_F(DefaultMachineCoverageTest, EveryBranchIsWalked) {
    for (const Branch &b : kBranches) {
        EXPECT_NE(std::find(m_lines.begin(), m_lines.end(), b.line), m_lines.end())
            << "no " << b.what << " in the default machine's run (line \"" << b.line << "\")";
    }
}

TEST_F(DefaultMachineCoverageTest, AllThreeListsHoldDevices) {
    EXPECT_FALSE(m_all.empty());
    EXPECT_FALSE(m_legacy.empty());
    EXPECT_FALSE(m_hooked.empty());
}

}  // namespace
