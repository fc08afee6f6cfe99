// The three collection passes and the helpers they share.
#pragma once

#include <vector>

#include "device/DeviceInfo.h"
#include "platform/wstr.h"

// An ordered list of device identifiers; never sorted or de-duplicated.
using DeviceIdList = std::vector<WString>;

DeviceIdList GetAllDeviceIDs();
DeviceIdList GetHookedDeviceIDsLegacy();
DeviceIdList GetHookedDeviceIDs();

bool IsDevnodeStatusValid(DEVINST node);
bool IsDeviceOfInterest(const GUID &deviceClass, const WCHAR *compatibleIds);
WString GetDeviceDisplayName(HDEVINFO set, SP_DEVINFO_DATA *device);
CDeviceInfo *GetSystemDeviceInfo();
bool IsSystemDisk(const CDeviceInfo *a, const CDeviceInfo *b);
bool IsSystemOrFixedDisk(DEVINST node, const CDeviceInfo *systemDevice);
HANDLE GetHandleToDevice(const GUID &interfaceClass, DEVINST node);
