// A machine model built from the record of one run: what the platform
// answered, in the machine-file format, so that replaying it answers every
// operation of the same run the same way.
#pragma once

#include <string>
#include <vector>

#include "capture/Record.h"

namespace capture {

// The machine file's text, before it is put in its canonical form.
std::string BuildMachine(const std::vector<Event> &events);

}  // namespace capture
