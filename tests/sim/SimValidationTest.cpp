// Machine file validation: every mistake is reported with the JSON path of
// the bad key, and a bad file stops the program before it writes its log.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

#include "machine/Codecs.h"
#include "machine/File.h"
#include "tests/support/Harness.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

std::string LoadError(const std::string &json) {
    try {
        sim::LoadMachine(json, "bad.json");
    } catch (const sim::MachineError &e) {
        return e.what();
    }
    return "(loaded)";
}

struct BadMachine {
    const char *name;
    const char *json;
    const char *message;  // the whole message after "bad.json: "
};

const BadMachine kBadMachines[] = {
    {"NotJson", R"({"devices": [)", nullptr},
    {"UnknownTopLevelKey", R"({"device": []})", "device: unknown key"},
    {"UnknownDeviceKey", R"({"devices": [{"id": "A\\1"}, {"id": "B\\1", "parnet": "A\\1"}]})",
     "devices[1].parnet: unknown key"},
    {"DuplicateKey", R"({"devices": [{"id": "A\\1", "properties": {"Mfg": "x", "Mfg": "y"}}]})",
     "devices[0].properties.Mfg: duplicate key"},
    {"MissingId", R"({"devices": [{"class": "{4D36E967-E325-11CE-BFC1-08002BE10318}"}]})", "devices[0].id: missing"},
    {"DuplicateIdIgnoringCase", R"({"devices": [{"id": "USB\\X\\1"}, {"id": "usb\\x\\1"}]})",
     "devices[1].id: duplicate of devices[0].id"},
    {"DanglingParent", R"({"devices": [{"id": "A\\1", "parent": "B\\1"}]})",
     "devices[0].parent: no device has the id \"B\\1\""},
    {"ParentCycle", R"({"devices": [{"id": "A\\1", "parent": "C\\1"}, {"id": "B\\1", "parent": "A\\1"}, {"id": "C\\1", "parent": "B\\1"}]})",
     "devices[0].parent: the parent chain loops back to this device"},
    {"DanglingObject",
     R"({"objects": [{"name": "\\Device\\A"}], "devices": [{"id": "A\\1", "interfaces": [
        {"class": "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}", "path": "p0", "object": "\\Device\\A"},
        {"class": "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}", "path": "p1", "object": "\\Device\\B"}]}]})",
     "devices[0].interfaces[1].object: no object is named \"\\Device\\B\""},
    {"DuplicatePath",
     R"({"devices": [{"id": "A\\1", "interfaces": [{"class": "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}", "path": "P"}]},
        {"id": "B\\1", "interfaces": [{"class": "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}", "path": "p"}]}]})",
     "devices[1].interfaces[0].path: duplicate of devices[0].interfaces[0].path"},
    {"BadGuid", R"({"devices": [{"id": "A\\1", "class": "4D36E967-E325-11CE-BFC1-08002BE10318"}]})",
     "devices[0].class: bad GUID \"4D36E967-E325-11CE-BFC1-08002BE10318\" (expected {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX})"},
    {"UnknownStatusFlag", R"({"devices": [{"id": "A\\1", "status": ["DN_STARTED", "DN_STARTD"]}]})",
     "devices[0].status[1]: unknown status flag \"DN_STARTD\""},
    {"UnknownProperty", R"({"devices": [{"id": "A\\1", "properties": {"FriendlyNam": "x"}}]})",
     "devices[0].properties.FriendlyNam: unknown property"},
    {"NegativeNumber", R"({"devices": [{"id": "A\\1", "problem": -1}]})",
     "devices[0].problem: expected a number from 0 to 4294967295, not a negative one"},
    {"NumberTooLarge", R"({"windows_directory_error": 4294967296})", "windows_directory_error: number above 4294967295"},
    {"BadCodeText", R"({"class_errors": {"{4D36E967-E325-11CE-BFC1-08002BE10318}": "13"}})",
     "class_errors.{4D36E967-E325-11CE-BFC1-08002BE10318}: expected a code as a number or hex text such as \"0xC0000034\""},
    {"DanglingForward", R"({"objects": [{"name": "\\Device\\V", "forward": "\\Device\\Disk"}]})",
     "objects[0].forward: no object is named \"\\Device\\Disk\""},
    {"ForwardCycle", R"({"objects": [{"name": "\\Device\\A", "forward": "\\Device\\B"}, {"name": "\\Device\\B", "forward": "\\Device\\A"}]})",
     "objects[0].forward: the forward chain loops back to this object"},
    {"BadHex", R"({"objects": [{"name": "\\Device\\A", "ioctl": {"0x2D1080": {"bytes": "0G"}}}]})",
     "objects[0].ioctl.0x2D1080.bytes: bad hex bytes"},
    {"ShortCid", R"({"objects": [{"name": "\\Device\\A", "sd_cid": "0353"}]})",
     "objects[0].sd_cid: a CID is 32 hex digits (16 bytes)"},
    {"UnknownHubKey", R"({"objects": [{"name": "\\Device\\H", "hub": {"ports": [{"port": 1, "descriptor": {"idVendr": 1}}]}}]})",
     "objects[0].hub.ports[0].descriptor.idVendr: unknown key"},
    {"DuplicatePort", R"({"objects": [{"name": "\\Device\\H", "hub": {"ports": [{"port": 2}, {"port": 2}]}}]})",
     "objects[0].hub.ports[1].port: duplicate port number"},
    {"UnknownLibrary", R"({"libraries": {"setupap.dll": "missing"}})", "libraries.setupap.dll: unknown library"},
    {"UnknownExport", R"({"libraries": {"setupapi.dll": {"missing_exports": ["CreateFileW"]}}})",
     "libraries.setupapi.dll.missing_exports[0]: \"CreateFileW\" is not an export of setupapi.dll"},
    {"BadSerial", R"({"volumes": {"C:": {"label": "OS", "serial": "1A2B"}}})",
     "volumes.C:.serial: expected 8 hex digits such as \"1A2B3C4D\""},
    // A comment is ignored, but it is still text.
    {"CommentObject", R"({"devices": [{"id": "A\\1", "comment": {"note": "x"}}]})", "devices[0].comment: expected a string"},
    {"CommentArrayInInterface",
     R"({"devices": [{"id": "A\\1", "interfaces": [{"class": "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}", "path": "p", "comment": ["x"]}]}]})",
     "devices[0].interfaces[0].comment: expected a string"},
    {"CommentNumberInPort", R"({"objects": [{"name": "\\Device\\H", "hub": {"ports": [{"port": 1, "comment": 7}]}}]})",
     "objects[0].hub.ports[0].comment: expected a string"},
    {"CommentTrueInObject", R"({"objects": [{"name": "\\Device\\A", "comment": true}]})", "objects[0].comment: expected a string"},
};

