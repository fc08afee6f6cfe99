// Who wrote a machine file: the capture's version and build, and the Windows
// it ran on, so that a support engineer can tell where a file came from.
#pragma once

#include <nlohmann/json.hpp>

namespace capture {

// Who captured the machine file, as the file says.  The Windows version is read here,
// after the recorded run, so the machine file's answers do not include it.
nlohmann::ordered_json CapturedBy();

}  // namespace capture
