#include "device/Classify.h"

// Not built yet.
bool CDeviceInfo::UseDriveInfo(const WCHAR *, const GUID *) { return false; }
void CDeviceInfo::SetNonStorageDeviceSubType(DEVINST) {}
bool CDeviceInfo::GetUSBDevicePropertyFromUSBHub(const SP_DEVINFO_DATA &) { return false; }
bool CDeviceInfo::SetUniqueDeviceId(DEVINST) { return false; }
int32_t GetNonStorageDeviceType(const WCHAR *, const WCHAR *) { return UNKNOWN_DEVICE; }
bool IsInterfaceSupportedByDevice(const GUID &, DEVINST) { return false; }
