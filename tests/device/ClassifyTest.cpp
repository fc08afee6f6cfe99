#include <gtest/gtest.h>

#include <algorithm>

#include "device/Classify.h"
#include "device/DeviceInfo.h"
#include "platform/guids.h"
#include "tests/device/DeviceLines.h"
#include "tests/support/Harness.h"

using namespace device_test;

namespace {

// DEVINST = position + 1.  Every peripheral exposes the hooked interface class.
constexpr const char *kPeripherals = R"({"devices": [
  {"id": "USB\\ROOT_HUB30\\4&1", "class": "{36FC9E60-C465-11CF-8056-444553540000}",
   "interfaces": [{"class": "{F18A0E88-C30C-11D0-8815-00A0C906BED8}",
                   "path": "\\\\?\\usb#root_hub30#4&1#{f18a0e88-c30c-11d0-8815-00a0c906bed8}"}]},
  {"id": "ROOT\\IMAGE\\0000", "class": "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}",
   "properties": {"Mfg": "Contoso", "DeviceDesc": "Flatbed Scanner"},
   "interfaces": [{"class": "{E768C1E7-986A-404D-BBF3-748B5DCE914A}",
                   "path": "\\\\?\\root#image#0000#{e768c1e7-986a-404d-bbf3-748b5dce914a}"}]},
  {"id": "ROOT\\IMAGE\\0001", "class": "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}",
   "properties": {"Mfg": "Contoso", "DeviceDesc": "Camera"},
   "interfaces": [{"class": "{E768C1E7-986A-404D-BBF3-748B5DCE914A}",
                   "path": "\\\\?\\root#image#0001#{e768c1e7-986a-404d-bbf3-748b5dce914a}"},
                  {"class": "{6994AD05-93EF-11D0-A3CC-00A0C9223196}",
                   "path": "\\\\?\\root#image#0001#{6994ad05-93ef-11d0-a3cc-00a0c9223196}\\global"}]},
  {"id": "ROOT\\MODEM\\0000", "class": "{4D36E96D-E325-11CE-BFC1-08002BE10318}",
   "properties": {"Mfg": "Contoso", "DeviceDesc": "Modem", "CompatibleIDs": ["MDMGEN&X"]},
   "interfaces": [{"class": "{E768C1E7-986A-404D-BBF3-748B5DCE914A}",
                   "path": "\\\\?\\root#modem#0000#{e768c1e7-986a-404d-bbf3-748b5dce914a}"}]},
  {"id": "SWD\\WPDBUSENUM\\PHONE_FS", "class": "{EEC5AD98-8080-425F-922A-DABF3DE3F69A}",
   "properties": {"Mfg": "Phone Maker", "DeviceDesc": "Phone storage", "CompatibleIDs": ["wpdbusenum\\fs"]},
   "interfaces": [{"class": "{E768C1E7-986A-404D-BBF3-748B5DCE914A}",
                   "path": "\\\\?\\swd#wpdbusenum#phone_fs#{e768c1e7-986a-404d-bbf3-748b5dce914a}"}]},
  {"id": "USB\\VID_04B8&PID_0005\\PRN1", "parent": "USB\\ROOT_HUB30\\4&1",
   "class": "{36FC9E60-C465-11CF-8056-444553540000}",
   "properties": {"Mfg": "EPSON", "DeviceDesc": "USB Printing Support",
                  "CompatibleIDs": ["USB\\Class_07&SubClass_01&Prot_02", "USB\\Class_07&SubClass_01", "USB\\Class_07"]},
   "interfaces": [{"class": "{E768C1E7-986A-404D-BBF3-748B5DCE914A}",
                   "path": "\\\\?\\usb#vid_04b8&pid_0005#prn1#{e768c1e7-986a-404d-bbf3-748b5dce914a}"}]},
  {"id": "USB\\VID_046D&PID_C077\\MOUSE", "parent": "USB\\ROOT_HUB30\\4&1",
   "class": "{36FC9E60-C465-11CF-8056-444553540000}",
   "properties": {"CompatibleIDs": ["USB\\Class_03&SubClass_01&Prot_02", "USB\\Class_03"]},
   "interfaces": [{"class": "{E768C1E7-986A-404D-BBF3-748B5DCE914A}",
                   "path": "\\\\?\\usb#vid_046d&pid_c077#mouse#{e768c1e7-986a-404d-bbf3-748b5dce914a}"}]},
  {"id": "BTH\\RADIO\\0", "class": "{E0CBF06C-CD8B-4647-BB8A-263B43F0F974}",
   "properties": {"EnumeratorName": "usb"},
   "interfaces": [{"class": "{E768C1E7-986A-404D-BBF3-748B5DCE914A}",
                   "path": "\\\\?\\bth#radio#0#{e768c1e7-986a-404d-bbf3-748b5dce914a}"}]},
  {"id": "ROOT\\NOCLASS\\0",
   "interfaces": [{"class": "{E768C1E7-986A-404D-BBF3-748B5DCE914A}",
                   "path": "\\\\?\\root#noclass#0#{e768c1e7-986a-404d-bbf3-748b5dce914a}"}]}
]})";

