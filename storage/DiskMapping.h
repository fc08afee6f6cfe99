// Storage device number to device node mapping.
#pragma once

#include "platform/win32.h"

bool GetDevInstFromHandle(HANDLE device, DEVINST *node);
bool GetDiskDevInstFromDiskNumber(const STORAGE_DEVICE_NUMBER &number, DEVINST *node);
bool GetDevInstFromDiskNumber(const GUID &interfaceClass, const STORAGE_DEVICE_NUMBER &number, DEVINST *node);

// Opens an interface path for querying, falling back to read-only access.
HANDLE CreateFileForDevice(const WCHAR *path);
