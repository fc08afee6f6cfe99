// Machine files as files: reading one from disk, checking it, writing it in
// its canonical form, and the JSON Schema that editors check it with.
#pragma once

#include <string>
#include <string_view>

#include "sim/Sim.h"

namespace sim {

// The text of a machine file, which must be a regular file; throws MachineError
// "<path>: cannot read the file (<why>)".
std::string ReadMachineText(const std::string &path);

// The line the program and the machine tool print for a bad machine.
std::string BadMachineLine(const MachineError &error);

// Checks a machine as the program does; throws MachineError.
void CheckMachine(std::string_view json, const std::string &source);

// The canonical form of a valid machine: keys in the order of the format's
// description, defaults left out, codes in hex and other numbers in decimal,
// two-space indentation.  Reading it gives the same machine.  Throws
// MachineError when the machine is invalid.
std::string NormaliseMachine(std::string_view json, const std::string &source);

// The JSON Schema (draft 2020-12) generated from the format's description.
std::string MachineSchema();

}  // namespace sim
