// Writing machine files in their canonical form, and the JSON Schema, both
// from the format's description (MachineFormat.cpp).
#include <algorithm>
#include <cstdio>

#include "sim/MachineFile.h"
#include "sim/MachineJson.h"
#include "sim/Model.h"

namespace sim {

using format::Entry;
using format::Field;
using format::Kind;
using nlohmann::ordered_json;

namespace {

std::string HexText(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
    return text;
}

// A value the reader has accepted as a code.
uint32_t CodeValue(const json &v) {
    uint32_t code = 0;
    if (v.is_string()) ParseHexNumber(v.get<std::string>(), &code);
    return v.is_string() ? code : v.get<uint32_t>();
}

std::string HexBytesText(const json &v, bool grouped) {
    std::vector<uint8_t> bytes;
    ParseHexBytes(v.get<std::string>(), &bytes);
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (grouped && i != 0 && i % 4 == 0) text.push_back(' ');
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
        text += pair;
    }
    return text;
}

ordered_json Copy(const json &v) { return ordered_json::parse(v.dump()); }

ordered_json StatusValue(const json &v) {
    uint32_t status = 0;
    if (!v.is_array()) {
        status = v.get<uint32_t>();
    } else {
        for (const json &name : v)
            for (const format::Flag &f : format::kStatusFlags)
                if (name.get<std::string>() == f.name) status |= f.value;
    }
    ordered_json names = ordered_json::array();
    uint32_t named = 0;
    for (const format::Flag &f : format::kStatusFlags)
        if ((status & f.value) != 0 && (named & f.value) == 0) {
            names.push_back(f.name);
            named |= f.value;
        }
    return named == status ? names : ordered_json(status);
}

ordered_json PropertyValue(const json &v) {
    if (!v.is_object()) return Copy(v);
    const uint32_t type = v["type"].get<uint32_t>();
    if (v.contains("value")) {
        const json &value = v["value"];
        if ((type == REG_SZ && value.is_string()) || (type == REG_MULTI_SZ && value.is_array())) return Copy(value);
        return ordered_json{{"type", type}, {"value", Copy(value)}};
    }
    return ordered_json{{"type", type}, {"bytes", HexBytesText(v["bytes"], true)}};
}

ordered_json WriteEntry(const json &j, const Entry &entry);

ordered_json CodeMapValue(const json &v) {
    ordered_json out = ordered_json::object();
    for (auto it = v.begin(); it != v.end(); ++it) out[it.key()] = HexText(CodeValue(*it));
    return out;
}

ordered_json IoctlValue(const json &v, const Entry &answer) {
    std::vector<std::pair<uint32_t, const json *>> codes;
    for (auto it = v.begin(); it != v.end(); ++it) {
        uint32_t code = 0;
        ParseHexNumber(it.key(), &code);
        codes.emplace_back(code, &*it);
    }
    std::sort(codes.begin(), codes.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    ordered_json out = ordered_json::object();
    for (const auto &[code, value] : codes) {
        if (!value->is_array()) {
            out[HexText(code)] = WriteEntry(*value, answer);
            continue;
        }
        ordered_json list = ordered_json::array();
        for (const json &a : *value) list.push_back(WriteEntry(a, answer));
        out[HexText(code)] = list;
    }
    return out;
}

ordered_json WriteValue(const json &v, const Field &f) {
    if (f.orError && v.is_object() && v.size() == 1 && v.contains("error"))
        return ordered_json{{"error", HexText(CodeValue(v["error"]))}};
    switch (f.kind) {
    case Kind::Code:
        return HexText(CodeValue(v));
    case Kind::HexBytes:
        return HexBytesText(v, true);
    case Kind::HexDigits:
        return HexBytesText(v, false);
    case Kind::Entry:
        return WriteEntry(v, *f.entry);
    case Kind::EntryList: {
        ordered_json out = ordered_json::array();
        for (const json &e : v) out.push_back(WriteEntry(e, *f.entry));
        return out;
    }
    case Kind::CodeList: {
        ordered_json out = ordered_json::array();
        for (const json &e : v) out.push_back(HexText(CodeValue(e)));
        return out;
    }
    case Kind::EntryMap: {
        ordered_json out = ordered_json::object();
        for (auto it = v.begin(); it != v.end(); ++it) out[it.key()] = WriteValue(*it, Field{.key = "", .kind = Kind::Entry, .def = nullptr, .meaning = "", .entry = f.entry, .orError = f.orError});
        return out;
    }
    case Kind::CodeMap:
        return CodeMapValue(v);
    case Kind::Status:
        return StatusValue(v);
    case Kind::Property:
        return PropertyValue(v);
    case Kind::OpenError:
        if (v.is_object()) return ordered_json{{"error", HexText(CodeValue(v["error"]))}, {"status", HexText(CodeValue(v["status"]))}};
        return HexText(CodeValue(v));
    case Kind::Ioctl:
        return IoctlValue(v, *f.entry);
    default:
        return Copy(v);
    }
}

// Properties the registry derives when the file leaves them out.
void DropDerivedProperties(const json &device, ordered_json *out) {
    auto props = out->find("properties");
    if (props == out->end()) return;
    auto classGuid = props->find("ClassGUID");
    if (classGuid != props->end() && device.contains("class") && *classGuid == Copy(device["class"])) props->erase(classGuid);
    const std::string id = device["id"].get<std::string>();
    auto enumerator = props->find("EnumeratorName");
    if (enumerator != props->end() && *enumerator == ordered_json(id.substr(0, id.find('\\')))) props->erase(enumerator);
    if (props->empty()) out->erase(props);
}

ordered_json WriteEntry(const json &j, const Entry &entry) {
    ordered_json out = ordered_json::object();
    for (const Field &f : entry.fields) {
        auto it = j.find(f.key);
        if (it == j.end() || (it->is_null() && f.def == nullptr)) continue;
        ordered_json value = WriteValue(*it, f);
        if (f.def != nullptr && value == WriteValue(DefaultOf(f), f)) continue;
        out[f.key] = std::move(value);
    }
    if (&entry == &format::kDevice) DropDerivedProperties(j, &out);
    return out;
}

// ---- The schema ----------------------------------------------------------------

const char *const kHexPattern = "^ *([0-9A-Fa-f] *[0-9A-Fa-f] *)*$";
const char *const kGuidPattern = "^\\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\\}$";
const char *const kCodePattern = "^0[xX][0-9A-Fa-f]{1,8}$";

ordered_json Ref(const char *name) { return ordered_json{{"$ref", std::string("#/$defs/") + name}}; }

ordered_json StringMap(const ordered_json &values, format::KeyRule keys) {
    ordered_json s{{"type", "object"}, {"additionalProperties", values}};
    if (keys == format::KeyRule::Guid) s["propertyNames"] = {{"pattern", kGuidPattern}};
    if (keys == format::KeyRule::HexCode) s["propertyNames"] = {{"pattern", kCodePattern}};
    if (keys == format::KeyRule::StringIndex) s["propertyNames"] = {{"pattern", "^(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9][0-9]?)$"}};
    return s;
}

ordered_json ValueSchema(const Field &f) {
    const ordered_json number{{"type", "integer"}, {"minimum", 0}, {"maximum", f.max}};
    switch (f.kind) {
    case Kind::Text: return {{"type", "string"}};
    case Kind::TextOrNull: return {{"type", {"string", "null"}}};
    case Kind::Bool: return {{"type", "boolean"}};
    case Kind::Number: return number;
    case Kind::Code: return Ref("code");
    case Kind::Int64: return {{"type", "integer"}};
    case Kind::Guid: return Ref("guid");
    case Kind::HexBytes:
    case Kind::HexDigits: return Ref("hex");
    case Kind::Entry: return Ref(f.entry->name);
    case Kind::EntryList: return {{"type", "array"}, {"items", Ref(f.entry->name)}};
    case Kind::TextList: return {{"type", "array"}, {"items", {{"type", "string"}}}};
    case Kind::NumberList: return {{"type", "array"}, {"items", number}};
    case Kind::CodeList: return {{"type", "array"}, {"items", Ref("code")}};
    case Kind::TextMap: return StringMap({{"type", "string"}}, f.keys);
    case Kind::EntryMap: return StringMap({{"anyOf", {Ref(f.entry->name), Ref("error_answer")}}}, f.keys);
    case Kind::CodeMap: return StringMap(Ref("code"), f.keys);
    case Kind::TextListMap: return StringMap({{"type", "array"}, {"items", {{"type", "string"}}}}, f.keys);
    case Kind::Status: return Ref("status");
    case Kind::Property: return Ref("property");
    case Kind::OpenError: return Ref("open_error");
    case Kind::LibraryMap: return StringMap(Ref("library"), f.keys);
    case Kind::Ioctl:
        return StringMap({{"anyOf", {Ref(f.entry->name), {{"type", "array"}, {"items", Ref(f.entry->name)}}}}}, f.keys);
    }
    return {};
}

ordered_json FieldSchema(const Field &f) {
    ordered_json s = ValueSchema(f);
    if (f.orError) s = ordered_json{{"anyOf", {s, Ref("error_answer")}}};
    if (f.def == nullptr && !f.required) s = ordered_json{{"anyOf", {s, {{"type", "null"}}}}};
    std::string meaning = f.meaning;
    if (f.def != nullptr) meaning += " (default " + std::string(f.def) + ")";
    s["description"] = meaning;
    return s;
}

ordered_json EntrySchema(const Entry &e) {
    ordered_json properties = ordered_json::object();
    ordered_json required = ordered_json::array();
    for (const Field &f : e.fields) {
        properties[f.key] = FieldSchema(f);
        if (f.required) required.push_back(f.key);
    }
    ordered_json s{{"type", "object"}, {"description", e.meaning}, {"properties", properties}, {"additionalProperties", false}};
    if (!required.empty()) s["required"] = required;
    if (&e == &format::kRawAnswer) s["anyOf"] = {{{"required", {"bytes"}}}, {{"required", {"error"}}}};
    return s;
}

ordered_json CommonDefinitions() {
    ordered_json flags = ordered_json::array();
    for (const format::Flag &f : format::kStatusFlags) flags.push_back(f.name);
    const ordered_json strings{{"type", "array"}, {"items", {{"type", "string"}}}};
    return {
        {"code", {{"description", "a number, or hex text such as \"0xC0000034\""},
                  {"anyOf", {{{"type", "integer"}, {"minimum", 0}, {"maximum", 4294967295u}}, {{"type", "string"}, {"pattern", kCodePattern}}}}}},
        {"guid", {{"type", "string"}, {"pattern", kGuidPattern}}},
        {"hex", {{"type", "string"}, {"pattern", kHexPattern}, {"description", "hex digits in pairs, blanks allowed"}}},
        {"error_answer", {{"type", "object"}, {"description", "the request fails with this error"},
                          {"properties", {{"error", Ref("code")}}}, {"required", {"error"}}, {"additionalProperties", false}}},
        {"status", {{"anyOf", {{{"type", "array"}, {"items", {{"enum", flags}}}}, {{"type", "integer"}, {"minimum", 0}, {"maximum", 4294967295u}}}}}},
        {"property", {{"anyOf", {{{"type", "string"}}, strings,
                                 {{"type", "object"}, {"additionalProperties", false}, {"required", {"type"}},
                                  {"properties", {{"type", {{"type", "integer"}, {"minimum", 0}, {"maximum", 4294967295u}, {"description", "the registry type"}}},
                                                  {"value", {{"description", "text, a list of texts or a number (4 bytes)"},
                                                             {"anyOf", {{{"type", "string"}}, strings, {{"type", "integer"}, {"minimum", 0}, {"maximum", 4294967295u}}}}}},
                                                  {"bytes", {{"$ref", "#/$defs/hex"}, {"description", "the raw bytes"}}}}},
                                  {"oneOf", {{{"required", {"value"}}}, {{"required", {"bytes"}}}}}}}}}},
        {"open_error", {{"anyOf", {Ref("code"), {{"type", "object"}, {"additionalProperties", false}, {"required", {"error", "status"}},
                                                 {"properties", {{"error", {{"$ref", "#/$defs/code"}, {"description", "what CreateFileW fails with"}}},
                                                                 {"status", {{"$ref", "#/$defs/code"}, {"description", "what NtCreateFile fails with"}}}}}}}}}},
        {"library", {{"anyOf", {{{"const", "missing"}},
                                {{"type", "object"}, {"additionalProperties", false},
                                 {"properties", {{"missing_exports", {{"type", "array"}, {"items", {{"type", "string"}}}, {"description", "exports GetProcAddress does not find"}}}}}}}}}},
    };
}

}  // namespace

std::string NormaliseMachine(std::string_view text, const std::string &source) {
    ParseMachine(text, source);  // the checks
    return WriteEntry(ParseMachineJson(text, source), format::kMachine).dump(2) + "\n";
}

std::string MachineSchema() {
    ordered_json schema = EntrySchema(format::kMachine);
    ordered_json top{{"$schema", "https://json-schema.org/draft/2020-12/schema"},
                     {"$id", "machine.schema.json"},
                     {"title", "enumerate-tarsel machine file"}};
    top.update(schema);
    ordered_json defs = CommonDefinitions();
    for (const Entry *e : {&format::kDevice, &format::kInterface, &format::kProperties, &format::kObject, &format::kVolume,
                           &format::kHub, &format::kPort, &format::kDescriptor, &format::kDeviceNumber,
                           &format::kStorageDescriptor, &format::kMediaType, &format::kRawAnswer})
        defs[e->name] = EntrySchema(*e);
    top["$defs"] = defs;
    return top.dump(2) + "\n";
}

}  // namespace sim
