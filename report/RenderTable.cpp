// The table forms for many logs at once: CSV and JSON Lines, one row per
// device per session, each row naming its log, session and time.
#include <nlohmann/json.hpp>

#include "report/Render.h"

namespace report {
namespace {

using json = nlohmann::ordered_json;

const char *const kColumns[] = {"log",    "session",  "time",         "id",     "type",   "all",
                                "legacy", "hooked",   "devinst",      "manufacturer", "model", "serial",
                                "findings", "standing", "because",    "lines"};

std::string CountCell(const Session &session, const Device &device, int list) {
    return session.listSizes[list] ? std::to_string(device.lists[list]) : std::string();
}

std::vector<std::string> RowCells(const std::string &logName, const Session &session, const Device &device) {
    std::string findings;
    for (const Finding &finding : device.findings) findings += (findings.empty() ? "" : "; ") + finding.Full();
    const Facts &facts = device.facts;
    return {logName,
            std::to_string(session.number),
            SessionTimeText(session.span),
            device.id,
            facts.type ? TypeName(*facts.type) : std::string(),
            CountCell(session, device, kAllList),
            CountCell(session, device, kLegacyList),
            CountCell(session, device, kHookedList),
            device.devinst ? std::to_string(*device.devinst) : std::string(),
            facts.manufacturer,
            facts.model,
            facts.serial,
            findings,
            device.standing.Full(),
            device.standing.because,
            LinesText(device.standing)};
}

// RFC 4180: every field quoted, quotes doubled, rows ended by CR LF.
void CsvRow(std::ostream &out, const std::vector<std::string> &cells) {
    for (std::size_t i = 0; i < cells.size(); ++i) {
        out << (i ? ",\"" : "\"");
        for (char c : Printable(cells[i])) out << (c == '"' ? "\"\"" : std::string(1, c));
        out << '"';
    }
    out << "\r\n";
}

}  // namespace

void WriteTableHead(std::ostream &out, Format format) {
    if (format == Format::Csv) CsvRow(out, std::vector<std::string>(std::begin(kColumns), std::end(kColumns)));
}

void WriteTableRows(std::ostream &out, Format format, const ReportView &view, const Session &session) {
    for (const Device *device : ShownDevices(view, session)) {
        const std::vector<std::string> cells = RowCells(view.logName, session, *device);
        if (format == Format::Csv) {
            CsvRow(out, cells);
            continue;
        }
        json row = json::object();
        for (std::size_t i = 0; i < cells.size(); ++i) row[kColumns[i]] = cells[i];
        row["session"] = session.number;
        out << row.dump(-1, ' ', false, json::error_handler_t::replace) << '\n';
    }
}

}  // namespace report
