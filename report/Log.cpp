#include "report/Log.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "hostio/HostIo.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

#if defined(__SSE2__)
// Where the plain line that starts at `from` ends (its LF), or `size` where
// it is not plain or its end is not within the bytes: a plain line holds
// printable ASCII and tabs only, and perhaps a CR right before its LF.
// Each byte is looked at once; a line that is not plain, or whose end is
// less than 32 bytes before the end of the bytes, is left to the byte-wise path.
std::size_t PlainLineEnd(const char *data, std::size_t from, std::size_t size) {
    const __m128i lf = _mm_set1_epi8('\n'), tab = _mm_set1_epi8('\t');
    const __m128i below = _mm_set1_epi8(0x1F), del = _mm_set1_epi8(0x7F);
    // Bit k of each mask: byte k of 16 is an LF (ends), is anything but printable ASCII or a tab (other).
    const auto masks = [&](const char *at, unsigned &ends, unsigned &other) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
        // Signed: bytes from 0x80 are negative, so not above 0x1F.
        const __m128i plain = _mm_or_si128(_mm_andnot_si128(_mm_cmpeq_epi8(c, del), _mm_cmpgt_epi8(c, below)),
                                           _mm_cmpeq_epi8(c, tab));
        ends = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(c, lf)));
        other = static_cast<unsigned>(_mm_movemask_epi8(plain)) ^ 0xFFFFu;
    };
    // Thirty-two bytes a step: most lines end within two.
    for (std::size_t at = from; at + 32 <= size; at += 32) {
        unsigned endsLow = 0, otherLow = 0, endsHigh = 0, otherHigh = 0;
        masks(data + at, endsLow, otherLow);
        masks(data + at + 16, endsHigh, otherHigh);
        const std::uint32_t ends = endsLow | endsHigh << 16, other = otherLow | otherHigh << 16;
        if (ends == 0) {
            if (other == 0) continue;
            // A CR at the step's last byte is the line end when its LF follows.
            return other == 0x80000000u && data[at + 31] == '\r' && at + 32 < size && data[at + 32] == '\n' ? at + 32
                                                                                                         : size;
        }
        const int end = std::countr_zero(ends);
        const std::uint32_t before = other & ((std::uint32_t{1} << end) - 1);
        if (before == 0 || (before == std::uint32_t{1} << (end - 1) && data[at + static_cast<std::size_t>(end) - 1] == '\r'))
            return at + static_cast<std::size_t>(end);
        return size;
    }
    return size;
}
#else
std::size_t PlainLineEnd(const char *, std::size_t, std::size_t size) { return size; }
#endif

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

constexpr std::size_t kBlock = 256 * 1024;

// The first pass: line count, damage and sessions, nothing kept of the lines.
bool FirstPass(LogFile &log, LineSink *sink) {
    LineReader reader(log, 0, 0);
    LineRanges nonText("bytes that are not text; not read");
    LineRanges bareLf("ends with LF alone, not CR LF");
    std::vector<std::string> headerNotes;
    bool previousDashes = false, wantBody = false;
    LogLine line;
    while (reader.Next(line)) {
        const std::size_t number = line.index + 1;
        if (wantBody) log.sessions.back().bodyOffset = reader.LineOffset();
        wantBody = false;
        if (line.nonText) nonText.Add(number);
        if (line.bareLf) bareLf.Add(number);
        if (line.cut && !line.nonText) log.notes.push_back("line " + std::to_string(number) + ": cut off (no line end); not read");
        const std::string_view text = line.text;
        if (line.readable && !text.empty() && text[0] == 'L' && text.starts_with(kHeader)) {
            SessionSpan span;
            span.header = line.index;
            span.first = line.index;
            span.bodyOffset = UINT64_MAX;  // none: the header is the last line
            if (previousDashes)
                span.first = line.index - 1;
            else
                headerNotes.push_back("line " + std::to_string(number) + ": session header without the dash line before it");
            span.timeText = std::string(text.substr(kHeader.size()));
            std::int64_t seconds = 0;
            const char *begin = span.timeText.data();
            const char *stop = begin + span.timeText.size();
            auto [ptr, ec] = std::from_chars(begin, stop, seconds);
            if (ec == std::errc() && ptr == stop && begin != stop) span.time = seconds;
            if (!log.sessions.empty()) log.sessions.back().end = span.first;
            log.sessions.push_back(span);
            wantBody = true;
            if (sink) sink->Begin(span);
        } else if (sink && !log.sessions.empty()) {
            sink->Line(line);
        }
        previousDashes = line.readable && text == kDashes;
    }
    if (reader.Failed()) return false;
    log.lineCount = reader.LinesRead();
    if (!log.sessions.empty()) log.sessions.back().end = log.lineCount;
    nonText.Flush(log.notes);
    bareLf.Flush(log.notes);
    log.notes.insert(log.notes.end(), headerNotes.begin(), headerNotes.end());

    const std::size_t before = log.sessions.empty() ? log.lineCount : log.sessions.front().first;
    if (before > 0 && !log.sessions.empty())
        log.notes.push_back("lines 1-" + std::to_string(before) + ": before the first session, part of none");
    if (log.sessions.empty())
        log.notes.push_back("no \"Log Session: \" header in " + std::to_string(log.lineCount) +
                            " lines: not an enumerate-tarsel log");
    return true;
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
    log.bytes = std::make_shared<const std::string>(std::move(owned));
    FirstPass(log, nullptr);  // bytes in memory cannot fail to be read
    return log;
}

