// The simulator's os:: operations under the name RealOs.h gives them.
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
#include "machine/File.h"
#include "sim/RunState.h"

#define os TARSEL_SIM_OS
#include "sim/os_sim.cpp"  // NOLINT(bugprone-suspicious-include)
#undef os
