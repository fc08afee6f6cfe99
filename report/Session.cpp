#include "report/Session.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

namespace report {

const std::array<const char *, kListCount> kListHeadings = {"All devices", "Hooked devices legacy",
                                                            "Hooked devices"};
const std::array<const char *, kListCount> kListKeys = {"all", "legacy", "hooked"};

namespace {

inline bool StartsWith(std::string_view text, std::string_view prefix) { return text.starts_with(prefix); }

std::string_view RTrim(std::string_view text) {
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

template <typename T>
std::optional<T> Number(std::string_view text) {
    T value{};
    const char *end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || text.empty()) return std::nullopt;
    return value;
}

// Labels whose value is a device node handle. Those marked bind the node to
// the identifier that the next GetDeviceId reading returns for it.
struct DevinstLabel {
    std::string_view label;
    bool bindsNextId;
};
constexpr DevinstLabel kDevinstLabels[] = {
    {"ENTER IsDevnodeStatusValid ", true},
    {"ENTER GetHandleToDevice ", true},
    {"INFO UseDriveInfo HANDLE DevInst ", true},
    {"ENTER GetUSBDeviceHubPath ", true},
    {"ENTER IsInterfaceSupportedByDevice ", true},
    {"INFO GetDevInstFromDiskNumber DevInst ", false},
    {"INFO GetDiskDevInstFromDiskNumber DevInst ", false},
    {"INFO GetDevInstFromHandle DevInst ", false},
};

// Labels followed by a device instance identifier read earlier in the run.
constexpr std::string_view kIdMentionLabels[] = {
    "INFO GetDeviceId lpDevID ",
    "INFO GetUsbInstanceIdFromDriverKeyName ",
    "INFO GetUSBDevicePath lpszInstancePath ",
    "INFO UseUSBDeviceInfo lpszInstancePath ",
    "INFO GetUSBDeviceInfo pInstanceId ",
};

constexpr std::string_view kGetDeviceId = "INFO GetDeviceId ";
const std::string kDashLine(79, '-');

// Keys owned by a map, looked up by a view without building a string.
struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};
template <typename T>
using TextMap = std::unordered_map<std::string, T, TextHash, std::equal_to<>>;

template <typename T>
std::pair<typename TextMap<T>::iterator, bool> Emplace(TextMap<T> &map, std::string_view key, T value) {
    if (const auto it = map.find(key); it != map.end()) return {it, false};
    return map.emplace(std::string(key), value);
}

// The functions whose trace lines the parser reads beyond counting them; a
// line of any other function (most of a large log) only extends the step it
// is in. Each label above and below names one of these.
constexpr std::string_view kReadFunctions[] = {
    "GetAllDeviceIDs",         "GetHookedDeviceIDs",       "GetSystemDeviceInfo",
    "GetUSBDeviceHubPath",     "IsDevnodeStatusValid",     "GetDeviceId",
    "GetHandleToDevice",       "UseDriveInfo",             "IsInterfaceSupportedByDevice",
    "GetDevInstFromDiskNumber", "GetDiskDevInstFromDiskNumber", "GetDevInstFromHandle",
    "GetUsbInstanceIdFromDriverKeyName", "GetUSBDevicePath", "UseUSBDeviceInfo",
    "GetUSBDeviceInfo",        "IsSystemOrFixedDisk",      "IsSystemDisk",
};

// The read functions by the length of their name, so that a line is told
// apart with a comparison or two rather than one per label.
class ReadFunctionTable {
public:
    constexpr ReadFunctionTable() {
        for (std::size_t k = 0; k < std::size(kReadFunctions); ++k)
            m_byLength[kReadFunctions[k].size()] |= std::uint64_t{1} << k;
    }
    // The position of name in kReadFunctions, or -1.
    int Find(std::string_view name) const {
        if (name.size() >= kLengths) return -1;
        for (std::uint64_t set = m_byLength[name.size()]; set != 0; set &= set - 1)
            if (kReadFunctions[std::countr_zero(set)] == name) return std::countr_zero(set);
        return -1;
    }

private:
    static constexpr std::size_t kLengths = 40;
    std::uint64_t m_byLength[kLengths] = {};
};

// Whether the line (without trailing blanks) is one the trace parser reads:
// "LEVEL Function ..." of a read function, or "LEAVE ProcessDevice...".
// Eight bytes at a time: the words of a line are long enough that a loop
// over bytes, or a call to memchr per word, costs more than the rest of it.
constexpr std::uint64_t kOnes = 0x0101010101010101u, kHigh = 0x8080808080808080u;

std::uint64_t Word(const char *at) {
    std::uint64_t word = 0;
    std::memcpy(&word, at, 8);
    return word;
}

// Where the first blank at or after from is, or text.size().
std::size_t Blank(std::string_view text, std::size_t from) {
    for (; from + 8 <= text.size(); from += 8) {
        const std::uint64_t x = Word(text.data() + from) ^ (' ' * kOnes);
        const std::uint64_t zero = (x - kOnes) & ~x & kHigh;  // its lowest bit marks the first blank
        if (zero != 0) return from + static_cast<std::size_t>(std::countr_zero(zero)) / 8;
    }
    while (from < text.size() && text[from] != ' ') ++from;
    return from;
}

// text with a to z made upper case, in place; other bytes are kept.
void UpperAscii(std::string &text) {
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        const std::uint64_t x = Word(text.data() + i), low7 = x & ~kHigh;
        const std::uint64_t lower = (low7 + (0x80 - 'a') * kOnes) & ~(low7 + (0x80 - 'z' - 1) * kOnes) & ~x & kHigh;
        const std::uint64_t upper = x ^ (lower >> 2);  // 0x80 >> 2 is the case bit
        std::memcpy(text.data() + i, &upper, 8);
    }
    for (; i < text.size(); ++i)
        if (text[i] >= 'a' && text[i] <= 'z') text[i] = static_cast<char>(text[i] - 'a' + 'A');
}

