// The codecs of the machine-file format's kinds of value: for each, its check
// and reading (in the reader's words, which tools and tests compare), its
// canonical form and its JSON Schema.  The meanings of the value forms' own
// keys (a property's type, value and bytes, an open error's error and status,
// a library's missing_exports) are written here once, in their schemas.
#include "machine/Codecs.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>

#include "machine/Rules.h"
#include "platform/wstr.h"

namespace machine::codec {

namespace {

const char *const kHexPattern = "^ *([0-9A-Fa-f] *[0-9A-Fa-f] *)*$";
const char *const kGuidPattern = "^\\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\\}$";
const char *const kCodePattern = "^0[xX][0-9A-Fa-f]{1,8}$";
// Handle values: nonzero multiples of 4, as a number or as hex text.
const char *const kHandlePattern = "^0[xX](?!0*$)[0-9A-Fa-f]{0,7}[048Cc]$";
// "1" to "255", leading zeros allowed, at most three digits.
const char *const kStringIndexPattern = "^(?=[0-9]{1,3}$)0*([1-9][0-9]?|1[0-9][0-9]|2[0-4][0-9]|25[0-5])$";

// The definitions' names in the schema.
const char *const kCodeDef = "code";
const char *const kGuidDef = "guid";
const char *const kHexDef = "hex";
const char *const kErrorAnswerDef = "error_answer";
const char *const kPropertyDef = "property";
const char *const kLibraryDef = "library";

ordered_json Copy(const json &v) { return ordered_json(v); }

ordered_json AnyNumber() { return {{"type", "integer"}, {"minimum", 0}, {"maximum", 4294967295u}}; }
ordered_json Strings() { return {{"type", "array"}, {"items", {{"type", "string"}}}}; }
ordered_json Described(ordered_json s, const char *meaning) {
    s["description"] = meaning;
    return s;
}

// An object whose keys are all among `keys`, or the first that is not.
template <size_t N>
void OnlyKeys(const Reader &r, const json &v, const std::string &path, const char *const (&keys)[N]) {
    for (auto it = v.begin(); it != v.end(); ++it)
        if (std::none_of(std::begin(keys), std::end(keys), [&](const char *k) { return it.key() == k; }))
            r.Fail(Member(path, it.key()), "unknown key");
}

// "give exactly one of "a" and "b"" and its kin, with the keys by name.
std::string Quoted(const char *key) {
    std::string text = "\"";
    text += key;
    return text += '"';
}

void AppendWide(std::vector<uint8_t> *out, const WString &text) {
    // Little-endian UTF-16 and its terminator, as the registry stores it.
    const size_t at = out->size();
    out->resize(at + sizeof(WCHAR) * (text.size() + 1));
    uint8_t *bytes = out->data() + at;
    for (WCHAR c : text) {
        *bytes++ = static_cast<uint8_t>(static_cast<uint16_t>(c) & 0xFF);
        *bytes++ = static_cast<uint8_t>(static_cast<uint16_t>(c) >> 8);
    }
}

void AppendStrings(const Reader &r, const json &list, const std::string &path, std::vector<uint8_t> *data) {
    r.Array(list, path);
    for (size_t i = 0; i < list.size(); ++i) AppendWide(data, TextCodec::Wide(r, list[i], Element(path, i)));
    AppendWide(data, WString());
}

std::string HexBytesText(const json &v, bool grouped) {
    std::vector<uint8_t> bytes;
    ParseHexBytes(v.get<std::string>(), &bytes);
    return HexBytesCodec::Text(bytes, grouped);
}

// ---- Map keys ----

// A name matched without regard to case, as the reader folds library names.
std::string Caseless(const char *name) {
    std::string pattern;
    for (const char *c = name; *c != 0; ++c) {
        if (std::isalpha(static_cast<unsigned char>(*c))) {
            pattern += '[';
            pattern += static_cast<char>(std::toupper(*c));
            pattern += static_cast<char>(std::tolower(*c));
            pattern += ']';
        } else if (*c == '.') {
            pattern += "\\.";
        } else {
            pattern += *c;
        }
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

// A map of names the file chooses to values of one schema.
ordered_json StringMap(const ordered_json &values, format::KeyRule keys) {
    ordered_json s{{"type", "object"}, {"additionalProperties", values}};
    if (keys == format::KeyRule::Guid) s["propertyNames"] = {{"pattern", kGuidPattern}};
    if (keys == format::KeyRule::HexCode) s["propertyNames"] = {{"pattern", kCodePattern}};
    if (keys == format::KeyRule::StringIndex) s["propertyNames"] = {{"pattern", kStringIndexPattern}};
    if (keys == format::KeyRule::Library) s["propertyNames"] = {{"pattern", LibraryPattern()}};
    return s;
}

void CheckEach(const Reader &r, const json &v, const std::string &path, bool map,
               void (*each)(const Reader &, const json &, const std::string &, const Field &), const Field &f) {
    if (map) {
        r.Map(v, path);
        for (auto it = v.begin(); it != v.end(); ++it) each(r, *it, Member(path, it.key()), f);
    } else {
        r.Array(v, path);
        for (size_t i = 0; i < v.size(); ++i) each(r, v[i], Element(path, i), f);
    }
}

ordered_json WriteEach(const json &v, ordered_json (*each)(const json &, const Field &), const Field &f) {
    ordered_json out = v.is_array() ? ordered_json::array() : ordered_json::object();
    for (auto it = v.begin(); it != v.end(); ++it) {
        if (v.is_array())
            out.push_back(each(*it, f));
        else
            out[it.key()] = each(*it, f);
    }
    return out;
}

// ---- The codecs, kind by kind: check, write, schema ----

ordered_json CopyOf(const json &v, const Field &) { return Copy(v); }

void TextCheck(const Reader &r, const json &v, const std::string &path, const Field &f) { TextCodec::Read(r, v, path, f.nonEmpty); }
ordered_json TextSchema(const Field &f) {
    ordered_json s{{"type", "string"}};
    if (f.nonEmpty) s["minLength"] = 1;
    if (f.maxLength != 0) s["maxLength"] = f.maxLength;
    return s;
}

void TextOrNullCheck(const Reader &r, const json &v, const std::string &path, const Field &) {
    if (!v.is_null()) TextCodec::Read(r, v, path);
}
ordered_json TextOrNullSchema(const Field &) { return {{"type", {"string", "null"}}}; }

void BoolCheck(const Reader &r, const json &v, const std::string &path, const Field &) { BoolCodec::Read(r, v, path); }
ordered_json BoolSchema(const Field &) { return {{"type", "boolean"}}; }

void NumberCheck(const Reader &r, const json &v, const std::string &path, const Field &f) { NumberCodec::Read(r, v, path, f.max); }
ordered_json NumberSchema(const Field &f) { return {{"type", "integer"}, {"minimum", f.min}, {"maximum", f.max}}; }

void CodeCheck(const Reader &r, const json &v, const std::string &path, const Field &) { CodeCodec::Read(r, v, path); }
ordered_json CodeWrite(const json &v, const Field &) { return HexText(CodeCodec::Value(v)); }
ordered_json CodeSchema(const Field &) { return Ref(kCodeDef); }
ordered_json CodeDefinition() {
    return {{"description", "a number, or hex text such as \"0xC0000034\""},
            {"anyOf", {AnyNumber(), {{"type", "string"}, {"pattern", kCodePattern}}}}};
}

void Int64Check(const Reader &r, const json &v, const std::string &path, const Field &) { Int64Codec::Read(r, v, path); }
ordered_json Int64Schema(const Field &) { return {{"type", "integer"}, {"minimum", INT64_MIN}, {"maximum", INT64_MAX}}; }

void GuidCheck(const Reader &r, const json &v, const std::string &path, const Field &) { GuidCodec::Read(r, v, path); }
ordered_json GuidSchema(const Field &) { return Ref(kGuidDef); }
ordered_json GuidDefinition() { return {{"type", "string"}, {"pattern", kGuidPattern}}; }

void HexBytesCheck(const Reader &r, const json &v, const std::string &path, const Field &) { HexBytesCodec::Read(r, v, path); }
ordered_json HexBytesWrite(const json &v, const Field &) { return HexBytesText(v, true); }
ordered_json HexBytesSchema(const Field &) { return Ref(kHexDef); }
ordered_json HexDefinition() {
    return {{"type", "string"}, {"pattern", kHexPattern}, {"description", "hex digits in pairs, blanks allowed"}};
}

// Digits of a fixed meaning: the field's reader checks their count.
ordered_json HexDigitsWrite(const json &v, const Field &) { return HexBytesText(v, false); }
ordered_json HexDigitsSchema(const Field &f) { return {{"type", "string"}, {"pattern", f.pattern}}; }

void EntryCheck(const Reader &r, const json &v, const std::string &path, const Field &) { r.Map(v, path); }
ordered_json EntryWrite(const json &v, const Field &f) { return WriteEntry(v, *f.entry); }
ordered_json EntrySchema(const Field &f) { return Ref(f.entry->name); }

void EntryListCheck(const Reader &r, const json &v, const std::string &path, const Field &f) { CheckEach(r, v, path, false, EntryCheck, f); }
ordered_json EntryListWrite(const json &v, const Field &f) { return WriteEach(v, EntryWrite, f); }
ordered_json EntryListSchema(const Field &f) { return {{"type", "array"}, {"items", Ref(f.entry->name)}}; }

void TextListCheck(const Reader &r, const json &v, const std::string &path, const Field &f) { CheckEach(r, v, path, false, TextCheck, f); }
ordered_json TextListSchema(const Field &) { return Strings(); }

void NumberListCheck(const Reader &r, const json &v, const std::string &path, const Field &f) { CheckEach(r, v, path, false, NumberCheck, f); }
ordered_json NumberListSchema(const Field &f) { return {{"type", "array"}, {"items", NumberSchema(f)}}; }

void CodeListCheck(const Reader &r, const json &v, const std::string &path, const Field &) { HandleListCodec::Read(r, v, path); }
ordered_json CodeListWrite(const json &v, const Field &f) { return WriteEach(v, CodeWrite, f); }
ordered_json CodeListSchema(const Field &) {
    const ordered_json handle{{"anyOf", {{{"type", "integer"}, {"minimum", 4}, {"maximum", 0xFFFFFFFCu}, {"multipleOf", 4}},
                                         {{"type", "string"}, {"pattern", kHandlePattern}}}}};
    return {{"type", "array"}, {"items", handle}};
}

void TextMapCheck(const Reader &r, const json &v, const std::string &path, const Field &f) { CheckEach(r, v, path, true, TextCheck, f); }
ordered_json TextMapSchema(const Field &f) { return StringMap(TextSchema(f), f.keys); }

void EntryOrErrorCheck(const Reader &r, const json &v, const std::string &path, const Field &f) {
    std::optional<uint32_t> error;
    if (!f.orError || !ErrorAnswerCodec::Read(r, v, path, &error)) EntryCheck(r, v, path, f);
}
ordered_json EntryOrErrorWrite(const json &v, const Field &f) {
    return f.orError && ErrorAnswerCodec::Is(v) ? ErrorAnswerCodec::Write(v) : EntryWrite(v, f);
}
void EntryMapCheck(const Reader &r, const json &v, const std::string &path, const Field &f) { CheckEach(r, v, path, true, EntryOrErrorCheck, f); }
ordered_json EntryMapWrite(const json &v, const Field &f) { return WriteEach(v, EntryOrErrorWrite, f); }
ordered_json EntryMapSchema(const Field &f) { return StringMap(ErrorAnswerCodec::Or(Ref(f.entry->name)), f.keys); }

void CodeMapCheck(const Reader &r, const json &v, const std::string &path, const Field &f) { CheckEach(r, v, path, true, CodeCheck, f); }
ordered_json CodeMapWrite(const json &v, const Field &f) { return WriteEach(v, CodeWrite, f); }
ordered_json CodeMapSchema(const Field &f) { return StringMap(Ref(kCodeDef), f.keys); }

void TextListMapCheck(const Reader &r, const json &v, const std::string &path, const Field &f) { CheckEach(r, v, path, true, TextListCheck, f); }
ordered_json TextListMapSchema(const Field &f) { return StringMap(Strings(), f.keys); }

void StatusCheck(const Reader &r, const json &v, const std::string &path, const Field &) { StatusCodec::Read(r, v, path); }
// Flag names where they say it all, else the number.
ordered_json StatusWrite(const json &v, const Field &) {
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
ordered_json StatusSchema(const Field &) { return Ref(key::kStatus); }
ordered_json StatusDefinition() {
    ordered_json flags = ordered_json::array();
    for (const format::Flag &f : format::kStatusFlags) flags.push_back(f.name);
    return {{"anyOf", {{{"type", "array"}, {"items", {{"enum", flags}}}}, AnyNumber()}}};
}

void PropertyCheck(const Reader &r, const json &v, const std::string &path, const Field &) { PropertyCodec::Read(r, v, path); }
// Text or a list of texts alone where the type is the one they imply.
ordered_json PropertyWrite(const json &v, const Field &) {
    if (!v.is_object()) return Copy(v);
    const uint32_t type = v[key::kType].get<uint32_t>();
    if (v.contains(key::kValue)) {
        const json &value = v[key::kValue];
        if ((type == REG_SZ && value.is_string()) || (type == REG_MULTI_SZ && value.is_array())) return Copy(value);
        return ordered_json{{key::kType, type}, {key::kValue, Copy(value)}};
    }
    return ordered_json{{key::kType, type}, {key::kBytes, HexBytesText(v[key::kBytes], true)}};
}
ordered_json PropertySchema(const Field &) { return Ref(kPropertyDef); }
ordered_json PropertyDefinition() {
    const ordered_json value{{"description", "text, a list of texts or a number (4 bytes)"},
                             {"anyOf", {{{"type", "string"}}, Strings(), AnyNumber()}}};
    const ordered_json typed{{"type", "object"}, {"additionalProperties", false}, {"required", {key::kType}},
                             {"properties", {{key::kType, Described(AnyNumber(), "the registry type")},
                                             {key::kValue, value},
                                             {key::kBytes, {{"$ref", "#/$defs/hex"}, {"description", "the raw bytes"}}}}},
                             {"oneOf", {{{"required", {key::kValue}}}, {{"required", {key::kBytes}}}}}};
    return {{"anyOf", {{{"type", "string"}}, Strings(), typed}}};
}

void OpenErrorCheck(const Reader &r, const json &v, const std::string &path, const Field &) { OpenErrorCodec::Read(r, v, path); }
ordered_json OpenErrorWrite(const json &v, const Field &f) {
    if (v.is_object()) return ordered_json{{key::kError, CodeWrite(v[key::kError], f)}, {key::kStatus, CodeWrite(v[key::kStatus], f)}};
    return CodeWrite(v, f);
}
ordered_json OpenErrorSchema(const Field &) { return Ref(key::kOpenError); }
ordered_json OpenErrorDefinition() {
    const ordered_json pair{{"type", "object"}, {"additionalProperties", false}, {"required", {key::kError, key::kStatus}},
                            {"properties", {{key::kError, {{"$ref", "#/$defs/code"}, {"description", "what CreateFileW fails with"}}},
                                            {key::kStatus, {{"$ref", "#/$defs/code"}, {"description", "what NtCreateFile fails with"}}}}}};
    return {{"anyOf", {Ref(kCodeDef), pair}}};
}

// Each library is checked with its name by the reader, which knows the names.
void LibraryMapCheck(const Reader &r, const json &v, const std::string &path, const Field &) {
    r.Map(v, path);
    for (auto it = v.begin(); it != v.end(); ++it) LibraryCodec::Read(r, *it, Member(path, it.key()), rules::Folded(it.key()));
}
ordered_json LibraryMapSchema(const Field &f) { return StringMap(Ref(kLibraryDef), f.keys); }
ordered_json LibraryDefinition() {
    const ordered_json exports = Described(Strings(), "exports GetProcAddress does not find");
    return {{"anyOf", {{{"const", format::kMissingLibrary}},
                       {{"type", "object"}, {"additionalProperties", false}, {"properties", {{key::kMissingExports, exports}}}}}}};
}

void IoctlCheck(const Reader &r, const json &v, const std::string &path, const Field &f) {
    r.Map(v, path);
    for (auto it = v.begin(); it != v.end(); ++it) {
        IoctlCodec::ReadCode(r, it.key(), Member(path, it.key()));
        if (it->is_array())
            EntryListCheck(r, *it, Member(path, it.key()), f);
        else
            EntryCheck(r, *it, Member(path, it.key()), f);
    }
}
// By control code, in numeric order. Two spellings of one code ("0x1",
// "0x01") are one code to the reader, their answers in this order: one list.
ordered_json IoctlWrite(const json &v, const Field &f) {
    struct Answers {
        std::vector<const json *> each;
        bool listed = false;  // written as a list: a list was given, or several answers
    };
    std::map<uint32_t, Answers> codes;
    for (auto it = v.begin(); it != v.end(); ++it) {
        uint32_t code = 0;
        ParseHexNumber(it.key(), &code);
        Answers &answers = codes[code];
        answers.listed = answers.listed || it->is_array() || !answers.each.empty();
        if (!it->is_array()) answers.each.push_back(&*it);
        else
            for (const json &answer : *it) answers.each.push_back(&answer);
    }
    ordered_json out = ordered_json::object();
    for (const auto &[code, answers] : codes) {
        if (!answers.listed) {
            out[HexText(code)] = EntryWrite(*answers.each.front(), f);
            continue;
        }
        ordered_json list = ordered_json::array();
        for (const json *answer : answers.each) list.push_back(EntryWrite(*answer, f));
        out[HexText(code)] = std::move(list);
    }
    return out;
}

ordered_json IoctlSchema(const Field &f) {
    return StringMap({{"anyOf", {Ref(f.entry->name), {{"type", "array"}, {"items", Ref(f.entry->name)}}}}}, f.keys);
}

ordered_json ErrorAnswerDefinition() {
    return {{"type", "object"}, {"description", "the request fails with this error"},
            {"properties", {{key::kError, Ref(kCodeDef)}}}, {"required", {key::kError}}, {"additionalProperties", false}};
}

// Indexed by Kind, in its order (checked below).
constexpr Codec kCodecs[] = {
    {Kind::Text, TextCheck, CopyOf, TextSchema, false},
    {Kind::TextOrNull, TextOrNullCheck, CopyOf, TextOrNullSchema, false},
    {Kind::Bool, BoolCheck, CopyOf, BoolSchema, false},
    {Kind::Number, NumberCheck, CopyOf, NumberSchema, true},
    {Kind::Code, CodeCheck, CodeWrite, CodeSchema, true},
    {Kind::Int64, Int64Check, CopyOf, Int64Schema, true},
    {Kind::Guid, GuidCheck, CopyOf, GuidSchema, false},
    {Kind::HexBytes, HexBytesCheck, HexBytesWrite, HexBytesSchema, false},
    {Kind::HexDigits, HexBytesCheck, HexDigitsWrite, HexDigitsSchema, false},
    {Kind::Entry, EntryCheck, EntryWrite, EntrySchema, false},
    {Kind::EntryList, EntryListCheck, EntryListWrite, EntryListSchema, false},
    {Kind::TextList, TextListCheck, CopyOf, TextListSchema, false},
    {Kind::NumberList, NumberListCheck, CopyOf, NumberListSchema, true},
    {Kind::CodeList, CodeListCheck, CodeListWrite, CodeListSchema, true},
    {Kind::TextMap, TextMapCheck, CopyOf, TextMapSchema, false},
    {Kind::EntryMap, EntryMapCheck, EntryMapWrite, EntryMapSchema, false},
    {Kind::CodeMap, CodeMapCheck, CodeMapWrite, CodeMapSchema, true},
    {Kind::TextListMap, TextListMapCheck, CopyOf, TextListMapSchema, false},
    {Kind::Status, StatusCheck, StatusWrite, StatusSchema, true},
    {Kind::Property, PropertyCheck, PropertyWrite, PropertySchema, false},
    {Kind::OpenError, OpenErrorCheck, OpenErrorWrite, OpenErrorSchema, true},
    {Kind::LibraryMap, LibraryMapCheck, CopyOf, LibraryMapSchema, false},
    {Kind::Ioctl, IoctlCheck, IoctlWrite, IoctlSchema, false},
};

constexpr bool InKindOrder() {
    for (size_t i = 0; i < std::size(kCodecs); ++i)
        if (static_cast<size_t>(kCodecs[i].kind) != i) return false;
    return static_cast<size_t>(Kind::Ioctl) + 1 == std::size(kCodecs);
}
static_assert(InKindOrder(), "one codec per kind, in the order of format::Kind");

}  // namespace

const Codec &Of(Kind kind) { return kCodecs[static_cast<size_t>(kind)]; }

ordered_json Ref(const char *name) {
    std::string ref = "#/$defs/";
    ref += name;
    return ordered_json{{"$ref", ref}};
}

std::string HexText(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
    return text;
}

ordered_json Definitions() {
    return {
        {kCodeDef, CodeDefinition()},
        {kGuidDef, GuidDefinition()},
        {kHexDef, HexDefinition()},
        {kErrorAnswerDef, ErrorAnswerDefinition()},
        {key::kStatus, StatusDefinition()},
        {kPropertyDef, PropertyDefinition()},
        {key::kOpenError, OpenErrorDefinition()},
        {kLibraryDef, LibraryDefinition()},
    };
}

// ---- Reading ----

std::string TextCodec::Read(const Reader &r, const json &v, const std::string &path, bool nonEmpty) {
    if (!v.is_string()) r.Fail(path, "expected a string");
    std::string text = v.get<std::string>();
    if (nonEmpty && text.empty()) r.Fail(path, "empty");
    return text;
}

WString TextCodec::Wide(const Reader &r, const json &v, const std::string &path) { return wstr::FromUtf8(Read(r, v, path)); }

bool BoolCodec::Read(const Reader &r, const json &v, const std::string &path) {
    if (!v.is_boolean()) r.Fail(path, "expected true or false");
    return v.get<bool>();
}

uint32_t NumberCodec::Read(const Reader &r, const json &v, const std::string &path, uint32_t max) {
    if (!v.is_number_unsigned()) {
        if (v.is_number_integer()) r.Fail(path, "expected a number from 0 to 4294967295, not a negative one");
        r.Fail(path, "expected a whole number from 0 to 4294967295");
    }
    uint64_t n = v.get<uint64_t>();
    if (n > 0xFFFFFFFFull) r.Fail(path, "number above 4294967295");
    if (n > max) r.Fail(path, "number above " + std::to_string(max));
    return static_cast<uint32_t>(n);
}

int64_t Int64Codec::Read(const Reader &r, const json &v, const std::string &path) {
    if (!v.is_number_integer()) r.Fail(path, "expected a whole number");
    if (v.is_number_unsigned() && v.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) r.Fail(path, "number too large");
    return v.get<int64_t>();
}

uint32_t CodeCodec::Read(const Reader &r, const json &v, const std::string &path) {
    if (v.is_string()) {
        uint32_t code = 0;
        if (!ParseHexNumber(v.get<std::string>(), &code)) r.Fail(path, "expected a code as a number or hex text such as \"0xC0000034\"");
        return code;
    }
    return NumberCodec::Read(r, v, path);
}

uint32_t CodeCodec::Value(const json &v) {
    uint32_t code = 0;
    if (v.is_string()) ParseHexNumber(v.get<std::string>(), &code);
    return v.is_string() ? code : v.get<uint32_t>();
}

GUID GuidCodec::Read(const Reader &r, const json &v, const std::string &path, std::string *text) {
    std::string s = TextCodec::Read(r, v, path);
    GUID g{};
    if (!ParseGuidText(s, &g)) r.Fail(path, "bad GUID \"" + s + "\" (expected {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX})");
    if (text) *text = s;
    return g;
}

std::vector<uint8_t> HexBytesCodec::Read(const Reader &r, const json &v, const std::string &path) {
    std::vector<uint8_t> bytes;
    if (!ParseHexBytes(TextCodec::Read(r, v, path), &bytes)) r.Fail(path, "bad hex bytes");
    return bytes;
}

// By a table, not a formatted print per byte: a capture's raw answers run to
// megabytes of these.
std::string HexBytesCodec::Text(const std::vector<uint8_t> &bytes, bool grouped) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2 + (grouped ? bytes.size() / 4 : 0));
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (grouped && i != 0 && i % 4 == 0) text.push_back(' ');
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 0xF]);
    }
    return text;
}

