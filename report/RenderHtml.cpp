// The HTML form: one page with its style inline and no scripts, so that it
// reads the same attached to a ticket. Written as well-formed XML.
#include "report/Render.h"

namespace report {
namespace {

std::string Escape(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            // XML allows no control characters but these; a machine file may hold any.
            default: out += static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t' ? '?' : c;
        }
    }
    return out;
}

void Begin(std::ostream &out, const std::string &title) {
    out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\"/>\n<title>" << Escape(title)
        << "</title>\n<style>\n"
           "body{font-family:sans-serif;margin:1em;color:#111}\n"
           "table{border-collapse:collapse;margin:0.5em 0}\n"
           "th,td{border:1px solid #bbb;padding:2px 6px;text-align:left;vertical-align:top}\n"
           "th{background:#eee}\n"
           "td.id,pre{font-family:monospace}\n"
           "td.n{text-align:right}\n"
           ".finding{color:#a00;font-weight:bold}\n"
           "pre{background:#f6f6f6;padding:4px;overflow-x:auto}\n"
           "</style>\n</head>\n<body>\n<h1>" << Escape(title) << "</h1>\n";
}

void End(std::ostream &out) { out << "</body>\n</html>\n"; }

void Cell(std::ostream &out, const std::string &text, const char *cssClass = nullptr) {
    out << "<td" << (cssClass ? std::string(" class=\"") + cssClass + "\"" : std::string()) << ">" << Escape(text)
        << "</td>";
}

void Notes(std::ostream &out, const std::vector<std::string> &fileNotes, const std::vector<std::string> &sessionNotes) {
    if (fileNotes.empty() && sessionNotes.empty()) return;
    out << "<h2>Not read, or read with doubt</h2>\n<ul>\n";
    for (const auto *notes : {&fileNotes, &sessionNotes})
        for (const std::string &note : *notes) out << "<li>" << Escape(note) << "</li>\n";
    out << "</ul>\n";
}

void Trace(std::ostream &out, const ReportView &view, const Session &session, const Device &device) {
    out << "<tr><td></td><td colspan=\"" << (view.machine ? 9 : 7) << "\"><pre>";
    for (std::size_t i : TraceLines(device)) {
        const std::string named = DevinstName(view, session, i);
        out << Escape(std::to_string(view.log->lines[i].number) + "  " + view.log->lines[i].text +
                      (named.empty() || named == device.id ? "" : "   [= " + named + "]"))
            << '\n';
    }
    out << "</pre></td></tr>\n";
}

void Devices(std::ostream &out, const ReportView &view, const Session &session) {
    const std::vector<const Device *> shown = ShownDevices(view, session);
    out << "<h2>Devices: " << shown.size() << "</h2>\n<table>\n<tr><th>#</th><th>Identifier</th><th>Type</th>";
    for (const char *heading : kListHeadings) out << "<th>" << heading << "</th>";
    out << "<th>Facts</th><th>Findings</th>";
    if (view.machine) out << "<th>Class</th><th>Description</th><th>Parent</th>";
    out << "</tr>\n";
    std::size_t number = 0;
    for (const Device *device : shown) {
        out << "<tr>";
        Cell(out, std::to_string(++number), "n");
        Cell(out, DeviceName(*device), "id");
        Cell(out, device->facts.type ? TypeName(*device->facts.type) : "");
        for (int list = 0; list < kListCount; ++list) Cell(out, CountText(session, *device, list), "n");
        Cell(out, FactsSummary(*device));
        out << "<td class=\"finding\">";
        for (std::size_t i = 0; i < device->findings.size(); ++i)
            out << (i ? "<br/>" : "") << Escape(device->findings[i].Full()) << "<br/><span class=\"why\">"
                << Escape(Explanation(device->findings[i])) << "</span>";
        if (device->findings.empty())
            out << "<span class=\"why\">" << Escape(device->standing.Full() + "; " + Explanation(device->standing)) << "</span>";
        out << "</td>";
        if (view.machine) {
            const MachineDevice *known = device->machine;
            Cell(out, known ? (known->className.empty() ? known->classGuid : known->className) : "");
            Cell(out, known ? (known->friendlyName.empty() ? known->description : known->friendlyName) : "");
            Cell(out, known ? known->parent : "", "id");
        }
        out << "</tr>\n";
        if (!view.filter.empty()) Trace(out, view, session, *device);
    }
    out << "</table>\n";
}

