// The build's own implementation of the directly imported operations
// (os_win32.cpp on Windows, the simulator's on Linux), compiled into the
// capture program under the name os_real so that the recording seam can
// take the name os:: and pass every operation on to it.
#pragma once

#include <cstddef>
#include <ctime>

#include "platform/win32.h"

// The name the simulator's own os:: operations take (RealOsSim.cpp,
// RealOsSetupApi.cpp).  Over the real system the seam passes on to
// RealOsWin32.cpp, and the simulator's are kept apart under a name nothing
// calls, for the helpers of its own that the machine-file writer uses.
#ifdef TARSEL_CAPTURE_REAL_SYSTEM
#define TARSEL_SIM_OS os_simulated
#else
#define TARSEL_SIM_OS os_real
#endif

namespace os_real {
#include "platform/os_operations.h"
}  // namespace os_real
