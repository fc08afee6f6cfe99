// The directly imported operations.
//
// The program calls these few operations directly rather than through the
// late-bound table (see api.h).  They still go through this one seam so that
// the Windows program binds them to the real system (os_win32.cpp) while the
// Linux program, and the test programs of both builds, bind them to the
// simulated platform (sim/os_sim.cpp).  Exactly one implementation is linked
// into each program.
#pragma once

#include <cstddef>
#include <ctime>

#include "platform/win32.h"

namespace os {
#include "platform/os_operations.h"
}  // namespace os
