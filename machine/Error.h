// A machine file that cannot be read or is invalid.
#pragma once

#include <stdexcept>

namespace machine {

// what() names the source and, for a bad key, its JSON path (for example
// "devices[3].interfaces[0].object").
class MachineError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace machine
