// The simulated device installation and configuration manager operations,
// driven through the late-bound table as the program drives them.
#include <cstring>
#include <vector>

#include "platform/guids.h"
#include "platform/os.h"
#include "platform/wstr.h"
#include "tests/support/Harness.h"

namespace {

const char *const kMachine = R"({
  "devices": [
    {"id": "ROOT\\HUB\\0", "class": "{36fc9e60-c465-11cf-8056-444553540000}"},
    {"id": "USB\\VID_1234&PID_5678\\SER1", "parent": "ROOT\\HUB\\0",
     "class": "{36FC9E60-C465-11CF-8056-444553540000}",
     "status": ["DN_STARTED", "DN_REMOVABLE"], "problem": 0,
     "properties": {"DeviceDesc": "USB Printing Support", "CompatibleIDs": ["USB\\Class_07", "USB\\Class_07&SubClass_01"],
                    "Driver": "{36fc9e60-c465-11cf-8056-444553540000}\\0007",
                    "Mfg": {"type": 4, "value": 7}},
     "interfaces": [
       {"class": "{E768C1E7-986A-404D-BBF3-748B5DCE914A}", "path": "\\\\?\\usb#vid_1234&pid_5678#ser1#{hooked}"},
       {"class": "{E768C1E7-986A-404D-BBF3-748B5DCE914A}", "path": "\\\\?\\usb#vid_1234&pid_5678#ser1#{hooked}\\second"}]},
    {"id": "usb\\vid_aaaa&pid_bbbb\\gone", "parent": "ROOT\\HUB\\0", "present": false,
     "class": "{36fc9e60-c465-11cf-8056-444553540000}",
     "interfaces": [{"class": "{E768C1E7-986A-404D-BBF3-748B5DCE914A}", "path": "\\\\?\\gone"}]},
    {"id": "ACPI\\PNP0501\\1", "parent": "ROOT\\HUB\\0", "class": "{4D36E978-E325-11CE-BFC1-08002BE10318}",
     "status_error": 5,
     "interfaces": [
       {"class": "{E768C1E7-986A-404D-BBF3-748B5DCE914A}", "path": "\\\\?\\acpi#pnp0501#1#{hooked}", "present": false}]}
  ],
  "class_errors": {"{4D36E96D-E325-11CE-BFC1-08002BE10318}": "0xE000020B"}
})";

class SimSetupApiTest : public MachineTest {
protected:
    void SetUp() override { Load(kMachine); }

    // Members of a set, by instance identifier.
    std::vector<std::string> Members(HDEVINFO set) {
        std::vector<std::string> ids;
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof data;
        for (DWORD i = 0; api::SetupDiEnumDeviceInfo(set, i, &data); ++i) {
            WCHAR id[200] = {};
            EXPECT_EQ(api::CM_Get_Device_IDW(data.DevInst, id, 200, 0), static_cast<CONFIGRET>(CR_SUCCESS));
            ids.push_back(wstr::ToUtf8(id));
        }
        EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        return ids;
    }
};

TEST_F(SimSetupApiTest, ClassSetsHoldPresentDevicesOfTheClassInFileOrder) {
    HDEVINFO set = api::SetupDiGetClassDevsW(&guids::kDevClassUsb, nullptr, nullptr, DIGCF_PRESENT);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Members(set), (std::vector<std::string>{"ROOT\\HUB\\0", "USB\\VID_1234&PID_5678\\SER1"}));
    EXPECT_TRUE(api::SetupDiDestroyDeviceInfoList(set));

    // Without DIGCF_PRESENT the absent device is a member too.
    set = api::SetupDiGetClassDevsW(&guids::kDevClassUsb, nullptr, nullptr, 0);
    EXPECT_EQ(Members(set).size(), 3u);
    api::SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SimSetupApiTest, EnumeratorSetsMatchThePrefixBeforeABackslashIgnoringCase) {
    HDEVINFO set = api::SetupDiGetClassDevsW(nullptr, WS("usb"), nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Members(set), (std::vector<std::string>{"USB\\VID_1234&PID_5678\\SER1"}));
    api::SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SimSetupApiTest, ClassErrorsFailTheSetWithTheirCode) {
    os::SetLastError(0);
    HDEVINFO set = api::SetupDiGetClassDevsW(&guids::kDevClassModem, nullptr, nullptr, DIGCF_PRESENT);
    EXPECT_EQ(set, INVALID_HANDLE_VALUE);
    EXPECT_EQ(os::GetLastError(), 0xE000020Bu);
}

