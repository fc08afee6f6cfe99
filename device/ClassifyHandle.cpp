#include <cstring>

#include "platform/trace.h"
#include "device/DeviceInfo.h"
#include "device/Properties.h"
#include "platform/guids.h"
#include "platform/holders.h"
#include "storage/Queries.h"

namespace {

// The interface class a storage device of this type is published under.
const GUID &InterfaceClassForDeviceType(DWORD deviceType) {
    switch (deviceType) {
    case FILE_DEVICE_CD_ROM:
    case FILE_DEVICE_CD_ROM_FILE_SYSTEM:
        return guids::kDevInterfaceCdrom;
    case FILE_DEVICE_DISK:
        return guids::kDevInterfaceDisk;
    default:
        return guids::kDevInterfaceUsbDevice;
    }
}

}  // namespace

bool CDeviceInfo::UseDriveInfo(HANDLE device) {
    Trace("ENTER UseDriveInfo HANDLE");
    m_Type.Set(UNKNOWN_DEVICE);

    auto fail = [](const char *errorLine) {
        return TraceFailure("LEAVE UseDriveInfo HANDLE", errorLine);
    };

    if (device == nullptr) return fail("ERROR UseDriveInfo invalid parameter");

    STORAGE_DEVICE_NUMBER number;
    std::memset(&number, 0, sizeof number);
    const DWORD deviceNumber = GetDeviceNumber(device, &number);
    if (deviceNumber == 0xFFFFFFFF) return fail("ERROR UseDriveInfo GetDeviceNumber");

    Trace("INFO UseDriveInfo HANDLE devNum ", U(deviceNumber));
    Trace("INFO UseDriveInfo HANDLE DevNumber.DeviceNumber ", U(number.DeviceNumber));
    Trace("INFO UseDriveInfo HANDLE DevNumber.DeviceType ", U(number.DeviceType));
    Trace("INFO UseDriveInfo HANDLE DevNumber.PartitionNumber ", U(number.PartitionNumber));

    const GUID &interfaceClass = InterfaceClassForDeviceType(number.DeviceType);

    WCHAR *path = nullptr;
    CAutoFree<WCHAR> pathHolder(&path);
    SP_DEVINFO_DATA deviceInfo;
    std::memset(&deviceInfo, 0, sizeof deviceInfo);
    if (!GetDevicePath(device, interfaceClass, &path, &deviceInfo, nullptr))
        return fail("ERROR UseDriveInfo GetDevicePath");

    Trace("INFO UseDriveInfo HANDLE GetDevicePath ", path);
    Trace("INFO UseDriveInfo HANDLE DevInst ", U(deviceInfo.DevInst));

    if (!SetUniqueDeviceId(deviceInfo.DevInst)) return fail("ERROR UseDriveInfo SetUniqueDeviceId");
    if (!UseDiskDriveInfo(device, path, &interfaceClass)) return fail("ERROR UseDriveInfo UseDiskDriveInfo");

    Trace("INFO UseDriveInfo HANDLE DUMP");
    Dump(true);
    Trace("LEAVE UseDriveInfo HANDLE");
    return true;
}
