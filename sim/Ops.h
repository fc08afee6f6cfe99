// The simulated library exports: one function per entry of the late-bound
// table, each with exactly the signature of its api::PFN_ type, so the slots
// call them as they would call the real system.
#pragma once

#include "platform/api.h"

namespace sim {

#define TARSEL_SIM_DECLARE(lib, name, ret, params, args, fallback) ret WINAPI Sim_##name params;
TARSEL_API_ALL(TARSEL_SIM_DECLARE)
#undef TARSEL_SIM_DECLARE

}  // namespace sim
