// The simulator's one os:: operation of setupapi.dll under the name RealOs.h
// gives it (see RealOsSim.cpp).
#include <algorithm>
#include <cstring>
#include <set>

#include "capture/RealOs.h"
#include "platform/os.h"
#include "sim/Ops.h"
#include "machine/Rules.h"
#include "sim/RunState.h"

#define os TARSEL_SIM_OS
#include "sim/SetupApiSim.cpp"  // NOLINT(bugprone-suspicious-include)
#undef os
