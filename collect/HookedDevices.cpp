#include <cstdlib>

#include "app/log.h"
#include "collect/Enumerators.h"
#include "collect/Passes.h"
#include "device/Properties.h"
#include "platform/api.h"
#include "platform/guids.h"
#include "platform/holders.h"
#include "platform/os.h"

namespace {
void FreeBlock(void *block) { std::free(block); }
}  // namespace

DeviceIdList GetHookedDeviceIDs() {
    Trace("ENTER GetHookedDeviceIDs");
    DeviceIdList ids;

    const GUID *hooked = &guids::kHookedDeviceInterface;
    HDEVINFO set = api::SetupDiGetClassDevsW(hooked, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        Trace("ERROR GetHookedDeviceIDs INVALID_HANDLE_VALUE ", U(os::GetLastError()));
        return ids;
    }
    CReleaseGuard setGuard(CReleaseGuard::DestroyDeviceInfoList, set);

    for (DWORD index = 0; index < kMaxSetMembers; ++index) {
        SP_DEVICE_INTERFACE_DATA iface{};
        iface.cbSize = sizeof(iface);
        if (!api::SetupDiEnumDeviceInterfaces(set, nullptr, hooked, index, &iface)) break;

        // Only the device element is wanted: the size query fills it.
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        if (api::SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, nullptr, &device)) {
            Trace("INFO GetHookedDeviceIDs SetupDiGetDeviceInterfaceDetail invalid success ");
            continue;
        }
        DWORD error = os::GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER) {
            Trace("INFO GetHookedDeviceIDs SetupDiGetDeviceInterfaceDetail ", U(error));
            continue;
        }

        WCHAR *deviceId = nullptr;
        if (!GetDeviceId(device.DevInst, &deviceId)) {
            Trace("INFO GetHookedDeviceIDs error obtaining device id ", U(os::GetLastError()));
            continue;
        }
        CReleaseGuard deviceIdGuard(FreeBlock, deviceId);
        ids.emplace_back(deviceId);
    }
    return ids;
}
