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

// Words of a line are read eight bytes at a time: the words of a line are
// long enough that a loop over bytes, or a call to memchr or memcmp per word,
// costs more than the rest of it.
static_assert(std::endian::native == std::endian::little, "words are read least significant byte first");
constexpr std::uint64_t kOnes = 0x0101010101010101u, kHigh = 0x8080808080808080u;

std::uint64_t Word(const char *at) {
    std::uint64_t word = 0;
    std::memcpy(&word, at, 8);
    return word;
}

// Up to the first eight bytes of text as Word reads them, zero beyond its end.
constexpr std::uint64_t Packed(std::string_view text) {
    std::uint64_t word = 0;
    for (std::size_t k = 0; k < text.size() && k < 8; ++k)
        word |= std::uint64_t{static_cast<unsigned char>(text[k])} << (8 * k);
    return word;
}

constexpr std::uint64_t LowBytes(std::size_t count) { return count >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * count)) - 1; }

// A word with a to z made upper case; other bytes are kept.
std::uint64_t UpperWord(std::uint64_t x) {
    const std::uint64_t low7 = x & ~kHigh;
    const std::uint64_t lower = (low7 + (0x80 - 'a') * kOnes) & ~(low7 + (0x80 - 'z' - 1) * kOnes) & ~x & kHigh;
    return x ^ (lower >> 2);  // 0x80 >> 2 is the case bit
}

// text with a to z made upper case, in place.
void UpperAscii(std::string &text) {
    const auto upper = [&text](std::size_t at) {
        const std::uint64_t word = UpperWord(Word(text.data() + at));
        std::memcpy(text.data() + at, &word, 8);
    };
    if (text.size() < 8) {
        for (char &c : text)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        return;
    }
    for (std::size_t i = 0; i + 8 <= text.size(); i += 8) upper(i);
    upper(text.size() - 8);  // the last bytes again: upper case stays upper case
}

// Whether id, made upper case, is key.
bool SameKey(std::string_view key, std::string_view id) {
    if (key.size() != id.size()) return false;
    if (id.size() < 8) {
        for (std::size_t k = 0; k < id.size(); ++k) {
            const char c = id[k] >= 'a' && id[k] <= 'z' ? static_cast<char>(id[k] - 'a' + 'A') : id[k];
            if (c != key[k]) return false;
        }
        return true;
    }
    for (std::size_t i = 0; i + 8 <= id.size(); i += 8)
        if (UpperWord(Word(id.data() + i)) != Word(key.data() + i)) return false;
    return UpperWord(Word(id.data() + id.size() - 8)) == Word(key.data() + key.size() - 8);
}

// A hash of an identifier that is the same for every spelling of its key:
// each byte is hashed without its case bit. Eight bytes at a time.
std::uint64_t KeyHash(std::string_view id) {
    constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15u, kFold = ~(0x20 * kOnes);
    std::uint64_t hash = id.size() * kMultiplier, tail = 0;
    if (id.size() < 8) {
        for (std::size_t k = 0; k < id.size(); ++k) tail |= std::uint64_t{static_cast<unsigned char>(id[k])} << (8 * k);
    } else {
        for (std::size_t i = 0; i + 8 <= id.size(); i += 8)
            hash = std::rotl((hash ^ (Word(id.data() + i) & kFold)) * kMultiplier, 29);
        tail = Word(id.data() + id.size() - 8);
    }
    hash = (hash ^ (tail & kFold)) * kMultiplier;
    return hash ^ (hash >> 29);
}

// The devices' positions by key: open addressing, each slot holding a key's
// hash and position, so that a look-up hashes once, allocates nothing and
// compares a key only where the hashes agree.
class DeviceIndex {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    // The position of the first device with the hash that `is` accepts, or npos.
    template <typename Is>
    std::size_t Find(std::uint64_t hash, Is &&is) const {
        if (m_slots.empty()) return npos;
        const std::size_t mask = m_slots.size() - 1;
        for (std::size_t at = static_cast<std::size_t>(hash) & mask;; at = (at + 1) & mask) {
            const Slot &slot = m_slots[at];
            if (slot.position == 0) return npos;
            if (slot.hash == hash && is(slot.position - 1)) return slot.position - 1;
        }
    }

