// Writing machine files in their canonical form, from the format's
// description (Format.cpp): each value in the form its kind's codec
// (Codecs.cpp) writes.
#include <algorithm>
#include <cstdio>

#include "machine/Codecs.h"
#include "machine/File.h"
#include "machine/Json.h"
#include "machine/Model.h"

namespace machine {

namespace {

ordered_json WriteValue(const json &v, const Field &f) {
    if (f.orError && codec::ErrorAnswerCodec::Is(v)) return codec::ErrorAnswerCodec::Write(v);
    return codec::Of(f.kind).write(v, f);
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

}  // namespace

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

namespace {

// The JSON library escapes C0 controls in strings but writes DEL and the C1
// controls as they are; a file's text must not act on a terminal it is shown
// on, so those become \u escapes too.  Outside strings the text is ASCII.
std::string EscapeInvisibles(std::string text) {
    // Most files have none: the text is then kept as it is.
    const auto invisible = [](char c) { return c == '\x7F' || c == '\xC2'; };
    const auto first = std::find_if(text.begin(), text.end(), invisible);
    if (first == text.end()) return text;
    std::string out(text.begin(), first);
    out.reserve(text.size());
    char escape[8];
    for (size_t i = out.size(); i < text.size(); ++i) {
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
    std::string file = EscapeInvisibles(WriteEntry(ParseMachineJson(text, source), format::kMachine).dump(2));
    return file += '\n';
}

// Through the same writer as a file: the model's JSON is put in order and
// its defaults left out as a file's are.
std::string WriteMachine(const Machine &machine) {
    std::string file = EscapeInvisibles(WriteEntry(MachineJson(machine), format::kMachine).dump(2));
    return file += '\n';
}

}  // namespace machine
