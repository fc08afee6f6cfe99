// The simulator's one os:: operation of setupapi.dll under the name os_real
// (see RealOs.h and RealOsSim.cpp).
#include <algorithm>
#include <cstring>
#include <set>

#include "capture/RealOs.h"
#include "platform/os.h"
#include "sim/Ops.h"
#include "sim/RunState.h"

// Over the real system the seam passes on to RealOsWin32.cpp; the
// simulator's operations are kept apart there under a name nothing calls,
// for the helpers of its own that the machine-file writer uses.
#ifdef TARSEL_CAPTURE_REAL_SYSTEM
#define os os_simulated
#else
#define os os_real
#endif
#include "sim/SetupApiSim.cpp"  // NOLINT(bugprone-suspicious-include)
#undef os
