// The report over the golden logs, concatenated sessions and damaged logs,
// through its command line in-process.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <algorithm>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "report/Log.h"
#include "report/Render.h"
#include "report/Report.h"
#include "report/Session.h"

namespace {

const std::string kGolden = std::string(TARSEL_SOURCE_DIR) + "/tests/golden/";

std::string Read(const std::string &path) {
    std::string bytes;
    EXPECT_TRUE(report::ReadFileBytes(path, bytes)) << path;
    return bytes;
}

std::string Golden(const std::string &name) { return Read(kGolden + "expected/" + name + ".txt"); }

std::string WriteTemp(const std::string &name, const std::string &bytes) {
    const std::string path = ::testing::TempDir() + "report-" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

struct Outcome {
    int status;
    std::string out, err;
};

Outcome Report(std::vector<std::string> args) {
    std::ostringstream out, err;
    const int status = report::RunReport(args, out, err);
    return {status, out.str(), err.str()};
}

nlohmann::json Json(std::vector<std::string> args) {
    args.insert(args.begin(), {"--format", "json"});
    const Outcome run = Report(args);
    EXPECT_EQ(run.status, 0) << run.err;
    return nlohmann::json::parse(run.out);
}

const nlohmann::json *FindDevice(const nlohmann::json &document, const std::string &id) {
    for (const auto &device : document["session"]["devices"])
        if (device["id"] == id) return &device;
    return nullptr;
}

struct Expected {
    const char *log;
    const char *id;
    int all, legacy, hooked;
    std::vector<std::string> findings;
    const char *machine = nullptr;  // golden machine file, for devices only it names
    const char *standing = nullptr;  // where it stands, for a device without a finding
};

// Every device of the default machine's lists, and the golden machines'
// disagreements between lists.
const Expected kExpected[] = {
    {"default", "SCSI\\DISK&VEN_NVME&PROD_SAMSUNG_MZVL2512\\5&2B5C1E5&0&000000", 0, 0, 1, {"hooked, not of interest: fixed or system disk", "hooked, missing from the legacy list: type below 256"}},
    {"default", "USBSTOR\\DISK&VEN_SANDISK&PROD_ULTRA&REV_1.00\\4C530001230918117143&0", 1, 1, 1, {}},
    {"default", "SD\\VID_03&OID_5344&PID_SD32G&REV_8.0\\5&3AC9F0E&0&0", 1, 1, 1, {}},
    {"default", "SCSI\\DISK&VEN_SAMSUNG&PROD_PSSD_T7\\7&1E5B2C3A&0&000000", 1, 1, 1, {}},
    {"default", "SCSI\\CDROM&VEN_HL-DT-ST&PROD_DVDRAM_GUD0N\\4&2C3D4E5F&0&010000", 1, 1, 1, {}},
    {"default", "SCSI\\CDROM&VEN_ELBY&PROD_CLONEDRIVE&REV_1.4\\1&2AFD7D61&0&000000", 1, 0, 1, {"hooked, missing from the legacy list: legacy classification failed"}},
    {"default", "USBSTOR\\SFLOPPY&VEN_TEAC&PROD_FD-05PUB&REV_1026\\6&2A9E3B1C&0", 1, 1, 1, {}},
    {"default", "USB\\VID_04F2&PID_B6D9&MI_00\\6&1C3E2A4B&0&0000", 1, 1, 1, {}},
    {"default", "USB\\VID_04A9&PID_1913\\6&1A2B3C4D&0&3", 1, 1, 1, {}},
    {"default", "USB\\VID_8087&PID_0026\\5&2B8F3D1E&0&10", 1, 1, 1, {}},
    {"default", "USB\\VID_058F&PID_9540\\5&2B8F3D1E&0&7", 1, 1, 1, {}},
    {"default", "HDAUDIO\\FUNC_02&VEN_14F1&DEV_2C06&SUBSYS_10280A1F&REV_1000\\4&3A4B5C6D&0&0102", 1, 1, 1, {}},
    {"default", "ACPI\\PNP0501\\1", 1, 1, 1, {}},
    {"default", "USB\\VID_04E8&PID_6860&MS_COMP_MTP&SAMSUNG_ANDROID\\6&2F1AB3C2&0&0000", 1, 1, 1, {}},
    {"default", "USB\\VID_046D&PID_C52B\\5&2B8F3D1E&0&2", 0, 1, 1, {"hooked, not of interest: setup class not walked"}},
    {"default", "USB\\VID_046D&PID_C52B\\5&2B8F3D1E&0&2", 0, 1, 1, {"hooked, not of interest: left out by its class filter"}, "default"},
    {"default", "USB\\VID_04F2&PID_B6D9&MI_02\\6&1C3E2A4B&0&0002", 0, 1, 1, {"hooked, not of interest: setup class not walked"}},
    {"default", "SWD\\WPDBUSENUM\\{6AC27878-A6FA-4155-BA85-F98F491D4F33}#0000000000010000", 0, 0, 1, {"hooked, not of interest: setup class not walked", "hooked, missing from the legacy list: legacy classification failed"}},
    {"default", "USB\\VID_03F0&PID_1E2A\\PHBBM12345", 0, 1, 1, {"hooked, not of interest: left out by its class filter"}},
    {"default", "USB\\VID_067B&PID_2303\\6&1A2B3C4D&0&4", 0, 1, 1, {"hooked, not of interest: device has a problem"}},
    {"default", "USB\\ROOT_HUB30\\4&2A4C3B8&0&0", 0, 0, 0, {}},
    {"hooked_fixed_disk", "SCSI\\DISK&VEN_WDC&PROD_WD10EZEX\\4&3A5B1C2D&0&010000", 0, 0, 1, {"hooked, not of interest: fixed or system disk", "hooked, missing from the legacy list: type below 256"}},
    {"two_hooked_interfaces", "PCI\\VEN_14F1&DEV_2F00\\4&1A2B3C&0&00E1", 1, 2, 2, {"hooked twice: one entry per hooked interface"}},
    {"unopenable_kernel_device", "SCSI\\DISK&VEN_ACME&PROD_VAULT\\5&2E0B5B0&0&000100", 1, 0, 1, {"hooked, missing from the legacy list: legacy classification failed"}},
    {"no_system_record", "PCI\\VEN_14F1&DEV_2F00\\4&1A2B3C&0&00E1", 1, 0, 0, {"of interest but not hooked: no hooked interface"}},
    // Left out by its status, named only by its DEVINST: a row all the same.
    {"started_with_problem", "ACPI\\PNP0501\\1", 0, 0, 0, {}, "started_with_problem", "not of interest, not hooked: device has a problem"},
    {"started_with_problem", "device node 1", 0, 0, 0, {}, nullptr, "not of interest, not hooked: device has a problem"},
    {"usb_printer_subclass", "device node 1", 0, 0, 0, {}, nullptr, "not of interest, not hooked: left out by its class filter"},
};

TEST(ReportTest, DevicesCarryTheirListsAndFindings) {
    for (const Expected &row : kExpected) {
        SCOPED_TRACE(std::string(row.log) + " " + row.id);
        std::vector<std::string> args = {kGolden + "expected/" + row.log + ".txt"};
        if (row.machine)
            args.insert(args.begin(), {"--machine", row.machine == std::string("default")
                                                        ? std::string(TARSEL_SOURCE_DIR) + "/machines/default.json"
                                                        : kGolden + "machines/" + row.machine + ".json"});
        const nlohmann::json document = Json(args);
        const nlohmann::json *device = FindDevice(document, row.id);
        ASSERT_NE(device, nullptr);
        EXPECT_EQ((*device)["lists"], nlohmann::json({{"all", row.all}, {"legacy", row.legacy}, {"hooked", row.hooked}}));
        EXPECT_EQ((*device)["findings"], nlohmann::json(row.findings));
        // Every finding carries a reason and the lines that show it.
        for (const auto &finding : (*device)["explained"]) {
            EXPECT_FALSE(finding["reason"].is_null()) << finding;
            EXPECT_FALSE(finding["lines"].empty()) << finding;
        }
        if (row.standing) {
            const auto &standing = (*device)["standing"];
            EXPECT_EQ(standing["text"].get<std::string>() + ": " + standing["reason"].get<std::string>(), row.standing);
        }
        const Outcome text = Report(args);
        for (const std::string &finding : row.findings) EXPECT_NE(text.out.find("! " + finding + "\n"), std::string::npos);
    }
}

TEST(ReportTest, DefaultLogFactsAndErrors) {
    const nlohmann::json document = Json({kGolden + "expected/default.txt"});
    const nlohmann::json &session = document["session"];
    EXPECT_EQ(session["list_sizes"], nlohmann::json({{"all", 13}, {"legacy", 16}, {"hooked", 19}}));
    const nlohmann::json &stick = *FindDevice(document, kExpected[1].id);
    EXPECT_EQ(stick["type_name"], "removable disk");
    EXPECT_EQ(stick["model"], "Ultra");
    EXPECT_EQ(stick["manufacturer"], "SanDisk");
    EXPECT_EQ(stick["serial"], "4C530001230918117143");
    EXPECT_EQ(stick["media_size"], 31437020160);
    EXPECT_EQ(stick["removable"], 1);
    EXPECT_EQ(stick["boot_drive"], false);
    EXPECT_EQ((*FindDevice(document, kExpected[0].id))["boot_drive"], true);
    EXPECT_EQ(session["time"], nullptr);  // the golden logs mask the time
    EXPECT_EQ(session["errors"][0], nlohmann::json::parse(R"({"text": "ERROR GetDeviceRegistryProperty", "count": 4,
        "first_line": 657, "numbers": [{"number": "13", "count": 4}]})"));
    // A count of four digits is printed whole, not cut to its last three.
    std::string many = std::string(79, '-') + "\r\nLog Session: 0\r\n" + std::string(79, '-') + "\r\n";
    for (int k = 0; k < 1234; ++k) many += "ERROR Same 5\r\n";
    many += "All devices: \r\nHooked devices legacy: \r\nHooked devices: \r\n";
    EXPECT_NE(Report({WriteTemp("many-errors.txt", many)}).out.find("\n  1234  ERROR Same   (first at line 4)"),
              std::string::npos);
}

// --device finds a device by its names as well as its identifier.
TEST(ReportTest, DeviceFilterMatchesNames) {
    const std::string machine = std::string(TARSEL_SOURCE_DIR) + "/machines/default.json";
    const struct {
        const char *filter;
        bool withMachine;
        const char *id;
    } cases[] = {
        {"canoscan", false, "USB\\VID_04A9&PID_1913\\6&1A2B3C4D&0&3"},           // model, from a dump
        {"Prolific", false, "USB\\VID_067B&PID_2303\\6&1A2B3C4D&0&4"},           // manufacturer
        {"phbbm12345", false, "USB\\VID_03F0&PID_1E2A\\PHBBM12345"},             // serial (and identifier)
        {"37", false, "SCSI\\CDROM&VEN_ELBY&PROD_CLONEDRIVE&REV_1.4\\1&2AFD7D61&0&000000"},  // DEVINST
        {"COM4", true, "USB\\VID_067B&PID_2303\\6&1A2B3C4D&0&4"},                // friendly name
        {"d:", true, "USBSTOR\\DISK&VEN_SANDISK&PROD_ULTRA&REV_1.00\\4C530001230918117143&0"},  // drive letter
        {"microphone", true, "USB\\VID_04F2&PID_B6D9&MI_02\\6&1C3E2A4B&0&0002"},  // friendly name
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.filter);
        std::vector<std::string> args = {"--device", c.filter, kGolden + "expected/default.txt"};
        if (c.withMachine) args.insert(args.begin(), {"--machine", machine});
        const nlohmann::json devices = Json(args)["session"]["devices"];
        ASSERT_EQ(devices.size(), 1u) << devices;
        EXPECT_EQ(devices[0]["id"], c.id);
    }
}

TEST(ReportTest, DeviceFilterAndMachineNames) {
    const std::string log = kGolden + "expected/default.txt";
    const Outcome run = Report({"--device", "vid_0781", "--machine", std::string(TARSEL_SOURCE_DIR) + "/machines/default.json", log});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("Devices: 1 of "), std::string::npos);
    EXPECT_NE(run.out.find("USB\\VID_0781&PID_5581\\4C530001230918117143\n"), std::string::npos);
    EXPECT_NE(run.out.find("machine: class USB; USB Mass Storage Device"), std::string::npos);
    // The hub walk names the stick's parent by its node; the line is in its trace.
    EXPECT_NE(run.out.find("INFO GetDeviceId lpDevID USB\\VID_0781&PID_5581\\4C530001230918117143"), std::string::npos);
}

