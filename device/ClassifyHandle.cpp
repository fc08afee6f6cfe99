#include "device/DeviceInfo.h"

// Not built yet.
bool CDeviceInfo::UseDriveInfo(HANDLE) { return false; }
