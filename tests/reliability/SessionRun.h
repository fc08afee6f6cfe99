// Runs one whole session on a machine in a fresh directory and reads back
// what it wrote: the console line, the log's bytes, and its parsed shape.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "app/Session.h"
#include "platform/trace.h"
#include "sim/Sim.h"
#include "tests/support/Harness.h"

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace reliability {

struct SessionOutput {
    std::string console;
    std::string bytes;               // the log file as written
    std::vector<std::string> lines;  // split at CR LF, the last terminator dropped
    std::vector<std::string> trace;  // the lines between the header and the sections
    std::vector<std::string> all, legacy, hooked;  // the three lists, tabs removed
    std::string shapeError;          // empty when the log is well formed
    size_t openHandles = 0;
    size_t openSets = 0;
};

inline bool IsTraceOrDump(const std::string &line) {
    for (const char *kind : {"ENTER ", "LEAVE ", "INFO ", "ERROR "}) {
        std::string_view k(kind);
        if (line.size() > k.size() && line.compare(0, k.size(), k) == 0 && line[k.size()] != ' ') return true;
    }
    // A dump line: tab, blank, a field name, blank.
    if (line.size() < 4 || line[0] != '\t' || line[1] != ' ') return false;
    size_t i = 2;
    while (i < line.size() && (std::isalpha(static_cast<unsigned char>(line[i])) || line[i] == '_')) ++i;
    return i > 2 && i < line.size() && line[i] == ' ';
}

// Checks the log holds exactly one run: header, trace and dump lines, then
// the three sections in order.
inline void ParseLog(SessionOutput &out) {
    const std::string &data = out.bytes;
    if (data.size() < 2 || data.compare(data.size() - 2, 2, "\r\n") != 0) {
        out.shapeError = "the log does not end with CR LF";
        return;
    }
    size_t start = 0;
    while (start < data.size()) {
        size_t end = data.find("\r\n", start);
        out.lines.push_back(data.substr(start, end - start));
        start = end + 2;
    }
    for (const std::string &line : out.lines)
        if (line.find_first_of("\r\n") != std::string::npos) {
            out.shapeError = "a bare CR or LF inside a line";
            return;
        }
    const std::string dashes(79, '-');
    const auto &l = out.lines;
    if (l.size() < 3 || l[0] != dashes || l[1].rfind("Log Session: ", 0) != 0 || l[2] != dashes) {
        out.shapeError = "bad header";
        return;
    }
    size_t i = 3;
    while (i < l.size() && IsTraceOrDump(l[i])) out.trace.push_back(l[i++]);
    std::vector<std::string> *lists[] = {&out.all, &out.legacy, &out.hooked};
    const char *headings[] = {"All devices: ", "Hooked devices legacy: ", "Hooked devices: "};
    for (int s = 0; s < 3; ++s) {
        if (i + 1 >= l.size() || !l[i].empty() || l[i + 1] != headings[s]) {
            out.shapeError = "line " + std::to_string(i + 1) + ": expected the section " + headings[s];
            return;
        }
        i += 2;
        while (i < l.size() && !l[i].empty() && l[i][0] == '\t') lists[s]->push_back(l[i++].substr(1));
    }
    if (i != l.size()) out.shapeError = "line " + std::to_string(i + 1) + ": text after the last section";
}

// Loads `machineJson` and runs one session in a directory of its own.
inline SessionOutput RunWholeSession(std::string_view machineJson) {
    namespace fs = std::filesystem;
    SessionOutput out;
    const fs::path oldDir = fs::current_path();
    const fs::path dir = fs::path(::testing::TempDir()) /
                         ("hostile-" + std::to_string(getpid()) + "-" +
                          ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    fs::current_path(dir);

    testing_support::UseMachine(machineJson);
    std::FILE *console = std::tmpfile();
    EXPECT_NE(console, nullptr);
    if (console != nullptr) {
        EXPECT_EQ(RunSession(console), 0);
        std::rewind(console);
        for (int c; (c = std::fgetc(console)) != EOF;) out.console.push_back(static_cast<char>(c));
        std::fclose(console);
    }
    Log().Close();
    out.openHandles = sim::OpenHandleCount();
    out.openSets = sim::OpenSetCount();

    std::ifstream in(dir / SessionLog::kFileName, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    out.bytes = text.str();
    in.close();
    fs::current_path(oldDir);
    fs::remove_all(dir);

    ParseLog(out);
    return out;
}

// The default machine with `member` (a JSON "key": value) added at its top.
inline std::string DefaultMachineWith(std::string_view member) {
    std::string json = sim::DefaultMachineJson();
    size_t brace = json.find('{');
    json.insert(brace + 1, std::string(member) + ",");
    return json;
}

inline size_t CountPrefix(const std::vector<std::string> &lines, std::string_view prefix) {
    size_t n = 0;
    for (const std::string &line : lines)
        if (line.compare(0, prefix.size(), prefix) == 0) ++n;
    return n;
}

}  // namespace reliability
