// The machine: what one computer answers, as a machine file describes it,
// and its lookup index.  Read and written by machine/, answered from by the
// simulator (sim/), built by the capture (capture/).  The logic never sees it.
// A field a file may leave out has no default of its own here: the reader
// fills every one from the format's table (Format.cpp), where defaults live.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/win32.h"
#include "platform/wstr.h"

namespace machine {

// A registry property as the registry would return it: its type and raw bytes.
struct Property {
    uint32_t type = REG_SZ;
    std::vector<uint8_t> data;
};

// A device's registry properties by SPDRP code.  A device has a handful, read
// millions of times on a large machine: one small block scanned in order
// costs less than a tree walk.
class PropertyMap {
public:
    Property &operator[](uint32_t code) {
        for (auto &e : entries_)
            if (e.first == code) return e.second;
        return entries_.emplace_back(code, Property{}).second;
    }
    const Property *Find(uint32_t code) const {
        for (const auto &e : entries_)
            if (e.first == code) return &e.second;
        return nullptr;
    }
    bool Has(uint32_t code) const { return Find(code) != nullptr; }

private:
    std::vector<std::pair<uint32_t, Property>> entries_;
};

struct Interface {
    GUID cls{};
    std::string classText;
    WString path;
    int object = -1;  // index in Machine::objects; -1: no object, opens fail with 2
    bool present = false;
};

struct Device {
    WString id;
    std::string idText;
    DEVINST devinst = 0;  // the index + 1 unless the file says otherwise
    int parent = -1;  // index in Machine::devices
    bool hasClass = false;
    GUID cls{};
    std::string classText;
    bool present = false;
    uint32_t status = 0;
    uint32_t problem = 0;
    std::optional<uint32_t> statusError;
    std::optional<uint32_t> idError;  // CM_Get_Device_ID_Size and CM_Get_Device_IDW fail with it
    PropertyMap properties;
    std::vector<Interface> interfaces;
};

// An answer key may instead be an error alone (format::key::kError).
template <typename T>
struct Answer {
    bool given = false;
    std::optional<uint32_t> error;
    T value{};
};

struct DeviceNumber {
    uint32_t type = 0, number = 0, partition = 0;
    std::optional<uint32_t> returned;
};

struct StorageDescriptor {
    std::optional<std::string> vendor, product, revision, serial;
    uint32_t busType = 0;
    bool removable = false;
    uint8_t deviceType = 0;
    uint8_t deviceTypeModifier = 0;
    bool commandQueueing = false;
};

struct MediaType {
    uint32_t mediaType = 0;
    int64_t cylinders = 0;
    uint32_t tracksPerCylinder = 0, sectorsPerTrack = 0, bytesPerSector = 0, sides = 0, characteristics = 0;
};

struct HubPort {
    uint32_t port = 0;
    bool connected = false;
    bool deviceIsHub = false;
    uint8_t speed = 0;
    uint16_t address = 0;
    uint8_t configuration = 0;
    uint32_t openPipes = 0;
    std::vector<uint8_t> descriptor;  // 18-byte USB device descriptor
    std::optional<WString> driverKey;
    std::optional<uint32_t> driverKeyError;
    std::vector<uint16_t> languages;
    std::map<uint32_t, WString> strings;
};

struct Hub {
    bool exQuery = false;
    std::optional<uint32_t> portCount;
    bool busPowered = false;
    std::vector<HubPort> ports;
};

struct RawAnswer {
    std::optional<std::vector<uint8_t>> input;  // answers requests whose input starts so; none: any
    bool hasBytes = false;
    std::vector<uint8_t> bytes;
    std::optional<uint32_t> returned;
    std::optional<uint32_t> error;
};

struct OpenError {
    uint32_t win32 = 0;
    uint32_t status = 0;
};

struct Object {
    WString name;
    std::string nameText;
    std::vector<WString> aliases;
    std::optional<OpenError> openError;
    std::optional<OpenError> writeError;  // opens asking for write access
    int forward = -1;
    Answer<DeviceNumber> deviceNumber;
    Answer<StorageDescriptor> storageDescriptor;
    Answer<std::vector<MediaType>> mediaTypes;
    Answer<WString> mountdevName;
    Answer<GUID> sdProtocol;
    Answer<std::vector<uint8_t>> sdCid;  // 16 bytes, most significant first
    Answer<Hub> hub;
    std::map<uint32_t, std::vector<RawAnswer>> ioctl;  // by control code, in file order
};

struct Volume {
    std::optional<uint32_t> error;
    WString label;
    uint32_t serial = 0;
    WString fileSystem;
    uint32_t maxComponentLength = 0;
    uint32_t fileSystemFlags = 0;
};

struct LibraryModel {
    bool missing = false;
    std::set<std::string> missingExports;
};

// Who wrote a machine file, as it says; the replay answers nothing from it.
struct CapturedBy {
    std::string program, version, architecture;
    struct Windows {
        uint32_t major = 0, minor = 0, build = 0;
    };
    std::optional<Windows> windows;
};

struct Machine {
    // The members of a device information set.
    struct Members {
        std::vector<int> devices;  // device indexes, in the order the set lists them
        std::vector<int> sorted;   // the same ascending, when that is another order; else empty
    };
    std::optional<WString> windowsDirectory;
    uint32_t windowsDirectoryError = 0;
    std::vector<std::pair<WString, WString>> environment;
    std::map<std::string, LibraryModel> libraries;  // by lower-case file name
    std::vector<std::pair<WString, WString>> dosDevices;
    std::vector<std::pair<WString, Volume>> volumes;
    std::vector<std::pair<GUID, uint32_t>> classErrors;
    std::vector<Device> devices;
    std::vector<Object> objects;
    std::optional<int64_t> clock;         // the time the run reports; none: the real clock
    std::vector<uint32_t> handleValues;   // what the first successful opens return
    // Per interface class, the interfaces (device, interface) that interface
    // sets list first, in this order; the others follow in file order.
    std::vector<std::pair<GUID, std::vector<std::pair<int, size_t>>>> interfaceOrder;
    std::optional<CapturedBy> capturedBy;

