#include "usb/Descriptors.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/trace.h"
#include "platform/trace_labels.h"
#include "device/DeviceInfo.h"
#include "platform/api.h"
#include "platform/holders.h"
#include "platform/os.h"
#include "platform/wstr.h"
#include "storage/DiskMapping.h"
#include "storage/Queries.h"
#include "usb/HubTopology.h"

namespace {

// The request header (connection index and setup packet) and the largest
// answer a hub hands back for one descriptor.
constexpr DWORD kRequestHeaderBytes = sizeof(USB_DESCRIPTOR_REQUEST);
constexpr DWORD kAnswerBytes = 512;
constexpr DWORD kRequestBytes = kRequestHeaderBytes + kAnswerBytes;
static_assert(kRequestBytes == 524);

constexpr BYTE kStringDescriptorType = 3;  // USB_STRING_DESCRIPTOR_TYPE
// bLength and bDescriptorType precede the characters.
constexpr DWORD kStringHeadBytes = offsetof(USB_STRING_DESCRIPTOR, bString);
constexpr size_t kBlockHeadBytes = offsetof(STRING_DESCRIPTOR_NODE, StringDescriptor);
// The zero bytes kept after the descriptor in a block.
constexpr size_t kBlockTailBytes = 4;

// The characters of a block's descriptor, read byte-wise because the block
// is packed and bString is not aligned for a wide character.
WString BlockText(const STRING_DESCRIPTOR_NODE *block) {
    const BYTE *descriptor = reinterpret_cast<const BYTE *>(block) + kBlockHeadBytes;
    const size_t count = (descriptor[0] - kStringHeadBytes) / sizeof(WCHAR);
    WString text(count, 0);
    std::memcpy(text.data(), descriptor + kStringHeadBytes, count * sizeof(WCHAR));
    // Used as a NUL-terminated string: an embedded NUL ends it.
    text.resize(wstr::LenBounded(text.c_str(), count));
    return text;
}

}  // namespace

bool GetStringDescriptor(HANDLE hub, BYTE port, BYTE index, USHORT language, STRING_DESCRIPTOR_NODE **block) {
    *block = nullptr;
    BYTE request[kRequestBytes] = {};
    auto *header = reinterpret_cast<USB_DESCRIPTOR_REQUEST *>(request);
    header->ConnectionIndex = port;
    header->SetupPacket.wValue = static_cast<USHORT>((kStringDescriptorType << 8) | index);
    header->SetupPacket.wIndex = language;
    header->SetupPacket.wLength = static_cast<USHORT>(kAnswerBytes);

    DWORD returned = 0;
    if (!api::DeviceIoControl(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, request, kRequestBytes, request,
                              kRequestBytes, &returned, nullptr))
        return false;

    // The answer must hold at least the descriptor's own two-byte head, and
    // the descriptor must describe exactly the bytes received, in whole
    // characters.  bLength is at most 255, so an accepted answer always lies
    // well inside the request buffer.
    const auto *descriptor = reinterpret_cast<const USB_STRING_DESCRIPTOR *>(request + kRequestHeaderBytes);
    if (returned < kRequestHeaderBytes + kStringHeadBytes) return false;
    if (descriptor->bDescriptorType != kStringDescriptorType) return false;
    if (descriptor->bLength != returned - kRequestHeaderBytes) return false;
    if (descriptor->bLength % 2 != 0) return false;

    // The block keeps zero bytes after the descriptor, so its characters are
    // always terminated, whatever the hub left in the rest of the buffer.
    const size_t size = kBlockHeadBytes + descriptor->bLength + kBlockTailBytes;
    const size_t allocation = size < sizeof(STRING_DESCRIPTOR_NODE) ? sizeof(STRING_DESCRIPTOR_NODE) : size;
    auto *node = static_cast<STRING_DESCRIPTOR_NODE *>(std::calloc(1, allocation));
    if (node == nullptr) return false;
    node->DescriptorIndex = index;
    node->LanguageID = language;
    std::memcpy(reinterpret_cast<BYTE *>(node) + kBlockHeadBytes, descriptor, descriptor->bLength);
    *block = node;
    return true;
}

bool GetUsbDescriptorLanguages(HANDLE hub, BYTE port, USHORT **languages, DWORD *count) {
    Trace("ENTER GetUsbDescriptorLanguages");
    auto fail = [](const char *what) {
        return TraceFailure("LEAVE GetUsbDescriptorLanguages", "ERROR GetUsbDescriptorLanguages ", what);
    };
    *languages = nullptr;
    *count = 0;

    STRING_DESCRIPTOR_NODE *block = nullptr;
    CAutoFree<STRING_DESCRIPTOR_NODE> blockHolder(&block);
    if (!GetStringDescriptor(hub, port, 0, 0, &block)) return fail("GetStringDescriptor");

    const BYTE *descriptor = reinterpret_cast<const BYTE *>(block) + kBlockHeadBytes;
    const DWORD n = (descriptor[0] - kStringHeadBytes) / sizeof(USHORT);
    // A device that names no language has no strings anyone could ask for;
    // callers always take the first entry, so an empty list is a failure.
    if (n == 0) return fail("empty language list");

    auto *list = static_cast<USHORT *>(std::calloc(n, sizeof(USHORT)));
    if (list == nullptr) return fail("memory allocation");
    std::memcpy(list, descriptor + kStringHeadBytes, n * sizeof(USHORT));
    *languages = list;
    *count = n;
    Trace("LEAVE GetUsbDescriptorLanguages");
    return true;
}