constexpr int kNotRead = -1, kGetDeviceIdFunction = 5, kProcessDeviceFunction = 100;
static_assert(kReadFunctions[kGetDeviceIdFunction] == "GetDeviceId");

// Which read function the line is of: its position in kReadFunctions,
// kProcessDeviceFunction, or kNotRead.
int ReadFunction(std::string_view line) {
    static constexpr ReadFunctionTable table;
    // Every label the parser reads begins with one of the four level words.
    std::size_t name = 0;
    if (line.starts_with("INFO "))
        name = 5;
    else if (line.starts_with("ENTER ") || line.starts_with("LEAVE ") || line.starts_with("ERROR "))
        name = 6;
    else
        return kNotRead;
    if (line.substr(name).starts_with("ProcessDevice")) return kProcessDeviceFunction;
    return table.Find(line.substr(name, Blank(line, name) - name));
}

struct Dump {
    std::size_t index = 0;
    bool handleForm = false;
    std::size_t fields = 0;
    Facts facts;
    std::string uniqueId;
    bool attributed = false;
};

enum class EpisodeKind { SystemLookup, AllPass, Legacy, HookedRead };

// One device's stretch of a pass: from the step that takes it up to the next.
struct Episode {
    EpisodeKind kind = EpisodeKind::AllPass;
    LineRange range;
    std::optional<std::uint32_t> devinst;
    std::string firstId;  // the first identifier a GetDeviceId line read
    std::string path;     // the interface path the legacy pass was handed
    std::vector<std::size_t> dumps;
    bool statusRead = false;
    bool lastDumpBoot = false;
    std::string leftOutReason;
    std::optional<std::size_t> decision, firstError, systemDisk;
    std::optional<bool> result;
};

// An interface path holds its device's identifier with '#' for '\'.
std::string PathKey(std::string_view text) {
    std::string key = DeviceKey(text);
    std::replace(key.begin(), key.end(), '#', '\\');
    return key;
}

std::string IdFromPath(std::string_view path) {
    for (std::string_view prefix : {"\\\\?\\", "\\??\\"})
        if (StartsWith(path, prefix)) path.remove_prefix(prefix.size());
    const std::size_t guid = path.rfind("#{");
    if (guid != std::string_view::npos) path = path.substr(0, guid);
    return PathKey(path);
}

}  // namespace

// Named in Session.h: LastSessionReader holds one.
class SessionParser {
public:
    SessionParser(Session &session, const Machine *machine) : m_session(session), m_machine(machine) {}

    void Run(const LogFile &log) {
        const SessionSpan &span = m_session.span;
        LineReader reader(log, span.bodyOffset, span.header + 1);
        LogLine line;
        while (reader.Next(line) && line.index < span.end) Read(line);
        Finish();
    }

