#include "platform/trace.h"
#include "collect/Enumerators.h"
#include "collect/Passes.h"

DeviceIdList GetHookedDeviceIDsLegacy() {
    DeviceIdList ids;
    CRemovableDeviceEnumerator enumerator;
    enumerator.Enumerate();

    // Written after the enumeration's own lines.
    Trace("ENTER GetHookedDeviceIDsLegacy");
    for (int32_t i = 0; i < enumerator.m_Devices.GetSize(); ++i) {
        const CDeviceInfo *record = enumerator.m_Devices[i];
        if (record == nullptr) continue;
        if (!record->m_Type.IsSet()) {
            Trace("INFO GetHookedDeviceIDsLegacy no type");
            continue;
        }
        ids.push_back(record->m_UniqueDeviceID);
    }
    Trace("LEAVE GetHookedDeviceIDsLegacy");
    return ids;
}
