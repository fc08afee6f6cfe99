// Who wrote a machine file: the capture's version and build, and the Windows
// it ran on, so that a support engineer can tell where a file came from.
#pragma once

#include <string>

namespace capture {

// The machine file's JSON text with its captured_by entry set.  The Windows
// version is read here, after the recorded run, so the machine file's answers
// do not include it.
std::string WithCapturedBy(const std::string &machineJson);

}  // namespace capture
