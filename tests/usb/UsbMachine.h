// A small USB device tree for the hub and descriptor tests.
//
// DEVINST 1 PCI controller (root)      2 root hub (hub interface)
//         3 stick (port 3 by default)  4 its USBSTOR disk (disk interface)
//         5 composite mouse            6 its function MI_00
//         7 HTREE\ROOT\0 (root)        8 a legacy device below it (no hub above)
//         9 a disk below the legacy device
#pragma once

#include <string>
#include <vector>

namespace usbtest {

inline const std::string kPciId = R"(PCI\VEN_8086&DEV_A36D\3&11583659&0&A0)";
inline const std::string kHubId = R"(USB\ROOT_HUB30\4&2A1B3C4D&0&0)";
inline const std::string kHubPath = R"(\\?\usb#root_hub30#4&2a1b3c4d&0&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8})";
inline const std::string kStickId = R"(USB\VID_1234&PID_5678\0123456789)";
inline const std::string kDiskId = R"(USBSTOR\DISK&VEN_ACME&PROD_STICK&REV_1.00\0123456789&0)";
inline const std::string kDiskPath =
    R"(\\?\usbstor#disk&ven_acme&prod_stick&rev_1.00#0123456789&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b})";
inline const std::string kCompositeId = R"(USB\VID_046D&PID_C52B\5&1F2E3D4C&0&2)";
inline const std::string kFunctionId = R"(USB\VID_046D&PID_C52B&MI_00\6&ABCDEF&0&0000)";
inline const std::string kHtreeId = R"(HTREE\ROOT\0)";
inline const std::string kLegacyId = R"(ROOT\LEGACY_BEEP\0000)";
inline const std::string kLoneDiskId = R"(SCSI\DISK&VEN_LONE\1&0)";
inline const std::string kLoneDiskPath = R"(\\?\scsi#disk&ven_lone#1&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b})";

// Driver keys as the device nodes carry them (JSON-escaped).
inline const std::string kStickKey = R"({36fc9e60-c465-11cf-8056-444553540000}\\0007)";
inline const std::string kCompositeKey = R"({36fc9e60-c465-11cf-8056-444553540000}\\0008)";
inline const std::string kFunctionKey = R"({745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0010)";
inline const std::string kDiskKey = R"({4d36e967-e325-11ce-bfc1-08002be10318}\\0003)";

// A connected port with the stick's descriptor; `extra` adds keys such as
// "languages" or "strings" (a leading comma is expected).
inline std::string StickPort(int port, const std::string &indexes = R"("iManufacturer": 1, "iProduct": 2, "iSerialNumber": 3)",
                             const std::string &extra = R"(, "languages": [1033], "strings": {"1": "ACME", "2": "Stick", "3": "0123456789"})",
                             const std::string &key = kStickKey) {
    return std::string(R"({"port": )") + std::to_string(port) + R"(, "connected": true, "descriptor": {"idVendor": 4660, "idProduct": 22136, )" +
           indexes + R"(}, "driver_key": ")" + key + "\"" + extra + "}";
}

// The tree above; `hub` is the value of the root hub object's "hub" key and
// `ioctl` its raw answers.  `stickDriver` adds keys to the stick's properties
// (the stick carries no Driver when it is empty).
inline std::string Machine(const std::string &hub, const std::string &ioctl = "{}",
                           const std::string &stickProperties = R"("Driver": ")" + kStickKey + "\"") {
    return R"({"devices": [
  {"id": "PCI\\VEN_8086&DEV_A36D\\3&11583659&0&A0"},
  {"id": "USB\\ROOT_HUB30\\4&2A1B3C4D&0&0", "parent": "PCI\\VEN_8086&DEV_A36D\\3&11583659&0&A0",
   "properties": {"Driver": "{36fc9e60-c465-11cf-8056-444553540000}\\0001"},
   "interfaces": [{"class": "{F18A0E88-C30C-11D0-8815-00A0C906BED8}",
                   "path": "\\\\?\\usb#root_hub30#4&2a1b3c4d&0&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}",
                   "object": "\\Device\\USBPDO-0"}]},
  {"id": "USB\\VID_1234&PID_5678\\0123456789", "parent": "USB\\ROOT_HUB30\\4&2A1B3C4D&0&0",
   "properties": {)" + stickProperties + R"(}},
  {"id": "USBSTOR\\DISK&VEN_ACME&PROD_STICK&REV_1.00\\0123456789&0", "parent": "USB\\VID_1234&PID_5678\\0123456789",
   "properties": {"Driver": ")" + kDiskKey + R"("},
   "interfaces": [{"class": "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}",
                   "path": "\\\\?\\usbstor#disk&ven_acme&prod_stick&rev_1.00#0123456789&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}",
                   "object": "\\Device\\Harddisk1\\DR1"}]},
  {"id": "USB\\VID_046D&PID_C52B\\5&1F2E3D4C&0&2", "parent": "USB\\ROOT_HUB30\\4&2A1B3C4D&0&0",
   "properties": {"Driver": ")" + kCompositeKey + R"("}},
  {"id": "USB\\VID_046D&PID_C52B&MI_00\\6&ABCDEF&0&0000", "parent": "USB\\VID_046D&PID_C52B\\5&1F2E3D4C&0&2",
   "properties": {"Driver": ")" + kFunctionKey + R"("}},
  {"id": "HTREE\\ROOT\\0"},
  {"id": "ROOT\\LEGACY_BEEP\\0000", "parent": "HTREE\\ROOT\\0"},
  {"id": "SCSI\\DISK&VEN_LONE\\1&0", "parent": "ROOT\\LEGACY_BEEP\\0000",
   "interfaces": [{"class": "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}",
                   "path": "\\\\?\\scsi#disk&ven_lone#1&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}",
                   "object": "\\Device\\Harddisk2\\DR2"}]}
 ],
 "objects": [
  {"name": "\\Device\\USBPDO-0", "hub": )" + hub + R"(, "ioctl": )" + ioctl + R"(},
  {"name": "\\Device\\Harddisk1\\DR1", "device_number": {"type": 7, "number": 1, "partition": 0},
   "storage_descriptor": {"vendor": "ACME    ", "product": "Stick           ", "revision": "1.00",
                          "serial": "0123456789", "bus_type": 7, "removable": true}},
  {"name": "\\Device\\Harddisk2\\DR2", "device_number": {"type": 7, "number": 2, "partition": 0}}
 ]})";
}

// The default hub: port 1 empty, port 2 the composite mouse, port 3 the stick.
inline std::string DefaultHub(const std::string &stickPort = StickPort(3)) {
    return R"({"ports": [{"port": 1, "connected": false},
      {"port": 2, "connected": true, "descriptor": {"iProduct": 1}, "driver_key": ")" + kCompositeKey + R"(",
       "languages": [1033], "strings": {"1": "Mouse"}}, )" + stickPort + "]}";
}

// Trace lines of the nested operations, as they write them.
inline std::vector<std::string> IdLines(const std::string &id) {
    return {"ENTER GetDeviceId", "INFO GetDeviceId " + id, "LEAVE GetDeviceId"};
}
inline std::vector<std::string> HubProbeLines(const std::string &id, const std::string &hubPath = "") {
    std::vector<std::string> lines = {"ENTER GetDeviceId", "INFO GetDeviceId lpDevID " + id};
    if (!hubPath.empty()) lines.push_back("INFO GetDeviceId " + hubPath);
    lines.push_back("LEAVE GetDeviceId");
    return lines;
}

// Concatenates line lists: Join({{"a"}, IdLines(x), {"b"}}).
inline std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto &part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

}  // namespace usbtest
