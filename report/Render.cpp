#include "report/Render.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "hostio/HostIo.h"

namespace report {
namespace {

const FormWriter &Writer(Format format) {
    return format == Format::Json ? kJsonWriter : format == Format::Html ? kHtmlWriter : kTextWriter;
}

std::string SizeText(std::int64_t bytes) {
    char text[32];
    if (bytes >= 1000000000)
        std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(bytes) / 1e9);
    else if (bytes >= 1000000)
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    else
        std::snprintf(text, sizeof text, "%lld bytes", static_cast<long long>(bytes));
    return text;
}

std::string_view Digits(char (&buffer)[24], std::uint64_t number) {
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, number);
    return std::string_view(buffer, static_cast<std::size_t>(written.ptr - buffer));
}

void Join(std::string &into, const std::string &part) {
    if (part.empty()) return;
    if (!into.empty()) into += "; ";
    into += part;
}

}  // namespace

std::string Printable(std::string_view text) { return hostio::PrintableLine(text, hostio::C1Form::Hex); }

void WriteSessionList(std::ostream &out, Format format, const ReportView &view, const std::vector<Session> &sessions) {
    Writer(format).list(out, view, sessions);
}

void WriteSessionReport(std::ostream &out, Format format, const ReportView &view, const Session &session) {
    Writer(format).session(out, view, session);
}

void WriteDiffReport(std::ostream &out, Format format, const ReportView &view, const SessionDiff &diff) {
    Writer(format).diff(out, view, diff);
}

std::string SessionTitle(const Session &session, std::size_t sessionCount) {
    return "session " + std::to_string(session.number) + " of " + std::to_string(sessionCount) + ", " +
           SessionTimeText(session.span) + ", lines " + std::to_string(session.firstLine) + "-" +
           std::to_string(session.firstLine + session.lineCount - 1) + " (" + std::to_string(session.lineCount) +
           " lines)";
}

std::string ListSizesText(const Session &session) {
    std::string text;
    for (int list = 0; list < kListCount; ++list) {
        if (list > 0) text += ", ";
        text += kListHeadings[list];
        text += ' ';
        text += session.listSizes[list] ? std::to_string(*session.listSizes[list]) : "not written";
    }
    return text;
}

void AppendFactsSummary(std::string &text, const Device &device) {
    const Facts &facts = device.facts;
    const std::size_t start = text.size();
    // Each fact after the first follows "; ".
    const auto next = [&text, start]() -> std::string & {
        if (text.size() > start) text += "; ";
        return text;
    };
    if (!facts.manufacturer.empty() || !facts.model.empty()) {
        next() += facts.manufacturer;
        if (!facts.manufacturer.empty() && !facts.model.empty()) text += ' ';
        text += facts.model;
    }
    if (!facts.serial.empty()) next().append("serial ").append(facts.serial);
    if (facts.mediaSize) next() += SizeText(*facts.mediaSize);
    if (facts.removable)
        next() += *facts.removable == 1 ? "removable" : *facts.removable == 0 ? "not removable" : "removable not determined";
    if (facts.bootDrive.value_or(false)) next() += "boot drive";
    char digits[24];
    if (facts.deviceNumber) next().append("device number ").append(Digits(digits, *facts.deviceNumber));
    if (device.devinst) next().append("DEVINST ").append(Digits(digits, *device.devinst));
}

std::string FactsSummary(const Device &device) {
    std::string text;
    AppendFactsSummary(text, device);
    return text;
}

std::string MachineSummary(const Device &device) {
    if (!device.machine) return std::string();
    const MachineDevice &known = *device.machine;
    std::string text;
    Join(text, "class " + (known.className.empty() ? known.classGuid : known.className));
    Join(text, known.friendlyName.empty() ? known.description : known.friendlyName);
    Join(text, known.parent.empty() ? "no parent" : "parent " + known.parent);
    for (const std::string &letter : known.driveLetters) Join(text, "drive " + letter);
    return text;
}

std::string CountText(const Session &session, const Device &device, int list) {
    if (!session.listSizes[list]) return "?";
    return device.lists[list] == 0 ? "-" : std::to_string(device.lists[list]);
}