uint32_t StatusCodec::Read(const Reader &r, const json &v, const std::string &path) {
    if (!v.is_array()) return NumberCodec::Read(r, v, path);
    uint32_t status = 0;
    for (size_t i = 0; i < v.size(); ++i) {
        std::string name = TextCodec::Read(r, v[i], Element(path, i));
        bool found = false;
        for (const format::Flag &f : format::kStatusFlags)
            if (name == f.name) {
                status |= f.value;
                found = true;
            }
        if (!found) r.Fail(Element(path, i), "unknown status flag \"" + name + "\"");
    }
    return status;
}

namespace {

// {type, value} or {type, bytes}.
Property TypedProperty(const Reader &r, const json &v, const std::string &path) {
    OnlyKeys(r, v, path, {key::kType, key::kValue, key::kBytes});
    if (!v.contains(key::kType)) r.Fail(Member(path, key::kType), "missing");
    Property p;
    p.type = NumberCodec::Read(r, v[key::kType], Member(path, key::kType));
    if (v.contains(key::kBytes) == v.contains(key::kValue)) {
        std::string problem = "give exactly one of ";
        problem += Quoted(key::kValue);
        problem += " and ";
        r.Fail(path, problem + Quoted(key::kBytes));
    }
    const std::string vp = Member(path, key::kValue);
    if (v.contains(key::kBytes)) {
        p.data = HexBytesCodec::Read(r, v[key::kBytes], Member(path, key::kBytes));
    } else if (v[key::kValue].is_string()) {
        AppendWide(&p.data, wstr::FromUtf8(v[key::kValue].get<std::string>()));
    } else if (v[key::kValue].is_array()) {
        AppendStrings(r, v[key::kValue], vp, &p.data);
    } else {
        uint32_t n = NumberCodec::Read(r, v[key::kValue], vp);
        for (int i = 0; i < 4; ++i) p.data.push_back(static_cast<uint8_t>(n >> (8 * i)));
    }
    return p;
}

// The texts of REG_SZ or REG_MULTI_SZ data as a file would give them, or
// null when the data is not exactly what those texts read back as.
json PropertyTexts(const Property &p) {
    if (p.data.size() % 2 != 0) return nullptr;
    WString all;
    for (size_t i = 0; i < p.data.size(); i += 2) all.push_back(static_cast<WCHAR>(p.data[i] | (p.data[i + 1] << 8)));
    // A lone surrogate has no UTF-8 form for a file to hold.
    for (size_t i = 0; i < all.size(); ++i) {
        const bool high = all[i] >= 0xD800 && all[i] < 0xDC00, low = all[i] >= 0xDC00 && all[i] < 0xE000;
        if (low) return nullptr;
        if (high && (i + 1 == all.size() || all[i + 1] < 0xDC00 || all[i + 1] >= 0xE000)) return nullptr;
        if (high) ++i;
    }
    json texts = json::array();
    size_t start = 0;
    for (size_t i = 0; i < all.size(); ++i)
        if (all[i] == 0) {
            texts.push_back(wstr::ToUtf8(WStringView(all).substr(start, i - start)));
            start = i + 1;
        }
    if (p.type == REG_SZ && texts.size() == 1) return texts[0];
    if (p.type == REG_MULTI_SZ && !texts.empty() && texts.back() == "") {
        texts.erase(texts.size() - 1);
        return texts;
    }
    return nullptr;
}

}  // namespace