const std::string kImage = "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}";
const std::string kWpd = "{EEC5AD98-8080-425F-922A-DABF3DE3F69A}";

std::string Hooked(const std::string &stem) { return R"(\\?\)" + stem + "#{e768c1e7-986a-404d-bbf3-748b5dce914a}"; }

// The lines of a successful interface lookup of a device with no compatible IDs.
LineList LookupLines(const std::string &path, const std::string &mfg, const std::string &model) {
    return Expect()("ENTER GetDevicePropertyFromInterfaceInstance " + path)(PropOk(11))(PropOk(0))(PropOk(22))(
        PropOk(8))(PropErr(2, 13))("INFO GetDevicePropertyFromInterfaceInstance m_Manufacturer " + mfg)(
        "INFO GetDevicePropertyFromInterfaceInstance m_Model " + model)(
        "INFO GetDevicePropertyFromInterfaceInstance CompatibleIdClass ")(
        "LEAVE GetDevicePropertyFromInterfaceInstance 1");
}

class UseDriveInfoPathTest : public MachineTest {
protected:
    void SetUp() override { Load(kPeripherals); }
    bool Classify(const std::string &path) {
        return m_record.UseDriveInfo(Wide(path).c_str(), &guids::kHookedDeviceInterface);
    }
    CDeviceInfo m_record;
};

TEST_F(UseDriveInfoPathTest, ImagingDeviceWithVideoCategoryIsVideo) {
    const std::string path = Hooked("root#image#0001");
    ASSERT_TRUE(Classify(path));
    EXPECT_EQ(m_record.m_SubType.Get(), IMAGING_SUBTYPE_VIDEO);
    EXPECT_EQ(Narrow(m_record.m_UniqueDeviceID), R"(ROOT\IMAGE\0001)");

    DumpValues dump;
    dump.type = 512, dump.subType = 1, dump.manufacturer = "Contoso", dump.model = "Camera";
    dump.uniqueId = R"(ROOT\IMAGE\0001)";
    EXPECT_EQ(Lines(), Expect()("ENTER UseDriveInfo " + path)(LookupLines(path, "Contoso", "Camera"))(
                           "INFO UseDriveInfo ClassGuid " + kImage)("INFO UseDriveInfo CompatibleIdClass ")(
                           "ENTER GetNonStorageDeviceType " + kImage + " ")("LEAVE GetNonStorageDeviceType 512")(
                           "INFO UseDriveInfo m_Type 512")("ENTER IsInterfaceSupportedByDevice 3")(
                           IdLines(R"(ROOT\IMAGE\0001)"))(IdLines(R"(ROOT\IMAGE\0001)"))(
                           "INFO IsInterfaceSupportedByDevice TRUE")("LEAVE IsInterfaceSupportedByDevice")(
                           "INFO SetNonStorageDeviceSubType m_SubType 1")("LEAVE SetNonStorageDeviceSubType")(
                           "ENTER SetUniqueDeviceId")(IdLines(R"(ROOT\IMAGE\0001)"))("LEAVE SetUniqueDeviceId")(
                           "INFO UseDriveInfo DUMP")(DumpLines(dump))("LEAVE UseDriveInfo 1")
                           .lines());
}

