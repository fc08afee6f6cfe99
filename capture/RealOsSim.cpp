// The simulator's os:: operations under the name os_real (see RealOs.h).
// Everything the source includes comes first, so that the rename touches the
// source's own text only.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "capture/RealOs.h"
#include "platform/api.h"
#include "platform/os.h"
#include "sim/MachineFile.h"
#include "sim/RunState.h"

// Over the real system the seam passes on to RealOsWin32.cpp; the
// simulator's operations are kept apart there under a name nothing calls,
// for the helpers of its own that the machine-file writer uses.
#ifdef TARSEL_CAPTURE_REAL_SYSTEM
#define os os_simulated
#else
#define os os_real
#endif
#include "sim/os_sim.cpp"  // NOLINT(bugprone-suspicious-include)
#undef os
