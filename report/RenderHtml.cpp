// The HTML form: one page with its style inline and no scripts, so that it
// reads the same attached to a ticket. Written as well-formed XML.
#include <algorithm>
#include <map>
#include <set>

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
            // XML allows no control characters but these; a machine file may
            // hold any, shown as the text form shows them.
            default:
                if ((static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t') || c == 0x7F)
                    out += Printable(std::string_view(&c, 1));
                else
                    out += c;
        }
    }
    return out;
}

void Begin(std::ostream &out, const std::string &title) {
    // Fixed table layout and breaks anywhere in long identifiers: the page
    // never scrolls sideways, at any window size.
    out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\"/>\n"
           "<meta name=\"viewport\" content=\"width=device-width\"/>\n<title>" << Escape(title)
        << "</title>\n<style>\n"
           "body{font-family:sans-serif;margin:1em;color:#111}\n"
           "h1{font-size:1.3em;overflow-wrap:anywhere}\n"
           "table{border-collapse:collapse;margin:0.5em 0;width:100%;table-layout:fixed}\n"
           "table.summary{width:auto;table-layout:auto}\n"
           "th,td{border:1px solid #bbb;padding:2px 6px;text-align:left;vertical-align:top;overflow-wrap:anywhere}\n"
           "th{background:#eee}\n"
           "td.id,pre,ul.tree{font-family:monospace}\n"
           "td.n{text-align:right}\n"
           "col.n{width:3.5em} col.t{width:8em} col.l{width:3.2em} col.d{width:32%} col.f{width:22%}\n"
           ".why,.known{color:#444;font-weight:normal;font-family:sans-serif}\n"
           "pre{background:#f6f6f6;padding:4px;white-space:pre-wrap;overflow-wrap:anywhere;margin:0}\n"
           "ul.tree{overflow-wrap:anywhere;padding-left:1.2em}\n"
           "details>summary{font-weight:bold;font-size:1.2em;margin:0.8em 0;cursor:pointer}\n"
           // Device rows are most of a large page: their cells take their
           // look from the column, not from markup repeated on every row.
           "table.dev td:nth-child(1),table.dev td:nth-child(4),table.dev td:nth-child(5),"
           "table.dev td:nth-child(6){text-align:right}\n"
           "table.dev td:nth-child(2){font-family:monospace}\n"
           "table.dev td:nth-child(8){color:#a00;font-weight:bold}\n"
           "table.dev i{color:#444;font-weight:normal;font-style:normal}\n"
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

void Trace(std::ostream &out, const ReportView &view, const Session &session, const TraceTexts &texts,
           const Device &device) {
    out << "<tr><td></td><td colspan=\"7\"><pre>";
    for (std::size_t i : TraceLines(device)) {
        const std::string named = DevinstName(view, session, i);
        out << Escape(std::to_string(i + 1) + "  " + texts[i] +
                      (named.empty() || named == device.id ? "" : "   [= " + named + "]"))
            << '\n';
    }
    out << "</pre></td></tr>\n";
}

// The rows shown, each with its number; the first row of a device carries its anchor.
struct Rows {
    std::vector<const Device *> shown;
    std::map<const Device *, std::size_t> number;
    std::set<const Device *> anchored;
    std::set<std::string> told;  // sentences a heading already gives: rows give only their lines
    TraceTexts trace;            // with --device: the text of the rows' trace lines
};

// A finding's sentence with its lines, or only the lines where a heading told the sentence.
std::string Evidence(const Rows &rows, const Finding &finding) {
    return rows.told.count(finding.because) ? LinesText(finding) : Explanation(finding);
}

void TableHead(std::ostream &out) {
    out << "<table class=\"dev\">\n<colgroup><col class=\"n\"/><col class=\"d\"/><col class=\"t\"/><col class=\"l\"/>"
           "<col class=\"l\"/><col class=\"l\"/><col class=\"f\"/><col/></colgroup>\n"
           "<tr><th>#</th><th>Device</th><th>Type</th><th>All</th><th>Leg</th><th>Hkd</th><th>Facts</th>"
           "<th>Where it stands</th></tr>\n";
}

void DeviceRow(std::ostream &out, const ReportView &view, const Session &session, Rows &rows, const Device &device) {
    const std::size_t number = rows.number.at(&device);
    out << (rows.anchored.insert(&device).second ? "<tr id=\"d" + std::to_string(number) + "\">" : std::string("<tr>"));
    out << "<td>" << number << "</td><td>" << Escape(DeviceName(device));
    if (device.machine) out << "<br/><span class=\"known\">" << Escape(MachineSummary(device)) << "</span>";
    out << "</td>";
    Cell(out, device.facts.type ? TypeName(*device.facts.type) : "");
    for (int list = 0; list < kListCount; ++list) Cell(out, CountText(session, device, list));
    Cell(out, FactsSummary(device));
    out << "<td>";
    for (std::size_t i = 0; i < device.findings.size(); ++i)
        out << (i ? "<br/>" : "") << Escape(device.findings[i].Full()) << "<br/><i>" << Escape(Evidence(rows, device.findings[i]))
            << "</i>";
    if (device.findings.empty()) out << "<i>" << Escape(device.standing.Full() + "; " + Evidence(rows, device.standing)) << "</i>";
    out << "</td></tr>\n";
    if (!view.filter.empty()) Trace(out, view, session, rows.trace, device);
}

void Summary(std::ostream &out, const std::vector<FindingGroup> &groups, std::size_t rest) {
    out << "<h2 id=\"summary\">Summary</h2>\n<table class=\"summary\">\n<tr><th>Finding</th><th>Reason</th><th>Devices</th></tr>\n";
    for (std::size_t g = 0; g < groups.size(); ++g) {
        if (g == 0 || groups[g].finding != groups[g - 1].finding) {
            std::size_t total = 0;
            for (std::size_t h = g; h < groups.size() && groups[h].finding == groups[g].finding; ++h) total += groups[h].devices.size();
            out << "<tr><td><a href=\"#g" << g << "\">" << Escape(groups[g].finding) << "</a></td><td></td><td class=\"n\">"
                << total << "</td></tr>\n";
        }
        out << "<tr><td></td><td><a href=\"#g" << g << "\">" << Escape(groups[g].reason) << "</a></td><td class=\"n\">"
            << groups[g].devices.size() << "</td></tr>\n";
    }
    out << "<tr><td><a href=\"#rest\">without a finding</a></td><td></td><td class=\"n\">" << rest << "</td></tr>\n</table>\n";
}

// Parent of each device, by key: the USB hubs' walks, and with a machine
// file each shown device's parents up to the root.
std::map<std::string, std::string> Parents(const ReportView &view, const Session &session, const Rows &rows) {
    std::map<std::string, std::string> parentOf(session.usbParents.begin(), session.usbParents.end());
    if (!view.machine) return parentOf;
    for (const Device *device : rows.shown) {
        std::string key = device->key;
        for (const MachineDevice *known = view.machine->Find(key); known && !known->parent.empty();
             known = view.machine->Find(key)) {
            const std::string parent = DeviceKey(known->parent);
            if (!parentOf.emplace(key, parent).second) break;  // the rest is walked already
            key = parent;
        }
    }
    return parentOf;
}

struct TreeView {
    std::map<std::string, std::vector<std::string>> children;
    std::map<std::string, const Device *> rowOf;
    std::set<std::string> drawn;
};

void Node(std::ostream &out, const ReportView &view, TreeView &tree, const std::string &key, const Rows &rows) {
    if (!tree.drawn.insert(key).second) return;
    const auto row = tree.rowOf.find(key);
    const MachineDevice *known = view.machine ? view.machine->Find(key) : nullptr;
    const std::string name = row != tree.rowOf.end() ? row->second->id : known ? known->id : key;
    out << "<li>";
    if (row != tree.rowOf.end())
        out << "<a href=\"#d" << rows.number.at(row->second) << "\">" << Escape(name) << "</a>";
    else
        out << Escape(name);
    if (known) out << " <span class=\"known\">" << Escape(known->friendlyName.empty() ? known->description : known->friendlyName) << "</span>";
    const auto children = tree.children.find(key);
    if (children != tree.children.end()) {
        out << "\n<ul>\n";
        for (const std::string &child : children->second) Node(out, view, tree, child, rows);
        out << "</ul>\n";
    }
    out << "</li>\n";
}

void Tree(std::ostream &out, const ReportView &view, const Session &session, const Rows &rows) {
    if (!view.filter.empty()) return;
    const std::map<std::string, std::string> parentOf = Parents(view, session, rows);
    if (parentOf.empty()) return;
    TreeView tree;
    for (const Device *device : rows.shown) tree.rowOf.emplace(device->key, device);
    std::vector<std::string> roots;
    for (const auto &[child, parent] : parentOf) {
        tree.children[parent].push_back(child);
        if (!parentOf.count(parent) && std::find(roots.begin(), roots.end(), parent) == roots.end())
            roots.push_back(parent);
    }
    out << "<h2 id=\"tree\">Device tree (" << (view.machine ? "the machine file's parents" : "the USB hub walks")
        << ")</h2>\n<ul class=\"tree\">\n";
    for (const std::string &root : roots) Node(out, view, tree, root, rows);
    out << "</ul>\n";
}

// The sentences a group's rows share, told once above its table.
template <typename Pick>
void Legend(std::ostream &out, Rows &rows, const std::vector<const Device *> &devices, Pick pick) {
    std::vector<const Finding *> shared;
    for (const Device *device : devices) {
        const Finding *finding = pick(*device);
        if (rows.told.insert(finding->because).second) shared.push_back(finding);
    }
    if (shared.empty()) return;
    out << "<ul class=\"why\">\n";
    for (const Finding *finding : shared) out << "<li>" << Escape(finding->Full() + ": " + finding->because) << "</li>\n";
    out << "</ul>\n";
}

void Devices(std::ostream &out, const ReportView &view, const Session &session) {
    Rows rows;
    rows.shown = ShownDevices(view, session);
    rows.trace = TraceTexts(view, session, rows.shown);
    for (const Device *device : rows.shown) rows.number.emplace(device, rows.number.size() + 1);
    const std::vector<FindingGroup> groups = GroupFindings(rows.shown);
    std::vector<const Device *> rest;
    for (const Device *device : rows.shown)
        if (device->findings.empty()) rest.push_back(device);
    Summary(out, groups, rest.size());
    out << "<h2>Devices: " << rows.shown.size();
    if (!view.filter.empty()) out << " of " << session.devices.size() << " (identifier or name holds \"" << Escape(view.filter) << "\")";
    out << "</h2>\n";
    for (std::size_t g = 0; g < groups.size(); ++g) {
        out << "<h3 id=\"g" << g << "\">" << Escape(groups[g].finding + ": " + groups[g].reason) << " ("
            << groups[g].devices.size() << ")</h3>\n";
        Legend(out, rows, groups[g].devices, [&](const Device &device) {
            for (const Finding &finding : device.findings)
                if (finding.text == groups[g].finding && finding.reason == groups[g].reason) return &finding;
            return &device.standing;
        });
        TableHead(out);
        for (const Device *device : groups[g].devices) DeviceRow(out, view, session, rows, *device);
        out << "</table>\n";
    }
    out << "<details id=\"rest\"" << (view.filter.empty() ? "" : " open=\"open\"") << "><summary>Devices without a finding: "
        << rest.size() << "</summary>\n";
    Legend(out, rows, rest, [](const Device &device) { return &device.standing; });
    TableHead(out);
    for (const Device *device : rest) DeviceRow(out, view, session, rows, *device);
    out << "</table>\n</details>\n";
    Tree(out, view, session, rows);
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
