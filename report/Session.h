// What one session of a log says about its devices: the three lists, the
// record dumps, the devices the trace reads, and its ERROR lines.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "report/Log.h"
#include "report/Machine.h"

namespace report {

enum ListIndex { kAllList, kLegacyList, kHookedList, kListCount };
extern const std::array<const char *, kListCount> kListHeadings;  // "All devices" ...
extern const std::array<const char *, kListCount> kListKeys;      // "all", "legacy", "hooked"

// The facts the record dumps give; unset where no dump gives a value.
struct Facts {
    std::optional<std::int64_t> type;
    std::string manufacturer, model, serial;
    std::optional<std::int64_t> mediaSize;
    std::optional<std::uint32_t> deviceNumber;
    std::optional<int> removable;  // as dumped: 0 no, 1 yes, 2 not determined
    std::optional<bool> bootDrive;
    bool operator==(const Facts &) const = default;
};

// The type's name ("fixed disk", ...), or its number where no name fits.
std::string TypeName(std::int64_t type);

struct LineRange {
    std::size_t first = 0, last = 0;  // line indexes (line number - 1), inclusive
};

// What the passes' steps on one device show, as line indexes.
struct AllPassStep {
    LineRange range;
    std::string leftOut;                  // a reason of the closed set, or empty: kept
    std::optional<std::size_t> decision;  // the line that decided it
};
struct LegacyStep {
    LineRange range;
    std::optional<bool> result;  // "LEAVE ProcessDevice 0/1"
    std::optional<std::size_t> firstError, systemDisk, dump;
    std::optional<std::int64_t> type;  // of its last record dump
};

// Why a device stands where it does: a finding (or, for a device without
// one, where it stands), the reason from a closed set (docs/report.md), a
// plain sentence of what the log shows, and the line numbers that show it.
struct Finding {
    struct Span {
        std::size_t first = 0, last = 0;  // line numbers, inclusive
    };
    std::string text;    // "hooked, not of interest", ...
    std::string reason;  // "left out by its class filter", ...; empty: none
    std::string because;
    std::vector<Span> lines;
    std::string Full() const { return reason.empty() ? text : text + ": " + reason; }
};

struct Device {
    std::string id;   // as first written in the session; for an unnamed node "device node N"
    std::string key;  // DeviceKey(id)
    bool unnamed = false;  // the log names it by its DEVINST only
    std::array<int, kListCount> lists{};
    Facts facts;
    std::optional<std::uint32_t> devinst;
    std::vector<std::size_t> dumpLines;  // line numbers of its record dumps
    std::vector<Finding> findings;
    Finding standing;  // where it stands, for every row
    std::array<std::size_t, kListCount> listLines{};  // line number of its first entry per list
    const MachineDevice *machine = nullptr;
    std::optional<AllPassStep> allStep;
    std::vector<LegacyStep> legacySteps;
    std::vector<std::size_t> hookedReads;  // the hooked pass's readings of it
    std::vector<LineRange> trace;         // the passes' work on this device
    std::vector<std::size_t> mentions;    // other lines naming it (indexes)
    std::size_t firstSeen = 0;
};

struct ErrorGroup {
    std::string text;  // the line without its error number
    std::size_t count = 0;
    std::size_t firstLine = 0;
    std::vector<std::pair<std::string, std::size_t>> numbers;  // number, times seen
};

struct Session {
    std::size_t number = 0;  // 1-based
    SessionSpan span;
    std::size_t firstLine = 0, lineCount = 0;
    std::array<std::optional<std::size_t>, kListCount> listSizes;  // unset: section missing
    std::deque<Device> devices;  // rows stay where they are as more are named
    std::vector<ErrorGroup> errors;
    std::vector<std::string> notes;
    // DEVINST of every line that carries one, by line index, for naming them.
    std::vector<std::pair<std::size_t, std::uint32_t>> devinstLines;
    std::optional<LineRange> allPass, hookedPass;  // the passes' spans
    std::optional<std::size_t> hookedFailure;       // "ERROR GetHookedDeviceIDs ..."
    std::vector<std::size_t> hookedUnread;          // interfaces whose identifier it could not read
    // Child and parent, by DeviceKey, as the USB hub walks read them.
    std::vector<std::pair<std::string, std::string>> usbParents;
    std::size_t unnamedNodes = 0;  // device nodes the log names by DEVINST only
    // With a machine file: the log's identifiers and DEVINSTs it does not hold.
    struct MachineCheck {
        std::size_t ids = 0, idsMissing = 0, devinsts = 0, devinstsOther = 0;
    } machineCheck;

    std::unordered_map<std::uint32_t, std::size_t> byDevinst;  // index into devices, once they are in order
    // The lines a finding may quote, by line index, kept as the session is
    // read: the log itself is not kept.
    std::unordered_map<std::size_t, std::string> quoted;

    const std::string &Quoted(std::size_t index) const;

    bool ListsComplete() const;
    void IndexDevinsts();
    const Device *FindByDevinst(std::uint32_t devinst) const;
};

// Fills every device's findings and standing from the evidence above.
void ExplainDevices(Session &session);

Session ReadSession(const LogFile &log, std::size_t number, const Machine *machine);

class SessionParser;

// The last session of a log read as the log's first pass goes (OpenLog with
// it as the sink), so that the usual report reads the file once: each
// session is parsed as met, and dropped when another begins.
class LastSessionReader : public LineSink {
public:
    explicit LastSessionReader(const Machine *machine);
    ~LastSessionReader() override;
    void Begin(const SessionSpan &span) override;
    void Line(const LogLine &line) override;
    // After the first pass, which found at least one session: the last, as ReadSession gives it.
    Session Take(const LogFile &log);

private:
    const Machine *m_machine;
    std::unique_ptr<Session> m_session;
    std::unique_ptr<SessionParser> m_parser;
};

}  // namespace report
