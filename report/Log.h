// Reading an enumerate-tarsel.txt log: its lines and the sessions in it.
// The log is single-byte text with CR LF line ends; every run appends a
// session. Nothing here trusts the file: damage is noted, never fatal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace report {

// 24 bytes: a large log holds half a million of them.
struct LogLine {
    std::string_view text;     // UTF-8, without the line end; into the LogFile's storage
    std::uint32_t number = 0;  // 1-based line number in the file
    bool readable = true;      // false: the line holds bytes that are not text
};

struct SessionSpan {
    std::size_t first = 0;   // index of the session's first line (its dash line)
    std::size_t end = 0;     // one past its last line
    std::size_t header = 0;  // index of its "Log Session: " line
    std::string timeText;    // what follows "Log Session: "
    std::optional<std::int64_t> time;  // seconds since 1970 UTC; -1 means the clock failed
};

// Lines are views into the file's bytes (kept here, so a LogFile moves but
// never copies), or into a converted copy where a line is not ASCII.
struct LogFile {
    std::unique_ptr<const std::string> bytes;
    std::deque<std::string> converted;
    std::vector<LogLine> lines;
    std::vector<SessionSpan> sessions;
    std::vector<std::string> notes;  // what could not be read, in file order
};

LogFile ParseLog(std::string bytes);
LogFile ParseLog(std::string_view bytes);

// Reads the whole file; false when it cannot be opened or read.
bool ReadFileBytes(const std::string &path, std::string &bytes);

// "2026-12-09 00:54:54 UTC", or a description of the header's text.
std::string SessionTimeText(const SessionSpan &span);

std::string Latin1ToUtf8(std::string_view bytes);

}  // namespace report
