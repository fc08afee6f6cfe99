// The report's three forms: a text table for a terminal, JSON for tools and
// a self-contained HTML page for a ticket. All three carry the same content.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "report/Diff.h"
#include "report/Log.h"
#include "report/Machine.h"
#include "report/Session.h"

namespace report {

enum class Format { Text, Json, Html, Csv, Jsonl };

struct ReportView {
    std::string logName;
    const LogFile *log = nullptr;
    const Machine *machine = nullptr;
    std::string filter;  // --device: only matching devices, with their trace
};

void WriteSessionList(std::ostream &out, Format format, const ReportView &view, const std::vector<Session> &sessions);
void WriteSessionReport(std::ostream &out, Format format, const ReportView &view, const Session &session);
void WriteDiffReport(std::ostream &out, Format format, const ReportView &view, const SessionDiff &diff);
// Csv and Jsonl: a head (CSV's column names), then the rows of each session.
void WriteTableHead(std::ostream &out, Format format);
void WriteTableRows(std::ostream &out, Format format, const ReportView &view, const Session &session);

// Helpers the three forms share.
// Text from a file made safe for a terminal or a cell: C0 and C1 control
// characters and DEL as `\n`, `\t`, `\r` or `\x1B`, and bytes that are not
// UTF-8 as `\xFF`, so that what is printed is one line of valid UTF-8.
std::string Printable(std::string_view text);
std::string SessionTitle(const Session &session, std::size_t sessionCount);
std::string ListSizesText(const Session &session);
std::string FactsSummary(const Device &device);
void AppendFactsSummary(std::string &text, const Device &device);  // the same, appended
std::string MachineSummary(const Device &device);
std::string CountText(const Session &session, const Device &device, int list);
std::string ErrorNumbersText(const ErrorGroup &group);
// "line 5", "lines 5-9, 12"; and the sentence with them: "because (lines ...)".
std::string LinesText(const Finding &finding);
std::string Explanation(const Finding &finding);
void AppendExplanation(std::string &text, const Finding &finding);  // the same, appended
// How a device is shown: its identifier, or "device node N" with how to name it.
std::string DeviceName(const Device &device);
// For a line that carries a DEVINST: the device it names, else empty.
std::string DevinstName(const ReportView &view, const Session &session, std::size_t lineIndex);
std::vector<const Device *> ShownDevices(const ReportView &view, const Session &session);
// Devices by finding and reason, findings in order of name, reasons in the
// order they first occur; a device with two findings is in two groups.
struct FindingGroup {
    std::string finding, reason;
    std::vector<const Device *> devices;
};
std::vector<FindingGroup> GroupFindings(const std::vector<const Device *> &shown);
// The lines of a device's trace, in order: its passes' work, then the other lines naming it.
std::vector<std::size_t> TraceLines(const Device &device);
// The text of the trace lines of the devices shown (with --device only),
// read back from the log in one pass for all of them; "" for a line not read.
class TraceTexts {
public:
    TraceTexts() = default;
    TraceTexts(const ReportView &view, const Session &session, const std::vector<const Device *> &shown);
    const std::string &operator[](std::size_t index) const;

private:
    std::vector<std::size_t> m_indexes;  // ascending
    std::vector<std::string> m_texts;
};

// One writer per form.
struct FormWriter {
    void (*list)(std::ostream &, const ReportView &, const std::vector<Session> &);
    void (*session)(std::ostream &, const ReportView &, const Session &);
    void (*diff)(std::ostream &, const ReportView &, const SessionDiff &);
};
extern const FormWriter kTextWriter, kJsonWriter, kHtmlWriter;

}  // namespace report