class SimValidationTest : public ::testing::TestWithParam<BadMachine> {};

TEST_P(SimValidationTest, NamesTheFileThePathAndTheProblem) {
    const BadMachine &bad = GetParam();
    std::string message = LoadError(bad.json);
    if (bad.message == nullptr)
        EXPECT_EQ(message.rfind("bad.json: not valid JSON: ", 0), 0u) << message;
    else
        EXPECT_EQ(message, std::string("bad.json: ") + bad.message);
}

INSTANTIATE_TEST_SUITE_P(BadMachines, SimValidationTest, ::testing::ValuesIn(kBadMachines),
                         [](const ::testing::TestParamInfo<BadMachine> &info) { return std::string(info.param.name); });

TEST(SimValidation, AFailedLoadKeepsThePreviousMachine) {
    testing_support::UseMachine(R"({"devices": [{"id": "KEEP\\1"}]})");
    EXPECT_NE(LoadError(R"({"devices": [{"id": 7}]})"), "(loaded)");
    DEVINST node = 0;
    EXPECT_EQ(api::CM_Locate_DevNodeW(&node, const_cast<PWSTR>(WS("KEEP\\1")), 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(node, 1u);
}

TEST(SimValidation, ShippedMachinesLoad) {
    for (const char *file : {"machines/default.json", "machines/empty.json", "machines/windows-on-d.json",
                             "machines/unmonitored.json"}) {
        std::string json = testing_support::ReadSourceFile(file);
        ASSERT_FALSE(json.empty()) << file;
        EXPECT_NO_THROW(sim::LoadMachine(json, file)) << file;
    }
    // The built-in machine is the shipped default file.
    EXPECT_EQ(std::string(sim::DefaultMachineJson()), testing_support::ReadSourceFile("machines/default.json"));
}

// Nesting deeper than the format has is refused while parsing, before any
// part of the tools that walks values recursively could overflow its stack.
TEST(SimValidation, NestingDeeperThanTheFormatIsRefusedWhileParsing) {
    const size_t depth = 100000;
    const std::string json = R"({"devices": [{"id": "A\\1", "comment": )" + std::string(depth, '[') +
                             std::string(depth, ']') + "}]}";
    std::string path = "devices[0].comment";
    for (int level = 4; level <= 32; ++level) path += "[0]";
    const std::string expected = "bad.json: " + path + ": nested deeper than 32 levels";
    EXPECT_EQ(LoadError(json), expected);
    try {
        machine::NormaliseMachine(json, "bad.json");
        ADD_FAILURE() << "normalised";
    } catch (const machine::MachineError &e) {
        EXPECT_EQ(e.what(), expected);
    }
}

// Reading a machine costs in proportion to its size: four times the devices
// may take about four times as long (below seven, leaving room for caches),
// where a quadratic reader takes sixteen.  Processor time, each size at its
// best of three runs, so that other work on the machine does not count.
TEST(SimValidation, ReadingGrowsInProportionToTheMachine) {
    const struct {
        const char *name;
        std::string (*device)(size_t i);
        size_t count;
    } cases[] = {
        {"a chain of parents", [](size_t i) {
             return "{\"id\": \"C\\\\" + std::to_string(i) + "\"" +
                    (i == 0 ? std::string() : ", \"parent\": \"C\\\\" + std::to_string(i - 1) + "\"") + "}";
         }, 3000},
        // Parsing alone, with almost nothing to read: each device is refused
        // for its missing id only once the whole list is parsed.
        {"a flat list of empty devices", [](size_t) { return std::string("{}"); }, 100000},
    };
    const auto seconds = [](const std::string &json) {
        double best = 1e9;
        for (int run = 0; run < 3; ++run) {
            const std::clock_t start = std::clock();
            try {
                machine::CheckMachine(json, "big.json");
            } catch (const machine::MachineError &) {
            }
            best = std::min(best, static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC);
        }
        return best;
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string small = R"({"devices": [)", large = small;
        for (size_t i = 0; i < 4 * c.count; ++i) {
            const std::string device = (i == 0 ? "" : ", ") + c.device(i);
            if (i < c.count) small += device;
            large += device;
        }
        const double ratio = seconds(large + "]}") / seconds(small + "]}");
        EXPECT_LT(ratio, 7.0) << "reading four times the devices took " << ratio << " times as long";
    }
}

// The value forms written from the model, as a builder of machines writes
// them: the form a person would write where it says the same, and read back,
// the very model they were written from.
TEST(SimValidation, ValueFormsWrittenFromTheModelReadBackAsTheyWere) {
    using machine::codec::LibraryCodec;
    using machine::codec::OpenErrorCodec;
    using machine::codec::PropertyCodec;
    const std::string source = "model.json";
    const machine::Reader reader(source);
    const struct {
        machine::Property property;
        const char *json;
    } properties[] = {
        {{REG_SZ, {'A', 0, 'b', 0, 0, 0}}, R"("Ab")"},
        {{REG_SZ, {}}, R"({"type":1,"bytes":""})"},
        {{REG_SZ, {'A', 0}}, R"({"type":1,"bytes":"4100"})"},                      // no terminator
        {{REG_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0}}, R"({"type":1,"bytes":"61000000 62000000"})"},  // two texts
        {{REG_SZ, {0x00, 0xD8, 0, 0}}, R"({"type":1,"bytes":"00D80000"})"},         // an unpaired surrogate
        {{REG_SZ, {0x00, 0xDC, 'A', 0, 0, 0}}, R"({"type":1,"bytes":"00DC4100 0000"})"},  // a low surrogate first
        {{REG_SZ, {0x3D, 0xD8, 0x00, 0xDE, 0, 0}}, "\"\xF0\x9F\x98\x80\""},            // a pair: U+1F600
        {{REG_SZ, {'A', 0, 0}}, R"({"type":1,"bytes":"410000"})"},                  // odd length
        {{REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}}, R"(["a","b"])"},
        {{REG_MULTI_SZ, {0, 0}}, R"([])"},
        {{REG_MULTI_SZ, {0, 0, 0, 0}}, R"([""])"},
        {{REG_MULTI_SZ, {'a', 0, 0, 0}}, R"({"type":7,"bytes":"61000000"})"},      // no closing terminator
        {{REG_DWORD, {1, 0, 0, 0}}, R"({"type":4,"bytes":"01000000"})"},
    };
    for (const auto &c : properties) {
        const std::string written = PropertyCodec::ToJson(c.property).dump();
        EXPECT_EQ(written, c.json);
        const machine::Property back = PropertyCodec::Read(reader, machine::json::parse(written), "p");
        EXPECT_EQ(back.type, c.property.type) << written;
        EXPECT_EQ(back.data, c.property.data) << written;
    }
    const struct {
        machine::OpenError error;
        const char *json;
    } errors[] = {
        {{ERROR_FILE_NOT_FOUND, 0xC0000034u}, R"("0x2")"},
        {{ERROR_GEN_FAILURE, 0xC00000BBu}, R"("0xC00000BB")"},  // a status the rules know no error for
        {{ERROR_FILE_NOT_FOUND, 0xC0000022u}, R"({"error":"0x2","status":"0xC0000022"})"},
    };
    for (const auto &c : errors) {
        const std::string written = OpenErrorCodec::ToJson(c.error).dump();
        EXPECT_EQ(written, c.json);
        const machine::OpenError back = OpenErrorCodec::Read(reader, machine::json::parse(written), "e");
        EXPECT_EQ(back.win32, c.error.win32) << written;
        EXPECT_EQ(back.status, c.error.status) << written;
    }
    const struct {
        machine::LibraryModel library;
        const char *json;
    } libraries[] = {
        {{true, {}}, R"("missing")"},
        {{false, {"SetupDiEnumDeviceInfo", "SetupDiGetClassDevsW"}}, R"({"missing_exports":["SetupDiEnumDeviceInfo","SetupDiGetClassDevsW"]})"},
        {{false, {}}, R"({"missing_exports":[]})"},
    };
    for (const auto &c : libraries) {
        const std::string written = LibraryCodec::ToJson(c.library).dump();
        EXPECT_EQ(written, c.json);
        const machine::LibraryModel back = LibraryCodec::Read(reader, machine::json::parse(written), "l", "setupapi.dll");
        EXPECT_EQ(back.missing, c.library.missing) << written;
        EXPECT_EQ(back.missingExports, c.library.missingExports) << written;
    }
}

