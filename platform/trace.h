// The session log and its trace lines.
//
// One process-wide log, "enumerate-tarsel.txt", opened for appending.  On disk
// it is single-byte text: U+0000..U+00FF as the byte of the same value, any
// other character as '?', every line ended by CR LF.  Each line is built in
// memory and handed to the file in one append, so the log is complete up to
// the last line written and concurrent runs never tear a line.  Once a write
// fails, the rest of the run's output is dropped silently.
//
// A trace line is a label followed directly by values:
//   Trace("ERROR GetDeviceNumber ", U(error));
// Labels that look wrong on purpose are in trace_labels.h.
// Numbers must be wrapped in their kind (U, S, S64, F, P); wide strings are
// string values (a null pointer writes nothing); narrow strings are labels.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wstr.h"

namespace tlog {

struct U {  // unsigned 32-bit decimal
    explicit constexpr U(uint32_t value) : v(value) {}
    uint32_t v;
};
struct S {  // signed 32-bit decimal
    explicit constexpr S(int32_t value) : v(value) {}
    int32_t v;
};
struct S64 {  // signed 64-bit decimal
    explicit constexpr S64(int64_t value) : v(value) {}
    int64_t v;
};
struct F {  // flag: "1" or "0"
    explicit constexpr F(bool value) : v(value) {}
    bool v;
};
struct P {  // pointer value: eight upper-case hexadecimal digits
    uint32_t v;
    explicit P(const void *p) : v(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p))) {}
};

void AppendValue(std::string &out, const char *label);
void AppendValue(std::string &out, std::string_view label);
void AppendValue(std::string &out, const WCHAR *text);
void AppendValue(std::string &out, WCHAR *text);
void AppendValue(std::string &out, const WString &text);
void AppendValue(std::string &out, U value);
void AppendValue(std::string &out, S value);
void AppendValue(std::string &out, S64 value);
void AppendValue(std::string &out, F value);
void AppendValue(std::string &out, P value);

}  // namespace tlog

// Sees every line the log writes, as it is written.  The capture keeps its
// run's lines through one and compares a replay's with them through another.
class LineSink {
public:
    virtual void Line(std::string_view line) = 0;

protected:
    ~LineSink() = default;
};

class SessionLog {
public:
    static constexpr const char *kFileName = "enumerate-tarsel.txt";

    // Opens kFileName in the current directory for appending (created if
    // missing).  Returns whether the log is open.
    bool Open();
    bool OpenPath(const char *path);
    bool IsOpen() const;
    void Close();

    // Appends one line: the bytes given, then CR LF, in a single write.
    void WriteLine(std::string_view line);

    // The buffer in which the next line is built (reused, so writing a line
    // allocates nothing once the buffer has grown).
    std::string &LineBuffer() { return m_line; }

    // Tests: collect lines in memory instead of (as well as) the file.
    void StartCapture();
    std::vector<std::string> TakeCaptured();
    bool Capturing() const { return m_capturing || m_sink != nullptr; }

    // Hands every line to `sink` as well (null: to none).
    void SetSink(LineSink *sink) { m_sink = sink; }

private:
    int m_fd = -1;
    bool m_failed = false;
    bool m_capturing = false;
    LineSink *m_sink = nullptr;
    std::vector<std::string> m_captured;
    std::string m_line;
    std::string m_bytes;
};

// The one session log of the process.
SessionLog &Log();

template <typename... Args>
void Trace(const Args &...args) {
    SessionLog &log = Log();
    if (!log.IsOpen() && !log.Capturing()) return;
    std::string &line = log.LineBuffer();
    line.clear();
    (tlog::AppendValue(line, args), ...);
    log.WriteLine(line);
}

// The early return of a step that failed: writes its error line, then the
// function's LEAVE line, and gives false, as in
//   if (!ok) return TraceFailure("LEAVE F", "ERROR F ", U(os::GetLastError()));
template <typename... Args>
bool TraceFailure(const char *leaveLine, const Args &...errorLine) {
    Trace(errorLine...);
    Trace(leaveLine);
    return false;
}

using tlog::F;
using tlog::P;
using tlog::S;
using tlog::S64;
using tlog::U;
