// The build's own implementation of the directly imported operations
// (os_win32.cpp on Windows, the simulator's on Linux), compiled into the
// capture program under the name os_real so that the recording seam can
// take the name os:: and pass every operation on to it.
#pragma once

#include <cstddef>
#include <ctime>

#include "platform/win32.h"

namespace os_real {
#include "platform/os_operations.h"
}  // namespace os_real
