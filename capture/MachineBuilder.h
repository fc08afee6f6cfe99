// A machine model built from the record of one run: what the platform
// answered, in the machine-file format, so that replaying it answers every
// operation of the same run the same way.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "capture/Record.h"

namespace capture {

// A run no machine file can replay exactly; what() is one sentence, in the
// system's terms, saying why.
class Refusal : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The machine file's text of the run so far (every event given to Take),
// with who captured it, before it is put in its canonical form.  Throws Refusal.
std::string MachineOfRun();

// The same for a record given whole (tests).  Throws Refusal.
std::string BuildMachine(const std::vector<Event> &events);

}  // namespace capture
