#include "usb/HubTopology.h"

#include "device/DeviceInfo.h"

// Not built yet.
bool CDeviceInfo::GetUSBDevicePath(HANDLE, const GUID *, WCHAR **, WCHAR **, WCHAR **, STORAGE_DEVICE_NUMBER *) {
    return false;
}
bool CDeviceInfo::GetUSBDeviceHubPath(DEVINST, WCHAR **, WCHAR **) { return false; }
bool GetUsbHubNumberOfPorts(HANDLE, BYTE *) { return false; }
bool IsUsbDeviceConnected(HANDLE, BYTE, USB_DEVICE_DESCRIPTOR *) { return false; }
bool GetDriverKeyName(HANDLE, BYTE, WCHAR **, DWORD *) { return false; }
bool GetUsbInstanceIdFromDriverKeyName(const WCHAR *, WCHAR **) { return false; }
