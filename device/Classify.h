// Classification by device node: the non-storage device types.
#pragma once

#include "device/DeviceInfo.h"

int32_t GetNonStorageDeviceType(const WCHAR *classGuid, const WCHAR *compatibleIdClass);
bool IsInterfaceSupportedByDevice(const GUID &interfaceClass, DEVINST node);
