// What one session of a log says about its devices: the three lists, the
// record dumps, the devices the trace reads, and its ERROR lines.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
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
    std::size_t first = 0, last = 0;  // indexes into the log's lines, inclusive
};

struct Device {
    std::string id;   // as first written in the session
    std::string key;  // DeviceKey(id)
    std::array<int, kListCount> lists{};
    Facts facts;
    std::optional<std::uint32_t> devinst;
    std::vector<std::size_t> dumpLines;  // line numbers of its record dumps
    std::vector<std::string> findings;
    const MachineDevice *machine = nullptr;
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
    std::vector<Device> devices;
    std::vector<ErrorGroup> errors;
    std::vector<std::string> notes;
    // DEVINST of every line that carries one, by line index, for naming them.
    std::vector<std::pair<std::size_t, std::uint32_t>> devinstLines;

    bool ListsComplete() const;
    const Device *FindByDevinst(std::uint32_t devinst) const;
};

Session ReadSession(const LogFile &log, std::size_t number, const Machine *machine);

}  // namespace report
