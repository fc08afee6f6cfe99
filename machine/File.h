// Machine files as text: checking one, writing it in its canonical form, and
// the JSON Schema that editors check it with.  (Reading one from disk is the
// simulator's, sim/Sim.h.)
#pragma once

#include <string>
#include <string_view>

#include "machine/Error.h"

namespace machine {

// Checks a machine as the program does; throws MachineError.
void CheckMachine(std::string_view json, const std::string &source);

// The canonical form of a valid machine: keys in the order of the format's
// description, defaults left out, codes in hex and other numbers in decimal,
// two-space indentation.  Reading it gives the same machine.  Throws
// MachineError when the machine is invalid.
std::string NormaliseMachine(std::string_view json, const std::string &source);

// The JSON Schema (draft 2020-12) generated from the format's description.
std::string MachineSchema();

}  // namespace machine
