#include "report/Machine.h"

#include "hostio/HostIo.h"
#include "machine/Error.h"
#include "machine/Model.h"
#include "machine/Rules.h"

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

// A REG_SZ property as text (16-bit units, up to the first null).
std::string PropertyText(const machine::Device &device, std::uint32_t code) {
    const machine::Property *property = device.properties.Find(code);
    if (!property) return std::string();
    WString text;
    for (std::size_t i = 0; i + 1 < property->data.size(); i += 2) {
        const auto unit = static_cast<WCHAR>(property->data[i] | property->data[i + 1] << 8);
        if (unit == 0) break;
        text.push_back(unit);
    }
    return wstr::ToUtf8(text);
}

// "written by PROGRAM VERSION (ARCHITECTURE) on Windows MAJOR.MINOR.BUILD".
std::string CapturedByText(const machine::CapturedBy &by) {
    // Appended piece by piece: GCC 12 warns falsely on "literal" + temporary.
    std::string text = "written by ";
    for (const std::string *part : {&by.program, &by.version}) text.append(*part).append(" ");
    text.append("(").append(by.architecture).append(")");
    if (!by.windows) return text.append(", over the simulated platform");
    text.append(" on Windows ").append(std::to_string(by.windows->major));
    text.append(".").append(std::to_string(by.windows->minor));
    text.append(".").append(std::to_string(by.windows->build));
    return text;
}

MachineDevice DeviceOf(const machine::Machine &m, const machine::Device &d) {
    MachineDevice device;
    device.id = d.idText;
    device.classGuid = d.classText;
    if (d.parent >= 0) device.parent = m.devices[static_cast<std::size_t>(d.parent)].idText;
    device.description = PropertyText(d, SPDRP_DEVICEDESC);
    device.friendlyName = PropertyText(d, SPDRP_FRIENDLYNAME);
    device.className = PropertyText(d, SPDRP_CLASS);
    if (device.className.empty()) {
        const auto known = KnownClasses().find(DeviceKey(device.classGuid));
        if (known != KnownClasses().end()) device.className = known->second;
    }
    return device;
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
    std::string bytes, reason;
    if (!hostio::ReadRegularFile(path, bytes, reason)) {
        error = "cannot read machine file " + path + ": " + reason;
        return std::nullopt;
    }
    std::unique_ptr<machine::Machine> read;
    try {
        read = machine::ParseMachine(bytes, path);
    } catch (const machine::MachineError &e) {
        error = e.what();
        return std::nullopt;
    }
    machine::IndexMachine(*read);
    const machine::Machine &m = *read;
    Machine result;
    if (m.capturedBy) result.capturedBy = CapturedByText(*m.capturedBy);
    std::unordered_map<int, std::uint32_t> objectOwner;  // object index -> DEVINST
    for (const machine::Device &d : m.devices) {
        for (const machine::Interface &interface : d.interfaces)
            if (interface.object >= 0) objectOwner.emplace(interface.object, d.devinst);
        result.devinstByKey.emplace(DeviceKey(d.idText), d.devinst);
        result.byDevinst.emplace(d.devinst, DeviceOf(m, d));
    }
    // A drive letter names a volume object, which forwards to its disk's object.
    for (const auto &[letter, target] : m.dosDevices) {
        const auto named = m.index.objectByName.find(machine::rules::Folded(target));
        if (named == m.index.objectByName.end()) continue;
        int object = named->second;
        if (m.objects[static_cast<std::size_t>(object)].forward >= 0) object = m.objects[static_cast<std::size_t>(object)].forward;
        if (const auto owner = objectOwner.find(object); owner != objectOwner.end())
            result.byDevinst[owner->second].driveLetters.push_back(wstr::ToUtf8(letter));
    }
    return result;
}

}  // namespace report
