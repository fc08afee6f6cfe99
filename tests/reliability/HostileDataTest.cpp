// Machines whose answers are hostile: characters outside the log's single-byte
// range, identifiers far longer than any fixed buffer, a very deep device
// tree and a hub that claims every port number.  Each run must complete,
// keep every line, release what it opened and never overflow a buffer (the
// sanitizer build checks the last point).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <ostream>
#include <string>
#include <vector>

#include "device/DeviceInfo.h"
#include "platform/holders.h"
#include "platform/win32.h"
#include "tests/reliability/SessionRun.h"
#include "tests/support/Harness.h"
#include "usb/HubTopology.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using reliability::CountPrefix;
using reliability::RunWholeSession;
using reliability::SessionOutput;

constexpr size_t kHostileLength = 10000;

bool HasLine(const std::vector<std::string> &lines, const std::string &line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool HasLineStartingWith(const std::vector<std::string> &lines, const std::string &prefix) {
    return CountPrefix(lines, prefix) != 0;
}

void ExpectCleanRun(const SessionOutput &out) {
    EXPECT_EQ(out.console, "Enumeration successful\n");
    EXPECT_EQ(out.shapeError, "");
    EXPECT_EQ(out.openHandles, 0u) << "a handle was left open";
    EXPECT_EQ(out.openSets, 0u) << "a set was left open";
}

// ---------------------------------------------------------------------------
// Characters above U+00FF.

// One hooked device whose identifier and names hold Latin-1 letters, letters
// beyond Latin-1 and a character outside the basic plane (two UTF-16 units).
const char kWideMachine[] = R"({"devices": [
  {"id": "ROOT\\CAF\u00c9\u00ff\u0100\u20ac\ud83d\ude00\\0", "class": "{6bdd1fc6-810f-11d0-bec7-08002be2092f}",
   "properties": {"Mfg": "\u00c4rger\u4e2d", "DeviceDesc": "Cam\u00e9ra \u0416", "CompatibleIDs": ["USB\\Class_0E"]},
   "interfaces": [{"class": "{E768C1E7-986A-404D-BBF3-748B5DCE914A}",
                   "path": "\\\\?\\root#caf\u00e9\u0101#0#{e768c1e7-986a-404d-bbf3-748b5dce914a}"}]}]})";

TEST(HostileData, CharactersAboveLatin1AreWrittenAsQuestionMarks) {
    const SessionOutput out = RunWholeSession(kWideMachine);
    ExpectCleanRun(out);
    // U+00C9 and U+00FF keep their byte; U+0100, U+20AC and each half of
    // the surrogate pair become '?'.
    const std::string id = "ROOT\\CAF\xC9\xFF??"
                           "??\\0";
    EXPECT_EQ(out.hooked, std::vector<std::string>{id});
    EXPECT_NE(out.bytes.find("\r\n\t" + id + "\r\n"), std::string::npos);
    EXPECT_TRUE(HasLine(out.trace, "INFO GetDeviceId " + id));
    EXPECT_TRUE(HasLine(out.trace, "INFO GetDevicePropertyFromInterfaceInstance m_Manufacturer \xC4rger?"));
    EXPECT_TRUE(HasLine(out.trace, "INFO GetDevicePropertyFromInterfaceInstance m_Model Cam\xE9ra ?"));
    EXPECT_TRUE(HasLineStartingWith(out.trace, "ENTER GetDevicePropertyFromInterfaceInstance \\\\?\\root#caf\xE9?#0#"));
}

// ---------------------------------------------------------------------------
// Identifiers of 10,000 characters on the default machine.

// The JSON text of `value` lengthened to kHostileLength characters by 'X's
// appended, replaced everywhere the default machine holds it as a string.
std::string Lengthened(const std::string &escaped) {
    size_t length = 0;  // characters once the JSON escapes are read
    for (size_t i = 0; i < escaped.size(); ++i, ++length)
        if (escaped[i] == '\\') ++i;
    return escaped + std::string(kHostileLength - length, 'X');
}

std::string Unescaped(const std::string &escaped) {
    std::string text;
    for (size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] == '\\') ++i;
        text.push_back(escaped[i]);
    }
    return text;
}