    // One line after the session's header.
    void Read(const LogLine &line) {
        if (!line.readable) {
            CloseDump();
            return;
        }
        if (line.index == m_session.span.header + 1 && line.text == kDashLine) return;
        m_line = line.text;
        OnLine(line.index, line.text);
    }

    void Finish() {
        CloseEpisode();
        if (m_machine) CheckMachine();
        AttributeEpisodes();
        Gather();
    }

private:
    enum class Pass { Start, All, Legacy, Hooked, Lists };

    void OnLine(std::size_t i, std::string_view text) {
        if (m_dump && StartsWith(text, "\t")) {
            DumpField(i, text);
            Extend(i);
            return;
        }
        CloseDump();
        if (ListHeading(i, text)) return;
        if (m_pass == Pass::Lists) {
            ListLine(i, text);
            return;
        }
        TraceLine(i, text);
    }

    bool ListHeading(std::size_t i, std::string_view text) {
        const std::string_view heading = RTrim(text);
        if (heading.empty() || heading.back() != ':') return false;  // most lines: no heading
        for (int list = 0; list < kListCount; ++list) {
            if (heading.size() != std::char_traits<char>::length(kListHeadings[list]) + 1 ||
                !StartsWith(heading, kListHeadings[list]) || heading.back() != ':')
                continue;
            CloseEpisode();
            m_pass = Pass::Lists;
            m_section = list;
            if (m_session.listSizes[list])
                Note(i, std::string("a second \"") + kListHeadings[list] + ": \" heading; its lines are added");
            else
                m_session.listSizes[list] = 0;
            return true;
        }
        return false;
    }

    void ListLine(std::size_t i, std::string_view text) {
        if (text.empty()) return;
        if (m_section < 0 || text[0] != '\t' || text.size() == 1) {
            if (m_strayListLines++ == 0) m_firstStrayListLine = i;
            return;
        }
        Device &device = Name(text.substr(1), i);
        if (device.lists[m_section]++ == 0) device.listLines[m_section] = i + 1;
        ++*m_session.listSizes[m_section];
    }

    void TraceLine(std::size_t i, std::string_view text) {
        const std::string_view line = RTrim(text);
        if (StartsWith(line, "ERROR ")) {
            CountError(i, line);
            if (m_episode && !m_episode->firstError) {
                m_episode->firstError = i;
                Quote(i);
            }
        }
        PassLine(i, line);
        const int function = ReadFunction(line);
        if (function == kNotRead) {
            Extend(i);
            return;
        }
        if (function == kGetDeviceIdFunction) {
            DeviceIdLine(i, line);
            return;
        }
        if (StartsWith(line, "ENTER GetUSBDeviceHubPath ")) m_hubWalk = std::string();
        if (line == "LEAVE GetUSBDeviceHubPath") m_hubWalk.reset();
        if (line == "ENTER GetAllDeviceIDs") {
            m_pass = Pass::All;
            m_session.allPass = LineRange{i, i};
        } else if (line == "LEAVE GetAllDeviceIDs") {
            CloseEpisode();
            m_pass = Pass::Legacy;
            return;
        } else if (line == "ENTER GetHookedDeviceIDs") {
            CloseEpisode();
            m_pass = Pass::Hooked;
            m_session.hookedPass = LineRange{i, i};
            return;
        } else if (line == "ENTER GetSystemDeviceInfo") {
            Open(EpisodeKind::SystemLookup, i);
        } else if (m_pass == Pass::All && StartsWith(line, "ENTER IsDevnodeStatusValid ")) {
            Open(EpisodeKind::AllPass, i);
        } else if (m_pass == Pass::Legacy && StartsWith(line, "ENTER ProcessDevice ") && line.size() > 20) {
            Open(EpisodeKind::Legacy, i);
            m_episode->path = std::string(line.substr(20));
        } else if (m_pass == Pass::Hooked && line == "ENTER GetDeviceId") {
            Open(EpisodeKind::HookedRead, i);
        }
        Extend(i);
        if (line == "INFO UseDriveInfo DUMP" || line == "INFO UseDriveInfo HANDLE DUMP") {
            m_dump = Dump{};
            m_dump->index = i;
            m_dump->handleForm = line.size() > 22;
        }
        DevinstValue(i, line);
        IdValue(i, line);
        Decision(i, line);
        const bool closes = line == "LEAVE GetSystemDeviceInfo" ||
                            (m_episode && m_episode->kind == EpisodeKind::Legacy && StartsWith(line, "LEAVE ProcessDevice")) ||
                            (m_episode && m_episode->kind == EpisodeKind::HookedRead && line == "LEAVE GetDeviceId");
        if (closes && m_episode && m_episode->kind == EpisodeKind::Legacy) m_episode->result = line.back() == '1';
        if (closes) CloseEpisode();
    }