Property PropertyCodec::Read(const Reader &r, const json &v, const std::string &path) {
    Property p;
    if (v.is_string()) {
        AppendWide(&p.data, wstr::FromUtf8(v.get<std::string>()));
    } else if (v.is_array()) {
        p.type = REG_MULTI_SZ;
        AppendStrings(r, v, path, &p.data);
    } else if (v.is_object()) {
        p = TypedProperty(r, v, path);
    } else {
        std::string problem = "expected a string, an array of strings or {";
        problem += Quoted(key::kType);
        problem += ": N, ";
        r.Fail(path, problem + Quoted(key::kValue) + ": ...}");
    }
    return p;
}

Property PropertyCodec::FromText(const std::string &text) {
    Property p;
    AppendWide(&p.data, wstr::FromUtf8(text));
    return p;
}

ordered_json PropertyCodec::ToJson(const Property &p) {
    const json texts = PropertyTexts(p);
    if (!texts.is_null()) {
        // Only where reading the texts gives these very bytes.
        const std::string source;
        const Property again = Read(Reader(source), texts, "");
        if (again.type == p.type && again.data == p.data) return Copy(texts);
    }
    return ordered_json{{key::kType, p.type}, {key::kBytes, HexBytesCodec::Text(p.data, true)}};
}

OpenError OpenErrorCodec::Read(const Reader &r, const json &v, const std::string &path) {
    if (!v.is_object()) {
        const rules::OpenCodes codes = rules::OpenCodesOf(CodeCodec::Read(r, v, path));
        return OpenError{codes.win32, codes.status};
    }
    // Separate codes for the two open paths.
    OnlyKeys(r, v, path, {key::kError, key::kStatus});
    if (!v.contains(key::kError) || !v.contains(key::kStatus)) {
        std::string problem = "give both ";
        problem += Quoted(key::kError);
        problem += " and ";
        r.Fail(path, problem + Quoted(key::kStatus));
    }
    return OpenError{CodeCodec::Read(r, v[key::kError], Member(path, key::kError)),
                     CodeCodec::Read(r, v[key::kStatus], Member(path, key::kStatus))};
}

