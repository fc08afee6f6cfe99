// One codec per kind of value of the machine-file format (format::Kind): how
// the reader checks a value and turns it into the model, how the writer puts
// it in canonical form, and how the JSON Schema describes it, side by side so
// that the three cannot drift apart.  The format's table (Format.cpp) says
// which key holds which kind; the entries themselves are read in Read.cpp.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "machine/Json.h"
#include "machine/Model.h"

namespace machine {

// Says what is wrong with a value: the file, the value's JSON path and the
// problem, in one line.
class Reader {
public:
    explicit Reader(const std::string &source) : m_source(source) {}

    [[noreturn]] void Fail(const std::string &path, const std::string &problem) const {
        FailMachine(m_source, path, problem);
    }
    void Map(const json &j, const std::string &path) const {
        if (!j.is_object()) Fail(path, "expected an object");
    }
    void Array(const json &j, const std::string &path) const {
        if (!j.is_array()) Fail(path, "expected an array");
    }

private:
    const std::string &m_source;
};

// The canonical form of an entry, by the format's table (Write.cpp).
ordered_json WriteEntry(const json &j, const Entry &entry);

namespace codec {

// One kind of value, as the table below registers it.
struct Codec {
    Kind kind;
    // Checks a value of this kind at `path`, failing in the reader's words.
    // An entry's own keys are its reader's (Read.cpp): here only its shape.
    void (*check)(const Reader &r, const json &v, const std::string &path, const Field &f);
    // The canonical form of a value the reader has accepted.
    ordered_json (*write)(const json &v, const Field &f);
    // The value's JSON Schema.
    ordered_json (*schema)(const Field &f);
    // Numbers among its forms: JSON Schema cannot refuse 1e3 or 1.0 there.
    bool numeric;
};

// The codec of a kind: one table indexed by Kind.
const Codec &Of(Kind kind);

// The schema's shared definitions ($defs) of the value forms, each written by
// its codec: code, guid, hex, error_answer, status, property, open_error, library.
ordered_json Definitions();

// A schema reference to a definition.
ordered_json Ref(const char *name);

// Hex text of a code, "0x" and upper-case digits: the canonical form of codes.
std::string HexText(uint32_t value);

// ---- The value forms, by kind: the reader reaches them here ----

struct TextCodec {
    // nonEmpty: "" is refused (a field's nonEmpty).
    static std::string Read(const Reader &r, const json &v, const std::string &path, bool nonEmpty = false);
    static WString Wide(const Reader &r, const json &v, const std::string &path);
};

struct BoolCodec {
    static bool Read(const Reader &r, const json &v, const std::string &path);
};

// Whole numbers from 0 to max, written in decimal.
struct NumberCodec {
    static uint32_t Read(const Reader &r, const json &v, const std::string &path, uint32_t max = 0xFFFFFFFFu);
};

struct Int64Codec {
    static int64_t Read(const Reader &r, const json &v, const std::string &path);
};

// An error, status or control code: a number or hex text such as "0xC0000034".
struct CodeCodec {
    static uint32_t Read(const Reader &r, const json &v, const std::string &path);
    // The value of a code the reader has accepted.
    static uint32_t Value(const json &v);
};

struct GuidCodec {
    static GUID Read(const Reader &r, const json &v, const std::string &path, std::string *text = nullptr);
};

// Bytes as pairs of hex digits, blanks allowed.
struct HexBytesCodec {
    static std::vector<uint8_t> Read(const Reader &r, const json &v, const std::string &path);
    // Upper-case pairs; `grouped` sets a blank after every four bytes, the canonical form of raw bytes.
    static std::string Text(const std::vector<uint8_t> &bytes, bool grouped);
};

// DN_ flag names, or one number.
struct StatusCodec {
    static uint32_t Read(const Reader &r, const json &v, const std::string &path);
};

// A registry property: text, a list of texts, or {type, value} / {type, bytes}.
struct PropertyCodec {
    static Property Read(const Reader &r, const json &v, const std::string &path);
    // A REG_SZ property of that text (one Windows derives).
    static Property FromText(const std::string &text);
    // The property as a file gives it: text or a list of texts where the type
    // says so, else {type, bytes}.
    static ordered_json ToJson(const Property &p);
};

// An open error: one code (its other half by the Windows rules) or {error, status}.
struct OpenErrorCodec {
    static OpenError Read(const Reader &r, const json &v, const std::string &path);
    // One code where the rules give the other half, else {error, status}.
    static ordered_json ToJson(const OpenError &e);
};

// A library's entry: "missing" or {missing_exports: [...]}; `name` is its
// folded file name.
struct LibraryCodec {
    static LibraryModel Read(const Reader &r, const json &v, const std::string &path, const std::string &name);
    static ordered_json ToJson(const LibraryModel &library);
};

// The handles successful opens return: codes, each a nonzero multiple of 4.
struct HandleListCodec {
    static std::vector<uint32_t> Read(const Reader &r, const json &v, const std::string &path);
};

// A field marked orError may instead be an object of the error alone.
struct ErrorAnswerCodec {
    // Whether `v` is that form; if so, its error is read into `error`.
    static bool Read(const Reader &r, const json &v, const std::string &path, std::optional<uint32_t> *error);
    static bool Is(const json &v);
    static ordered_json Write(const json &v);
    // The schema of `value` or this form.
    static ordered_json Or(const ordered_json &value);
};

// Raw answers by control code (hex text): one answer entry or a list of them.
// `answer` reads one entry (Read.cpp), called as answer(value, path).
struct IoctlCodec {
    static uint32_t ReadCode(const Reader &r, const std::string &key, const std::string &path);
    template <typename Answer, typename ReadAnswer>
    static void Read(const Reader &r, const json &v, const std::string &path, std::map<uint32_t, std::vector<Answer>> *out,
                     ReadAnswer answer) {
        r.Map(v, path);
        for (auto it = v.begin(); it != v.end(); ++it) {
            const std::string kp = Member(path, it.key());
            std::vector<Answer> &answers = (*out)[ReadCode(r, it.key(), kp)];
            if (!it->is_array()) {
                answers.push_back(answer(*it, kp));
                continue;
            }
            for (size_t i = 0; i < it->size(); ++i) answers.push_back(answer((*it)[i], Element(kp, i)));
        }
    }
};

}  // namespace codec
}  // namespace machine
