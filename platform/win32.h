// The one header through which the logic sees the operating system's types.
//
// Windows builds take the SDK headers (mingw-w64); the Linux build takes our
// own mirror of them.  The device requests that the SDK headers of mingw-w64
// do not carry (SD host, mount manager) are declared here for both, with the
// layouts the drivers use.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <winioctl.h>
#include <usbioctl.h>
#include <winternl.h>
#else
#include "platform/win32_posix.h"
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>

#ifndef STATUS_SUCCESS
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#endif
#ifndef STATUS_BUFFER_OVERFLOW
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#endif
#ifndef STATUS_UNSUCCESSFUL
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#endif
#ifndef STATUS_INVALID_HANDLE
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#endif
#ifndef STATUS_ACCESS_DENIED
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#endif
#ifndef STATUS_OBJECT_NAME_NOT_FOUND
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#endif
#ifndef FILE_OPEN
#define FILE_OPEN 0x00000001
#endif
#ifndef FILE_SYNCHRONOUS_IO_NONALERT
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020
#endif
#ifndef OBJ_CASE_INSENSITIVE
#define OBJ_CASE_INSENSITIVE 0x00000040L
#endif

// A 32-bit field of a device's answer, read as raw bytes.  The SDK types some
// of these fields as enumerations (bus type, media type, connection status),
// but a device may put any value there, and loading an out-of-range value as
// the enumeration is undefined.
inline DWORD RawDwordField(const void *answer, size_t offset) {
    DWORD value = 0;
    std::memcpy(&value, static_cast<const BYTE *>(answer) + offset, sizeof value);
    return value;
}

// Mount manager: the kernel name of a device.
#ifndef IOCTL_MOUNTDEV_QUERY_DEVICE_NAME
#define IOCTL_MOUNTDEV_QUERY_DEVICE_NAME 0x004D0008u
#endif
typedef struct TARSEL_MOUNTDEV_NAME {
    USHORT NameLength;
    WCHAR Name[1];
} TARSEL_MOUNTDEV_NAME;

// Secure-digital storage interface.
#define IOCTL_SFFDISK_QUERY_DEVICE_PROTOCOL 0x00071E80u
#define IOCTL_SFFDISK_DEVICE_COMMAND 0x00079E84u

typedef struct TARSEL_SFFDISK_QUERY_DEVICE_PROTOCOL_DATA {
    USHORT Size;
    USHORT Reserved;
    GUID ProtocolGUID;
} TARSEL_SFFDISK_QUERY_DEVICE_PROTOCOL_DATA;

// The SD device command block is a wire format of fixed layout (the same on
// every build, whatever the pointer size): a 20-byte command header, the
// 20-byte SD command descriptor and 16 bytes of card response.
namespace sffdisk {
constexpr size_t kCommandBlockSize = 56;
constexpr size_t kHeaderSizeOffset = 0;
constexpr size_t kCommandOffset = 4;
constexpr size_t kProtocolArgumentSizeOffset = 8;
constexpr size_t kDeviceDataBufferSizeOffset = 12;
constexpr size_t kCmdOffset = 20;
constexpr size_t kCmdClassOffset = 24;
constexpr size_t kTransferDirectionOffset = 28;
constexpr size_t kTransferTypeOffset = 32;
constexpr size_t kResponseTypeOffset = 36;
constexpr size_t kDeviceDataOffset = 40;
constexpr size_t kDeviceDataSize = 16;
constexpr uint16_t kHeaderSize = 20;
constexpr uint32_t kDcDeviceCommand = 3;  // SFFDISK_DC_DEVICE_COMMAND
constexpr uint16_t kSdCommandDescriptorSize = 20;
constexpr uint8_t kSendCid = 10;
constexpr uint32_t kSdccStandard = 0;
constexpr uint32_t kSdtdRead = 1;
constexpr uint32_t kSdttCmdOnly = 1;
constexpr uint32_t kSdrt2 = 4;
}  // namespace sffdisk

static_assert(sizeof(STORAGE_DEVICE_NUMBER) == 12, "STORAGE_DEVICE_NUMBER layout");
static_assert(sizeof(STORAGE_PROPERTY_QUERY) == 12, "STORAGE_PROPERTY_QUERY layout");
static_assert(sizeof(DEVICE_MEDIA_INFO) == 32, "DEVICE_MEDIA_INFO layout");
static_assert(offsetof(GET_MEDIA_TYPES, MediaInfo) == 8, "GET_MEDIA_TYPES layout");
static_assert(sizeof(TARSEL_SFFDISK_QUERY_DEVICE_PROTOCOL_DATA) == 20, "SFF protocol layout");
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "USB_DEVICE_DESCRIPTOR layout");
static_assert(sizeof(USB_NODE_INFORMATION) == 76, "USB_NODE_INFORMATION layout");
static_assert(offsetof(USB_NODE_INFORMATION, u.HubInformation.HubDescriptor.bNumberOfPorts) == 6,
              "bNumberOfPorts offset");
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, ConnectionStatus) == 31,
              "ConnectionStatus offset");
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, ConnectionStatus) == 31,
              "ConnectionStatus offset");
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, DeviceDescriptor) == 4,
              "DeviceDescriptor offset");
static_assert(sizeof(USB_NODE_CONNECTION_DRIVERKEY_NAME) == 10, "driver key name layout");
static_assert(sizeof(USB_DESCRIPTOR_REQUEST) == 12, "descriptor request layout");
static_assert(sizeof(WCHAR) == 2, "wide characters are 16 bits");
static_assert(sizeof(DWORD) == 4 && sizeof(ULONG) == 4, "32-bit words");
