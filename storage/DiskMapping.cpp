#include "storage/DiskMapping.h"

#include <cstdlib>

#include "app/log.h"
#include "platform/api.h"
#include "platform/guids.h"
#include "platform/holders.h"
#include "platform/os.h"
#include "platform/setupdi.h"

namespace {

bool QueryDeviceNumber(HANDLE device, STORAGE_DEVICE_NUMBER *number) {
    *number = STORAGE_DEVICE_NUMBER{};
    DWORD returned = 0;
    return api::DeviceIoControl(device, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, number, sizeof(*number),
                                &returned, nullptr) != FALSE;
}

// Asks one interface of the set for its path and device node and whether its
// device number is `wanted`.  On a match the interface stays open and is
// handed to the caller in `opened`.
bool InterfaceMatches(HDEVINFO set, SP_DEVICE_INTERFACE_DATA *data, DWORD wanted, DEVINST *node, HANDLE *opened) {
    DWORD required = 0;
    BOOL sized = api::SetupDiGetDeviceInterfaceDetailW(set, data, nullptr, 0, &required, nullptr);
    if (!sized && os::GetLastError() != static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) return false;
    DWORD size = 0;
    SP_DEVICE_INTERFACE_DETAIL_DATA_W *detail = AllocInterfaceDetail(required, &size);
    if (detail == nullptr) return false;
    CAutoFreePtr<SP_DEVICE_INTERFACE_DETAIL_DATA_W> detailHolder(detail);

    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(SP_DEVINFO_DATA);
    if (!api::SetupDiGetDeviceInterfaceDetailW(set, data, detail, size, nullptr, &info)) return false;

    CAutoFreeHandle handle(CreateFileForDevice(detail->DevicePath));
    if (handle.Get() == INVALID_HANDLE_VALUE) return false;

    STORAGE_DEVICE_NUMBER number;
    if (!QueryDeviceNumber(handle.Get(), &number) || number.DeviceNumber != wanted) return false;
    *node = info.DevInst;
    *opened = handle.Get();
    handle.m_bDetached = true;
    return true;
}

}  // namespace

bool GetDevInstFromHandle(HANDLE device, DEVINST *node) {
    Trace("ENTER GetDevInstFromHandle ", P(device));
    STORAGE_DEVICE_NUMBER number;
    if (!QueryDeviceNumber(device, &number)) {
        Trace("LEAVE GetDevInstFromHandle ");
        return false;
    }
    DEVINST found = 0;
    if (!GetDiskDevInstFromDiskNumber(number, &found)) {
        Trace("ERROR GetDevInstFromHandle GetDiskDevInstFromDiskNumber");
        Trace("LEAVE GetDevInstFromHandle ");
        return false;
    }
    *node = found;
    Trace("INFO GetDevInstFromHandle DevInst ", U(found));
    Trace("LEAVE GetDevInstFromHandle ");
    return true;
}

bool GetDiskDevInstFromDiskNumber(const STORAGE_DEVICE_NUMBER &number, DEVINST *node) {
    Trace("ENTER GetDiskDevInstFromDiskNumber ");
    const GUID *interfaceClass = nullptr;
    switch (number.DeviceType) {
    case 7:  // FILE_DEVICE_DISK
        interfaceClass = &guids::kDevInterfaceDisk;
        break;
    case 2:  // FILE_DEVICE_CD_ROM
    case 3:  // FILE_DEVICE_CD_ROM_FILE_SYSTEM
        interfaceClass = &guids::kDevInterfaceCdrom;
        break;
    default:
        Trace("ERROR GetDiskDevInstFromDiskNumber invalid  sdn.DeviceType ", U(number.DeviceType));
        Trace("LEAVE GetDiskDevInstFromDiskNumber ");
        return false;
    }
    DEVINST found = 0;
    if (!GetDevInstFromDiskNumber(*interfaceClass, number, &found)) {
        Trace("ERROR GetDiskDevInstFromDiskNumber GetDevInstFromDiskNumber");
        Trace("LEAVE GetDiskDevInstFromDiskNumber ");
        return false;
    }
    *node = found;
    Trace("INFO GetDiskDevInstFromDiskNumber DevInst ", U(found));
    Trace("LEAVE GetDiskDevInstFromDiskNumber ");
    return true;
}

bool GetDevInstFromDiskNumber(const GUID &interfaceClass, const STORAGE_DEVICE_NUMBER &number, DEVINST *node) {
    Trace("ENTER GetDevInstFromDiskNumber ");
    HDEVINFO set = api::SetupDiGetClassDevsW(&interfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set != INVALID_HANDLE_VALUE) {
        CReleaseGuard destroy(CReleaseGuard::DestroyDeviceInfoList, set);
        for (DWORD index = 0; index < kMaxSetMembers; ++index) {
            SP_DEVICE_INTERFACE_DATA data{};
            data.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
            if (!api::SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceClass, index, &data)) break;
            DEVINST found = 0;
            HANDLE opened = INVALID_HANDLE_VALUE;
            if (InterfaceMatches(set, &data, number.DeviceNumber, &found, &opened)) {
                // The set goes first; the interface is closed last, on the way out.
                CAutoFreeHandle close(opened);
                destroy.m_bDismissed = true;
                api::SetupDiDestroyDeviceInfoList(set);
                *node = found;
                Trace("INFO GetDevInstFromDiskNumber DevInst ", U(found));
                Trace("LEAVE GetDevInstFromDiskNumber ");
                return true;
            }
        }
    }
    Trace("ERROR GetDevInstFromDiskNumber not found ");
    Trace("LEAVE GetDevInstFromDiskNumber ");
    return false;
}

HANDLE CreateFileForDevice(const WCHAR *path) {
    Trace("ENTER CreateFileForDevice ", path);
    HANDLE handle = api::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        handle = api::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) Trace("ERROR CreateFileForDevice INVALID_HANDLE_VALUE ", U(os::GetLastError()));
    }
    Trace("LEAVE CreateFileForDevice ");
    return handle;
}