    void Insert(std::uint64_t hash, std::size_t position) {
        if ((m_count + 1) * 2 > m_slots.size()) Grow();
        Place({hash, position + 1});
        ++m_count;
    }

private:
    struct Slot {
        std::uint64_t hash = 0;
        std::size_t position = 0;  // position + 1; 0: empty
    };

    void Place(const Slot &slot) {
        const std::size_t mask = m_slots.size() - 1;
        std::size_t at = static_cast<std::size_t>(slot.hash) & mask;
        while (m_slots[at].position != 0) at = (at + 1) & mask;
        m_slots[at] = slot;
    }

    void Grow() {
        std::vector<Slot> old(std::max<std::size_t>(64, m_slots.size() * 2));
        old.swap(m_slots);
        for (const Slot &slot : old)
            if (slot.position != 0) Place(slot);
    }

    std::vector<Slot> m_slots;  // a power of two in size, at most half full
    std::size_t m_count = 0;
};

// The functions whose trace lines the parser reads beyond counting them; a
// line of any other function (most of a large log) only extends the step it
// is in. Each label below names one of these.
constexpr std::string_view kReadFunctions[] = {
    "GetAllDeviceIDs",         "GetHookedDeviceIDs",       "GetSystemDeviceInfo",
    "GetUSBDeviceHubPath",     "IsDevnodeStatusValid",     "GetDeviceId",
    "GetHandleToDevice",       "UseDriveInfo",             "IsInterfaceSupportedByDevice",
    "GetDevInstFromDiskNumber", "GetDiskDevInstFromDiskNumber", "GetDevInstFromHandle",
    "GetUsbInstanceIdFromDriverKeyName", "GetUSBDevicePath", "UseUSBDeviceInfo",
    "GetUSBDeviceInfo",        "IsSystemOrFixedDisk",      "IsSystemDisk",
};

constexpr int kNotRead = -1, kProcessDeviceFunction = 100;
constexpr std::size_t kNoDevice = static_cast<std::size_t>(-1);

constexpr int FunctionNamed(std::string_view name) {
    for (std::size_t k = 0; k < std::size(kReadFunctions); ++k)
        if (kReadFunctions[k] == name) return static_cast<int>(k);
    throw "not a read function";  // in a constant expression: does not compile
}

// The read function a label ("LEVEL Function ...") is of.
constexpr int FunctionOfLabel(std::string_view label) {
    const std::size_t name = label.find(' ') + 1;
    return FunctionNamed(label.substr(name, label.find(' ', name) - name));
}

constexpr int kGetAllDeviceIDs = FunctionNamed("GetAllDeviceIDs"), kGetHookedDeviceIDs = FunctionNamed("GetHookedDeviceIDs"),
              kGetSystemDeviceInfo = FunctionNamed("GetSystemDeviceInfo"),
              kGetUSBDeviceHubPath = FunctionNamed("GetUSBDeviceHubPath"),
              kIsDevnodeStatusValid = FunctionNamed("IsDevnodeStatusValid"), kGetDeviceId = FunctionNamed("GetDeviceId"),
              kUseDriveInfo = FunctionNamed("UseDriveInfo"), kIsSystemOrFixedDisk = FunctionNamed("IsSystemOrFixedDisk"),
              kIsSystemDisk = FunctionNamed("IsSystemDisk");

