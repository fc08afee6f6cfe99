#include <string>
#include <vector>

#include "collect/Passes.h"
#include "tests/support/Harness.h"

namespace {

using LineList = std::vector<std::string>;

using testing_support::Utf8List;

class HookedDevicesTest : public MachineTest {};

TEST_F(HookedDevicesTest, ListsEveryPresentHookedInterface) {
    Load(R"({"devices": [
        {"id": "USB\\VID_1&PID_1\\A", "interfaces": [
            {"class": "{E768C1E7-986A-404D-BBF3-748B5DCE914A}", "path": "\\\\?\\a#1"},
            {"class": "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}", "path": "\\\\?\\a#disk"},
            {"class": "{e768c1e7-986a-404d-bbf3-748b5dce914a}", "path": "\\\\?\\a#2"}]},
        {"id": "USB\\VID_2&PID_2\\B", "interfaces": [
            {"class": "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}", "path": "\\\\?\\b#disk"}]},
        {"id": "SCSI\\DISK\\C", "interfaces": [
            {"class": "{E768C1E7-986A-404D-BBF3-748B5DCE914A}", "path": "\\\\?\\c#gone", "present": false},
            {"class": "{E768C1E7-986A-404D-BBF3-748B5DCE914A}", "path": "\\\\?\\c#1"}]},
        {"id": "SCSI\\DISK\\D", "present": false, "interfaces": [
            {"class": "{E768C1E7-986A-404D-BBF3-748B5DCE914A}", "path": "\\\\?\\d#1"}]}]})");
    EXPECT_EQ(Utf8List(GetHookedDeviceIDs()),
              (std::vector<std::string>{"USB\\VID_1&PID_1\\A", "USB\\VID_1&PID_1\\A", "SCSI\\DISK\\C"}));
    EXPECT_EQ(Lines(), (LineList{"ENTER GetHookedDeviceIDs", "ENTER GetDeviceId", "INFO GetDeviceId USB\\VID_1&PID_1\\A",
                                 "LEAVE GetDeviceId", "ENTER GetDeviceId", "INFO GetDeviceId USB\\VID_1&PID_1\\A",
                                 "LEAVE GetDeviceId", "ENTER GetDeviceId", "INFO GetDeviceId SCSI\\DISK\\C",
                                 "LEAVE GetDeviceId"}));
}

TEST_F(HookedDevicesTest, NothingHooked) {
    Load(R"({"devices": [{"id": "ROOT\\X\\0"}]})");
    EXPECT_TRUE(GetHookedDeviceIDs().empty());
    EXPECT_EQ(Lines(), (LineList{"ENTER GetHookedDeviceIDs"}));
}

TEST_F(HookedDevicesTest, SetCannotBeOpened) {
    Load(R"({"class_errors": {"{E768C1E7-986A-404D-BBF3-748B5DCE914A}": "0xD"}, "devices": [
        {"id": "A\\1", "interfaces": [{"class": "{E768C1E7-986A-404D-BBF3-748B5DCE914A}", "path": "\\\\?\\a"}]}]})");
    EXPECT_TRUE(GetHookedDeviceIDs().empty());
    EXPECT_EQ(Lines(), (LineList{"ENTER GetHookedDeviceIDs", "ERROR GetHookedDeviceIDs INVALID_HANDLE_VALUE 13"}));
}

// Without cfgmgr32 no identifier can be read: each interface gets its INFO
// line and the walk goes on.
TEST_F(HookedDevicesTest, IdentifierUnreadable) {
    Load(R"({"libraries": {"cfgmgr32.dll": "missing"}, "devices": [
        {"id": "A\\1", "interfaces": [{"class": "{E768C1E7-986A-404D-BBF3-748B5DCE914A}", "path": "\\\\?\\a"}]},
        {"id": "A\\2", "interfaces": [{"class": "{E768C1E7-986A-404D-BBF3-748B5DCE914A}", "path": "\\\\?\\b"}]}]})");
    EXPECT_TRUE(GetHookedDeviceIDs().empty());
    LineList lines = Lines();
    ASSERT_EQ(lines.size(), 1u + 2 * 4);
    // The first read also loads (and fails to load) the library, which may
    // leave its own error behind; the second reports the detail query's.
    EXPECT_EQ(lines[4].rfind("INFO GetHookedDeviceIDs error obtaining device id ", 0), 0u);
    EXPECT_EQ(LineList(lines.begin() + 5, lines.end()),
              (LineList{"ENTER GetDeviceId", "ERROR GetDeviceId 32", "LEAVE GetDeviceId",
                        "INFO GetHookedDeviceIDs error obtaining device id 122"}));
}

}  // namespace
