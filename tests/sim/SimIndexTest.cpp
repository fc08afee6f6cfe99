// The simulator's indexed lookups answer exactly as a walk of the machine in
// file order would: first match wins, letter case ignored where documented,
// children listed before their parents, interface walks that switch class.
#include <string>
#include <vector>

#include "platform/os.h"
#include "platform/wstr.h"
#include "tests/support/Harness.h"

namespace {

// Children come before their parent, the parent's children are not adjacent,
// and one device has interfaces of two classes.
const char *const kMachine = R"({
  "devices": [
    {"id": "USB\\VID_0001&PID_0001\\A", "parent": "ROOT\\HUB\\0",
     "interfaces": [
       {"class": "{11111111-1111-1111-1111-111111111111}", "path": "\\\\?\\a#one", "object": "\\Device\\First"},
       {"class": "{22222222-2222-2222-2222-222222222222}", "path": "\\\\?\\a#two"},
       {"class": "{11111111-1111-1111-1111-111111111111}", "path": "\\\\?\\a#three", "present": false}]},
    {"id": "USBSTOR\\DISK\\B", "parent": "USB\\VID_0001&PID_0001\\A",
     "interfaces": [{"class": "{11111111-1111-1111-1111-111111111111}", "path": "\\\\?\\b#one"}]},
    {"id": "ROOT\\HUB\\0"},
    {"id": "usb\\vid_0002&pid_0002\\C", "parent": "ROOT\\HUB\\0",
     "interfaces": [{"class": "{11111111-1111-1111-1111-111111111111}", "path": "\\\\?\\C#ONE", "object": "\\Device\\Second"}]},
    {"id": "ACPI\\PNP0501\\1"},
    {"id": "USB\\VID_0001&PID_0001\\A\\SUB", "parent": "ROOT\\HUB\\0"}
  ],
  "objects": [
    {"name": "\\Device\\First", "aliases": ["\\\\.\\FirstAlias"]},
    {"name": "\\Device\\Second", "aliases": ["\\\\.\\SecondAlias"]}
  ]
})";

const GUID kOne = {0x11111111, 0x1111, 0x1111, {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11}};
const GUID kTwo = {0x22222222, 0x2222, 0x2222, {0x22, 0x22, 0x22, 0x22, 0x22, 0x22, 0x22, 0x22}};

class SimIndexTest : public MachineTest {
protected:
    void SetUp() override { Load(kMachine); }

    std::vector<DWORD> Members(HDEVINFO set) {
        std::vector<DWORD> nodes;
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof data;
        for (DWORD i = 0; api::SetupDiEnumDeviceInfo(set, i, &data); ++i) nodes.push_back(data.DevInst);
        return nodes;
    }

    // The interface path listed at `index`, or "" when the walk has ended.
    std::string InterfaceAt(HDEVINFO set, const GUID &cls, DWORD index, SP_DEVINFO_DATA *only = nullptr) {
        SP_DEVICE_INTERFACE_DATA itf{};
        itf.cbSize = sizeof itf;
        if (!api::SetupDiEnumDeviceInterfaces(set, only, &cls, index, &itf)) return "";
        return sim::Calls().back().target;
    }

