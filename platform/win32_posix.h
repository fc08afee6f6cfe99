// Win32 types, constants and structures for the Linux build.
//
// The Linux build runs the same logic as the Windows build over the simulated
// platform, so everything here mirrors the names and layouts of the Windows
// SDK for a 64-bit process (natural alignment): WCHAR is 16 bits, DWORD and
// ULONG are 32 bits, pointers and ULONG_PTR are 64 bits.  Only what the
// program and the simulator use is declared.
#pragma once

#include <cstddef>
#include <cstdint>

#define WINAPI
#define NTAPI
#define CALLBACK

typedef int BOOL;
typedef uint8_t BYTE, UCHAR, BOOLEAN;
typedef uint16_t WORD, USHORT;
typedef uint32_t DWORD, ULONG, UINT, ACCESS_MASK;
typedef int32_t LONG, NTSTATUS, HRESULT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uintptr_t ULONG_PTR, DWORD_PTR, SIZE_T;
typedef intptr_t LONG_PTR;
typedef char CHAR;
typedef char16_t WCHAR;
typedef void VOID;

typedef void *PVOID, *LPVOID, *HANDLE, *HMODULE, *HINSTANCE, *HWND, *HDEVINFO;
typedef const void *LPCVOID;
typedef HANDLE *PHANDLE;
typedef DWORD *LPDWORD, *PDWORD;
typedef ULONG *PULONG;
typedef BYTE *PBYTE;
typedef BOOL *LPBOOL;
typedef CHAR *LPSTR;
typedef const CHAR *LPCSTR;
typedef WCHAR *LPWSTR, *PWSTR;
typedef const WCHAR *LPCWSTR, *PCWSTR;
typedef LONG_PTR (*FARPROC)();

typedef DWORD CONFIGRET;
typedef DWORD DEVINST, DEVNODE;
typedef DEVINST *PDEVINST;

typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID, IID, CLSID;
typedef GUID *LPGUID, *LPIID;
typedef const GUID *LPCGUID;
typedef const GUID &REFGUID;

inline bool operator==(const GUID &a, const GUID &b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}
inline bool operator!=(const GUID &a, const GUID &b) { return !(a == b); }

typedef struct _SECURITY_ATTRIBUTES *LPSECURITY_ATTRIBUTES;
typedef struct _OVERLAPPED *LPOVERLAPPED;
typedef struct _CRITICAL_SECTION {
    void *opaque[6];
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define MAX_PATH 260
#define ANYSIZE_ARRAY 1

#define S_OK ((HRESULT)0)
#define E_INVALIDARG ((HRESULT)0x80070057)

// kernel32
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define FILE_SHARE_DELETE 0x4u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define FILE_READ_DATA 0x0001u
#define FILE_WRITE_DATA 0x0002u
#define FILE_APPEND_DATA 0x0004u
#define FILE_READ_EA 0x0008u
#define FILE_WRITE_EA 0x0010u
#define FILE_READ_ATTRIBUTES 0x0080u
#define FILE_WRITE_ATTRIBUTES 0x0100u
#define READ_CONTROL 0x00020000u
#define SYNCHRONIZE 0x00100000u
#define FILE_GENERIC_READ 0x00120089u
#define FILE_GENERIC_WRITE 0x00120116u
#define CP_ACP 0u

#define ERROR_SUCCESS 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_NOT_READY 21L
#define ERROR_GEN_FAILURE 31L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_INVALID_USER_BUFFER 1784L

// setupapi
#define DIGCF_DEFAULT 0x1u
#define DIGCF_PRESENT 0x2u
#define DIGCF_ALLCLASSES 0x4u
#define DIGCF_PROFILE 0x8u
#define DIGCF_DEVICEINTERFACE 0x10u

#define SPDRP_DEVICEDESC 0x0u
#define SPDRP_HARDWAREID 0x1u
#define SPDRP_COMPATIBLEIDS 0x2u
#define SPDRP_CLASS 0x7u
#define SPDRP_CLASSGUID 0x8u
#define SPDRP_DRIVER 0x9u
#define SPDRP_MFG 0xBu
#define SPDRP_FRIENDLYNAME 0xCu
#define SPDRP_ENUMERATOR_NAME 0x16u

#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u

typedef struct _SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

typedef struct _SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
} SP_DEVICE_INTERFACE_DATA, *PSP_DEVICE_INTERFACE_DATA;

typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_W {
    DWORD cbSize;
    WCHAR DevicePath[ANYSIZE_ARRAY];
} SP_DEVICE_INTERFACE_DETAIL_DATA_W, *PSP_DEVICE_INTERFACE_DETAIL_DATA_W;

#define SPINT_ACTIVE 0x1u

// cfgmgr32
#define CR_SUCCESS 0x00u
#define CR_OUT_OF_MEMORY 0x02u
#define CR_INVALID_POINTER 0x03u
#define CR_INVALID_FLAG 0x04u
#define CR_INVALID_DEVNODE 0x05u
#define CR_NO_SUCH_DEVNODE 0x0Du
#define CR_BUFFER_SMALL 0x1Au
#define CR_INVALID_API 0x20u

#define DN_ROOT_ENUMERATED 0x00000001u
#define DN_DRIVER_LOADED 0x00000002u
#define DN_ENUM_LOADED 0x00000004u
#define DN_STARTED 0x00000008u
#define DN_MANUAL 0x00000010u
#define DN_NEED_TO_ENUM 0x00000020u
#define DN_NOT_FIRST_TIME 0x00000040u
#define DN_HARDWARE_ENUM 0x00000080u
#define DN_LIAR 0x00000100u
#define DN_HAS_MARK 0x00000200u
#define DN_HAS_PROBLEM 0x00000400u
#define DN_FILTERED 0x00000800u
#define DN_MOVED 0x00001000u
#define DN_DISABLEABLE 0x00002000u
#define DN_REMOVABLE 0x00004000u
#define DN_PRIVATE_PROBLEM 0x00008000u
#define DN_MF_PARENT 0x00010000u
#define DN_MF_CHILD 0x00020000u
#define DN_WILL_BE_REMOVED 0x00040000u
#define DN_NOT_FIRST_TIMEE 0x00080000u
#define DN_STOP_FREE_RES 0x00100000u
#define DN_REBAL_CANDIDATE 0x00200000u
#define DN_BAD_PARTIAL 0x00400000u
#define DN_NT_ENUMERATOR 0x00800000u
#define DN_NT_DRIVER 0x01000000u
#define DN_NEEDS_LOCKING 0x02000000u
#define DN_ARM_WAKEUP 0x04000000u
#define DN_APM_ENUMERATOR 0x08000000u
#define DN_APM_DRIVER 0x10000000u
#define DN_SILENT_INSTALL 0x20000000u
#define DN_NO_SHOW_IN_DM 0x40000000u
#define DN_BOOT_LOG_PROB 0x80000000u

// Storage
#define FILE_DEVICE_CD_ROM 0x00000002u
#define FILE_DEVICE_CD_ROM_FILE_SYSTEM 0x00000003u
#define FILE_DEVICE_DISK 0x00000007u
#define FILE_DEVICE_MASS_STORAGE 0x0000002Du

#define IOCTL_STORAGE_GET_DEVICE_NUMBER 0x002D1080u
#define IOCTL_STORAGE_QUERY_PROPERTY 0x002D1400u
#define IOCTL_STORAGE_GET_MEDIA_TYPES_EX 0x002D0C04u
#define IOCTL_USB_GET_NODE_INFORMATION 0x00220408u
#define IOCTL_USB_GET_NODE_CONNECTION_INFORMATION 0x0022040Cu
#define IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION 0x00220410u
#define IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME 0x00220420u
#define IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX 0x00220448u

typedef struct _STORAGE_DEVICE_NUMBER {
    DWORD DeviceType;
    DWORD DeviceNumber;
    DWORD PartitionNumber;
} STORAGE_DEVICE_NUMBER, *PSTORAGE_DEVICE_NUMBER;

