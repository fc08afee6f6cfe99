#include "report/Machine.h"

#include <nlohmann/json.hpp>

#include "report/Log.h"

namespace report {
namespace {

// Names of the setup classes a log is about, for machine files whose devices
// carry only the class GUID.
const std::unordered_map<std::string, std::string> &KnownClasses() {
    static const std::unordered_map<std::string, std::string> classes = {
        {"{4D36E967-E325-11CE-BFC1-08002BE10318}", "DiskDrive"},
        {"{4D36E965-E325-11CE-BFC1-08002BE10318}", "CDROM"},
        {"{4D36E980-E325-11CE-BFC1-08002BE10318}", "FloppyDisk"},
        {"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}", "Image"},
        {"{36FC9E60-C465-11CF-8056-444553540000}", "USB"},
        {"{E0CBF06C-CD8B-4647-BB8A-263B43F0F974}", "Bluetooth"},
        {"{50DD5230-BA8A-11D1-BF5D-0000F805F530}", "SmartCardReader"},
        {"{4D36E96D-E325-11CE-BFC1-08002BE10318}", "Modem"},
        {"{4D36E978-E325-11CE-BFC1-08002BE10318}", "Ports"},
        {"{EEC5AD98-8080-425F-922A-DABF3DE3F69A}", "WPD"},
        {"{4D36E979-E325-11CE-BFC1-08002BE10318}", "Printer"},
        {"{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}", "HIDClass"},
        {"{4D36E97B-E325-11CE-BFC1-08002BE10318}", "SCSIAdapter"},
        {"{4D36E97D-E325-11CE-BFC1-08002BE10318}", "System"},
        {"{4D36E96C-E325-11CE-BFC1-08002BE10318}", "MEDIA"},
        {"{4D36E96A-E325-11CE-BFC1-08002BE10318}", "HDC"},
    };
    return classes;
}

std::string Text(const nlohmann::json &object, const char *key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// The file's own word on who wrote it (the capture writes "captured_by").
std::string CapturedBy(const nlohmann::json &root) {
    const auto by = root.find("captured_by");
    if (by == root.end() || !by->is_object()) return std::string();
    std::string text = "written by " + Text(*by, "program") + " " + Text(*by, "version") + " (" +
                       Text(*by, "architecture") + ")";
    const auto windows = by->find("windows");
    if (windows == by->end() || !windows->is_object()) return text + ", over the simulated platform";
    text += " on Windows";
    const char *separator = " ";
    for (const char *key : {"major", "minor", "build"}) {
        const auto part = windows->find(key);
        text += separator;
        text += part != windows->end() && part->is_number_unsigned() ? part->dump() : std::string("?");
        separator = ".";
    }
    return text;
}

}  // namespace

std::string DeviceKey(std::string_view id) {
    std::string key(id);
    for (char &c : key)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return key;
}

const MachineDevice *Machine::Find(std::uint32_t devinst) const {
    const auto it = byDevinst.find(devinst);
    return it == byDevinst.end() ? nullptr : &it->second;
}

const MachineDevice *Machine::Find(const std::string &key) const {
    const auto it = devinstByKey.find(key);
    return it == devinstByKey.end() ? nullptr : Find(it->second);
}

std::optional<Machine> ReadMachine(const std::string &path, std::string &error) {
    std::string bytes;
    if (!ReadFileBytes(path, bytes)) {
        error = "cannot read machine file " + path;
        return std::nullopt;
    }
    const nlohmann::json root = nlohmann::json::parse(bytes, nullptr, false);
    if (root.is_discarded() || !root.is_object()) {
        error = "machine file " + path + " is not a JSON object";
        return std::nullopt;
    }
    const auto devices = root.find("devices");
    if (devices == root.end() || !devices->is_array()) {
        error = "machine file " + path + " has no \"devices\" array";
        return std::nullopt;
    }
    Machine machine;
    machine.capturedBy = CapturedBy(root);
    std::unordered_map<std::string, std::uint32_t> objectOwner;  // kernel object name -> DEVINST
    std::uint32_t index = 0;
    for (const nlohmann::json &entry : *devices) {
        ++index;
        if (!entry.is_object()) continue;
        MachineDevice device;
        device.id = Text(entry, "id");
        if (device.id.empty()) continue;
        std::uint32_t devinst = index;
        if (const auto it = entry.find("devinst"); it != entry.end() && it->is_number_unsigned() &&
                                                  it->get<std::uint64_t>() <= 0xFFFFFFFFu)
            devinst = static_cast<std::uint32_t>(it->get<std::uint64_t>());
        device.classGuid = Text(entry, "class");
        device.parent = Text(entry, "parent");
        if (const auto props = entry.find("properties"); props != entry.end() && props->is_object()) {
            device.description = Text(*props, "DeviceDesc");
            device.friendlyName = Text(*props, "FriendlyName");
            device.className = Text(*props, "Class");
        }
        if (device.className.empty()) {
            const auto known = KnownClasses().find(DeviceKey(device.classGuid));
            if (known != KnownClasses().end()) device.className = known->second;
        }
        if (const auto interfaces = entry.find("interfaces"); interfaces != entry.end() && interfaces->is_array())
            for (const nlohmann::json &interface : *interfaces)
                if (interface.is_object()) objectOwner.emplace(Text(interface, "object"), devinst);
        machine.devinstByKey.emplace(DeviceKey(device.id), devinst);
        machine.byDevinst.emplace(devinst, std::move(device));
    }
    // A drive letter names a volume object, which forwards to its disk's object.
    std::unordered_map<std::string, std::string> forwards;
    if (const auto objects = root.find("objects"); objects != root.end() && objects->is_array())
        for (const nlohmann::json &object : *objects)
            if (object.is_object()) forwards.emplace(Text(object, "name"), Text(object, "forward"));
    if (const auto letters = root.find("dos_devices"); letters != root.end() && letters->is_object())
        for (const auto &[letter, target] : letters->items()) {
            std::string name = target.is_string() ? target.get<std::string>() : std::string();
            if (const auto it = forwards.find(name); it != forwards.end() && !it->second.empty()) name = it->second;
            if (const auto owner = objectOwner.find(name); owner != objectOwner.end() && !name.empty())
                machine.byDevinst[owner->second].driveLetters.push_back(letter);
        }
    return machine;
}

}  // namespace report