bool CDeviceInfo::GetUSBDeviceInfo(const WCHAR *hubPath, const WCHAR *instanceId) {
    Trace("ENTER GetUSBDeviceInfo ", hubPath, " ", instanceId);
    CAutoFreeHandle hub(CreateFileForDevice(hubPath));
    if (hub.Get() == INVALID_HANDLE_VALUE)
        return TraceFailure("LEAVE GetUSBDeviceInfo", "ERROR GetUSBDeviceInfo ", U(os::GetLastError()));
    BYTE ports = 0;
    if (!GetUsbHubNumberOfPorts(hub.Get(), &ports))
        return TraceFailure("LEAVE GetUSBDeviceInfo", tlog::labels::kHubPortsFailed);
    Trace(tlog::labels::kHubPorts, S(ports));

    bool bFilledInfo = false;
    // Ports are numbered from 1; the count itself is a valid port (255 too).
    for (unsigned port = 1; port <= ports; ++port) {
        const BYTE portNumber = static_cast<BYTE>(port);
        USB_DEVICE_DESCRIPTOR descriptor;
        std::memset(&descriptor, 0, sizeof(descriptor));
        if (!IsUsbDeviceConnected(hub.Get(), portNumber, &descriptor)) continue;

        WCHAR *driverKey = nullptr;
        DWORD driverKeyLength = 0;
        CAutoFree<WCHAR> driverKeyHolder(&driverKey);
        if (!GetDriverKeyName(hub.Get(), portNumber, &driverKey, &driverKeyLength)) continue;

        WCHAR *portInstanceId = nullptr;
        CAutoFree<WCHAR> portInstanceIdHolder(&portInstanceId);
        if (!GetUsbInstanceIdFromDriverKeyName(driverKey, &portInstanceId)) continue;
        Trace("INFO GetUSBDeviceInfo pInstanceId ", portInstanceId);
        if (!wstr::EqualExact(portInstanceId, instanceId)) continue;

        // The device is on this port.
        if (descriptor.iSerialNumber == 0 && descriptor.iManufacturer == 0 && descriptor.iProduct == 0) break;

        USHORT *languages = nullptr;
        DWORD languageCount = 0;
        CAutoFree<USHORT> languagesHolder(&languages);
        if (!GetUsbDescriptorLanguages(hub.Get(), portNumber, &languages, &languageCount)) continue;
        const USHORT language = languages[0];

        struct StringField {
            BYTE index;
            CStringValue &field;
            const char *label;
        };
        const StringField fields[] = {
            {descriptor.iSerialNumber, m_Serial, "INFO GetUSBDeviceInfo m_Serial "},
            {descriptor.iManufacturer, m_Manufacturer, "INFO GetUSBDeviceInfo m_Manufacturer "},
            {descriptor.iProduct, m_Model, "INFO GetUSBDeviceInfo m_Model "},
        };
        for (const StringField &entry : fields) {
            if (entry.index == 0) continue;
            STRING_DESCRIPTOR_NODE *block = nullptr;
            CAutoFree<STRING_DESCRIPTOR_NODE> blockHolder(&block);
            if (!GetStringDescriptor(hub.Get(), portNumber, entry.index, language, &block)) continue;
            entry.field.Set(BlockText(block));
            Trace(entry.label, entry.field.Text());
            bFilledInfo = true;
        }
        break;
    }

    Trace("INFO GetUSBDeviceInfo bFilledInfo ", F(bFilledInfo));
    Trace("LEAVE GetUSBDeviceInfo");
    return bFilledInfo;
}

bool CDeviceInfo::UseUSBDeviceInfo(HANDLE device, const GUID *interfaceClass) {
    Trace("ENTER UseUSBDeviceInfo ", P(device));
    WCHAR *lpszDevicePath = nullptr;
    WCHAR *lpszInstancePath = nullptr;
    WCHAR *lpszDeviceHubPath = nullptr;
    CAutoFree<WCHAR> devicePathHolder(&lpszDevicePath);
    CAutoFree<WCHAR> instancePathHolder(&lpszInstancePath);
    CAutoFree<WCHAR> hubPathHolder(&lpszDeviceHubPath);
    STORAGE_DEVICE_NUMBER number{};
    if (!GetUSBDevicePath(device, interfaceClass, &lpszDevicePath, &lpszInstancePath, &lpszDeviceHubPath,
                          &number)) {
        return TraceFailure("LEAVE UseUSBDeviceInfo", "ERROR UseUSBDeviceInfo GetUSBDevicePath");
    }
    Trace("INFO UseUSBDeviceInfo lpszDevicePath ", lpszDevicePath);
    Trace("INFO UseUSBDeviceInfo lpszInstancePath ", lpszInstancePath);
    Trace("INFO UseUSBDeviceInfo lpszDeviceHubPath ", lpszDeviceHubPath);

    m_DeviceID.Set(number.DeviceNumber);
    m_Type.Set(REMOVABLE_STORAGE_DEVICE);
    m_bRemovable = kTriYes;
    Trace("INFO UseUSBDeviceInfo m_DeviceID ", U(number.DeviceNumber));
    Trace("INFO UseUSBDeviceInfo m_Type ", U(static_cast<uint32_t>(REMOVABLE_STORAGE_DEVICE)));
    Trace("INFO UseUSBDeviceInfo m_bRemovable ", S(m_bRemovable));

    // The hub answers for most sticks; the storage descriptor is the fallback.
    if (!GetUSBDeviceInfo(lpszDeviceHubPath, lpszInstancePath)) UseStorageDeviceProperty(device);

    const DWORD deviceNumber = GetDeviceNumber(device);
    m_DeviceID.Set(deviceNumber);
    Trace("INFO UseUSBDeviceInfo m_DeviceID ", U(deviceNumber));
    Trace("LEAVE UseUSBDeviceInfo");
    return true;
}
