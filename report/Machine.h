// A machine file of the machine a log was written on: names the device
// nodes (DEVINST) the log shows only as numbers.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace report {

struct MachineDevice {
    std::string id;
    std::string classGuid;    // setup class GUID text, as written
    std::string className;    // the class name property, or a name for a known class GUID
    std::string description;  // the device description property
    std::string friendlyName; // the friendly name property
    std::string parent;
    std::vector<std::string> driveLetters;  // "D:", from the machine's DOS device names
};

struct Machine {
    std::map<std::uint32_t, MachineDevice> byDevinst;
    std::unordered_map<std::string, std::uint32_t> devinstByKey;  // key: DeviceKey(id)
    // Who wrote the file, as the file itself says: "written by PROGRAM
    // VERSION (ARCHITECTURE) on Windows MAJOR.MINOR.BUILD"; empty when it does not say.
    std::string capturedBy;

    const MachineDevice *Find(std::uint32_t devinst) const;
    const MachineDevice *Find(const std::string &key) const;
};

// Reads a machine file through the simulator's own reader, so the report
// accepts exactly the files the replay does. On failure returns nothing and
// sets error to the reader's one line.
std::optional<Machine> ReadMachine(const std::string &path, std::string &error);

// Device identifiers compare without regard to the case of ASCII letters.
std::string DeviceKey(std::string_view id);

}  // namespace report
