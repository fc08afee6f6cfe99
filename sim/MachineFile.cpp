// Reading and validating machine files.  The only translation unit that sees
// the JSON library: it is slow to compile, so everything else works on the
// plain model of Model.h.
#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <nlohmann/json.hpp>

#include "sim/Model.h"

namespace sim {

namespace {

using nlohmann::json;

[[noreturn]] void Fail(const std::string &source, const std::string &path, const std::string &problem) {
    throw MachineError(source + ": " + (path.empty() ? std::string() : path + ": ") + problem);
}

std::string Member(const std::string &path, const std::string &key) {
    return path.empty() ? key : path + "." + key;
}
std::string Element(const std::string &path, size_t index) { return path + "[" + std::to_string(index) + "]"; }

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ParseHexNumber(std::string_view text, uint32_t *value) {
    if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X') || text.size() > 10) return false;
    uint32_t v = 0;
    for (size_t i = 2; i < text.size(); ++i) {
        int d = HexDigit(text[i]);
        if (d < 0) return false;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    *value = v;
    return true;
}

bool ParseHexBytes(std::string_view text, std::vector<uint8_t> *bytes) {
    std::string digits;
    for (char c : text)
        if (c != ' ') digits.push_back(c);
    if (digits.size() % 2 != 0) return false;
    bytes->clear();
    for (size_t i = 0; i < digits.size(); i += 2) {
        int hi = HexDigit(digits[i]), lo = HexDigit(digits[i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes->push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return true;
}

void AppendWide(std::vector<uint8_t> *out, const WString &text, bool terminate) {
    // Little-endian UTF-16, as the registry stores it; the terminator is
    // left zero by the resize.
    const size_t at = out->size();
    out->resize(at + sizeof(WCHAR) * (text.size() + (terminate ? 1 : 0)));
    uint8_t *bytes = out->data() + at;
    for (WCHAR c : text) {
        *bytes++ = static_cast<uint8_t>(static_cast<uint16_t>(c) & 0xFF);
        *bytes++ = static_cast<uint8_t>(static_cast<uint16_t>(c) >> 8);
    }
}

// Walks one JSON value with its path; every accessor checks the type and the
// allowed keys so that typos are reported where they are.
class Reader {
public:
    explicit Reader(const std::string &source) : m_source(source) {}

    [[noreturn]] void Fail(const std::string &path, const std::string &problem) const {
        sim::Fail(m_source, path, problem);
    }

    void Object(const json &j, const std::string &path, std::initializer_list<const char *> keys) const {
        if (!j.is_object()) Fail(path, "expected an object");
        for (auto it = j.begin(); it != j.end(); ++it) {
            bool known = false;
            for (const char *k : keys)
                if (it.key() == k) known = true;
            if (!known) Fail(Member(path, it.key()), "unknown key");
        }
    }
    // An object whose keys are names chosen by the file (drives, variables, ...).
    void Map(const json &j, const std::string &path) const {
        if (!j.is_object()) Fail(path, "expected an object");
    }
    void Array(const json &j, const std::string &path) const {
        if (!j.is_array()) Fail(path, "expected an array");
    }
    std::string String(const json &j, const std::string &path) const {
        if (!j.is_string()) Fail(path, "expected a string");
        return j.get<std::string>();
    }
    WString Wide(const json &j, const std::string &path) const { return wstr::FromUtf8(String(j, path)); }
    bool Bool(const json &j, const std::string &path) const {
        if (!j.is_boolean()) Fail(path, "expected true or false");
        return j.get<bool>();
    }
    uint32_t U32(const json &j, const std::string &path) const {
        if (!j.is_number_unsigned()) {
            if (j.is_number_integer()) Fail(path, "expected a number from 0 to 4294967295, not a negative one");
            Fail(path, "expected a whole number from 0 to 4294967295");
        }
        uint64_t v = j.get<uint64_t>();
        if (v > 0xFFFFFFFFull) Fail(path, "number above 4294967295");
        return static_cast<uint32_t>(v);
    }
    uint32_t Ranged(const json &j, const std::string &path, uint32_t max) const {
        uint32_t v = U32(j, path);
        if (v > max) Fail(path, "number above " + std::to_string(max));
        return v;
    }
    int64_t I64(const json &j, const std::string &path) const {
        if (!j.is_number_integer()) Fail(path, "expected a whole number");
        if (j.is_number_unsigned() && j.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX))
            Fail(path, "number too large");
        return j.get<int64_t>();
    }
    // An error or status code: a number or a hex string such as "0xC0000034".
    uint32_t Code(const json &j, const std::string &path) const {
        if (j.is_string()) {
            uint32_t v = 0;
            if (!ParseHexNumber(j.get<std::string>(), &v)) Fail(path, "expected a code as a number or hex text such as \"0xC0000034\"");
            return v;
        }
        return U32(j, path);
    }
    GUID Guid(const json &j, const std::string &path, std::string *text = nullptr) const {
        std::string s = String(j, path);
        GUID g{};
        if (!ParseGuidText(s, &g)) Fail(path, "bad GUID \"" + s + "\" (expected {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX})");
        if (text) *text = s;
        return g;
    }
    std::vector<uint8_t> Hex(const json &j, const std::string &path) const {
        std::vector<uint8_t> bytes;
        if (!ParseHexBytes(String(j, path), &bytes)) Fail(path, "bad hex bytes");
        return bytes;
    }
    // {"error": N} in place of an answer.
    bool ErrorForm(const json &j, const std::string &path, std::optional<uint32_t> *error) const {
        if (j.is_object() && j.contains("error") && j.size() == 1) {
            *error = Code(j["error"], Member(path, "error"));
            return true;
        }
        return false;
    }

private:
    std::string m_source;
};

const std::pair<const char *, uint32_t> kStatusFlags[] = {
    {"DN_ROOT_ENUMERATED", DN_ROOT_ENUMERATED}, {"DN_DRIVER_LOADED", DN_DRIVER_LOADED},
    {"DN_ENUM_LOADED", DN_ENUM_LOADED},         {"DN_STARTED", DN_STARTED},
    {"DN_MANUAL", DN_MANUAL},                   {"DN_NEED_TO_ENUM", DN_NEED_TO_ENUM},
    {"DN_NOT_FIRST_TIME", DN_NOT_FIRST_TIME},   {"DN_HARDWARE_ENUM", DN_HARDWARE_ENUM},
    {"DN_LIAR", DN_LIAR},                       {"DN_HAS_MARK", DN_HAS_MARK},
    {"DN_HAS_PROBLEM", DN_HAS_PROBLEM},         {"DN_FILTERED", DN_FILTERED},
    {"DN_MOVED", DN_MOVED},                     {"DN_DISABLEABLE", DN_DISABLEABLE},
    {"DN_REMOVABLE", DN_REMOVABLE},             {"DN_PRIVATE_PROBLEM", DN_PRIVATE_PROBLEM},
    {"DN_MF_PARENT", DN_MF_PARENT},             {"DN_MF_CHILD", DN_MF_CHILD},
    {"DN_WILL_BE_REMOVED", DN_WILL_BE_REMOVED}, {"DN_NOT_FIRST_TIMEE", DN_NOT_FIRST_TIMEE},
    {"DN_STOP_FREE_RES", DN_STOP_FREE_RES},     {"DN_REBAL_CANDIDATE", DN_REBAL_CANDIDATE},
    {"DN_BAD_PARTIAL", DN_BAD_PARTIAL},         {"DN_NT_ENUMERATOR", DN_NT_ENUMERATOR},
    {"DN_NT_DRIVER", DN_NT_DRIVER},             {"DN_NEEDS_LOCKING", DN_NEEDS_LOCKING},
    {"DN_ARM_WAKEUP", DN_ARM_WAKEUP},           {"DN_APM_ENUMERATOR", DN_APM_ENUMERATOR},
    {"DN_APM_DRIVER", DN_APM_DRIVER},           {"DN_SILENT_INSTALL", DN_SILENT_INSTALL},
    {"DN_NO_SHOW_IN_DM", DN_NO_SHOW_IN_DM},     {"DN_BOOT_LOG_PROB", DN_BOOT_LOG_PROB},
};

const std::pair<const char *, uint32_t> kProperties[] = {
    {"DeviceDesc", SPDRP_DEVICEDESC},
    {"HardwareIDs", SPDRP_HARDWAREID},
    {"CompatibleIDs", SPDRP_COMPATIBLEIDS},
    {"Service", 4},
    {"Class", 7},
    {"ClassGUID", SPDRP_CLASSGUID},
    {"Driver", SPDRP_DRIVER},
    {"Mfg", SPDRP_MFG},
    {"FriendlyName", SPDRP_FRIENDLYNAME},
    {"LocationInformation", 13},
    {"PhysicalDeviceObjectName", 14},
    {"EnumeratorName", SPDRP_ENUMERATOR_NAME},
};

const char *const kLibraries[] = {"advapi32.dll", "kernel32.dll", "ntdll.dll",   "psapi.dll",
                                  "user32.dll",   "setupapi.dll", "cfgmgr32.dll", "ole32.dll"};

std::string Lower(std::string s) {
    for (char &c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// Open errors: one code for both open paths.  A Win32 error is given to
// CreateFileW and its NTSTATUS to NtCreateFile, and the other way round.
struct CodePair {
    uint32_t win32;
    uint32_t status;
};
const CodePair kOpenCodes[] = {
    {ERROR_FILE_NOT_FOUND, 0xC0000034u}, {ERROR_PATH_NOT_FOUND, 0xC000003Au}, {ERROR_ACCESS_DENIED, 0xC0000022u},
    {ERROR_NOT_READY, 0xC00000A3u},      {32, 0xC0000043u},                   {ERROR_INVALID_FUNCTION, 0xC0000010u},
    {ERROR_GEN_FAILURE, 0xC0000001u},    {ERROR_INVALID_PARAMETER, 0xC000000Du},
};

OpenError OpenErrorFrom(uint32_t code) {
    OpenError e;
    if (code >= 0x80000000u) {
        e.status = code;
        e.win32 = ERROR_GEN_FAILURE;
        for (const CodePair &p : kOpenCodes)
            if (p.status == code) e.win32 = p.win32;
    } else {
        e.win32 = code;
        e.status = 0xC0000001u;
        for (const CodePair &p : kOpenCodes)
            if (p.win32 == code) e.status = p.status;
    }
    return e;
}

struct Parser {
    Reader r;
    Machine &m;
    std::vector<std::string> deviceParents;                          // by device
    std::vector<std::vector<std::optional<std::string>>> ifaceObjects;  // by device, interface
    std::vector<std::optional<std::string>> objectForwards;
    // Folded keys seen so far, first entry wins, so the uniqueness checks and
    // the links cost one look-up each rather than a scan of the file.
    std::unordered_map<WString, size_t> deviceIds;                        // id: device
    std::unordered_map<WString, std::pair<size_t, size_t>> interfacePaths;  // path: device, interface
    std::unordered_map<WString, std::pair<size_t, bool>> objectNames;     // name or alias: object, is the name

    Property ParseProperty(const json &j, const std::string &path) {
        Property p;
        if (j.is_string()) {
            p.type = REG_SZ;
            AppendWide(&p.data, wstr::FromUtf8(j.get<std::string>()), true);
        } else if (j.is_array()) {
            p.type = REG_MULTI_SZ;
            for (size_t i = 0; i < j.size(); ++i) AppendWide(&p.data, r.Wide(j[i], Element(path, i)), true);
            AppendWide(&p.data, WString(), true);
        } else if (j.is_object()) {
            r.Object(j, path, {"type", "value", "bytes"});
            if (!j.contains("type")) r.Fail(Member(path, "type"), "missing");
            p.type = r.U32(j["type"], Member(path, "type"));
            if (j.contains("bytes") == j.contains("value")) r.Fail(path, "give exactly one of \"value\" and \"bytes\"");
            if (j.contains("bytes")) {
                p.data = r.Hex(j["bytes"], Member(path, "bytes"));
            } else {
                const json &v = j["value"];
                std::string vp = Member(path, "value");
                if (v.is_string()) {
                    AppendWide(&p.data, wstr::FromUtf8(v.get<std::string>()), true);
                } else if (v.is_array()) {
                    for (size_t i = 0; i < v.size(); ++i) AppendWide(&p.data, r.Wide(v[i], Element(vp, i)), true);
                    AppendWide(&p.data, WString(), true);
                } else {
                    uint32_t n = r.U32(v, vp);
                    for (int i = 0; i < 4; ++i) p.data.push_back(static_cast<uint8_t>(n >> (8 * i)));
                }
            }
        } else {
            r.Fail(path, "expected a string, an array of strings or {\"type\": N, \"value\": ...}");
        }
        return p;
    }

    void ParseDevice(const json &j, const std::string &path) {
        r.Object(j, path, {"id", "parent", "class", "present", "status", "problem", "status_error", "properties",
                           "interfaces", "comment"});
        Device d;
        if (!j.contains("id")) r.Fail(Member(path, "id"), "missing");
        d.idText = r.String(j["id"], Member(path, "id"));
        if (d.idText.empty()) r.Fail(Member(path, "id"), "empty");
        d.id = wstr::FromUtf8(d.idText);
        if (auto [it, added] = deviceIds.emplace(FoldedKey(d.id), m.devices.size()); !added)
            r.Fail(Member(path, "id"), "duplicate of devices[" + std::to_string(it->second) + "].id");
        std::string parent;
        if (j.contains("parent") && !j["parent"].is_null()) parent = r.String(j["parent"], Member(path, "parent"));
        if (j.contains("class") && !j["class"].is_null()) {
            d.hasClass = true;
            d.cls = r.Guid(j["class"], Member(path, "class"), &d.classText);
        }
        if (j.contains("present")) d.present = r.Bool(j["present"], Member(path, "present"));
        if (j.contains("status")) {
            const json &s = j["status"];
            std::string sp = Member(path, "status");
            if (s.is_array()) {
                d.status = 0;
                for (size_t i = 0; i < s.size(); ++i) {
                    std::string name = r.String(s[i], Element(sp, i));
                    bool found = false;
                    for (const auto &f : kStatusFlags)
                        if (name == f.first) {
                            d.status |= f.second;
                            found = true;
                        }
                    if (!found) r.Fail(Element(sp, i), "unknown status flag \"" + name + "\"");
                }
            } else {
                d.status = r.U32(s, sp);
            }
        }
        if (j.contains("problem")) d.problem = r.U32(j["problem"], Member(path, "problem"));
        if (j.contains("status_error") && !j["status_error"].is_null())
            d.statusError = r.Code(j["status_error"], Member(path, "status_error"));
        if (j.contains("properties")) {
            std::string pp = Member(path, "properties");
            r.Map(j["properties"], pp);
            for (auto it = j["properties"].begin(); it != j["properties"].end(); ++it) {
                uint32_t code = 0xFFFFFFFFu;
                for (const auto &p : kProperties)
                    if (it.key() == p.first) code = p.second;
                if (code == 0xFFFFFFFFu) r.Fail(Member(pp, it.key()), "unknown property");
                d.properties[code] = ParseProperty(it.value(), Member(pp, it.key()));
            }
        }
        if (!d.properties.Has(SPDRP_CLASSGUID) && d.hasClass) {
            Property p;
            AppendWide(&p.data, wstr::FromUtf8(d.classText), true);
            d.properties[SPDRP_CLASSGUID] = p;
        }
        if (!d.properties.Has(SPDRP_ENUMERATOR_NAME)) {
            Property p;
            AppendWide(&p.data, d.id.substr(0, d.id.find(WCHAR('\\'))), true);
            d.properties[SPDRP_ENUMERATOR_NAME] = p;
        }
        std::vector<std::optional<std::string>> objects;
        if (j.contains("interfaces")) {
            std::string ip = Member(path, "interfaces");
            r.Array(j["interfaces"], ip);
            for (size_t i = 0; i < j["interfaces"].size(); ++i) {
                const json &ij = j["interfaces"][i];
                std::string p = Element(ip, i);
                r.Object(ij, p, {"class", "path", "object", "present", "comment"});
                Interface itf;
                if (!ij.contains("class")) r.Fail(Member(p, "class"), "missing");
                itf.cls = r.Guid(ij["class"], Member(p, "class"), &itf.classText);
                if (!ij.contains("path")) r.Fail(Member(p, "path"), "missing");
                itf.path = r.Wide(ij["path"], Member(p, "path"));
                if (itf.path.empty()) r.Fail(Member(p, "path"), "empty");
                auto [seen, added] =
                    interfacePaths.emplace(FoldedKey(itf.path), std::make_pair(m.devices.size(), d.interfaces.size()));
                if (!added && seen->second.first < m.devices.size())
                    r.Fail(Member(p, "path"), "duplicate of devices[" + std::to_string(seen->second.first) +
                                                  "].interfaces[" + std::to_string(seen->second.second) + "].path");
                if (!added) r.Fail(Member(p, "path"), "duplicate path");
                if (ij.contains("present")) itf.present = r.Bool(ij["present"], Member(p, "present"));
                std::optional<std::string> object;
                if (ij.contains("object") && !ij["object"].is_null()) object = r.String(ij["object"], Member(p, "object"));
                objects.push_back(object);
                d.interfaces.push_back(itf);
            }
        }
        ifaceObjects.push_back(objects);
        deviceParents.push_back(parent);
        m.devices.push_back(std::move(d));
    }

    template <typename T, typename F>
    void AnswerKey(const json &j, const std::string &path, const char *key, Answer<T> *answer, F parse) {
        if (!j.contains(key) || j[key].is_null()) return;
        std::string p = Member(path, key);
        answer->given = true;
        if (r.ErrorForm(j[key], p, &answer->error)) return;
        answer->value = parse(j[key], p);
    }

    HubPort ParsePort(const json &j, const std::string &path) {
        r.Object(j, path, {"port", "connected", "device_is_hub", "speed", "address", "configuration", "open_pipes",
                           "descriptor", "driver_key", "languages", "strings", "comment"});
        HubPort port;
        if (!j.contains("port")) r.Fail(Member(path, "port"), "missing");
        port.port = r.Ranged(j["port"], Member(path, "port"), 255);
        if (port.port == 0) r.Fail(Member(path, "port"), "ports are numbered from 1");
        if (j.contains("connected")) port.connected = r.Bool(j["connected"], Member(path, "connected"));
        if (j.contains("device_is_hub")) port.deviceIsHub = r.Bool(j["device_is_hub"], Member(path, "device_is_hub"));
        if (j.contains("speed")) port.speed = static_cast<uint8_t>(r.Ranged(j["speed"], Member(path, "speed"), 255));
        if (j.contains("address"))
            port.address = static_cast<uint16_t>(r.Ranged(j["address"], Member(path, "address"), 0xFFFF));
        if (j.contains("configuration"))
            port.configuration = static_cast<uint8_t>(r.Ranged(j["configuration"], Member(path, "configuration"), 255));
        if (j.contains("open_pipes")) port.openPipes = r.U32(j["open_pipes"], Member(path, "open_pipes"));
        // The 18-byte device descriptor, little-endian as on the wire.
        struct Field {
            const char *name;
            size_t offset;
            size_t size;
            uint32_t def;
        };
        static const Field kFields[] = {
            {"bLength", 0, 1, 18},        {"bDescriptorType", 1, 1, 1}, {"bcdUSB", 2, 2, 0x0200},
            {"bDeviceClass", 4, 1, 0},    {"bDeviceSubClass", 5, 1, 0}, {"bDeviceProtocol", 6, 1, 0},
            {"bMaxPacketSize0", 7, 1, 64}, {"idVendor", 8, 2, 0},        {"idProduct", 10, 2, 0},
            {"bcdDevice", 12, 2, 0x0100}, {"iManufacturer", 14, 1, 0},  {"iProduct", 15, 1, 0},
            {"iSerialNumber", 16, 1, 0},  {"bNumConfigurations", 17, 1, 1},
        };
        port.descriptor.assign(18, 0);
        json desc = j.contains("descriptor") ? j["descriptor"] : json::object();
        std::string dp = Member(path, "descriptor");
        r.Object(desc, dp,
                 {"bLength", "bDescriptorType", "bcdUSB", "bDeviceClass", "bDeviceSubClass", "bDeviceProtocol",
                  "bMaxPacketSize0", "idVendor", "idProduct", "bcdDevice", "iManufacturer", "iProduct",
                  "iSerialNumber", "bNumConfigurations"});
        for (const Field &f : kFields) {
            uint32_t v = f.def;
            if (desc.contains(f.name)) v = r.Ranged(desc[f.name], Member(dp, f.name), f.size == 1 ? 0xFF : 0xFFFF);
            port.descriptor[f.offset] = static_cast<uint8_t>(v);
            if (f.size == 2) port.descriptor[f.offset + 1] = static_cast<uint8_t>(v >> 8);
        }
        if (j.contains("driver_key") && !j["driver_key"].is_null()) {
            std::string kp = Member(path, "driver_key");
            std::optional<uint32_t> error;
            if (r.ErrorForm(j["driver_key"], kp, &error))
                port.driverKeyError = error;
            else
                port.driverKey = r.Wide(j["driver_key"], kp);
        }
        if (j.contains("languages")) {
            std::string lp = Member(path, "languages");
            r.Array(j["languages"], lp);
            for (size_t i = 0; i < j["languages"].size(); ++i)
                port.languages.push_back(static_cast<uint16_t>(r.Ranged(j["languages"][i], Element(lp, i), 0xFFFF)));
        }
        if (j.contains("strings")) {
            std::string sp = Member(path, "strings");
            r.Map(j["strings"], sp);
            for (auto it = j["strings"].begin(); it != j["strings"].end(); ++it) {
                const std::string &k = it.key();
                bool digits = !k.empty() && k.size() <= 3;
                for (char c : k) digits = digits && c >= '0' && c <= '9';
                if (!digits || std::stoul(k) == 0 || std::stoul(k) > 255)
                    r.Fail(Member(sp, k), "string index must be a number from 1 to 255");
                WString text = r.Wide(it.value(), Member(sp, k));
                if (text.size() > 126) r.Fail(Member(sp, k), "longer than a string descriptor holds (126 characters)");
                port.strings[static_cast<uint32_t>(std::stoul(k))] = text;
            }
        }
        return port;
    }

    Hub ParseHub(const json &j, const std::string &path) {
        r.Object(j, path, {"ex_query", "port_count", "bus_powered", "ports"});
        Hub hub;
        if (j.contains("ex_query")) hub.exQuery = r.Bool(j["ex_query"], Member(path, "ex_query"));
        if (j.contains("bus_powered")) hub.busPowered = r.Bool(j["bus_powered"], Member(path, "bus_powered"));
        if (j.contains("port_count")) hub.portCount = r.Ranged(j["port_count"], Member(path, "port_count"), 255);
        if (j.contains("ports")) {
            std::string pp = Member(path, "ports");
            r.Array(j["ports"], pp);
            for (size_t i = 0; i < j["ports"].size(); ++i) {
                HubPort port = ParsePort(j["ports"][i], Element(pp, i));
                for (const HubPort &other : hub.ports)
                    if (other.port == port.port) r.Fail(Member(Element(pp, i), "port"), "duplicate port number");
                hub.ports.push_back(std::move(port));
            }
        }
        return hub;
    }

    void ParseObject(const json &j, const std::string &path) {
        r.Object(j, path, {"name", "aliases", "open_error", "read_only", "forward", "device_number",
                           "storage_descriptor", "media_types", "mountdev_name", "sd_protocol", "sd_cid", "hub",
                           "ioctl", "comment"});
        Object o;
        if (!j.contains("name")) r.Fail(Member(path, "name"), "missing");
        o.nameText = r.String(j["name"], Member(path, "name"));
        if (o.nameText.empty()) r.Fail(Member(path, "name"), "empty");
        o.name = wstr::FromUtf8(o.nameText);
        auto clash = [&](const WString &name, const std::string &where) {
            auto it = objectNames.find(FoldedKey(name));
            if (it == objectNames.end()) return;
            const std::string i = std::to_string(it->second.first);
            if (it->second.second) r.Fail(where, "duplicate of objects[" + i + "].name");
            r.Fail(where, "already an alias of objects[" + i + "]");
        };
        clash(o.name, Member(path, "name"));
        if (j.contains("aliases")) {
            std::string ap = Member(path, "aliases");
            r.Array(j["aliases"], ap);
            for (size_t i = 0; i < j["aliases"].size(); ++i) {
                WString a = r.Wide(j["aliases"][i], Element(ap, i));
                clash(a, Element(ap, i));
                if (EqualNoCase(a, o.name)) r.Fail(Element(ap, i), "same as the object's name");
                o.aliases.push_back(a);
            }
        }
        if (j.contains("open_error") && !j["open_error"].is_null()) {
            const json &e = j["open_error"];
            std::string ep = Member(path, "open_error");
            if (e.is_object()) {
                // Separate codes for the two open paths.
                r.Object(e, ep, {"error", "status"});
                if (!e.contains("error") || !e.contains("status")) r.Fail(ep, "give both \"error\" and \"status\"");
                o.openError = OpenError{r.Code(e["error"], Member(ep, "error")), r.Code(e["status"], Member(ep, "status"))};
            } else {
                o.openError = OpenErrorFrom(r.Code(e, ep));
            }
        }
        if (j.contains("read_only")) o.readOnly = r.Bool(j["read_only"], Member(path, "read_only"));
        std::optional<std::string> forward;
        if (j.contains("forward") && !j["forward"].is_null()) forward = r.String(j["forward"], Member(path, "forward"));
        objectForwards.push_back(forward);

        AnswerKey(j, path, "device_number", &o.deviceNumber, [&](const json &v, const std::string &p) {
            r.Object(v, p, {"type", "number", "partition", "returned"});
            DeviceNumber n;
            if (v.contains("type")) n.type = r.U32(v["type"], Member(p, "type"));
            if (v.contains("number")) n.number = r.U32(v["number"], Member(p, "number"));
            if (v.contains("partition")) n.partition = r.U32(v["partition"], Member(p, "partition"));
            if (v.contains("returned")) n.returned = r.U32(v["returned"], Member(p, "returned"));
            return n;
        });
        AnswerKey(j, path, "storage_descriptor", &o.storageDescriptor, [&](const json &v, const std::string &p) {
            r.Object(v, p, {"vendor", "product", "revision", "serial", "bus_type", "removable", "device_type",
                            "device_type_modifier", "command_queueing"});
            StorageDescriptor s;
            auto text = [&](const char *key, std::optional<std::string> *out) {
                if (v.contains(key) && !v[key].is_null()) *out = r.String(v[key], Member(p, key));
            };
            text("vendor", &s.vendor);
            text("product", &s.product);
            text("revision", &s.revision);
            text("serial", &s.serial);
            if (v.contains("bus_type")) s.busType = r.U32(v["bus_type"], Member(p, "bus_type"));
            if (v.contains("removable")) s.removable = r.Bool(v["removable"], Member(p, "removable"));
            if (v.contains("device_type"))
                s.deviceType = static_cast<uint8_t>(r.Ranged(v["device_type"], Member(p, "device_type"), 255));
            if (v.contains("device_type_modifier"))
                s.deviceTypeModifier =
                    static_cast<uint8_t>(r.Ranged(v["device_type_modifier"], Member(p, "device_type_modifier"), 255));
            if (v.contains("command_queueing"))
                s.commandQueueing = r.Bool(v["command_queueing"], Member(p, "command_queueing"));
            return s;
        });
        AnswerKey(j, path, "media_types", &o.mediaTypes, [&](const json &v, const std::string &p) {
            r.Array(v, p);
            std::vector<MediaType> list;
            for (size_t i = 0; i < v.size(); ++i) {
                const json &e = v[i];
                std::string q = Element(p, i);
                r.Object(e, q, {"media_type", "cylinders", "tracks_per_cylinder", "sectors_per_track",
                                "bytes_per_sector", "sides", "characteristics"});
                MediaType t;
                if (e.contains("media_type")) t.mediaType = r.U32(e["media_type"], Member(q, "media_type"));
                if (e.contains("cylinders")) t.cylinders = r.I64(e["cylinders"], Member(q, "cylinders"));
                if (e.contains("tracks_per_cylinder"))
                    t.tracksPerCylinder = r.U32(e["tracks_per_cylinder"], Member(q, "tracks_per_cylinder"));
                if (e.contains("sectors_per_track"))
                    t.sectorsPerTrack = r.U32(e["sectors_per_track"], Member(q, "sectors_per_track"));
                if (e.contains("bytes_per_sector"))
                    t.bytesPerSector = r.U32(e["bytes_per_sector"], Member(q, "bytes_per_sector"));
                if (e.contains("sides")) t.sides = r.U32(e["sides"], Member(q, "sides"));
                if (e.contains("characteristics"))
                    t.characteristics = r.U32(e["characteristics"], Member(q, "characteristics"));
                list.push_back(t);
            }
            return list;
        });
        AnswerKey(j, path, "mountdev_name", &o.mountdevName, [&](const json &v, const std::string &p) {
            WString name = r.Wide(v, p);
            if (name.size() > 32000) r.Fail(p, "too long");
            return name;
        });
        AnswerKey(j, path, "sd_protocol", &o.sdProtocol, [&](const json &v, const std::string &p) { return r.Guid(v, p); });
        AnswerKey(j, path, "sd_cid", &o.sdCid, [&](const json &v, const std::string &p) {
            std::vector<uint8_t> cid = r.Hex(v, p);
            if (cid.size() != 16) r.Fail(p, "a CID is 32 hex digits (16 bytes)");
            return cid;
        });
        AnswerKey(j, path, "hub", &o.hub, [&](const json &v, const std::string &p) { return ParseHub(v, p); });
        if (j.contains("ioctl")) {
            std::string ip = Member(path, "ioctl");
            r.Map(j["ioctl"], ip);
            for (auto it = j["ioctl"].begin(); it != j["ioctl"].end(); ++it) {
                std::string kp = Member(ip, it.key());
                uint32_t code = 0;
                if (!ParseHexNumber(it.key(), &code)) r.Fail(kp, "control code must be hex text such as \"0x2D1400\"");
                const json &v = it.value();
                r.Object(v, kp, {"bytes", "returned", "error"});
                RawAnswer a;
                if (v.contains("bytes")) {
                    a.hasBytes = true;
                    a.bytes = r.Hex(v["bytes"], Member(kp, "bytes"));
                }
                if (v.contains("returned")) a.returned = r.U32(v["returned"], Member(kp, "returned"));
                if (v.contains("error")) a.error = r.Code(v["error"], Member(kp, "error"));
                if (!a.hasBytes && !a.error) r.Fail(kp, "give \"bytes\", \"error\" or both");
                o.ioctl[code] = a;
            }
        }
        objectNames.emplace(FoldedKey(o.name), std::make_pair(m.objects.size(), true));
        for (const WString &a : o.aliases) objectNames.emplace(FoldedKey(a), std::make_pair(m.objects.size(), false));
        m.objects.push_back(std::move(o));
    }

    void ParseTop(const json &j) {
        r.Object(j, "", {"description", "windows_directory", "windows_directory_error", "environment", "libraries",
                         "dos_devices", "volumes", "class_errors", "devices", "objects"});
        if (j.contains("description")) r.String(j["description"], "description");
        if (j.contains("windows_directory")) {
            if (j["windows_directory"].is_null())
                m.windowsDirectory.reset();
            else
                m.windowsDirectory = r.Wide(j["windows_directory"], "windows_directory");
        }
        if (j.contains("windows_directory_error"))
            m.windowsDirectoryError = r.Code(j["windows_directory_error"], "windows_directory_error");
        if (j.contains("environment")) {
            r.Map(j["environment"], "environment");
            m.environment.clear();
            for (auto it = j["environment"].begin(); it != j["environment"].end(); ++it) {
                WString name = wstr::FromUtf8(it.key());
                for (const auto &e : m.environment)
                    if (EqualNoCase(e.first, name)) r.Fail(Member("environment", it.key()), "duplicate variable");
                m.environment.emplace_back(name, r.Wide(it.value(), Member("environment", it.key())));
            }
        }
        if (j.contains("libraries")) {
            r.Map(j["libraries"], "libraries");
            for (auto it = j["libraries"].begin(); it != j["libraries"].end(); ++it) {
                std::string lp = Member("libraries", it.key());
                std::string name = Lower(it.key());
                bool known = false;
                for (const char *l : kLibraries) known = known || name == l;
                if (!known) r.Fail(lp, "unknown library");
                if (m.libraries.count(name)) r.Fail(lp, "duplicate library");
                LibraryModel lib;
                const json &v = it.value();
                if (v.is_string()) {
                    if (v.get<std::string>() != "missing") r.Fail(lp, "expected \"missing\" or {\"missing_exports\": [...]}");
                    lib.missing = true;
                } else {
                    r.Object(v, lp, {"missing_exports"});
                    std::string ep = Member(lp, "missing_exports");
                    if (v.contains("missing_exports")) {
                        r.Array(v["missing_exports"], ep);
                        for (size_t i = 0; i < v["missing_exports"].size(); ++i) {
                            std::string e = r.String(v["missing_exports"][i], Element(ep, i));
                            if (name != "ole32.dll" && LookupExport(name, e.c_str()) == nullptr)
                                r.Fail(Element(ep, i), "\"" + e + "\" is not an export of " + name);
                            lib.missingExports.insert(e);
                        }
                    }
                }
                m.libraries[name] = lib;
            }
        }
        if (j.contains("dos_devices")) {
            r.Map(j["dos_devices"], "dos_devices");
            for (auto it = j["dos_devices"].begin(); it != j["dos_devices"].end(); ++it) {
                WString drive = wstr::FromUtf8(it.key());
                for (const auto &d : m.dosDevices)
                    if (EqualNoCase(d.first, drive)) r.Fail(Member("dos_devices", it.key()), "duplicate drive");
                m.dosDevices.emplace_back(drive, r.Wide(it.value(), Member("dos_devices", it.key())));
            }
        }
        if (j.contains("volumes")) {
            r.Map(j["volumes"], "volumes");
            for (auto it = j["volumes"].begin(); it != j["volumes"].end(); ++it) {
                std::string vp = Member("volumes", it.key());
                WString drive = wstr::FromUtf8(it.key());
                for (const auto &d : m.volumes)
                    if (EqualNoCase(d.first, drive)) r.Fail(vp, "duplicate drive");
                Volume vol;
                const json &v = it.value();
                if (!r.ErrorForm(v, vp, &vol.error)) {
                    r.Object(v, vp, {"label", "serial", "file_system", "max_component_length", "flags"});
                    if (v.contains("label")) vol.label = r.Wide(v["label"], Member(vp, "label"));
                    if (v.contains("serial")) {
                        std::string s = r.String(v["serial"], Member(vp, "serial"));
                        uint32_t serial = 0;
                        if (s.size() != 8 || !ParseHexNumber("0x" + s, &serial))
                            r.Fail(Member(vp, "serial"), "expected 8 hex digits such as \"1A2B3C4D\"");
                        vol.serial = serial;
                    }
                    if (v.contains("file_system")) vol.fileSystem = r.Wide(v["file_system"], Member(vp, "file_system"));
                    if (v.contains("max_component_length"))
                        vol.maxComponentLength = r.U32(v["max_component_length"], Member(vp, "max_component_length"));
                    if (v.contains("flags")) vol.fileSystemFlags = r.U32(v["flags"], Member(vp, "flags"));
                }
                m.volumes.emplace_back(drive, vol);
            }
        }
        if (j.contains("class_errors")) {
            r.Map(j["class_errors"], "class_errors");
            for (auto it = j["class_errors"].begin(); it != j["class_errors"].end(); ++it) {
                std::string cp = Member("class_errors", it.key());
                GUID g{};
                if (!ParseGuidText(it.key(), &g)) r.Fail(cp, "bad GUID");
                for (const auto &e : m.classErrors)
                    if (e.first == g) r.Fail(cp, "duplicate GUID");
                m.classErrors.emplace_back(g, r.Code(it.value(), cp));
            }
        }
        if (j.contains("objects")) {
            r.Array(j["objects"], "objects");
            for (size_t i = 0; i < j["objects"].size(); ++i) ParseObject(j["objects"][i], Element("objects", i));
        }
        if (j.contains("devices")) {
            r.Array(j["devices"], "devices");
            for (size_t i = 0; i < j["devices"].size(); ++i) ParseDevice(j["devices"][i], Element("devices", i));
        }
        Link();
    }

    // Resolves the references between entries, now that all are read.
    void Link() {
        for (size_t i = 0; i < m.devices.size(); ++i) {
            const std::string &parent = deviceParents[i];
            std::string p = Member(Element("devices", i), "parent");
            if (!parent.empty()) {
                int index = FindDeviceIn(wstr::FromUtf8(parent));
                if (index < 0) r.Fail(p, "no device has the id \"" + parent + "\"");
                if (static_cast<size_t>(index) == i) r.Fail(p, "a device cannot be its own parent");
                m.devices[i].parent = index;
            }
            for (size_t k = 0; k < ifaceObjects[i].size(); ++k) {
                if (!ifaceObjects[i][k]) continue;
                std::string op = Member(Element(Member(Element("devices", i), "interfaces"), k), "object");
                int index = FindObjectIn(wstr::FromUtf8(*ifaceObjects[i][k]));
                if (index < 0) r.Fail(op, "no object is named \"" + *ifaceObjects[i][k] + "\"");
                m.devices[i].interfaces[k].object = index;
            }
        }
        for (size_t i = 0; i < m.devices.size(); ++i) {
            int at = m.devices[i].parent;
            // A chain that runs longer than the list without coming back
            // only leads into a loop; a device on that loop is named instead.
            for (size_t steps = 0; at >= 0 && steps <= m.devices.size(); ++steps) {
                if (static_cast<size_t>(at) == i)
                    r.Fail(Member(Element("devices", i), "parent"), "the parent chain loops back to this device");
                at = m.devices[static_cast<size_t>(at)].parent;
            }
        }
        for (size_t i = 0; i < m.objects.size(); ++i) {
            if (!objectForwards[i]) continue;
            std::string p = Member(Element("objects", i), "forward");
            int index = FindObjectIn(wstr::FromUtf8(*objectForwards[i]));
            if (index < 0) r.Fail(p, "no object is named \"" + *objectForwards[i] + "\"");
            m.objects[i].forward = index;
        }
        for (size_t i = 0; i < m.objects.size(); ++i) {
            int at = m.objects[i].forward;
            for (size_t steps = 0; at >= 0; ++steps) {
                if (steps > m.objects.size() || static_cast<size_t>(at) == i)
                    r.Fail(Member(Element("objects", i), "forward"), "the forward chain loops back to this object");
                at = m.objects[static_cast<size_t>(at)].forward;
            }
        }
    }

    int FindDeviceIn(const WString &id) const {
        auto it = deviceIds.find(FoldedKey(id));
        return it == deviceIds.end() ? -1 : static_cast<int>(it->second);
    }
    int FindObjectIn(const WString &name) const {  // by name, not alias
        auto it = objectNames.find(FoldedKey(name));
        return it == objectNames.end() || !it->second.second ? -1 : static_cast<int>(it->second.first);
    }
};

// Finds the first key that appears twice in one object, with its path; the
// JSON library itself keeps the last silently.
class DuplicateFinder {
public:
    bool operator()(int, json::parse_event_t event, json &parsed) {
        switch (event) {
        case json::parse_event_t::object_start:
        case json::parse_event_t::array_start:
            CountElement();
            m_stack.push_back(Frame{event == json::parse_event_t::array_start, 0, {}, {}});
            break;
        case json::parse_event_t::object_end:
        case json::parse_event_t::array_end:
            if (!m_stack.empty()) m_stack.pop_back();
            break;
        case json::parse_event_t::key:
            if (!m_stack.empty() && parsed.is_string()) {
                Frame &top = m_stack.back();
                top.key = parsed.get<std::string>();
                if (!top.keys.insert(top.key).second && m_duplicate.empty()) m_duplicate = Path();
            }
            break;
        case json::parse_event_t::value:
            CountElement();
            break;
        }
        return true;
    }
    const std::string &Duplicate() const { return m_duplicate; }

private:
    struct Frame {
        bool array;
        size_t count;
        std::set<std::string> keys;
        std::string key;
    };
    void CountElement() {
        if (!m_stack.empty() && m_stack.back().array) ++m_stack.back().count;
    }
    std::string Path() const {
        std::string path;
        for (const Frame &f : m_stack) {
            if (f.array)
                path = Element(path, f.count == 0 ? 0 : f.count - 1);
            else
                path = Member(path, f.key);
        }
        return path;
    }
    std::vector<Frame> m_stack;
    std::string m_duplicate;
};

}  // namespace

std::unique_ptr<Machine> ParseMachine(std::string_view text, const std::string &source) {
    json j;
    DuplicateFinder duplicates;
    try {
        j = json::parse(text.begin(), text.end(), std::ref(duplicates));
    } catch (const json::exception &e) {
        std::string what = e.what();
        // Drop the library's "[json.exception...] " prefix.
        size_t close = what.find("] ");
        if (what.rfind("[json.exception", 0) == 0 && close != std::string::npos) what = what.substr(close + 2);
        Fail(source, "", "not valid JSON: " + what);
    }
    if (!duplicates.Duplicate().empty()) Fail(source, duplicates.Duplicate(), "duplicate key");
    auto machine = std::make_unique<Machine>();
    Parser parser{Reader(source), *machine, {}, {}, {}, {}, {}, {}};
    try {
        parser.ParseTop(j);
    } catch (const json::exception &e) {
        Fail(source, "", std::string("unreadable machine: ") + e.what());
    }
    return machine;
}

}  // namespace sim
