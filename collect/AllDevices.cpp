#include <cstdlib>
#include <memory>
#include <new>

#include "platform/trace.h"
#include "collect/Enumerators.h"
#include "collect/Passes.h"
#include "device/Properties.h"
#include "platform/api.h"
#include "platform/guids.h"
#include "platform/holders.h"
#include "platform/os.h"
#include "platform/setupdi.h"

namespace {

// The device setup classes walked, in the order of the resulting list.  Held
// as text and parsed per run; the CD-ROM entry is lower case as registered.
const WCHAR *const kDeviceClasses[] = {
    WS("{4D36E967-E325-11CE-BFC1-08002BE10318}"),  // disk drives
    WS("{4d36e965-e325-11ce-bfc1-08002be10318}"),  // CD-ROM drives
    WS("{4D36E980-E325-11CE-BFC1-08002BE10318}"),  // floppy disk drives
    WS("{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}"),  // imaging devices
    WS("{36FC9E60-C465-11CF-8056-444553540000}"),  // USB devices
    WS("{E0CBF06C-CD8B-4647-BB8A-263B43F0F974}"),  // Bluetooth
    WS("{F12D3CF8-B11D-457E-8641-BE2AF2D6D204}"),  // Bluetooth, second class
    WS("{50DD5230-BA8A-11D1-BF5D-0000F805F530}"),  // smart card readers
    WS("{4D36E96D-E325-11CE-BFC1-08002BE10318}"),  // modems
    WS("{4D36E978-E325-11CE-BFC1-08002BE10318}"),  // ports (COM and LPT)
    WS("{EEC5AD98-8080-425F-922A-DABF3DE3F69A}"),  // portable devices
};

// The interface classes through which a disk drive is opened, in order.
const GUID *const kDiskInterfaces[] = {&guids::kDevInterfaceDisk};

}  // namespace

DeviceIdList GetAllDeviceIDs() {
    Trace("ENTER GetAllDeviceIDs");
    DeviceIdList ids;
    std::unique_ptr<CDeviceInfo> systemDevice(GetSystemDeviceInfo());

    for (const WCHAR *classText : kDeviceClasses) {
        GUID deviceClass{};
        if (os::IIDFromString(classText, &deviceClass) != S_OK) continue;

        HDEVINFO set = api::SetupDiGetClassDevsW(&deviceClass, nullptr, nullptr, DIGCF_PRESENT);
        if (set == INVALID_HANDLE_VALUE) continue;
        CReleaseGuard setGuard(CReleaseGuard::DestroyDeviceInfoList, set);

        for (DWORD index = 0; index < kMaxSetMembers; ++index) {
            SP_DEVINFO_DATA device{};
            device.cbSize = sizeof(device);
            if (!api::SetupDiEnumDeviceInfo(set, index, &device)) break;

            if (!IsDevnodeStatusValid(device.DevInst)) continue;

            BYTE *compatibleIds = GetDeviceRegistryProperty(set, &device, REG_MULTI_SZ, SPDRP_COMPATIBLEIDS);
            CReleaseGuard compatibleIdsGuard(CReleaseGuard::Free, compatibleIds);
            if (!IsDeviceOfInterest(deviceClass, reinterpret_cast<const WCHAR *>(compatibleIds))) continue;

            if (guids::Equal(deviceClass, guids::kDevClassDiskDrive) &&
                IsSystemOrFixedDisk(device.DevInst, systemDevice.get()))
                continue;

            WCHAR *deviceId = nullptr;
            if (!GetDeviceId(device.DevInst, &deviceId)) continue;
            CReleaseGuard deviceIdGuard(CReleaseGuard::Free, deviceId);

            // Read for the trace lines its reading writes; the name is not kept.
            GetDeviceDisplayName(set, &device);

            ids.emplace_back(deviceId);
        }
    }

    Trace("LEAVE GetAllDeviceIDs");
    return ids;
}

bool IsDevnodeStatusValid(DEVINST node) {
    Trace("ENTER IsDevnodeStatusValid ", U(node));
    ULONG status = 0;
    ULONG problem = 0;
    if (api::CM_Get_DevNode_Status(&status, &problem, node, 0) != CR_SUCCESS) return false;

    const char *reason = nullptr;
    if ((status & DN_STARTED) == 0)
        reason = "INFO IsDevnodeStatusValid not DN_STARTED";
    else if ((status & DN_HAS_PROBLEM) != 0)
        reason = "INFO IsDevnodeStatusValid DN_HAS_PROBLEM";
    else if ((status & DN_DRIVER_LOADED) == 0)
        reason = "INFO IsDevnodeStatusValid not DN_DRIVER_LOADED";
    if (reason != nullptr) Trace(reason);
    Trace("LEAVE IsDevnodeStatusValid ");
    return reason == nullptr;
}

bool IsDeviceOfInterest(const GUID &deviceClass, const WCHAR *compatibleIds) {
    // Only the first compatible identifier counts, as a whole string.
    if (guids::Equal(deviceClass, guids::kDevClassUsb))
        return compatibleIds != nullptr && wstr::EqualNoCase(compatibleIds, WS("USB\\Class_07"));
    if (guids::Equal(deviceClass, guids::kDevClassWpd))
        return compatibleIds != nullptr && !wstr::EqualNoCase(compatibleIds, WS("wpdbusenum\\fs"));
    return true;
}

