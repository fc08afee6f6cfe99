// Simulated kernel32.dll and ntdll.dll: opening device objects, device I/O
// requests answered from the machine's objects, DOS device names and the
// Windows directory; plus the never-called entries of the other libraries.
#include <algorithm>
#include <cstring>

#include "platform/os.h"
#include "sim/RunState.h"
#include "sim/Ops.h"
#include "machine/Rules.h"

namespace sim {

namespace {

constexpr DWORD kErrorCallNotImplemented = 120;
constexpr NTSTATUS kStatusInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004u);

WString Counted(const WCHAR *text, size_t chars) { return text == nullptr ? WString() : WString(text, chars); }

// The machine as the path rules look it up.
struct MachineLookups {
    int Interface(WStringView path, bool *found) const {
        const Machine &m = M();
        auto it = m.index.interfaceByPath.find(rules::Folded(path));
        *found = it != m.index.interfaceByPath.end();
        if (!*found) return -1;
        return m.devices[static_cast<size_t>(it->second.first)].interfaces[static_cast<size_t>(it->second.second)].object;
    }
    const WString *Drive(WStringView drive) const {
        for (const auto &d : M().dosDevices)
            if (wstr::EqualNoCase(WStringView(d.first), drive)) return &d.second;
        return nullptr;
    }
    int Object(WStringView name, bool caseInsensitive) const { return FindObjectByName(WString(name), caseInsensitive); }
};

int ResolveUserPath(const WString &path) { return rules::ResolveUserPath(path, MachineLookups{}); }
int ResolveNativeName(const WString &name, bool caseInsensitive) {
    return rules::ResolveNativeName(name, caseInsensitive, MachineLookups{});
}

// ---- Device I/O requests ------------------------------------------------------

struct Reply {
    DWORD error = 0;           // 0: success
    std::vector<uint8_t> data; // what is written to the output buffer (never more than it holds)
    std::optional<uint32_t> reported;  // a count other than the bytes written
};

template <typename T>
void Put(std::vector<uint8_t> &out, size_t offset, T value) {
    if (out.size() < offset + sizeof value) out.resize(offset + sizeof value, 0);
    std::memcpy(out.data() + offset, &value, sizeof value);
}

void PutWide(std::vector<uint8_t> &out, size_t offset, const WString &text, bool terminate) {
    size_t bytes = text.size() * sizeof(WCHAR);
    if (out.size() < offset + bytes + (terminate ? 2 : 0)) out.resize(offset + bytes + (terminate ? 2 : 0), 0);
    if (bytes != 0) std::memcpy(out.data() + offset, text.data(), bytes);
}

uint32_t ReadU32(const uint8_t *in, size_t offset) {
    uint32_t v = 0;
    std::memcpy(&v, in + offset, sizeof v);
    return v;
}

Reply ErrorReply(DWORD error) {
    Reply r;
    r.error = error;
    return r;
}

Reply DeviceNumberReply(const DeviceNumber &n, DWORD outSize) {
    if (outSize < sizeof(STORAGE_DEVICE_NUMBER)) return ErrorReply(ERROR_INSUFFICIENT_BUFFER);
    Reply r;
    Put<DWORD>(r.data, offsetof(STORAGE_DEVICE_NUMBER, DeviceType), n.type);
    Put<DWORD>(r.data, offsetof(STORAGE_DEVICE_NUMBER, DeviceNumber), n.number);
    Put<DWORD>(r.data, offsetof(STORAGE_DEVICE_NUMBER, PartitionNumber), n.partition);
    r.reported = n.returned;
    return r;
}

Reply StorageDescriptorReply(const StorageDescriptor &s, DWORD outSize) {
    std::vector<uint8_t> full(sizeof(STORAGE_DEVICE_DESCRIPTOR), 0);
    auto text = [&](const std::optional<std::string> &value, size_t field) {
        DWORD offset = 0;
        if (value) {
            offset = static_cast<DWORD>(full.size());
            full.insert(full.end(), value->begin(), value->end());
            full.push_back(0);
        }
        Put<DWORD>(full, field, offset);
    };
    text(s.serial, offsetof(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset));
    text(s.vendor, offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset));
    text(s.product, offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset));
    text(s.revision, offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductRevisionOffset));
    Put<DWORD>(full, offsetof(STORAGE_DEVICE_DESCRIPTOR, Version), sizeof(STORAGE_DEVICE_DESCRIPTOR));
    Put<DWORD>(full, offsetof(STORAGE_DEVICE_DESCRIPTOR, Size), static_cast<DWORD>(full.size()));
    Put<BYTE>(full, offsetof(STORAGE_DEVICE_DESCRIPTOR, DeviceType), s.deviceType);
    Put<BYTE>(full, offsetof(STORAGE_DEVICE_DESCRIPTOR, DeviceTypeModifier), s.deviceTypeModifier);
    Put<BYTE>(full, offsetof(STORAGE_DEVICE_DESCRIPTOR, RemovableMedia), s.removable ? 1 : 0);
    Put<BYTE>(full, offsetof(STORAGE_DEVICE_DESCRIPTOR, CommandQueueing), s.commandQueueing ? 1 : 0);
    Put<uint32_t>(full, offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType), s.busType);
    Put<DWORD>(full, offsetof(STORAGE_DEVICE_DESCRIPTOR, RawPropertiesLength), 0);
    // Cut to the caller's buffer, as the storage stack does.
    Reply r;
    r.data.assign(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(outSize, full.size())));
    return r;
}

