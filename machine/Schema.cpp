// The JSON Schema of machine files, from the format's description
// (Format.cpp): what editors check files against.
#include <cctype>
#include <cstdint>

#include "machine/File.h"
#include "machine/Json.h"

namespace machine {

namespace {

const char *const kHexPattern = "^ *([0-9A-Fa-f] *[0-9A-Fa-f] *)*$";
const char *const kGuidPattern = "^\\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\\}$";
const char *const kCodePattern = "^0[xX][0-9A-Fa-f]{1,8}$";

// Handle values: nonzero multiples of 4, as a number or as hex text.
const char *const kHandlePattern = "^0[xX](?!0*$)[0-9A-Fa-f]{0,7}[048Cc]$";
// "1" to "255", leading zeros allowed, at most three digits.
const char *const kStringIndexPattern = "^(?=[0-9]{1,3}$)0*([1-9][0-9]?|1[0-9][0-9]|2[0-4][0-9]|25[0-5])$";

// What the reader checks that JSON Schema cannot say, in the descriptions of
// the keys concerned: an editor shows it, and the tests list it.
const char *const kDigitsOnly = "; written in plain digits (1e3 and 1.0 are refused, which this schema cannot tell)";
const char *const kUnitsNote = "; the limit counts UTF-16 units, this schema characters";

bool IsNumeric(Kind kind) {
    return kind == Kind::Number || kind == Kind::NumberList || kind == Kind::Int64 || kind == Kind::Code ||
           kind == Kind::CodeList || kind == Kind::CodeMap || kind == Kind::Status || kind == Kind::OpenError;
}

ordered_json Ref(const char *name) { return ordered_json{{"$ref", std::string("#/$defs/") + name}}; }

// A name matched without regard to case, as the reader folds library names.
std::string Caseless(const char *name) {
    std::string pattern;
    for (const char *c = name; *c != 0; ++c) {
        if (std::isalpha(static_cast<unsigned char>(*c)))
            pattern += std::string("[") + static_cast<char>(std::toupper(*c)) + static_cast<char>(std::tolower(*c)) + "]";
        else if (*c == '.')
            pattern += "\\.";
        else
            pattern += *c;
    }
    return pattern;
}

std::string LibraryPattern() {
    // Appended piece by piece: GCC 12 warns falsely on "literal" + temporary.
    std::string pattern = "^(";
    for (const char *name : format::kLibraryNames) {
        if (pattern.size() > 2) pattern += '|';
        pattern += Caseless(name);
    }
    return pattern += ")$";
}

ordered_json Text(const Field &f) {
    ordered_json s{{"type", "string"}};
    if (f.nonEmpty) s["minLength"] = 1;
    if (f.maxLength != 0) s["maxLength"] = f.maxLength;
    return s;
}

ordered_json StringMap(const ordered_json &values, format::KeyRule keys) {
    ordered_json s{{"type", "object"}, {"additionalProperties", values}};
    if (keys == format::KeyRule::Guid) s["propertyNames"] = {{"pattern", kGuidPattern}};
    if (keys == format::KeyRule::HexCode) s["propertyNames"] = {{"pattern", kCodePattern}};
    if (keys == format::KeyRule::StringIndex) s["propertyNames"] = {{"pattern", kStringIndexPattern}};
    if (keys == format::KeyRule::Library) s["propertyNames"] = {{"pattern", LibraryPattern()}};
    return s;
}

ordered_json ValueSchema(const Field &f) {
    const ordered_json number{{"type", "integer"}, {"minimum", f.min}, {"maximum", f.max}};
    const ordered_json handle{{"anyOf", {{{"type", "integer"}, {"minimum", 4}, {"maximum", 0xFFFFFFFCu}, {"multipleOf", 4}},
                                         {{"type", "string"}, {"pattern", kHandlePattern}}}}};
    switch (f.kind) {
    case Kind::Text: return Text(f);
    case Kind::TextOrNull: return {{"type", {"string", "null"}}};
    case Kind::Bool: return {{"type", "boolean"}};
    case Kind::Number: return number;
    case Kind::Code: return Ref("code");
    case Kind::Int64: return {{"type", "integer"}, {"minimum", INT64_MIN}, {"maximum", INT64_MAX}};
    case Kind::Guid: return Ref("guid");
    case Kind::HexBytes: return Ref("hex");
    case Kind::HexDigits: return {{"type", "string"}, {"pattern", f.pattern}};
    case Kind::Entry: return Ref(f.entry->name);
    case Kind::EntryList: return {{"type", "array"}, {"items", Ref(f.entry->name)}};
    case Kind::TextList: return {{"type", "array"}, {"items", {{"type", "string"}}}};
    case Kind::NumberList: return {{"type", "array"}, {"items", number}};
    case Kind::CodeList: return {{"type", "array"}, {"items", handle}};
    case Kind::TextMap: return StringMap(Text(f), f.keys);
    case Kind::EntryMap: return StringMap({{"anyOf", {Ref(f.entry->name), Ref("error_answer")}}}, f.keys);
    case Kind::CodeMap: return StringMap(Ref("code"), f.keys);
    case Kind::TextListMap: return StringMap({{"type", "array"}, {"items", {{"type", "string"}}}}, f.keys);
    case Kind::Status: return Ref(key::kStatus);
    case Kind::Property: return Ref("property");
    case Kind::OpenError: return Ref(key::kOpenError);
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
    if (IsNumeric(f.kind)) meaning += kDigitsOnly;
    if (f.maxLength != 0) meaning += kUnitsNote;
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
    if (&e == &format::kRawAnswer) s["anyOf"] = {{{"required", {key::kBytes}}}, {{"required", {key::kError}}}};
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
                          {"properties", {{key::kError, Ref("code")}}}, {"required", {key::kError}}, {"additionalProperties", false}}},
        {key::kStatus, {{"anyOf", {{{"type", "array"}, {"items", {{"enum", flags}}}}, {{"type", "integer"}, {"minimum", 0}, {"maximum", 4294967295u}}}}}},
        {"property", {{"anyOf", {{{"type", "string"}}, strings,
                                 {{"type", "object"}, {"additionalProperties", false}, {"required", {"type"}},
                                  {"properties", {{key::kType, {{"type", "integer"}, {"minimum", 0}, {"maximum", 4294967295u}, {"description", "the registry type"}}},
                                                  {key::kValue, {{"description", "text, a list of texts or a number (4 bytes)"},
                                                             {"anyOf", {{{"type", "string"}}, strings, {{"type", "integer"}, {"minimum", 0}, {"maximum", 4294967295u}}}}}},
                                                  {key::kBytes, {{"$ref", "#/$defs/hex"}, {"description", "the raw bytes"}}}}},
                                  {"oneOf", {{{"required", {key::kValue}}}, {{"required", {key::kBytes}}}}}}}}}},
        {key::kOpenError, {{"anyOf", {Ref("code"), {{"type", "object"}, {"additionalProperties", false}, {"required", {key::kError, key::kStatus}},
                                                 {"properties", {{key::kError, {{"$ref", "#/$defs/code"}, {"description", "what CreateFileW fails with"}}},
                                                                 {key::kStatus, {{"$ref", "#/$defs/code"}, {"description", "what NtCreateFile fails with"}}}}}}}}}},
        {"library", {{"anyOf", {{{"const", format::kMissingLibrary}},
                                {{"type", "object"}, {"additionalProperties", false},
                                 {"properties", {{key::kMissingExports, {{"type", "array"}, {"items", {{"type", "string"}}}, {"description", "exports GetProcAddress does not find"}}}}}}}}}},
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
