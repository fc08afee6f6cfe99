#include "usb/Descriptors.h"

#include "device/DeviceInfo.h"

// Not built yet.
bool CDeviceInfo::UseUSBDeviceInfo(HANDLE, const GUID *) { return false; }
bool CDeviceInfo::GetUSBDeviceInfo(const WCHAR *, const WCHAR *) { return false; }
bool GetStringDescriptor(HANDLE, BYTE, BYTE, USHORT, STRING_DESCRIPTOR_NODE **) { return false; }
bool GetUsbDescriptorLanguages(HANDLE, BYTE, USHORT **, DWORD *) { return false; }
