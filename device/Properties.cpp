#include "device/Properties.h"

#include "device/DeviceInfo.h"

// Not built yet.
bool GetDeviceId(DEVINST, WCHAR **deviceId) {
    *deviceId = nullptr;
    return false;
}
bool GetDeviceId(const WCHAR *, GUID, WString &) { return false; }
bool GetDevicePath(HANDLE, const GUID &, WCHAR **path, SP_DEVINFO_DATA *, STORAGE_DEVICE_NUMBER *) {
    *path = nullptr;
    return false;
}
BYTE *GetDeviceRegistryProperty(HDEVINFO, SP_DEVINFO_DATA *, DWORD, DWORD) { return nullptr; }
GUID GuidFromString(const WCHAR *) { return GUID{}; }
bool CDeviceInfo::GetDevicePropertyFromInterfaceInstance(const WCHAR *, const GUID *, SP_DEVINFO_DATA *, WString &,
                                                         WString &, WString &) {
    return false;
}
