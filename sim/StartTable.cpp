// Programs that name no start table of their own (the Linux program, the
// test programs of both builds, the machine tool) start with the simulator.
// On its own in a file so that a program naming another one, as the capture
// does, never links this one.
#include "platform/os.h"
#include "sim/Sim.h"

const os::Table &os::StartTable() { return sim::Table(); }