Reply MediaTypesReply(const std::vector<MediaType> &list, DWORD deviceType, DWORD outSize) {
    size_t needed = offsetof(GET_MEDIA_TYPES, MediaInfo) + sizeof(DEVICE_MEDIA_INFO) * list.size();
    if (outSize < needed || outSize < offsetof(GET_MEDIA_TYPES, MediaInfo))
        return ErrorReply(ERROR_INSUFFICIENT_BUFFER);
    Reply r;
    r.data.assign(needed, 0);
    Put<DWORD>(r.data, offsetof(GET_MEDIA_TYPES, DeviceType), deviceType);
    Put<DWORD>(r.data, offsetof(GET_MEDIA_TYPES, MediaInfoCount), static_cast<DWORD>(list.size()));
    for (size_t i = 0; i < list.size(); ++i) {
        const MediaType &t = list[i];
        size_t base = offsetof(GET_MEDIA_TYPES, MediaInfo) + i * sizeof(DEVICE_MEDIA_INFO);
        using Info = DEVICE_MEDIA_INFO;
        Put<int64_t>(r.data, base + offsetof(Info, DeviceSpecific.DiskInfo.Cylinders), t.cylinders);
        Put<DWORD>(r.data, base + offsetof(Info, DeviceSpecific.DiskInfo.MediaType), t.mediaType);
        Put<DWORD>(r.data, base + offsetof(Info, DeviceSpecific.DiskInfo.TracksPerCylinder), t.tracksPerCylinder);
        Put<DWORD>(r.data, base + offsetof(Info, DeviceSpecific.DiskInfo.SectorsPerTrack), t.sectorsPerTrack);
        Put<DWORD>(r.data, base + offsetof(Info, DeviceSpecific.DiskInfo.BytesPerSector), t.bytesPerSector);
        Put<DWORD>(r.data, base + offsetof(Info, DeviceSpecific.DiskInfo.NumberMediaSides), t.sides);
        Put<DWORD>(r.data, base + offsetof(Info, DeviceSpecific.DiskInfo.MediaCharacteristics), t.characteristics);
    }
    return r;
}

Reply MountdevReply(const WString &name, DWORD outSize) {
    const size_t header = sizeof(TARSEL_MOUNTDEV_NAME);  // NameLength and the first character's room
    const USHORT nameBytes = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    if (outSize < header) return ErrorReply(ERROR_INVALID_PARAMETER);
    Reply r;
    if (outSize < offsetof(TARSEL_MOUNTDEV_NAME, Name) + nameBytes) {
        r.error = ERROR_MORE_DATA;
        r.data.assign(header, 0);
        Put<USHORT>(r.data, offsetof(TARSEL_MOUNTDEV_NAME, NameLength), nameBytes);
        return r;
    }
    r.data.assign(std::max<size_t>(header, offsetof(TARSEL_MOUNTDEV_NAME, Name) + nameBytes), 0);
    Put<USHORT>(r.data, offsetof(TARSEL_MOUNTDEV_NAME, NameLength), nameBytes);
    PutWide(r.data, offsetof(TARSEL_MOUNTDEV_NAME, Name), name, false);
    r.data.resize(std::max<size_t>(header, offsetof(TARSEL_MOUNTDEV_NAME, Name) + nameBytes));
    return r;
}

