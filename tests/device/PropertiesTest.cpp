#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "device/DeviceInfo.h"
#include "device/Properties.h"
#include "platform/api.h"
#include "platform/guids.h"
#include "tests/device/DeviceLines.h"
#include "tests/support/Harness.h"

using namespace device_test;

namespace {

constexpr const char *kDiskIfaceA = R"(\\?\usbstor#disk&ven_a#1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b})";
constexpr const char *kDiskIfaceB = R"(\\?\usbstor#disk&ven_b#2#{53f56307-b6bf-11d0-94f2-00a0c91efb8b})";

// Two disks on the disk interface class; disk A's object reports `numberA`.
std::string TwoDisks(const std::string &objectA, const std::string &numberA) {
    return R"({
      "devices": [
        {"id": "USBSTOR\\DISK&VEN_A\\1", "class": "{4D36E967-E325-11CE-BFC1-08002BE10318}",
         "interfaces": [{"class": "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}",
                         "path": "\\\\?\\usbstor#disk&ven_a#1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}")" +
           objectA + R"(}]},
        {"id": "USBSTOR\\DISK&VEN_B\\2", "class": "{4D36E967-E325-11CE-BFC1-08002BE10318}",
         "interfaces": [{"class": "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}",
                         "path": "\\\\?\\usbstor#disk&ven_b#2#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}",
                         "object": "\\Device\\Harddisk2\\DR2"}]}
      ],
      "objects": [
        {"name": "\\Device\\Harddisk1\\DR1", "device_number": {"type": 7, "number": )" +
           numberA + R"(, "partition": 0}},
        {"name": "\\Device\\Harddisk2\\DR2", "device_number": {"type": 7, "number": 2, "partition": 0}},
        {"name": "\\Device\\Harddisk5\\DR5", "aliases": ["\\\\.\\PhysicalDrive5"],
         "device_number": {"type": 7, "number": 5, "partition": 0}},
        {"name": "\\Device\\Broken", "aliases": ["\\\\.\\Broken"], "device_number": {"error": 50}}
      ]
    })";
}
const std::string kWithObjectA = R"(, "object": "\\Device\\Harddisk1\\DR1")";

HANDLE Open(const std::string &path) {
    WString wide = Wide(path);
    return api::CreateFileW(wide.c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// ---------------------------------------------------------------------------
// GetDeviceId for a device node

class GetDeviceIdNodeTest : public MachineTest {};

TEST_F(GetDeviceIdNodeTest, ReturnsTheIdentifierOfTheNode) {
    Load(R"({"devices": [{"id": "ROOT\\HTREE\\ROOT\\0"},
                         {"id": "PCI\\VEN_8086&DEV_A36D\\3&11583659&0&A0", "parent": "ROOT\\HTREE\\ROOT\\0"}]})");
    WCHAR *id = nullptr;
    ASSERT_TRUE(GetDeviceId(2, &id));
    EXPECT_EQ(Narrow(id), R"(PCI\VEN_8086&DEV_A36D\3&11583659&0&A0)");
    std::free(id);
    EXPECT_EQ(Lines(), IdLines(R"(PCI\VEN_8086&DEV_A36D\3&11583659&0&A0)"));
}

TEST_F(GetDeviceIdNodeTest, UnknownNodeReportsTheConfigurationManagerResult) {
    Load(R"({"devices": [{"id": "ROOT\\HTREE\\ROOT\\0"}]})");
    WCHAR *id = reinterpret_cast<WCHAR *>(&id);  // must be cleared, not left dangling
    EXPECT_FALSE(GetDeviceId(9, &id));
    EXPECT_EQ(id, nullptr);
    EXPECT_EQ(Lines(), (LineList{"ENTER GetDeviceId", "ERROR GetDeviceId 5", "LEAVE GetDeviceId"}));
}

TEST_F(GetDeviceIdNodeTest, MissingConfigurationManagerFailsWithTheFallbackResult) {
    Load(R"({"libraries": {"cfgmgr32.dll": "missing"}, "devices": [{"id": "ROOT\\HTREE\\ROOT\\0"}]})");
    WCHAR *id = nullptr;
    EXPECT_FALSE(GetDeviceId(1, &id));
    EXPECT_EQ(id, nullptr);
    EXPECT_EQ(Lines(), (LineList{"ENTER GetDeviceId", "ERROR GetDeviceId 32", "LEAVE GetDeviceId"}));
}

// ---------------------------------------------------------------------------
// GetDeviceId for an identifier and an interface class

class GetDeviceIdLookupTest : public MachineTest {};

TEST_F(GetDeviceIdLookupTest, FindsTheInterfaceOfTheDeviceWithThatIdentifier) {
    Load(TwoDisks(kWithObjectA, "1"));
    WString path;
    ASSERT_TRUE(GetDeviceId(WS("USBSTOR\\DISK&VEN_B\\2"), guids::kDevInterfaceDisk, path));
    EXPECT_EQ(Narrow(path), kDiskIfaceB);
    EXPECT_EQ(Lines(), (LineList{"ENTER GetDeviceId", R"(INFO GetDeviceId lpDevID USBSTOR\DISK&VEN_B\2)",
                              std::string("INFO GetDeviceId ") + kDiskIfaceB, "LEAVE GetDeviceId"}));
}

TEST_F(GetDeviceIdLookupTest, LetterCaseMattersAndNoMatchIsNoError) {
    Load(TwoDisks(kWithObjectA, "1"));
    WString path;
    EXPECT_FALSE(GetDeviceId(WS("usbstor\\disk&ven_b\\2"), guids::kDevInterfaceDisk, path));
    EXPECT_TRUE(path.empty());
    EXPECT_EQ(Lines(),
              (LineList{"ENTER GetDeviceId", R"(INFO GetDeviceId lpDevID usbstor\disk&ven_b\2)", "LEAVE GetDeviceId"}));
}

TEST_F(GetDeviceIdLookupTest, NullIdentifierIsRefused) {
    Load(TwoDisks(kWithObjectA, "1"));
    WString path;
    EXPECT_FALSE(GetDeviceId(nullptr, guids::kDevInterfaceDisk, path));
    EXPECT_EQ(Lines(), (LineList{"ENTER GetDeviceId", "ERROR GetDeviceId lpDevID invalid", "LEAVE GetDeviceId"}));
    EXPECT_EQ(sim::CountCalls("SetupDiGetClassDevsW"), 0u);
}

TEST_F(GetDeviceIdLookupTest, SetThatCannotBeOpenedReportsTheLastError) {
    Load(R"({"class_errors": {"{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}": 13}})");
    WString path;
    EXPECT_FALSE(GetDeviceId(WS("X\\Y\\Z"), guids::kDevInterfaceDisk, path));
    EXPECT_EQ(Lines(), (LineList{"ENTER GetDeviceId", R"(INFO GetDeviceId lpDevID X\Y\Z)",
                              "ERROR GetDeviceId SetupDiGetClassDevs 13", "LEAVE GetDeviceId"}));
}

// The interface detail buffer holds 1040 bytes: 4 bytes of header and 518
// characters, terminator included.
TEST_F(GetDeviceIdLookupTest, PathsBeyondTheFixedDetailBufferAreSkipped) {
    struct Case {
        size_t pathChars;
        bool found;
    } cases[] = {{517, true}, {518, false}, {700, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pathChars);
        std::string path = R"(\\?\root#long#0#)" + std::string(c.pathChars - 16, 'a');
        ASSERT_EQ(path.size(), c.pathChars);
        std::string json;
        for (char ch : path) {
            if (ch == '\\') json += '\\';
            json += ch;
        }
        Load(R"({"devices": [{"id": "ROOT\\LONG\\0", "interfaces": [
               {"class": "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}", "path": ")" +
             json + R"("}]}]})");
        WString found;
        EXPECT_EQ(GetDeviceId(WS("ROOT\\LONG\\0"), guids::kDevInterfaceDisk, found), c.found);
        EXPECT_EQ(Narrow(found), c.found ? path : std::string());
        LineList lines = Lines();
        EXPECT_EQ(lines.size(), c.found ? 4u : 3u);
        EXPECT_EQ(lines.back(), "LEAVE GetDeviceId");
    }
}

