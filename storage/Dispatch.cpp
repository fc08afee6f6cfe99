#include "device/DeviceInfo.h"

// Not built yet.
bool CDeviceInfo::UseDiskDriveInfo(HANDLE, const WCHAR *, const GUID *) { return false; }
