// Whole sessions on the default machine with one late-bound operation, or a
// whole library, missing: the run still completes, releases what it opened,
// and logs what the fallback results lead to.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "tests/reliability/SessionRun.h"

namespace {

using reliability::CountPrefix;
using reliability::DefaultMachineWith;
using reliability::RunWholeSession;
using reliability::SessionOutput;

std::string MissingExport(const std::string &library, const std::string &name) {
    return "\"libraries\": {\"" + library + "\": {\"missing_exports\": [\"" + name + "\"]}}";
}

std::string MissingLibrary(const std::string &library) {
    return "\"libraries\": {\"" + library + "\": \"missing\"}";
}

// A pointer value: eight upper-case hexadecimal digits standing alone.
bool IsPointerToken(const std::string &token) {
    return token.size() == 8 && token.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

// The log without the run's time line and with pointer values masked (heap
// addresses differ from run to run), for comparing two runs.
std::vector<std::string> Comparable(const SessionOutput &out) {
    std::vector<std::string> lines;
    for (size_t i = 0; i < out.lines.size(); ++i) {
        if (i == 1) continue;
        std::string masked, token;
        for (char c : out.lines[i] + ' ') {
            if (c != ' ') {
                token.push_back(c);
                continue;
            }
            masked += (IsPointerToken(token) ? "<p>" : token) + ' ';
            token.clear();
        }
        lines.push_back(masked);
    }
    return lines;
}

const SessionOutput &Baseline() {
    static const SessionOutput baseline = RunWholeSession(sim::DefaultMachineJson());
    return baseline;
}

struct Case {
    const char *name;
    std::string libraries;
    // Whether the fallback result changes what the run logs (the logic
    // never calls some operations, and ignores the release result).
    bool logChanges;
    std::vector<std::string> expectedLines;
    friend void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }
};

std::vector<Case> Cases() {
    std::vector<Case> cases;
    const char *setupapi[] = {"SetupDiGetClassDevsW",   "SetupDiEnumDeviceInfo",
                              "SetupDiGetDeviceRegistryPropertyW", "SetupDiDestroyDeviceInfoList",
                              "CM_Get_Device_IDW",       "SetupDiEnumDeviceInterfaces",
                              "SetupDiGetDeviceInterfaceDetailW", "CM_Get_Parent"};
    for (const char *name : setupapi)
        cases.push_back({name, MissingExport("setupapi.dll", name),
                         std::string(name) != "SetupDiDestroyDeviceInfoList", {}});
    for (const char *name : {"CM_Get_Child", "CM_Get_Sibling", "CM_Locate_DevNodeW",
                             "CM_Get_DevNode_Registry_PropertyW"})
        cases.push_back({name, MissingExport("setupapi.dll", name), false, {}});
    cases.push_back({"CM_Get_Device_ID_Size", MissingExport("cfgmgr32.dll", "CM_Get_Device_ID_Size"), true,
                     {"ERROR GetDeviceId 32"}});
    cases.push_back({"CM_Get_DevNode_Status", MissingExport("cfgmgr32.dll", "CM_Get_DevNode_Status"), true, {}});
    cases.push_back({"setupapi", MissingLibrary("setupapi.dll"), true, {}});
    cases.push_back({"cfgmgr32", MissingLibrary("cfgmgr32.dll"), true, {"ERROR GetDeviceId 32"}});
    cases.push_back({"ntdll", MissingLibrary("ntdll.dll"), true,
                     {"ERROR GetDeviceHandle INVALID_HANDLE_VALUE -1073741823", "ERROR ProcessDevice GetDeviceHandle"}});
    return cases;
}

class MissingLibraryTest : public ::testing::TestWithParam<Case> {};

TEST_P(MissingLibraryTest, RunCompletesReleasesAllAndLogsTheFallback) {
    const Case &c = GetParam();
    ASSERT_TRUE(Baseline().shapeError.empty()) << Baseline().shapeError;
    const SessionOutput out = RunWholeSession(DefaultMachineWith(c.libraries));

    EXPECT_EQ(out.console, "Enumeration successful\n");
    EXPECT_EQ(out.shapeError, "") << "log of " << out.lines.size() << " lines";
    EXPECT_EQ(out.openHandles, 0u) << "a handle was left open";
    // Nothing can release a set once its release operation is gone.
    if (c.name != std::string("SetupDiDestroyDeviceInfoList")) {
        EXPECT_EQ(out.openSets, 0u) << "a set was left open";
    } else {
        EXPECT_GT(out.openSets, 0u);
    }

    if (c.logChanges) {
        EXPECT_NE(Comparable(out), Comparable(Baseline())) << "the fallback left no trace";
    } else {
        EXPECT_EQ(Comparable(out), Comparable(Baseline()));
    }
    for (const std::string &line : c.expectedLines)
        EXPECT_NE(std::find(out.trace.begin(), out.trace.end(), line), out.trace.end()) << line;
}

INSTANTIATE_TEST_SUITE_P(Each, MissingLibraryTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

TEST(MissingLibrary, WithoutClassDevsTheHookedPassEndsAtItsErrorLine) {
    const SessionOutput out = RunWholeSession(DefaultMachineWith(MissingExport("setupapi.dll", "SetupDiGetClassDevsW")));
    ASSERT_EQ(out.shapeError, "");
    // The hooked pass runs last: its ENTER line and its error line close the trace.
    ASSERT_GE(out.trace.size(), 2u);
    EXPECT_EQ(out.trace[out.trace.size() - 2], "ENTER GetHookedDeviceIDs");
    const std::string &error = out.trace.back();
    const std::string prefix = "ERROR GetHookedDeviceIDs INVALID_HANDLE_VALUE ";
    ASSERT_EQ(error.compare(0, prefix.size(), prefix), 0) << error;
    // Fallbacks leave the last error alone: it is still the one the failed
    // lookup of the export set (ERROR_PROC_NOT_FOUND).
    EXPECT_EQ(error.substr(prefix.size()), "127");
    EXPECT_TRUE(out.all.empty());
    EXPECT_TRUE(out.legacy.empty());
    EXPECT_TRUE(out.hooked.empty());
}

TEST(MissingLibrary, WithoutDevNodeStatusNoNodeIsValidAndNothingFollowsTheEnterLine) {
    const SessionOutput out =
        RunWholeSession(DefaultMachineWith(MissingExport("cfgmgr32.dll", "CM_Get_DevNode_Status")));
    ASSERT_EQ(out.shapeError, "");
    size_t enters = 0;
    for (size_t i = 0; i < out.trace.size(); ++i) {
        if (out.trace[i].rfind("ENTER IsDevnodeStatusValid ", 0) != 0) continue;
        ++enters;
        ASSERT_LT(i + 1, out.trace.size());
        EXPECT_NE(out.trace[i + 1].rfind("INFO IsDevnodeStatusValid", 0), 0u) << out.trace[i + 1];
        EXPECT_NE(out.trace[i + 1].rfind("LEAVE IsDevnodeStatusValid", 0), 0u) << out.trace[i + 1];
    }
    EXPECT_EQ(enters, CountPrefix(Baseline().trace, "ENTER IsDevnodeStatusValid "));
    EXPECT_GT(enters, 0u);
    EXPECT_EQ(CountPrefix(out.trace, "LEAVE IsDevnodeStatusValid"), 0u);
    // Every node counts as not started and healthy, so nothing is listed.
    EXPECT_TRUE(out.all.empty());
    EXPECT_FALSE(Baseline().all.empty());
}

TEST(MissingLibrary, WithoutNtdllNoHookedStorageDeviceIsOpened) {
    const SessionOutput out = RunWholeSession(DefaultMachineWith(MissingLibrary("ntdll.dll")));
    ASSERT_EQ(out.shapeError, "");
    size_t failures = 0;
    for (size_t i = 0; i < out.trace.size(); ++i) {
        if (out.trace[i] != "ERROR GetDeviceHandle INVALID_HANDLE_VALUE -1073741823") continue;
        ++failures;
        ASSERT_LT(i + 2, out.trace.size());
        EXPECT_EQ(out.trace[i + 1], "LEAVE GetDeviceHandle ");
        EXPECT_EQ(out.trace[i + 2], "ERROR ProcessDevice GetDeviceHandle");
    }
    EXPECT_GT(failures, 0u);
    EXPECT_EQ(out.all, Baseline().all);
    EXPECT_EQ(out.hooked, Baseline().hooked);
    EXPECT_LT(out.legacy.size(), Baseline().legacy.size());
}

// CM_Get_Device_IDW's fallback reports success and writes nothing: every
// identifier reads as empty, and an empty identifier must match no device.
TEST(MissingLibrary, WithoutDeviceIdEveryIdentifierIsEmptyAndMatchesNothing) {
    const SessionOutput out = RunWholeSession(DefaultMachineWith(MissingExport("setupapi.dll", "CM_Get_Device_IDW")));
    ASSERT_EQ(out.shapeError, "");
    EXPECT_GT(CountPrefix(out.trace, "INFO GetDeviceId "), 0u);
    for (const std::string &line : out.trace)
        if (line.rfind("INFO GetDeviceId ", 0) == 0 && line.rfind("INFO GetDeviceId lpDevID ", 0) != 0) {
            EXPECT_EQ(line, "INFO GetDeviceId ") << "an interface matched an unread identifier";
        }
    EXPECT_EQ(CountPrefix(out.trace, "INFO GetUSBDeviceHubPath lpszDeviceHubPath "), 0u);
    EXPECT_GT(CountPrefix(Baseline().trace, "INFO GetUSBDeviceHubPath lpszDeviceHubPath "), 0u);
    ASSERT_EQ(out.hooked.size(), Baseline().hooked.size());
    for (const std::string &id : out.hooked) EXPECT_EQ(id, "");
}

}  // namespace
