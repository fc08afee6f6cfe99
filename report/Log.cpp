#include "report/Log.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "hostio/HostIo.h"

namespace report {
namespace {

constexpr std::string_view kHeader = "Log Session: ";
const std::string kDashes(79, '-');

bool IsTextByte(unsigned char c) { return c >= 0x20 ? c != 0x7F : c == '\t'; }

// Finds the end of the line that starts at `from` (its '\n', or the end of
// the bytes) and tells whether its bytes are text and all ASCII; the one CR
// before the '\n' (or at the very end) is the line end, not part of the line.
// One pass, eight bytes at a time: a word of printable ASCII (the common case)
// is passed in a few operations, and only a word that may hold a line end or
// something other than printable ASCII is looked at byte by byte.
std::size_t ScanLine(std::string_view bytes, std::size_t from, bool &text, bool &ascii) {
    constexpr std::uint64_t kOnes = 0x0101010101010101u, kHigh = 0x8080808080808080u;
    const std::size_t size = bytes.size();
    std::size_t i = from;
    for (;;) {
        for (; i + 8 <= size; i += 8) {
            std::uint64_t word = 0;
            std::memcpy(&word, bytes.data() + i, 8);
            // A byte of 0x20 to 0x7E keeps its high bit clear in all three;
            // any other sets it in one (and may set those above it: a miss
            // costs only a look at the word byte by byte).
            if (((word - 0x20 * kOnes) | (word + kOnes) | word) & kHigh) break;
        }
        for (const std::size_t stop = std::min(size, i + 8); i < stop; ++i) {
            const unsigned char c = static_cast<unsigned char>(bytes[i]);
            if (c == '\n') return i;
            if (c == '\r' && (i + 1 == size || bytes[i + 1] == '\n')) continue;
            text = text && IsTextByte(c);
            ascii = ascii && c < 0x80;
        }
        if (i >= size) return size;
    }
}

// Collects line numbers into "lines 12-40" ranges for one kind of damage.
class LineRanges {
public:
    explicit LineRanges(std::string what) : m_what(std::move(what)) {}
    void Add(std::size_t number) {
        if (!m_ranges.empty() && m_ranges.back().second + 1 == number)
            m_ranges.back().second = number;
        else
            m_ranges.emplace_back(number, number);
    }
    void Flush(std::vector<std::string> &notes) const {
        for (const auto &[from, to] : m_ranges) {
            std::string where = from == to ? "line " + std::to_string(from)
                                           : "lines " + std::to_string(from) + "-" + std::to_string(to);
            notes.push_back(where + ": " + m_what);
        }
    }

private:
    std::string m_what;
    std::vector<std::pair<std::size_t, std::size_t>> m_ranges;
};

void FindSessions(LogFile &log) {
    for (std::size_t i = 0; i < log.lines.size(); ++i) {
        const LogLine &line = log.lines[i];
        if (!line.readable || line.text.empty() || line.text[0] != 'L' || !line.text.starts_with(kHeader)) continue;
        SessionSpan span;
        span.header = i;
        span.first = i;
        if (i > 0 && log.lines[i - 1].readable && log.lines[i - 1].text == kDashes)
            span.first = i - 1;
        else
            log.notes.push_back("line " + std::to_string(line.number) + ": session header without the dash line before it");
        span.timeText = std::string(line.text.substr(kHeader.size()));
        std::int64_t seconds = 0;
        const char *begin = span.timeText.data();
        const char *end = begin + span.timeText.size();
        auto [ptr, ec] = std::from_chars(begin, end, seconds);
        if (ec == std::errc() && ptr == end && begin != end) span.time = seconds;
        if (!log.sessions.empty()) log.sessions.back().end = span.first;
        log.sessions.push_back(span);
    }
    if (!log.sessions.empty()) log.sessions.back().end = log.lines.size();

    const std::size_t before = log.sessions.empty() ? log.lines.size() : log.sessions.front().first;
    if (before > 0 && !log.sessions.empty())
        log.notes.push_back("lines 1-" + std::to_string(before) + ": before the first session, part of none");
    if (log.sessions.empty())
        log.notes.push_back("no \"Log Session: \" header in " + std::to_string(log.lines.size()) +
                            " lines: not an enumerate-tarsel log");
}

}  // namespace

std::string Latin1ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

LogFile ParseLog(std::string_view bytes) { return ParseLog(std::string(bytes)); }

LogFile ParseLog(std::string owned) {
    LogFile log;
    log.bytes = std::make_unique<const std::string>(std::move(owned));
    const std::string_view bytes = *log.bytes;
    log.lines.reserve(bytes.size() / 32 + 1);  // about the length of a trace line; grows where lines are shorter
    LineRanges nonText("bytes that are not text; not read");
    LineRanges bareLf("ends with LF alone, not CR LF");
    for (std::size_t start = 0; start < bytes.size();) {
        LogLine line;
        line.number = static_cast<std::uint32_t>(log.lines.size() + 1);
        bool ascii = true;
        const std::size_t lf = ScanLine(bytes, start, line.readable, ascii);
        const bool cut = lf == bytes.size();
        std::string_view raw = bytes.substr(start, lf - start);
        start = cut ? lf : lf + 1;
        if (!raw.empty() && raw.back() == '\r')
            raw.remove_suffix(1);
        else if (!cut)
            bareLf.Add(line.number);
        if (!line.readable) nonText.Add(line.number);
        if (cut && line.readable) {
            line.readable = false;
            log.notes.push_back("line " + std::to_string(line.number) + ": cut off (no line end); not read");
        }
        if (line.readable) line.text = ascii ? raw : std::string_view(log.converted.emplace_back(Latin1ToUtf8(raw)));
        log.lines.push_back(line);
    }
    nonText.Flush(log.notes);
    bareLf.Flush(log.notes);
    FindSessions(log);
    return log;
}

bool ReadFileBytes(const std::string &path, std::string &bytes) {
    std::string reason;
    return hostio::ReadRegularFile(path, bytes, reason);
}

std::string SessionTimeText(const SessionSpan &span) {
    if (!span.time) return "time not readable (\"" + span.timeText + "\")";
    if (*span.time == -1) return "clock not readable (-1)";
    using namespace std::chrono;
    // Years 1 to 9999 only: four digits, and no calendar overflow.
    constexpr std::int64_t kFirst = -62135596800, kLast = 253402300799;
    if (*span.time < kFirst || *span.time > kLast) return "time out of range (" + span.timeText + ")";
    const sys_seconds when{seconds{*span.time}};
    const sys_days day = floor<days>(when);
    const year_month_day date{day};
    const hh_mm_ss clock{when - day};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d UTC", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()));
    return text;
}

}  // namespace report
