// The simulated library exports: one function per entry of the late-bound
// table, each with exactly the signature of its api::PFN_ type, so the slots
// call them as they would call the real system.
#pragma once

#include "platform/api.h"
#include "platform/os.h"

namespace sim {

#define TARSEL_SIM_DECLARE(lib, name, ret, params, args, fallback) ret WINAPI Sim_##name params;
TARSEL_API_ALL(TARSEL_SIM_DECLARE)
#undef TARSEL_SIM_DECLARE

}  // namespace sim

// The simulated directly imported operations: one function per slot of
// os::Table.  The simulator calls these itself, never the current table, so
// that a table wrapping it sees only the program's calls.
namespace sim::direct {

#define TARSEL_SIM_DIRECT(name, ret, params, args) ret name params;
TARSEL_OS_ALL(TARSEL_SIM_DIRECT)
#undef TARSEL_SIM_DIRECT

}  // namespace sim::direct