// ---------------------------------------------------------------------------
// GetDevicePath

class GetDevicePathTest : public MachineTest {};

TEST_F(GetDevicePathTest, FindsTheInterfaceWithTheHandlesDeviceNumber) {
    Load(TwoDisks(kWithObjectA, "1"));
    HANDLE h = Open(kDiskIfaceB);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    WCHAR *path = nullptr;
    SP_DEVINFO_DATA device{};
    STORAGE_DEVICE_NUMBER number{};
    ASSERT_TRUE(GetDevicePath(h, guids::kDevInterfaceDisk, &path, &device, &number));
    api::CloseHandle(h);
    EXPECT_EQ(Narrow(path), kDiskIfaceB);
    std::free(path);
    EXPECT_EQ(device.DevInst, 2u);
    EXPECT_EQ(number.DeviceNumber, 2u);
    EXPECT_EQ(number.DeviceType, 7u);
    EXPECT_EQ(Lines(), Expect()("ENTER GetDevicePath")(NumberLines(2))(NumberLines(1))(NumberLines(2))(
                           std::string("INFO GetDevicePath ") + kDiskIfaceB)("LEAVE GetDevicePath")
                           .lines());
}

TEST_F(GetDevicePathTest, TwoInterfacesWithTheSameNumberGiveTheFirst) {
    Load(TwoDisks(kWithObjectA, "2"));
    HANDLE h = Open(kDiskIfaceB);
    WCHAR *path = nullptr;
    ASSERT_TRUE(GetDevicePath(h, guids::kDevInterfaceDisk, &path, nullptr, nullptr));
    api::CloseHandle(h);
    EXPECT_EQ(Narrow(path), kDiskIfaceA);
    std::free(path);
}