std::string DefaultWithLongString(const std::string &escaped, size_t *replaced) {
    std::string json = sim::DefaultMachineJson();
    const std::string from = "\"" + escaped + "\"";
    const std::string to = "\"" + Lengthened(escaped) + "\"";
    *replaced = 0;
    for (size_t at = json.find(from); at != std::string::npos; at = json.find(from, at + to.size())) {
        json.replace(at, from.size(), to);
        ++*replaced;
    }
    return json;
}

struct LongCase {
    const char *name;
    std::string escaped;  // the string as the default machine's JSON holds it
    // A line (or, ending in '*', a line prefix) that shows how the long text
    // was cut or refused; $ stands for the lengthened text.
    std::vector<std::string> expected;
    std::vector<std::string> absent;  // line prefixes that must not appear
    friend void PrintTo(const LongCase &c, std::ostream *os) { *os << c.name; }
};

const std::string kStickId = R"(USB\\VID_0781&PID_5581\\4C530001230918117143)";
const std::string kExternalHubId = R"(USB\\VID_05E3&PID_0610\\5&2B8F3D1E&0&4)";
const std::string kRootHubPath = R"(\\?\usb#root_hub30#4&2a4c3b8&0&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8})";

std::vector<LongCase> LongCases() {
    return {
        // Read by size wherever it is needed: kept whole.
        {"StickDeviceId", kStickId, {"INFO GetUSBDevicePath lpszInstancePath $"}, {}},
        // Too long for the fixed identifier buffer of the hub lookup: the hub
        // is not recognised and the walk goes on to the root hub.
        {"HubDeviceId",
         kExternalHubId,
         {"INFO GetUSBDevicePath lpszInstancePath $", "INFO GetUSBDevicePath lpszDeviceHubPath " + kRootHubPath}, {}},
        // Too long for the fixed detail buffer: the same.
        {"HubInterfacePath",
         R"(\\\\?\\usb#vid_05e3&pid_0610#5&2b8f3d1e&0&4#{f18a0e88-c30c-11d0-8815-00a0c906bed8})",
         {"INFO GetUSBDevicePath lpszInstancePath " + Unescaped(kExternalHubId),
          "INFO GetUSBDevicePath lpszDeviceHubPath " + kRootHubPath}, {}},
        // Read by size: kept whole.
        {"DiskInterfacePath",
         R"(\\\\?\\usbstor#disk&ven_sandisk&prod_ultra&rev_1.00#4c530001230918117143&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b})",
         {"INFO GetDevicePath $"}, {}},
        {"HookedInterfacePath",
         R"(\\\\?\\usbstor#disk&ven_sandisk&prod_ultra&rev_1.00#4c530001230918117143&0#{e768c1e7-986a-404d-bbf3-748b5dce914a})",
         {"INFO GetDeviceHandle pPdo $"}, {}},
        // No driver key is this long: the hub's answer is refused.
        {"DriverKey", R"({36fc9e60-c465-11cf-8056-444553540000}\\0011)", {"ERROR GetDriverKeyName invalid nBytes"}, {}},
        // The label does not fit the 260-character buffer: the volume query fails.
        {"VolumeLabel",
         "PHOTOS_2019",
         {"ERROR GetVolumeInformationForMountPoint GetVolumeInformation *"},
         {"INFO GetVolumeInformationForMountPoint vName"}},
        // The name does not fit the 530-byte object name answer.
        {"VolumeObjectName",
         R"(\\Device\\CdRom0)",
         {"ERROR GetObjectNameByHandle NtQueryObject *"},
         {"INFO GetObjectNameByHandle \\Device\\CdRom0"}},
        // The system drive's target does not fit the 260-character buffer:
        // no disk can be matched with it, so none is the boot drive.
        {"SystemVolumeObjectName", R"(\\Device\\HarddiskVolume3)", {}, {"INFO CheckBootDrive m_bBootDrive 1"}},
        {"DiskObjectName", R"(\\Device\\Harddisk1\\DR1)", {}, {}},
        // Registry names are read by size: kept whole.
        {"DeviceName", "Galaxy S21", {"INFO GetDevicePropertyFromInterfaceInstance m_Model $"}, {}},
        // The descriptor no longer fits its fixed buffer: none of its strings is taken.
        {"StorageSerial", "0025_3884_1146_9A2C.", {}, {"INFO UseStorageDeviceProperty m_Serial 0025"}},
        // Too long for the buffer: no system drive is made up from it.
        {"WindowsDirectory",
         R"(C:\\WINDOWS)",
         {"ERROR GetSystemDeviceInfo GetWindowsDirectory *"},
         {"INFO GetSystemDeviceInfo Path: "}},
    };
}