typedef enum _STORAGE_PROPERTY_ID { StorageDeviceProperty = 0 } STORAGE_PROPERTY_ID;
typedef enum _STORAGE_QUERY_TYPE { PropertyStandardQuery = 0 } STORAGE_QUERY_TYPE;

typedef struct _STORAGE_PROPERTY_QUERY {
    STORAGE_PROPERTY_ID PropertyId;
    STORAGE_QUERY_TYPE QueryType;
    BYTE AdditionalParameters[1];
} STORAGE_PROPERTY_QUERY, *PSTORAGE_PROPERTY_QUERY;

typedef enum _STORAGE_BUS_TYPE {
    BusTypeUnknown = 0,
    BusTypeScsi,
    BusTypeAtapi,
    BusTypeAta,
    BusType1394,
    BusTypeSsa,
    BusTypeFibre,
    BusTypeUsb,
    BusTypeRAID,
    BusTypeiScsi,
    BusTypeSas,
    BusTypeSata,
    BusTypeSd,
    BusTypeMmc,
    BusTypeVirtual,
    BusTypeFileBackedVirtual,
    BusTypeSpaces,
    BusTypeNvme,
    BusTypeMaxReserved = 0x7F
} STORAGE_BUS_TYPE;

typedef struct _STORAGE_DEVICE_DESCRIPTOR {
    DWORD Version;
    DWORD Size;
    BYTE DeviceType;
    BYTE DeviceTypeModifier;
    BOOLEAN RemovableMedia;
    BOOLEAN CommandQueueing;
    DWORD VendorIdOffset;
    DWORD ProductIdOffset;
    DWORD ProductRevisionOffset;
    DWORD SerialNumberOffset;
    STORAGE_BUS_TYPE BusType;
    DWORD RawPropertiesLength;
    BYTE RawDeviceProperties[1];
} STORAGE_DEVICE_DESCRIPTOR, *PSTORAGE_DEVICE_DESCRIPTOR;

typedef DWORD STORAGE_MEDIA_TYPE;

typedef struct _DEVICE_MEDIA_INFO {
    union {
        struct {
            LARGE_INTEGER Cylinders;
            STORAGE_MEDIA_TYPE MediaType;
            DWORD TracksPerCylinder;
            DWORD SectorsPerTrack;
            DWORD BytesPerSector;
            DWORD NumberMediaSides;
            DWORD MediaCharacteristics;
        } DiskInfo;
        struct {
            LARGE_INTEGER Cylinders;
            STORAGE_MEDIA_TYPE MediaType;
            DWORD TracksPerCylinder;
            DWORD SectorsPerTrack;
            DWORD BytesPerSector;
            DWORD NumberMediaSides;
            DWORD MediaCharacteristics;
        } RemovableDiskInfo;
    } DeviceSpecific;
} DEVICE_MEDIA_INFO, *PDEVICE_MEDIA_INFO;

typedef struct _GET_MEDIA_TYPES {
    DWORD DeviceType;
    DWORD MediaInfoCount;
    DEVICE_MEDIA_INFO MediaInfo[1];
} GET_MEDIA_TYPES, *PGET_MEDIA_TYPES;

// USB hub requests (packed as in usbioctl.h)
#pragma pack(push, 1)
typedef struct _USB_DEVICE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass;
    UCHAR bDeviceSubClass;
    UCHAR bDeviceProtocol;
    UCHAR bMaxPacketSize0;
    USHORT idVendor;
    USHORT idProduct;
    USHORT bcdDevice;
    UCHAR iManufacturer;
    UCHAR iProduct;
    UCHAR iSerialNumber;
    UCHAR bNumConfigurations;
} USB_DEVICE_DESCRIPTOR, *PUSB_DEVICE_DESCRIPTOR;

typedef struct _USB_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize;
    UCHAR bInterval;
} USB_ENDPOINT_DESCRIPTOR;

typedef struct _USB_STRING_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    WCHAR bString[1];
} USB_STRING_DESCRIPTOR, *PUSB_STRING_DESCRIPTOR;