TEST(ReportTest, ConcatenatedSessions) {
    const std::string path = WriteTemp("two.txt", Golden("default") + Golden("two_hooked_interfaces"));
    const Outcome list = Report({"--list", path});
    EXPECT_EQ(list.status, 0);
    EXPECT_NE(list.out.find("2 session(s)"), std::string::npos);
    EXPECT_NE(list.out.find("session 2 of 2, time not readable (\"#\"), lines 2740-2879"), std::string::npos);
    EXPECT_EQ(Json({path})["session"]["number"], 2);
    EXPECT_EQ(Json({"--session", "1", path})["session"]["list_sizes"]["hooked"], 19);
    const nlohmann::json diff = Json({"--diff", "1", "2", path})["diff"];
    EXPECT_EQ(diff["lists"]["hooked"]["removed"].size(), 19u);
    EXPECT_EQ(diff["lists"]["hooked"]["added"], nlohmann::json({"PCI\\VEN_14F1&DEV_2F00\\4&1A2B3C&0&00E1"}));
    EXPECT_EQ(Json({"--diff", "1", "1", path})["diff"]["changed_facts"].size(), 0u);
    EXPECT_NE(Report({"--diff", "1", "1", path}).out.find("No differences."), std::string::npos);
}

// A disk the all-devices pass left out as the boot drive: its dump in the
// disk test says m_bootDrive 1. Written line by line, as no machine gives it.
TEST(ReportTest, BootDriveReason) {
    std::string log = std::string(79, '-') + "\nLog Session: 0\n" + std::string(79, '-') + "\n";
    for (const char *line : {"ENTER GetAllDeviceIDs", "ENTER IsDevnodeStatusValid 7", "LEAVE IsDevnodeStatusValid ",
                             "ENTER IsSystemOrFixedDisk", "ENTER GetHandleToDevice 7", "ENTER GetDeviceId",
                             "INFO GetDeviceId SCSI\\DISK&VEN_X\\1", "LEAVE GetDeviceId", "INFO UseDriveInfo HANDLE DUMP",
                             "\t Type 257", "\t m_bootDrive 1", "INFO IsSystemOrFixedDisk not removable",
                             "LEAVE IsSystemOrFixedDisk", "LEAVE GetAllDeviceIDs", "", "All devices: ", "",
                             "Hooked devices legacy: ", "", "Hooked devices: ", "\tscsi\\disk&ven_x\\1"})
        log += std::string(line) + "\r\n";
    const nlohmann::json document = Json({WriteTemp("boot", log)});
    const nlohmann::json &disk = document["session"]["devices"][0];
    EXPECT_EQ(disk["id"], "SCSI\\DISK&VEN_X\\1");
    EXPECT_EQ(disk["devinst"], 7);
    EXPECT_EQ(disk["findings"], nlohmann::json({"hooked, not of interest: boot drive",
                                                "hooked, missing from the legacy list: not processed by the legacy pass"}));
    EXPECT_EQ(document["session"]["notes"], nlohmann::json({"line 12: record dump cut short (2 of 12 lines)"}));
}

