// End-to-end runs: a whole session over a machine file, its log compared
// line by line with the expected log checked in beside it.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/Session.h"
#include "platform/trace.h"
#include "tests/support/Harness.h"

namespace fs = std::filesystem;

namespace {

struct GoldenCase {
    const char *name;
    const char *machine;  // source-relative machine file
    bool realClock = true;  // false: the machine gives the clock, and its time is compared too
};

std::vector<std::string> SplitLines(const std::string &text, const char *separator) {
    std::vector<std::string> lines;
    size_t start = 0;
    const size_t step = std::char_traits<char>::length(separator);
    while (start < text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + step;
    }
    return lines;
}

// The run's time and heap addresses differ from run to run.
std::string Mask(const std::string &line, bool realClock) {
    static const std::regex time("^Log Session: -?[0-9]+$");
    static const std::regex heap("^LEAVE GetMediaTypes [0-9A-F]{8} ");
    if (realClock && std::regex_match(line, time)) return "Log Session: #";
    return std::regex_replace(line, heap, "LEAVE GetMediaTypes ######## ");
}

class GoldenLogTest : public ::testing::TestWithParam<GoldenCase> {
protected:
    void SetUp() override {
        m_oldDir = fs::current_path();
        m_dir = fs::path(::testing::TempDir()) / ("golden-" + std::string(GetParam().name));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        fs::current_path(m_dir);
    }
    void TearDown() override {
        Log().Close();
        fs::current_path(m_oldDir);
        fs::remove_all(m_dir);
    }

    fs::path m_oldDir;
    fs::path m_dir;
};

TEST_P(GoldenLogTest, WholeLogMatches) {
    const GoldenCase &c = GetParam();
    std::string machine = testing_support::ReadSourceFile(c.machine);
    ASSERT_FALSE(machine.empty()) << c.machine;
    std::string expectedText = testing_support::ReadSourceFile(std::string("tests/golden/expected/") + c.name + ".txt");
    ASSERT_FALSE(expectedText.empty()) << c.name;
    testing_support::UseMachine(machine);

    std::FILE *console = std::tmpfile();
    ASSERT_NE(console, nullptr);
    EXPECT_EQ(RunSession(console), 0);
    Log().Close();
    std::rewind(console);
    std::string consoleText;
    for (int ch; (ch = std::fgetc(console)) != EOF;) consoleText.push_back(static_cast<char>(ch));
    std::fclose(console);
    EXPECT_EQ(consoleText, "Enumeration successful\n");

    std::ifstream in(m_dir / "enumerate-tarsel.txt", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    const std::string log = text.str();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
    std::vector<std::string> actual = SplitLines(log, "\r\n");
    std::vector<std::string> expected = SplitLines(expectedText, "\n");
    for (std::string &line : actual) {
        EXPECT_EQ(line.find('\n'), std::string::npos) << "bare line feed in: " << line;
        line = Mask(line, c.realClock);
    }

    size_t common = std::min(actual.size(), expected.size());
    for (size_t i = 0; i < common; ++i) {
        ASSERT_EQ(actual[i], expected[i]) << "first difference at line " << (i + 1) << " of " << c.name;
    }
    EXPECT_EQ(actual.size(), expected.size()) << "log of " << c.name << " differs in length";
    // No handle or device information set outlives the run.
    EXPECT_EQ(sim::OpenHandleCount(), 0u);
    EXPECT_EQ(sim::OpenSetCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Machines, GoldenLogTest,
    ::testing::Values(GoldenCase{"default", "machines/default.json"},
                      GoldenCase{"no_devices", "tests/golden/machines/no_devices.json"},
                      GoldenCase{"no_system_record", "tests/golden/machines/no_system_record.json"},
                      GoldenCase{"two_hooked_interfaces", "tests/golden/machines/two_hooked_interfaces.json"},
                      GoldenCase{"unopenable_kernel_device", "tests/golden/machines/unopenable_kernel_device.json"},
                      GoldenCase{"portable_file_system", "tests/golden/machines/portable_file_system.json"},
                      GoldenCase{"usb_printer_subclass", "tests/golden/machines/usb_printer_subclass.json"},
                      GoldenCase{"started_with_problem", "tests/golden/machines/started_with_problem.json"},
                      GoldenCase{"windows_on_d", "tests/golden/machines/windows_on_d.json"},
                      GoldenCase{"hooked_fixed_disk", "tests/golden/machines/hooked_fixed_disk.json"},
                      // The system drive opened before its DOS device is asked for.
                      GoldenCase{"system_drive_mapped", "tests/golden/machines/system_drive_mapped.json"},
                      // A hooked device whose identifier cannot be read.
                      GoldenCase{"device_id_refused", "tests/golden/machines/device_id_refused.json"},
                      // Recorded DEVINST, clock and handle values appear exactly.
                      GoldenCase{"replayed_values", "tests/golden/machines/replayed_values.json", false}),
    [](const ::testing::TestParamInfo<GoldenCase> &info) { return std::string(info.param.name); });

}  // namespace