class LongIdentifierTest : public ::testing::TestWithParam<LongCase> {};

TEST_P(LongIdentifierTest, IsKeptWholeOrRefusedCleanly) {
    const LongCase &c = GetParam();
    size_t replaced = 0;
    const std::string json = DefaultWithLongString(c.escaped, &replaced);
    ASSERT_GT(replaced, 0u) << c.escaped << " is not in the default machine";
    const SessionOutput out = RunWholeSession(json);
    ExpectCleanRun(out);

    const std::string longText = Unescaped(Lengthened(c.escaped));
    ASSERT_EQ(longText.size(), kHostileLength);
    for (std::string line : c.expected) {
        const size_t dollar = line.find('$');
        if (dollar != std::string::npos) line.replace(dollar, 1, longText);
        if (!line.empty() && line.back() == '*')
            EXPECT_TRUE(HasLineStartingWith(out.trace, line.substr(0, line.size() - 1))) << line.substr(0, 200);
        else
            EXPECT_TRUE(HasLine(out.trace, line)) << line.substr(0, 200);
    }
    for (const std::string &prefix : c.absent) EXPECT_FALSE(HasLineStartingWith(out.trace, prefix)) << prefix;
    // No line holds a piece of the long text cut short by a fixed buffer
    // without saying so: a line carries all of it or none of its padding.
    const std::string padding(kHostileLength / 2, 'X');
    for (const std::string &line : out.lines)
        if (line.find(padding) != std::string::npos) {
            EXPECT_NE(line.find(longText), std::string::npos) << line.substr(0, 120);
        }
}

INSTANTIATE_TEST_SUITE_P(Each, LongIdentifierTest, ::testing::ValuesIn(LongCases()),
                         [](const ::testing::TestParamInfo<LongCase> &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// A device 1,000 levels below its hub.

constexpr int kDepth = 1000;

// DEVINST 1 root hub (hub interface), 2 .. kDepth intermediate nodes, each
// the child of the one before, and kDepth + 1 the device at the bottom.
std::string DeepMachine() {
    std::string json = R"({"devices": [
  {"id": "USB\\ROOT_HUB30\\0", "interfaces": [{"class": "{F18A0E88-C30C-11D0-8815-00A0C906BED8}",
     "path": "\\\\?\\usb#root_hub30#0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}"}]})";
    std::string parent = "USB\\\\ROOT_HUB30\\\\0";
    for (int level = 1; level <= kDepth; ++level) {
        const std::string id = "USB\\\\LEVEL\\\\" + std::to_string(level);
        json += ",\n  {\"id\": \"" + id + "\", \"parent\": \"" + parent + "\"}";
        parent = id;
    }
    return json + "]}";
}

class DeepTreeTest : public MachineTest {};

TEST_F(DeepTreeTest, TheWalkUpFindsAHubAThousandLevelsAbove) {
    Load(DeepMachine());
    CDeviceInfo record;
    WCHAR *instanceId = nullptr, *hubPath = nullptr;
    CAutoFree<WCHAR> idHolder(&instanceId), pathHolder(&hubPath);
    const DEVINST bottom = kDepth + 1;

    ASSERT_TRUE(record.GetUSBDeviceHubPath(bottom, &instanceId, &hubPath));
    EXPECT_EQ(wstr::ToUtf8(hubPath), R"(\\?\usb#root_hub30#0#{f18a0e88-c30c-11d0-8815-00a0c906bed8})");
    EXPECT_EQ(wstr::ToUtf8(instanceId), R"(USB\LEVEL\1)");
    EXPECT_EQ(record.m_HubDevInst, 1u);
    EXPECT_EQ(record.m_HubChildDevInst, 2u);

    // One step per level: each level asks for its parent once and looks for
    // a hub interface once, so the walk stays linear in the depth.
    EXPECT_EQ(sim::CountCalls("CM_Get_Parent"), static_cast<size_t>(kDepth));
    EXPECT_EQ(sim::CountCalls("SetupDiGetClassDevsW"), static_cast<size_t>(kDepth));
    const std::vector<std::string> lines = Lines();
    EXPECT_EQ(lines.back(), "LEAVE GetUSBDeviceHubPath");
    EXPECT_EQ(CountPrefix(lines, "INFO GetDeviceId lpDevID "), static_cast<size_t>(kDepth));
}

TEST_F(DeepTreeTest, WithoutAHubTheWalkEndsAtTheRoot) {
    std::string json = DeepMachine();
    const std::string hubInterface = "\"interfaces\": [{\"class\": \"{F18A0E88-C30C-11D0-8815-00A0C906BED8}\"";
    json.replace(json.find(hubInterface), hubInterface.size(),
                 "\"interfaces\": [{\"class\": \"{A5DCBF10-6530-11D2-901F-00C04FB951ED}\"");
    Load(json);
    CDeviceInfo record;
    WCHAR *instanceId = nullptr, *hubPath = nullptr;
    CAutoFree<WCHAR> idHolder(&instanceId), pathHolder(&hubPath);

    EXPECT_FALSE(record.GetUSBDeviceHubPath(kDepth + 1, &instanceId, &hubPath));
    EXPECT_EQ(hubPath, nullptr);
    EXPECT_EQ(sim::CountCalls("CM_Get_Parent"), static_cast<size_t>(kDepth + 1));
    const std::vector<std::string> lines = Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "ERROR GetUSBDeviceHubPath CM_Get_Parent");
}