WString GetDeviceDisplayName(HDEVINFO set, SP_DEVINFO_DATA *device) {
    BYTE *name = GetDeviceRegistryProperty(set, device, REG_SZ, SPDRP_FRIENDLYNAME);
    if (name != nullptr && reinterpret_cast<const WCHAR *>(name)[0] == 0) {
        std::free(name);
        name = nullptr;
    }
    if (name == nullptr) name = GetDeviceRegistryProperty(set, device, REG_SZ, SPDRP_DEVICEDESC);
    CReleaseGuard nameGuard(CReleaseGuard::Free, name);
    return name != nullptr ? WString(reinterpret_cast<const WCHAR *>(name)) : WString();
}

CDeviceInfo *GetSystemDeviceInfo() {
    Trace("ENTER GetSystemDeviceInfo");
    WCHAR path[] = WS("\\\\.\\C:");
    WCHAR windowsDirectory[MAX_PATH] = {};
    // A directory too long for the buffer is reported by its size, with
    // nothing written: there is no drive letter to take.
    const UINT length = api::GetWindowsDirectoryW(windowsDirectory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        Trace("ERROR GetSystemDeviceInfo GetWindowsDirectory ", U(os::GetLastError()));
        Trace("LEAVE GetSystemDeviceInfo");
        return nullptr;
    }
    path[4] = windowsDirectory[0];
    Trace("INFO GetSystemDeviceInfo Path: ", static_cast<const WCHAR *>(path));

    HANDLE handle = api::CreateFileW(path, GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        Trace("ERROR GetSystemDeviceInfo CreateFile ", U(os::GetLastError()));
        Trace("LEAVE GetSystemDeviceInfo");
        return nullptr;
    }
    // Owned until returned: a trace line that cannot be allocated throws.
    std::unique_ptr<CDeviceInfo> record;
    {
        CAutoFreeHandle handleHolder(handle);
        record.reset(new (std::nothrow) CDeviceInfo);
        if (record != nullptr && !record->UseDriveInfo(handle)) {
            Trace("ERROR GetSystemDeviceInfo CDeviceInfo");
            record.reset();
        }
    }
    Trace("LEAVE GetSystemDeviceInfo");
    return record.release();
}

bool IsSystemDisk(const CDeviceInfo *a, const CDeviceInfo *b) {
    if (a == nullptr || b == nullptr) return false;
    // Unset fields compare as the dump prints them.
    int32_t typeA = a->m_Type.IsSet() ? a->m_Type.Get() : -1;
    int32_t typeB = b->m_Type.IsSet() ? b->m_Type.Get() : -1;
    uint32_t idA = a->m_DeviceID.IsSet() ? a->m_DeviceID.Get() : 0xFFFFFFFFu;
    uint32_t idB = b->m_DeviceID.IsSet() ? b->m_DeviceID.Get() : 0xFFFFFFFFu;
    Trace("INFO IsSystemDisk ", "Type: ", S(typeA), " ", S(typeB), ", ID: ", U(idA), " ", U(idB));
    return typeA == typeB && idA == idB;
}

bool IsSystemOrFixedDisk(DEVINST node, const CDeviceInfo *systemDevice) {
    Trace("ENTER IsSystemOrFixedDisk");
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (const GUID *interfaceClass : kDiskInterfaces) {
        handle = GetHandleToDevice(*interfaceClass, node);
        if (handle != INVALID_HANDLE_VALUE) break;
        Trace("ERROR IsSystemOrFixedDisk INVALID_HANDLE_VALUE ", U(os::GetLastError()));
    }
    if (handle == INVALID_HANDLE_VALUE)
        return TraceFailure("LEAVE IsSystemOrFixedDisk", "INFO IsSystemOrFixedDisk not fixed ");
    CAutoFreeHandle handleHolder(handle);

    CDeviceInfo disk;
    bool excluded = false;
    if (!disk.UseDriveInfo(handle)) {
        Trace("INFO IsSystemOrFixedDisk not fixed ");
    } else if (disk.m_bBootDrive || disk.m_bRemovable != kTriYes) {
        Trace("INFO IsSystemOrFixedDisk not removable");
        excluded = true;
    } else if (IsSystemDisk(&disk, systemDevice)) {
        Trace("INFO IsSystemOrFixedDisk system disk");
        excluded = true;
    } else {
        Trace("INFO IsSystemOrFixedDisk not fixed ");
    }
    Trace("LEAVE IsSystemOrFixedDisk");
    return excluded;
}

HANDLE GetHandleToDevice(const GUID &interfaceClass, DEVINST node) {
    Trace("ENTER GetHandleToDevice ", U(node));
    WCHAR *target = nullptr;
    if (!GetDeviceId(node, &target)) return INVALID_HANDLE_VALUE;
    CReleaseGuard targetGuard(CReleaseGuard::Free, target);

    CInterfaceWalk walk(&interfaceClass, DetailSize::MustFail122, DetailFloor::AtLeastHeader);
    if (!walk.IsOpen()) {
        Trace("ERROR GetHandleToDevice SetupDiGetClassDevs ", U(os::GetLastError()));
        Trace("LEAVE GetHandleToDevice");
        return INVALID_HANDLE_VALUE;
    }

    while (walk.Next()) {
        if (walk.Step() != InterfaceStep::Fetched) continue;

        WCHAR *deviceId = nullptr;
        if (!GetDeviceId(walk.Device()->DevInst, &deviceId)) continue;
        CReleaseGuard deviceIdGuard(CReleaseGuard::Free, deviceId);
        if (!wstr::EqualNoCase(deviceId, target)) continue;

        HANDLE handle = api::CreateFileW(walk.Path(), GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE)
            Trace("ERROR GetHandleToDevice INVALID_HANDLE_VALUE ", U(os::GetLastError()));
        Trace("LEAVE GetHandleToDevice");
        return handle;
    }

    Trace("ERROR GetHandleToDevice not found ");
    Trace("LEAVE GetHandleToDevice");
    return INVALID_HANDLE_VALUE;
}
