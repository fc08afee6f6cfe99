// The text form: fits a terminal of 100 columns.
#include <algorithm>
#include <iomanip>
#include <sstream>

#include "report/Render.h"

namespace report {
namespace {

constexpr std::size_t kWidth = 100;
constexpr std::size_t kFactsColumn = 37;  // after "  #  type   all leg hkd  ", for up to 999 rows
constexpr std::size_t kIndent = 5;

// Byte offset just past the first count characters of text (UTF-8), or
// text.size() where it holds no more.
std::size_t CharacterEnd(std::string_view text, std::size_t count) {
    std::size_t i = 0;
    for (; i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && count-- == 0) break;
    return i;
}

std::size_t CharacterCount(std::string_view text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// Breaks text into pieces of at most width characters, at blanks where it
// can; text from a file is made printable first. Each piece is looked at
// once, so a long unbroken identifier costs no more than its length. Hands
// each piece, a view into the printable text, to emit in order.
template <typename Emit>
void ForEachPiece(const std::string &raw, std::size_t width, Emit &&emit) {
    const std::string text = Printable(raw);
    std::string_view rest = text;
    for (std::size_t end = CharacterEnd(rest, width); end < rest.size(); end = CharacterEnd(rest, width)) {
        // Facts are joined by "; ": keep each whole where one line can hold it.
        const std::size_t part = rest.rfind("; ", end - 1);
        if (part != std::string_view::npos && CharacterCount(rest.substr(0, part)) > width / 3) {
            emit(rest.substr(0, part + 1));
            rest.remove_prefix(part + 2);
            continue;
        }
        std::size_t cut = rest.rfind(' ', end);
        if (cut == std::string_view::npos || cut == 0) cut = end;
        emit(rest.substr(0, cut));
        rest.remove_prefix(cut == end && rest[cut] != ' ' ? cut : cut + 1);
    }
    emit(rest);
}

// Blanks from a constant: a row writes several indents.
void Pad(std::ostream &out, std::size_t count) {
    static const std::string blanks(kWidth, ' ');
    for (; count > blanks.size(); count -= blanks.size()) out << blanks;
    out.write(blanks.data(), static_cast<std::streamsize>(count));
}

void Indented(std::ostream &out, const std::string &text, std::size_t indent, const std::string &mark = "") {
    ForEachPiece(mark + text, kWidth - indent, [&](std::string_view piece) {
        Pad(out, indent);
        out << piece << '\n';
    });
}

void Notes(std::ostream &out, const std::vector<std::string> &fileNotes, const std::vector<std::string> &sessionNotes) {
    if (fileNotes.empty() && sessionNotes.empty()) return;
    out << "\nNot read, or read with doubt:\n";
    for (const auto *notes : {&fileNotes, &sessionNotes})
        for (const std::string &note : *notes) Indented(out, note, 2, "- ");
}

// The row number takes the width of the largest; the facts column moves with it.
void DeviceRow(std::ostream &out, std::size_t number, std::size_t numberWidth, const Session &session,
               const Device &device) {
    const std::size_t factsColumn = kFactsColumn - 3 + numberWidth;
    // Built in a string, as a stream's setw would lay it out: a stream per row costs more than the row.
    std::string head;
    const auto aligned = [&head](const std::string &text, std::size_t width, bool left) {
        const std::size_t fill = text.size() < width ? width - text.size() : 0;
        if (!left) head.append(fill, ' ');
        head += text;
        if (left) head.append(fill, ' ');
    };
    aligned(std::to_string(number), numberWidth, false);
    head += "  ";
    aligned(device.facts.type ? TypeName(*device.facts.type) : "-", 18, true);
    for (int list = 0; list < kListCount; ++list) {
        head += ' ';
        aligned(CountText(session, device, list), 3, false);
    }
    head += "  ";
    bool first = true;
    ForEachPiece(FactsSummary(device), kWidth - factsColumn, [&](std::string_view piece) {
        if (!first) {
            Pad(out, factsColumn);
            out << piece << '\n';
            return;
        }
        first = false;
        std::string line = head;
        line += piece;
        while (line.back() == ' ') line.pop_back();
        out << line << '\n';
    });
    Indented(out, DeviceName(device), kIndent);
    if (device.machine) Indented(out, MachineSummary(device), kIndent, "machine: ");
    for (const Finding &finding : device.findings) {
        Indented(out, finding.Full(), kIndent, "! ");
        Indented(out, Explanation(finding), kIndent + 2);
    }
    if (device.findings.empty()) Indented(out, device.standing.Full() + "; " + Explanation(device.standing), kIndent, "= ");
}

void Trace(std::ostream &out, const ReportView &view, const Session &session, const TraceTexts &texts,
           const Device &device) {
    const std::vector<std::size_t> lines = TraceLines(device);
    out << "     trace (" << lines.size() << " lines):\n";
    std::size_t previous = 0;
    for (std::size_t i : lines) {
        if (previous != 0 && i != previous + 1) out << "       ...\n";
        previous = i;
        std::string text = texts[i];
        if (!text.empty() && text[0] == '\t') text = "    " + text.substr(1);
        const std::string named = DevinstName(view, session, i);
        if (!named.empty() && named != device.id) text += "   [= " + named + "]";
        std::ostringstream number;
        number << std::setw(7) << i + 1 << "  ";
        bool first = true;
        ForEachPiece(text, kWidth - 11, [&](std::string_view piece) {
            if (first)
                out << number.str();
            else
                Pad(out, 11);
            first = false;
            out << piece << '\n';
        });
    }
}

void Errors(std::ostream &out, const Session &session) {
    std::size_t total = 0;
    for (const ErrorGroup &group : session.errors) total += group.count;
    out << "\nERROR lines: " << total << " (" << session.errors.size() << (session.errors.size() == 1 ? " kind)\n" : " kinds)\n");
    for (const ErrorGroup &group : session.errors) {
        std::ostringstream count;
        count << std::setw(5) << group.count << "  ";
        Indented(out, count.str().substr(2) + group.text + "   (first at line " + std::to_string(group.firstLine) + ")", 2);
        if (!group.numbers.empty()) Indented(out, ErrorNumbersText(group), 7, "numbers: ");
    }
}

// Counts per finding and per reason, before the rows.
void Summary(std::ostream &out, const std::vector<const Device *> &shown) {
    const std::vector<FindingGroup> groups = GroupFindings(shown);
    const auto without = std::count_if(shown.begin(), shown.end(), [](const Device *d) { return d->findings.empty(); });
    out << "\nFindings: " << shown.size() - static_cast<std::size_t>(without) << " device(s) with one, " << without
        << " without\n";
    for (std::size_t g = 0; g < groups.size(); ++g) {
        if (g == 0 || groups[g].finding != groups[g - 1].finding) {
            std::size_t total = 0;
            for (std::size_t h = g; h < groups.size() && groups[h].finding == groups[g].finding; ++h)
                total += groups[h].devices.size();
            Indented(out, std::to_string(total) + "  " + groups[g].finding, 2);
        }
        Indented(out, std::to_string(groups[g].devices.size()) + "  " + groups[g].reason, 6);
    }
}

void TextList(std::ostream &out, const ReportView &view, const std::vector<Session> &sessions) {
    out << Printable(view.logName) << ": " << sessions.size() << " session(s), " << view.log->lineCount << " lines\n";
    for (const Session &session : sessions) {
        Indented(out, SessionTitle(session, sessions.size()), 2);
        Indented(out, ListSizesText(session), 6);
    }
    Notes(out, view.log->notes, {});
}

void TextSession(std::ostream &out, const ReportView &view, const Session &session) {
    Indented(out, view.logName + ": " + SessionTitle(session, view.log->sessions.size()), 0);
    Indented(out, "Lists: " + ListSizesText(session), 0);
    Notes(out, view.log->notes, session.notes);
    const std::vector<const Device *> shown = ShownDevices(view, session);
    Summary(out, shown);
    out << "\nDevices: " << shown.size();
    if (!view.filter.empty()) out << " of " << session.devices.size() << " (identifier or name holds \"" << Printable(view.filter) << "\")";
    if (!view.filter.empty() && !view.machine && session.unnamedNodes > 0)
        out << "\n  " << session.unnamedNodes << " device node(s) the log names by DEVINST only: --machine names them";
    const std::size_t numberWidth = std::max<std::size_t>(3, std::to_string(shown.size()).size());
    out << '\n' << std::string(numberWidth - 1, ' ') << "#  type               all leg hkd  facts\n";
    std::size_t number = 0;
    const TraceTexts texts(view, session, shown);
    for (const Device *device : shown) {
        DeviceRow(out, ++number, numberWidth, session, *device);
        if (!view.filter.empty()) Trace(out, view, session, texts, *device);
    }
    Errors(out, session);
}

std::string Counted(int times) { return times == 1 ? "once" : times == 2 ? "twice" : std::to_string(times) + " times"; }

void TextDiff(std::ostream &out, const ReportView &view, const SessionDiff &diff) {
    const std::size_t count = view.log->sessions.size();
    out << Printable(view.logName) << ":\n";
    Indented(out, "from " + SessionTitle(*diff.from, count), 2);
    Indented(out, "to   " + SessionTitle(*diff.to, count), 2);
    Notes(out, view.log->notes, {});
    for (const Session *session : {diff.from, diff.to})
        for (const std::string &note : session->notes)
            Indented(out, "session " + std::to_string(session->number) + ", " + note, 2, "- ");
    if (diff.Empty()) {
        out << "\nNo differences.\n";
        return;
    }
    for (int list = 0; list < kListCount; ++list) {
        if (diff.lists[list].empty()) continue;
        out << '\n' << kListHeadings[list] << ":\n";
        for (const ListChange &change : diff.lists[list]) {
            const std::string what = change.from == 0 ? "+ added    " : change.to == 0 ? "- removed  " : "~ listed " +
                                     Counted(change.to) + " (was " + Counted(change.from) + ")  ";
            Indented(out, change.id, 2, what);
        }
    }
    const std::pair<const char *, const std::vector<std::string> *> named[] = {
        {"\nNo longer named in the session:\n", &diff.gone}, {"\nNewly named in the session:\n", &diff.added}};
    for (const auto &[title, ids] : named) {
        if (ids->empty()) continue;
        out << title;
        for (const std::string &id : *ids) Indented(out, id, 2);
    }
    if (!diff.facts.empty()) out << "\nChanged facts:\n";
    for (const FactChange &change : diff.facts) {
        Indented(out, change.id, 2);
        Indented(out, change.fact + ": \"" + change.from + "\" -> \"" + change.to + "\"", 6);
    }
}

}  // namespace

const FormWriter kTextWriter = {TextList, TextSession, TextDiff};

}  // namespace report