bool ReadFileBytes(const std::string &path, std::string &bytes) {
    std::string reason;
    return hostio::ReadRegularFile(path, bytes, reason);
}

bool OpenLog(const std::string &path, LogFile &log, LineSink *sink) {
    log = LogFile{};
    log.path = path;
    // Only a regular file: opening a FIFO would wait for a writer.
    std::error_code error;
    if (!std::filesystem::is_regular_file(std::filesystem::path(path), error)) return false;
    return FirstPass(log, sink);
}

LineReader::LineReader(const LogFile &log, std::uint64_t offset, std::size_t index) : m_index(index) {
    if (log.bytes) {
        m_data = log.bytes->data();
        m_size = log.bytes->size();
        m_pos = offset < m_size ? static_cast<std::size_t>(offset) : m_size;
        m_end = true;
        return;
    }
    m_file = std::fopen(log.path.c_str(), "rb");
    m_failed = m_file == nullptr;
#ifdef _WIN32
    const bool placed = m_file && offset <= INT64_MAX && _fseeki64(m_file, static_cast<long long>(offset), SEEK_SET) == 0;
#else
    const bool placed = m_file && offset <= INT64_MAX && fseeko(m_file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
    m_end = !placed;
    m_base = placed ? offset : 0;
    m_block.resize(kBlock);
    m_data = m_block.data();
}

LineReader::~LineReader() {
    if (m_file) std::fclose(m_file);
}

// Keeps the line begun (moved to the front of the block, which grows where
// one line fills it) and reads on after it.
bool LineReader::Refill() {
    if (!m_file || m_end) return false;
    const std::size_t keep = m_size - m_pos;
    if (m_pos > 0) {
        std::memmove(m_block.data(), m_block.data() + m_pos, keep);
        m_base += m_pos;
        m_pos = 0;
    }
    if (keep == m_block.size()) m_block.resize(m_block.size() * 2);
    m_data = m_block.data();
    const std::size_t got = std::fread(m_block.data() + keep, 1, m_block.size() - keep, m_file);
    m_size = keep + got;
    if (got == 0) {
        m_end = true;
        m_failed = std::ferror(m_file) != 0;
    }
    return got > 0;
}

// A plain line (see PlainLineEnd): text, ASCII, its end within the block.
bool LineReader::NextClean(LogLine &line) {
    const std::size_t lf = PlainLineEnd(m_data, m_pos, m_size);
    if (lf == m_size) return false;
    line = LogLine{};
    line.index = m_index++;
    m_lineStart = m_pos;
    line.text = std::string_view(m_data + m_pos, lf - m_pos);
    m_pos = lf + 1;
    if (!line.text.empty() && line.text.back() == '\r')
        line.text.remove_suffix(1);
    else
        line.bareLf = true;
    return true;
}

bool LineReader::Next(LogLine &line) {
    if (NextClean(line)) return true;
    for (;;) {
        bool text = true, ascii = true;
        const std::string_view bytes(m_data, m_size);
        const std::size_t lf = ScanLine(bytes, m_pos, text, ascii);
        if (lf == m_size && !m_end) {
            Refill();
            if (NextClean(line)) return true;
            continue;
        }
        if (m_pos >= m_size) return false;
        line = LogLine{};
        line.index = m_index++;
        m_lineStart = m_pos;
        line.cut = lf == m_size;
        std::string_view raw = bytes.substr(m_pos, lf - m_pos);
        m_pos = line.cut ? lf : lf + 1;
        if (!raw.empty() && raw.back() == '\r')
            raw.remove_suffix(1);
        else if (!line.cut)
            line.bareLf = true;
        line.nonText = !text;
        line.readable = text && !line.cut;
        if (!line.readable) return true;
        if (ascii) {
            line.text = raw;
        } else {
            m_converted = Latin1ToUtf8(raw);
            line.text = m_converted;
        }
        return true;
    }
}

std::vector<std::string> ReadBack(const LogFile &log, const SessionSpan &span, const std::vector<std::size_t> &indexes) {
    std::vector<std::string> texts(indexes.size());
    if (indexes.empty()) return texts;
    LineReader reader(log, span.bodyOffset, span.header + 1);
    LogLine line;
    std::size_t k = 0;
    while (k < indexes.size() && reader.Next(line) && line.index < span.end) {
        while (k < indexes.size() && indexes[k] < line.index) ++k;
        for (; k < indexes.size() && indexes[k] == line.index; ++k) texts[k] = line.text;
    }
    return texts;
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