Reply SdProtocolReply(const GUID &protocol, DWORD outSize) {
    if (outSize < sizeof(TARSEL_SFFDISK_QUERY_DEVICE_PROTOCOL_DATA)) return ErrorReply(ERROR_INSUFFICIENT_BUFFER);
    Reply r;
    Put<USHORT>(r.data, offsetof(TARSEL_SFFDISK_QUERY_DEVICE_PROTOCOL_DATA, Size),
                sizeof(TARSEL_SFFDISK_QUERY_DEVICE_PROTOCOL_DATA));
    Put<USHORT>(r.data, offsetof(TARSEL_SFFDISK_QUERY_DEVICE_PROTOCOL_DATA, Reserved), 0);
    Put<GUID>(r.data, offsetof(TARSEL_SFFDISK_QUERY_DEVICE_PROTOCOL_DATA, ProtocolGUID), protocol);
    return r;
}

// The block's own HeaderSize says where the descriptor and the response
// stand: 20 from a 32-bit caller, 24 from a 64-bit one.
Reply SdCommandReply(const std::vector<uint8_t> &cid, const uint8_t *in, DWORD inSize, DWORD outSize) {
    if (in == nullptr || inSize < sizeof(USHORT)) return ErrorReply(ERROR_INVALID_PARAMETER);
    const size_t header = static_cast<size_t>(in[0]) | static_cast<size_t>(in[1]) << 8;
    if (header != 20 && header != 24) return ErrorReply(ERROR_INVALID_PARAMETER);
    const size_t data = header + sffdisk::kSdCommandDescriptorSize;
    const size_t block = data + sffdisk::kDeviceDataSize;
    if (inSize < block) return ErrorReply(ERROR_INVALID_PARAMETER);
    if (outSize < block) return ErrorReply(ERROR_INSUFFICIENT_BUFFER);
    if (in[header + sffdisk::kCmdInDescriptor] != sffdisk::kSendCid) return ErrorReply(ERROR_INVALID_FUNCTION);
    Reply r;
    r.data.assign(in, in + block);
    // The host keeps CID bits 127..8 in D[14]..D[0], least significant byte
    // first; the CRC byte (bits 7..0) is not kept and D[15] stays 0.
    for (size_t i = 0; i < 15; ++i) r.data[data + i] = cid[14 - i];
    r.data[data + 15] = 0;
    return r;
}

// ---- USB hubs ----------------------------------------------------------------

uint32_t PortCount(const Hub &hub) {
    if (hub.portCount) return *hub.portCount;
    uint32_t n = 0;
    for (const HubPort &p : hub.ports) n = std::max(n, p.port);
    return n;
}

const HubPort *FindPort(const Hub &hub, uint32_t port) {
    for (const HubPort &p : hub.ports)
        if (p.port == port) return &p;
    return nullptr;
}

Reply NodeInformationReply(const Hub &hub, DWORD outSize) {
    if (outSize < sizeof(USB_NODE_INFORMATION)) return ErrorReply(ERROR_INSUFFICIENT_BUFFER);
    Reply r;
    r.data.assign(sizeof(USB_NODE_INFORMATION), 0);
    Put<uint32_t>(r.data, offsetof(USB_NODE_INFORMATION, NodeType), 0);  // UsbHub
    const size_t d = offsetof(USB_NODE_INFORMATION, u.HubInformation.HubDescriptor);
    Put<UCHAR>(r.data, d + offsetof(USB_HUB_DESCRIPTOR, bDescriptorLength), 9);
    Put<UCHAR>(r.data, d + offsetof(USB_HUB_DESCRIPTOR, bDescriptorType), 0x29);
    Put<UCHAR>(r.data, d + offsetof(USB_HUB_DESCRIPTOR, bNumberOfPorts), static_cast<UCHAR>(PortCount(hub)));
    Put<UCHAR>(r.data, offsetof(USB_NODE_INFORMATION, u.HubInformation.HubIsBusPowered), hub.busPowered ? 1 : 0);
    return r;
}