TEST_F(GetDevicePathTest, InterfaceThatCannotBeOpenedIsPassedOver) {
    Load(TwoDisks("", "1"));  // disk A's interface names no object
    HANDLE h = Open(kDiskIfaceB);
    WCHAR *path = nullptr;
    SP_DEVINFO_DATA device{};
    ASSERT_TRUE(GetDevicePath(h, guids::kDevInterfaceDisk, &path, &device, nullptr));
    api::CloseHandle(h);
    EXPECT_EQ(Narrow(path), kDiskIfaceB);
    std::free(path);
    EXPECT_EQ(device.DevInst, 2u);
    EXPECT_EQ(Lines(), Expect()("ENTER GetDevicePath")(NumberLines(2))(NumberLines(2))(
                           std::string("INFO GetDevicePath ") + kDiskIfaceB)("LEAVE GetDevicePath")
                           .lines());
}

TEST_F(GetDevicePathTest, NumberMatchingNoInterfaceIsNotFound) {
    Load(TwoDisks(kWithObjectA, "1"));
    HANDLE h = Open(R"(\\.\PhysicalDrive5)");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    WCHAR *path = nullptr;
    EXPECT_FALSE(GetDevicePath(h, guids::kDevInterfaceDisk, &path, nullptr, nullptr));
    api::CloseHandle(h);
    EXPECT_EQ(path, nullptr);
    EXPECT_EQ(Lines(), Expect()("ENTER GetDevicePath")(NumberLines(5))(NumberLines(1))(NumberLines(2))(
                           "ERROR GetDevicePath not found")("LEAVE GetDevicePath")
                           .lines());
}

TEST_F(GetDevicePathTest, HandleWithoutNumberOpensNoSet) {
    Load(TwoDisks(kWithObjectA, "1"));
    HANDLE h = Open(R"(\\.\Broken)");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    WCHAR *path = nullptr;
    EXPECT_FALSE(GetDevicePath(h, guids::kDevInterfaceDisk, &path, nullptr, nullptr));
    api::CloseHandle(h);
    EXPECT_EQ(path, nullptr);
    EXPECT_EQ(Lines(), (LineList{"ENTER GetDevicePath", "ENTER GetDeviceNumber", "ERROR GetDeviceNumber 50",
                              "LEAVE GetDeviceNumber", "LEAVE GetDevicePath"}));
    EXPECT_EQ(sim::CountCalls("SetupDiGetClassDevsW"), 0u);
}

TEST_F(GetDevicePathTest, SetThatCannotBeOpenedIsNotFound) {
    std::string json = TwoDisks(kWithObjectA, "1");
    json.insert(1, R"("class_errors": {"{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}": 5},)");
    Load(json);
    HANDLE h = Open(kDiskIfaceB);
    WCHAR *path = nullptr;
    EXPECT_FALSE(GetDevicePath(h, guids::kDevInterfaceDisk, &path, nullptr, nullptr));
    api::CloseHandle(h);
    EXPECT_EQ(Lines(), Expect()("ENTER GetDevicePath")(NumberLines(2))("ERROR GetDevicePath not found")(
                           "LEAVE GetDevicePath")
                           .lines());
}