TEST_F(UseDriveInfoPathTest, ImagingDeviceWithoutVideoCategoryIsOther) {
    const std::string path = Hooked("root#image#0000");
    ASSERT_TRUE(Classify(path));
    EXPECT_EQ(m_record.m_SubType.Get(), IMAGING_SUBTYPE_OTHER);

    // The only member of the video category is the camera.
    LineList lines = Lines();
    const LineList subtype = Expect()("ENTER IsInterfaceSupportedByDevice 2")(IdLines(R"(ROOT\IMAGE\0000)"))(
        IdLines(R"(ROOT\IMAGE\0001)"))("ERROR IsInterfaceSupportedByDevice not found")(
        "LEAVE IsInterfaceSupportedByDevice")("INFO SetNonStorageDeviceSubType m_SubType 0")(
        "LEAVE SetNonStorageDeviceSubType");
    auto at = std::find(lines.begin(), lines.end(), subtype.front());
    ASSERT_LE(subtype.size(), static_cast<size_t>(lines.end() - at)) << path;
    EXPECT_EQ(LineList(at, at + static_cast<long>(subtype.size())), subtype);
    EXPECT_TRUE(ContainsInOrder(lines, {"INFO UseDriveInfo DUMP", "\t SubType 0", "LEAVE UseDriveInfo 1"}));
}

TEST_F(UseDriveInfoPathTest, ModemLeavesTheSubtypeUnset) {
    ASSERT_TRUE(Classify(Hooked("root#modem#0000")));
    EXPECT_EQ(m_record.m_Type.Get(), MODEM_DEVICE);
    EXPECT_FALSE(m_record.m_SubType.IsSet());
    LineList lines = Lines();
    EXPECT_TRUE(ContainsInOrder(lines, {"INFO UseDriveInfo CompatibleIdClass MDMGEN", "INFO UseDriveInfo m_Type 517",
                                        "INFO SetNonStorageDeviceSubType m_SubType -1",
                                        "LEAVE SetNonStorageDeviceSubType", "\t SubType -1", "LEAVE UseDriveInfo 1"}))
        << ::testing::PrintToString(lines);
    EXPECT_EQ(CountContaining(lines, "IsInterfaceSupportedByDevice"), 0u);
}

TEST_F(UseDriveInfoPathTest, ObjectManagerPrefixIsLookedUpInWin32Form) {
    const std::string received = R"(\??\root#modem#0000#{e768c1e7-986a-404d-bbf3-748b5dce914a})";
    ASSERT_TRUE(Classify(received));
    LineList lines = Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "ENTER UseDriveInfo " + received);
    EXPECT_EQ(lines[1], "ENTER GetDevicePropertyFromInterfaceInstance " + Hooked("root#modem#0000"));
}

TEST_F(UseDriveInfoPathTest, PortableFileSystemFunctionIsUnknownButStillIdentifiedAndDumped) {
    const std::string path = Hooked("swd#wpdbusenum#phone_fs");
    EXPECT_FALSE(Classify(path));
    EXPECT_EQ(m_record.m_Type.Get(), UNKNOWN_DEVICE);

    DumpValues dump;
    dump.type = 1, dump.manufacturer = "Phone Maker", dump.model = "Phone storage", dump.storage = true;
    dump.uniqueId = R"(SWD\WPDBUSENUM\PHONE_FS)";
    EXPECT_EQ(Lines(), Expect()("ENTER UseDriveInfo " + path)(
                           "ENTER GetDevicePropertyFromInterfaceInstance " + path)(PropOk(11))(PropOk(0))(PropOk(22))(
                           PropOk(8))(PropOk(2))("INFO GetDevicePropertyFromInterfaceInstance m_Manufacturer Phone Maker")(
                           "INFO GetDevicePropertyFromInterfaceInstance m_Model Phone storage")(
                           R"(INFO GetDevicePropertyFromInterfaceInstance CompatibleIdClass wpdbusenum\fs)")(
                           "LEAVE GetDevicePropertyFromInterfaceInstance 1")("INFO UseDriveInfo ClassGuid " + kWpd)(
                           R"(INFO UseDriveInfo CompatibleIdClass wpdbusenum\fs)")(
                           "ENTER GetNonStorageDeviceType " + kWpd + R"( wpdbusenum\fs)")(
                           "LEAVE GetNonStorageDeviceType 1")("INFO UseDriveInfo m_Type 1")(
                           "INFO SetNonStorageDeviceSubType m_SubType -1")("LEAVE SetNonStorageDeviceSubType")(
                           "ERROR UseDriveInfo UNKNOWN_DEVICE")("ENTER SetUniqueDeviceId")(
                           IdLines(R"(SWD\WPDBUSENUM\PHONE_FS)"))("LEAVE SetUniqueDeviceId")("INFO UseDriveInfo DUMP")(
                           DumpLines(dump))("LEAVE UseDriveInfo 0")
                           .lines());
}