ordered_json OpenErrorCodec::ToJson(const OpenError &e) {
    for (uint32_t code : {e.win32, e.status}) {
        const rules::OpenCodes codes = rules::OpenCodesOf(code);
        if (codes.win32 == e.win32 && codes.status == e.status) return HexText(code);
    }
    return ordered_json{{key::kError, HexText(e.win32)}, {key::kStatus, HexText(e.status)}};
}

LibraryModel LibraryCodec::Read(const Reader &r, const json &v, const std::string &path, const std::string &name) {
    LibraryModel lib;
    if (v.is_string()) {
        if (v.get<std::string>() != format::kMissingLibrary) {
            std::string problem = "expected ";
            problem += Quoted(format::kMissingLibrary);
            problem += " or {";
            r.Fail(path, problem + Quoted(key::kMissingExports) + ": [...]}");
        }
        lib.missing = true;
        return lib;
    }
    r.Map(v, path);
    OnlyKeys(r, v, path, {key::kMissingExports});
    if (!v.contains(key::kMissingExports)) return lib;
    const std::string ep = Member(path, key::kMissingExports);
    const json &exports = v[key::kMissingExports];
    r.Array(exports, ep);
    for (size_t i = 0; i < exports.size(); ++i) {
        std::string e = TextCodec::Read(r, exports[i], Element(ep, i));
        // ole32.dll is imported, not late-bound: any name may be missing from it.
        if (name != "ole32.dll" && !format::Exports(name, e.c_str())) r.Fail(Element(ep, i), "\"" + e + "\" is not an export of " + name);
        lib.missingExports.insert(e);
    }
    return lib;
}

