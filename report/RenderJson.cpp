// The JSON form, for tools; docs/report.md documents its fields.
#include <nlohmann/json.hpp>

#include "report/Render.h"

namespace report {
namespace {

using json = nlohmann::ordered_json;

template <typename T>
json OrNull(const std::optional<T> &value) {
    return value ? json(*value) : json(nullptr);
}

json TextOrNull(const std::string &text) { return text.empty() ? json(nullptr) : json(text); }

json ListSizes(const Session &session) {
    json sizes = json::object();
    for (int list = 0; list < kListCount; ++list) sizes[kListKeys[list]] = OrNull(session.listSizes[list]);
    return sizes;
}

json SessionHead(const Session &session) {
    return {{"number", session.number},
            {"time", OrNull(session.span.time)},
            {"time_text", SessionTimeText(session.span)},
            {"first_line", session.firstLine},
            {"lines", session.lineCount},
            {"list_sizes", ListSizes(session)},
            {"notes", session.notes}};
}

json Findings(const Device &device) {
    json texts = json::array();
    for (const Finding &finding : device.findings) texts.push_back(finding.Full());
    return texts;
}

json FindingJson(const Finding &finding) {
    json lines = json::array();
    for (const Finding::Span &span : finding.lines) lines.push_back({span.first, span.last});
    return {{"text", finding.text}, {"reason", TextOrNull(finding.reason)}, {"because", finding.because}, {"lines", lines}};
}

json Explained(const Device &device) {
    json all = json::array();
    for (const Finding &finding : device.findings) all.push_back(FindingJson(finding));
    return all;
}

json DeviceJson(const ReportView &view, const Session &session, const TraceTexts &texts, const Device &device) {
    const Facts &facts = device.facts;
    json lists = json::object();
    for (int list = 0; list < kListCount; ++list)
        lists[kListKeys[list]] = session.listSizes[list] ? json(device.lists[list]) : json(nullptr);
    json row = {{"id", device.id},
                {"type", OrNull(facts.type)},
                {"type_name", facts.type ? json(TypeName(*facts.type)) : json(nullptr)},
                {"manufacturer", TextOrNull(facts.manufacturer)},
                {"model", TextOrNull(facts.model)},
                {"serial", TextOrNull(facts.serial)},
                {"media_size", OrNull(facts.mediaSize)},
                {"device_number", OrNull(facts.deviceNumber)},
                {"removable", OrNull(facts.removable)},
                {"boot_drive", OrNull(facts.bootDrive)},
                {"devinst", OrNull(device.devinst)},
                {"lists", lists},
                {"findings", Findings(device)},
                {"explained", Explained(device)},
                {"standing", FindingJson(device.standing)},
                {"dump_lines", device.dumpLines}};
    if (device.machine)
        row["machine"] = {{"class", device.machine->className},
                          {"class_guid", device.machine->classGuid},
                          {"description", device.machine->description},
                          {"friendly_name", device.machine->friendlyName},
                          {"parent", TextOrNull(device.machine->parent)}};
    if (!view.filter.empty()) {
        json trace = json::array();
        for (std::size_t i : TraceLines(device)) {
            json line = {{"line", i + 1}, {"text", texts[i]}};
            const std::string named = DevinstName(view, session, i);
            if (!named.empty()) line["devinst_of"] = named;
            trace.push_back(std::move(line));
        }
        row["trace"] = std::move(trace);
    }
    return row;
}

json Document(const ReportView &view) {
    return {{"log", view.logName}, {"log_lines", view.log->lineCount},
            {"sessions_in_log", view.log->sessions.size()}, {"notes", view.log->notes}};
}

// Text from the command line need not be UTF-8: replace what is not.
void Write(std::ostream &out, const json &document) {
    out << document.dump(2, ' ', false, json::error_handler_t::replace) << '\n';
}

void JsonList(std::ostream &out, const ReportView &view, const std::vector<Session> &sessions) {
    json document = Document(view);
    document["sessions"] = json::array();
    for (const Session &session : sessions) document["sessions"].push_back(SessionHead(session));
    Write(out, document);
}

void JsonSession(std::ostream &out, const ReportView &view, const Session &session) {
    json document = Document(view);
    json head = SessionHead(session);
    if (!view.filter.empty()) head["device_filter"] = view.filter;
    head["devices"] = json::array();
    const std::vector<const Device *> shown = ShownDevices(view, session);
    const TraceTexts texts(view, session, shown);
    for (const Device *device : shown) head["devices"].push_back(DeviceJson(view, session, texts, *device));
    head["errors"] = json::array();
    for (const ErrorGroup &group : session.errors) {
        json numbers = json::array();
        for (const auto &[number, count] : group.numbers) numbers.push_back({{"number", number}, {"count", count}});
        head["errors"].push_back(
            {{"text", group.text}, {"count", group.count}, {"first_line", group.firstLine}, {"numbers", numbers}});
    }
    document["session"] = std::move(head);
    Write(out, document);
}

void JsonDiff(std::ostream &out, const ReportView &view, const SessionDiff &diff) {
    json document = Document(view);
    json lists = json::object();
    for (int list = 0; list < kListCount; ++list) {
        json changes = {{"added", json::array()}, {"removed", json::array()}, {"count_changed", json::array()}};
        for (const ListChange &change : diff.lists[list]) {
            if (change.from == 0)
                changes["added"].push_back(change.id);
            else if (change.to == 0)
                changes["removed"].push_back(change.id);
            else
                changes["count_changed"].push_back({{"id", change.id}, {"from", change.from}, {"to", change.to}});
        }
        lists[kListKeys[list]] = std::move(changes);
    }
    json facts = json::array();
    for (const FactChange &change : diff.facts)
        facts.push_back({{"id", change.id}, {"fact", change.fact}, {"from", change.from}, {"to", change.to}});
    document["diff"] = {{"from", SessionHead(*diff.from)}, {"to", SessionHead(*diff.to)},
                        {"lists", lists},                 {"no_longer_named", diff.gone},
                        {"newly_named", diff.added},      {"changed_facts", facts}};
    Write(out, document);
}

}  // namespace

const FormWriter kJsonWriter = {JsonList, JsonSession, JsonDiff};

}  // namespace report