// Both connection-information requests share one layout up to the byte that
// is Speed in the newer one and LowSpeed in the older.
Reply ConnectionReply(const Hub &hub, bool ex, const uint8_t *in, DWORD inSize, DWORD outSize) {
    if (ex && !hub.exQuery) return ErrorReply(ERROR_INVALID_FUNCTION);
    if (in == nullptr || inSize < sizeof(ULONG)) return ErrorReply(ERROR_INVALID_PARAMETER);
    const size_t size = ex ? sizeof(USB_NODE_CONNECTION_INFORMATION_EX) : sizeof(USB_NODE_CONNECTION_INFORMATION);
    if (outSize < size) return ErrorReply(ERROR_INSUFFICIENT_BUFFER);
    uint32_t index = ReadU32(in, 0);
    if (index == 0 || index > PortCount(hub)) return ErrorReply(ERROR_INVALID_PARAMETER);
    const HubPort *port = FindPort(hub, index);
    Reply r;
    r.data.assign(size, 0);
    using Info = USB_NODE_CONNECTION_INFORMATION_EX;
    Put<ULONG>(r.data, offsetof(Info, ConnectionIndex), index);
    if (port != nullptr && port->connected) {
        std::memcpy(r.data.data() + offsetof(Info, DeviceDescriptor), port->descriptor.data(), 18);
        Put<UCHAR>(r.data, offsetof(Info, CurrentConfigurationValue), port->configuration);
        Put<UCHAR>(r.data, offsetof(Info, Speed), ex ? port->speed : (port->speed == 0 ? 1 : 0));
        Put<UCHAR>(r.data, offsetof(Info, DeviceIsHub), port->deviceIsHub ? 1 : 0);
        Put<USHORT>(r.data, offsetof(Info, DeviceAddress), port->address);
        Put<ULONG>(r.data, offsetof(Info, NumberOfOpenPipes), port->openPipes);
        Put<uint32_t>(r.data, offsetof(Info, ConnectionStatus), 1);  // DeviceConnected
    }
    return r;
}

Reply DriverKeyReply(const Hub &hub, const uint8_t *in, DWORD inSize, DWORD outSize) {
    if (in == nullptr || inSize < sizeof(ULONG)) return ErrorReply(ERROR_INVALID_PARAMETER);
    if (outSize < sizeof(USB_NODE_CONNECTION_DRIVERKEY_NAME)) return ErrorReply(ERROR_INSUFFICIENT_BUFFER);
    uint32_t index = ReadU32(in, 0);
    if (index == 0 || index > PortCount(hub)) return ErrorReply(ERROR_INVALID_PARAMETER);
    const HubPort *port = FindPort(hub, index);
    if (port == nullptr || !port->connected) return ErrorReply(ERROR_INVALID_PARAMETER);
    if (port->driverKeyError) return ErrorReply(*port->driverKeyError);
    if (!port->driverKey) return ErrorReply(ERROR_INVALID_PARAMETER);
    using Name = USB_NODE_CONNECTION_DRIVERKEY_NAME;
    const size_t nameOffset = offsetof(Name, DriverKeyName);
    const size_t actual = nameOffset + sizeof(WCHAR) * (port->driverKey->size() + 1);
    Reply r;
    Put<ULONG>(r.data, offsetof(Name, ConnectionIndex), index);
    Put<ULONG>(r.data, offsetof(Name, ActualLength), static_cast<ULONG>(actual));
    if (outSize >= actual) {
        PutWide(r.data, nameOffset, *port->driverKey, true);
    } else {
        // Too small for the whole name: as much as fits, no terminator.
        size_t chars = (outSize - nameOffset) / sizeof(WCHAR);
        PutWide(r.data, nameOffset, port->driverKey->substr(0, chars), false);
    }
    return r;
}

Reply DescriptorReply(const Hub &hub, const uint8_t *in, DWORD inSize, DWORD outSize) {
    const size_t header = sizeof(USB_DESCRIPTOR_REQUEST);
    if (in == nullptr || inSize < header) return ErrorReply(ERROR_INVALID_PARAMETER);
    if (outSize < header) return ErrorReply(ERROR_INSUFFICIENT_BUFFER);
    uint32_t index = ReadU32(in, offsetof(USB_DESCRIPTOR_REQUEST, ConnectionIndex));
    USHORT wValue = 0, wIndex = 0, wLength = 0;
    std::memcpy(&wValue, in + offsetof(USB_DESCRIPTOR_REQUEST, SetupPacket.wValue), 2);
    std::memcpy(&wIndex, in + offsetof(USB_DESCRIPTOR_REQUEST, SetupPacket.wIndex), 2);
    std::memcpy(&wLength, in + offsetof(USB_DESCRIPTOR_REQUEST, SetupPacket.wLength), 2);
    if (index == 0 || index > PortCount(hub)) return ErrorReply(ERROR_INVALID_PARAMETER);
    const HubPort *port = FindPort(hub, index);
    if (port == nullptr || !port->connected) return ErrorReply(ERROR_GEN_FAILURE);
    const uint8_t type = static_cast<uint8_t>(wValue >> 8), number = static_cast<uint8_t>(wValue & 0xFF);
    std::vector<uint8_t> descriptor;
    if (type == 1 && number == 0) {
        descriptor = port->descriptor;
    } else if (type == 3 && number == 0) {
        descriptor.push_back(static_cast<uint8_t>(2 + 2 * port->languages.size()));
        descriptor.push_back(3);
        for (uint16_t l : port->languages) {
            descriptor.push_back(static_cast<uint8_t>(l & 0xFF));
            descriptor.push_back(static_cast<uint8_t>(l >> 8));
        }
    } else if (type == 3) {
        auto it = port->strings.find(number);
        bool language = false;
        for (uint16_t l : port->languages) language = language || l == wIndex;
        if (it == port->strings.end() || !language) return ErrorReply(ERROR_GEN_FAILURE);
        descriptor.push_back(static_cast<uint8_t>(2 + 2 * it->second.size()));
        descriptor.push_back(3);
        for (WCHAR c : it->second) {
            descriptor.push_back(static_cast<uint8_t>(static_cast<uint16_t>(c) & 0xFF));
            descriptor.push_back(static_cast<uint8_t>(static_cast<uint16_t>(c) >> 8));
        }
    } else {
        return ErrorReply(ERROR_GEN_FAILURE);
    }
    size_t n = std::min<size_t>({descriptor.size(), outSize - header, wLength});
    Reply r;
    r.data.assign(in, in + header);
    r.data.insert(r.data.end(), descriptor.begin(), descriptor.begin() + static_cast<std::ptrdiff_t>(n));
    return r;
}

