// The simulator's one os:: operation of setupapi.dll under the name os_real
// (see RealOs.h and RealOsSim.cpp).
#include <algorithm>
#include <cstring>
#include <set>

#include "capture/RealOs.h"
#include "platform/os.h"
#include "sim/Ops.h"
#include "sim/RunState.h"

#define os os_real
#include "sim/SetupApiSim.cpp"  // NOLINT(bugprone-suspicious-include)
#undef os
