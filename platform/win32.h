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

// The SD device command block: the command header, the SD command
// descriptor and 16 bytes of card response, one after the other.  The header
// ends in a pointer-sized field, so its size (and with it where the
// descriptor and the response stand) follows the build's pointer size: 20
// bytes on 32-bit Windows, 24 on 64-bit.  HeaderSize tells the driver which.
typedef struct TARSEL_SFFDISK_DEVICE_COMMAND_DATA {
    USHORT HeaderSize;
    USHORT Flags;
    DWORD Command;  // SFFDISK_DCMD
    USHORT ProtocolArgumentSize;
    DWORD DeviceDataBufferSize;
    ULONG_PTR Information;
    // The command descriptor and the data follow.
} TARSEL_SFFDISK_DEVICE_COMMAND_DATA;

typedef struct TARSEL_SDCMD_DESCRIPTOR {
    BYTE Cmd;
    DWORD CmdClass;           // SD_COMMAND_CLASS
    DWORD TransferDirection;  // SD_TRANSFER_DIRECTION
    DWORD TransferType;       // SD_TRANSFER_TYPE
    DWORD ResponseType;       // SD_RESPONSE_TYPE
} TARSEL_SDCMD_DESCRIPTOR;

namespace sffdisk {
constexpr size_t kHeaderSizeOffset = offsetof(TARSEL_SFFDISK_DEVICE_COMMAND_DATA, HeaderSize);
constexpr size_t kCommandOffset = offsetof(TARSEL_SFFDISK_DEVICE_COMMAND_DATA, Command);
constexpr size_t kProtocolArgumentSizeOffset = offsetof(TARSEL_SFFDISK_DEVICE_COMMAND_DATA, ProtocolArgumentSize);
constexpr size_t kDeviceDataBufferSizeOffset = offsetof(TARSEL_SFFDISK_DEVICE_COMMAND_DATA, DeviceDataBufferSize);
constexpr uint16_t kHeaderSize = sizeof(TARSEL_SFFDISK_DEVICE_COMMAND_DATA);
constexpr uint16_t kSdCommandDescriptorSize = sizeof(TARSEL_SDCMD_DESCRIPTOR);
// Offsets within the descriptor; the descriptor starts at HeaderSize.
constexpr size_t kCmdInDescriptor = offsetof(TARSEL_SDCMD_DESCRIPTOR, Cmd);
constexpr size_t kCmdClassInDescriptor = offsetof(TARSEL_SDCMD_DESCRIPTOR, CmdClass);
constexpr size_t kTransferDirectionInDescriptor = offsetof(TARSEL_SDCMD_DESCRIPTOR, TransferDirection);
constexpr size_t kTransferTypeInDescriptor = offsetof(TARSEL_SDCMD_DESCRIPTOR, TransferType);
constexpr size_t kResponseTypeInDescriptor = offsetof(TARSEL_SDCMD_DESCRIPTOR, ResponseType);
constexpr size_t kDeviceDataSize = 16;
// This build's block.
constexpr size_t kCmdOffset = kHeaderSize + kCmdInDescriptor;
constexpr size_t kDeviceDataOffset = kHeaderSize + kSdCommandDescriptorSize;
constexpr size_t kCommandBlockSize = kDeviceDataOffset + kDeviceDataSize;
constexpr uint32_t kDcDeviceCommand = 3;  // SFFDISK_DC_DEVICE_COMMAND
constexpr uint8_t kSendCid = 10;
constexpr uint32_t kSdccStandard = 0;
constexpr uint32_t kSdtdRead = 1;
constexpr uint32_t kSdttCmdOnly = 1;
constexpr uint32_t kSdrt2 = 4;
}  // namespace sffdisk

// Layouts that follow the pointer size: the 32-bit ones are those of the
// shipped program, the 64-bit ones those of the Windows SDK for x64.
static_assert(sizeof(TARSEL_SDCMD_DESCRIPTOR) == 20, "SDCMD_DESCRIPTOR layout");
static_assert(offsetof(TARSEL_SFFDISK_DEVICE_COMMAND_DATA, DeviceDataBufferSize) == 12, "command header layout");
#if UINTPTR_MAX > 0xFFFFFFFFu
static_assert(sffdisk::kHeaderSize == 24 && sffdisk::kCommandBlockSize == 60, "64-bit SD command block");
static_assert(sizeof(SP_DEVINFO_DATA) == 32, "64-bit SP_DEVINFO_DATA");
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32, "64-bit SP_DEVICE_INTERFACE_DATA");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 8, "64-bit interface detail header");
#else
static_assert(sffdisk::kHeaderSize == 20 && sffdisk::kCommandBlockSize == 56, "32-bit SD command block");
static_assert(sizeof(SP_DEVINFO_DATA) == 28, "32-bit SP_DEVINFO_DATA");
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28, "32-bit SP_DEVICE_INTERFACE_DATA");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 6, "32-bit interface detail header");
#endif
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
