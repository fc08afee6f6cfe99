// libFuzzer target: the report over any bytes as a log.
//
// The input is the log.  Every session is read, with and without the default
// machine beside it, and written in the three forms: the list, each
// session's report and the difference between the first and the last.  Every
// run must finish without a sanitizer report, and every JSON report must be
// JSON.
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "report/Diff.h"
#include "report/Log.h"
#include "report/Render.h"
#include "report/Session.h"

namespace {

const report::Machine *DefaultMachine() {
    static const std::optional<report::Machine> machine = [] {
        std::string error;
        auto read = report::ReadMachine(std::string(TARSEL_SOURCE_DIR) + "/machines/default.json", error);
        if (!read) std::fprintf(stderr, "fuzz_log: %s\n", error.c_str());
        return read;
    }();
    return machine ? &*machine : nullptr;
}

void RequireJson(const std::string &text, const char *what) {
    if (nlohmann::json::accept(text)) return;
    std::fprintf(stderr, "fuzz_log: the JSON %s is not JSON\n", what);
    std::abort();
}

void WriteAll(const report::ReportView &view, const std::vector<report::Session> &sessions) {
    using report::Format;
    for (const Format format : {Format::Text, Format::Json, Format::Html}) {
        std::ostringstream list, each, diff;
        report::WriteSessionList(list, format, view, sessions);
        for (const report::Session &session : sessions) report::WriteSessionReport(each, format, view, session);
        if (!sessions.empty())
            report::WriteDiffReport(diff, format, view,
                                    report::DiffSessions(sessions.front(), sessions.back(), view.filter));
        if (format != Format::Json) continue;
        RequireJson(list.str(), "session list");
        if (!sessions.empty()) RequireJson(diff.str(), "difference");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const report::LogFile log = report::ParseLog(std::string_view(reinterpret_cast<const char *>(data), size));
    // With the machine, DEVINST lines name devices; with a filter, only some are shown.
    for (const report::Machine *machine : {static_cast<const report::Machine *>(nullptr), DefaultMachine()}) {
        report::ReportView view{"fuzz.txt", &log, machine, size % 2 ? "USB" : ""};
        std::vector<report::Session> sessions;
        for (std::size_t n = 1; n <= log.sessions.size(); ++n) sessions.push_back(report::ReadSession(log, n, machine));
        WriteAll(view, sessions);
    }
    return 0;
}
