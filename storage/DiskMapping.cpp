#include "storage/DiskMapping.h"

#include "platform/trace.h"
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

}  // namespace

bool GetDevInstFromHandle(HANDLE device, DEVINST *node) {
    Trace("ENTER GetDevInstFromHandle ", P(device));
    STORAGE_DEVICE_NUMBER number;
    if (!QueryDeviceNumber(device, &number)) {
        Trace("LEAVE GetDevInstFromHandle ");
        return false;
    }
    DEVINST found = 0;
    if (!GetDiskDevInstFromDiskNumber(number, &found))
        return TraceFailure("LEAVE GetDevInstFromHandle ", "ERROR GetDevInstFromHandle GetDiskDevInstFromDiskNumber");
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
        return TraceFailure("LEAVE GetDiskDevInstFromDiskNumber ",
                            "ERROR GetDiskDevInstFromDiskNumber invalid  sdn.DeviceType ", U(number.DeviceType));
    }
    DEVINST found = 0;
    if (!GetDevInstFromDiskNumber(*interfaceClass, number, &found))
        return TraceFailure("LEAVE GetDiskDevInstFromDiskNumber ",
                            "ERROR GetDiskDevInstFromDiskNumber GetDevInstFromDiskNumber");
    *node = found;
    Trace("INFO GetDiskDevInstFromDiskNumber DevInst ", U(found));
    Trace("LEAVE GetDiskDevInstFromDiskNumber ");
    return true;
}

bool GetDevInstFromDiskNumber(const GUID &interfaceClass, const STORAGE_DEVICE_NUMBER &number, DEVINST *node) {
    Trace("ENTER GetDevInstFromDiskNumber ");
    CInterfaceWalk walk(&interfaceClass, DetailSize::SuccessOrFail122);
    while (walk.Next()) {
        if (walk.Step() != InterfaceStep::Fetched) continue;
        CAutoFreeHandle opened(CreateFileForDevice(walk.Path()));
        if (opened.Get() == INVALID_HANDLE_VALUE) continue;

        STORAGE_DEVICE_NUMBER found;
        if (!QueryDeviceNumber(opened.Get(), &found) || found.DeviceNumber != number.DeviceNumber) continue;
        // The set goes first; the interface is closed last, on the way out.
        *node = walk.Device()->DevInst;
        walk.Close();
        Trace("INFO GetDevInstFromDiskNumber DevInst ", U(*node));
        Trace("LEAVE GetDevInstFromDiskNumber ");
        return true;
    }
    return TraceFailure("LEAVE GetDevInstFromDiskNumber ", "ERROR GetDevInstFromDiskNumber not found ");
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