// ---------------------------------------------------------------------------
// A hub that claims 255 ports.

std::string ReplaceAfter(std::string json, const std::string &anchor, const std::string &from, const std::string &to) {
    const size_t start = json.find(anchor);
    EXPECT_NE(start, std::string::npos) << anchor;
    const size_t at = json.find(from, start);
    EXPECT_NE(at, std::string::npos) << from;
    if (start != std::string::npos && at != std::string::npos) json.replace(at, from.size(), to);
    return json;
}

TEST(HostileData, AHubOfPortCount255IsScannedToItsLastPort) {
    // The external hub reports 255 ports and the stick moves to the last.
    std::string json = sim::DefaultMachineJson();
    json = ReplaceAfter(json, "\"ex_query\": false", "\"port_count\": 4", "\"port_count\": 255");
    json = ReplaceAfter(json, "\"ex_query\": false", "\"port\": 1,", "\"port\": 255,");
    const SessionOutput out = RunWholeSession(json);
    ExpectCleanRun(out);
    EXPECT_TRUE(HasLine(out.trace, "INFO GetUsbHubNumberOfPorts GetUsbHubNumberOfPorts 255"));
    // The stick is still found, its strings read from port 255.
    const SessionOutput baseline = RunWholeSession(sim::DefaultMachineJson());
    for (const char *field : {"\t Serial ", "\t Manufacturer ", "\t Model "}) {
        std::vector<std::string> got, want;
        for (const std::string &line : out.trace)
            if (line.rfind(field, 0) == 0) got.push_back(line);
        for (const std::string &line : baseline.trace)
            if (line.rfind(field, 0) == 0) want.push_back(line);
        EXPECT_EQ(got, want) << field;
    }
    EXPECT_EQ(out.all, baseline.all);
    EXPECT_EQ(out.legacy, baseline.legacy);
}