    // A GetDeviceId line, the commonest the parser reads: what the general
    // path above does for one, without trying the labels of other functions.
    void DeviceIdLine(std::size_t i, std::string_view line) {
        const bool enter = line == "ENTER GetDeviceId", leave = line == "LEAVE GetDeviceId";
        if (enter && m_pass == Pass::Hooked) Open(EpisodeKind::HookedRead, i);
        Extend(i);
        if (leave) m_pendingDevinst.reset();
        if (!enter && !leave) IdValue(i, line);
        if (leave && m_episode && m_episode->kind == EpisodeKind::HookedRead) CloseEpisode();
    }

    // The spans of the all-devices and hooked passes, and what the hooked pass
    // says of itself.
    void PassLine(std::size_t i, std::string_view line) {
        if (m_pass == Pass::All && m_session.allPass) m_session.allPass->last = i;
        if (m_pass != Pass::Hooked || !m_session.hookedPass) return;
        m_session.hookedPass->last = i;
        if (StartsWith(line, "ERROR GetHookedDeviceIDs ")) {
            m_session.hookedFailure = i;
            Quote(i);
        }
        if (StartsWith(line, "INFO GetHookedDeviceIDs ")) {
            if (m_session.hookedUnread.empty()) Quote(i);
            m_session.hookedUnread.push_back(i);
        }
    }

    void DevinstValue(std::size_t i, std::string_view line) {
        for (const DevinstLabel &entry : kDevinstLabels) {
            if (!StartsWith(line, entry.label)) continue;
            const auto devinst = Number<std::uint32_t>(line.substr(entry.label.size()));
            if (!devinst) return;
            m_session.devinstLines.emplace_back(i, *devinst);
            if (entry.bindsNextId) m_pendingDevinst = devinst;
            if (m_episode && m_episode->kind == EpisodeKind::AllPass && !m_episode->devinst)
                m_episode->devinst = devinst;
            return;
        }
        if (line == "LEAVE GetDeviceId") m_pendingDevinst.reset();
    }

    void IdValue(std::size_t i, std::string_view line) {
        for (std::string_view label : kIdMentionLabels) {
            if (StartsWith(line, label) && line.size() > label.size()) {
                m_idMentions.emplace_back(i, Key(line.substr(label.size())));
                return;
            }
        }
        if (!StartsWith(line, kGetDeviceId)) return;
        const std::string_view id = line.substr(kGetDeviceId.size());
        if (id.empty() || StartsWith(id, "\\")) return;  // an interface path, not an identifier
        Device &device = Name(id, i);
        m_deviceMentions.emplace_back(i, static_cast<std::size_t>(&device - m_session.devices.data()));
        // The hub walk reads a device, then each parent up to its hub.
        if (m_hubWalk && !m_hubWalk->empty() && *m_hubWalk != device.key)
            m_session.usbParents.emplace_back(*m_hubWalk, device.key);
        if (m_hubWalk) m_hubWalk = device.key;
        if (m_pendingDevinst) {
            m_devinstIds.emplace(*m_pendingDevinst, device.key);
            m_pendingDevinst.reset();
        }
        if (m_episode && m_episode->firstId.empty()) m_episode->firstId = device.key;
    }

    // The all-devices pass's reasons for leaving a device out.
    void Decision(std::size_t i, std::string_view line) {
        if (m_episode && m_episode->kind == EpisodeKind::Legacy && IsSystemDiskMatch(line)) {
            m_episode->systemDisk = i;
            Quote(i);
        }
        if (!m_episode || m_episode->kind != EpisodeKind::AllPass) return;
        Episode &episode = *m_episode;
        const std::string before = episode.leftOutReason;
        if (line == "INFO IsDevnodeStatusValid not DN_STARTED")
            episode.leftOutReason = "device not started";
        else if (line == "INFO IsDevnodeStatusValid DN_HAS_PROBLEM")
            episode.leftOutReason = "device has a problem";
        else if (line == "INFO IsDevnodeStatusValid not DN_DRIVER_LOADED")
            episode.leftOutReason = "driver not loaded";
        else if (line == "LEAVE IsDevnodeStatusValid")
            episode.statusRead = true;
        else if (line == "INFO IsSystemOrFixedDisk not removable")
            episode.leftOutReason = episode.lastDumpBoot ? "boot drive" : "fixed or system disk";
        else if (line == "INFO IsSystemOrFixedDisk system disk")
            episode.leftOutReason = "fixed or system disk";
        if (episode.leftOutReason != before) {
            episode.decision = i;
            Quote(i);
        }
    }

