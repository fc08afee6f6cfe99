// The shipped Windows program starts with the real system.  On its own in a
// file so that a program naming another start table never links this one.
#include "platform/os.h"

const os::Table &os::StartTable() { return os::RealSystem(); }
