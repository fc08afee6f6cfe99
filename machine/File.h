// Machine files as text: checking one, writing it in its canonical form, and
// the JSON Schema that editors check it with.  (Reading one from disk is the
// simulator's, sim/Sim.h.)
#pragma once

#include <string>
#include <string_view>

#include "machine/Error.h"

namespace machine {

struct Machine;

// Checks a machine as the program does; throws MachineError.
void CheckMachine(std::string_view json, const std::string &source);

// The canonical form of a valid machine: keys in the order of the format's
// description, defaults left out, codes in hex and other numbers in decimal,
// two-space indentation.  Reading it gives the same machine.  Throws
// MachineError when the machine is invalid.
std::string NormaliseMachine(std::string_view json, const std::string &source);

// The canonical text of a machine model, as NormaliseMachine writes a file
// that reads as it.  What the model does not keep (comments, $schema,
// description) is not written; where several forms read as the same model,
// one is chosen (machine/WriteModel.cpp says which).
std::string WriteMachine(const Machine &machine);

// The JSON Schema (draft 2020-12) generated from the format's description.
std::string MachineSchema();

}  // namespace machine
