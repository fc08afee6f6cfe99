// A machine model as a machine file's JSON, for the canonical writer
// (Write.cpp), which orders the keys and leaves out defaults and derived
// properties.  Each value is given in the form the reader reads back as the
// same model; where several forms would, the one chosen is said below.
#include <cstdio>

#include "machine/Codecs.h"
#include "machine/File.h"
#include "machine/Json.h"
#include "machine/Model.h"
#include "platform/wstr.h"

namespace machine {

namespace {

std::string Text(const WString &text) { return wstr::ToUtf8(text); }

json ErrorJson(uint32_t error) { return {{key::kError, error}}; }

template <typename T, typename F>
void PutAnswer(json &j, const char *key, const Answer<T> &answer, F value) {
    if (answer.given) j[key] = answer.error ? ErrorJson(*answer.error) : value(answer.value);
}

json TextMapJson(const std::vector<std::pair<WString, WString>> &map) {
    json j = json::object();
    for (const auto &[name, text] : map) j[Text(name)] = Text(text);
    return j;
}

json DescriptorJson(const std::vector<uint8_t> &bytes) {
    // Little-endian as on the wire; each field's size follows from its range.
    json j = json::object();
    size_t at = 0;
    const auto next = [&] { return at < bytes.size() ? uint32_t{bytes[at++]} : 0u; };
    for (const Field &f : format::kDescriptor.fields) {
        uint32_t v = next();
        if (f.max > 0xFF) v |= next() << 8;
        j[f.key] = v;
    }
    return j;
}

json PortJson(const HubPort &p) {
    json j = {{key::kPort, p.port},           {key::kConnected, p.connected},
              {key::kDeviceIsHub, p.deviceIsHub}, {key::kSpeed, p.speed},
              {key::kAddress, p.address},     {key::kConfiguration, p.configuration},
              {key::kOpenPipes, p.openPipes}, {key::kDescriptor, DescriptorJson(p.descriptor)},
              {key::kLanguages, p.languages}};
    if (p.driverKeyError)
        j[key::kDriverKey] = ErrorJson(*p.driverKeyError);
    else if (p.driverKey)
        j[key::kDriverKey] = Text(*p.driverKey);
    json strings = json::object();
    for (const auto &[index, text] : p.strings) strings[std::to_string(index)] = Text(text);
    j[key::kStrings] = std::move(strings);
    return j;
}

json HubJson(const Hub &hub) {
    json j = {{key::kExQuery, hub.exQuery}, {key::kBusPowered, hub.busPowered}, {key::kPorts, json::array()}};
    if (hub.portCount) j[key::kPortCount] = *hub.portCount;
    for (const HubPort &p : hub.ports) j[key::kPorts].push_back(PortJson(p));
    return j;
}

json StorageDescriptorJson(const StorageDescriptor &s) {
    json j = {{key::kBusType, s.busType},
              {key::kRemovable, s.removable},
              {key::kDeviceType, s.deviceType},
              {key::kDeviceTypeModifier, s.deviceTypeModifier},
              {key::kCommandQueueing, s.commandQueueing}};
    const std::pair<const char *, const std::optional<std::string> *> texts[] = {
        {key::kVendor, &s.vendor}, {key::kProduct, &s.product}, {key::kRevision, &s.revision}, {key::kSerial, &s.serial}};
    for (const auto &[k, text] : texts)
        if (*text) j[k] = **text;
    return j;
}

json MediaTypesJson(const std::vector<MediaType> &list) {
    json j = json::array();
    for (const MediaType &m : list)
        j.push_back({{key::kMediaType, m.mediaType},
                     {key::kCylinders, m.cylinders},
                     {key::kTracksPerCylinder, m.tracksPerCylinder},
                     {key::kSectorsPerTrack, m.sectorsPerTrack},
                     {key::kBytesPerSector, m.bytesPerSector},
                     {key::kSides, m.sides},
                     {key::kCharacteristics, m.characteristics}});
    return j;
}

// Every code's answers as a list, even one: a list is also what the capture
// writes, whose answers are matched on their input.
json IoctlJson(const std::map<uint32_t, std::vector<RawAnswer>> &ioctl) {
    json j = json::object();
    for (const auto &[control, answers] : ioctl) {
        json list = json::array();
        for (const RawAnswer &a : answers) {
            json answer = json::object();
            if (a.input) answer[key::kInput] = codec::HexBytesCodec::Text(*a.input, false);
            if (a.hasBytes) answer[key::kBytes] = codec::HexBytesCodec::Text(a.bytes, false);
            if (a.returned) answer[key::kReturned] = *a.returned;
            if (a.error) answer[key::kError] = *a.error;
            list.push_back(std::move(answer));
        }
        j[codec::HexText(control)] = std::move(list);
    }
    return j;
}

json ObjectJson(const Machine &m, const Object &o) {
    json j = {{key::kName, o.nameText}, {key::kAliases, json::array()}, {key::kIoctl, IoctlJson(o.ioctl)}};
    for (const WString &alias : o.aliases) j[key::kAliases].push_back(Text(alias));
    if (o.openError) j[key::kOpenError] = json(codec::OpenErrorCodec::ToJson(*o.openError));
    if (o.writeError) j[key::kWriteError] = json(codec::OpenErrorCodec::ToJson(*o.writeError));
    if (o.forward >= 0) j[key::kForward] = m.objects[static_cast<size_t>(o.forward)].nameText;
    PutAnswer(j, key::kDeviceNumber, o.deviceNumber, [](const DeviceNumber &n) {
        json v = {{key::kType, n.type}, {key::kNumber, n.number}, {key::kPartition, n.partition}};
        if (n.returned) v[key::kReturned] = *n.returned;
        return v;
    });
    PutAnswer(j, key::kStorageDescriptor, o.storageDescriptor, StorageDescriptorJson);
    PutAnswer(j, key::kMediaTypes, o.mediaTypes, MediaTypesJson);
    PutAnswer(j, key::kMountdevName, o.mountdevName, [](const WString &name) { return json(Text(name)); });
    PutAnswer(j, key::kSdProtocol, o.sdProtocol, [](const GUID &g) { return json(GuidText(g)); });
    PutAnswer(j, key::kSdCid, o.sdCid, [](const std::vector<uint8_t> &cid) { return json(codec::HexBytesCodec::Text(cid, false)); });
    PutAnswer(j, key::kHub, o.hub, HubJson);
    return j;
}

json InterfaceJson(const Machine &m, const Interface &i) {
    json j = {{key::kClass, i.classText}, {key::kPath, Text(i.path)}, {key::kPresent, i.present}};
    if (i.object >= 0) j[key::kObject] = m.objects[static_cast<size_t>(i.object)].nameText;
    return j;
}

json DeviceJson(const Machine &m, size_t index) {
    const Device &d = m.devices[index];
    json j = {{key::kId, d.idText},          {key::kPresent, d.present},     {key::kStatus, d.status},
              {key::kProblem, d.problem},    {key::kProperties, json::object()}, {key::kInterfaces, json::array()}};
    // The index + 1 is what a file that leaves it out reads.
    if (d.devinst != index + 1) j[key::kDevinst] = d.devinst;
    if (d.parent >= 0) j[key::kParent] = m.devices[static_cast<size_t>(d.parent)].idText;
    if (d.hasClass) j[key::kClass] = d.classText;
    if (d.statusError) j[key::kStatusError] = *d.statusError;
    if (d.idError) j[key::kIdError] = *d.idError;
    // A code the format has no name for cannot be written; the reader makes none.
    for (const Field &f : format::kProperties.fields)
        if (const Property *p = d.properties.Find(f.code)) j[key::kProperties][f.key] = json(codec::PropertyCodec::ToJson(*p));
    for (const Interface &i : d.interfaces) j[key::kInterfaces].push_back(InterfaceJson(m, i));
    return j;
}

json VolumeJson(const Volume &v) {
    if (v.error) return ErrorJson(*v.error);
    char serial[16];
    std::snprintf(serial, sizeof serial, "%08X", static_cast<unsigned>(v.serial));
    return {{key::kLabel, Text(v.label)},
            {key::kSerial, serial},
            {key::kFileSystem, Text(v.fileSystem)},
            {key::kMaxComponentLength, v.maxComponentLength},
            {key::kFlags, v.fileSystemFlags}};
}

json LibrariesJson(const std::map<std::string, LibraryModel> &libraries) {
    json j = json::object();
    for (const auto &[name, lib] : libraries) j[name] = json(codec::LibraryCodec::ToJson(lib));
    return j;
}

json CapturedByJson(const CapturedBy &by) {
    json j = {{key::kProgram, by.program}, {key::kVersion, by.version}, {key::kArchitecture, by.architecture}};
    if (by.windows)
        j[key::kWindows] = {{key::kMajor, by.windows->major}, {key::kMinor, by.windows->minor}, {key::kBuild, by.windows->build}};
    return j;
}

// The paths of each class's interfaces in the order its sets list them.
json InterfaceOrderJson(const Machine &m) {
    json j = json::object();
    for (const auto &[cls, order] : m.interfaceOrder) {
        json paths = json::array();
        for (const auto &[device, itf] : order)
            paths.push_back(Text(m.devices[static_cast<size_t>(device)].interfaces[itf].path));
        j[GuidText(cls)] = std::move(paths);
    }
    return j;
}

}  // namespace

json MachineJson(const Machine &m) {
    json j = {{key::kWindowsDirectoryError, m.windowsDirectoryError},
              {key::kEnvironment, TextMapJson(m.environment)},
              {key::kLibraries, LibrariesJson(m.libraries)},
              {key::kDosDevices, TextMapJson(m.dosDevices)},
              {key::kVolumes, json::object()},
              {key::kClassErrors, json::object()},
              {key::kInterfaceOrder, InterfaceOrderJson(m)},
              {key::kHandleValues, m.handleValues},
              {key::kDevices, json::array()},
              {key::kObjects, json::array()}};
    if (m.capturedBy) j[key::kCapturedBy] = CapturedByJson(*m.capturedBy);
    if (m.clock) j[key::kClock] = *m.clock;
    j[key::kWindowsDirectory] = m.windowsDirectory ? json(Text(*m.windowsDirectory)) : json(nullptr);
    for (const auto &[drive, volume] : m.volumes) j[key::kVolumes][Text(drive)] = VolumeJson(volume);
    for (const auto &[cls, error] : m.classErrors) j[key::kClassErrors][GuidText(cls)] = error;
    for (size_t i = 0; i < m.devices.size(); ++i) j[key::kDevices].push_back(DeviceJson(m, i));
    for (const Object &o : m.objects) j[key::kObjects].push_back(ObjectJson(m, o));
    return j;
}

const Blanks &BlankModel() {
    // Read from a file that gives only what has no default, so that the
    // defaults stay in the format's table alone.
    static const Blanks blanks = [] {
        const json file = {{key::kDevices, json::array({{{key::kId, "A"},
                                                          {key::kInterfaces, json::array({{{key::kClass, GuidText(GUID{})},
                                                                                           {key::kPath, "A"}}})}}})}};
        std::unique_ptr<Machine> m = ParseMachine(file.dump(), "the format's defaults");
        Blanks b;
        b.deviceInterface = m->devices[0].interfaces[0];
        b.deviceInterface.cls = GUID{};
        b.deviceInterface.classText.clear();
        b.deviceInterface.path.clear();
        b.device = std::move(m->devices[0]);
        b.device.id.clear();
        b.device.idText.clear();
        b.device.devinst = 0;
        b.device.properties = PropertyMap{};
        b.device.interfaces.clear();
        m->devices.clear();
        b.machine = std::move(*m);
        return b;
    }();
    return blanks;
}

}  // namespace machine
