// What the reader and the writer of machine files share: the JSON parse with
// its duplicate-key check, the paths of keys, and the form of codes and hex.
// Only the machine-file translation units see the JSON library: it is slow to
// compile, so everything else works on the plain model of Model.h.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "machine/Format.h"

namespace machine {

using nlohmann::json;
using nlohmann::ordered_json;
using format::Entry;
using format::Field;
using format::Kind;
namespace key = format::key;

[[noreturn]] void FailMachine(const std::string &source, const std::string &path, const std::string &problem);

inline std::string Member(const std::string &path, const std::string &key) {
    return path.empty() ? key : path + "." + key;
}
inline std::string Element(const std::string &path, size_t index) { return path + "[" + std::to_string(index) + "]"; }

// Parses the text, failing on bad JSON and on a key that appears twice in one
// object (the JSON library would keep the last silently).
json ParseMachineJson(std::string_view text, const std::string &source);

// A field's default as JSON (null when it has none).
const json &DefaultOf(const format::Field &field);

// Hex text: "0x" and 1 to 8 digits; bytes as pairs of digits, blanks allowed.
bool ParseHexNumber(std::string_view text, uint32_t *value);
bool ParseHexBytes(std::string_view text, std::vector<uint8_t> *bytes);

struct Machine;
// A model as a file's JSON that reads back as the same model, for the
// canonical writer to put in order (WriteModel.cpp).
json MachineJson(const Machine &machine);

}  // namespace machine