    // "INFO IsSystemDisk Type: a b, ID: c d" with a = b and c = d.
    static bool IsSystemDiskMatch(std::string_view line) {
        constexpr std::string_view label = "INFO IsSystemDisk Type: ";
        if (!StartsWith(line, label)) return false;
        line.remove_prefix(label.size());
        const std::size_t comma = line.find(", ID: ");
        if (comma == std::string_view::npos) return false;
        auto same = [](std::string_view pair) {
            const std::size_t blank = pair.find(' ');
            return blank != std::string_view::npos && pair.substr(0, blank) == pair.substr(blank + 1);
        };
        return same(line.substr(0, comma)) && same(line.substr(comma + 6));
    }

    void CountError(std::size_t i, std::string_view line) {
        std::string_view text = line, number;
        const std::size_t blank = line.rfind(' ');
        const std::string_view last = line.substr(blank + 1);
        const std::string_view digits = StartsWith(last, "-") ? last.substr(1) : last;
        if (blank > 6 && !digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            text = RTrim(line.substr(0, blank));
            number = last;
        }
        // By hash: a log may hold many kinds, and a kind many numbers.
        const auto [kind, added] = Emplace(m_errorKinds, text, m_session.errors.size());
        if (added) {
            m_session.errors.push_back(ErrorGroup{std::string(text), 0, i + 1, {}});
            m_errorNumbers.emplace_back();
        }
        ErrorGroup &group = m_session.errors[kind->second];
        ++group.count;
        if (number.empty()) return;
        const auto [seen, first] = Emplace(m_errorNumbers[kind->second], number, group.numbers.size());
        if (first)
            group.numbers.emplace_back(number, 1);
        else
            ++group.numbers[seen->second].second;
    }

    void DumpField(std::size_t i, std::string_view text) {
        Dump &dump = *m_dump;
        ++dump.fields;
        std::string_view field = std::string_view(text).substr(1);
        if (StartsWith(field, " ")) field.remove_prefix(1);
        const std::size_t blank = field.find(' ');
        const std::string_view name = field.substr(0, blank);
        const std::string_view value = blank == std::string_view::npos ? std::string_view() : field.substr(blank + 1);
        Facts &facts = dump.facts;
        bool readable = true;
        auto number = [&](auto &target, auto unset) {
            using T = typename std::remove_reference_t<decltype(target)>::value_type;
            const auto parsed = Number<T>(value);
            readable = parsed.has_value();
            if (parsed && *parsed != static_cast<T>(unset)) target = parsed;
        };
        if (name == "Type") number(facts.type, -1);
        else if (name == "MediaSize") number(facts.mediaSize, -1);
        else if (name == "DeviceID") number(facts.deviceNumber, 0xFFFFFFFFu);
        else if (name == "IsRemovable") number(facts.removable, -1);
        else if (name == "Manufacturer") facts.manufacturer = value;
        else if (name == "Model") facts.model = value;
        else if (name == "Serial") facts.serial = value;
        else if (name == "UniqueDeviceID") dump.uniqueId = value;
        else if (name == "m_bootDrive") {
            std::optional<int> boot;
            number(boot, -1);
            if (boot) facts.bootDrive = *boot != 0;
        }
        if (!readable) Note(i, "value not readable in a record dump");
    }

    void CloseDump() {
        if (!m_dump) return;
        Dump dump = std::move(*m_dump);
        m_dump.reset();
        const std::size_t expected = dump.handleForm ? 12 : 11;
        if (dump.fields < expected)
            Note(dump.index, "record dump cut short (" + std::to_string(dump.fields) + " of " +
                                 std::to_string(expected) + " lines)");
        if (!dump.uniqueId.empty()) Name(dump.uniqueId, dump.index);
        if (m_episode) {
            m_episode->dumps.push_back(m_dumps.size());
            m_episode->lastDumpBoot = dump.facts.bootDrive.value_or(false);
        }
        m_dumps.push_back(std::move(dump));
    }

