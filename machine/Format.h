// The machine-file format, described once: for each kind of entry, its keys
// with their type, default and meaning.  The reader checks files against it
// and takes its defaults from it, the writer orders keys and leaves out
// defaults by it, and the JSON Schema is generated from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace machine::format {

// How a value is written, checked and read.
enum class Kind {
    Text,         // a string
    TextOrNull,   // a string, or null, which differs from the default
    Bool,
    Number,       // a whole number from 0 to `max`, written in decimal
    Code,         // an error, status or control code: a number or hex text, written in hex
    Int64,        // a signed 64-bit whole number
    Guid,         // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, kept as written
    HexBytes,     // hex digits, blanks allowed; written in groups of four bytes
    HexDigits,    // hex digits of a fixed meaning (a CID, a serial): written as one run
    Entry,        // an object whose keys are `entry`'s fields
    EntryList,    // an array of `entry` objects
    TextList,     // an array of strings
    NumberList,   // an array of whole numbers from 0 to `max`
    CodeList,     // an array of codes (handle values), written in hex
    TextMap,      // an object mapping names chosen by the file to strings
    EntryMap,     // an object mapping names chosen by the file to `entry` objects
    CodeMap,      // an object mapping names chosen by the file to codes
    TextListMap,  // an object mapping names chosen by the file to arrays of strings
    Status,       // DN_ flag names, or one number
    Property,     // a registry property: text, array of texts, or {"type", "value" | "bytes"}
    OpenError,    // a code, or {"error", "status"}
    LibraryMap,   // library names to "missing" or {"missing_exports": [...]}
    Ioctl,        // raw answers: one answer entry, or a list of them matched on input
};

// What the names of a map's keys must be.
enum class KeyRule { Any, Guid, HexCode, StringIndex, Library };

struct Entry;

// A key without a default that is not required may also be null, which is
// the same as leaving it out.
struct Field {
    const char *key;
    Kind kind;
    const char *def;       // the default as JSON text; nullptr: none (absent means "not given")
    const char *meaning;
    const Entry *entry = nullptr;  // for Entry, EntryList, EntryMap and Ioctl
    uint32_t max = 0xFFFFFFFFu;    // for Number and NumberList
    uint32_t min = 0;              // for Number
    bool required = false;
    bool orError = false;  // the value may instead be {"error": N}
    KeyRule keys = KeyRule::Any;   // for maps
    uint32_t code = 0;     // for Property: the SPDRP code
    bool nonEmpty = false;         // for Text: "" is refused
    uint32_t maxLength = 0;        // for Text and TextMap values: the most UTF-16 units; 0: any
    const char *pattern = nullptr; // for HexDigits: the form, as a regular expression
};

struct Entry {
    const char *name;     // for the schema's definitions
    const char *meaning;
    std::span<const Field> fields;

    // The field with that key, or null.
    const Field *Find(const char *key) const;
    const Field *Find(const char *key, size_t length) const;
};

// The deepest nesting of objects and arrays a machine file may have, the top
// level counting as one.  The format itself goes seven deep (a port's
// descriptor in a hub's list of ports); more is refused while parsing.
inline constexpr size_t kMaxNesting = 32;

// The top level of a machine file; every other entry is reached from it.
extern const Entry kMachine;
extern const Entry kDevice;
extern const Entry kInterface;
extern const Entry kObject;
extern const Entry kVolume;
extern const Entry kHub;
extern const Entry kPort;
extern const Entry kDescriptor;
extern const Entry kDeviceNumber;
extern const Entry kStorageDescriptor;
extern const Entry kMediaType;
extern const Entry kRawAnswer;
extern const Entry kProperties;
extern const Entry kCapturedBy;
extern const Entry kWindowsVersion;

// DN_ status flags by the names cfgmgr32.h gives them.
struct Flag {
    const char *name;
    uint32_t value;
};
extern const std::span<const Flag> kStatusFlags;

// The simulated libraries a machine can take away.
extern const std::span<const char *const> kLibraryNames;

// Whether a simulated library exports `name` (a missing export must be one).
bool Exports(std::string_view library, const char *name);

}  // namespace machine::format