// ---------------------------------------------------------------------------
// GetDeviceRegistryProperty

class RegistryPropertyTest : public MachineTest {
protected:
    void SetUp() override {
        Load(R"({"devices": [{"id": "ROOT\\IMAGE\\0000", "class": "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}",
                  "properties": {"Mfg": "Contoso", "CompatibleIDs": ["USB\\Class_07&SubClass_01", "GenPrint"],
                                 "FriendlyName": {"type": 4, "value": "Scanner"}}}]})");
        m_set = api::SetupDiGetClassDevsW(&guids::kDevClassImage, nullptr, nullptr, DIGCF_PRESENT);
        ASSERT_NE(m_set, INVALID_HANDLE_VALUE);
        std::memset(&m_device, 0, sizeof m_device);
        m_device.cbSize = sizeof m_device;
        ASSERT_TRUE(api::SetupDiEnumDeviceInfo(m_set, 0, &m_device));
        Log().StartCapture();
    }
    void TearDown() override {
        api::SetupDiDestroyDeviceInfoList(m_set);
        MachineTest::TearDown();
    }
    HDEVINFO m_set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA m_device;
};

TEST_F(RegistryPropertyTest, StringOfTheExpectedType) {
    BYTE *value = GetDeviceRegistryProperty(m_set, &m_device, REG_SZ, SPDRP_MFG);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(Narrow(reinterpret_cast<WCHAR *>(value)), "Contoso");
    std::free(value);
    EXPECT_EQ(Lines(), PropOk(11));
}

TEST_F(RegistryPropertyTest, StringListKeepsAllEntries) {
    BYTE *value = GetDeviceRegistryProperty(m_set, &m_device, REG_MULTI_SZ, SPDRP_COMPATIBLEIDS);
    ASSERT_NE(value, nullptr);
    const auto *first = reinterpret_cast<WCHAR *>(value);
    EXPECT_EQ(Narrow(first), R"(USB\Class_07&SubClass_01)");
    EXPECT_EQ(Narrow(first + wstr::Len(first) + 1), "GenPrint");
    std::free(value);
    EXPECT_EQ(Lines(), PropOk(2));
}

TEST_F(RegistryPropertyTest, AbsentOrMistypedPropertiesGiveNothing) {
    struct Case {
        const char *what;
        DWORD type;
        DWORD code;
        LineList lines;
    } cases[] = {
        {"absent", REG_SZ, SPDRP_DEVICEDESC, PropErr(0, 13)},
        // The last error is still that of the size query.
        {"REG_DWORD where a string was expected", REG_SZ, SPDRP_FRIENDLYNAME, PropErr(12, 122)},
        {"list where a string was expected", REG_SZ, SPDRP_COMPATIBLEIDS, PropErr(2, 122)},
        {"string where a list was expected", REG_MULTI_SZ, SPDRP_MFG, PropErr(11, 122)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(GetDeviceRegistryProperty(m_set, &m_device, c.type, c.code), nullptr);
        EXPECT_EQ(Lines(), c.lines);
        Log().StartCapture();
    }
}

// ---------------------------------------------------------------------------
// GetDevicePropertyFromInterfaceInstance

constexpr const char *kScannerPath = R"(\\?\root#image#0000#{e768c1e7-986a-404d-bbf3-748b5dce914a})";

std::string HookedDevices(const std::string &scannerCompatibleIds) {
    return R"({"devices": [
        {"id": "ROOT\\IMAGE\\0000", "class": "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}",
         "properties": {"Mfg": "Contoso", "DeviceDesc": "Flatbed Scanner", "CompatibleIDs": )" +
           scannerCompatibleIds + R"(},
         "interfaces": [{"class": "{E768C1E7-986A-404D-BBF3-748B5DCE914A}",
                         "path": "\\\\?\\root#image#0000#{e768c1e7-986a-404d-bbf3-748b5dce914a}"}]},
        {"id": "ROOT\\BARE\\0000",
         "interfaces": [{"class": "{E768C1E7-986A-404D-BBF3-748B5DCE914A}",
                         "path": "\\\\?\\root#bare#0000#{e768c1e7-986a-404d-bbf3-748b5dce914a}"}]}
      ]})";
}