ordered_json LibraryCodec::ToJson(const LibraryModel &library) {
    if (library.missing) return format::kMissingLibrary;
    // A library with every export found is an empty entry, as one writes it by hand.
    if (library.missingExports.empty()) return ordered_json::object();
    ordered_json exports = ordered_json::array();
    for (const std::string &e : library.missingExports) exports.push_back(e);
    return ordered_json{{key::kMissingExports, exports}};
}

std::vector<uint32_t> HandleListCodec::Read(const Reader &r, const json &v, const std::string &path) {
    r.Array(v, path);
    // A value may come again: Windows reuses a closed handle's value.
    std::vector<uint32_t> handles;
    for (size_t i = 0; i < v.size(); ++i) {
        const std::string p = Element(path, i);
        const uint32_t h = CodeCodec::Read(r, v[i], p);
        if (h == 0 || h % 4 != 0 || h == 0xFFFFFFFFu) r.Fail(p, "a handle value is a nonzero multiple of 4");
        handles.push_back(h);
    }
    return handles;
}

bool ErrorAnswerCodec::Is(const json &v) { return v.is_object() && v.size() == 1 && v.contains(key::kError); }

bool ErrorAnswerCodec::Read(const Reader &r, const json &v, const std::string &path, std::optional<uint32_t> *error) {
    if (!Is(v)) return false;
    *error = CodeCodec::Read(r, v[key::kError], Member(path, key::kError));
    return true;
}

ordered_json ErrorAnswerCodec::Write(const json &v) { return ordered_json{{key::kError, HexText(CodeCodec::Value(v[key::kError]))}}; }

ordered_json ErrorAnswerCodec::Or(const ordered_json &value) { return ordered_json{{"anyOf", {value, Ref(kErrorAnswerDef)}}}; }

uint32_t IoctlCodec::ReadCode(const Reader &r, const std::string &key, const std::string &path) {
    uint32_t code = 0;
    if (!ParseHexNumber(key, &code)) r.Fail(path, "control code must be hex text such as \"0x2D1400\"");
    return code;
}

}  // namespace machine::codec
