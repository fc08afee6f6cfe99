// Writing machine files in their canonical form, from the format's
// description (Format.cpp).
#include <algorithm>
#include <cstdio>

#include "machine/File.h"
#include "machine/Json.h"
#include "machine/Model.h"

namespace machine {

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
    const uint32_t type = v[key::kType].get<uint32_t>();
    if (v.contains(key::kValue)) {
        const json &value = v[key::kValue];
        if ((type == REG_SZ && value.is_string()) || (type == REG_MULTI_SZ && value.is_array())) return Copy(value);
        return ordered_json{{key::kType, type}, {key::kValue, Copy(value)}};
    }
    return ordered_json{{key::kType, type}, {key::kBytes, HexBytesText(v[key::kBytes], true)}};
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
    if (f.orError && v.is_object() && v.size() == 1 && v.contains(key::kError))
        return ordered_json{{key::kError, HexText(CodeValue(v[key::kError]))}};
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
        if (v.is_object()) return ordered_json{{key::kError, HexText(CodeValue(v[key::kError]))}, {key::kStatus, HexText(CodeValue(v[key::kStatus]))}};
        return HexText(CodeValue(v));
    case Kind::Ioctl:
        return IoctlValue(v, *f.entry);
    default:
        return Copy(v);
    }
}

// Properties the registry derives when the file leaves them out.
void DropDerivedProperties(const json &device, ordered_json *out) {
    auto props = out->find(key::kProperties);
    if (props == out->end()) return;
    const auto cls = device.find(key::kClass);
    const std::string classText = cls != device.end() && cls->is_string() ? cls->get<std::string>() : std::string();
    const std::string id = device[key::kId].get<std::string>();
    for (const Field &f : format::kProperties.fields) {
        auto it = props->find(f.key);
        if (it == props->end()) continue;
        const auto derived = format::DerivedProperty(f, id, classText.empty() ? nullptr : &classText);
        if (derived && *it == ordered_json(*derived)) props->erase(it);
    }
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

// The JSON library escapes C0 controls in strings but writes DEL and the C1
// controls as they are; a file's text must not act on a terminal it is shown
// on, so those become \u escapes too.  Outside strings the text is ASCII.
std::string EscapeInvisibles(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    char escape[8];
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0u;
        if (c == 0x7F || (c == 0xC2 && next >= 0x80 && next < 0xA0)) {
            std::snprintf(escape, sizeof escape, "\\u%04X", c == 0x7F ? c : next);
            out += escape;
            i += c == 0x7F ? 0 : 1;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

}  // namespace

std::string NormaliseMachine(std::string_view text, const std::string &source) {
    ParseMachine(text, source);  // the checks
    return EscapeInvisibles(WriteEntry(ParseMachineJson(text, source), format::kMachine).dump(2)) + "\n";
}

// Through the same writer as a file: the model's JSON is put in order and
// its defaults left out as a file's are.
std::string WriteMachine(const Machine &machine) {
    return EscapeInvisibles(WriteEntry(MachineJson(machine), format::kMachine).dump(2)) + "\n";
}

}  // namespace machine