class InterfacePropertiesTest : public MachineTest {
protected:
    bool Lookup(const WCHAR *path) {
        return m_record.GetDevicePropertyFromInterfaceInstance(path, &guids::kHookedDeviceInterface, &m_device,
                                                               m_enumerator, m_classGuid, m_compatible);
    }
    CDeviceInfo m_record;
    SP_DEVINFO_DATA m_device{};
    WString m_enumerator = WS("before");
    WString m_classGuid = WS("before");
    WString m_compatible = WS("before");
};

TEST_F(InterfacePropertiesTest, ReadsTheFivePropertiesOfTheDeviceBehindThePath) {
    Load(HookedDevices(R"(["USB\\Class_07&SubClass_01&Prot_02", "USB\\Class_07"])"));
    ASSERT_TRUE(Lookup(Wide(kScannerPath).c_str()));
    EXPECT_EQ(m_device.DevInst, 1u);
    EXPECT_EQ(Narrow(m_record.m_Manufacturer.Text()), "Contoso");
    EXPECT_EQ(Narrow(m_record.m_Model.Text()), "Flatbed Scanner");
    EXPECT_EQ(Narrow(m_enumerator), "ROOT");
    EXPECT_EQ(Narrow(m_classGuid), "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}");
    EXPECT_EQ(Narrow(m_compatible), R"(USB\Class_07)");
    EXPECT_EQ(Lines(), Expect()(std::string("ENTER GetDevicePropertyFromInterfaceInstance ") + kScannerPath)(
                           PropOk(11))(PropOk(0))(PropOk(22))(PropOk(8))(PropOk(2))(
                           "INFO GetDevicePropertyFromInterfaceInstance m_Manufacturer Contoso")(
                           "INFO GetDevicePropertyFromInterfaceInstance m_Model Flatbed Scanner")(
                           R"(INFO GetDevicePropertyFromInterfaceInstance CompatibleIdClass USB\Class_07)")(
                           "LEAVE GetDevicePropertyFromInterfaceInstance 1")
                           .lines());
}

TEST_F(InterfacePropertiesTest, CompatibleIdClassIsTheFirstEntryUpToItsAmpersand) {
    struct Case {
        const char *list;
        const char *expected;
    } cases[] = {
        {R"(["USB\\Class_07&SubClass_01&Prot_02", "USB\\Class_07"])", R"(USB\Class_07)"},
        {R"(["GenDisk", "USB\\Class_07&SubClass_01"])", "GenDisk"},
        {R"(["USB\\Class_0e"])", R"(USB\Class_0e)"},
        {R"(["&SubClass_01", "USB\\Class_07"])", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.list);
        Load(HookedDevices(c.list));
        CDeviceInfo record;
        WString enumerator, classGuid, compatible = WS("before");
        SP_DEVINFO_DATA device{};
        ASSERT_TRUE(record.GetDevicePropertyFromInterfaceInstance(Wide(kScannerPath).c_str(),
                                                                  &guids::kHookedDeviceInterface, &device, enumerator,
                                                                  classGuid, compatible));
        EXPECT_EQ(Narrow(compatible), c.expected);
        LineList lines = Lines();
        EXPECT_EQ(lines.at(lines.size() - 2),
                  std::string("INFO GetDevicePropertyFromInterfaceInstance CompatibleIdClass ") + c.expected);
    }
}

TEST_F(InterfacePropertiesTest, PathMatchesInAnyLetterCaseAndAbsentPropertiesLeaveNoText) {
    Load(HookedDevices("[]"));
    const char *upper = R"(\\?\ROOT#BARE#0000#{E768C1E7-986A-404D-BBF3-748B5DCE914A})";
    ASSERT_TRUE(Lookup(Wide(upper).c_str()));
    EXPECT_EQ(m_device.DevInst, 2u);
    EXPECT_TRUE(m_record.m_Manufacturer.IsSet());
    EXPECT_EQ(m_record.m_Manufacturer.Text(), nullptr);
    EXPECT_TRUE(m_record.m_Model.IsSet());
    EXPECT_EQ(m_record.m_Model.Text(), nullptr);
    EXPECT_EQ(Narrow(m_enumerator), "ROOT");
    EXPECT_EQ(Narrow(m_classGuid), "");
    EXPECT_EQ(Narrow(m_compatible), "before") << "an absent list leaves the caller's value";
    EXPECT_EQ(Lines(), Expect()(std::string("ENTER GetDevicePropertyFromInterfaceInstance ") + upper)(
                           PropErr(11, 13))(PropErr(0, 13))(PropOk(22))(PropErr(8, 13))(PropErr(2, 13))(
                           "INFO GetDevicePropertyFromInterfaceInstance m_Manufacturer ")(
                           "INFO GetDevicePropertyFromInterfaceInstance m_Model ")(
                           "INFO GetDevicePropertyFromInterfaceInstance CompatibleIdClass before")(
                           "LEAVE GetDevicePropertyFromInterfaceInstance 1")
                           .lines());
}