TEST_F(SimSetupApiTest, InterfaceSetsListPresentInterfacesAndEachDeviceOnce) {
    HDEVINFO set = api::SetupDiGetClassDevsW(&guids::kHookedDeviceInterface, nullptr, nullptr,
                                             DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    // The serial port's only hooked interface is absent, the other device is absent.
    EXPECT_EQ(Members(set), (std::vector<std::string>{"USB\\VID_1234&PID_5678\\SER1"}));

    std::vector<std::string> paths;
    SP_DEVICE_INTERFACE_DATA itf{};
    itf.cbSize = sizeof itf;
    DWORD i = 0;
    for (; api::SetupDiEnumDeviceInterfaces(set, nullptr, &guids::kHookedDeviceInterface, i, &itf); ++i) {
        EXPECT_TRUE(itf.InterfaceClassGuid == guids::kHookedDeviceInterface);
        union {
            SP_DEVICE_INTERFACE_DETAIL_DATA_W detail;
            unsigned char bytes[512];
        } buffer{};
        buffer.detail.cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        ASSERT_TRUE(api::SetupDiGetDeviceInterfaceDetailW(set, &itf, &buffer.detail, sizeof buffer, nullptr, nullptr));
        paths.push_back(wstr::ToUtf8(buffer.detail.DevicePath));
    }
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(paths, (std::vector<std::string>{"\\\\?\\usb#vid_1234&pid_5678#ser1#{hooked}",
                                               "\\\\?\\usb#vid_1234&pid_5678#ser1#{hooked}\\second"}));
    api::SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SimSetupApiTest, DetailSizeQueryFailsWith122ReportsTheSizeAndFillsTheElement) {
    HDEVINFO set = api::SetupDiGetClassDevsW(&guids::kHookedDeviceInterface, nullptr, nullptr,
                                             DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA itf{};
    itf.cbSize = sizeof itf;
    ASSERT_TRUE(api::SetupDiEnumDeviceInterfaces(set, nullptr, &guids::kHookedDeviceInterface, 0, &itf));
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    DWORD required = 0;
    EXPECT_FALSE(api::SetupDiGetDeviceInterfaceDetailW(set, &itf, nullptr, 0, &required, &device));
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    const size_t chars = std::strlen("\\\\?\\usb#vid_1234&pid_5678#ser1#{hooked}");
    EXPECT_EQ(required, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + 2 * (chars + 1));
    EXPECT_EQ(device.DevInst, 2u);  // the second device of the file
    EXPECT_TRUE(device.ClassGuid == guids::kDevClassUsb);

    // One byte short is still too small, and nothing is written past it.
    std::vector<unsigned char> buffer(required + 8, 0xCC);
    auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    EXPECT_FALSE(api::SetupDiGetDeviceInterfaceDetailW(set, &itf, detail, required - 1, nullptr, nullptr));
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_TRUE(api::SetupDiGetDeviceInterfaceDetailW(set, &itf, detail, required, nullptr, nullptr));
    EXPECT_EQ(buffer[required], 0xCC);
    api::SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SimSetupApiTest, WrongStructureSizesFailWith1784) {
    HDEVINFO set = api::SetupDiGetClassDevsW(&guids::kHookedDeviceInterface, nullptr, nullptr,
                                             DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device + 4;
    EXPECT_FALSE(api::SetupDiEnumDeviceInfo(set, 0, &device));
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));

    SP_DEVICE_INTERFACE_DATA itf{};
    itf.cbSize = 4;
    EXPECT_FALSE(api::SetupDiEnumDeviceInterfaces(set, nullptr, &guids::kHookedDeviceInterface, 0, &itf));
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));

    itf.cbSize = sizeof itf;
    ASSERT_TRUE(api::SetupDiEnumDeviceInterfaces(set, nullptr, &guids::kHookedDeviceInterface, 0, &itf));
    union {
        SP_DEVICE_INTERFACE_DETAIL_DATA_W detail;
        unsigned char bytes[512];
    } buffer{};
    buffer.detail.cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) + 2;
    EXPECT_FALSE(api::SetupDiGetDeviceInterfaceDetailW(set, &itf, &buffer.detail, sizeof buffer, nullptr, nullptr));
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    api::SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SimSetupApiTest, RegistryPropertiesReportTypeAndSizeBeforeFailingOnSmallBuffers) {
    HDEVINFO set = api::SetupDiGetClassDevsW(nullptr, WS("USB"), nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    ASSERT_TRUE(api::SetupDiEnumDeviceInfo(set, 0, &device));

    struct Case {
        DWORD property;
        DWORD type;
        std::vector<std::string> strings;  // the expected multi-string or string
    };
    const Case cases[] = {
        {SPDRP_DEVICEDESC, REG_SZ, {"USB Printing Support"}},
        {SPDRP_COMPATIBLEIDS, REG_MULTI_SZ, {"USB\\Class_07", "USB\\Class_07&SubClass_01", ""}},
        {SPDRP_CLASSGUID, REG_SZ, {"{36FC9E60-C465-11CF-8056-444553540000}"}},  // as the class is written
        {SPDRP_ENUMERATOR_NAME, REG_SZ, {"USB"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.property);
        size_t expectedBytes = 0;
        for (const std::string &s : c.strings) expectedBytes += 2 * (s.size() + 1);
        DWORD type = 0, required = 0;
        EXPECT_FALSE(api::SetupDiGetDeviceRegistryPropertyW(set, &device, c.property, &type, nullptr, 0, &required));
        EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(type, c.type);
        ASSERT_EQ(required, expectedBytes);
        std::vector<WCHAR> buffer(required / 2 + 1, 0x7777);
        ASSERT_TRUE(api::SetupDiGetDeviceRegistryPropertyW(set, &device, c.property, &type,
                                                           reinterpret_cast<PBYTE>(buffer.data()), required, nullptr));
        size_t at = 0;
        for (const std::string &s : c.strings) {
            EXPECT_EQ(wstr::ToUtf8(&buffer[at]), s);
            at += s.size() + 1;
        }
        EXPECT_EQ(buffer[at], 0x7777) << "written past the reported size";
    }

    // An explicit registry type, and an absent property.
    DWORD type = 0, value = 0, required = 0;
    ASSERT_TRUE(api::SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_MFG, &type, reinterpret_cast<PBYTE>(&value),
                                                       sizeof value, &required));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value, 7u);
    EXPECT_FALSE(api::SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_FRIENDLYNAME, &type, nullptr, 0, &required));
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    api::SetupDiDestroyDeviceInfoList(set);
}

