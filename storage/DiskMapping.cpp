#include "storage/DiskMapping.h"

// Not built yet.
bool GetDevInstFromHandle(HANDLE, DEVINST *) { return false; }
bool GetDiskDevInstFromDiskNumber(const STORAGE_DEVICE_NUMBER &, DEVINST *) { return false; }
bool GetDevInstFromDiskNumber(const GUID &, const STORAGE_DEVICE_NUMBER &, DEVINST *) { return false; }
HANDLE CreateFileForDevice(const WCHAR *) { return INVALID_HANDLE_VALUE; }
