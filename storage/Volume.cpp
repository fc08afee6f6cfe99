#include "storage/Volume.h"

#include "device/DeviceInfo.h"

// Not built yet.
bool GetObjectNameByHandle(HANDLE, WString &) { return false; }
bool CDeviceInfo::GetVolumeInformationForMountPoint(const WCHAR *, WString &, WString &) { return false; }
bool CDeviceInfo::GetVolumeInformationForHandle(HANDLE, WString &, WString &) { return false; }
void CDeviceInfo::CheckMediaInserted(HANDLE) {}
void CDeviceInfo::CheckBootDrive(HANDLE) {}