void Errors(std::ostream &out, const Session &session) {
    out << "<h2>ERROR lines</h2>\n<table>\n<tr><th>Count</th><th>Text</th><th>First line</th><th>Numbers</th></tr>\n";
    for (const ErrorGroup &group : session.errors) {
        out << "<tr>";
        Cell(out, std::to_string(group.count), "n");
        Cell(out, group.text, "id");
        Cell(out, std::to_string(group.firstLine), "n");
        Cell(out, ErrorNumbersText(group));
        out << "</tr>\n";
    }
    out << "</table>\n";
}

void HtmlList(std::ostream &out, const ReportView &view, const std::vector<Session> &sessions) {
    Begin(out, view.logName + ": " + std::to_string(sessions.size()) + " session(s)");
    out << "<table>\n<tr><th>Session</th>";
    for (const char *heading : kListHeadings) out << "<th>" << heading << "</th>";
    out << "</tr>\n";
    for (const Session &session : sessions) {
        out << "<tr>";
        Cell(out, SessionTitle(session, sessions.size()));
        for (const auto &size : session.listSizes) Cell(out, size ? std::to_string(*size) : "not written", "n");
        out << "</tr>\n";
    }
    out << "</table>\n";
    Notes(out, view.log->notes, {});
    End(out);
}

void HtmlSession(std::ostream &out, const ReportView &view, const Session &session) {
    Begin(out, view.logName + ": " + SessionTitle(session, view.log->sessions.size()));
    out << "<p>Lists: " << Escape(ListSizesText(session)) << "</p>\n";
    Notes(out, view.log->notes, session.notes);
    Devices(out, view, session);
    Errors(out, session);
    End(out);
}

void HtmlDiff(std::ostream &out, const ReportView &view, const SessionDiff &diff) {
    const std::size_t count = view.log->sessions.size();
    Begin(out, view.logName + ": changes from session " + std::to_string(diff.from->number) + " to session " +
                   std::to_string(diff.to->number));
    out << "<p>From " << Escape(SessionTitle(*diff.from, count)) << "<br/>to " << Escape(SessionTitle(*diff.to, count))
        << "</p>\n";
    std::vector<std::string> notes;
    for (const Session *session : {diff.from, diff.to})
        for (const std::string &note : session->notes) notes.push_back("session " + std::to_string(session->number) + ", " + note);
    Notes(out, view.log->notes, notes);
    if (diff.Empty()) out << "<p>No differences.</p>\n";
    out << "<table>\n<tr><th>Identifier</th><th>Change</th></tr>\n";
    for (int list = 0; list < kListCount; ++list)
        for (const ListChange &change : diff.lists[list]) {
            out << "<tr>";
            Cell(out, change.id, "id");
            Cell(out, std::string(change.from == 0 ? "added to " : change.to == 0 ? "removed from " : "count changed in ") +
                          kListHeadings[list] + " (" + std::to_string(change.from) + " to " + std::to_string(change.to) + ")");
            out << "</tr>\n";
        }
    for (const std::string &id : diff.gone) out << "<tr><td class=\"id\">" << Escape(id) << "</td><td>no longer named</td></tr>\n";
    for (const std::string &id : diff.added) out << "<tr><td class=\"id\">" << Escape(id) << "</td><td>newly named</td></tr>\n";
    for (const FactChange &change : diff.facts) {
        out << "<tr>";
        Cell(out, change.id, "id");
        Cell(out, change.fact + ": \"" + change.from + "\" to \"" + change.to + "\"");
        out << "</tr>\n";
    }
    out << "</table>\n";
    End(out);
}

}  // namespace

const FormWriter kHtmlWriter = {HtmlList, HtmlSession, HtmlDiff};

}  // namespace report
