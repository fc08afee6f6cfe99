// The JSON Schema of machine files, from the format's description
// (Format.cpp): what editors check files against.
#include "machine/File.h"
#include "machine/Json.h"

namespace machine {

namespace {

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

std::string MachineSchema() {
    ordered_json schema = EntrySchema(format::kMachine);
    ordered_json top{{"$schema", "https://json-schema.org/draft/2020-12/schema"},
                     {"$id", "machine.schema.json"},
                     {"title", "enumerate-tarsel machine file"}};
    top.update(schema);
    ordered_json defs = CommonDefinitions();
    for (const Entry *e : {&format::kDevice, &format::kInterface, &format::kProperties, &format::kObject, &format::kVolume,
                           &format::kHub, &format::kPort, &format::kDescriptor, &format::kDeviceNumber,
                           &format::kStorageDescriptor, &format::kMediaType, &format::kRawAnswer,
                           &format::kCapturedBy, &format::kWindowsVersion})
        defs[e->name] = EntrySchema(*e);
    top["$defs"] = defs;
    return top.dump(2) + "\n";
}

}  // namespace machine