#ifndef _WIN32
// Runs the built program in a fresh directory with a bad machine file.
TEST(SimValidation, ProgramRefusesABadMachineWithExit2AndNoLog) {
    char self[4096] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    std::string exe(self, static_cast<size_t>(n));
    std::string program = exe.substr(0, exe.rfind('/')) + "/../enumerate-tarsel";
    struct stat st {};
    if (stat(program.c_str(), &st) != 0) GTEST_SKIP() << "the program is not built: " << program;

    char dirTemplate[] = "/tmp/tarsel-sim-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::string dir = dirTemplate;
    std::ofstream(dir + "/bad.json") << R"({"devices": [{"id": "A\\1", "interfaces": [{"class": "{x}", "path": "p"}]}]})";
    std::string command = "cd '" + dir + "' && TARSEL_MACHINE=bad.json '" + program + "' >out.txt 2>err.txt";
    int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);

    std::ifstream err(dir + "/err.txt");
    std::stringstream text;
    text << err.rdbuf();
    EXPECT_EQ(text.str(),
              "enumerate-tarsel: bad machine file bad.json: devices[0].interfaces[0].class: bad GUID \"{x}\" "
              "(expected {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX})\n");
    EXPECT_NE(stat((dir + "/enumerate-tarsel.txt").c_str(), &st), 0) << "the log was touched";

    // An unreadable file is refused the same way.
    command = "cd '" + dir + "' && TARSEL_MACHINE=missing.json '" + program + "' >out.txt 2>err.txt";
    status = std::system(command.c_str());
    EXPECT_EQ(WEXITSTATUS(status), 2);
    std::ifstream err2(dir + "/err.txt");
    std::stringstream text2;
    text2 << err2.rdbuf();
    EXPECT_EQ(text2.str(), "enumerate-tarsel: bad machine file missing.json: cannot read the file "
                           "(cannot open it: No such file or directory)\n");

    std::system(("rm -rf '" + dir + "'").c_str());
}
#endif

}  // namespace
