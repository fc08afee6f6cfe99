#include "collect/Passes.h"

// Not built yet.
DeviceIdList GetHookedDeviceIDsLegacy() { return {}; }