std::string ErrorNumbersText(const ErrorGroup &group) {
    std::string text;
    for (const auto &[number, count] : group.numbers) {
        if (!text.empty()) text += ", ";
        text += number;
        // A negative number is an NTSTATUS; its hex form is the one people search for.
        if (number[0] == '-' && number.size() <= 11) {
            char hex[16];
            std::snprintf(hex, sizeof hex, " (0x%08lX)", static_cast<unsigned long>(
                                                              static_cast<std::uint32_t>(std::stoll(number))));
            text += hex;
        }
        if (count > 1) text += " x" + std::to_string(count);
    }
    return text;
}

void AppendLinesText(std::string &text, const Finding &finding) {
    if (finding.lines.empty()) return;
    const bool several = finding.lines.size() > 1 || finding.lines[0].first != finding.lines[0].last;
    text += several ? "lines " : "line ";
    char digits[24];
    for (std::size_t i = 0; i < finding.lines.size(); ++i) {
        if (i > 0) text += ", ";
        text += Digits(digits, finding.lines[i].first);
        if (finding.lines[i].last == finding.lines[i].first) continue;
        text += '-';
        text += Digits(digits, finding.lines[i].last);
    }
}

std::string LinesText(const Finding &finding) {
    std::string text;
    AppendLinesText(text, finding);
    return text;
}

void AppendExplanation(std::string &text, const Finding &finding) {
    text += finding.because;
    if (finding.lines.empty()) return;
    text += " (";
    AppendLinesText(text, finding);
    text += ')';
}

std::string Explanation(const Finding &finding) {
    std::string text;
    AppendExplanation(text, finding);
    return text;
}

std::string DeviceName(const Device &device) {
    return device.unnamed ? device.id + " (the log names it by its DEVINST only; --machine names it)" : device.id;
}

std::string DevinstName(const ReportView &view, const Session &session, std::size_t lineIndex) {
    const auto it = std::lower_bound(session.devinstLines.begin(), session.devinstLines.end(),
                                     std::make_pair(lineIndex, std::uint32_t{0}));
    if (it == session.devinstLines.end() || it->first != lineIndex) return std::string();
    if (const Device *device = session.FindByDevinst(it->second)) return device->id;
    const MachineDevice *known = view.machine ? view.machine->Find(it->second) : nullptr;
    return known ? known->id : std::string();
}

std::vector<const Device *> ShownDevices(const ReportView &view, const Session &session) {
    std::vector<const Device *> shown;
    for (const Device &device : session.devices)
        if (view.filter.empty() || Matches(device, view.filter)) shown.push_back(&device);
    return shown;
}

// Devices grouped by finding and reason, in the order the groups first occur.
std::vector<FindingGroup> GroupFindings(const std::vector<const Device *> &shown) {
    std::vector<FindingGroup> groups;
    for (const Device *device : shown)
        for (const Finding &finding : device->findings) {
            auto it = std::find_if(groups.begin(), groups.end(), [&](const FindingGroup &group) {
                return group.finding == finding.text && group.reason == finding.reason;
            });
            if (it == groups.end()) it = groups.insert(groups.end(), FindingGroup{finding.text, finding.reason, {}});
            it->devices.push_back(device);
        }
    std::stable_sort(groups.begin(), groups.end(), [](const FindingGroup &a, const FindingGroup &b) { return a.finding < b.finding; });
    return groups;
}

std::vector<std::size_t> TraceLines(const Device &device) {
    std::vector<std::size_t> lines;
    for (const LineRange &range : device.trace)
        for (std::size_t i = range.first; i <= range.last; ++i) lines.push_back(i);
    lines.insert(lines.end(), device.mentions.begin(), device.mentions.end());
    std::sort(lines.begin(), lines.end());
    lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
    return lines;
}

TraceTexts::TraceTexts(const ReportView &view, const Session &session, const std::vector<const Device *> &shown) {
    if (view.filter.empty()) return;
    for (const Device *device : shown) {
        const std::vector<std::size_t> lines = TraceLines(*device);
        m_indexes.insert(m_indexes.end(), lines.begin(), lines.end());
    }
    std::sort(m_indexes.begin(), m_indexes.end());
    m_indexes.erase(std::unique(m_indexes.begin(), m_indexes.end()), m_indexes.end());
    m_texts = ReadBack(*view.log, session.span, m_indexes);
}

const std::string &TraceTexts::operator[](std::size_t index) const {
    static const std::string none;
    const auto it = std::lower_bound(m_indexes.begin(), m_indexes.end(), index);
    return it == m_indexes.end() || *it != index ? none : m_texts[static_cast<std::size_t>(it - m_indexes.begin())];
}

}  // namespace report
