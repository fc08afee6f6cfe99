// The text form: fits a terminal of 100 columns.
#include <algorithm>
#include <charconv>
#include <concepts>
#include <cstring>

#include "report/Render.h"

namespace report {
namespace {

constexpr std::size_t kWidth = 100;
constexpr std::size_t kFactsColumn = 37;  // after "  #  type   all leg hkd  ", for up to 999 rows
constexpr std::size_t kIndent = 5;

// The form's text, gathered in one buffer and written to the stream a block
// at a time: a row is many short pieces, and a stream write per piece costs
// more than the piece. Also holds the scratch strings a row is built in.
class TextOut {
public:
    explicit TextOut(std::ostream &out) : m_out(out) {}
    TextOut(const TextOut &) = delete;
    TextOut &operator=(const TextOut &) = delete;
    ~TextOut() { Flush(); }

    TextOut &operator<<(std::string_view text) {
        m_text.append(text);
        return Written();
    }
    TextOut &operator<<(char c) {
        m_text.push_back(c);
        return Written();
    }
    template <std::integral T>
    TextOut &operator<<(T number) {
        char digits[24];
        const auto written = std::to_chars(digits, digits + sizeof digits, number);
        m_text.append(digits, written.ptr);
        return Written();
    }
    void Pad(std::size_t count) { m_text.append(count, ' '); }
    void Flush() {
        if (!m_text.empty()) m_out.write(m_text.data(), static_cast<std::streamsize>(m_text.size()));
        m_text.clear();
    }

    // Scratch: a row's head and text, the text being wrapped and its printable form.
    std::string head, row, line, printable;

private:
    static constexpr std::size_t kBlock = 64 * 1024;
    TextOut &Written() {
        if (m_text.size() >= kBlock) Flush();
        return *this;
    }

