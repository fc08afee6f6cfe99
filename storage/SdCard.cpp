#include "storage/SdCard.h"

#include "device/DeviceInfo.h"

// Not built yet.
bool IsSDCard(HANDLE) { return false; }
bool CDeviceInfo::UseSDCardInfo(HANDLE) { return false; }