// Labels whose value is a device node handle. Those marked bind the node to
// the identifier that the next GetDeviceId reading returns for it.
struct DevinstLabel {
    std::string_view label;
    bool bindsNextId;
    int function = FunctionOfLabel(label);
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
struct IdLabel {
    std::string_view label;
    int function = FunctionOfLabel(label);
};
constexpr IdLabel kIdMentionLabels[] = {
    {"INFO GetDeviceId lpDevID "},
    {"INFO GetUsbInstanceIdFromDriverKeyName "},
    {"INFO GetUSBDevicePath lpszInstancePath "},
    {"INFO UseUSBDeviceInfo lpszInstancePath "},
    {"INFO GetUSBDeviceInfo pInstanceId "},
};

constexpr std::string_view kGetDeviceIdLabel = "INFO GetDeviceId ";
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

// A read function's name (or "ProcessDevice", which may begin a longer word),
// with its first and last eight bytes as words.
struct FunctionName {
    std::string_view text;
    std::uint64_t first = 0, last = 0;
    int function = kNotRead;
    bool prefix = false;  // the line's word may go on after it
};

// The names by a hash of their first eight bytes: a line's function word is
// told apart by a multiplication and a comparison or two, without finding
// where the word ends or comparing strings.
class ReadFunctionTable {
public:
    constexpr ReadFunctionTable() {
        for (std::size_t k = 0; k < std::size(kReadFunctions); ++k) Add(kReadFunctions[k], static_cast<int>(k), false);
        Add("ProcessDevice", kProcessDeviceFunction, true);
    }
    // The name that begins at `name` in line and ends there with a blank or
    // the line's end (a prefix may end anywhere); nullptr: none.
    const FunctionName *Find(std::string_view line, std::size_t name) const {
        if (line.size() < name + 8) return nullptr;
        const std::uint64_t first = Word(line.data() + name);
        for (const FunctionName *entry = m_buckets[Bucket(first)]; entry->function != kNotRead; ++entry) {
            const std::size_t end = name + entry->text.size();
            if (entry->first != first || line.size() < end || Word(line.data() + end - 8) != entry->last) continue;
            if (!entry->prefix && end != line.size() && line[end] != ' ') continue;
            if (entry->text.size() <= 16 ||
                std::memcmp(line.data() + name + 8, entry->text.data() + 8, entry->text.size() - 16) == 0)
                return entry;
        }
        return nullptr;
    }

private:
    static constexpr std::size_t kBuckets = 64, kPerBucket = 4;
    static constexpr std::size_t Bucket(std::uint64_t first) {
        return static_cast<std::size_t>((first * 0x9E3779B97F4A7C15u) >> 58);
    }
    constexpr void Add(std::string_view text, int function, bool prefix) {
        if (text.size() < 8) throw "a read function's name has at least eight bytes";
        const FunctionName name{text, Packed(text), Packed(text.substr(text.size() - 8)), function, prefix};
        FunctionName *slot = m_buckets[Bucket(name.first)];
        while (slot->function != kNotRead) ++slot;
        if (slot == m_buckets[Bucket(name.first)] + kPerBucket) throw "too many read functions in one bucket";
        *slot = name;
    }
    FunctionName m_buckets[kBuckets][kPerBucket + 1] = {};  // each list ends with an empty entry
};

enum class Level { None, Info, Enter, Leave, Error };

// What a trace line's first two words say: "LEVEL Function ...".
struct TraceWords {
    Level level = Level::None;
    int function = kNotRead;   // a position in kReadFunctions, kProcessDeviceFunction, or kNotRead
    std::size_t nameEnd = 0;   // one past the function's name
    // Nothing after the function word ("LEAVE GetDeviceId").
    bool Bare(std::string_view line) const { return nameEnd == line.size(); }
    bool Is(Level l, int f) const { return level == l && function == f; }
};

// Which read function the line (without trailing blanks) is of, and its level.
TraceWords ReadWords(std::string_view line) {
    static constexpr ReadFunctionTable table;
    static constexpr std::uint64_t kInfo = Packed("INFO "), kEnter = Packed("ENTER "), kLeave = Packed("LEAVE "),
                                   kError = Packed("ERROR "), kLow5 = LowBytes(5), kLow6 = LowBytes(6);
    TraceWords words;
    const std::uint64_t head = line.size() >= 8 ? Word(line.data()) : Packed(line);
    const std::uint64_t head6 = head & kLow6;
    std::size_t name = 6;
    if ((head & kLow5) == kInfo) {
        words.level = Level::Info;
        name = 5;
    } else if (head6 == kEnter) {
        words.level = Level::Enter;
    } else if (head6 == kLeave) {
        words.level = Level::Leave;
    } else if (head6 == kError) {
        words.level = Level::Error;
    } else {
        return words;
    }
    if (const FunctionName *found = table.Find(line, name)) {
        words.function = found->function;
        words.nameEnd = name + found->text.size();
    }
    return words;
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
    std::optional<std::size_t> firstDevice;  // of the first identifier a GetDeviceId line read
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
        // A heading ends in ':' and perhaps blanks; most lines end otherwise.
        if (!text.empty() && (text.back() == ':' || text.back() == ' ') && ListHeading(i, text)) return;
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
        const TraceWords words = ReadWords(line);
        if (words.level == Level::Error) {
            CountError(i, line);
            if (m_episode && !m_episode->firstError) {
                m_episode->firstError = i;
                Quote(i);
            }
        }
        PassLine(i, line, words);
        if (words.function == kNotRead) {
            Extend(i);
            return;
        }
        if (words.function == kGetDeviceId) {
            DeviceIdLine(i, line, words);
            return;
        }
        const bool bare = words.Bare(line);
        if (words.function == kGetUSBDeviceHubPath) {
            if (words.level == Level::Enter && !bare) m_hubWalk = std::string();
            if (words.level == Level::Leave && bare) m_hubWalk.reset();
        }
        if (bare && words.Is(Level::Enter, kGetAllDeviceIDs)) {
            m_pass = Pass::All;
            m_session.allPass = LineRange{i, i};
        } else if (bare && words.Is(Level::Leave, kGetAllDeviceIDs)) {
            CloseEpisode();
            m_pass = Pass::Legacy;
            return;
        } else if (bare && words.Is(Level::Enter, kGetHookedDeviceIDs)) {
            CloseEpisode();
            m_pass = Pass::Hooked;
            m_session.hookedPass = LineRange{i, i};
            return;
        } else if (bare && words.Is(Level::Enter, kGetSystemDeviceInfo)) {
            Open(EpisodeKind::SystemLookup, i);
        } else if (m_pass == Pass::All && !bare && words.Is(Level::Enter, kIsDevnodeStatusValid)) {
            Open(EpisodeKind::AllPass, i);
        } else if (m_pass == Pass::Legacy && words.Is(Level::Enter, kProcessDeviceFunction) && line.size() > 20 &&
                   line[19] == ' ') {
            Open(EpisodeKind::Legacy, i);
            m_episode->path = std::string(line.substr(20));
        }
        Extend(i);
        if (words.Is(Level::Info, kUseDriveInfo) && (line == "INFO UseDriveInfo DUMP" || line == "INFO UseDriveInfo HANDLE DUMP")) {
            m_dump = Dump{};
            m_dump->index = i;
            m_dump->handleForm = line.size() > 22;
        }
        DevinstValue(i, line, words);
        IdValue(i, line, words);
        Decision(i, line, words);
        const bool closes = (bare && words.Is(Level::Leave, kGetSystemDeviceInfo)) ||
                            (m_episode && m_episode->kind == EpisodeKind::Legacy &&
                             words.Is(Level::Leave, kProcessDeviceFunction));
        if (closes && m_episode && m_episode->kind == EpisodeKind::Legacy) m_episode->result = line.back() == '1';
        if (closes) CloseEpisode();
    }