TEST_F(InterfacePropertiesTest, PathNotInTheClassIsNotFound) {
    Load(HookedDevices("[]"));
    m_device.DevInst = 77;
    EXPECT_FALSE(Lookup(WS("\\\\?\\root#none#0000#{e768c1e7-986a-404d-bbf3-748b5dce914a}")));
    EXPECT_EQ(m_device.DevInst, 0u) << "no device node is handed out";
    EXPECT_FALSE(m_record.m_Manufacturer.IsSet());
    EXPECT_EQ(Narrow(m_classGuid), "before");
    EXPECT_EQ(Lines(), (LineList{R"(ENTER GetDevicePropertyFromInterfaceInstance \\?\root#none#0000#{e768c1e7-986a-404d-bbf3-748b5dce914a})",
                              "LEAVE GetDevicePropertyFromInterfaceInstance 0"}));
}

TEST_F(InterfacePropertiesTest, SetThatCannotBeOpenedWritesNoError) {
    Load(R"({"class_errors": {"{E768C1E7-986A-404D-BBF3-748B5DCE914A}": 13}})");
    EXPECT_FALSE(Lookup(WS("\\\\?\\x")));
    EXPECT_EQ(Lines(), (LineList{R"(ENTER GetDevicePropertyFromInterfaceInstance \\?\x)",
                              "LEAVE GetDevicePropertyFromInterfaceInstance 0"}));
}

// ---------------------------------------------------------------------------
// GuidFromString

TEST(GuidFromStringTest, ScansLikeTheFormattedInputPattern) {
    const GUID disk = guids::kDevClassDiskDrive;
    const GUID small = guids::Make(1, 2, 3, 4, 5, 6, 7, 8, 9, 0x0a, 0x0b);
    const GUID zero{};
    struct Case {
        const char *text;
        GUID expected;
    } cases[] = {
        {"{4D36E967-E325-11CE-BFC1-08002BE10318}", disk},
        {"{4d36e967-e325-11ce-bfc1-08002be10318}", disk},
        {"{4D36E967-E325-11CE-BFC1-08002BE10318", disk},        // closing brace not examined
        {"{4D36E967-E325-11CE-BFC1-08002BE10318)xyz", disk},    // nor what follows
        {"{ 4D36E967-\tE325-11CE- BF C1-08002BE103 18}", disk},  // white space before a field
        {"{1-2-3-0405-060708090a0b}", small},                   // short fields end at a non-digit
        {"4D36E967-E325-11CE-BFC1-08002BE10318", zero},         // no opening brace
        {" {4D36E967-E325-11CE-BFC1-08002BE10318}", zero},      // a literal skips no white space
        {"{4D36E967-E325-11CE-BFC1}", zero},                    // five fields only
        {"{4D36E967-E325-11CE-BFC1-08002BE103}", zero},         // ten fields
        {"{4D36E9670-E325-11CE-BFC1-08002BE10318}", zero},      // ninth digit meets the hyphen's place
        {"{4D36E967:E325-11CE-BFC1-08002BE10318}", zero},       // wrong separator
        {"{4D36E967-E325-11CE-BFC1-08002BE103G8}", zero},       // eleventh field has no digit
        {"{GD36E967-E325-11CE-BFC1-08002BE10318}", zero},
        {"", zero},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_TRUE(guids::Equal(GuidFromString(Wide(c.text).c_str()), c.expected));
    }
    EXPECT_TRUE(guids::Equal(GuidFromString(nullptr), zero));
}

}  // namespace