TEST(HostileData, AHubOfPortCount255WithoutTheDeviceAsksEachPortOnce) {
    std::string json = sim::DefaultMachineJson();
    json = ReplaceAfter(json, "\"ex_query\": false", "\"port_count\": 4", "\"port_count\": 255");
    json = ReplaceAfter(json, "\"ex_query\": false", "\"port\": 1,", "\"port\": 1, \"connected\": false,");
    const SessionOutput out = RunWholeSession(json);
    ExpectCleanRun(out);
    // Each scan of this hub asks port by port until it finds its device; the
    // stick's scan finds it on no port, asks each of the 255 once and ends.
    std::vector<size_t> queriesPerScan;
    for (size_t i = 0; i < out.trace.size(); ++i) {
        if (out.trace[i] != "INFO GetUsbHubNumberOfPorts GetUsbHubNumberOfPorts 255") continue;
        size_t queries = 0, j = i + 1;
        for (; j < out.trace.size() && out.trace[j].rfind("LEAVE GetUSBDeviceInfo", 0) != 0; ++j)
            if (out.trace[j] == "ENTER IsUsbDeviceConnected") ++queries;
        EXPECT_LT(j, out.trace.size()) << "the scan never ended";
        queriesPerScan.push_back(queries);
    }
    ASSERT_FALSE(queriesPerScan.empty());
    EXPECT_EQ(*std::max_element(queriesPerScan.begin(), queriesPerScan.end()), 255u);
    // One full scan for each time the stick is classified.
    EXPECT_EQ(static_cast<size_t>(std::count(queriesPerScan.begin(), queriesPerScan.end(), 255u)),
              CountPrefix(out.trace, "INFO GetUSBDevicePath lpszInstancePath USB\\VID_0781&PID_5581\\"));
}

}  // namespace

// ---------------------------------------------------------------------------
// A parent chain that loops is refused when the machine is read, naming a
// device on the loop.

namespace cycles {

std::string LoadError(const std::string &json) {
    try {
        sim::LoadMachine(json, "cycle.json");
    } catch (const sim::MachineError &e) {
        return e.what();
    }
    return "(loaded)";
}

// kDepth devices in a chain whose root names the bottom as its parent.
std::string LongLoop() {
    std::string json = R"({"devices": [{"id": "L\\0", "parent": "L\\)" + std::to_string(kDepth - 1) + "\"}";
    for (int i = 1; i < kDepth; ++i)
        json += ", {\"id\": \"L\\\\" + std::to_string(i) + "\", \"parent\": \"L\\\\" + std::to_string(i - 1) + "\"}";
    return json + "]}";
}

const char kLoopMessage[] = "the parent chain loops back to this device";

TEST(ParentCycle, IsRefusedNamingADeviceOnTheLoop) {
    const struct {
        const char *name;
        std::string json;
        std::string error;
    } cases[] = {
        {"two devices", R"({"devices": [{"id": "A\\1", "parent": "B\\1"}, {"id": "B\\1", "parent": "A\\1"}]})",
         std::string("cycle.json: devices[0].parent: ") + kLoopMessage},
        // The first device only leads into the loop; the loop's first member is named.
        {"a chain into a loop",
         R"({"devices": [{"id": "A\\1", "parent": "B\\1"}, {"id": "B\\1", "parent": "C\\1"},
                         {"id": "C\\1", "parent": "B\\1"}]})",
         std::string("cycle.json: devices[1].parent: ") + kLoopMessage},
        {"a loop of a thousand", LongLoop(), std::string("cycle.json: devices[0].parent: ") + kLoopMessage},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(LoadError(c.json), c.error);
    }
    // The same chain without the closing link loads.
    std::string open = LongLoop();
    const std::string closing = ", \"parent\": \"L\\\\" + std::to_string(kDepth - 1) + "\"";
    open.erase(open.find(closing), closing.size());
    EXPECT_EQ(LoadError(open), "(loaded)");
}

#ifndef _WIN32
// The program itself stops before touching its log, with exit status 2 and
// the reason on standard error.
TEST(ParentCycle, TheProgramRefusesTheMachineWithExit2) {
    char self[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    const std::string exe(self, static_cast<size_t>(n));
    const std::string program = exe.substr(0, exe.rfind('/')) + "/../enumerate-tarsel";
    if (!std::filesystem::exists(program)) GTEST_SKIP() << "the program is not built: " << program;

    const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) /
                                      ("hostile-cycle-" + std::to_string(getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "cycle.json") << LongLoop();
    const std::string command =
        "cd '" + dir.string() + "' && TARSEL_MACHINE=cycle.json '" + program + "' >out.txt 2>err.txt";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
    std::ifstream err(dir / "err.txt");
    std::stringstream text;
    text << err.rdbuf();
    EXPECT_EQ(text.str(), std::string("enumerate-tarsel: bad machine file cycle.json: devices[0].parent: ") +
                              kLoopMessage + "\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "enumerate-tarsel.txt")) << "the log was touched";
    std::filesystem::remove_all(dir);
}
#endif

}  // namespace cycles