    void Open(EpisodeKind kind, std::size_t i) {
        CloseEpisode();
        m_episode = Episode{};
        m_episode->kind = kind;
        m_episode->range = {i, i};
        m_pendingDevinst.reset();
    }

    void Extend(std::size_t i) {
        if (m_episode) m_episode->range.last = i;
    }

    void CloseEpisode() {
        CloseDump();
        if (!m_episode) return;
        if (m_episode->kind == EpisodeKind::AllPass && !m_episode->statusRead && m_episode->leftOutReason.empty())
            m_episode->leftOutReason = "device status not readable";
        else if (m_episode->kind == EpisodeKind::AllPass && m_episode->leftOutReason.empty() &&
                 m_episode->firstId.empty())
            m_episode->leftOutReason = "left out by its class filter";
        m_episodes.push_back(std::move(*m_episode));
        m_episode.reset();
    }

    // The key of id in a buffer kept for it: looking a device up allocates nothing.
    const std::string &Key(std::string_view id) {
        m_key.assign(id);
        UpperAscii(m_key);
        return m_key;
    }

    Device &Name(std::string_view id, std::size_t index) {
        const std::string &key = Key(id);
        if (const auto it = m_byKey.find(key); it != m_byKey.end()) return m_session.devices[it->second];
        m_byKey.emplace(key, m_session.devices.size());
        Device &device = m_session.devices.emplace_back();
        device.id = id;
        device.key = key;
        device.firstSeen = index;
        return device;
    }

    Device *Find(const std::string &key) {
        const auto it = m_byKey.find(key);
        return it == m_byKey.end() ? nullptr : &m_session.devices[it->second];
    }

    // The device an episode worked on, by the best evidence it holds.
    Device *Subject(const Episode &episode) {
        for (std::size_t d : episode.dumps)
            if (!m_dumps[d].uniqueId.empty() && episode.kind != EpisodeKind::AllPass)
                return Find(DeviceKey(m_dumps[d].uniqueId));
        if (!episode.firstId.empty()) return Find(episode.firstId);
        if (episode.devinst) {
            if (const auto it = m_devinstIds.find(*episode.devinst); it != m_devinstIds.end()) return Find(it->second);
            if (const MachineDevice *known = m_machine ? m_machine->Find(*episode.devinst) : nullptr)
                return &Name(known->id, episode.range.first);
        }
        if (!episode.path.empty()) {
            const std::string key = IdFromPath(episode.path);
            for (Device &device : m_session.devices)
                if (PathKey(device.key) == key) return &device;
        }
        return nullptr;
    }

    // A node the all-devices pass left out before reading its identifier,
    // and that nothing else in the log names: a row of its own.
    Device *Unnamed(const Episode &episode) {
        if (episode.kind != EpisodeKind::AllPass || !episode.devinst) return nullptr;
        Device &device = Name("device node " + std::to_string(*episode.devinst), episode.range.first);
        if (!device.unnamed) ++m_session.unnamedNodes;
        device.unnamed = true;
        return &device;
    }

    void Record(Device &device, const Episode &episode) {
        if (episode.kind == EpisodeKind::AllPass) {
            device.allStep = AllPassStep{episode.range, episode.leftOutReason, episode.decision};
            if (!device.devinst) device.devinst = episode.devinst;
        } else if (episode.kind == EpisodeKind::Legacy) {
            LegacyStep step{episode.range, episode.result, episode.firstError, episode.systemDisk, {}, {}};
            if (!episode.dumps.empty()) {
                step.dump = m_dumps[episode.dumps.back()].index;
                step.type = m_dumps[episode.dumps.back()].facts.type;
            }
            device.legacySteps.push_back(step);
        } else if (episode.kind == EpisodeKind::HookedRead) {
            device.hookedReads.push_back(episode.range.first);
        }
    }

    void AttributeEpisodes() {
        for (const Episode &episode : m_episodes) {
            Device *device = Subject(episode);
            if (!device) device = Unnamed(episode);
            if (!device) continue;
            device->trace.push_back(episode.range);
            Record(*device, episode);
            for (std::size_t d : episode.dumps)
                if (m_dumps[d].uniqueId.empty()) {
                    m_dumps[d].uniqueId = device->id;
                    m_dumps[d].attributed = true;
                }
        }
    }