    // Lookup indexes, built once the machine is loaded (IndexMachine), so
    // that each request costs what the real system's lookup would, not a
    // scan of the whole machine.  Case-insensitive keys are folded once.
    struct Index {
        std::unordered_map<WString, int> deviceById;         // folded id
        std::unordered_map<WString, int> objectByName;       // folded name or alias
        std::unordered_map<WString, int> objectByExactName;  // name or alias as written
        std::unordered_map<WString, std::pair<int, int>> interfaceByPath;  // folded path: device, interface
        std::vector<std::pair<WString, int>> sortedIds;      // folded id, device; for enumerator prefixes
        std::vector<int> firstChild, nextSibling;            // device tree, -1: none
        bool plainDevinst = true;                            // every device's DEVINST is its index + 1
        // Otherwise, by DEVINST: where the values are small, a device index
        // (-1: none) per value; else a map.
        std::vector<int> devinstSlots;
        std::unordered_map<DEVINST, int> deviceByDevinst;
        // Members of the sets asked for so far, by query: the machine does not
        // change, and the program asks the same query once per device.
        mutable std::unordered_map<std::string, Members> setMembers;
    } index;
};

// Fills machine.index from the devices and objects.
void IndexMachine(Machine &machine);

// Parses and validates a machine file; throws MachineError naming `source`
// and, for a bad key, its JSON path.
std::unique_ptr<Machine> ParseMachine(std::string_view json, const std::string &source);

// A machine, a device and an interface as a file that leaves out every key
// it may reads them: what a model made otherwise than by reading (the
// capture's) starts from, so that defaults live in the format's table alone.
// The device has no id, DEVINST, properties or interfaces, the interface no
// class or path.
struct Blanks {
    Machine machine;
    Device device;
    Interface deviceInterface;
};
const Blanks &BlankModel();

// Text helpers shared by the parser and the operations.
bool ParseGuidText(std::string_view text, GUID *guid);
std::string GuidText(const GUID &guid);

}  // namespace machine