// The device type an object reports, for the media-types answer.
DWORD DeviceTypeOf(int object) {
    const Machine &m = M();
    for (size_t steps = 0; object >= 0 && steps <= m.objects.size(); ++steps) {
        const Object &o = m.objects[static_cast<size_t>(object)];
        if (o.deviceNumber.given && !o.deviceNumber.error) return o.deviceNumber.value.type;
        object = o.forward;
    }
    return FILE_DEVICE_DISK;
}

template <typename T, typename F>
bool Answered(const Answer<T> &answer, Reply *reply, F build) {
    if (!answer.given) return false;
    *reply = answer.error ? ErrorReply(*answer.error) : build(answer.value);
    return true;
}

// The object's first raw answer for the request whose input matches.
const RawAnswer *RawAnswerFor(const Object &o, DWORD code, const uint8_t *in, DWORD inSize) {
    auto it = o.ioctl.find(code);
    if (it == o.ioctl.end()) return nullptr;
    for (const RawAnswer &a : it->second) {
        if (!a.input) return &a;
        if (a.input->size() <= inSize && (a.input->empty() || std::memcmp(a.input->data(), in, a.input->size()) == 0))
            return &a;
    }
    return nullptr;
}

Reply RawReply(const RawAnswer &a, DWORD outSize) {
    Reply reply;
    size_t n = std::min<size_t>(a.bytes.size(), outSize);
    reply.data.assign(a.bytes.begin(), a.bytes.begin() + static_cast<std::ptrdiff_t>(n));
    reply.error = a.error.value_or(0);
    reply.reported = a.returned.value_or(static_cast<uint32_t>(n));
    return reply;
}

// IOCTL_STORAGE_QUERY_PROPERTY with a whole query: only the device property
// is described.
bool StoragePropertyAnswered(const Object &o, const uint8_t *in, DWORD outSize, Reply *reply) {
    if (ReadU32(in, offsetof(STORAGE_PROPERTY_QUERY, PropertyId)) != StorageDeviceProperty) return false;
    if (ReadU32(in, offsetof(STORAGE_PROPERTY_QUERY, QueryType)) != PropertyStandardQuery)  // PropertyExistsQuery
        return Answered(o.storageDescriptor, reply, [](const StorageDescriptor &) { return Reply{}; });
    return Answered(o.storageDescriptor, reply, [&](const StorageDescriptor &s) { return StorageDescriptorReply(s, outSize); });
}

