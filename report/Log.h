// Reading an enumerate-tarsel.txt log: its lines and the sessions in it.
// The log is single-byte text with CR LF line ends; every run appends a
// session. Nothing here trusts the file: damage is noted, never fatal.
//
// A log may be large (half a million lines), and a report needs few of its
// lines: the file is read in order, a block at a time, and never held whole.
// A first pass finds the sessions and the damage; a session is then read
// again from its own place in the file, and the lines a report quotes at
// length (a device's trace) once more, only when asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace report {

// One line as read; text is valid until the next line is read.
struct LogLine {
    std::string_view text;   // UTF-8, without the line end; empty when not readable
    std::size_t index = 0;   // 0-based; its line number is index + 1
    bool readable = true;    // false: the line holds bytes that are not text, or was cut off
    bool bareLf = false;     // ended by LF alone
    bool cut = false;        // the file ends inside it
    bool nonText = false;    // it holds bytes that are not text
};

struct SessionSpan {
    std::size_t first = 0;   // index of the session's first line (its dash line)
    std::size_t end = 0;     // one past its last line
    std::size_t header = 0;  // index of its "Log Session: " line
    std::uint64_t bodyOffset = 0;  // where the line after the header starts in the file
    std::string timeText;    // what follows "Log Session: "
    std::optional<std::int64_t> time;  // seconds since 1970 UTC; -1 means the clock failed
};

// What the first pass learnt of a log, and where to read it again: the file
// it names, or bytes held here (a LogFile moves but never copies them).
struct LogFile {
    std::string path;
    std::shared_ptr<const std::string> bytes;  // set: read from these, not the file
    std::size_t lineCount = 0;
    std::vector<SessionSpan> sessions;
    std::vector<std::string> notes;  // what could not be read, in file order
};

LogFile ParseLog(std::string bytes);
LogFile ParseLog(std::string_view bytes);

// Reads the whole file; false when it cannot be opened or read.
bool ReadFileBytes(const std::string &path, std::string &bytes);

// Told the lines of the first pass: each session's start, then each line
// after a session header (the header itself is not passed on).
class LineSink {
public:
    virtual ~LineSink() = default;
    virtual void Begin(const SessionSpan &span) = 0;  // its end not yet known
    virtual void Line(const LogLine &line) = 0;
};

// The first pass over the file at path; false when it cannot be opened or read.
bool OpenLog(const std::string &path, LogFile &log, LineSink *sink = nullptr);

// Reads a log's lines in order from a line whose start is known, a block at
// a time. Where the file changed since the first pass, it reads what is there.
class LineReader {
public:
    LineReader(const LogFile &log, std::uint64_t offset, std::size_t index);
    ~LineReader();
    LineReader(const LineReader &) = delete;
    LineReader &operator=(const LineReader &) = delete;

    // The next line; false at the end of the bytes or when the file fails.
    bool Next(LogLine &line);
    // Where the line Next gave last starts in the file.
    std::uint64_t LineOffset() const { return m_base + m_lineStart; }
    bool Failed() const { return m_failed; }
    // Lines read or passed over, counted from the first line of the log.
    std::size_t LinesRead() const { return m_index; }

private:
    bool Refill();
    bool NextClean(LogLine &line);

    std::FILE *m_file = nullptr;
    std::string m_block;          // a window on the file: its bytes from m_base
    const char *m_data = nullptr;  // m_block's bytes, or the LogFile's
    std::size_t m_size = 0, m_pos = 0, m_lineStart = 0;
    std::uint64_t m_base = 0;
    std::size_t m_index = 0;
    bool m_end = false, m_failed = false;
    std::string m_converted;  // a line that is not ASCII, as UTF-8
};

// The text of the lines at the given indexes (ascending) within a session,
// read back from the log in one pass: one entry per index, "" where the
// line is not readable.
std::vector<std::string> ReadBack(const LogFile &log, const SessionSpan &span, const std::vector<std::size_t> &indexes);

// "2026-12-09 00:54:54 UTC", or a description of the header's text.
std::string SessionTimeText(const SessionSpan &span);

std::string Latin1ToUtf8(std::string_view bytes);

}  // namespace report
