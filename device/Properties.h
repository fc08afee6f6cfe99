// Device node and interface property access: the thin, traced layer over the
// device-installation services and the configuration manager.
#pragma once

#include "platform/win32.h"
#include "platform/wstr.h"

// The device instance identifier of a device node, as a calloc'ed string the
// caller releases with free().
bool GetDeviceId(DEVINST node, WCHAR **deviceId);

// The interface path of the present interface of `interfaceClass` that
// belongs to the device whose identifier is exactly `lpDevID`.
bool GetDeviceId(const WCHAR *lpDevID, GUID interfaceClass, WString &interfacePath);

// The interface path (calloc'ed, released by the caller) of the storage
// device behind `device`, matched by storage device number; `deviceInfo`,
// when given, receives the interface's element on success.
bool GetDevicePath(HANDLE device, const GUID &interfaceClass, WCHAR **path, SP_DEVINFO_DATA *deviceInfo,
                   STORAGE_DEVICE_NUMBER *number);

// A registry property of the expected type, in a calloc'ed block released by
// the caller; null when absent or of another type.
BYTE *GetDeviceRegistryProperty(HDEVINFO set, SP_DEVINFO_DATA *device, DWORD expectedType, DWORD property);

// Reads "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}"; all zero when
// the text does not parse.
GUID GuidFromString(const WCHAR *text);