// Asks the object, then what it forwards to, until one describes the request.
Reply Dispatch(int start, DWORD code, const uint8_t *in, DWORD inSize, DWORD outSize) {
    const Machine &m = M();
    int object = start;
    for (size_t steps = 0; object >= 0 && steps <= m.objects.size(); ++steps) {
        const Object &o = m.objects[static_cast<size_t>(object)];
        Reply reply;
        if (const RawAnswer *raw = RawAnswerFor(o, code, in, inSize)) return RawReply(*raw, outSize);
        bool done = false;
        switch (code) {
        case IOCTL_STORAGE_GET_DEVICE_NUMBER:
            done = Answered(o.deviceNumber, &reply, [&](const DeviceNumber &n) { return DeviceNumberReply(n, outSize); });
            break;
        case IOCTL_STORAGE_QUERY_PROPERTY:
            if (in == nullptr || inSize < offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters))
                return ErrorReply(ERROR_INVALID_PARAMETER);
            done = StoragePropertyAnswered(o, in, outSize, &reply);
            break;
        case IOCTL_STORAGE_GET_MEDIA_TYPES_EX:
            done = Answered(o.mediaTypes, &reply, [&](const std::vector<MediaType> &list) {
                return MediaTypesReply(list, DeviceTypeOf(start), outSize);
            });
            break;
        case IOCTL_MOUNTDEV_QUERY_DEVICE_NAME:
            done = Answered(o.mountdevName, &reply, [&](const WString &name) { return MountdevReply(name, outSize); });
            break;
        case IOCTL_SFFDISK_QUERY_DEVICE_PROTOCOL:
            done = Answered(o.sdProtocol, &reply, [&](const GUID &g) { return SdProtocolReply(g, outSize); });
            break;
        case IOCTL_SFFDISK_DEVICE_COMMAND:
            done = Answered(o.sdCid, &reply,
                            [&](const std::vector<uint8_t> &cid) { return SdCommandReply(cid, in, inSize, outSize); });
            break;
        case IOCTL_USB_GET_NODE_INFORMATION:
            done = Answered(o.hub, &reply, [&](const Hub &h) { return NodeInformationReply(h, outSize); });
            break;
        case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX:
        case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION:
            done = Answered(o.hub, &reply, [&](const Hub &h) {
                return ConnectionReply(h, code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, in, inSize, outSize);
            });
            break;
        case IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME:
            done = Answered(o.hub, &reply, [&](const Hub &h) { return DriverKeyReply(h, in, inSize, outSize); });
            break;
        case IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION:
            done = Answered(o.hub, &reply, [&](const Hub &h) { return DescriptorReply(h, in, inSize, outSize); });
            break;
        default:
            break;
        }
        if (done) return reply;
        object = o.forward;
    }
    return ErrorReply(ERROR_INVALID_FUNCTION);
}

}  // namespace

// ---- kernel32.dll ------------------------------------------------------------