    // A GetDeviceId line, the commonest the parser reads: what the general
    // path above does for one, without trying the labels of other functions.
    void DeviceIdLine(std::size_t i, std::string_view line, const TraceWords &words) {
        const bool bare = words.Bare(line);
        const bool enter = bare && words.level == Level::Enter, leave = bare && words.level == Level::Leave;
        if (enter && m_pass == Pass::Hooked) Open(EpisodeKind::HookedRead, i);
        Extend(i);
        if (leave) m_pendingDevinst.reset();
        if (!bare && words.level == Level::Info) IdValue(i, line, words);
        if (leave && m_episode && m_episode->kind == EpisodeKind::HookedRead) CloseEpisode();
    }

    // The spans of the all-devices and hooked passes, and what the hooked pass
    // says of itself.
    void PassLine(std::size_t i, std::string_view line, const TraceWords &words) {
        if (m_pass == Pass::All && m_session.allPass) m_session.allPass->last = i;
        if (m_pass != Pass::Hooked || !m_session.hookedPass) return;
        m_session.hookedPass->last = i;
        if (words.function != kGetHookedDeviceIDs || words.Bare(line)) return;
        if (words.level == Level::Error) {
            m_session.hookedFailure = i;
            Quote(i);
        }
        if (words.level == Level::Info) {
            if (m_session.hookedUnread.empty()) Quote(i);
            m_session.hookedUnread.push_back(i);
        }
    }

