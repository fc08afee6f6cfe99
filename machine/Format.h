// The machine-file format, described once: for each kind of entry, its keys
// with their type, default and meaning.  The reader checks files against it
// and takes its defaults from it, the writer orders keys and leaves out
// defaults by it, and the JSON Schema is generated from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace machine::format {

// How a value is written, checked and read: each kind has one codec that
// does all three, and describes it for the schema (Codecs.h).
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
    Property,     // a registry property: text, array of texts, or an object of type with value or bytes
    OpenError,    // a code, or an object of error and status
    LibraryMap,   // library names to kMissingLibrary or an object of missing_exports
    Ioctl,        // raw answers: one answer entry, or a list of them matched on input
};

// What the names of a map's keys must be.
enum class KeyRule { Any, Guid, HexCode, StringIndex, Library };

// Every key of the format, spelled here and nowhere else: the tables below
// name their fields with these, and the reader, the writer, the schema and
// the capture's builder reach a key only through them (a test scans the
// sources for a second spelling).  Registry properties are kProp...; the
// last few are the keys of the value forms that are not entries of their own
// (a property's type with value or bytes, an open error's error and status,
// a library's missing_exports), whose codecs (Codecs.cpp) give their meanings.
namespace key {
inline constexpr char kPropDeviceDesc[] = "DeviceDesc";
inline constexpr char kPropHardwareIDs[] = "HardwareIDs";
inline constexpr char kPropCompatibleIDs[] = "CompatibleIDs";
inline constexpr char kPropService[] = "Service";
inline constexpr char kPropClass[] = "Class";
inline constexpr char kPropClassGUID[] = "ClassGUID";
inline constexpr char kPropDriver[] = "Driver";
inline constexpr char kPropMfg[] = "Mfg";
inline constexpr char kPropFriendlyName[] = "FriendlyName";
inline constexpr char kPropLocationInformation[] = "LocationInformation";
inline constexpr char kPropPhysicalDeviceObjectName[] = "PhysicalDeviceObjectName";
inline constexpr char kPropEnumeratorName[] = "EnumeratorName";
inline constexpr char kClass[] = "class";
inline constexpr char kPath[] = "path";
inline constexpr char kObject[] = "object";
inline constexpr char kPresent[] = "present";
inline constexpr char kComment[] = "comment";
inline constexpr char kId[] = "id";
inline constexpr char kDevinst[] = "devinst";
inline constexpr char kParent[] = "parent";
inline constexpr char kStatus[] = "status";
inline constexpr char kProblem[] = "problem";
inline constexpr char kStatusError[] = "status_error";
inline constexpr char kIdError[] = "id_error";
inline constexpr char kProperties[] = "properties";
inline constexpr char kInterfaces[] = "interfaces";
inline constexpr char kType[] = "type";
inline constexpr char kNumber[] = "number";
inline constexpr char kPartition[] = "partition";
inline constexpr char kReturned[] = "returned";
inline constexpr char kVendor[] = "vendor";
inline constexpr char kProduct[] = "product";
inline constexpr char kRevision[] = "revision";
inline constexpr char kSerial[] = "serial";
inline constexpr char kBusType[] = "bus_type";
inline constexpr char kRemovable[] = "removable";
inline constexpr char kDeviceType[] = "device_type";
inline constexpr char kDeviceTypeModifier[] = "device_type_modifier";
inline constexpr char kCommandQueueing[] = "command_queueing";
inline constexpr char kMediaType[] = "media_type";
inline constexpr char kCylinders[] = "cylinders";
inline constexpr char kTracksPerCylinder[] = "tracks_per_cylinder";
inline constexpr char kSectorsPerTrack[] = "sectors_per_track";
inline constexpr char kBytesPerSector[] = "bytes_per_sector";
inline constexpr char kSides[] = "sides";
inline constexpr char kCharacteristics[] = "characteristics";
inline constexpr char kBLength[] = "bLength";
inline constexpr char kBDescriptorType[] = "bDescriptorType";
inline constexpr char kBcdUSB[] = "bcdUSB";
inline constexpr char kBDeviceClass[] = "bDeviceClass";
inline constexpr char kBDeviceSubClass[] = "bDeviceSubClass";
inline constexpr char kBDeviceProtocol[] = "bDeviceProtocol";
inline constexpr char kBMaxPacketSize0[] = "bMaxPacketSize0";
inline constexpr char kIdVendor[] = "idVendor";
inline constexpr char kIdProduct[] = "idProduct";
inline constexpr char kBcdDevice[] = "bcdDevice";
inline constexpr char kIManufacturer[] = "iManufacturer";
inline constexpr char kIProduct[] = "iProduct";
inline constexpr char kISerialNumber[] = "iSerialNumber";
inline constexpr char kBNumConfigurations[] = "bNumConfigurations";
inline constexpr char kPort[] = "port";
inline constexpr char kConnected[] = "connected";
inline constexpr char kDeviceIsHub[] = "device_is_hub";
inline constexpr char kSpeed[] = "speed";
inline constexpr char kAddress[] = "address";
inline constexpr char kConfiguration[] = "configuration";
inline constexpr char kOpenPipes[] = "open_pipes";
inline constexpr char kDescriptor[] = "descriptor";
inline constexpr char kDriverKey[] = "driver_key";
inline constexpr char kLanguages[] = "languages";
inline constexpr char kStrings[] = "strings";
inline constexpr char kExQuery[] = "ex_query";
inline constexpr char kPortCount[] = "port_count";
inline constexpr char kBusPowered[] = "bus_powered";
inline constexpr char kPorts[] = "ports";
inline constexpr char kInput[] = "input";
inline constexpr char kBytes[] = "bytes";
inline constexpr char kError[] = "error";
inline constexpr char kName[] = "name";
inline constexpr char kAliases[] = "aliases";
inline constexpr char kOpenError[] = "open_error";
inline constexpr char kWriteError[] = "write_error";
inline constexpr char kReadOnly[] = "read_only";
inline constexpr char kForward[] = "forward";
inline constexpr char kDeviceNumber[] = "device_number";
inline constexpr char kStorageDescriptor[] = "storage_descriptor";
inline constexpr char kMediaTypes[] = "media_types";
inline constexpr char kMountdevName[] = "mountdev_name";
inline constexpr char kSdProtocol[] = "sd_protocol";
inline constexpr char kSdCid[] = "sd_cid";
inline constexpr char kHub[] = "hub";
inline constexpr char kIoctl[] = "ioctl";
inline constexpr char kLabel[] = "label";
inline constexpr char kFileSystem[] = "file_system";
inline constexpr char kMaxComponentLength[] = "max_component_length";
inline constexpr char kFlags[] = "flags";
inline constexpr char kMajor[] = "major";
inline constexpr char kMinor[] = "minor";
inline constexpr char kBuild[] = "build";
inline constexpr char kProgram[] = "program";
inline constexpr char kVersion[] = "version";
inline constexpr char kArchitecture[] = "architecture";
inline constexpr char kWindows[] = "windows";
inline constexpr char kSchema[] = "$schema";
inline constexpr char kDescription[] = "description";
inline constexpr char kCapturedBy[] = "captured_by";
inline constexpr char kClock[] = "clock";
inline constexpr char kWindowsDirectory[] = "windows_directory";
inline constexpr char kWindowsDirectoryError[] = "windows_directory_error";
inline constexpr char kEnvironment[] = "environment";
inline constexpr char kLibraries[] = "libraries";
inline constexpr char kDosDevices[] = "dos_devices";
inline constexpr char kVolumes[] = "volumes";
inline constexpr char kClassErrors[] = "class_errors";
inline constexpr char kInterfaceOrder[] = "interface_order";
inline constexpr char kHandleValues[] = "handle_values";
inline constexpr char kDevices[] = "devices";
inline constexpr char kObjects[] = "objects";
inline constexpr char kValue[] = "value";
inline constexpr char kMissingExports[] = "missing_exports";
}  // namespace key

// The one word a library's entry may be instead of an object.
inline constexpr char kMissingLibrary[] = "missing";

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
    bool orError = false;  // the value may instead be an object of error alone
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

// The registry properties Windows derives for a device that has none of its
// own: ClassGUID is the device's class as written, EnumeratorName the part
// of its id before the first backslash.  The reader fills them in; the
// writer leaves them out where they say no more than that.  `property` is
// one of kProperties' fields; `classText` is null for a device without a
// class.  None: the property is not derived.
std::optional<std::string> DerivedProperty(const Field &property, std::string_view id, const std::string *classText);

// Whether a simulated library exports `name` (a missing export must be one).
bool Exports(std::string_view library, const char *name);

}  // namespace machine::format
