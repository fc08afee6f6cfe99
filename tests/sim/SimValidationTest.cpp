// Machine file validation: every mistake is reported with the JSON path of
// the bad key, and a bad file stops the program before it writes its log.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "machine/Codecs.h"
#include "machine/File.h"
#include "machine/Format.h"
#include "machine/Model.h"
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

// Writing the model a file reads gives the file's canonical text: nothing
// the model holds is dropped or written otherwise.  Every machine file of
// the repository, and one that moves every key of the format away from its
// default.  The model keeps no comment, $schema or description, so they are
// left out of the expected text; the few forms it cannot tell apart from
// another that reads the same are listed, each where a file uses it.
const char kEveryKey[] = R"({
  "captured_by": {"program": "enumerate-tarsel-capture", "version": "1.0.0", "architecture": "windows-x64",
                  "windows": {"major": 10, "minor": 0, "build": 19045}},
  "clock": -5,
  "windows_directory": null,
  "windows_directory_error": 1114,
  "environment": {"Path": "C:\\bin", "SystemDrive": "D:", "W\u00e9": ""},
  "libraries": {"cfgmgr32.dll": "missing", "ole32.dll": {},
                "setupapi.dll": {"missing_exports": ["SetupDiDestroyDeviceInfoList", "SetupDiGetClassDevsW"]}},
  "dos_devices": {"C:": "\\Device\\HarddiskVolume3", "E:": "\\Device\\CdRom0"},
  "volumes": {"C:": {"label": "OS", "serial": "1a2b3c4d", "file_system": "FAT32", "max_component_length": 12, "flags": 7},
              "E:": {"error": 21}},
  "class_errors": {"{4D36E967-E325-11CE-BFC1-08002BE10318}": 13},
  "interface_order": {"{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}": ["p2", "P1"]},
  "handle_values": ["0x104", 260, "0x2000"],
  "devices": [
    {"id": "ROOT\\A\\0", "devinst": 9, "class": "{4d36e967-e325-11ce-bfc1-08002be10318}", "present": false,
     "status": ["DN_HAS_PROBLEM", "DN_STARTED"], "problem": 28, "status_error": "0x5", "id_error": 13,
     "properties": {"DeviceDesc": "Disk \u00e9\u20ac\ud83d\ude00", "HardwareIDs": ["A", "", "B"], "CompatibleIDs": [],
                    "Service": {"type": 4, "value": 1}, "Class": "", "ClassGUID": "{4D36E967-E325-11CE-BFC1-08002BE10318}",
                    "Driver": {"type": 2, "bytes": "4100 0000"}, "Mfg": {"type": 3, "bytes": "01 02"},
                    "FriendlyName": {"type": 1, "bytes": "4100 4200"}, "LocationInformation": [""],
                    "PhysicalDeviceObjectName": {"type": 1, "bytes": "4100 0000 4200 0000"}, "EnumeratorName": "OTHER"},
     "interfaces": [{"class": "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}", "path": "p1", "object": "\\Device\\Harddisk0\\DR0",
                     "present": false},
                    {"class": "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}", "path": "p2"}]},
    {"id": "USB\\B\\1", "parent": "ROOT\\A\\0", "properties": {"EnumeratorName": "USB", "ClassGUID": "x"}},
    {"id": "USB\\C\\1", "devinst": 3, "class": "{36FC9E60-C465-11CF-8056-444553540000}",
     "properties": {"ClassGUID": "{36FC9E60-C465-11CF-8056-444553540000}"}}
  ],
  "objects": [
    {"name": "\\Device\\Harddisk0\\DR0", "aliases": ["\\\\.\\PhysicalDrive0", "\\DosDevices\\X:"],
     "open_error": {"error": 5, "status": "0xC0000001"}, "write_error": 32, "forward": "\\Device\\Other",
     "device_number": {"type": 7, "number": 1, "partition": 2, "returned": 8},
     "storage_descriptor": {"vendor": "V", "product": "P", "revision": "", "serial": null, "bus_type": 7, "removable": true,
                            "device_type": 5, "device_type_modifier": 1, "command_queueing": true},
     "media_types": [{"media_type": 12, "cylinders": -1, "tracks_per_cylinder": 255, "sectors_per_track": 63,
                      "bytes_per_sector": 512, "sides": 1, "characteristics": 3}, {}],
     "mountdev_name": "\\Device\\HarddiskVolume3",
     "sd_protocol": "{8E84FE8B-ABBF-4A6D-A3E5-ED7D9F8F8D6A}",
     "sd_cid": "0353 4453 4430 3847 8000 0000 0001 00AB",
     "hub": {"ex_query": false, "port_count": 4, "bus_powered": true,
             "ports": [{"port": 1, "connected": false, "device_is_hub": true, "speed": 3, "address": 7, "configuration": 0,
                        "open_pipes": 2,
                        "descriptor": {"bLength": 17, "bDescriptorType": 2, "bcdUSB": 784, "bDeviceClass": 9,
                                       "bDeviceSubClass": 1, "bDeviceProtocol": 3, "bMaxPacketSize0": 9, "idVendor": 4660,
                                       "idProduct": 22136, "bcdDevice": 257, "iManufacturer": 1, "iProduct": 2,
                                       "iSerialNumber": 3, "bNumConfigurations": 2},
                        "driver_key": "{36FC9E60-C465-11CF-8056-444553540000}\\0001", "languages": [1033, 1031],
                        "strings": {"1": "Maker", "2": "", "10": "x"}},
                       {"port": 2, "driver_key": {"error": 31}}]},
     "ioctl": {"0x2d1400": [{"input": "0102", "bytes": "0304 0506 07", "returned": 9, "error": "0x1F"}, {"bytes": ""}],
               "0x70000": [{"input": "", "error": 1}], "0x070000": {"input": "01", "bytes": "02"}}},
    {"name": "\\Device\\Other", "write_error": {"error": 5, "status": "0xC0000022"}, "open_error": "0xC0000034"},
    {"name": "\\Device\\Answers", "device_number": {"error": 1}, "storage_descriptor": {"error": 1},
     "media_types": {"error": 1}, "mountdev_name": {"error": 1}, "sd_protocol": {"error": 1}, "sd_cid": {"error": 1},
     "hub": {"error": "0x1"}}
  ]
})";