    void DevinstValue(std::size_t i, std::string_view line, const TraceWords &words) {
        for (const DevinstLabel &entry : kDevinstLabels) {
            if (entry.function != words.function || !StartsWith(line, entry.label)) continue;
            const auto devinst = Number<std::uint32_t>(line.substr(entry.label.size()));
            if (!devinst) return;
            m_session.devinstLines.emplace_back(i, *devinst);
            if (entry.bindsNextId) m_pendingDevinst = devinst;
            if (m_episode && m_episode->kind == EpisodeKind::AllPass && !m_episode->devinst)
                m_episode->devinst = devinst;
            return;
        }
    }

    // Only INFO lines of the GetDeviceId function and of the functions of
    // kIdMentionLabels carry an identifier.
    void IdValue(std::size_t i, std::string_view line, const TraceWords &words) {
        for (const IdLabel &entry : kIdMentionLabels) {
            if (entry.function == words.function && StartsWith(line, entry.label) && line.size() > entry.label.size()) {
                // Most name a device already met: kept by its place, not its key.
                const std::string &key = Key(line.substr(entry.label.size()));
                if (const std::size_t at = FindPosition(key); at != DeviceIndex::npos)
                    m_idMentions.push_back({i, at, {}});
                else
                    m_idMentions.push_back({i, kNoDevice, key});
                return;
            }
        }
        if (words.function != kGetDeviceId || !StartsWith(line, kGetDeviceIdLabel)) return;
        const std::string_view id = line.substr(kGetDeviceIdLabel.size());
        if (id.empty() || StartsWith(id, "\\")) return;  // an interface path, not an identifier
        const std::size_t position = NamePosition(id, i);
        Device &device = m_session.devices[position];
        m_deviceMentions.emplace_back(i, position);
        // The hub walk reads a device, then each parent up to its hub.
        if (m_hubWalk && !m_hubWalk->empty() && *m_hubWalk != device.key)
            m_session.usbParents.emplace_back(*m_hubWalk, device.key);
        if (m_hubWalk) m_hubWalk = device.key;
        if (m_pendingDevinst) {
            m_devinstIds.emplace(*m_pendingDevinst, device.key);
            m_pendingDevinst.reset();
        }
        if (m_episode && !m_episode->firstDevice) m_episode->firstDevice = position;
    }

