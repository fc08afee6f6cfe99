// From the record to a machine: devices by their DEVINST, the objects the
// opens reached, and every device request as a raw answer keyed by control
// code and input.
#include "capture/MachineBuilder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <unordered_map>
#include <stdexcept>

#include "capture/CapturedBy.h"
#include "platform/win32.h"
#include "platform/wstr.h"
#include "machine/File.h"
#include "machine/Format.h"
#include "machine/Model.h"
#include "machine/Rules.h"

namespace capture {

namespace {

namespace key = machine::format::key;

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

WString WideOf(const Bytes &wide) {
    WString text(wide.size() / sizeof(WCHAR), 0);
    if (!text.empty()) std::memcpy(text.data(), wide.data(), text.size() * sizeof(WCHAR));
    return text;
}

std::string Utf8(WStringView wide) { return wstr::ToUtf8(wide); }

template <typename T>
T Read(const Bytes &bytes, size_t offset = 0) {
    T value{};
    if (bytes.size() >= offset + sizeof value) std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

using machine::GuidText;

Bytes Copy(Block block) { return Bytes(block.begin(), block.end()); }
bool Same(const Bytes &kept, Block block) { return std::equal(kept.begin(), kept.end(), block.begin(), block.end()); }

// An element's bytes as a map key: GCC 12 warns falsely
// (-Wstringop-overread) on comparing byte vectors in a map.
std::string AsText(const SP_DEVICE_INTERFACE_DATA &data) {
    return std::string(reinterpret_cast<const char *>(&data), sizeof data);
}

// By their bytes: the program walks whole sets once per device, so these run
// for every element of every walk.
bool SameGuid(const GUID &a, const GUID &b) { return std::memcmp(&a, &b, sizeof a) == 0; }
bool IsNull(const GUID &g) { return SameGuid(g, GUID{}); }

using machine::rules::Folded;

WString Wide(const std::string &utf8) { return wstr::FromUtf8(utf8); }

struct Interface {
    std::string cls, path;
    bool present = true;
    int object = -1;
};

// What every walk reads and writes comes first, together.
struct Device {
    DEVINST devinst = 0;
    int listedBy = 0;          // the serial of the latest set that listed it
    bool severalSets = false;  // listed by more than one set
    bool listedPresent = false;
    std::optional<GUID> cls;
    // Code: type, bytes, in the order first answered.  A device has a handful,
    // read again on every walk: a short scan of one block beats a tree.
    std::vector<std::pair<uint32_t, std::pair<uint32_t, Bytes>>> properties;
    std::string enumerator;  // of the first set with one that listed it
    std::string id;
    WString idAnswered;  // the identifier `id` was taken from, as answered
    std::optional<DEVINST> parent;
    std::optional<uint32_t> status, problem, statusError, idError;
    std::vector<Interface> interfaces;
};

// One device request as answered; the one with the largest output buffer
// stands for the others of the same input.
struct Request {
    Bytes input, output;
    uint32_t outSize = 0, reported = 0;
    bool ok = false;
    uint32_t error = 0;
    bool mixed = false;  // calls of this input differed in success
};

struct Open {
    bool write = false, ok = false;
    uint32_t error = 0;
};

struct Object {
    std::string name;  // the kernel name, once known
    std::vector<std::string> paths;  // what opened it, other than interface paths
    std::vector<Open> opens;
    std::map<uint32_t, std::vector<Request>> requests;  // by control code
    int mergedInto = -1;
};

// What sets listed, each distinct listing kept once, by the serial of the
// first set that listed it.  The program makes the same sets again and again,
// and a walk that stopped early lists the start of a longer one: keeping
// every copy would grow with the run, not with the machine.  A set's listing
// is settled when the set is destroyed, or at the end.
template <typename T>
class Listings {
public:
    // A walk adds its elements one by one: the listing added to last is kept at hand.
    void Add(int serial, const T &item) {
        if (last_ == nullptr || lastSerial_ != serial) {
            last_ = &open_[serial];
            lastSerial_ = serial;
        }
        last_->push_back(item);
    }
    void Close(int serial) {
        last_ = nullptr;
        auto it = open_.find(serial);
        if (it == open_.end()) return;
        std::vector<T> listed = std::move(it->second);
        open_.erase(it);
        for (auto &[first, kept] : kept_) {
            if (StartOf(listed, kept)) return;
            if (StartOf(kept, listed)) {
                kept = std::move(listed);
                return;
            }
        }
        kept_.emplace(serial, std::move(listed));
    }
    const std::map<int, std::vector<T>> &All() {
        while (!open_.empty()) Close(open_.begin()->first);
        return kept_;
    }

private:
    static bool StartOf(const std::vector<T> &a, const std::vector<T> &b) {
        return a.size() <= b.size() && std::equal(a.begin(), a.end(), b.begin());
    }
    std::map<int, std::vector<T>> open_, kept_;
    std::vector<T> *last_ = nullptr;
    int lastSerial_ = 0;
};

class Builder {
public:
    // Once the run cannot be written, nothing more is kept.
    template <typename R>
    void Take(const R &record) {
        if (!refusal_) On(record);
    }
    machine::Machine Build();

private:
    void Refuse(const std::string &why);
    Device &DeviceAt(DEVINST devinst) {
        if (devinst < byDevinst_.size() && byDevinst_[devinst] != nullptr) return *byDevinst_[devinst];
        return NewDeviceAt(devinst);
    }
    Device &NewDeviceAt(DEVINST devinst);
    bool Known(DEVINST devinst) const;
    void NoteId(DEVINST devinst, WStringView id);
    int Find(int object) const;
    int ObjectNamed(const std::string &name);
    int ObjectForPath(const std::string &path);
    int ObjectForNative(const std::string &name);
    struct Lookups;
    void ReachDrivesThroughDosDevices();
    void Merge(int from, int into);
    void NoteOpen(int object, uint64_t access, bool ok, uint32_t error);
    void NoteOpened(int object, uint64_t access, bool ok, uint32_t error, uint64_t handle);
    void ForgetSet(uint64_t handle);
    // A reported path, converted once; the same text has the same id.
    struct PathText {
        std::string path, folded;
        uint32_t id = 0;
        const std::pair<DEVINST, size_t> *interface = nullptr;  // in interfaceByPath_, once there
        const WString *answered = nullptr;                       // its key in pathTexts_
        PathText *next = nullptr;                                // the path asked for after it, last time
    };
    PathText &TextOf(WStringView path);
    PathText &FindText(WStringView path);
    PathText *lastText_ = nullptr;  // the path asked for last
    // A class converted once, and its detail listings once asked for.
    struct ClassTexts {
        GUID cls{};
        std::string text;
        Listings<uint32_t> *details = nullptr;  // in detailListings_
    };
    ClassTexts &ClassText(const GUID &cls);
    struct WideHash {
        using is_transparent = void;
        size_t operator()(WStringView text) const { return std::hash<WStringView>{}(text); }
    };
    std::unordered_map<WString, PathText, WideHash, std::equal_to<>> pathTexts_;  // by the path as reported
    std::unordered_map<std::string, uint32_t> pathIds_;                          // by the converted text
    std::vector<const std::string *> pathById_;                                  // the keys of pathIds_
    std::optional<ClassTexts> lastClass_;                                        // the class converted last
    bool NoDeviceNode(std::string_view op, DEVINST devinst, CONFIGRET result);
    DEVINST AskedDevice(uint64_t set, const std::optional<SP_DEVICE_INTERFACE_DATA> &data) const;
    using Property = std::pair<uint32_t, Bytes>;  // type, bytes
    static Property &PropertyOf(Device &d, uint32_t code);
    static void NoteValue(Property &known, const ev::SetupDiGetDeviceRegistryPropertyW &e);
    void NoteNoProperty(Device &d, uint32_t code, DWORD error);
    // One handler per operation the machine learns from; the others teach it nothing.
    template <typename R>
    void On(const R &) {}
    void On(const ev::LoadLibraryW &e);
    void On(const ev::GetProcAddress &e);
    void On(const ev::Time &e);
    void On(const ev::GetWindowsDirectoryW &e);
    void On(const ev::WGetEnv &e);
    void On(const ev::QueryDosDeviceW &e);
    void On(const ev::GetVolumeInformationW &e);
    void On(const ev::SetupDiGetClassDevsW &e);
    void On(const ev::SetupDiDestroyDeviceInfoList &e);
    void On(const ev::SetupDiEnumDeviceInfo &e);
    void On(const ev::SetupDiGetDeviceInstanceIdW &e);
    void On(const ev::CM_Get_Device_IDW &e);
    void On(const ev::CM_Get_Device_ID_Size &e);
    void On(const ev::CM_Get_Parent &e);
    void On(const ev::CM_Get_DevNode_Status &e);
    void On(const ev::SetupDiGetDeviceRegistryPropertyW &e);
    void On(const ev::SetupDiEnumDeviceInterfaces &e);
    void On(const ev::SetupDiGetDeviceInterfaceDetailW &e);
    void On(const ev::CreateFileW &e);
    void On(const ev::NtCreateFile &e);
    void On(const ev::CloseHandle &e);
    void On(const ev::NtClose &e);
    void On(const ev::DeviceIoControl &e);
    void On(const ev::NtQueryObject &e);
    // The machine's parts, in the order the file gives them.
    void Devices(machine::Machine &m, const std::vector<int> &objectIndex) const;
    machine::Device DeviceModel(const Device &d, const std::unordered_map<DEVINST, int> &at,
                                const std::vector<int> &objectIndex) const;
    std::vector<int> Objects(machine::Machine &m) const;
    machine::Object ObjectModel(const Object &o) const;
    void InterfaceOrder(machine::Machine &m) const;

    std::optional<std::string> refusal_;  // the first answer no machine file can give
    std::optional<std::string> zeroAnswer_;  // an answer on DEVINST 0 the replay gives otherwise
    std::unordered_map<DEVINST, Device> devices_;  // looked up for every element of every walk
    static constexpr DEVINST kFlatDevinsts = 1u << 20;  // values past it are looked up in devices_ alone
    std::vector<Device *> byDevinst_;                    // devices_ by DEVINST, as far as DeviceAt has met them
    std::vector<DEVINST> deviceOrder_;
    std::vector<Object> objects_;
    std::map<std::string, std::pair<DEVINST, size_t>> interfaceByPath_;  // folded path
    std::map<uint64_t, int> handles_;  // open handle -> object
    std::map<std::string, std::string> dosDevices_;  // folded drive: target, for the path rules
    // What the machine file will say, each by the name the run gave it.
    machine::Machine top_ = machine::BlankModel().machine;  // the clock and the Windows directory
    std::optional<std::map<WString, WString>> environment_;  // none: never read, the format's default
    std::map<WString, WString> dosDeviceTargets_;
    std::map<WString, machine::Volume> volumes_;
    std::map<std::string, machine::LibraryModel> libraries_;
    std::map<uint64_t, std::string> modules_;
    std::vector<uint64_t> handleValues_;
    std::map<std::string, uint32_t> classErrors_;
    // Per interface class, the paths in the order the first set of that class listed them.
    std::map<std::string, std::vector<std::string>> listed_;
    std::map<std::string, Listings<uint32_t>> detailListings_;  // by class: path ids
    struct Set {
        uint64_t flags = 0;
        std::string enumerator;
        int serial = 0;  // from 1, in the order made: handles may be reused once a set is destroyed
        std::string cls;
        uint64_t listed = 0;  // how many elements it listed so far
        std::string query;          // a device set's key in deviceSets_
        Listings<DEVINST> *devices = nullptr;  // where its devices are listed, once they are
    };
    // Interface sets by class: the devices each listed, in order.
    std::map<std::string, Listings<DEVINST>> interfaceSetDevices_;
    void AddListedInterfaces();
    int sets_ = 0;                      // sets made so far
    std::map<uint64_t, Set> liveSets_;  // by handle, until destroyed
    Set &SetOf(uint64_t handle);
    Listings<DEVINST> &DevicesListed(Set &set);
    // Walks ask about one set call after call.
    uint64_t lastSetHandle_ = 0;
    Set *lastSet_ = nullptr;  // in liveSets_
    // set, element (its bytes as text) -> the device asked about, or 0
    std::map<uint64_t, std::map<std::string, DEVINST>> interfaceData_;
    // Device sets by what they ask for: the query, and what they listed, in order.
    struct DeviceSets {
        Set query;
        Listings<DEVINST> listings;
    };
    std::map<std::string, DeviceSets> deviceSets_;
    std::string IdOf(const Device &d) const;
    bool Selects(const Set &set, const Device &d) const;
    void OrderDevices();
};

// Every handler of a device looks it up, most for every element of every
// walk: DEVINSTs are small numbers, so a flat index answers first (DeviceAt);
// a device it has not met yet is found or added here.
Device &Builder::NewDeviceAt(DEVINST devinst) {
    auto [it, added] = devices_.try_emplace(devinst);
    if (added) {
        it->second.devinst = devinst;
        deviceOrder_.push_back(devinst);
    }
    if (devinst < kFlatDevinsts) {
        if (devinst >= byDevinst_.size()) byDevinst_.resize(devinst + 1, nullptr);
        byDevinst_[devinst] = &it->second;  // elements of devices_ never move
    }
    return it->second;
}

bool Builder::Known(DEVINST devinst) const {
    if (devinst < byDevinst_.size() && byDevinst_[devinst] != nullptr) return true;
    return devices_.count(devinst) != 0;
}

void Builder::Refuse(const std::string &why) {
    if (!refusal_) refusal_ = why;
}

// The refusal of a DEVINST that two sets gave to two devices.
std::string PerSetRefusal(DEVINST devinst, const std::string &one, const std::string &another) {
    std::string why = "DEVINST ";
    why += Hex(devinst);
    why += " names " + one + " in one device set and " + another;
    why += " in another: this system hands out device node values per set (Wine does); such a run cannot be "
           "written as a machine file";
    return why;
}

// What the reader says of the `index`th value under `key` (and `name`):
// for values the model cannot hold, so the capture says it in their place.
std::string KeyProblem(const char *key, const std::string &name, size_t index, const char *problem) {
    std::string why = kCapturedMachine;
    why += ": ";
    why += key;
    if (!name.empty()) {
        why += '.';
        why += name;
    }
    why += '[';
    why += std::to_string(index);
    why += "]: ";
    return why + problem;
}

// Windows gives each device node one DEVINST for the life of the boot; a
// system that hands one value to two devices (Wine does, per device
// information set) cannot be written as a machine, so the capture says so.
void Builder::NoteId(DEVINST devinst, WStringView id) {
    Device &d = DeviceAt(devinst);
    // The identifier asked for again, as first answered: nothing new.
    if (!d.id.empty() && id == d.idAnswered) return;
    const std::string text = Utf8(id);
    if (!d.id.empty() && Folded(d.id) != Folded(text)) {
        if (d.severalSets) {
            Refuse(PerSetRefusal(devinst, d.id, text));
        } else {
            std::string why = "DEVINST ";
            why += Hex(devinst) + " named two devices, " + d.id + " and " + text;
            Refuse(why + ": this system reuses device node values; such a run cannot be written as a machine file");
        }
    }
    if (d.id.empty()) {
        d.id = text;
        d.idAnswered = WString(id);
    }
}

int Builder::Find(int object) const {
    while (objects_[static_cast<size_t>(object)].mergedInto >= 0)
        object = objects_[static_cast<size_t>(object)].mergedInto;
    return object;
}

int Builder::ObjectNamed(const std::string &name) {
    for (size_t i = 0; i < objects_.size(); ++i)
        if (objects_[i].mergedInto < 0 && Folded(objects_[i].name) == Folded(name)) return static_cast<int>(i);
    objects_.push_back(Object{name, {}, {}, {}, -1});
    return static_cast<int>(objects_.size() - 1);
}

void Builder::Merge(int from, int into) {
    from = Find(from);
    into = Find(into);
    if (from == into) return;
    Object &f = objects_[static_cast<size_t>(from)];
    Object &t = objects_[static_cast<size_t>(into)];
    t.paths.insert(t.paths.end(), f.paths.begin(), f.paths.end());
    t.opens.insert(t.opens.end(), f.opens.begin(), f.opens.end());
    for (auto &[code, list] : f.requests) t.requests[code].insert(t.requests[code].end(), list.begin(), list.end());
    f.mergedInto = into;
}

// The record as the path rules look it up: interfaces met so far, the DOS
// devices queried so far, objects by name or by a path that opened them.
struct Builder::Lookups {
    Builder &b;
    int Interface(WStringView path, bool *found) const {
        auto i = b.interfaceByPath_.find(Folded(wstr::ToUtf8(path)));
        *found = i != b.interfaceByPath_.end();
        if (!*found) return -1;
        auto &itf = b.devices_[i->second.first].interfaces[i->second.second];
        if (itf.object < 0) itf.object = b.ObjectNamed(wstr::ToUtf8(path));
        return b.Find(itf.object);
    }
    const WString *Drive(WStringView drive) const {
        auto d = b.dosDevices_.find(Folded(wstr::ToUtf8(drive)));
        if (d == b.dosDevices_.end()) return nullptr;
        target = Wide(d->second);
        return &target;
    }
    // The target of a drive path such as \\.\C:, or null.
    const WString *DriveOfPath(const std::string &path) const {
        const machine::rules::Name name = machine::rules::UserPathName(Wide(path));
        return name.kind == machine::rules::Name::Kind::Drive ? Drive(name.text) : nullptr;
    }
    int Object(WStringView name, bool) const {
        const std::string text = Folded(wstr::ToUtf8(name));
        for (size_t k = 0; k < b.objects_.size(); ++k) {
            const auto &o = b.objects_[k];
            if (o.mergedInto >= 0) continue;
            if (Folded(o.name) == text) return static_cast<int>(k);
            for (const std::string &p : o.paths)
                if (Folded(p) == text) return static_cast<int>(k);
        }
        return -1;
    }
    mutable WString target;
};

// The object an open reached: the one the path rules reach in what the
// record has said so far, or a new one they will reach by that path.
int Builder::ObjectForPath(const std::string &path) {
    const Lookups lookups{*this, {}};
    const int known = machine::rules::ResolveUserPath(Wide(path), lookups);
    if (known >= 0) return Find(known);
    const machine::rules::Name name = machine::rules::UserPathName(Wide(path));
    if (name.kind == machine::rules::Name::Kind::KernelName) return ObjectNamed(wstr::ToUtf8(name.text));
    if (const WString *target = lookups.DriveOfPath(path)) return ObjectNamed(wstr::ToUtf8(*target));
    const int o = ObjectNamed(path);
    objects_[static_cast<size_t>(o)].paths.push_back(path);
    return o;
}

int Builder::ObjectForNative(const std::string &name) {
    const int known = machine::rules::ResolveNativeName(Wide(name), true, Lookups{*this, {}});
    if (known >= 0) return Find(known);
    const machine::rules::Name native = machine::rules::NativeName(Wide(name));
    if (native.kind == machine::rules::Name::Kind::Drive) return ObjectForPath("\\\\.\\" + wstr::ToUtf8(native.text));
    return ObjectNamed(name);
}

// A drive opened before the run asked where it leads was taken for a name of
// its own; the replay opens it through its DOS device, so the object must
// answer to the device's target.
void Builder::ReachDrivesThroughDosDevices() {
    for (size_t k = 0; k < objects_.size(); ++k) {
        if (objects_[k].mergedInto >= 0) continue;
        const std::vector<std::string> paths = objects_[k].paths;
        for (const std::string &path : paths) {
            const Lookups lookups{*this, {}};
            const WString *target = lookups.DriveOfPath(path);
            if (target == nullptr) continue;
            const std::string name = wstr::ToUtf8(*target);
            const int named = lookups.Object(*target, true);
            Object &o = objects_[k];
            if (named >= 0 && Find(named) != static_cast<int>(k)) {
                Merge(static_cast<int>(k), named);
                break;
            }
            if (named < 0 && Folded(o.name) == Folded(path)) o.name = name;
            else if (named < 0) o.paths.push_back(name);
        }
    }
}

void Builder::NoteOpen(int object, uint64_t access, bool ok, uint32_t error) {
    objects_[static_cast<size_t>(Find(object))].opens.push_back({machine::rules::AsksWrite(static_cast<uint32_t>(access)), ok, error});
}

void Builder::On(const ev::DeviceIoControl &e) {
    auto h = handles_.find(e.handle);
    if (h == handles_.end()) return;
    Request r{Copy(e.input), Copy(e.output), e.outSize, e.returned, e.result != 0, e.result != 0 ? 0 : e.lastError,
              false};
    auto &list = objects_[static_cast<size_t>(Find(h->second))].requests[e.code];
    for (Request &known : list)
        if (known.input == r.input) {
            const bool mixed = known.mixed || known.ok != r.ok;
            if (r.outSize > known.outSize) known = r;
            known.mixed = mixed;
            return;
        }
    list.push_back(std::move(r));
}

void Builder::On(const ev::LoadLibraryW &e) {
    const std::string name = Folded(Utf8(e.name));
    if (e.result == 0) libraries_[name] = machine::LibraryModel{true, {}};
    else modules_[e.result] = name;
}

void Builder::On(const ev::GetProcAddress &e) {
    auto m = modules_.find(e.module);
    if (e.result != 0 || m == modules_.end()) return;
    machine::LibraryModel &lib = libraries_[m->second];
    if (lib.missing) lib = machine::LibraryModel{};
    lib.missingExports.insert(std::string(e.name));
}

void Builder::On(const ev::Time &e) { top_.clock = static_cast<int64_t>(e.result); }

void Builder::On(const ev::GetWindowsDirectoryW &e) {
    if (e.result == 0) {
        top_.windowsDirectory.reset();
        top_.windowsDirectoryError = e.lastError;
    } else if (!e.directory.empty()) {
        top_.windowsDirectory = WString(e.directory);
    }
}

void Builder::On(const ev::WGetEnv &e) {
    // An unset variable reads as empty with no size: the machine has no such variable.
    if (e.result == 0 && !environment_) environment_.emplace();
    if (e.result == 0 && e.required != 0) (*environment_)[WString(e.name)] = WString(e.value);
}

void Builder::On(const ev::QueryDosDeviceW &e) {
    if (e.result == 0) return;
    // The first of the targets the answer lists.
    const WStringView target = e.target.substr(0, e.target.find(WCHAR(0)));
    dosDevices_[Folded(Utf8(e.device))] = Utf8(target);
    dosDeviceTargets_[WString(e.device)] = WString(target);
}

void Builder::On(const ev::GetVolumeInformationW &e) {
    WString drive(e.root);
    if (!drive.empty() && drive.back() == '\\') drive.pop_back();
    if (e.result == 0) {
        if (e.lastError != ERROR_PATH_NOT_FOUND) {
            volumes_[drive] = machine::Volume{};
            volumes_[drive].error = e.lastError;
        }
        return;
    }
    machine::Volume &volume = volumes_[drive] = machine::Volume{};
    volume.label = WString(e.volumeName);
    volume.serial = e.serial;
    volume.fileSystem = WString(e.fileSystemName);
    volume.maxComponentLength = e.maxComponentLength;
    volume.fileSystemFlags = e.fileSystemFlags;
}

Builder::Set &Builder::SetOf(uint64_t handle) {
    static Set unknown;
    if (lastSet_ != nullptr && lastSetHandle_ == handle) return *lastSet_;
    auto set = liveSets_.find(handle);
    if (set != liveSets_.end()) {
        lastSetHandle_ = handle;
        lastSet_ = &set->second;
        return set->second;
    }
    unknown = Set{};
    return unknown;
}

// A set's listings are made when it first lists a device, or when it is destroyed.
Listings<DEVINST> &Builder::DevicesListed(Set &set) {
    if (set.devices == nullptr)
        set.devices = (set.flags & DIGCF_DEVICEINTERFACE) == 0 ? &deviceSets_.at(set.query).listings
                                                                 : &interfaceSetDevices_[set.cls];
    return *set.devices;
}

// The key of a device set's query: sets asking the same list the same.
std::string QueryKey(uint64_t flags, const std::string &enumerator, const std::string &cls) {
    return Hex(flags) + "|" + cls + "|" + Folded(enumerator);
}

void Builder::On(const ev::SetupDiGetClassDevsW &e) {
    const std::string cls = e.cls ? GuidText(*e.cls) : std::string();
    if (e.result == reinterpret_cast<uintptr_t>(INVALID_HANDLE_VALUE)) {
        if (e.cls) classErrors_[cls] = e.lastError;
        return;
    }
    ForgetSet(e.result);  // a handle never destroyed, given again
    Set set{e.flags, Utf8(e.enumerator), ++sets_, cls, {}, {}};
    if ((set.flags & DIGCF_DEVICEINTERFACE) == 0) {
        set.query = QueryKey(set.flags, set.enumerator, cls);
        deviceSets_.try_emplace(set.query, DeviceSets{set, {}});
    }
    liveSets_[e.result] = std::move(set);
}

void Builder::On(const ev::SetupDiDestroyDeviceInfoList &e) { ForgetSet(e.set); }

// A destroyed set's listings are settled, and what was asked of its elements
// forgotten: its handle value may name another set later.
void Builder::ForgetSet(uint64_t handle) {
    auto live = liveSets_.find(handle);
    if (live == liveSets_.end()) return;
    Set &set = live->second;
    if ((set.flags & DIGCF_DEVICEINTERFACE) == 0) {
        DevicesListed(set).Close(set.serial);
    } else if (!set.cls.empty()) {
        DevicesListed(set).Close(set.serial);
        detailListings_[set.cls].Close(set.serial);
    }
    interfaceData_.erase(live->first);
    if (lastSet_ == &set) lastSet_ = nullptr;
    liveSets_.erase(live);
}

// A device set listed a device: the class it gave must be the one other sets
// gave, and each device is listed once, as on replay.
void Builder::On(const ev::SetupDiEnumDeviceInfo &e) {
    Set &set = SetOf(e.set);
    if (e.result == 0 || set.serial == 0 || e.index < set.listed) return;  // an element asked again
    ++set.listed;
    const SP_DEVINFO_DATA &data = e.device;
    Device &d = DeviceAt(data.DevInst);
    const bool twice = d.listedBy == set.serial;
    if (d.listedBy != 0 && !twice) d.severalSets = true;
    d.listedBy = set.serial;
    if (twice) {
        std::string why = "a device set listed DEVINST ";
        why += Hex(data.DevInst) + " twice; on replay a set lists each device once, so such a run cannot be written "
                                   "as a machine file";
        Refuse(why);
    }
    if (!IsNull(data.ClassGuid)) {
        if (d.cls && !SameGuid(*d.cls, data.ClassGuid))
            Refuse(PerSetRefusal(data.DevInst, "a device of class " + GuidText(*d.cls),
                                 "a device of class " + GuidText(data.ClassGuid)));
        d.cls = data.ClassGuid;
    }
    if ((set.flags & DIGCF_PRESENT) != 0) d.listedPresent = true;
    if ((set.flags & DIGCF_DEVICEINTERFACE) == 0) {
        DevicesListed(set).Add(set.serial, data.DevInst);
        if (d.enumerator.empty()) d.enumerator = set.enumerator;
    } else if (!set.cls.empty()) {
        DevicesListed(set).Add(set.serial, data.DevInst);
    }
}

void Builder::On(const ev::SetupDiGetDeviceInstanceIdW &e) {
    if (e.result != 0) NoteId(e.devinst, e.id);
}

// A configuration-manager call on no device node teaches nothing about one,
// as long as the replay answers it the same: a machine file's DEVINST 0 and
// unknown values answer CR_INVALID_DEVNODE.
bool Builder::NoDeviceNode(std::string_view op, DEVINST devinst, CONFIGRET result) {
    const bool listed = Known(devinst);
    if (devinst == 0 && !listed && result != CR_INVALID_DEVNODE && !zeroAnswer_) {
        std::string why(op);
        why += " on DEVINST 0x0 answered " + Hex(result) + ", where a machine file answers CR_INVALID_DEVNODE (0x5) for "
               "a value no device has; such a run cannot be written as a machine file";
        zeroAnswer_ = why;
    }
    return (devinst == 0 && !listed) || (result == CR_INVALID_DEVNODE && !listed);
}

// An identifier asked for and refused is refused on replay too.
void Builder::On(const ev::CM_Get_Device_ID_Size &e) {
    if (NoDeviceNode(NameOf(e), e.devinst, e.result) || e.result == CR_SUCCESS) return;
    DeviceAt(e.devinst).idError = e.result;
}

void Builder::On(const ev::CM_Get_Device_IDW &e) {
    if (NoDeviceNode(NameOf(e), e.devinst, e.result)) return;
    if (e.result == CR_SUCCESS) NoteId(e.devinst, e.id);
    else if (e.result != CR_BUFFER_SMALL) DeviceAt(e.devinst).idError = e.result;
}

void Builder::On(const ev::CM_Get_Parent &e) {
    if (NoDeviceNode(NameOf(e), e.devinst, e.result)) return;
    Device &d = DeviceAt(e.devinst);
    // A parent left unwritten reads as 0, which names no device node.
    if (e.result == CR_SUCCESS && e.parent != 0) {
        d.parent = e.parent;
        DeviceAt(*d.parent);
    } else if (e.result != CR_SUCCESS && e.result != CR_NO_SUCH_DEVNODE) {
        std::string why = "CM_Get_Parent of DEVINST ";
        why += Hex(d.devinst) + " answered " + Hex(e.result) + ", where a machine file's device has a parent or "
               "answers CR_NO_SUCH_DEVNODE (0xD); such a run cannot be written as a machine file";
        Refuse(why);
    }
}

void Builder::On(const ev::CM_Get_DevNode_Status &e) {
    if (NoDeviceNode(NameOf(e), e.devinst, e.result)) return;
    Device &d = DeviceAt(e.devinst);
    if (e.result == CR_SUCCESS) {
        d.status = e.status;
        d.problem = e.problem;
    } else {
        d.statusError = e.result;
    }
}

void Builder::On(const ev::SetupDiGetDeviceRegistryPropertyW &e) {
    if (e.devinst == 0) return;  // an element the set did not hand out
    Device &d = DeviceAt(e.devinst);
    const uint32_t code = e.property;
    Property &known = PropertyOf(d, code);
    // The same answer again (the program reads one property of every device
    // once per device it looks up): nothing to learn.
    if (e.result != 0 && known.first == e.type && Same(known.second, e.buffer)) return;
    if (e.result != 0 || e.lastError == ERROR_INSUFFICIENT_BUFFER) {
        NoteValue(known, e);
    } else if (known.second.empty() && known.first == 0) {
        std::erase_if(d.properties, [&](const auto &p) { return p.first == code; });
        NoteNoProperty(d, code, e.lastError);
    }
}

// The device's answer for a property, a blank one added where it has none.
Builder::Property &Builder::PropertyOf(Device &d, uint32_t code) {
    for (auto &[known, property] : d.properties)
        if (known == code) return property;
    return d.properties.emplace_back(code, Property{}).second;
}

// A value, or a size answer alone, which still says how long the value is.
void Builder::NoteValue(Property &known, const ev::SetupDiGetDeviceRegistryPropertyW &e) {
    if (e.result == 0 && !known.second.empty()) return;  // a size answer for a value already kept
    Bytes data = e.result != 0 ? Copy(e.buffer) : Bytes(e.required, 0);
    const bool cut = e.result != 0 && e.required == 0 && !known.second.empty();
    if (cut && data.size() > known.second.size()) data.resize(known.second.size());
    if (e.result != 0 || known.second.empty()) known = {e.type, data};
}

// Left out, a property fails with ERROR_INVALID_DATA, except the two the
// replay derives from the device, which never fail.
void Builder::NoteNoProperty(Device &d, uint32_t code, DWORD error) {
    if (error != ERROR_INVALID_DATA || (code == SPDRP_CLASSGUID && d.cls) || code == SPDRP_ENUMERATOR_NAME) {
        std::string why = "registry property " + std::to_string(code) + " of DEVINST ";
        why += Hex(d.devinst) + " failed with " + std::to_string(error) + " and no size, which a machine file "
               "cannot say (a property it leaves out fails with 13, and properties 8 and 22 are derived from the "
               "device's class and identifier); such a run cannot be written as a machine file";
        Refuse(why);
    }
}

// Only an element that names a device is looked up later: one of no device
// is forgotten, as if never asked (a walk of every interface names none).
void Builder::On(const ev::SetupDiEnumDeviceInterfaces &e) {
    if (e.result == 0) return;
    if (e.devinst != 0) {
        interfaceData_[e.set][AsText(e.data)] = e.devinst;
        return;
    }
    auto elements = interfaceData_.find(e.set);
    if (elements != interfaceData_.end() && !elements->second.empty()) elements->second.erase(AsText(e.data));
}

void Builder::On(const ev::SetupDiGetDeviceInterfaceDetailW &e) {
    if (e.result == 0 || e.path.empty()) return;
    const SP_DEVICE_INTERFACE_DATA data = e.data.value_or(SP_DEVICE_INTERFACE_DATA{});
    PathText &text = TextOf(e.path);
    const std::string &path = text.path;
    ClassTexts &cls = ClassText(data.InterfaceClassGuid);
    const Set &set = SetOf(e.set);
    if (set.serial != 0) {
        if (cls.details == nullptr) cls.details = &detailListings_[cls.text];
        cls.details->Add(set.serial, text.id);
    }
    if (text.interface == nullptr) {
        auto known = interfaceByPath_.find(text.folded);
        if (known != interfaceByPath_.end()) text.interface = &known->second;
    }
    if (text.interface != nullptr) {
        if ((set.flags & DIGCF_PRESENT) != 0) DeviceAt(text.interface->first).listedPresent = true;
        return;
    }
    // The device comes with the path, or from the walk of one device's interfaces.
    const DEVINST devinst = e.device ? e.device->DevInst : AskedDevice(e.set, e.data);
    if (devinst == 0 && !e.device) return;
    Device &d = DeviceAt(devinst);
    if (e.device && !IsNull(e.device->ClassGuid)) d.cls = e.device->ClassGuid;
    if ((set.flags & DIGCF_PRESENT) != 0) d.listedPresent = true;
    d.interfaces.push_back({cls.text, path, (data.Flags & SPINT_ACTIVE) != 0, -1});
    text.interface = &(interfaceByPath_[text.folded] = {devinst, d.interfaces.size() - 1});
}

// The device a walk of one device's interfaces asked about for this element,
// or 0 (a walk of every interface asked about none).
DEVINST Builder::AskedDevice(uint64_t set, const std::optional<SP_DEVICE_INTERFACE_DATA> &data) const {
    auto elements = interfaceData_.find(set);
    if (!data || elements == interfaceData_.end() || elements->second.empty()) return 0;
    auto asked = elements->second.find(AsText(*data));
    return asked != elements->second.end() ? asked->second : 0;
}

// Walks ask for the same paths and classes again and again: each is
// converted once.  A walk asks in the order the last one did, so the path
// that followed the previous one last time is compared first, before a
// path is hashed.
Builder::PathText &Builder::TextOf(WStringView path) {
    PathText *guess = lastText_ != nullptr ? lastText_->next : nullptr;
    PathText *text = guess != nullptr && *guess->answered == path ? guess : &FindText(path);
    if (lastText_ != nullptr) lastText_->next = text;
    lastText_ = text;
    return *text;
}

Builder::PathText &Builder::FindText(WStringView path) {
    auto known = pathTexts_.find(path);
    if (known != pathTexts_.end()) return known->second;
    std::string text = Utf8(path);
    std::string folded = Folded(text);
    auto [id, added] = pathIds_.try_emplace(text, static_cast<uint32_t>(pathById_.size()));
    if (added) pathById_.push_back(&id->first);
    auto made = pathTexts_.emplace(WString(path), PathText{std::move(text), std::move(folded), id->second}).first;
    made->second.answered = &made->first;
    return made->second;
}

Builder::ClassTexts &Builder::ClassText(const GUID &cls) {
    if (!lastClass_ || !SameGuid(lastClass_->cls, cls)) lastClass_ = ClassTexts{cls, GuidText(cls), nullptr};
    return *lastClass_;
}

void Builder::On(const ev::CreateFileW &e) {
    const bool ok = e.result != reinterpret_cast<uintptr_t>(INVALID_HANDLE_VALUE);
    if (!ok && e.lastError == ERROR_FILE_NOT_FOUND) return;  // nothing answers that name
    NoteOpened(ObjectForPath(Utf8(e.name)), e.access, ok, e.lastError, e.result);
}

void Builder::On(const ev::NtCreateFile &e) {
    const bool ok = e.result == STATUS_SUCCESS;
    if (e.result == STATUS_OBJECT_NAME_NOT_FOUND) return;  // nothing answers that name
    NoteOpened(ObjectForNative(Utf8(e.name)), e.access, ok, static_cast<uint32_t>(e.result), e.handle);
}

void Builder::NoteOpened(int object, uint64_t access, bool ok, uint32_t error, uint64_t handle) {
    NoteOpen(object, access, ok, error);
    if (ok) {
        handles_[handle] = object;
        handleValues_.push_back(handle);  // reused values too: the replay gives them again
    }
}

void Builder::On(const ev::CloseHandle &e) { handles_.erase(e.handle); }
void Builder::On(const ev::NtClose &e) { handles_.erase(e.handle); }

void Builder::On(const ev::NtQueryObject &e) {
    auto h = handles_.find(e.handle);
    if (h == handles_.end() || e.name.empty()) return;
    const std::string name = Utf8(e.name);
    const int object = Find(h->second);
    int named = -1;
    for (size_t k = 0; k < objects_.size(); ++k)
        if (objects_[k].mergedInto < 0 && static_cast<int>(k) != object && Folded(objects_[k].name) == Folded(name))
            named = static_cast<int>(k);
    if (named >= 0) {
        Merge(object, named);
    } else {
        objects_[static_cast<size_t>(object)].name = name;
    }
}

// The file's device for a recorded one; `at` gives a device's place in the
// file by its DEVINST, `objectIndex` an object's by its place in the record.
machine::Device Builder::DeviceModel(const Device &d, const std::unordered_map<DEVINST, int> &at,
                                     const std::vector<int> &objectIndex) const {
    machine::Device m = machine::BlankModel().device;
    m.idText = IdOf(d);
    m.id = Wide(m.idText);
    m.devinst = d.devinst;
    if (d.parent) {
        auto parent = at.find(*d.parent);
        if (parent != at.end()) m.parent = parent->second;
    }
    if (d.cls) {
        m.hasClass = true;
        m.cls = *d.cls;
        m.classText = GuidText(*d.cls);
    }
    // Only a present set can tell presence; a device no present set
    // listed must stay out of them on replay too.
    m.present = d.listedPresent;
    if (d.status) m.status = *d.status;
    if (d.problem) m.problem = *d.problem;
    m.statusError = d.statusError;
    m.idError = d.idError;
    std::map<uint32_t, const Property *> properties;  // by code
    for (const auto &[code, p] : d.properties) properties.emplace(code, &p);
    for (const auto &[code, p] : properties)
        for (const machine::format::Field &f : machine::format::kProperties.fields)
            if (f.kind == machine::format::Kind::Property && f.code == code) m.properties[code] = {p->first, p->second};
    for (const Interface &i : d.interfaces) {
        machine::Interface &itf = m.interfaces.emplace_back(machine::BlankModel().deviceInterface);
        itf.classText = i.cls;
        machine::ParseGuidText(i.cls, &itf.cls);
        itf.path = Wide(i.path);
        if (i.object >= 0) itf.object = objectIndex[static_cast<size_t>(Find(i.object))];
        itf.present = i.present;
    }
    return m;
}

void Builder::Devices(machine::Machine &m, const std::vector<int> &objectIndex) const {
    std::unordered_map<DEVINST, int> at;
    for (size_t i = 0; i < deviceOrder_.size(); ++i) at[deviceOrder_[i]] = static_cast<int>(i);
    m.devices.reserve(deviceOrder_.size());
    for (DEVINST devinst : deviceOrder_) m.devices.push_back(DeviceModel(devices_.at(devinst), at, objectIndex));
}

machine::Object Builder::ObjectModel(const Object &o) const {
    machine::Object m;
    m.nameText = o.name;
    m.name = Wide(o.name);
    for (const std::string &p : o.paths)
        if (Folded(p) != Folded(o.name)) m.aliases.push_back(Wide(p));
    const bool readOk = std::any_of(o.opens.begin(), o.opens.end(), [](const Open &x) { return x.ok && !x.write; });
    for (const Open &x : o.opens) {
        if (x.ok) continue;
        const machine::rules::OpenCodes codes = machine::rules::OpenCodesOf(x.error);
        (x.write && readOk ? m.writeError : m.openError) = machine::OpenError{codes.win32, codes.status};
        break;
    }
    for (const auto &[code, list] : o.requests) {
        const Request *name = nullptr;
        for (const Request &r : list)
            if (code == IOCTL_MOUNTDEV_QUERY_DEVICE_NAME && r.mixed && r.ok) name = &r;
        // A success too short to hold the name's length stays a raw answer.
        if (name != nullptr && name->output.size() >= sizeof(USHORT)) {
            // Its size answer and its whole answer differ in success: the
            // structured answer gives both.
            const auto length = Read<USHORT>(name->output);
            m.mountdevName.given = true;
            m.mountdevName.value = WideOf(Bytes(name->output.begin() + 2,
                                                name->output.begin() + 2 + std::min<size_t>(length, name->output.size() - 2)));
            continue;
        }
        std::vector<const Request *> sorted;
        for (const Request &r : list) sorted.push_back(&r);
        // A longer input first: a shorter one is the start of it.
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const Request *a, const Request *b) { return a->input.size() > b->input.size(); });
        std::vector<machine::RawAnswer> &answers = m.ioctl[code];
        for (const Request *r : sorted) {
            machine::RawAnswer &a = answers.emplace_back();
            if (!r->input.empty()) a.input = r->input;
            // A success that wrote nothing still answers: with no bytes.
            a.hasBytes = !r->output.empty() || r->ok;
            a.bytes = r->output;
            if (r->reported != r->output.size()) a.returned = r->reported;
            if (!r->ok) a.error = r->error;
        }
    }
    return m;
}

// The objects no other was merged into, in the order met; what each
// recorded object became in the file (-1: merged).
std::vector<int> Builder::Objects(machine::Machine &m) const {
    std::vector<int> index(objects_.size(), -1);
    for (size_t k = 0; k < objects_.size(); ++k) {
        if (objects_[k].mergedInto >= 0) continue;
        index[k] = static_cast<int>(m.objects.size());
        m.objects.push_back(ObjectModel(objects_[k]));
    }
    return index;
}

// Every class a set listed: interfaces it did not reach must follow the
// ones it did, whatever their devices' place in the file.
void Builder::InterfaceOrder(machine::Machine &m) const {
    std::unordered_map<WString, std::pair<int, size_t>> byPath;  // folded path, the first as the reader takes it
    for (size_t d = 0; d < m.devices.size(); ++d)
        for (size_t i = 0; i < m.devices[d].interfaces.size(); ++i)
            byPath.emplace(Folded(m.devices[d].interfaces[i].path), std::make_pair(static_cast<int>(d), i));
    for (const auto &[cls, listed] : listed_) {
        GUID g{};
        machine::ParseGuidText(cls, &g);
        auto &order = m.interfaceOrder.emplace_back(g, std::vector<std::pair<int, size_t>>{}).second;
        for (size_t k = 0; k < listed.size(); ++k) {
            auto found = byPath.find(Folded(Wide(listed[k])));
            // A path no interface has, which the reader would refuse.
            if (found == byPath.end()) throw ReaderRefusal(KeyProblem(key::kInterfaceOrder, cls, k, "no interface has this path"));
            order.push_back(found->second);
        }
    }
}

// The identifier the file gives: one never asked for is made up, under the
// enumerator that listed the device, so that the same sets list it.
std::string Builder::IdOf(const Device &d) const {
    if (!d.id.empty()) return d.id;
    if (d.enumerator.empty()) return "CAPTURED\\DEVINST\\" + Hex(d.devinst);
    return d.enumerator + "\\CAPTURED\\" + Hex(d.devinst);
}

// Whether a device set's query takes the device, as far as the record tells.
bool Builder::Selects(const Set &set, const Device &d) const {
    struct Candidate {
        const Set &set;
        const Device &d;
        const Builder &b;
        bool Present() const { return d.listedPresent; }
        bool ClassMatches() const { return d.cls && GuidText(*d.cls) == set.cls; }
        bool HasInterface() const { return false; }  // device sets only
        bool EnumeratorMatches() const { return machine::rules::IdHasEnumerator(Wide(b.IdOf(d)), Wide(set.enumerator)); }
    };
    return machine::rules::SetSelects(machine::rules::SetQueryOf(static_cast<uint32_t>(set.flags), !set.enumerator.empty()),
                                  Candidate{set, d, *this});
}

// A set lists its devices in file order: the file order is one that every
// device set's listing follows, otherwise the order the run met them in.
// (Interface sets have interface_order for theirs.)
void Builder::OrderDevices() {
    std::map<DEVINST, size_t> seen;
    for (size_t i = 0; i < deviceOrder_.size(); ++i) seen[deviceOrder_[i]] = i;
    std::map<DEVINST, std::set<DEVINST>> after;  // device -> devices listed after it
    std::map<DEVINST, size_t> before;            // device -> how many must come first
    auto edge = [&](DEVINST first, DEVINST next) {
        if (first != next && after[first].insert(next).second) ++before[next];
    };
    for (auto &[key, sets] : deviceSets_)
        for (const auto &[serial, listed] : sets.listings.All()) {
            for (size_t i = 1; i < listed.size(); ++i) edge(listed[i - 1], listed[i]);
            // A walk that stopped early: the members it did not reach come later.
            const std::set<DEVINST> reached(listed.begin(), listed.end());
            for (const auto &[devinst, d] : devices_)
                if (reached.count(devinst) == 0 && Selects(sets.query, d)) edge(listed.back(), devinst);
        }
    std::set<std::pair<size_t, DEVINST>> ready;
    for (DEVINST d : deviceOrder_)
        if (before[d] == 0) ready.insert({seen[d], d});
    std::vector<DEVINST> order;
    std::set<DEVINST> placed;
    while (order.size() < deviceOrder_.size()) {
        if (ready.empty()) {
            // Listings that contradict each other: the earliest met goes next.
            for (DEVINST d : deviceOrder_)
                if (placed.count(d) == 0) {
                    ready.insert({seen[d], d});
                    break;
                }
        }
        const DEVINST d = ready.begin()->second;
        ready.erase(ready.begin());
        if (!placed.insert(d).second) continue;
        order.push_back(d);
        for (DEVINST next : after[d])
            if (--before[next] == 0 && placed.count(next) == 0) ready.insert({seen[next], next});
    }
    deviceOrder_ = std::move(order);
}

// Walks may stop early: the longest listing gives the order, the others add
// what it did not reach.
template <typename T>
std::vector<T> Longest(const std::map<int, std::vector<T>> &listings) {
    std::vector<T> longest;
    for (const auto &[serial, listed] : listings)
        if (listed.size() > longest.size()) longest = listed;
    std::set<T> known(longest.begin(), longest.end());
    for (const auto &[serial, listed] : listings)
        for (const T &item : listed)
            if (known.insert(item).second) longest.push_back(item);
    return longest;
}

// A device an interface set listed has an interface of that class, even
// when the run never asked for its path: one is made up, unique by its DEVINST.
void Builder::AddListedInterfaces() {
    for (auto &[cls, sets] : detailListings_) {
        std::vector<std::string> &paths = listed_[cls];
        for (uint32_t id : Longest(sets.All())) paths.push_back(*pathById_[id]);
    }
    for (auto &[cls, sets] : interfaceSetDevices_) {
        const bool ordered = listed_.count(cls) != 0;
        for (DEVINST devinst : Longest(sets.All())) {
            Device &d = devices_[devinst];
            auto has = std::find_if(d.interfaces.begin(), d.interfaces.end(),
                                    [&](const Interface &i) { return i.cls == cls; });
            std::string path;
            if (has == d.interfaces.end()) {
                path = "\\\\?\\captured#" + Hex(devinst) + "#" + Folded(cls);
                d.interfaces.push_back({cls, path, d.listedPresent, -1});
            } else {
                path = has->path;
            }
            if (!ordered) listed_[cls].push_back(path);
        }
    }
}

// Refusals found on the way come first; DEVINST 0 only at the end, when the
// device it names is known as well as the run will tell.
machine::Machine Builder::Build() {
    if (refusal_) throw Refusal(*refusal_);
    if (auto zero = devices_.find(0); zero != devices_.end()) {
        std::string why = "DEVINST 0x0 names ";
        why += zero->second.id.empty() ? std::string("a device") : zero->second.id;
        throw Refusal(why + ": this system hands out device node value 0, which names no device on Windows and which "
                            "a machine file cannot give (its devices' values start at 1); such a run cannot be written "
                            "as a machine file");
    }
    if (zeroAnswer_) throw Refusal(*zeroAnswer_);
    ReachDrivesThroughDosDevices();
    AddListedInterfaces();
    OrderDevices();
    machine::Machine m = std::move(top_);
    if (environment_) m.environment.assign(environment_->begin(), environment_->end());
    m.dosDevices.assign(dosDeviceTargets_.begin(), dosDeviceTargets_.end());
    m.volumes.assign(volumes_.begin(), volumes_.end());
    m.libraries = libraries_;
    for (const auto &[cls, error] : classErrors_) {
        GUID g{};
        machine::ParseGuidText(cls, &g);
        m.classErrors.emplace_back(g, error);
    }
    for (size_t i = 0; i < handleValues_.size(); ++i) {
        // Wider than a machine file's handle values, which the reader would refuse.
        if (handleValues_[i] > 0xFFFFFFFFu)
            throw ReaderRefusal(KeyProblem(key::kHandleValues, "", i, "number above 4294967295"));
        m.handleValues.push_back(static_cast<uint32_t>(handleValues_[i]));
    }
    Devices(m, Objects(m));
    InterfaceOrder(m);
    return m;
}

// The run's builder lives as long as the process: the seam hands it events
// from static initialisation (the late-bound table binds kernel32.dll) on.
Builder &RunBuilder() {
    static Builder *builder = new Builder;
    return *builder;
}

}  // namespace

#define TARSEL_CAPTURE_OP(name, ret) \
    void Take(const ev::name &record) { RunBuilder().Take(record); }
TARSEL_CAPTURE_ALL
#undef TARSEL_CAPTURE_OP

Refusal ReaderRefusal(const std::string &why) {
    std::string text = "the capture built a machine its own reader refuses (";
    text += why;
    return Refusal(text + ")");
}

// Who captured it, set on the built machine, which machine/ writes.
std::string MachineOfRun() {
    machine::Machine built = RunBuilder().Build();
    built.capturedBy = CapturedBy();
    return machine::WriteMachine(built);
}

std::string BuildMachine(const std::vector<Event> &events) {
    Builder builder;
    for (const Event &e : events) std::visit([&](const auto &record) { builder.Take(record); }, e);
    return machine::WriteMachine(builder.Build());
}

}  // namespace capture