    std::ostream &m_out;
    std::string m_text;
};

// Byte offset just past the first count characters of text (UTF-8), or
// text.size() where it holds no more.
std::size_t CharacterEnd(std::string_view text, std::size_t count, bool ascii) {
    if (ascii) return std::min(count, text.size());
    std::size_t i = 0;
    for (; i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && count-- == 0) break;
    return i;
}

std::size_t CharacterCount(std::string_view text, bool ascii) {
    if (ascii) return text.size();
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// Whether every byte is printable ASCII (0x20 to 0x7E), eight at a time:
// such text is its own printable form, one byte a character.
bool PlainAscii(std::string_view text) {
    constexpr std::uint64_t kOnes = 0x0101010101010101u, kHigh = 0x8080808080808080u;
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, text.data() + i, 8);
        // A byte of 0x20 to 0x7E keeps its high bit clear in all three.
        if (((word - 0x20 * kOnes) | (word + kOnes) | word) & kHigh) return false;
    }
    for (; i < text.size(); ++i)
        if (static_cast<unsigned char>(text[i]) - 0x20u >= 0x5Fu) return false;
    return true;
}

// Breaks text into pieces of at most width characters, at blanks where it
// can; text from a file is made printable first. Each piece is looked at
// once, so a long unbroken identifier costs no more than its length. Hands
// each piece, a view into the printable text, to emit in order.
template <typename Emit>
void ForEachPiece(TextOut &out, std::string_view raw, std::size_t width, Emit &&emit) {
    bool ascii = PlainAscii(raw);
    std::string_view rest = raw;
    if (!ascii) {
        out.printable = Printable(raw);
        rest = out.printable;
        ascii = std::none_of(rest.begin(), rest.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    }
    for (std::size_t end = CharacterEnd(rest, width, ascii); end < rest.size(); end = CharacterEnd(rest, width, ascii)) {
        // Facts are joined by "; ": keep each whole where one line can hold it.
        const std::size_t part = rest.rfind("; ", end - 1);
        if (part != std::string_view::npos && CharacterCount(rest.substr(0, part), ascii) > width / 3) {
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

// text, after mark, wrapped to the width left after indent.
void Indented(TextOut &out, std::string_view text, std::size_t indent, std::string_view mark = {}) {
    if (!mark.empty()) {
        out.line.assign(mark);
        out.line.append(text);
        text = out.line;
    }
    ForEachPiece(out, text, kWidth - indent, [&](std::string_view piece) {
        out.Pad(indent);
        out << piece << '\n';
    });
}

void Notes(TextOut &out, const std::vector<std::string> &fileNotes, const std::vector<std::string> &sessionNotes) {
    if (fileNotes.empty() && sessionNotes.empty()) return;
    out << "\nNot read, or read with doubt:\n";
    for (const auto *notes : {&fileNotes, &sessionNotes})
        for (const std::string &note : *notes) Indented(out, note, 2, "- ");
}

// text right-aligned (left: left-aligned) in width columns, as a stream's setw lays it out.
void Aligned(std::string &into, std::string_view text, std::size_t width, bool left) {
    const std::size_t fill = text.size() < width ? width - text.size() : 0;
    if (!left) into.append(fill, ' ');
    into += text;
    if (left) into.append(fill, ' ');
}

std::string_view Digits(char (&buffer)[24], std::size_t number) {
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, number);
    return std::string_view(buffer, static_cast<std::size_t>(written.ptr - buffer));
}

// The row number takes the width of the largest; the facts column moves with it.
void DeviceRow(TextOut &out, std::size_t number, std::size_t numberWidth, const Session &session,
               const Device &device) {
    const std::size_t factsColumn = kFactsColumn - 3 + numberWidth;
    std::string &head = out.head;
    head.clear();
    char digits[24];
    Aligned(head, Digits(digits, number), numberWidth, false);
    head += "  ";
    Aligned(head, device.facts.type ? TypeName(*device.facts.type) : "-", 18, true);
    for (int list = 0; list < kListCount; ++list) {
        head += ' ';
        Aligned(head, CountText(session, device, list), 3, false);
    }
    head += "  ";
    std::string &row = out.row;
    row.clear();
    AppendFactsSummary(row, device);
    bool first = true;
    ForEachPiece(out, row, kWidth - factsColumn, [&](std::string_view piece) {
        if (!first) {
            out.Pad(factsColumn);
            out << piece << '\n';
            return;
        }
        first = false;
        // The head and the first piece, without the blanks that would end the line.
        std::string_view start = head;
        while (!piece.empty() && piece.back() == ' ') piece.remove_suffix(1);
        while (piece.empty() && !start.empty() && start.back() == ' ') start.remove_suffix(1);
        out << start << piece << '\n';
    });
    if (device.unnamed)
        Indented(out, DeviceName(device), kIndent);
    else
        Indented(out, device.id, kIndent);
    if (device.machine) Indented(out, MachineSummary(device), kIndent, "machine: ");
    const auto full = [&row](const Finding &finding) {
        row.assign(finding.text);
        if (!finding.reason.empty()) {
            row += ": ";
            row += finding.reason;
        }
    };
    for (const Finding &finding : device.findings) {
        full(finding);
        Indented(out, row, kIndent, "! ");
        row.clear();
        AppendExplanation(row, finding);
        Indented(out, row, kIndent + 2);
    }
    if (device.findings.empty()) {
        full(device.standing);
        row += "; ";
        AppendExplanation(row, device.standing);
        Indented(out, row, kIndent, "= ");
    }
}

void Trace(TextOut &out, const ReportView &view, const Session &session, const TraceTexts &texts,
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
        char digits[24];
        std::string number;
        Aligned(number, Digits(digits, i + 1), 7, false);
        number += "  ";
        bool first = true;
        ForEachPiece(out, text, kWidth - 11, [&](std::string_view piece) {
            if (first)
                out << number;
            else
                out.Pad(11);
            first = false;
            out << piece << '\n';
        });
    }
}

void Errors(TextOut &out, const Session &session) {
    std::size_t total = 0;
    for (const ErrorGroup &group : session.errors) total += group.count;
    out << "\nERROR lines: " << total << " (" << session.errors.size() << (session.errors.size() == 1 ? " kind)\n" : " kinds)\n");
    for (const ErrorGroup &group : session.errors) {
        // Counts right-aligned in three columns, wider where they need it.
        std::string line = std::to_string(group.count);
        if (line.size() < 3) line.insert(0, 3 - line.size(), ' ');
        line += "  ";
        line += group.text;
        line += "   (first at line ";
        line += std::to_string(group.firstLine);
        line += ')';
        Indented(out, line, 2);
        if (!group.numbers.empty()) Indented(out, ErrorNumbersText(group), 7, "numbers: ");
    }
}

// Counts per finding and per reason, before the rows.
void Summary(TextOut &out, const std::vector<const Device *> &shown) {
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

void TextList(std::ostream &stream, const ReportView &view, const std::vector<Session> &sessions) {
    TextOut out(stream);
    out << Printable(view.logName) << ": " << sessions.size() << " session(s), " << view.log->lineCount << " lines\n";
    for (const Session &session : sessions) {
        Indented(out, SessionTitle(session, sessions.size()), 2);
        Indented(out, ListSizesText(session), 6);
    }
    Notes(out, view.log->notes, {});
}

void TextSession(std::ostream &stream, const ReportView &view, const Session &session) {
    TextOut out(stream);
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

void TextDiff(std::ostream &stream, const ReportView &view, const SessionDiff &diff) {
    TextOut out(stream);
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
