// Who wrote a machine file: the capture's version and build, and the Windows
// it ran on, so that a support engineer can tell where a file came from.
#pragma once

#include "machine/Model.h"

namespace capture {

// Who captured the machine, as the file says.  The Windows version is read here, after
// the recorded run, so the machine file's answers do not include it.
machine::CapturedBy CapturedBy();

}  // namespace capture
