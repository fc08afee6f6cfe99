#include "collect/Passes.h"

// Not built yet.
DeviceIdList GetAllDeviceIDs() { return {}; }
bool IsDevnodeStatusValid(DEVINST) { return false; }
bool IsDeviceOfInterest(const GUID &, const WCHAR *) { return false; }
WString GetDeviceDisplayName(HDEVINFO, SP_DEVINFO_DATA *) { return {}; }
CDeviceInfo *GetSystemDeviceInfo() { return nullptr; }
bool IsSystemDisk(const CDeviceInfo *, const CDeviceInfo *) { return false; }
bool IsSystemOrFixedDisk(DEVINST, const CDeviceInfo *) { return false; }
HANDLE GetHandleToDevice(const GUID &, DEVINST) { return INVALID_HANDLE_VALUE; }
