// USB hub topology: per-port queries on an open hub.
#pragma once

#include "platform/win32.h"

bool GetUsbHubNumberOfPorts(HANDLE hub, BYTE *ports);
bool IsUsbDeviceConnected(HANDLE hub, BYTE port, USB_DEVICE_DESCRIPTOR *descriptor);
bool GetDriverKeyName(HANDLE hub, BYTE port, WCHAR **name, DWORD *length);
bool GetUsbInstanceIdFromDriverKeyName(const WCHAR *driverKeyName, WCHAR **instanceId);