// What the model keeps of an entry: its keys without the ones it does not
// keep, in every entry below it.
void DropUnkept(nlohmann::ordered_json &j, const machine::format::Entry &entry) {
    namespace key = machine::format::key;
    if (!j.is_object()) return;
    for (const char *unkept : {key::kComment, key::kSchema, key::kDescription})
        if (entry.Find(unkept) != nullptr) j.erase(unkept);
    for (const machine::format::Field &f : entry.fields) {
        auto it = j.find(f.key);
        if (f.entry == nullptr || it == j.end()) continue;
        if (f.kind == machine::format::Kind::Entry) DropUnkept(*it, *f.entry);
        if (f.kind == machine::format::Kind::EntryList || f.kind == machine::format::Kind::EntryMap)
            for (auto &e : *it) DropUnkept(e, *f.entry);
    }
}

TEST(SimValidation, WritingTheModelAFileReadsGivesItsCanonicalText) {
    struct Case {
        std::string name, text;
    };
    std::vector<Case> cases{{"every key", kEveryKey}};
    for (const char *folder : {"machines", "tests/golden/machines", "tests/sim/machines"})
        for (const auto &e : std::filesystem::directory_iterator(std::filesystem::path(TARSEL_SOURCE_DIR) / folder)) {
            const std::string file = std::string(folder) + "/" + e.path().filename().string();
            if (e.path().extension() == ".json" && file != "machines/machine.schema.json")
                cases.push_back({file, testing_support::ReadSourceFile(file)});
        }
    ASSERT_GE(cases.size(), 18u) << "the repository's machine files were not found";
    // Forms that read as the same model as another, by file and JSON pointer:
    // the form the model is written in (null: the key is left out).
    const struct {
        const char *file, *pointer, *written;
    } kSameModel[] = {
        // A code alone gives its pair; of the two codes, the Win32 error is written.
        {"every key", "/objects/1/write_error", R"("0x5")"},
        {"every key", "/objects/1/open_error", R"("0x2")"},
        {"tests/sim/machines/replay_keys.json", "/objects/1/open_error", R"("0x5")"},
        // One answer for any input is a list of one, as the capture writes answers.
        {"tests/sim/machines/replay_keys.json", "/objects/0/ioctl/0x4D0008", R"([{"error": "0x1"}])"},
        // A number is the four bytes it reads as.
        {"every key", "/devices/0/properties/Service", R"({"type": 4, "bytes": "01000000"})"},
        // The index + 1 is what leaving the DEVINST out reads.
        {"every key", "/devices/2/devinst", nullptr},
        // The model links an interface, not a path: its own path is written.
        {"every key", "/interface_order/{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}/1", R"("p1")"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string canonical, written;
        try {
            canonical = machine::NormaliseMachine(c.text, c.name);
            written = machine::WriteMachine(*machine::ParseMachine(c.text, c.name));
        } catch (const machine::MachineError &error) {
            FAIL() << error.what();
        }
        nlohmann::ordered_json expected = nlohmann::ordered_json::parse(canonical);
        DropUnkept(expected, machine::format::kMachine);
        for (const auto &same : kSameModel) {
            if (c.name != same.file) continue;
            const nlohmann::ordered_json::json_pointer at(same.pointer);
            ASSERT_TRUE(expected.contains(at)) << same.pointer;
            if (same.written != nullptr)
                expected[at] = nlohmann::ordered_json::parse(same.written);
            else
                expected[at.parent_pointer()].erase(at.back());
        }
        EXPECT_EQ(nlohmann::ordered_json::parse(written).dump(2), expected.dump(2));
        // The written text is itself canonical.
        EXPECT_EQ(machine::NormaliseMachine(written, c.name), written);
    }
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
        // A reader that grows with the square fails every attempt; other
        // tests running beside this one may spoil one.
        double ratio = 0;
        for (int attempt = 0; attempt < 3 && !(ratio > 0 && ratio < 7.0); ++attempt)
            ratio = seconds(large + "]}") / seconds(small + "]}");
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
        {{false, {}}, R"({})"},
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
