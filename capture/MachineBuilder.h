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

// The machine built from the run so far (every event given to Take), with
// who captured it, in the canonical text machine/ writes.  Throws Refusal.
std::string MachineOfRun();

// The same for a record given whole (tests).  Throws Refusal.
std::string BuildMachine(const std::vector<Event> &events);

// The name the capture gives its machine where the reader names it.
inline constexpr char kCapturedMachine[] = "the captured machine";

// The refusal of a machine the capture built and its own reader refuses
// (a fault of the capture); `why` is what the reader says.
Refusal ReaderRefusal(const std::string &why);

}  // namespace capture
