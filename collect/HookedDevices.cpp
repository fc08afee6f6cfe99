#include "platform/trace.h"
#include "collect/Enumerators.h"
#include "collect/Passes.h"
#include "device/Properties.h"
#include "platform/guids.h"
#include "platform/holders.h"
#include "platform/os.h"
#include "platform/setupdi.h"

DeviceIdList GetHookedDeviceIDs() {
    Trace("ENTER GetHookedDeviceIDs");
    DeviceIdList ids;

    // Only the device element is wanted: the size query fills it.
    CInterfaceWalk walk(&guids::kHookedDeviceInterface, DetailSize::ElementOnly);
    if (!walk.IsOpen()) {
        Trace("ERROR GetHookedDeviceIDs INVALID_HANDLE_VALUE ", U(os::GetLastError()));
        return ids;
    }

    while (walk.Next()) {
        if (walk.Step() != InterfaceStep::Fetched) {
            if (walk.Step() == InterfaceStep::SizeSucceeded)
                Trace("INFO GetHookedDeviceIDs SetupDiGetDeviceInterfaceDetail invalid success ");
            else
                Trace("INFO GetHookedDeviceIDs SetupDiGetDeviceInterfaceDetail ", U(walk.Error()));
            continue;
        }

        WCHAR *deviceId = nullptr;
        if (!GetDeviceId(walk.Device()->DevInst, &deviceId)) {
            Trace("INFO GetHookedDeviceIDs error obtaining device id ", U(os::GetLastError()));
            continue;
        }
        CReleaseGuard deviceIdGuard(CReleaseGuard::Free, deviceId);
        ids.emplace_back(deviceId);
    }
    return ids;
}
