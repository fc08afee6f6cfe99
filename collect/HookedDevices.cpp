#include "collect/Passes.h"

// Not built yet.
DeviceIdList GetHookedDeviceIDs() { return {}; }
