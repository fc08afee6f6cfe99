// The machine-file format: every key of every kind of entry, in the order the
// writer puts them.  docs/machine-files.md explains them at length; the
// meanings here are what an editor shows from the generated schema.
#include "machine/Format.h"

#include <cstdio>
#include <cstring>

#include "platform/api.h"
#include "platform/win32.h"
#include "machine/Rules.h"

namespace machine::format {

namespace {

const Field kPropertyFields[] = {
    {.key = key::kPropDeviceDesc, .kind = Kind::Property, .def = nullptr, .meaning = "SPDRP_DEVICEDESC (0), usually text", .code = SPDRP_DEVICEDESC},
    {.key = key::kPropHardwareIDs, .kind = Kind::Property, .def = nullptr, .meaning = "SPDRP_HARDWAREID (1), usually a list", .code = SPDRP_HARDWAREID},
    {.key = key::kPropCompatibleIDs, .kind = Kind::Property, .def = nullptr, .meaning = "SPDRP_COMPATIBLEIDS (2), usually a list", .code = SPDRP_COMPATIBLEIDS},
    {.key = key::kPropService, .kind = Kind::Property, .def = nullptr, .meaning = "SPDRP_SERVICE (4)", .code = 4},
    {.key = key::kPropClass, .kind = Kind::Property, .def = nullptr, .meaning = "SPDRP_CLASS (7)", .code = 7},
    {.key = key::kPropClassGUID, .kind = Kind::Property, .def = nullptr, .meaning = "SPDRP_CLASSGUID (8); default: the device's class text as written", .code = SPDRP_CLASSGUID},
    {.key = key::kPropDriver, .kind = Kind::Property, .def = nullptr, .meaning = "SPDRP_DRIVER (9), the driver key such as {36fc9e60-c465-11cf-8056-444553540000}\\0007", .code = SPDRP_DRIVER},
    {.key = key::kPropMfg, .kind = Kind::Property, .def = nullptr, .meaning = "SPDRP_MFG (11)", .code = SPDRP_MFG},
    {.key = key::kPropFriendlyName, .kind = Kind::Property, .def = nullptr, .meaning = "SPDRP_FRIENDLYNAME (12)", .code = SPDRP_FRIENDLYNAME},
    {.key = key::kPropLocationInformation, .kind = Kind::Property, .def = nullptr, .meaning = "SPDRP_LOCATION_INFORMATION (13)", .code = 13},
    {.key = key::kPropPhysicalDeviceObjectName, .kind = Kind::Property, .def = nullptr, .meaning = "SPDRP_PHYSICAL_DEVICE_OBJECT_NAME (14)", .code = 14},
    {.key = key::kPropEnumeratorName, .kind = Kind::Property, .def = nullptr, .meaning = "SPDRP_ENUMERATOR_NAME (22); default: the part of the id before the first backslash", .code = SPDRP_ENUMERATOR_NAME},
};

const Field kInterfaceFields[] = {
    {.key = key::kClass, .kind = Kind::Guid, .def = nullptr, .meaning = "the interface class GUID", .required = true},
    {.key = key::kPath, .kind = Kind::Text, .def = nullptr, .meaning = "the device path (DevicePath); unique ignoring case", .required = true, .nonEmpty = true},
    {.key = key::kObject, .kind = Kind::Text, .def = nullptr, .meaning = "the name of the object that opening the path reaches; absent: opening fails with 2"},
    {.key = key::kPresent, .kind = Kind::Bool, .def = "true", .meaning = "absent interfaces are left out of present interface sets, and listed with Flags 0 otherwise"},
    {.key = key::kComment, .kind = Kind::Text, .def = nullptr, .meaning = "free text; ignored"},
};

const Field kDeviceFields[] = {
    {.key = key::kId, .kind = Kind::Text, .def = nullptr, .meaning = "the device instance identifier; unique ignoring case", .required = true, .nonEmpty = true},
    {.key = key::kDevinst, .kind = Kind::Number, .def = nullptr, .meaning = "the DEVINST value of the device, unique, from 1; default: its index in devices + 1", .min = 1},
    {.key = key::kParent, .kind = Kind::Text, .def = nullptr, .meaning = "the id of the parent device, one of the file's devices; absent for a root node"},
    {.key = key::kClass, .kind = Kind::Guid, .def = nullptr, .meaning = "the setup class GUID"},
    {.key = key::kPresent, .kind = Kind::Bool, .def = "true", .meaning = "whether the device is connected; absent devices are left out of present sets"},
    {.key = key::kStatus, .kind = Kind::Status, .def = R"(["DN_STARTED", "DN_DRIVER_LOADED"])", .meaning = "DN_ flags as names or one number (CM_Get_DevNode_Status)"},
    {.key = key::kProblem, .kind = Kind::Number, .def = "0", .meaning = "the problem number CM_Get_DevNode_Status reports"},
    {.key = key::kStatusError, .kind = Kind::Code, .def = nullptr, .meaning = "a CR_ code that makes CM_Get_DevNode_Status fail"},
    {.key = key::kIdError, .kind = Kind::Code, .def = nullptr, .meaning = "a CR_ code that makes CM_Get_Device_ID_Size and CM_Get_Device_IDW fail"},
    {.key = key::kProperties, .kind = Kind::Entry, .def = "{}", .meaning = "registry properties by SPDRP name without the prefix", .entry = &kProperties},
    {.key = key::kInterfaces, .kind = Kind::EntryList, .def = "[]", .meaning = "the device's interfaces", .entry = &kInterface},
    {.key = key::kComment, .kind = Kind::Text, .def = nullptr, .meaning = "free text; ignored"},
};

const Field kDeviceNumberFields[] = {
    {.key = key::kType, .kind = Kind::Number, .def = "0", .meaning = "the FILE_DEVICE_ type: 7 disk, 2 CD-ROM"},
    {.key = key::kNumber, .kind = Kind::Number, .def = "0", .meaning = "the device number"},
    {.key = key::kPartition, .kind = Kind::Number, .def = "0", .meaning = "the partition number"},
    {.key = key::kReturned, .kind = Kind::Number, .def = nullptr, .meaning = "the byte count reported; default: 12"},
};

const Field kStorageDescriptorFields[] = {
    {.key = key::kVendor, .kind = Kind::Text, .def = nullptr, .meaning = "the vendor text; absent or null: offset 0"},
    {.key = key::kProduct, .kind = Kind::Text, .def = nullptr, .meaning = "the product text; absent or null: offset 0"},
    {.key = key::kRevision, .kind = Kind::Text, .def = nullptr, .meaning = "the revision text; absent or null: offset 0"},
    {.key = key::kSerial, .kind = Kind::Text, .def = nullptr, .meaning = "the serial number text; absent or null: offset 0"},
    {.key = key::kBusType, .kind = Kind::Number, .def = "0", .meaning = "STORAGE_BUS_TYPE: 7 USB, 11 SATA, 12 SD, 17 NVMe"},
    {.key = key::kRemovable, .kind = Kind::Bool, .def = "false", .meaning = "RemovableMedia"},
    {.key = key::kDeviceType, .kind = Kind::Number, .def = "0", .meaning = "the SCSI peripheral type (5: CD/DVD)", .max = 255},
    {.key = key::kDeviceTypeModifier, .kind = Kind::Number, .def = "0", .meaning = "DeviceTypeModifier", .max = 255},
    {.key = key::kCommandQueueing, .kind = Kind::Bool, .def = "false", .meaning = "CommandQueueing"},
};

const Field kMediaTypeFields[] = {
    {.key = key::kMediaType, .kind = Kind::Number, .def = "0", .meaning = "STORAGE_MEDIA_TYPE: 12 fixed, 11 removable, 51-56 CD and DVD"},
    {.key = key::kCylinders, .kind = Kind::Int64, .def = "0", .meaning = "Cylinders"},
    {.key = key::kTracksPerCylinder, .kind = Kind::Number, .def = "0", .meaning = "TracksPerCylinder"},
    {.key = key::kSectorsPerTrack, .kind = Kind::Number, .def = "0", .meaning = "SectorsPerTrack"},
    {.key = key::kBytesPerSector, .kind = Kind::Number, .def = "0", .meaning = "BytesPerSector"},
    {.key = key::kSides, .kind = Kind::Number, .def = "0", .meaning = "NumberMediaSides"},
    {.key = key::kCharacteristics, .kind = Kind::Number, .def = "0", .meaning = "MediaCharacteristics"},
};

// In wire order: each field's offset is the sum of the sizes before it, its
// size 1 byte when `max` is 255 and 2 otherwise.
const Field kDescriptorFields[] = {
    {.key = key::kBLength, .kind = Kind::Number, .def = "18", .meaning = key::kBLength, .max = 0xFF},
    {.key = key::kBDescriptorType, .kind = Kind::Number, .def = "1", .meaning = key::kBDescriptorType, .max = 0xFF},
    {.key = key::kBcdUSB, .kind = Kind::Number, .def = "512", .meaning = "bcdUSB (512 is USB 2.00)", .max = 0xFFFF},
    {.key = key::kBDeviceClass, .kind = Kind::Number, .def = "0", .meaning = key::kBDeviceClass, .max = 0xFF},
    {.key = key::kBDeviceSubClass, .kind = Kind::Number, .def = "0", .meaning = key::kBDeviceSubClass, .max = 0xFF},
    {.key = key::kBDeviceProtocol, .kind = Kind::Number, .def = "0", .meaning = key::kBDeviceProtocol, .max = 0xFF},
    {.key = key::kBMaxPacketSize0, .kind = Kind::Number, .def = "64", .meaning = key::kBMaxPacketSize0, .max = 0xFF},
    {.key = key::kIdVendor, .kind = Kind::Number, .def = "0", .meaning = key::kIdVendor, .max = 0xFFFF},
    {.key = key::kIdProduct, .kind = Kind::Number, .def = "0", .meaning = key::kIdProduct, .max = 0xFFFF},
    {.key = key::kBcdDevice, .kind = Kind::Number, .def = "256", .meaning = "bcdDevice (256 is 1.00)", .max = 0xFFFF},
    {.key = key::kIManufacturer, .kind = Kind::Number, .def = "0", .meaning = key::kIManufacturer, .max = 0xFF},
    {.key = key::kIProduct, .kind = Kind::Number, .def = "0", .meaning = key::kIProduct, .max = 0xFF},
    {.key = key::kISerialNumber, .kind = Kind::Number, .def = "0", .meaning = key::kISerialNumber, .max = 0xFF},
    {.key = key::kBNumConfigurations, .kind = Kind::Number, .def = "1", .meaning = key::kBNumConfigurations, .max = 0xFF},
};

const Field kPortFields[] = {
    {.key = key::kPort, .kind = Kind::Number, .def = nullptr, .meaning = "the port number, 1 to 255; unique", .max = 255, .min = 1, .required = true},
    {.key = key::kConnected, .kind = Kind::Bool, .def = "true", .meaning = "false: the port reports no device"},
    {.key = key::kDeviceIsHub, .kind = Kind::Bool, .def = "false", .meaning = "DeviceIsHub"},
    {.key = key::kSpeed, .kind = Kind::Number, .def = "2", .meaning = "Speed (0 low, 1 full, 2 high, 3 super)", .max = 255},
    {.key = key::kAddress, .kind = Kind::Number, .def = "0", .meaning = "DeviceAddress", .max = 0xFFFF},
    {.key = key::kConfiguration, .kind = Kind::Number, .def = "1", .meaning = "CurrentConfigurationValue", .max = 255},
    {.key = key::kOpenPipes, .kind = Kind::Number, .def = "0", .meaning = "NumberOfOpenPipes"},
    {.key = key::kDescriptor, .kind = Kind::Entry, .def = "{}", .meaning = "the USB device descriptor", .entry = &kDescriptor},
    {.key = key::kDriverKey, .kind = Kind::Text, .def = nullptr, .meaning = "the driver key name of the device on the port; absent: the request fails with 87", .orError = true},
    {.key = key::kLanguages, .kind = Kind::NumberList, .def = "[]", .meaning = "the language identifiers of string descriptor 0", .max = 0xFFFF},
    {.key = key::kStrings, .kind = Kind::TextMap, .def = "{}", .meaning = "string descriptors by index (\"1\" to \"255\"), at most 126 characters", .keys = KeyRule::StringIndex, .maxLength = 126},
    {.key = key::kComment, .kind = Kind::Text, .def = nullptr, .meaning = "free text; ignored"},
};

const Field kHubFields[] = {
    {.key = key::kExQuery, .kind = Kind::Bool, .def = "true", .meaning = "false: the _EX connection request fails with 1"},
    {.key = key::kPortCount, .kind = Kind::Number, .def = nullptr, .meaning = "the number of ports; default: the highest port listed", .max = 255},
    {.key = key::kBusPowered, .kind = Kind::Bool, .def = "false", .meaning = "HubIsBusPowered"},
    {.key = key::kPorts, .kind = Kind::EntryList, .def = "[]", .meaning = "the ports that have something to say", .entry = &kPort},
};

const Field kRawAnswerFields[] = {
    {.key = key::kInput, .kind = Kind::HexBytes, .def = nullptr, .meaning = "the answer is for requests whose input starts with these bytes; absent: any input"},
    {.key = key::kBytes, .kind = Kind::HexBytes, .def = nullptr, .meaning = "the bytes written, up to the output buffer"},
    {.key = key::kReturned, .kind = Kind::Number, .def = nullptr, .meaning = "the byte count reported; default: the bytes copied"},
    {.key = key::kError, .kind = Kind::Code, .def = nullptr, .meaning = "the request fails with this error, after writing bytes when given"},
};

const Field kObjectFields[] = {
    {.key = key::kName, .kind = Kind::Text, .def = nullptr, .meaning = "the kernel name NtQueryObject reports; unique ignoring case", .required = true, .nonEmpty = true},
    {.key = key::kAliases, .kind = Kind::TextList, .def = "[]", .meaning = "further names that open the object"},
    {.key = key::kOpenError, .kind = Kind::OpenError, .def = nullptr, .meaning = "every open fails: a Win32 error or NTSTATUS, or {\"error\", \"status\"}"},
    {.key = key::kWriteError, .kind = Kind::OpenError, .def = nullptr, .meaning = "an open asking for write access fails with this; read-only opens succeed"},
    {.key = key::kReadOnly, .kind = Kind::Bool, .def = "false", .meaning = "an open asking for write access fails with 5 (the same as write_error 5)"},
    {.key = key::kForward, .kind = Kind::Text, .def = nullptr, .meaning = "the name of the object that answers the requests this one does not describe"},
    {.key = key::kDeviceNumber, .kind = Kind::Entry, .def = nullptr, .meaning = "IOCTL_STORAGE_GET_DEVICE_NUMBER", .entry = &kDeviceNumber, .orError = true},
    {.key = key::kStorageDescriptor, .kind = Kind::Entry, .def = nullptr, .meaning = "IOCTL_STORAGE_QUERY_PROPERTY, device property", .entry = &kStorageDescriptor, .orError = true},
    {.key = key::kMediaTypes, .kind = Kind::EntryList, .def = nullptr, .meaning = "IOCTL_STORAGE_GET_MEDIA_TYPES_EX", .entry = &kMediaType, .orError = true},
    {.key = key::kMountdevName, .kind = Kind::Text, .def = nullptr, .meaning = "IOCTL_MOUNTDEV_QUERY_DEVICE_NAME: the kernel name", .orError = true, .maxLength = 32000},
    {.key = key::kSdProtocol, .kind = Kind::Guid, .def = nullptr, .meaning = "IOCTL_SFFDISK_QUERY_DEVICE_PROTOCOL: the protocol GUID", .orError = true},
    {.key = key::kSdCid, .kind = Kind::HexDigits, .def = nullptr, .meaning = "IOCTL_SFFDISK_DEVICE_COMMAND with SEND_CID: the CID as 32 hex digits, most significant first", .orError = true, .pattern = "^ *([0-9A-Fa-f] *[0-9A-Fa-f] *){16}$"},
    {.key = key::kHub, .kind = Kind::Entry, .def = nullptr, .meaning = "the USB hub requests", .entry = &kHub, .orError = true},
    {.key = key::kIoctl, .kind = Kind::Ioctl, .def = "{}", .meaning = "raw answers by control code (hex text): one answer, or a list matched on the request's input", .entry = &kRawAnswer, .keys = KeyRule::HexCode},
    {.key = key::kComment, .kind = Kind::Text, .def = nullptr, .meaning = "free text; ignored"},
};

const Field kVolumeFields[] = {
    {.key = key::kLabel, .kind = Kind::Text, .def = "\"\"", .meaning = "the volume label"},
    {.key = key::kSerial, .kind = Kind::HexDigits, .def = "\"00000000\"", .meaning = "the volume serial number as 8 hex digits", .pattern = "^[0-9A-Fa-f]{8}$"},
    {.key = key::kFileSystem, .kind = Kind::Text, .def = "\"NTFS\"", .meaning = "the file system name"},
    {.key = key::kMaxComponentLength, .kind = Kind::Number, .def = "255", .meaning = "the longest file name"},
    {.key = key::kFlags, .kind = Kind::Number, .def = "65472255", .meaning = "the file system flags (default 0x03E706FF)"},
};

const Field kWindowsVersionFields[] = {
    {.key = key::kMajor, .kind = Kind::Number, .def = nullptr, .meaning = "the major version", .required = true},
    {.key = key::kMinor, .kind = Kind::Number, .def = nullptr, .meaning = "the minor version", .required = true},
    {.key = key::kBuild, .kind = Kind::Number, .def = nullptr, .meaning = "the build number", .required = true},
};

const Field kCapturedByFields[] = {
    {.key = key::kProgram, .kind = Kind::Text, .def = nullptr, .meaning = "the program that wrote the file", .required = true},
    {.key = key::kVersion, .kind = Kind::Text, .def = nullptr, .meaning = "its version", .required = true},
    {.key = key::kArchitecture, .kind = Kind::Text, .def = nullptr, .meaning = "its build: windows-x86, windows-x64, or linux-<processor> over the simulated platform", .required = true},
    {.key = key::kWindows, .kind = Kind::Entry, .def = nullptr, .meaning = "the Windows version it ran on, as RtlGetVersion reports it; absent over the simulated platform", .entry = &kWindowsVersion},
};

const Field kMachineFields[] = {
    {.key = key::kSchema, .kind = Kind::Text, .def = nullptr, .meaning = "the JSON Schema of machine files, for editors; ignored"},
    {.key = key::kDescription, .kind = Kind::Text, .def = nullptr, .meaning = "what this machine is; ignored"},
    {.key = key::kCapturedBy, .kind = Kind::Entry, .def = nullptr, .meaning = "the capture that wrote this file and the Windows it ran on; ignored by the replay", .entry = &kCapturedBy},
    {.key = key::kClock, .kind = Kind::Int64, .def = nullptr, .meaning = "the time in seconds since 1970 that the run header prints; default: the real clock"},
    {.key = key::kWindowsDirectory, .kind = Kind::TextOrNull, .def = R"("C:\\Windows")", .meaning = "what GetWindowsDirectoryW returns; null makes it fail"},
    {.key = key::kWindowsDirectoryError, .kind = Kind::Code, .def = "2", .meaning = "the error GetWindowsDirectoryW fails with when windows_directory is null"},
    {.key = key::kEnvironment, .kind = Kind::TextMap, .def = R"({"SystemDrive": "C:"})", .meaning = "environment variables; names compare ignoring case"},
    {.key = key::kLibraries, .kind = Kind::LibraryMap, .def = "{}", .meaning = "per DLL: \"missing\" (LoadLibraryW fails with 126) or {\"missing_exports\": [...]}", .keys = KeyRule::Library},
    {.key = key::kDosDevices, .kind = Kind::TextMap, .def = "{}", .meaning = "drive to kernel name, as QueryDosDeviceW reports it"},
    {.key = key::kVolumes, .kind = Kind::EntryMap, .def = "{}", .meaning = "drive to volume facts, or {\"error\": N}", .entry = &kVolume, .orError = true},
    {.key = key::kClassErrors, .kind = Kind::CodeMap, .def = "{}", .meaning = "class or interface-class GUID to the error SetupDiGetClassDevsW fails with", .keys = KeyRule::Guid},
    {.key = key::kInterfaceOrder, .kind = Kind::TextListMap, .def = "{}", .meaning = "interface class GUID to the paths of its interfaces in the order interface sets list them; the others follow in file order", .keys = KeyRule::Guid},
    {.key = key::kHandleValues, .kind = Kind::CodeList, .def = "[]", .meaning = "the handles successful opens return, in order; then on by 4 from the last (default: from 0x100)"},
    {.key = key::kDevices, .kind = Kind::EntryList, .def = "[]", .meaning = "device nodes", .entry = &kDevice},
    {.key = key::kObjects, .kind = Kind::EntryList, .def = "[]", .meaning = "kernel device objects", .entry = &kObject},
};

const Flag kFlags[] = {
    {"DN_ROOT_ENUMERATED", DN_ROOT_ENUMERATED}, {"DN_DRIVER_LOADED", DN_DRIVER_LOADED},
    {"DN_ENUM_LOADED", DN_ENUM_LOADED},         {"DN_STARTED", DN_STARTED},
    {"DN_MANUAL", DN_MANUAL},                   {"DN_NEED_TO_ENUM", DN_NEED_TO_ENUM},
    {"DN_NOT_FIRST_TIME", DN_NOT_FIRST_TIME},   {"DN_HARDWARE_ENUM", DN_HARDWARE_ENUM},
    {"DN_LIAR", DN_LIAR},                       {"DN_HAS_MARK", DN_HAS_MARK},
    {"DN_HAS_PROBLEM", DN_HAS_PROBLEM},         {"DN_FILTERED", DN_FILTERED},
    {"DN_MOVED", DN_MOVED},                     {"DN_DISABLEABLE", DN_DISABLEABLE},
    {"DN_REMOVABLE", DN_REMOVABLE},             {"DN_PRIVATE_PROBLEM", DN_PRIVATE_PROBLEM},
    {"DN_MF_PARENT", DN_MF_PARENT},             {"DN_MF_CHILD", DN_MF_CHILD},
    {"DN_WILL_BE_REMOVED", DN_WILL_BE_REMOVED}, {"DN_NOT_FIRST_TIMEE", DN_NOT_FIRST_TIMEE},
    {"DN_STOP_FREE_RES", DN_STOP_FREE_RES},     {"DN_REBAL_CANDIDATE", DN_REBAL_CANDIDATE},
    {"DN_BAD_PARTIAL", DN_BAD_PARTIAL},         {"DN_NT_ENUMERATOR", DN_NT_ENUMERATOR},
    {"DN_NT_DRIVER", DN_NT_DRIVER},             {"DN_NEEDS_LOCKING", DN_NEEDS_LOCKING},
    {"DN_ARM_WAKEUP", DN_ARM_WAKEUP},           {"DN_APM_ENUMERATOR", DN_APM_ENUMERATOR},
    {"DN_APM_DRIVER", DN_APM_DRIVER},           {"DN_SILENT_INSTALL", DN_SILENT_INSTALL},
    {"DN_NO_SHOW_IN_DM", DN_NO_SHOW_IN_DM},     {"DN_BOOT_LOG_PROB", DN_BOOT_LOG_PROB},
};

// The libraries of the late-bound table, and ole32.dll, which the program imports.
#define TARSEL_FORMAT_LIBRARY(lib, file, list, extra) file,
const char *const kLibraries[] = {TARSEL_API_LIBRARIES(TARSEL_FORMAT_LIBRARY, ) "ole32.dll"};
#undef TARSEL_FORMAT_LIBRARY

}  // namespace

const Entry kMachine{"machine", "a machine file: one computer as the simulated platform answers for it", kMachineFields};
const Entry kCapturedBy{key::kCapturedBy, "the capture that wrote a machine file", kCapturedByFields};
const Entry kWindowsVersion{"windows_version", "a Windows version: major, minor, build", kWindowsVersionFields};
const Entry kDevice{"device", "a device node", kDeviceFields};
const Entry kInterface{"interface", "a device interface", kInterfaceFields};
const Entry kObject{key::kObject, "a kernel device object, what an opened handle refers to", kObjectFields};
const Entry kVolume{"volume", "the facts GetVolumeInformationW reports for a drive", kVolumeFields};
const Entry kHub{key::kHub, "the answers to the USB hub requests", kHubFields};
const Entry kPort{key::kPort, "one port of a hub", kPortFields};
const Entry kDescriptor{key::kDescriptor, "a USB device descriptor", kDescriptorFields};
const Entry kDeviceNumber{key::kDeviceNumber, "a STORAGE_DEVICE_NUMBER", kDeviceNumberFields};
const Entry kStorageDescriptor{key::kStorageDescriptor, "a STORAGE_DEVICE_DESCRIPTOR", kStorageDescriptorFields};
const Entry kMediaType{key::kMediaType, "one DEVICE_MEDIA_INFO", kMediaTypeFields};
const Entry kRawAnswer{"raw_answer", "a raw answer to a control code", kRawAnswerFields};
const Entry kProperties{key::kProperties, "registry properties by SPDRP name without the prefix", kPropertyFields};

const std::span<const Flag> kStatusFlags{kFlags};
const std::span<const char *const> kLibraryNames{kLibraries};

const Field *Entry::Find(const char *key, size_t length) const {
    for (const Field &f : fields)
        if (std::strlen(f.key) == length && std::memcmp(f.key, key, length) == 0) return &f;
    return nullptr;
}

const Field *Entry::Find(const char *key) const { return Find(key, std::strlen(key)); }

namespace {

#define TARSEL_FORMAT_NAME(lib, name, ret, params, args, fallback) #name,
#define TARSEL_FORMAT_EXPORTS(lib, file, list, extra) const char *const k##lib##Exports[] = {list(TARSEL_FORMAT_NAME) nullptr};
TARSEL_API_LIBRARIES(TARSEL_FORMAT_EXPORTS, )
#undef TARSEL_FORMAT_EXPORTS
#undef TARSEL_FORMAT_NAME

const struct {
    const char *library;
    const char *const *exports;
} kExportTables[] = {
#define TARSEL_FORMAT_TABLE(lib, file, list, extra) {file, k##lib##Exports},
    TARSEL_API_LIBRARIES(TARSEL_FORMAT_TABLE, )
#undef TARSEL_FORMAT_TABLE
};

bool InTable(std::string_view library, const char *name) {
    for (const auto &t : kExportTables) {
        if (library != t.library) continue;
        for (const char *const *e = t.exports; *e != nullptr; ++e)
            if (std::strcmp(*e, name) == 0) return true;
    }
    return false;
}

}  // namespace

std::optional<std::string> DerivedProperty(const Field &property, std::string_view id, const std::string *classText) {
    if (property.code == SPDRP_CLASSGUID && classText != nullptr) return *classText;
    if (property.code == SPDRP_ENUMERATOR_NAME) return std::string(id.substr(0, id.find('\\')));
    return std::nullopt;
}

bool Exports(std::string_view library, const char *name) {
    if (name == nullptr) return false;
    const char *other = rules::ForwardingPartner(library, name);
    return InTable(library, name) || (other != nullptr && InTable(other, name));
}

}  // namespace machine::format

namespace machine {

bool ParseGuidText(std::string_view text, GUID *guid) {
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
    if (text.size() != 38 || text[0] != '{' || text[37] != '}') return false;
    uint8_t bytes[16];
    size_t b = 0;
    for (size_t i = 1; i < 37;) {
        if (i == 9 || i == 14 || i == 19 || i == 24) {
            if (text[i] != '-') return false;
            ++i;
            continue;
        }
        int v = 0;
        for (int k = 0; k < 2; ++k) {
            char c = text[i + static_cast<size_t>(k)];
            int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                                    : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
            if (d < 0) return false;
            v = v * 16 + d;
        }
        bytes[b++] = static_cast<uint8_t>(v);
        i += 2;
    }
    GUID g{};
    g.Data1 = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
    g.Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
    g.Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
    for (int i = 0; i < 8; ++i) g.Data4[i] = bytes[8 + i];
    *guid = g;
    return true;
}

std::string GuidText(const GUID &g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                  g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

}  // namespace machine