HANDLE WINAPI Sim_CreateFileW(LPCWSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    const char *op = "CreateFileW";
    std::string target = TextTarget(name);
    if (name == nullptr || name[0] == 0) {
        Fail(op, target, ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    int object = ResolveUserPath(WString(name, wstr::LenBounded(name, 32768)));
    DWORD error = 0;
    if (object < 0) {
        error = ERROR_FILE_NOT_FOUND;
    } else {
        const Object &o = M().objects[static_cast<size_t>(object)];
        if (o.openError)
            error = o.openError->win32;
        else if (o.writeError && rules::AsksWrite(access))
            error = o.writeError->win32;
    }
    if (error != 0) {
        Fail(op, target, error);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = OpenObjectHandle(object);
    Record(op, target, true, 0, access);
    return handle;
}

BOOL WINAPI Sim_CloseHandle(HANDLE handle) {
    std::string target = HandleTarget(handle);
    if (!CloseObjectHandle(handle)) return Fail("CloseHandle", target, ERROR_INVALID_HANDLE);
    Record("CloseHandle", target, true);
    return TRUE;
}

BOOL WINAPI Sim_DeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                                LPDWORD returned, LPOVERLAPPED) {
    std::string target = HandleTarget(handle);
    if (returned != nullptr) *returned = 0;
    int object = ObjectOfHandle(handle);
    if (object < 0) {
        SetError(ERROR_INVALID_HANDLE);
        Record("DeviceIoControl", target, false, ERROR_INVALID_HANDLE, code, inSize, outSize);
        return FALSE;
    }
    if (Recording()) target = M().objects[static_cast<size_t>(object)].nameText;
    if (out == nullptr) outSize = 0;
    if (in == nullptr) inSize = 0;
    Reply reply = Dispatch(object, code, static_cast<const uint8_t *>(in), inSize, outSize);
    // Never past the caller's buffer, whatever the answer holds.
    size_t written = std::min<size_t>(reply.data.size(), outSize);
    if (written != 0) std::memmove(out, reply.data.data(), written);
    DWORD count = reply.reported.value_or(static_cast<uint32_t>(written));
    bool rawFailure = reply.reported.has_value() && reply.error != 0;
    if (reply.error != 0 && reply.error != ERROR_MORE_DATA && !rawFailure) count = 0;
    if (returned != nullptr) *returned = count;
    Record("DeviceIoControl", target, reply.error == 0, reply.error, code, inSize, outSize);
    if (reply.error != 0) {
        SetError(reply.error);
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI Sim_QueryDosDeviceW(LPCWSTR device, LPWSTR target, DWORD max) {
    const char *op = "QueryDosDeviceW";
    std::string text = TextTarget(device);
    WString answer;  // a list of strings, each terminated, then one more terminator
    if (device == nullptr) {
        for (const auto &d : M().dosDevices) {
            answer += d.first;
            answer.push_back(0);
        }
    } else {
        const WString *t = MachineLookups{}.Drive(wstr::ViewBounded(device, 32768));
        if (t == nullptr) {
            Fail(op, text, ERROR_FILE_NOT_FOUND);
            return 0;
        }
        answer = *t;
        answer.push_back(0);
    }
    answer.push_back(0);
    if (target == nullptr || max < answer.size()) {
        Fail(op, text, ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(target, answer.data(), answer.size() * sizeof(WCHAR));
    Record(op, text, true);
    return static_cast<DWORD>(answer.size());
}

UINT WINAPI Sim_GetWindowsDirectoryW(LPWSTR buffer, UINT size) {
    const Machine &m = M();
    if (!m.windowsDirectory) {
        Fail("GetWindowsDirectoryW", "", m.windowsDirectoryError);
        return 0;
    }
    const WString &dir = *m.windowsDirectory;
    Record("GetWindowsDirectoryW", wstr::ToUtf8(dir), true);
    // Too small: the size needed, terminator included; nothing written.
    if (buffer == nullptr || size < dir.size() + 1) return static_cast<UINT>(dir.size() + 1);
    std::memcpy(buffer, dir.c_str(), (dir.size() + 1) * sizeof(WCHAR));
    return static_cast<UINT>(dir.size());
}

DWORD WINAPI Sim_GetLogicalDriveStringsW(DWORD size, LPWSTR buffer) {
    WString answer;
    for (const auto &d : M().dosDevices)
        if (d.first.size() == 2 && d.first[1] == ':') {
            answer += d.first;
            answer.push_back('\\');
            answer.push_back(0);
        }
    Record("GetLogicalDriveStringsW", "", true);
    if (buffer == nullptr || size < answer.size() + 1) return static_cast<DWORD>(answer.size() + 1);
    std::memcpy(buffer, answer.data(), answer.size() * sizeof(WCHAR));
    buffer[answer.size()] = 0;
    return static_cast<DWORD>(answer.size());
}

BOOL WINAPI Sim_InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section, DWORD) {
    if (section != nullptr) std::memset(static_cast<void *>(section), 0, sizeof(CRITICAL_SECTION));
    Record("InitializeCriticalSectionAndSpinCount", "", true);
    return TRUE;
}

BOOL WINAPI Sim_InitializeCriticalSectionEx(LPCRITICAL_SECTION section, DWORD, DWORD) {
    if (section != nullptr) std::memset(static_cast<void *>(section), 0, sizeof(CRITICAL_SECTION));
    Record("InitializeCriticalSectionEx", "", true);
    return TRUE;
}

PVOID WINAPI Sim_DecodePointer(PVOID pointer) {
    Record("DecodePointer", "", true);
    return pointer;
}
PVOID WINAPI Sim_EncodePointer(PVOID pointer) {
    Record("EncodePointer", "", true);
    return pointer;
}

HANDLE WINAPI Sim_CreateEventW(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR) {
    Fail("CreateEventW", "", kErrorCallNotImplemented);
    return nullptr;
}

BOOL WINAPI Sim_IsDebuggerPresent() {
    Record("IsDebuggerPresent", "", true);
    return FALSE;
}

BOOL WINAPI Sim_GetModuleHandleExW(DWORD, LPCWSTR name, HMODULE *mod) {
    HMODULE found = direct::GetModuleHandleW(name);
    if (mod != nullptr) *mod = found;
    return found != nullptr ? TRUE : FALSE;
}

BOOL WINAPI Sim_SetFilePointerEx(HANDLE handle, LARGE_INTEGER, PLARGE_INTEGER, DWORD) {
    return Fail("SetFilePointerEx", HandleText(handle), ObjectOfHandle(handle) < 0 ? ERROR_INVALID_HANDLE
                                                                                   : ERROR_INVALID_FUNCTION);
}

// ---- ntdll.dll ---------------------------------------------------------------

NTSTATUS WINAPI Sim_NtCreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                                 PIO_STATUS_BLOCK status, PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG) {
    const char *op = "NtCreateFile";
    if (handle == nullptr || attributes == nullptr || attributes->ObjectName == nullptr)
        return StatusFail(op, "", STATUS_INVALID_PARAMETER);
    const UNICODE_STRING &u = *attributes->ObjectName;
    if (u.Length % 2 != 0 || u.Length > u.MaximumLength || (u.Buffer == nullptr && u.Length != 0))
        return StatusFail(op, "", STATUS_INVALID_PARAMETER);
    WString name = Counted(u.Buffer, u.Length / sizeof(WCHAR));
    std::string target = wstr::ToUtf8(name);
    int object = ResolveNativeName(name, (attributes->Attributes & OBJ_CASE_INSENSITIVE) != 0);
    if (object < 0) return StatusFail(op, target, STATUS_OBJECT_NAME_NOT_FOUND);
    const Object &o = M().objects[static_cast<size_t>(object)];
    if (o.openError) return StatusFail(op, target, static_cast<NTSTATUS>(o.openError->status));
    if (o.writeError && rules::AsksWrite(access)) return StatusFail(op, target, static_cast<NTSTATUS>(o.writeError->status));
    *handle = OpenObjectHandle(object);
    if (status != nullptr) {
        status->Status = STATUS_SUCCESS;
        status->Information = 1;  // FILE_OPENED
    }
    Record(op, target, true, 0, access);
    return STATUS_SUCCESS;
}

ULONG WINAPI Sim_RtlNtStatusToDosError(NTSTATUS status) {
    const ULONG error = rules::DosErrorOf(static_cast<uint32_t>(status));
    Record("RtlNtStatusToDosError", "", true, 0, static_cast<uint32_t>(status));
    return error;
}

NTSTATUS WINAPI Sim_NtQueryObject(HANDLE handle, OBJECT_INFORMATION_CLASS infoClass, PVOID info, ULONG length,
                                  PULONG returned) {
    const char *op = "NtQueryObject";
    std::string target = HandleTarget(handle);
    int object = ObjectOfHandle(handle);
    if (object < 0) return StatusFail(op, target, STATUS_INVALID_HANDLE);
    if (infoClass != ObjectNameInformation) return StatusFail(op, target, static_cast<NTSTATUS>(0xC0000003u));
    const WString &name = M().objects[static_cast<size_t>(object)].name;
    if (Recording()) target = wstr::ToUtf8(name);
    const size_t needed = sizeof(UNICODE_STRING) + sizeof(WCHAR) * (name.size() + 1);
    if (returned != nullptr) *returned = static_cast<ULONG>(needed);
    // Too small for the header is a wrong length; for the name, an overflow.
    if (info == nullptr || length < sizeof(UNICODE_STRING)) return StatusFail(op, target, kStatusInfoLengthMismatch);
    if (length < needed) return StatusFail(op, target, STATUS_BUFFER_OVERFLOW);
    auto *base = static_cast<unsigned char *>(info);
    UNICODE_STRING u;
    u.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    u.MaximumLength = static_cast<USHORT>(u.Length + sizeof(WCHAR));
    u.Buffer = reinterpret_cast<PWSTR>(base + sizeof(UNICODE_STRING));
    std::memcpy(base, &u, sizeof u);
    std::memcpy(base + sizeof(UNICODE_STRING), name.c_str(), sizeof(WCHAR) * (name.size() + 1));
    Record(op, target, true);
    return STATUS_SUCCESS;
}

NTSTATUS WINAPI Sim_NtClose(HANDLE handle) {
    std::string target = HandleTarget(handle);
    if (!CloseObjectHandle(handle)) return StatusFail("NtClose", target, STATUS_INVALID_HANDLE);
    Record("NtClose", target, true);
    return STATUS_SUCCESS;
}

VOID WINAPI Sim_RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
    Record("RtlInitUnicodeString", TextTarget(source), destination != nullptr);
    if (destination == nullptr) return;
    size_t chars = wstr::LenBounded(source, 32766);
    destination->Length = static_cast<USHORT>(chars * sizeof(WCHAR));
    destination->MaximumLength = static_cast<USHORT>(source == nullptr ? 0 : destination->Length + sizeof(WCHAR));
    destination->Buffer = const_cast<PWSTR>(source);
}

// ---- Libraries the program binds but never calls ---------------------------------

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#define TARSEL_SIM_UNUSED(lib, name, ret, params, args, fallback) \
    ret WINAPI Sim_##name params {                                \
        Fail(#name, "", kErrorCallNotImplemented);                \
        return fallback;                                          \
    }
TARSEL_API_ADVAPI32(TARSEL_SIM_UNUSED)
TARSEL_API_PSAPI(TARSEL_SIM_UNUSED)
TARSEL_API_USER32(TARSEL_SIM_UNUSED)
#undef TARSEL_SIM_UNUSED
#pragma GCC diagnostic pop

}  // namespace sim