    static void Merge(Facts &into, const Facts &from) {
        if (from.type && (!into.type || *from.type != 1)) into.type = from.type;
        for (auto field : {&Facts::manufacturer, &Facts::model, &Facts::serial})
            if (!(from.*field).empty()) into.*field = from.*field;
        if (from.mediaSize) into.mediaSize = from.mediaSize;
        if (from.deviceNumber) into.deviceNumber = from.deviceNumber;
        if (from.removable) into.removable = from.removable;
        if (from.bootDrive) into.bootDrive = into.bootDrive.value_or(false) || *from.bootDrive;
    }

    // Facts, DEVINSTs and mentions onto the devices, once every device is named.
    void Gather() {
        for (const Dump &dump : m_dumps) {
            Device *device = dump.uniqueId.empty() ? nullptr : Find(DeviceKey(dump.uniqueId));
            if (!device) {
                Note(dump.index, "record dump names no device");
                continue;
            }
            Merge(device->facts, dump.facts);
            device->dumpLines.push_back(dump.index + 1);
        }
        for (const auto &[devinst, key] : m_devinstIds)
            if (Device *device = Find(key); device && !device->devinst) device->devinst = devinst;
        for (Device &device : m_session.devices) {
            if (m_machine) {
                device.machine = m_machine->Find(device.key);
                if (device.machine && !device.devinst) device.devinst = m_machine->devinstByKey.at(device.key);
            }
        }
        for (const auto &[index, d] : m_deviceMentions) Mention(m_session.devices[d], index);
        for (const auto &[index, key] : m_idMentions)
            if (Device *device = Find(key)) Mention(*device, index);
        std::unordered_multimap<std::uint32_t, std::size_t> byDevinst;
        for (std::size_t d = 0; d < m_session.devices.size(); ++d)
            if (m_session.devices[d].devinst) byDevinst.emplace(*m_session.devices[d].devinst, d);
        for (const auto &[index, devinst] : m_session.devinstLines) {
            const auto [from, to] = byDevinst.equal_range(devinst);
            for (auto it = from; it != to; ++it) Mention(m_session.devices[it->second], index);
        }
        WriteSessionNotes();
        SortByFirstSeen(m_session.devices);
        m_session.IndexDevinsts();
    }

    // In the order the log first names them. A device row is large: the
    // order is found on positions, then each row moves once.
    static void SortByFirstSeen(std::vector<Device> &devices) {
        // Mostly named in log order already: then nothing moves.
        if (std::is_sorted(devices.begin(), devices.end(),
                           [](const Device &a, const Device &b) { return a.firstSeen < b.firstSeen; }))
            return;
        std::vector<std::size_t> order(devices.size());
        for (std::size_t d = 0; d < order.size(); ++d) order[d] = d;
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return devices[a].firstSeen < devices[b].firstSeen; });
        std::vector<Device> sorted;
        sorted.reserve(devices.size());
        for (std::size_t d : order) sorted.push_back(std::move(devices[d]));
        devices = std::move(sorted);
    }

    // How far the machine file agrees with what the log itself names.
    void CheckMachine() {
        auto &check = m_session.machineCheck;
        for (const Device &device : m_session.devices) {
            ++check.ids;
            if (!m_machine->Find(device.key)) ++check.idsMissing;
        }
        for (const auto &[devinst, key] : m_devinstIds) {
            ++check.devinsts;
            const auto it = m_machine->devinstByKey.find(key);
            if (it == m_machine->devinstByKey.end() || it->second != devinst) ++check.devinstsOther;
        }
    }

    static void Mention(Device &device, std::size_t index) {
        for (const LineRange &range : device.trace)
            if (index >= range.first && index <= range.last) return;
        if (device.mentions.empty() || device.mentions.back() != index) device.mentions.push_back(index);
    }

    void WriteSessionNotes() {
        if (m_strayListLines > 0)
            Note(m_firstStrayListLine, std::to_string(m_strayListLines) + " line(s) among the lists are not list lines");
        std::string missing;
        for (int list = 0; list < kListCount; ++list)
            if (!m_session.listSizes[list]) missing += std::string(missing.empty() ? "" : ", ") + "\"" + kListHeadings[list] + "\"";
        if (!missing.empty()) {
            const std::size_t last = m_session.span.end;  // the number of its last line
            m_session.notes.push_back("the session ends at line " + std::to_string(last) + " without the list(s) " +
                                      missing + ": cut off; list membership and findings unknown");
        }
    }

    void Note(std::size_t index, const std::string &what) {
        m_session.notes.push_back("line " + std::to_string(index + 1) + ": " + what);
    }

    // A line a finding may quote: its text outlives the block it was read in.
    void Quote(std::size_t index) { m_session.quoted.try_emplace(index, m_line); }

    Session &m_session;
    const Machine *m_machine;
    Pass m_pass = Pass::Start;
    int m_section = -1;
    std::size_t m_strayListLines = 0, m_firstStrayListLine = 0;
    std::optional<Dump> m_dump;
    std::optional<Episode> m_episode;
    std::optional<std::uint32_t> m_pendingDevinst;
    std::optional<std::string> m_hubWalk;  // within a hub walk: the last device it read
    std::vector<Dump> m_dumps;
    std::vector<Episode> m_episodes;
    std::unordered_map<std::string, std::size_t> m_byKey;
    std::map<std::uint32_t, std::string> m_devinstIds;
    // Lines naming a device: by its place in devices (a GetDeviceId reading),
    // or by key, found once every device is named.
    std::vector<std::pair<std::size_t, std::size_t>> m_deviceMentions;
    std::vector<std::pair<std::size_t, std::string>> m_idMentions;
    std::string m_key;
    std::string_view m_line;  // the line being read, as written
    TextMap<std::size_t> m_errorKinds;
    std::vector<TextMap<std::size_t>> m_errorNumbers;
};


