#include "storage/Queries.h"

#include "device/DeviceInfo.h"

// Not built yet.
DWORD GetDeviceNumber(HANDLE, STORAGE_DEVICE_NUMBER *) { return 0xFFFFFFFF; }
GET_MEDIA_TYPES *GetMediaTypes(HANDLE) { return nullptr; }
bool CDeviceInfo::UseHDDInfo(HANDLE) { return true; }
bool CDeviceInfo::UseStorageDeviceProperty(HANDLE) { return false; }
bool CDeviceInfo::UseCDROMInfo(HANDLE) { return true; }
bool CDeviceInfo::UseRemovableDiskStorageInfo(HANDLE) { return false; }
void CDeviceInfo::CheckRemovableFromCM(HANDLE) {}
void CDeviceInfo::UseDiskDriveSizeInfo(HANDLE, GET_MEDIA_TYPES **mediaTypes) { *mediaTypes = nullptr; }