TEST_F(UseDriveInfoPathTest, DeviceWithoutClassGuidIsUnknown) {
    const std::string path = Hooked("root#noclass#0");
    EXPECT_FALSE(Classify(path));
    DumpValues dump;
    dump.type = 1, dump.storage = true, dump.uniqueId = R"(ROOT\NOCLASS\0)";
    EXPECT_EQ(Lines(), Expect()("ENTER UseDriveInfo " + path)("ENTER GetDevicePropertyFromInterfaceInstance " + path)(
                           PropErr(11, 13))(PropErr(0, 13))(PropOk(22))(PropErr(8, 13))(PropErr(2, 13))(
                           "INFO GetDevicePropertyFromInterfaceInstance m_Manufacturer ")(
                           "INFO GetDevicePropertyFromInterfaceInstance m_Model ")(
                           "INFO GetDevicePropertyFromInterfaceInstance CompatibleIdClass ")(
                           "LEAVE GetDevicePropertyFromInterfaceInstance 1")("INFO UseDriveInfo ClassGuid.IsEmpty")(
                           "ERROR UseDriveInfo UNKNOWN_DEVICE")("ENTER SetUniqueDeviceId")(
                           IdLines(R"(ROOT\NOCLASS\0)"))("LEAVE SetUniqueDeviceId")("INFO UseDriveInfo DUMP")(
                           DumpLines(dump))("LEAVE UseDriveInfo 0")
                           .lines());
}

TEST_F(UseDriveInfoPathTest, PathNotFoundIsUnknownWithNoIdentifier) {
    const std::string path = Hooked("root#gone#0");
    EXPECT_FALSE(Classify(path));
    EXPECT_TRUE(m_record.m_UniqueDeviceID.empty());
    DumpValues dump;
    dump.type = 1, dump.storage = true;
    EXPECT_EQ(Lines(), Expect()("ENTER UseDriveInfo " + path)("ENTER GetDevicePropertyFromInterfaceInstance " + path)(
                           "LEAVE GetDevicePropertyFromInterfaceInstance 0")("INFO UseDriveInfo ClassGuid.IsEmpty")(
                           "ERROR UseDriveInfo UNKNOWN_DEVICE")("INFO UseDriveInfo DUMP")(DumpLines(dump))(
                           "LEAVE UseDriveInfo 0")
                           .lines());
}

TEST_F(UseDriveInfoPathTest, UsbPrinterIsLookedUpBelowItsHub) {
    ASSERT_TRUE(Classify(Hooked("usb#vid_04b8&pid_0005#prn1")));
    EXPECT_EQ(m_record.m_Type.Get(), USB_PRINTER_DEVICE);
    EXPECT_EQ(m_record.m_bRemovable, kTriYes);
    EXPECT_EQ(m_record.m_HubDevInst, 1u);
    LineList lines = Lines();
    // The hub's interface names no object, so its ports cannot be read.
    EXPECT_TRUE(ContainsInOrder(lines, {R"(INFO UseDriveInfo CompatibleIdClass USB\Class_07)",
                                        "INFO UseDriveInfo m_Type 513", "LEAVE SetNonStorageDeviceSubType",
                                        "INFO UseDriveInfo GetUSBDevicePropertyFromUSBHub",
                                        "ENTER GetUSBDevicePropertyFromUSBHub", "ENTER GetUSBDeviceHubPath 6",
                                        "INFO GetUSBDevicePropertyFromUSBHub m_bRemovable 1",
                                        "LEAVE GetUSBDevicePropertyFromUSBHub 0", "ENTER SetUniqueDeviceId",
                                        "INFO UseDriveInfo DUMP", "\t Type 513", "\t IsRemovable 1",
                                        "LEAVE UseDriveInfo 1"}))
        << ::testing::PrintToString(lines);
}