TEST(ReportTest, SessionTimes) {
    const struct {
        const char *header;
        const char *text;
    } cases[] = {
        {"1796777992", "2026-12-09 00:59:52 UTC"},
        {"0", "1970-01-01 00:00:00 UTC"},
        {"-86401", "1969-12-30 23:59:59 UTC"},
        {"-1", "clock not readable (-1)"},
        {"253402300800", "time out of range (253402300800)"},
        {"12x", "time not readable (\"12x\")"},
    };
    for (const auto &c : cases) {
        const std::string log = std::string(79, '-') + "\r\nLog Session: " + c.header + "\r\n";
        const report::LogFile parsed = report::ParseLog(log);
        ASSERT_EQ(parsed.sessions.size(), 1u);
        EXPECT_EQ(report::SessionTimeText(parsed.sessions[0]), c.text);
    }
}

// Mistakes in the call give one line on stderr (then the usage) and status 2.
TEST(ReportTest, MissingFileUnknownSessionBadArguments) {
    const std::string log = kGolden + "expected/no_devices.txt";
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"/nonexistent/enumerate-tarsel.txt"}, "cannot read /nonexistent/enumerate-tarsel.txt\n"},
        {{"--session", "2", log}, "no session 2 in "},
        {{"--diff", "1", "3", log}, "no session 3 in "},
        {{"--session", "0", log}, "--session needs a session number from 1"},
        {{"--format", "xml", log}, "unknown format \"xml\""},
        {{"--machine", "/nonexistent.json", log}, "cannot read machine file"},
        {{"--machine", log, log}, ": not valid JSON: "},
        // A folder is not a file; reading one threw out of the report.
        {{kGolden}, "cannot read " + kGolden + "\n"},
        {{"--machine", kGolden, log}, "cannot read machine file"},
        {{"--list", "--session", "1", log}, "exclude each other"},
        {{"--machine", std::string(TARSEL_SOURCE_DIR) + "/machines/windows-on-d.json", kGolden + "expected/default.txt"},
         "holds none of the 24 devices session 1 names"},
        {{}, "no log named"},
    };
    for (const auto &c : cases) {
        const Outcome run = Report(c.args);
        EXPECT_EQ(run.status, 2) << c.message;
        EXPECT_EQ(run.err.rfind("enumerate-tarsel-report: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_TRUE(run.out.empty());
    }
}

// Each damage is reported by a note; every form and mode still reports.
TEST(ReportTest, DamagedLogsAreReportedNotFatal) {
    const std::string base = Golden("default");
    const std::string cutInLists = base.substr(0, base.find("Hooked devices legacy: "));
    const std::string truncated = base.substr(0, base.size() - 5);
    std::string nuls = base;
    nuls.replace(nuls.find("ENTER IsDevnodeStatusValid 24"), 40, std::string(40, '\0'));
    std::string lf;
    for (char c : base.substr(0, 20000))
        if (c != '\r') lf += c;
    std::string cutDump = base.substr(0, base.find("\t MediaSize 31437020160"));
    cutDump += "\r\n" + Golden("no_devices");
    std::string crlf;  // the log as the program writes it
    for (char c : Golden("no_devices")) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    std::string innerCr = crlf;  // a CR past the first eight bytes of line 6 is in the line, not its end
    innerCr.insert(innerCr.find("Path: "), "\r");
    std::string stepCr = crlf;  // a CR as line 6's 32nd byte, the last of a step of the line search, with no LF after it
    stepCr.insert(stepCr.find("Path: ") + 6, "\r");
    const struct {
        const char *name;
        std::string bytes;
        int status;
        const char *note;
    } cases[] = {
        {"cut-in-lists", cutInLists, 0, "without the list(s) \"Hooked devices legacy\", \"Hooked devices\": cut off"},
        {"truncated", truncated, 0, "line 2739: cut off (no line end); not read"},
        {"nuls", nuls, 0, "line 247: bytes that are not text; not read"},
        {"lf-only", lf, 0, "ends with LF alone, not CR LF"},
        {"cut-after-cr", crlf.substr(0, crlf.size() - 1), 0, "line 28: cut off (no line end); not read"},
        {"inner-cr", innerCr, 0, "line 6: bytes that are not text; not read"},
        {"cr-ending-a-step", stepCr, 0, "line 6: bytes that are not text; not read"},
        {"cut-dump", cutDump, 0, "record dump cut short (6 of 12 lines)"},
        {"not-a-log", "Hello\r\nworld\r\n", 1, "no \"Log Session: \" header in 2 lines"},
        {"binary", std::string("\x7F" "ELF\x01\x02\0\0\xff\xfe", 10), 1, "line 1: bytes that are not text"},
        {"empty", "", 1, "no \"Log Session: \" header in 0 lines"},
        {"garbage-before", "junk\r\n" + Golden("no_devices"), 0, "lines 1-1: before the first session"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = WriteTemp(c.name, c.bytes);
        const Outcome text = Report({path});
        EXPECT_EQ(text.status, c.status);
        for (const char *format : {"json", "html"})
            for (const char *mode : {"--list", "--device"}) {
                std::vector<std::string> args = {"--format", format, path};
                args.insert(args.begin(), mode);
                if (std::string(mode) == "--device") args.insert(args.begin() + 1, "usb");
                EXPECT_EQ(Report(args).status, c.status);
            }
        const Outcome json = Report({"--format", "json", "--session", "1", path});
        const std::string note = nlohmann::json(c.note).dump();
        EXPECT_NE(json.out.find(note.substr(1, note.size() - 2)), std::string::npos) << json.out;
        EXPECT_FALSE(nlohmann::json::parse(json.out, nullptr, false).is_discarded());
    }
}

// Every place a log can end: at each line end and inside each line.
TEST(ReportTest, EveryCutOfALogIsRead) {
    const std::string base = Golden("hooked_fixed_disk") + Golden("two_hooked_interfaces");
    for (std::size_t end = 0; end <= base.size(); ++end) {
        if (end != base.size() && base[end] != '\n' && base[end] != '\t' && base[end] != 'I') continue;
        const report::LogFile log = report::ParseLog(std::string_view(base).substr(0, end));
        for (std::size_t n = 1; n <= log.sessions.size(); ++n) {
            const std::string path = WriteTemp("cut", base.substr(0, end));
            for (const char *format : {"text", "json", "html"}) {
                ASSERT_EQ(Report({"--format", format, "--device", "a", "--session", std::to_string(n), path}).status, 0)
                    << end;
            }
        }
        if (end == base.size()) {
            EXPECT_EQ(log.sessions.size(), 2u);
        }
    }
}

// The file is read a block (256 KiB) at a time; wherever a block ends (in a
// line, between CR and LF, in a line of Latin-1 or of bytes that are not
// text, in a line longer than a block) it reads as the same log held whole.
TEST(ReportTest, ReadingInBlocksReadsTheSameLog) {
    std::string last = Golden("default");
    const std::string reading = "INFO GetDeviceId lpDevID USB";
    last.replace(last.find(reading), reading.size(), reading + std::string(300000, 'A'));  // longer than a block
    const std::string base = Golden("default") + Golden("default") + Golden("two_hooked_interfaces") + last;
    const std::size_t near = base.find('\n', (std::size_t{1} << 18) - 120) + 1;
    ASSERT_GT(base.size(), std::size_t{1} << 19);
    for (std::size_t shift = 0; shift < 20; ++shift) {
        // Lines before the first session move every later byte against the blocks' ends.
        const std::string bytes = std::string(shift, 'x') + "\r\n" + base.substr(0, near) +
                                  "INFO Odd caf\xE9 \x01\r\nINFO GetDeviceId lpDevID USB\\caf\xE9\r\n" + base.substr(near);
        const std::string path = WriteTemp("blocks", bytes);
        const report::LogFile log = report::ParseLog(std::string_view(bytes));
        ASSERT_EQ(log.sessions.size(), 4u);
        for (std::size_t n = 1; n <= 4; ++n)
            for (const std::string filter : {"", "usb"}) {
                const report::Session session = report::ReadSession(log, n, nullptr);
                std::ostringstream whole;
                report::WriteSessionReport(whole, report::Format::Json, {path, &log, nullptr, filter}, session);
                std::vector<std::string> args = {"--format", "json", "--session", std::to_string(n), path};
                if (!filter.empty()) args.insert(args.begin(), {"--device", filter});
                const Outcome read = Report(args);
                ASSERT_EQ(read.out, whole.str()) << "shift " << shift << ", session " << n << ", filter " << filter;
            }
    }
}

// What in out is not printable text: a byte that is not UTF-8, a control
// character (C0 but line ends, DEL, C1), or a line longer than width
// characters (0: any length). Empty when all is well.
std::string Unprintable(const std::string &out, std::size_t width) {
    std::size_t characters = 0, following = 0, line = 1;
    unsigned char previous = 0;
    for (unsigned char byte : out) {
        const bool continuation = (byte & 0xC0) == 0x80;
        if (continuation != (following > 0)) return "not UTF-8 in line " + std::to_string(line);
        if ((byte < 0x20 && byte != '\n' && byte != '\r') || byte == 0x7F || (previous == 0xC2 && byte < 0xA0))
            return "control character " + std::to_string(byte) + " in line " + std::to_string(line);
        following = continuation ? following - 1 : byte >= 0xF0 ? 3 : byte >= 0xE0 ? 2 : byte >= 0xC0 ? 1 : 0;
        previous = byte;
        if (byte == '\n') {
            if (width && characters > width) return "line " + std::to_string(line) + " is " + std::to_string(characters) + " characters";
            characters = 0;
            ++line;
        } else if (!continuation) {
            ++characters;
        }
    }
    return "";
}

// Text from a file (log or machine file) reaches the text and CSV forms as
// printable text: control characters escaped, valid UTF-8, text lines of at
// most 100 characters, none cut inside a character.
TEST(ReportTest, HostileTextIsEscapedAndWrappedByCharacter) {
    const std::string base = Golden("default");
    const auto listed = [&](const std::string &id) {
        std::string log = base;
        log.insert(log.find('\n', log.rfind("Hooked devices: ")) + 1, "\t" + id + "\n");
        return log;
    };
    nlohmann::json machine = nlohmann::json::parse(Read(std::string(TARSEL_SOURCE_DIR) + "/machines/default.json"));
    for (auto &device : machine["devices"])
        if (device["id"] == "USB\\VID_067B&PID_2303\\6&1A2B3C4D&0&4") device["properties"]["FriendlyName"] = "a\x1B[2J\x07" "b";
    const std::string machinePath = WriteTemp("hostile-machine.json", machine.dump());
    const struct {
        const char *name;
        std::string log;
        bool withMachine;
        const char *shown;  // in the text form (and the CSV form where it is not empty)
    } cases[] = {
        // Latin-1 0x9B is CSI, a C1 control character.
        {"c1-in-log", listed("USB\\VID_1\x9B" "2J\\X"), false, "USB\\VID_1\\x9B2J\\X"},
        {"escape-in-machine", base, true, "a\\x1B[2J\\x07b"},
        // Two UTF-8 bytes per character: a wrap at a byte count splits them.
        {"latin1-identifier", listed("USB\\" + std::string(230, '\xE9')), false, "USB\\\xC3\xA9\xC3\xA9"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {WriteTemp(c.name, c.log)};
        if (c.withMachine) args.insert(args.begin(), {"--machine", machinePath});
        const Outcome text = Report(args);
        ASSERT_EQ(text.status, 0) << text.err;
        EXPECT_NE(text.out.find(c.shown), std::string::npos);
        args.insert(args.begin(), {"--format", "csv"});
        const Outcome csv = Report(args);
        if (!c.withMachine) {
            EXPECT_NE(csv.out.find(c.shown), std::string::npos);
        }
        EXPECT_EQ(Unprintable(text.out, 100), "");
        EXPECT_EQ(Unprintable(csv.out, 0), "");
    }
}

// Parsing and the text form's wrapping do work in proportion to the log:
// four times the input costs about four times the time, not sixteen. The
// bound is generous, and the best of three runs' processor time counts, so
// that other work on a busy machine does not.
TEST(ReportTest, WorkGrowsLinearlyWithTheLog) {
    const auto session = [](const std::string &body) {
        return std::string(79, '-') + "\r\nLog Session: 0\r\n" + std::string(79, '-') + "\r\n" + body +
               "All devices: \r\nHooked devices legacy: \r\nHooked devices: \r\n";
    };
    const auto repeated = [](std::size_t n, const auto &line) {
        std::string body;
        for (std::size_t k = 0; k < n; ++k) body += line(k);
        return body;
    };
    const auto handles = [&](std::size_t n) {
        return session(repeated(n, [](std::size_t k) {
            return "ENTER GetHandleToDevice " + std::to_string(k + 1) + "\r\nINFO GetDeviceId USB\\VID_046D&PID_C52B\\6&" +
                   std::to_string(k) + "\r\n";
        }));
    };
    const auto errors = [&](std::size_t n) {
        return session(repeated(n, [](std::size_t k) { return "ERROR Kind" + std::to_string(k) + " failed " + std::to_string(k) + "\r\n"; }));
    };
    const auto identifier = [&](std::size_t n) {
        return session("INFO GetDeviceId USB\\" + std::string(n * 25, 'A') + "\r\n");
    };
    const struct {
        const char *name;
        std::function<std::string(std::size_t)> log;
    } cases[] = {{"handles", handles}, {"error kinds", errors}, {"long identifier", identifier}};
    // Best of three, in seconds of processor time for `repeats` reports.
    const auto timed = [](const std::string &path, int repeats) {
        double fastest = 1e9;
        for (int run = 0; run < 3; ++run) {
            const std::clock_t start = std::clock();
            for (int k = 0; k < repeats; ++k) EXPECT_EQ(Report({path}).status, 0);
            fastest = std::min(fastest, static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC);
        }
        return fastest;
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // Each log is reported often enough that the smaller one takes well
        // above the clock's granularity (a millisecond or more on some
        // systems); the sizes stay where caches do not set the ratio.
        const std::string small = WriteTemp("linear-small", c.log(6000)), large = WriteTemp("linear-large", c.log(24000));
        int repeats = 1;
        std::vector<double> best = {timed(small, repeats), 0};
        while (best[0] < 0.02 && repeats < 64) best[0] = timed(small, repeats *= 2);
        // Work that grows with the square fails every attempt; other tests
        // running beside this one may spoil one.
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (attempt > 0) best[0] = timed(small, repeats);
            best[1] = timed(large, repeats);
            if (best[1] < 8 * best[0]) break;
        }
        EXPECT_LT(best[1], 8 * best[0]) << best[0] << " s, then " << best[1] << " s";
    }
}

}  // namespace
