// The real system's os:: operations under the name os_real (see RealOs.h).
// Everything the source includes comes first, so that the rename touches the
// source's own text only.
#include <objbase.h>
#include <stdlib.h>

#include "capture/RealOs.h"
#include "platform/os.h"

#define os os_real
#include "platform/os_win32.cpp"  // NOLINT(bugprone-suspicious-include)
#undef os