// An element names its device by DevInst; whatever else the caller's copy
// holds, another set answers for it only when the device is a member there.
TEST_F(SimSetupApiTest, ElementsAreJudgedByMembershipOfTheSetAsked) {
    HDEVINFO usb = api::SetupDiGetClassDevsW(&guids::kDevClassUsb, nullptr, nullptr, 0);
    HDEVINFO byEnumerator = api::SetupDiGetClassDevsW(nullptr, WS("USB"), nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    ASSERT_NE(usb, INVALID_HANDLE_VALUE);
    ASSERT_NE(byEnumerator, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA hub{}, printer{};
    hub.cbSize = printer.cbSize = sizeof(SP_DEVINFO_DATA);
    ASSERT_TRUE(api::SetupDiEnumDeviceInfo(usb, 0, &hub));          // ROOT\HUB\0
    ASSERT_TRUE(api::SetupDiEnumDeviceInfo(usb, 1, &printer));      // the printer, first of the enumerator set
    BYTE buffer[256];
    DWORD size = 0;
    const ULONG_PTR hints[] = {hub.Reserved, printer.Reserved, 0, 1, 2, 3, 1000, ~ULONG_PTR{0}};
    for (ULONG_PTR hint : hints) {
        SCOPED_TRACE(hint);
        SP_DEVINFO_DATA element = hub;
        element.Reserved = hint;
        os::SetLastError(0);
        EXPECT_FALSE(api::SetupDiGetDeviceRegistryPropertyW(byEnumerator, &element, SPDRP_DEVICEDESC, nullptr, buffer,
                                                            sizeof buffer, &size));
        EXPECT_EQ(os::GetLastError(), 0xE000020Bu);  // ERROR_NO_SUCH_DEVINST

        element = printer;
        element.Reserved = hint;
        EXPECT_TRUE(api::SetupDiGetDeviceRegistryPropertyW(byEnumerator, &element, SPDRP_DEVICEDESC, nullptr, buffer,
                                                           sizeof buffer, &size));
        EXPECT_TRUE(api::SetupDiGetDeviceRegistryPropertyW(usb, &element, SPDRP_DEVICEDESC, nullptr, buffer,
                                                           sizeof buffer, &size));
    }
    api::SetupDiDestroyDeviceInfoList(byEnumerator);
    api::SetupDiDestroyDeviceInfoList(usb);
}

TEST_F(SimSetupApiTest, InstanceIdSizeQueryCountsTheTerminator) {
    HDEVINFO set = api::SetupDiGetClassDevsW(nullptr, WS("USB"), nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    ASSERT_TRUE(api::SetupDiEnumDeviceInfo(set, 0, &device));
    DWORD required = 0;
    EXPECT_FALSE(os::SetupDiGetDeviceInstanceIdW(set, &device, nullptr, 0, &required));
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, std::strlen("USB\\VID_1234&PID_5678\\SER1") + 1);
    std::vector<WCHAR> id(required);
    EXPECT_FALSE(os::SetupDiGetDeviceInstanceIdW(set, &device, id.data(), required - 1, nullptr));
    ASSERT_TRUE(os::SetupDiGetDeviceInstanceIdW(set, &device, id.data(), required, nullptr));
    EXPECT_EQ(wstr::ToUtf8(id.data()), "USB\\VID_1234&PID_5678\\SER1");
    api::SetupDiDestroyDeviceInfoList(set);
}

// Where Windows' own conformance results say so: the instance-id call calls
// every bad element a bad parameter, and a property code past the last is
// not a registry property.
TEST_F(SimSetupApiTest, InstanceIdAndPropertyReadsRejectBadElementsAndCodesAsWindowsDoes) {
    HDEVINFO usb = api::SetupDiGetClassDevsW(nullptr, WS("USB"), nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    HDEVINFO acpi = api::SetupDiGetClassDevsW(nullptr, WS("ACPI"), nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA printer{}, serial{};
    printer.cbSize = serial.cbSize = sizeof(SP_DEVINFO_DATA);
    ASSERT_TRUE(api::SetupDiEnumDeviceInfo(usb, 0, &printer));
    ASSERT_TRUE(api::SetupDiEnumDeviceInfo(acpi, 0, &serial));
    SP_DEVINFO_DATA wrongSize = printer;
    wrongSize.cbSize = sizeof(SP_DEVINFO_DATA) + 1;
    WCHAR id[200];
    DWORD required = 0;
    for (SP_DEVINFO_DATA *element : {&wrongSize, &serial, static_cast<SP_DEVINFO_DATA *>(nullptr)}) {
        os::SetLastError(0);
        EXPECT_FALSE(os::SetupDiGetDeviceInstanceIdW(usb, element, id, 200, &required));
        EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    BYTE buffer[64];
    const struct {
        DWORD property;
        DWORD error;
    } properties[] = {{0x25, 0xE0000209u}, {0xFFFFFFFFu, 0xE0000209u}, {SPDRP_FRIENDLYNAME, ERROR_INVALID_DATA}};
    for (const auto &p : properties) {
        EXPECT_FALSE(api::SetupDiGetDeviceRegistryPropertyW(usb, &printer, p.property, nullptr, buffer, sizeof buffer, &required));
        EXPECT_EQ(os::GetLastError(), p.error) << p.property;
    }
    api::SetupDiDestroyDeviceInfoList(acpi);
    api::SetupDiDestroyDeviceInfoList(usb);
}

// An interface set's enumerator must be a whole instance identifier; without
// DIGCF_PRESENT the set also lists absent interfaces, marked inactive.
TEST_F(SimSetupApiTest, InterfaceSetsTakeWholeInstanceIdsAndListAbsentInterfacesInactive) {
    const GUID hooked = guids::kHookedDeviceInterface;
    for (const WCHAR *part : {WS("USB"), WS("USB\\VID_1234&PID_5678")}) {
        os::SetLastError(0);
        EXPECT_EQ(api::SetupDiGetClassDevsW(&hooked, part, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE), INVALID_HANDLE_VALUE);
        EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    }
    HDEVINFO one = api::SetupDiGetClassDevsW(&hooked, WS("usb\\vid_1234&pid_5678\\ser1"), nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(one, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Members(one), (std::vector<std::string>{"USB\\VID_1234&PID_5678\\SER1"}));
    api::SetupDiDestroyDeviceInfoList(one);
    HDEVINFO unknown = api::SetupDiGetClassDevsW(&hooked, WS("USB\\NO\\SUCH"), nullptr, DIGCF_DEVICEINTERFACE);
    ASSERT_NE(unknown, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Members(unknown).empty());
    api::SetupDiDestroyDeviceInfoList(unknown);

    HDEVINFO all = api::SetupDiGetClassDevsW(&hooked, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    ASSERT_NE(all, INVALID_HANDLE_VALUE);
    std::vector<std::pair<std::string, DWORD>> listed;
    SP_DEVICE_INTERFACE_DATA itf{};
    itf.cbSize = sizeof itf;
    for (DWORD i = 0; api::SetupDiEnumDeviceInterfaces(all, nullptr, &hooked, i, &itf); ++i)
        listed.emplace_back(sim::Calls().back().target, itf.Flags);
    const std::vector<std::pair<std::string, DWORD>> expected = {
        {"\\\\?\\usb#vid_1234&pid_5678#ser1#{hooked}", SPINT_ACTIVE},
        {"\\\\?\\usb#vid_1234&pid_5678#ser1#{hooked}\\second", SPINT_ACTIVE},
        {"\\\\?\\gone", 0},  // the device is not present
        {"\\\\?\\acpi#pnp0501#1#{hooked}", 0}};
    EXPECT_EQ(listed, expected);
    api::SetupDiDestroyDeviceInfoList(all);
}

// Recorded DEVINST values and interface order replay as given.
TEST_F(SimSetupApiTest, RecordedDevinstsAndInterfaceOrderReplay) {
    Load(R"({"interface_order": {"{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}": ["\\\\?\\b#disk", "\\\\?\\a#disk2"]},
      "devices": [
        {"id": "ROOT\\A\\0", "devinst": 9, "interfaces": [
          {"class": "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}", "path": "\\\\?\\a#disk"},
          {"class": "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}", "path": "\\\\?\\a#disk2"}]},
        {"id": "ROOT\\B\\0", "devinst": 3, "parent": "ROOT\\A\\0", "interfaces": [
          {"class": "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}", "path": "\\\\?\\b#disk"}]}]})");
    DEVINST node = 0, parent = 0;
    ASSERT_EQ(api::CM_Locate_DevNodeW(&node, const_cast<PWSTR>(WS("ROOT\\B\\0")), 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(node, 3u);
    ASSERT_EQ(api::CM_Get_Parent(&parent, node, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(parent, 9u);
    EXPECT_EQ(api::CM_Get_Parent(&parent, 1, 0), static_cast<CONFIGRET>(CR_INVALID_DEVNODE));

    const GUID disk = guids::kDevInterfaceDisk;
    HDEVINFO set = api::SetupDiGetClassDevsW(&disk, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Members(set), (std::vector<std::string>{"ROOT\\B\\0", "ROOT\\A\\0"}));
    std::vector<std::string> paths;
    SP_DEVICE_INTERFACE_DATA itf{};
    itf.cbSize = sizeof itf;
    for (DWORD i = 0; api::SetupDiEnumDeviceInterfaces(set, nullptr, &disk, i, &itf); ++i) paths.push_back(sim::Calls().back().target);
    EXPECT_EQ(paths, (std::vector<std::string>{"\\\\?\\b#disk", "\\\\?\\a#disk2", "\\\\?\\a#disk"}));
    api::SetupDiDestroyDeviceInfoList(set);
}

// DEVINSTs out of file order are found whether their values are small (a
// table by value) or far past the number of devices; a value between or past
// them names no device.
TEST_F(SimSetupApiTest, RecordedDevinstsAreFoundByValue) {
    struct Row {
        const char *machine;
        DEVINST node;
        CONFIGRET result;
        DEVINST parent;
    };
    const char *const kSmall = R"({"devices": [
        {"id": "ROOT\\P\\0", "devinst": 7},
        {"id": "ROOT\\C\\0", "devinst": 2, "parent": "ROOT\\P\\0"}]})";
    const char *const kLarge = R"({"devices": [
        {"id": "ROOT\\P\\0", "devinst": 200000},
        {"id": "ROOT\\C\\0", "devinst": 5, "parent": "ROOT\\P\\0"}]})";
    const Row rows[] = {
        {kSmall, 2, CR_SUCCESS, 7},
        {kSmall, 7, CR_NO_SUCH_DEVNODE, 0},  // the last value of the table
        {kSmall, 3, CR_INVALID_DEVNODE, 0},  // between the values
        {kSmall, 0, CR_INVALID_DEVNODE, 0},
        {kSmall, 8, CR_INVALID_DEVNODE, 0},  // just past the table
        {kLarge, 5, CR_SUCCESS, 200000},
        {kLarge, 200001, CR_INVALID_DEVNODE, 0},
        {kLarge, 6, CR_INVALID_DEVNODE, 0},
    };
    for (const Row &row : rows) {
        Load(row.machine);
        DEVINST parent = 0;
        EXPECT_EQ(api::CM_Get_Parent(&parent, row.node, 0), row.result) << row.node;
        EXPECT_EQ(parent, row.parent) << row.node;
    }
}

TEST_F(SimSetupApiTest, ConfigurationManagerWalksTheTreeByFileOrder) {
    // DEVINST i + 1 for the device at index i.
    DEVINST node = 0;
    EXPECT_EQ(api::CM_Get_Parent(&node, 2, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(node, 1u);
    EXPECT_EQ(api::CM_Get_Parent(&node, 1, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    EXPECT_EQ(api::CM_Get_Child(&node, 1, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(node, 2u);
    EXPECT_EQ(api::CM_Get_Sibling(&node, 2, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(node, 3u);  // non-present devices still answer
    EXPECT_EQ(api::CM_Get_Sibling(&node, 4, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    EXPECT_EQ(api::CM_Get_Parent(&node, 99, 0), static_cast<CONFIGRET>(CR_INVALID_DEVNODE));
    EXPECT_EQ(api::CM_Get_Parent(&node, 0, 0), static_cast<CONFIGRET>(CR_INVALID_DEVNODE));
    EXPECT_EQ(api::CM_Locate_DevNodeW(&node, const_cast<PWSTR>(WS("acpi\\pnp0501\\1")), 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(node, 4u);
}

TEST_F(SimSetupApiTest, DeviceIdCopiesOnlyWhatFitsAndNeedsRoomForTheTerminator) {
    const std::string id = "USB\\VID_1234&PID_5678\\SER1";
    ULONG length = 0;
    ASSERT_EQ(api::CM_Get_Device_ID_Size(&length, 2, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(length, id.size());
    std::vector<WCHAR> buffer(length + 2, 0x7777);
    EXPECT_EQ(api::CM_Get_Device_IDW(2, buffer.data(), length, 0), static_cast<CONFIGRET>(CR_BUFFER_SMALL));
    EXPECT_EQ(buffer[length], 0x7777);
    ASSERT_EQ(api::CM_Get_Device_IDW(2, buffer.data(), length + 1, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(wstr::ToUtf8(buffer.data()), id);
    EXPECT_EQ(buffer[length + 1], 0x7777);
}

TEST_F(SimSetupApiTest, DevNodeStatusComesFromTheFileOrFailsWithStatusError) {
    ULONG status = 0, problem = 99;
    ASSERT_EQ(api::CM_Get_DevNode_Status(&status, &problem, 2, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(status, static_cast<ULONG>(DN_STARTED | DN_REMOVABLE));
    EXPECT_EQ(problem, 0u);
    ASSERT_EQ(api::CM_Get_DevNode_Status(&status, &problem, 1, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(status, static_cast<ULONG>(DN_STARTED | DN_DRIVER_LOADED));  // the default
    EXPECT_EQ(api::CM_Get_DevNode_Status(&status, &problem, 4, 0), 5u);
}

TEST_F(SimSetupApiTest, SuccessLeavesTheLastErrorAlone) {
    os::SetLastError(1234);
    HDEVINFO set = api::SetupDiGetClassDevsW(&guids::kDevClassUsb, nullptr, nullptr, DIGCF_PRESENT);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    EXPECT_TRUE(api::SetupDiEnumDeviceInfo(set, 0, &device));
    EXPECT_TRUE(api::SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(os::GetLastError(), 1234u);
    EXPECT_FALSE(api::SetupDiDestroyDeviceInfoList(set));  // already gone
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(SimSetupApiTest, CallsAreRecordedInOrder) {
    HDEVINFO set = api::SetupDiGetClassDevsW(&guids::kDevClassUsb, nullptr, nullptr, DIGCF_PRESENT);
    api::SetupDiDestroyDeviceInfoList(set);
    std::vector<std::string> ops;
    for (const sim::Call &c : sim::Calls())
        if (c.op.rfind("SetupDi", 0) == 0) ops.push_back(c.op);
    EXPECT_EQ(ops, (std::vector<std::string>{"SetupDiGetClassDevsW", "SetupDiDestroyDeviceInfoList"}));
    EXPECT_EQ(sim::CountCalls("LoadLibraryW"), 1u);  // setupapi.dll, bound on first use
}

}  // namespace
