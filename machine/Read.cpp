// Reading and checking machine files against their description
// (Format.cpp), into the model of Model.h.
#include <cstring>
#include <functional>
#include <set>
#include <unordered_map>

#include "platform/wstr.h"
#include "machine/Codecs.h"
#include "machine/File.h"
#include "machine/Json.h"
#include "machine/Model.h"
#include "machine/Rules.h"

namespace machine {

// ---- Shared with the writer --------------------------------------------------

void FailMachine(const std::string &source, const std::string &path, const std::string &problem) {
    throw MachineError(source + ": " + (path.empty() ? std::string() : path + ": ") + problem);
}

bool ParseHexNumber(std::string_view text, uint32_t *value) {
    if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X') || text.size() > 10) return false;
    uint32_t v = 0;
    for (size_t i = 2; i < text.size(); ++i) {
        int d = wstr::HexDigitValue(text[i]);
        if (d < 0) return false;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    *value = v;
    return true;
}

bool ParseHexBytes(std::string_view text, std::vector<uint8_t> *bytes) {
    bytes->clear();
    int high = -1;
    for (char c : text) {
        if (c == ' ') continue;
        int d = wstr::HexDigitValue(c);
        if (d < 0) return false;
        if (high < 0) {
            high = d;
        } else {
            bytes->push_back(static_cast<uint8_t>(high * 16 + d));
            high = -1;
        }
    }
    return high < 0;
}

const json &DefaultOf(const Field &field) {
    static const json kNone;
    if (field.def == nullptr) return kNone;
    // Parsed once per field: the tables are fixed for the life of the process.
    static std::unordered_map<const Field *, json> parsed;
    auto it = parsed.find(&field);
    if (it == parsed.end()) it = parsed.emplace(&field, json::parse(field.def)).first;
    return it->second;
}

namespace {

// Thrown out of the parse at the first container nested too deep, so that no
// deeper level is ever built: writing and copying values recurse.
struct TooDeep {
    std::string path;
};

// Builds the document as the library's own parser does, and on the way finds
// the first key that appears twice in one object, with its path, and stops at
// nesting deeper than the format has.  (The library's parse callbacks would
// do the same checks, but they rescan the enclosing array whenever an object
// ends, which makes a long list of devices cost its length squared.)
class CheckedBuilder : public nlohmann::json_sax<json> {
public:
    explicit CheckedBuilder(json &result) : m_dom(result) {}

    bool null() override { return Value() && m_dom.null(); }
    bool boolean(bool v) override { return Value() && m_dom.boolean(v); }
    bool number_integer(number_integer_t v) override { return Value() && m_dom.number_integer(v); }
    bool number_unsigned(number_unsigned_t v) override { return Value() && m_dom.number_unsigned(v); }
    bool number_float(number_float_t v, const string_t &s) override { return Value() && m_dom.number_float(v, s); }
    bool string(string_t &v) override { return Value() && m_dom.string(v); }
    bool binary(binary_t &v) override { return Value() && m_dom.binary(v); }
    bool start_object(std::size_t n) override { return Open(false) && m_dom.start_object(n); }
    bool start_array(std::size_t n) override { return Open(true) && m_dom.start_array(n); }
    bool end_object() override { return Close() && m_dom.end_object(); }
    bool end_array() override { return Close() && m_dom.end_array(); }
    bool key(string_t &k) override {
        Frame &top = m_stack.back();
        top.key = k;
        if (!top.keys.insert(k).second && m_duplicate.empty()) m_duplicate = Path();
        return m_dom.key(k);
    }
    bool parse_error(std::size_t at, const std::string &token, const nlohmann::detail::exception &e) override {
        return m_dom.parse_error(at, token, e);  // throws it
    }
    const std::string &Duplicate() const { return m_duplicate; }

private:
    struct Frame {
        bool array;
        size_t count;
        std::set<std::string> keys;
        std::string key;
    };
    bool Value() {
        if (!m_stack.empty() && m_stack.back().array) ++m_stack.back().count;
        return true;
    }
    bool Open(bool array) {
        Value();
        if (m_stack.size() >= format::kMaxNesting) throw TooDeep{Path()};
        m_stack.push_back(Frame{array, 0, {}, {}});
        return true;
    }
    bool Close() {
        m_stack.pop_back();
        return true;
    }
    // The path of the value last begun.
    std::string Path() const {
        std::string path;
        for (const Frame &f : m_stack) path = f.array ? Element(path, f.count == 0 ? 0 : f.count - 1) : Member(path, f.key);
        return path;
    }
    nlohmann::detail::json_sax_dom_parser<json> m_dom;
    std::vector<Frame> m_stack;
    std::string m_duplicate;
};

}  // namespace

json ParseMachineJson(std::string_view text, const std::string &source) {
    json j;
    CheckedBuilder builder(j);
    try {
        json::sax_parse(text.begin(), text.end(), &builder);
    } catch (const json::exception &e) {
        std::string what = e.what();
        // Drop the library's "[json.exception...] " prefix.
        size_t close = what.find("] ");
        if (what.rfind("[json.exception", 0) == 0 && close != std::string::npos) what = what.substr(close + 2);
        FailMachine(source, "", "not valid JSON: " + what);
    } catch (const TooDeep &deep) {
        FailMachine(source, deep.path, "nested deeper than " + std::to_string(format::kMaxNesting) + " levels");
    }
    if (!builder.Duplicate().empty()) FailMachine(source, builder.Duplicate(), "duplicate key");
    return j;
}

namespace {

// One entry of the file: its object, its path and its description.  Keys
// outside the description are errors; a key left out reads as its default.
class Node {
public:
    Node(const Reader &r, const json &j, std::string path, const Entry &entry, const char *unknown = "unknown key")
        : r(r), m_j(j), m_path(std::move(path)), m_entry(entry) {
        if (!j.is_object()) r.Fail(m_path, "expected an object");
        for (auto it = j.begin(); it != j.end(); ++it)
            if (entry.Find(it.key().c_str(), it.key().size()) == nullptr) r.Fail(Member(m_path, it.key()), unknown);
        // Ignored, but still text: nothing else may hide in it.
        if (entry.Find(key::kComment) != nullptr) Check(key::kComment);
    }

    // The value, its default when left out, or null when it has none (a
    // null value of a key without a default is the same as leaving it out).
    const json &Get(const char *key) const {
        const Field &f = FieldOf(key);
        auto it = m_j.find(key);
        if (it == m_j.end() || (it->is_null() && f.def == nullptr)) {
            if (f.required) r.Fail(Path(key), "missing");
            return DefaultOf(f);
        }
        return *it;
    }
    bool Has(const char *key) const { return !Get(key).is_null(); }
    // Checks a value the replay ignores, by its kind alone.
    void Check(const char *key) const {
        if (Has(key)) codec::Of(FieldOf(key).kind).check(r, Get(key), Path(key), FieldOf(key));
    }
    std::string Path(const char *key) const { return Member(m_path, key); }
    const std::string &Path() const { return m_path; }
    const json &Json() const { return m_j; }

    std::string Text(const char *key) const {
        return codec::TextCodec::Read(r, Get(key), Path(key), FieldOf(key).nonEmpty);
    }
    WString Wide(const char *key) const { return wstr::FromUtf8(Text(key)); }
    bool Bool(const char *key) const { return codec::BoolCodec::Read(r, Get(key), Path(key)); }
    uint32_t Number(const char *key) const { return codec::NumberCodec::Read(r, Get(key), Path(key), FieldOf(key).max); }
    uint32_t Code(const char *key) const { return codec::CodeCodec::Read(r, Get(key), Path(key)); }
    int64_t I64(const char *key) const { return codec::Int64Codec::Read(r, Get(key), Path(key)); }
    std::optional<std::string> OptionalText(const char *key) const {
        return Has(key) ? std::optional<std::string>(Text(key)) : std::nullopt;
    }
    std::optional<uint32_t> OptionalNumber(const char *key) const {
        return Has(key) ? std::optional<uint32_t>(Number(key)) : std::nullopt;
    }
    std::optional<uint32_t> OptionalCode(const char *key) const {
        return Has(key) ? std::optional<uint32_t>(Code(key)) : std::nullopt;
    }

    const Reader &r;

private:
    const Field &FieldOf(const char *key) const {
        const Field *f = m_entry.Find(key);
        if (f == nullptr) throw std::logic_error(std::string("machine format: no key ") + key + " in " + m_entry.name);
        return *f;
    }
    const json &m_j;
    std::string m_path;
    const Entry &m_entry;
};

struct Parser {
    Reader r;
    Machine &m;
    // References by name, resolved once everything is read.
    std::vector<std::string> deviceParents;                             // by device
    std::vector<std::vector<std::optional<std::string>>> ifaceObjects;  // by device, interface
    std::vector<std::optional<std::string>> objectForwards;
    // Folded keys seen so far, first entry wins, so the uniqueness checks and
    // the links cost one look-up each rather than a scan of the file.
    std::unordered_map<WString, size_t> deviceIds;                          // id: device
    std::unordered_map<WString, std::pair<size_t, size_t>> interfacePaths;  // path: device, interface
    std::unordered_map<WString, std::pair<size_t, bool>> objectNames;       // name or alias: object, is the name
    std::unordered_map<uint32_t, size_t> devinsts;                          // given devinst: device

    // ---- Devices ----

    void ReadProperties(const Node &n, Device &d) {
        Node props(r, n.Get(key::kProperties), n.Path(key::kProperties), format::kProperties, "unknown property");
        for (auto it = props.Json().begin(); it != props.Json().end(); ++it) {
            if (it->is_null()) continue;
            const Field *f = format::kProperties.Find(it.key().c_str());
            d.properties[f->code] = codec::PropertyCodec::Read(r, it.value(), props.Path(f->key));
        }
        for (const Field &f : format::kProperties.fields) {
            if (d.properties.Has(f.code)) continue;
            if (auto derived = format::DerivedProperty(f, d.idText, d.hasClass ? &d.classText : nullptr))
                d.properties[f.code] = codec::PropertyCodec::FromText(*derived);
        }
    }

    void ReadInterface(const Node &n, Device &d, std::vector<std::optional<std::string>> *objects) {
        Interface itf;
        itf.cls = codec::GuidCodec::Read(r, n.Get(key::kClass), n.Path(key::kClass), &itf.classText);
        itf.path = n.Wide(key::kPath);
        auto [seen, added] = interfacePaths.emplace(rules::Folded(itf.path), std::make_pair(m.devices.size(), d.interfaces.size()));
        if (!added && seen->second.first < m.devices.size())
            r.Fail(n.Path(key::kPath), "duplicate of devices[" + std::to_string(seen->second.first) + "].interfaces[" +
                                       std::to_string(seen->second.second) + "].path");
        if (!added) r.Fail(n.Path(key::kPath), "duplicate path");
        itf.present = n.Bool(key::kPresent);
        objects->push_back(n.OptionalText(key::kObject));
        d.interfaces.push_back(std::move(itf));
    }

    void ReadDevice(const Node &n) {
        Device d;
        d.idText = n.Text(key::kId);
        d.id = wstr::FromUtf8(d.idText);
        if (auto [it, added] = deviceIds.emplace(rules::Folded(d.id), m.devices.size()); !added)
            r.Fail(n.Path(key::kId), "duplicate of devices[" + std::to_string(it->second) + "].id");
        d.devinst = static_cast<DEVINST>(m.devices.size() + 1);
        if (n.Has(key::kDevinst)) {
            d.devinst = n.Number(key::kDevinst);
            if (d.devinst == 0) r.Fail(n.Path(key::kDevinst), "DEVINST values start at 1");
        }
        if (auto [it, added] = devinsts.emplace(d.devinst, m.devices.size()); !added)
            r.Fail(n.Path(key::kDevinst), "DEVINST " + std::to_string(d.devinst) + " is already devices[" + std::to_string(it->second) + "]'s");
        if (n.Has(key::kClass)) {
            d.hasClass = true;
            d.cls = codec::GuidCodec::Read(r, n.Get(key::kClass), n.Path(key::kClass), &d.classText);
        }
        d.present = n.Bool(key::kPresent);
        d.status = codec::StatusCodec::Read(r, n.Get(key::kStatus), n.Path(key::kStatus));
        d.problem = n.Number(key::kProblem);
        d.statusError = n.OptionalCode(key::kStatusError);
        d.idError = n.OptionalCode(key::kIdError);
        ReadProperties(n, d);
        std::vector<std::optional<std::string>> objects;
        const std::string ip = n.Path(key::kInterfaces);
        r.Array(n.Get(key::kInterfaces), ip);
        for (size_t i = 0; i < n.Get(key::kInterfaces).size(); ++i)
            ReadInterface(Node(r, n.Get(key::kInterfaces)[i], Element(ip, i), format::kInterface), d, &objects);
        ifaceObjects.push_back(std::move(objects));
        deviceParents.push_back(n.OptionalText(key::kParent).value_or(std::string()));
        m.devices.push_back(std::move(d));
    }

    // ---- Objects ----

    template <typename T, typename F>
    void ReadAnswer(const Node &n, const char *key, Answer<T> *answer, F read) {
        if (!n.Has(key)) return;
        answer->given = true;
        if (codec::ErrorAnswerCodec::Read(r, n.Get(key), n.Path(key), &answer->error)) return;
        answer->value = read(n.Get(key), n.Path(key));
    }

    std::vector<uint8_t> ReadDescriptor(const Node &n) {
        // Little-endian as on the wire; each field's size follows from its range.
        std::vector<uint8_t> bytes;
        for (const Field &f : format::kDescriptor.fields) {
            uint32_t v = n.Number(f.key);
            bytes.push_back(static_cast<uint8_t>(v));
            if (f.max > 0xFF) bytes.push_back(static_cast<uint8_t>(v >> 8));
        }
        return bytes;
    }

    void ReadStringDescriptors(const Node &n, HubPort *port) {
        const json &strings = n.Get(key::kStrings);
        const std::string sp = n.Path(key::kStrings);
        r.Map(strings, sp);
        for (auto it = strings.begin(); it != strings.end(); ++it) {
            const std::string &k = it.key();
            bool digits = !k.empty() && k.size() <= 3;
            for (char c : k) digits = digits && c >= '0' && c <= '9';
            if (!digits || std::stoul(k) == 0 || std::stoul(k) > 255)
                r.Fail(Member(sp, k), "string index must be a number from 1 to 255");
            WString text = codec::TextCodec::Wide(r, it.value(), Member(sp, k));
            if (text.size() > 126) r.Fail(Member(sp, k), "longer than a string descriptor holds (126 characters)");
            port->strings[static_cast<uint32_t>(std::stoul(k))] = text;
        }
    }

    HubPort ReadPort(const Node &n) {
        HubPort port;
        port.port = n.Number(key::kPort);
        if (port.port == 0) r.Fail(n.Path(key::kPort), "ports are numbered from 1");
        port.connected = n.Bool(key::kConnected);
        port.deviceIsHub = n.Bool(key::kDeviceIsHub);
        port.speed = static_cast<uint8_t>(n.Number(key::kSpeed));
        port.address = static_cast<uint16_t>(n.Number(key::kAddress));
        port.configuration = static_cast<uint8_t>(n.Number(key::kConfiguration));
        port.openPipes = n.Number(key::kOpenPipes);
        port.descriptor = ReadDescriptor(Node(r, n.Get(key::kDescriptor), n.Path(key::kDescriptor), format::kDescriptor));
        if (n.Has(key::kDriverKey) && !codec::ErrorAnswerCodec::Read(r, n.Get(key::kDriverKey), n.Path(key::kDriverKey), &port.driverKeyError))
            port.driverKey = n.Wide(key::kDriverKey);
        const json &languages = n.Get(key::kLanguages);
        r.Array(languages, n.Path(key::kLanguages));
        for (size_t i = 0; i < languages.size(); ++i)
            port.languages.push_back(static_cast<uint16_t>(codec::NumberCodec::Read(r, languages[i], Element(n.Path(key::kLanguages), i), 0xFFFF)));
        ReadStringDescriptors(n, &port);
        return port;
    }

    Hub ReadHub(const Node &n) {
        Hub hub;
        hub.exQuery = n.Bool(key::kExQuery);
        hub.busPowered = n.Bool(key::kBusPowered);
        hub.portCount = n.OptionalNumber(key::kPortCount);
        const json &ports = n.Get(key::kPorts);
        const std::string pp = n.Path(key::kPorts);
        r.Array(ports, pp);
        for (size_t i = 0; i < ports.size(); ++i) {
            HubPort port = ReadPort(Node(r, ports[i], Element(pp, i), format::kPort));
            for (const HubPort &other : hub.ports)
                if (other.port == port.port) r.Fail(Member(Element(pp, i), key::kPort), "duplicate port number");
            hub.ports.push_back(std::move(port));
        }
        return hub;
    }

    RawAnswer ReadRawAnswer(const Node &n) {
        RawAnswer a;
        if (n.Has(key::kInput)) a.input = codec::HexBytesCodec::Read(r, n.Get(key::kInput), n.Path(key::kInput));
        if (n.Has(key::kBytes)) {
            a.hasBytes = true;
            a.bytes = codec::HexBytesCodec::Read(r, n.Get(key::kBytes), n.Path(key::kBytes));
        }
        a.returned = n.OptionalNumber(key::kReturned);
        a.error = n.OptionalCode(key::kError);
        if (!a.hasBytes && !a.error) r.Fail(n.Path(), "give \"bytes\", \"error\" or both");
        return a;
    }

    void ReadIoctl(const Node &n, Object &o) {
        codec::IoctlCodec::Read(r, n.Get(key::kIoctl), n.Path(key::kIoctl), &o.ioctl,
                                [&](const json &v, const std::string &p) { return ReadRawAnswer(Node(r, v, p, format::kRawAnswer)); });
    }

    std::optional<OpenError> ReadOpenError(const Node &n, const char *key) {
        if (!n.Has(key)) return std::nullopt;
        return codec::OpenErrorCodec::Read(r, n.Get(key), n.Path(key));
    }

    void ReadNames(const Node &n, Object &o) {
        o.nameText = n.Text(key::kName);
        o.name = wstr::FromUtf8(o.nameText);
        auto clash = [&](const WString &name, const std::string &where) {
            auto it = objectNames.find(rules::Folded(name));
            if (it == objectNames.end()) return;
            const std::string i = std::to_string(it->second.first);
            if (it->second.second) r.Fail(where, "duplicate of objects[" + i + "].name");
            r.Fail(where, "already an alias of objects[" + i + "]");
        };
        clash(o.name, n.Path(key::kName));
        const json &aliases = n.Get(key::kAliases);
        r.Array(aliases, n.Path(key::kAliases));
        for (size_t i = 0; i < aliases.size(); ++i) {
            const std::string ap = Element(n.Path(key::kAliases), i);
            WString a = codec::TextCodec::Wide(r, aliases[i], ap);
            clash(a, ap);
            if (wstr::EqualNoCase(WStringView(a), WStringView(o.name))) r.Fail(ap, "same as the object's name");
            o.aliases.push_back(a);
        }
    }

    void ReadStorageAnswers(const Node &n, Object &o) {
        ReadAnswer(n, key::kDeviceNumber, &o.deviceNumber, [&](const json &v, const std::string &p) {
            Node d(r, v, p, format::kDeviceNumber);
            return DeviceNumber{d.Number(key::kType), d.Number(key::kNumber), d.Number(key::kPartition), d.OptionalNumber(key::kReturned)};
        });
        ReadAnswer(n, key::kStorageDescriptor, &o.storageDescriptor, [&](const json &v, const std::string &p) {
            Node d(r, v, p, format::kStorageDescriptor);
            StorageDescriptor s;
            s.vendor = d.OptionalText(key::kVendor);
            s.product = d.OptionalText(key::kProduct);
            s.revision = d.OptionalText(key::kRevision);
            s.serial = d.OptionalText(key::kSerial);
            s.busType = d.Number(key::kBusType);
            s.removable = d.Bool(key::kRemovable);
            s.deviceType = static_cast<uint8_t>(d.Number(key::kDeviceType));
            s.deviceTypeModifier = static_cast<uint8_t>(d.Number(key::kDeviceTypeModifier));
            s.commandQueueing = d.Bool(key::kCommandQueueing);
            return s;
        });
        ReadAnswer(n, key::kMediaTypes, &o.mediaTypes, [&](const json &v, const std::string &p) {
            r.Array(v, p);
            std::vector<MediaType> list;
            for (size_t i = 0; i < v.size(); ++i) {
                Node e(r, v[i], Element(p, i), format::kMediaType);
                list.push_back(MediaType{e.Number(key::kMediaType), e.I64(key::kCylinders), e.Number(key::kTracksPerCylinder),
                                         e.Number(key::kSectorsPerTrack), e.Number(key::kBytesPerSector), e.Number(key::kSides),
                                         e.Number(key::kCharacteristics)});
            }
            return list;
        });
        ReadAnswer(n, key::kMountdevName, &o.mountdevName, [&](const json &v, const std::string &p) {
            WString name = codec::TextCodec::Wide(r, v, p);
            if (name.size() > 32000) r.Fail(p, "too long");
            return name;
        });
    }

    void ReadObject(const Node &n) {
        Object o;
        ReadNames(n, o);
        o.openError = ReadOpenError(n, key::kOpenError);
        o.writeError = ReadOpenError(n, key::kWriteError);
        if (n.Bool(key::kReadOnly) && !o.writeError) o.writeError = OpenError{ERROR_ACCESS_DENIED, 0xC0000022u};
        objectForwards.push_back(n.OptionalText(key::kForward));
        ReadStorageAnswers(n, o);
        ReadAnswer(n, key::kSdProtocol, &o.sdProtocol, [&](const json &v, const std::string &p) { return codec::GuidCodec::Read(r, v, p); });
        ReadAnswer(n, key::kSdCid, &o.sdCid, [&](const json &v, const std::string &p) {
            std::vector<uint8_t> cid = codec::HexBytesCodec::Read(r, v, p);
            if (cid.size() != 16) r.Fail(p, "a CID is 32 hex digits (16 bytes)");
            return cid;
        });
        ReadAnswer(n, key::kHub, &o.hub, [&](const json &v, const std::string &p) { return ReadHub(Node(r, v, p, format::kHub)); });
        ReadIoctl(n, o);
        objectNames.emplace(rules::Folded(o.name), std::make_pair(m.objects.size(), true));
        for (const WString &a : o.aliases) objectNames.emplace(rules::Folded(a), std::make_pair(m.objects.size(), false));
        m.objects.push_back(std::move(o));
    }

    // ---- The top level ----

    // A map keyed by names the file chooses, unique ignoring case.
    template <typename T, typename F>
    void ReadNamed(const Node &n, const char *key, const char *duplicate, std::vector<std::pair<WString, T>> *out, F read) {
        const json &map = n.Get(key);
        r.Map(map, n.Path(key));
        out->clear();
        for (auto it = map.begin(); it != map.end(); ++it) {
            const std::string p = Member(n.Path(key), it.key());
            WString name = wstr::FromUtf8(it.key());
            for (const auto &e : *out)
                if (wstr::EqualNoCase(WStringView(e.first), WStringView(name))) r.Fail(p, duplicate);
            out->emplace_back(std::move(name), read(it.value(), p));
        }
    }

    Volume ReadVolume(const json &v, const std::string &path) {
        Volume vol;
        if (codec::ErrorAnswerCodec::Read(r, v, path, &vol.error)) return vol;
        Node n(r, v, path, format::kVolume);
        vol.label = n.Wide(key::kLabel);
        const std::string s = n.Text(key::kSerial);
        if (s.size() != 8 || !ParseHexNumber("0x" + s, &vol.serial))
            r.Fail(n.Path(key::kSerial), "expected 8 hex digits such as \"1A2B3C4D\"");
        vol.fileSystem = n.Wide(key::kFileSystem);
        vol.maxComponentLength = n.Number(key::kMaxComponentLength);
        vol.fileSystemFlags = n.Number(key::kFlags);
        return vol;
    }

    void ReadLibraries(const Node &n) {
        const json &libraries = n.Get(key::kLibraries);
        r.Map(libraries, key::kLibraries);
        for (auto it = libraries.begin(); it != libraries.end(); ++it) {
            const std::string lp = Member(key::kLibraries, it.key());
            const std::string name = rules::Folded(it.key());
            bool known = false;
            for (const char *l : format::kLibraryNames) known = known || name == l;
            if (!known) r.Fail(lp, "unknown library");
            if (m.libraries.count(name)) r.Fail(lp, "duplicate library");
            m.libraries[name] = codec::LibraryCodec::Read(r, it.value(), lp, name);
        }
    }

    // A map key that must be a GUID not already read; `read` holds (GUID, value) pairs.
    template <typename Entries>
    GUID GuidKey(const std::string &key, const std::string &path, const Entries &read) {
        GUID g{};
        if (!ParseGuidText(key, &g)) r.Fail(path, "bad GUID");
        for (const auto &e : read)
            if (e.first == g) r.Fail(path, "duplicate GUID");
        return g;
    }

    void ReadClassErrors(const Node &n) {
        const json &map = n.Get(key::kClassErrors);
        r.Map(map, key::kClassErrors);
        for (auto it = map.begin(); it != map.end(); ++it) {
            const std::string cp = Member(key::kClassErrors, it.key());
            const GUID g = GuidKey(it.key(), cp, m.classErrors);
            m.classErrors.emplace_back(g, codec::CodeCodec::Read(r, it.value(), cp));
        }
    }

    void ReadHandleValues(const Node &n) { m.handleValues = codec::HandleListCodec::Read(r, n.Get(key::kHandleValues), key::kHandleValues); }

    // Who wrote the file says nothing the replay answers; the report names it.
    void ReadCapturedBy(const Node &n) {
        CapturedBy &by = m.capturedBy.emplace();
        by.program = n.Text(key::kProgram);
        by.version = n.Text(key::kVersion);
        by.architecture = n.Text(key::kArchitecture);
        if (!n.Has(key::kWindows)) return;
        const Node windows(r, n.Get(key::kWindows), n.Path(key::kWindows), format::kWindowsVersion);
        by.windows = CapturedBy::Windows{windows.Number(key::kMajor), windows.Number(key::kMinor), windows.Number(key::kBuild)};
    }

    void ReadTop(const json &j) {
        Node n(r, j, "", format::kMachine);
        n.Check(key::kSchema);
        n.Check(key::kDescription);
        if (n.Has(key::kCapturedBy)) ReadCapturedBy(Node(r, n.Get(key::kCapturedBy), n.Path(key::kCapturedBy), format::kCapturedBy));
        if (n.Has(key::kClock)) m.clock = n.I64(key::kClock);
        if (n.Get(key::kWindowsDirectory).is_null())
            m.windowsDirectory.reset();
        else
            m.windowsDirectory = n.Wide(key::kWindowsDirectory);
        m.windowsDirectoryError = n.Code(key::kWindowsDirectoryError);
        ReadNamed(n, key::kEnvironment, "duplicate variable", &m.environment,
                  [&](const json &v, const std::string &p) { return codec::TextCodec::Wide(r, v, p); });
        ReadLibraries(n);
        ReadNamed(n, key::kDosDevices, "duplicate drive", &m.dosDevices,
                  [&](const json &v, const std::string &p) { return codec::TextCodec::Wide(r, v, p); });
        ReadNamed(n, key::kVolumes, "duplicate drive", &m.volumes,
                  [&](const json &v, const std::string &p) { return ReadVolume(v, p); });
        ReadClassErrors(n);
        ReadHandleValues(n);
        const json &objects = n.Get(key::kObjects);
        r.Array(objects, key::kObjects);
        for (size_t i = 0; i < objects.size(); ++i) ReadObject(Node(r, objects[i], Element(key::kObjects, i), format::kObject));
        const json &devices = n.Get(key::kDevices);
        r.Array(devices, key::kDevices);
        for (size_t i = 0; i < devices.size(); ++i) ReadDevice(Node(r, devices[i], Element(key::kDevices, i), format::kDevice));
        Link();
        ReadInterfaceOrder(n);
    }

    // ---- References ----

    void LinkDevice(size_t i) {
        const std::string &parent = deviceParents[i];
        if (!parent.empty()) {
            const std::string p = Member(Element(key::kDevices, i), key::kParent);
            int index = FindDeviceIn(wstr::FromUtf8(parent));
            if (index < 0) r.Fail(p, "no device has the id \"" + parent + "\"");
            if (static_cast<size_t>(index) == i) r.Fail(p, "a device cannot be its own parent");
            m.devices[i].parent = index;
        }
        for (size_t k = 0; k < ifaceObjects[i].size(); ++k) {
            if (!ifaceObjects[i][k]) continue;
            int index = FindObjectIn(wstr::FromUtf8(*ifaceObjects[i][k]));
            if (index < 0)
                r.Fail(Member(Element(Member(Element(key::kDevices, i), key::kInterfaces), k), key::kObject),
                       "no object is named \"" + *ifaceObjects[i][k] + "\"");
            m.devices[i].interfaces[k].object = index;
        }
    }

    // The first entry in file order that lies on a loop of `next`, or -1.
    // Each entry is walked once: a walk ends where an earlier one passed.
    template <typename Next>
    static int FirstOnLoop(size_t count, Next next) {
        std::vector<size_t> walkOf(count, 0);  // 1 + the walk that passed the entry; 0: none yet
        std::vector<bool> onLoop(count, false);
        for (size_t start = 0; start < count; ++start) {
            int at = static_cast<int>(start);
            while (at >= 0 && walkOf[static_cast<size_t>(at)] == 0) {
                walkOf[static_cast<size_t>(at)] = start + 1;
                at = next(static_cast<size_t>(at));
            }
            if (at < 0 || walkOf[static_cast<size_t>(at)] != start + 1) continue;
            // Back on this walk's own path: `at` is on a loop; mark it round.
            int member = at;
            do {
                onLoop[static_cast<size_t>(member)] = true;
                member = next(static_cast<size_t>(member));
            } while (member != at);
        }
        for (size_t i = 0; i < count; ++i)
            if (onLoop[i]) return static_cast<int>(i);
        return -1;
    }

    void Link() {
        for (size_t i = 0; i < m.devices.size(); ++i) LinkDevice(i);
        if (int i = FirstOnLoop(m.devices.size(), [&](size_t d) { return m.devices[d].parent; }); i >= 0)
            r.Fail(Member(Element(key::kDevices, static_cast<size_t>(i)), key::kParent), "the parent chain loops back to this device");
        for (size_t i = 0; i < m.objects.size(); ++i) {
            if (!objectForwards[i]) continue;
            int index = FindObjectIn(wstr::FromUtf8(*objectForwards[i]));
            if (index < 0) r.Fail(Member(Element(key::kObjects, i), key::kForward), "no object is named \"" + *objectForwards[i] + "\"");
            m.objects[i].forward = index;
        }
        if (int i = FirstOnLoop(m.objects.size(), [&](size_t o) { return m.objects[o].forward; }); i >= 0)
            r.Fail(Member(Element(key::kObjects, static_cast<size_t>(i)), key::kForward), "the forward chain loops back to this object");
    }

    void ReadInterfaceOrder(const Node &n) {
        const json &map = n.Get(key::kInterfaceOrder);
        r.Map(map, key::kInterfaceOrder);
        for (auto it = map.begin(); it != map.end(); ++it) {
            const std::string cp = Member(key::kInterfaceOrder, it.key());
            const GUID g = GuidKey(it.key(), cp, m.interfaceOrder);
            r.Array(it.value(), cp);
            std::vector<std::pair<int, size_t>> order;
            std::set<std::pair<int, size_t>> seen;
            for (size_t i = 0; i < it->size(); ++i) {
                const std::string p = Element(cp, i);
                auto found = interfacePaths.find(rules::Folded(codec::TextCodec::Wide(r, (*it)[i], p)));
                if (found == interfacePaths.end()) r.Fail(p, "no interface has this path");
                const auto at = std::make_pair(static_cast<int>(found->second.first), found->second.second);
                if (!(m.devices[found->second.first].interfaces[at.second].cls == g)) r.Fail(p, "the interface is of another class");
                if (!seen.insert(at).second) r.Fail(p, "listed twice");
                order.push_back(at);
            }
            m.interfaceOrder.emplace_back(g, std::move(order));
        }
    }

    int FindDeviceIn(const WString &id) const {
        auto it = deviceIds.find(rules::Folded(id));
        return it == deviceIds.end() ? -1 : static_cast<int>(it->second);
    }
    int FindObjectIn(const WString &name) const {  // by name, not alias
        auto it = objectNames.find(rules::Folded(name));
        return it == objectNames.end() || !it->second.second ? -1 : static_cast<int>(it->second.first);
    }
};

}  // namespace

void CheckMachine(std::string_view json, const std::string &source) { ParseMachine(json, source); }

std::unique_ptr<Machine> ParseMachine(std::string_view text, const std::string &source) {
    json j = ParseMachineJson(text, source);
    auto machine = std::make_unique<Machine>();
    Parser parser{Reader(source), *machine, {}, {}, {}, {}, {}, {}, {}};
    try {
        parser.ReadTop(j);
    } catch (const json::exception &e) {
        FailMachine(source, "", std::string("unreadable machine: ") + e.what());
    }
    return machine;
}

}  // namespace machine