TEST_F(UseDriveInfoPathTest, OtherUsbDeviceGetsNoHubLookup) {
    ASSERT_TRUE(Classify(Hooked("usb#vid_046d&pid_c077#mouse")));
    EXPECT_EQ(m_record.m_Type.Get(), USB_DEVICE);
    EXPECT_EQ(m_record.m_bRemovable, kTriUnknown);
    EXPECT_EQ(CountContaining(Lines(), "GetUSBDevicePropertyFromUSBHub"), 0u);
    EXPECT_EQ(sim::CountCalls("CM_Get_Parent"), 0u);
}

TEST_F(UseDriveInfoPathTest, EnumeratorMatchesUsbInAnyCaseAndAFailedHubLookupKeepsTheResult) {
    ASSERT_TRUE(Classify(Hooked("bth#radio#0")));
    EXPECT_EQ(m_record.m_Type.Get(), BLUETOOTH_DEVICE);
    EXPECT_EQ(m_record.m_bRemovable, kTriUnknown) << "no hub above the radio";
    LineList lines = Lines();
    EXPECT_TRUE(ContainsInOrder(lines, {"INFO UseDriveInfo m_Type 514", "INFO UseDriveInfo GetUSBDevicePropertyFromUSBHub",
                                        "ENTER GetUSBDevicePropertyFromUSBHub", "ENTER GetUSBDeviceHubPath 8",
                                        "LEAVE GetUSBDevicePropertyFromUSBHub 0", "LEAVE UseDriveInfo 1"}))
        << ::testing::PrintToString(lines);
    EXPECT_EQ(CountContaining(lines, "m_bRemovable"), 0u);
}

TEST_F(UseDriveInfoPathTest, UnreadableIdentifierFailsTheClassification) {
    std::string machine = kPeripherals;
    machine.insert(1, R"("libraries": {"cfgmgr32.dll": "missing"},)");
    Load(machine);
    EXPECT_FALSE(Classify(Hooked("root#modem#0000")));
    EXPECT_EQ(m_record.m_Type.Get(), MODEM_DEVICE);
    EXPECT_TRUE(m_record.m_UniqueDeviceID.empty());
    DumpValues dump;
    dump.type = 517, dump.manufacturer = "Contoso", dump.model = "Modem";
    LineList lines = Lines();
    ASSERT_GE(lines.size(), 20u);
    EXPECT_EQ(LineList(lines.end() - 20, lines.end()),
              Expect()("ENTER SetUniqueDeviceId")("ENTER GetDeviceId")("ERROR GetDeviceId 32")("LEAVE GetDeviceId")(
                  "ERROR SetUniqueDeviceId")("LEAVE SetUniqueDeviceId")("ERROR UseDriveInfo SetUniqueDeviceId")(
                  "INFO UseDriveInfo DUMP")(DumpLines(dump))("LEAVE UseDriveInfo 0")
                  .lines());
}

// ---------------------------------------------------------------------------

class NonStorageTypeTest : public MachineTest {
protected:
    void SetUp() override { Load("{}"); }
};