typedef struct _USB_HUB_DESCRIPTOR {
    UCHAR bDescriptorLength;
    UCHAR bDescriptorType;
    UCHAR bNumberOfPorts;
    USHORT wHubCharacteristics;
    UCHAR bPowerOnToPowerGood;
    UCHAR bHubControlCurrent;
    UCHAR bRemoveAndPowerMask[64];
} USB_HUB_DESCRIPTOR;

typedef enum _USB_HUB_NODE { UsbHub, UsbMIParent } USB_HUB_NODE;

typedef struct _USB_HUB_INFORMATION {
    USB_HUB_DESCRIPTOR HubDescriptor;
    BOOLEAN HubIsBusPowered;
} USB_HUB_INFORMATION;

typedef struct _USB_MI_PARENT_INFORMATION {
    ULONG NumberOfInterfaces;
} USB_MI_PARENT_INFORMATION;

typedef struct _USB_NODE_INFORMATION {
    USB_HUB_NODE NodeType;
    union {
        USB_HUB_INFORMATION HubInformation;
        USB_MI_PARENT_INFORMATION MiParentInformation;
    } u;
} USB_NODE_INFORMATION, *PUSB_NODE_INFORMATION;

typedef struct _USB_PIPE_INFO {
    USB_ENDPOINT_DESCRIPTOR EndpointDescriptor;
    ULONG ScheduleOffset;
} USB_PIPE_INFO;

typedef enum _USB_CONNECTION_STATUS { NoDeviceConnected, DeviceConnected } USB_CONNECTION_STATUS;

typedef struct _USB_NODE_CONNECTION_INFORMATION {
    ULONG ConnectionIndex;
    USB_DEVICE_DESCRIPTOR DeviceDescriptor;
    UCHAR CurrentConfigurationValue;
    BOOLEAN LowSpeed;
    BOOLEAN DeviceIsHub;
    USHORT DeviceAddress;
    ULONG NumberOfOpenPipes;
    USB_CONNECTION_STATUS ConnectionStatus;
} USB_NODE_CONNECTION_INFORMATION, *PUSB_NODE_CONNECTION_INFORMATION;

typedef struct _USB_NODE_CONNECTION_INFORMATION_EX {
    ULONG ConnectionIndex;
    USB_DEVICE_DESCRIPTOR DeviceDescriptor;
    UCHAR CurrentConfigurationValue;
    UCHAR Speed;
    BOOLEAN DeviceIsHub;
    USHORT DeviceAddress;
    ULONG NumberOfOpenPipes;
    USB_CONNECTION_STATUS ConnectionStatus;
} USB_NODE_CONNECTION_INFORMATION_EX, *PUSB_NODE_CONNECTION_INFORMATION_EX;

typedef struct _USB_NODE_CONNECTION_DRIVERKEY_NAME {
    ULONG ConnectionIndex;
    ULONG ActualLength;
    WCHAR DriverKeyName[1];
} USB_NODE_CONNECTION_DRIVERKEY_NAME, *PUSB_NODE_CONNECTION_DRIVERKEY_NAME;

typedef struct _USB_DESCRIPTOR_REQUEST {
    ULONG ConnectionIndex;
    struct {
        UCHAR bmRequest;
        UCHAR bRequest;
        USHORT wValue;
        USHORT wIndex;
        USHORT wLength;
    } SetupPacket;
} USB_DESCRIPTOR_REQUEST, *PUSB_DESCRIPTOR_REQUEST;
#pragma pack(pop)

// ntdll
typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef struct _OBJECT_NAME_INFORMATION {
    UNICODE_STRING Name;
} OBJECT_NAME_INFORMATION, *POBJECT_NAME_INFORMATION;

typedef enum _OBJECT_INFORMATION_CLASS {
    ObjectBasicInformation = 0,
    ObjectNameInformation = 1,
    ObjectTypeInformation = 2
} OBJECT_INFORMATION_CLASS;

#define OBJ_CASE_INSENSITIVE 0x00000040u
#define FILE_OPEN 0x00000001u
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020u

#define STATUS_SUCCESS ((NTSTATUS)0x00000000)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000D)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034)
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004)