std::string TypeName(std::int64_t type) {
    static const std::map<std::int64_t, const char *> names = {
        {0, "fixed disk"},         {1, "unclassified"},         {256, "FireWire disk"},      {257, "removable disk"}, {258, "SD card"},
        {259, "optical drive"},    {512, "imaging"},            {513, "USB printer"},    {514, "Bluetooth"},
        {515, "smart card reader"}, {516, "other USB device"},  {517, "modem"},          {518, "port"},
        {519, "portable device"},  {520, "media device"},       {521, "floppy drive"},
    };
    const auto it = names.find(type);
    return it == names.end() ? std::to_string(type) : it->second;
}

bool Session::ListsComplete() const {
    return std::all_of(listSizes.begin(), listSizes.end(), [](const auto &size) { return size.has_value(); });
}

void Session::IndexDevinsts() {
    byDevinst.clear();
    for (std::size_t d = 0; d < devices.size(); ++d)
        if (devices[d].devinst) byDevinst.emplace(*devices[d].devinst, d);  // the first device keeps it
}

const std::string &Session::Quoted(std::size_t index) const {
    static const std::string none;
    const auto it = quoted.find(index);
    return it == quoted.end() ? none : it->second;
}

const Device *Session::FindByDevinst(std::uint32_t devinst) const {
    const auto it = byDevinst.find(devinst);
    return it == byDevinst.end() ? nullptr : &devices[it->second];
}

namespace {

void Head(Session &session, std::size_t number, const SessionSpan &span) {
    session.number = number;
    session.span = span;
    session.firstLine = span.first + 1;
    session.lineCount = span.end - span.first;
}

}  // namespace

Session ReadSession(const LogFile &log, std::size_t number, const Machine *machine) {
    Session session;
    Head(session, number, log.sessions.at(number - 1));
    SessionParser(session, machine).Run(log);
    ExplainDevices(session);
    return session;
}

LastSessionReader::LastSessionReader(const Machine *machine) : m_machine(machine) {}
LastSessionReader::~LastSessionReader() = default;

void LastSessionReader::Begin(const SessionSpan &span) {
    m_parser.reset();
    m_session = std::make_unique<Session>();
    m_session->span = span;
    m_parser = std::make_unique<SessionParser>(*m_session, m_machine);
}

void LastSessionReader::Line(const LogLine &line) {
    if (m_parser) m_parser->Read(line);
}

Session LastSessionReader::Take(const LogFile &log) {
    if (!m_parser || log.sessions.empty()) throw std::logic_error("no session was read");
    Head(*m_session, log.sessions.size(), log.sessions.back());
    m_parser->Finish();
    m_parser.reset();
    ExplainDevices(*m_session);
    Session session = std::move(*m_session);
    m_session.reset();
    return session;
}

}  // namespace report