    // The all-devices pass's reasons for leaving a device out, and the
    // legacy pass's system disk: lines of three functions only.
    void Decision(std::size_t i, std::string_view line, const TraceWords &words) {
        if (words.function == kIsSystemDisk && m_episode && m_episode->kind == EpisodeKind::Legacy &&
            IsSystemDiskMatch(line)) {
            m_episode->systemDisk = i;
            Quote(i);
        }
        if (words.function != kIsDevnodeStatusValid && words.function != kIsSystemOrFixedDisk) return;
        if (!m_episode || m_episode->kind != EpisodeKind::AllPass) return;
        Episode &episode = *m_episode;
        const char *reason = nullptr;
        if (line == "INFO IsDevnodeStatusValid not DN_STARTED")
            reason = "device not started";
        else if (line == "INFO IsDevnodeStatusValid DN_HAS_PROBLEM")
            reason = "device has a problem";
        else if (line == "INFO IsDevnodeStatusValid not DN_DRIVER_LOADED")
            reason = "driver not loaded";
        else if (line == "LEAVE IsDevnodeStatusValid")
            episode.statusRead = true;
        else if (line == "INFO IsSystemOrFixedDisk not removable")
            reason = episode.lastDumpBoot ? "boot drive" : "fixed or system disk";
        else if (line == "INFO IsSystemOrFixedDisk system disk")
            reason = "fixed or system disk";
        if (reason && episode.leftOutReason != reason) {
            episode.leftOutReason = reason;
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
                 !m_episode->firstDevice)
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

    // The position of the device of id, named now where it is new. An
    // identifier is nearly always written as when first met: compared as
    // written first.
    std::size_t NamePosition(std::string_view id, std::size_t index) {
        std::deque<Device> &devices = m_session.devices;
        const std::uint64_t hash = KeyHash(id);
        const std::size_t at = m_index.Find(hash, [&](std::size_t d) { return devices[d].id == id || SameKey(devices[d].key, id); });
        if (at != DeviceIndex::npos) return at;
        m_index.Insert(hash, devices.size());
        Device &device = devices.emplace_back();
        device.id = id;
        device.key = Key(id);
        device.firstSeen = index;
        return devices.size() - 1;
    }

    Device &Name(std::string_view id, std::size_t index) { return m_session.devices[NamePosition(id, index)]; }

    std::size_t FindPosition(std::string_view key) const {
        const std::deque<Device> &devices = m_session.devices;
        return m_index.Find(KeyHash(key), [&](std::size_t d) { return devices[d].key == key; });
    }

    Device *Find(std::string_view key) {
        const std::size_t at = FindPosition(key);
        return at == DeviceIndex::npos ? nullptr : &m_session.devices[at];
    }

    // The device an episode worked on, by the best evidence it holds.
    Device *Subject(const Episode &episode) {
        for (std::size_t d : episode.dumps)
            if (!m_dumps[d].uniqueId.empty() && episode.kind != EpisodeKind::AllPass)
                return Find(DeviceKey(m_dumps[d].uniqueId));
        if (episode.firstDevice) return &m_session.devices[*episode.firstDevice];
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
        for (const IdMention &mention : m_idMentions) {
            if (mention.device != kNoDevice)
                Mention(m_session.devices[mention.device], mention.index);
            else if (Device *device = Find(mention.key))
                Mention(*device, mention.index);
        }
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
    // order is found on positions, then each row moves once, in place.
    static void SortByFirstSeen(std::deque<Device> &devices) {
        // Mostly named in log order already: then nothing moves.
        if (std::is_sorted(devices.begin(), devices.end(),
                           [](const Device &a, const Device &b) { return a.firstSeen < b.firstSeen; }))
            return;
        std::vector<std::size_t> order(devices.size());  // order[k]: the device that goes to k
        for (std::size_t d = 0; d < order.size(); ++d) order[d] = d;
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return devices[a].firstSeen < devices[b].firstSeen; });
        // Each cycle of the permutation turns once through one spare row.
        std::vector<bool> placed(order.size());
        for (std::size_t start = 0; start < order.size(); ++start) {
            if (placed[start] || order[start] == start) continue;
            Device spare = std::move(devices[start]);
            std::size_t at = start;
            for (; order[at] != start; at = order[at]) {
                devices[at] = std::move(devices[order[at]]);
                placed[at] = true;
            }
            devices[at] = std::move(spare);
            placed[at] = true;
        }
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
    // Deques: these grow to megabytes, and a vector's growth copies them.
    std::deque<Dump> m_dumps;
    std::deque<Episode> m_episodes;
    DeviceIndex m_index;  // of m_session.devices, by key
    std::map<std::uint32_t, std::string> m_devinstIds;
    // Lines naming a device: by its place in devices (a GetDeviceId reading),
    // or by key, found once every device is named.
    std::deque<std::pair<std::size_t, std::size_t>> m_deviceMentions;
    struct IdMention {
        std::size_t index = 0;
        std::size_t device = kNoDevice;  // its place, or kNoDevice: found by its key at the end
        std::string key;
    };
    std::deque<IdMention> m_idMentions;
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