    // CreateFileW through a path; the object name the handle reached, or "".
    std::string Opened(const char *path) {
        WString wide = wstr::FromUtf8(path);
        HANDLE h = api::CreateFileW(wide.c_str(), 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return "";
        DWORD returned = 0;
        char out[64];
        api::DeviceIoControl(h, 0x12345678, nullptr, 0, out, sizeof out, &returned, nullptr);
        std::string target = sim::Calls().back().target;
        api::CloseHandle(h);
        return target;
    }
};

TEST_F(SimIndexTest, TreeWalksFollowFileOrderWhereverParentsStand) {
    DEVINST node = 0;
    ASSERT_EQ(api::CM_Get_Child(&node, 3, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(node, 1u);
    ASSERT_EQ(api::CM_Get_Sibling(&node, node, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(node, 4u);
    ASSERT_EQ(api::CM_Get_Sibling(&node, node, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(node, 6u);
    EXPECT_EQ(api::CM_Get_Sibling(&node, 6, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    // Roots are siblings of each other, in file order.
    ASSERT_EQ(api::CM_Get_Sibling(&node, 3, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(node, 5u);
    EXPECT_EQ(api::CM_Get_Child(&node, 5, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    ASSERT_EQ(api::CM_Get_Child(&node, 1, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(node, 2u);
}

TEST_F(SimIndexTest, LocatingByIdIgnoresCase) {
    const struct {
        const char *id;
        DEVINST node;
    } cases[] = {
        {"USB\\VID_0002&PID_0002\\c", 4}, {"usbstor\\disk\\b", 2}, {"root\\hub\\0", 3}, {"ROOT\\HUB", 0}, {"ROOT\\HUB\\00", 0},
    };
    for (const auto &c : cases) {
        DEVINST node = 99;
        WString id = wstr::FromUtf8(c.id);
        CONFIGRET r = api::CM_Locate_DevNodeW(&node, id.data(), 0);
        EXPECT_EQ(r, c.node ? static_cast<CONFIGRET>(CR_SUCCESS) : static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE)) << c.id;
        EXPECT_EQ(node, c.node) << c.id;
    }
}

TEST_F(SimIndexTest, EnumeratorSetsTakeWholeComponentsInFileOrder) {
    HDEVINFO usb = api::SetupDiGetClassDevsW(nullptr, WS("usb"), nullptr, DIGCF_ALLCLASSES);
    ASSERT_NE(usb, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Members(usb), (std::vector<DWORD>{1, 4, 6}));  // not USBSTOR
    api::SetupDiDestroyDeviceInfoList(usb);

    // With interfaces the enumerator names one instance, or a prefix of whole
    // components: the instance A and the one below it, not C.
    HDEVINFO a = api::SetupDiGetClassDevsW(nullptr, WS("usb\\vid_0001&pid_0001\\a"), nullptr,
                                           DIGCF_ALLCLASSES | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Members(a), (std::vector<DWORD>{1}));  // SUB has no interface
    api::SetupDiDestroyDeviceInfoList(a);

    HDEVINFO none = api::SetupDiGetClassDevsW(nullptr, WS("USB\\VID_0001"), nullptr, DIGCF_ALLCLASSES);
    ASSERT_NE(none, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Members(none).empty());
    api::SetupDiDestroyDeviceInfoList(none);
}

TEST_F(SimIndexTest, InterfaceWalksStayRightWhenTheClassChangesOnOneSet) {
    HDEVINFO set = api::SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    EXPECT_EQ(InterfaceAt(set, kOne, 0), "\\\\?\\a#one");
    EXPECT_EQ(InterfaceAt(set, kOne, 2), "\\\\?\\C#ONE");
    EXPECT_EQ(InterfaceAt(set, kTwo, 0), "\\\\?\\a#two");
    EXPECT_EQ(InterfaceAt(set, kTwo, 1), "");
    EXPECT_EQ(InterfaceAt(set, kOne, 1), "\\\\?\\b#one");
    EXPECT_EQ(InterfaceAt(set, kOne, 3), "");
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

    // Restricted to one element: only that device's interfaces count.
    SP_DEVINFO_DATA c{};
    c.cbSize = sizeof c;
    ASSERT_TRUE(api::SetupDiEnumDeviceInfo(set, 2, &c));
    ASSERT_EQ(c.DevInst, 4u);
    EXPECT_EQ(InterfaceAt(set, kOne, 0, &c), "\\\\?\\C#ONE");
    EXPECT_EQ(InterfaceAt(set, kOne, 1, &c), "");
    EXPECT_EQ(InterfaceAt(set, kOne, 3), "");
    api::SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SimIndexTest, PathsNamesAndAliasesOpenTheirObject) {
    const struct {
        const char *path;
        const char *object;
    } cases[] = {
        {"\\\\?\\A#ONE", "\\Device\\First"},
        {"\\\\?\\c#one", "\\Device\\Second"},
        {"\\\\?\\a#two", ""},  // an interface without an object
        {"\\\\.\\secondalias", "\\Device\\Second"},
        {"\\\\.\\GLOBALROOT\\device\\first", "\\Device\\First"},
        {"\\Device\\Nothing", ""},
    };
    for (const auto &c : cases) EXPECT_EQ(Opened(c.path), c.object) << c.path;
}

}  // namespace
