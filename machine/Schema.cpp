// The JSON Schema of machine files, from the format's description
// (Format.cpp): what editors check files against.  Each value is described by
// its kind's codec (Codecs.cpp); here are the entries and what the reader
// checks that a schema cannot say.
#include <cstdint>

#include "machine/Codecs.h"
#include "machine/File.h"
#include "machine/Json.h"

namespace machine {

namespace {

// What the reader checks that JSON Schema cannot say, in the descriptions of
// the keys concerned: an editor shows it, and the tests list it.
const char *const kDigitsOnly = "; written in plain digits (1e3 and 1.0 are refused, which this schema cannot tell)";
const char *const kUnitsNote = "; the limit counts UTF-16 units, this schema characters";

ordered_json FieldSchema(const Field &f) {
    const codec::Codec &c = codec::Of(f.kind);
    ordered_json s = c.schema(f);
    if (f.orError) s = codec::ErrorAnswerCodec::Or(s);
    if (f.def == nullptr && !f.required) s = ordered_json{{"anyOf", {s, {{"type", "null"}}}}};
    std::string meaning = f.meaning;
    if (f.def != nullptr) meaning += " (default " + std::string(f.def) + ")";
    if (c.numeric) meaning += kDigitsOnly;
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

}  // namespace

std::string MachineSchema() {
    ordered_json schema = EntrySchema(format::kMachine);
    ordered_json top{{"$schema", "https://json-schema.org/draft/2020-12/schema"},
                     {"$id", "machine.schema.json"},
                     {"title", "enumerate-tarsel machine file"}};
    top.update(schema);
    ordered_json defs = codec::Definitions();
    for (const Entry *e : {&format::kDevice, &format::kInterface, &format::kProperties, &format::kObject, &format::kVolume,
                           &format::kHub, &format::kPort, &format::kDescriptor, &format::kDeviceNumber,
                           &format::kStorageDescriptor, &format::kMediaType, &format::kRawAnswer,
                           &format::kCapturedBy, &format::kWindowsVersion})
        defs[e->name] = EntrySchema(*e);
    top["$defs"] = defs;
    return top.dump(2) + "\n";
}

}  // namespace machine