TEST_F(NonStorageTypeTest, FirstMatchingRuleDecides) {
    struct Case {
        const char *classGuid;
        const char *compatibleIdClass;
        int32_t type;
    } cases[] = {
        {"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}", "", 512},
        {"{6bdd1fc6-810f-11d0-bec7-08002be2092f}", R"(USB\Class_07)", 512},  // imaging wins over the printer class
        {"{36FC9E60-C465-11CF-8056-444553540000}", R"(USB\Class_07)", 513},
        {"{36FC9E60-C465-11CF-8056-444553540000}", R"(usb\CLASS_07)", 513},
        {"{36FC9E60-C465-11CF-8056-444553540000}", R"(USB\Class_07&SubClass_01)", 516},  // cut by the caller only
        {"{36FC9E60-C465-11CF-8056-444553540000}", R"(USB\Class_08)", 516},
        {"{36FC9E60-C465-11CF-8056-444553540000}", "", 516},
        {"{E0CBF06C-CD8B-4647-BB8A-263B43F0F974}", "", 514},
        {"{F12D3CF8-B11D-457E-8641-BE2AF2D6D204}", "", 514},
        {"{50DD5230-BA8A-11D1-BF5D-0000F805F530}", "", 515},
        {"{4D36E96D-E325-11CE-BFC1-08002BE10318}", "", 517},
        {"{4D36E978-E325-11CE-BFC1-08002BE10318}", "", 518},
        {"{EEC5AD98-8080-425F-922A-DABF3DE3F69A}", "", 519},
        {"{EEC5AD98-8080-425F-922A-DABF3DE3F69A}", R"(WPDBUSENUM\Phone)", 519},
        {"{EEC5AD98-8080-425F-922A-DABF3DE3F69A}", R"(wpdbusenum\fs)", 1},
        {"{EEC5AD98-8080-425F-922A-DABF3DE3F69A}", R"(WPDBUSENUM\FS)", 1},
        {"{4D36E96C-E325-11CE-BFC1-08002BE10318}", "", 520},
        {"{4D36E980-E325-11CE-BFC1-08002BE10318}", "", 521},
        {"{4D36E967-E325-11CE-BFC1-08002BE10318}", "", 1},  // disk drives are not classified here
        {"not a guid", "", 1},
        {"", "", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.classGuid) + " " + c.compatibleIdClass);
        EXPECT_EQ(GetNonStorageDeviceType(Wide(c.classGuid).c_str(), Wide(c.compatibleIdClass).c_str()), c.type);
        EXPECT_EQ(Lines(), (LineList{std::string("ENTER GetNonStorageDeviceType ") + c.classGuid + " " +
                                         c.compatibleIdClass,
                                     "LEAVE GetNonStorageDeviceType " + std::to_string(c.type)}));
        Log().StartCapture();
    }
}

// ---------------------------------------------------------------------------

class DumpTest : public MachineTest {
protected:
    void SetUp() override { Load("{}"); }
};

TEST_F(DumpTest, FreshRecordWithBootDriveLine) {
    CDeviceInfo record;
    record.Dump(true);
    EXPECT_EQ(Lines(), (LineList{"\t Type -1", "\t SubType -1", "\t Manufacturer ", "\t Model ", "\t Version ",
                                 "\t Serial ", "\t MediaSize -1", "\t DeviceID 4294967295", "\t UniqueDeviceID ",
                                 "\t IsRemovable 2", "\t IsStorageDevice 0", "\t m_bootDrive 0"}));
}

TEST_F(DumpTest, FilledRecord) {
    CDeviceInfo record;
    record.m_Type.Set(REMOVABLE_STORAGE_DEVICE);
    record.m_Manufacturer.Set(WS("ACME"));
    record.m_Model.Set(WS("Stick"));
    record.m_Version.Set(static_cast<const WCHAR *>(nullptr));
    record.m_Serial.Set(WS("0123456789"));
    record.m_MediaSize.Set(8004304896LL);
    record.m_DeviceID.Set(1u);
    record.m_UniqueDeviceID = WS("USBSTOR\\DISK&VEN_ACME\\0123456789&0");
    record.m_bRemovable = kTriYes;
    record.m_bBootDrive = true;  // a boot drive is never shown as removable

    record.Dump(false);
    record.Dump(true);
    const LineList common = {"\t Type 257", "\t SubType -1", "\t Manufacturer ACME", "\t Model Stick",
                             "\t Version ", "\t Serial 0123456789", "\t MediaSize 8004304896", "\t DeviceID 1",
                             "\t UniqueDeviceID USBSTOR\\DISK&VEN_ACME\\0123456789&0", "\t IsRemovable 0",
                             "\t IsStorageDevice 1"};
    EXPECT_EQ(Lines(), Expect()(common)(common)("\t m_bootDrive 1").lines());
}

}  // namespace
