// The simulated Windows platform: answers the program's system calls from a
// model machine read from a machine file (see docs/machine-files.md).
//
// The Linux program boots it lazily on first use: TARSEL_MACHINE names the
// machine file, otherwise the built-in default machine is used.  A machine
// file that cannot be read or is invalid stops the program with exit 2 and a
// one-line reason on stderr, before the log is touched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "machine/Error.h"

namespace os {
struct Table;
}  // namespace os

namespace sim {

// The simulator's table of the directly imported operations (platform/os.h).
const os::Table &Table();

// The built-in default machine (machines/default.json, compiled in).
const char *DefaultMachineJson();

// A machine file that cannot be read or is invalid (machine/Error.h).
using machine::MachineError;

// The text of a machine file, which must be a regular file; throws MachineError
// "<path>: cannot read the file (<why>)".
std::string ReadMachineText(const std::string &path);

// The line the program and the machine tool print for a bad machine.
std::string BadMachineLine(const MachineError &error);

// Replaces the simulated machine.  Handle numbering starts again (at the
// machine's first handle value, or 0x100), open handles and sets are forgotten, the last error is 0 and the call
// record is cleared.  Throws MachineError when the machine is invalid.
void LoadMachine(std::string_view json, const std::string &source = "<machine>");
void LoadMachineFile(const std::string &path);

// Boots the machine named by TARSEL_MACHINE, or the default, unless one is
// loaded already; on failure prints the reason to stderr and exits with 2.
void EnsureBooted();

// The call record: every simulated operation that ran, in order.
struct Call {
    std::string op;      // e.g. "DeviceIoControl", "SetupDiGetClassDevsW", "LoadLibraryW"
    // Path, object name, library, GUID text or identifier, as the call names
    // it; for calls on a handle the handle as "0x104", except DeviceIoControl,
    // which records the name of the object the handle refers to.
    std::string target;
    uint32_t code = 0;   // the control code of DeviceIoControl, the property of a registry read
    uint32_t inSize = 0;
    uint32_t outSize = 0;
    bool ok = false;     // the call succeeded
    uint32_t error = 0;  // the error or status it failed with
};
const std::vector<Call> &Calls();
void ClearCalls();
// Whether calls are recorded (the default after LoadMachine).  A whole run
// of a large machine makes millions: the program and the capture's replay
// keep none.
void KeepCallRecord(bool keep);
size_t CountCalls(std::string_view op);
size_t CountIoctl(uint32_t code);

// Resources the program still holds: open file handles and device
// information sets.  Tests expect both to be 0 after each operation.
size_t OpenHandleCount();
size_t OpenSetCount();

// Whether the calling thread is inside a simulated operation (an os::
// operation or a library export).  The allocation-failure test uses it to
// count and fail only the program's own allocations, never the simulator's.
bool InsideSimulator();

}  // namespace sim
