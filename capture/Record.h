// The record of one run: every operation the logic made through the
// late-bound table or the directly imported seam, passed on to the platform
// unchanged, with what the platform answered.  The logic neither sees nor
// knows this header; only the capture program reads the record.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

namespace os {
struct Table;
}  // namespace os

namespace capture {

using Bytes = std::vector<uint8_t>;

// One operation as the platform answered it.  Which argument or block is
// which depends on the operation; RecordingSeam.cpp fills them in parameter
// order, and the machine builder reads them in the same order.
struct Event {
    std::string_view op;       // the operation's name, e.g. "DeviceIoControl" (a literal: no copy per call)
    uint64_t result = 0;       // the return value (handles and pointers as their value)
    uint32_t lastError = 0;    // the thread's last error right after the call
    std::vector<uint64_t> args;  // scalar inputs and scalar outputs, as each operation lists them
    // At most two blocks each way; a block the operation lacks is empty.  The
    // seam fills one event again and again, so the blocks keep their storage.
    std::array<Bytes, 2> in;   // input blocks: strings (16-bit units), request input, GUIDs
    std::array<Bytes, 2> out;  // output blocks as written, cut to the count reported and the buffer
};

// The table of the directly imported operations (platform/os.h) that records
// each call, then passes it on to `wrapped`, and hands out recording thunks
// for the late-bound table's exports it finds there.  One recording table
// exists; the call makes `wrapped` the one it passes on to.
const os::Table &Recording(const os::Table &wrapped);

// Hands one answered operation, as it returns, to the run's machine builder:
// the record is taken in as it comes, never kept whole, so the capture's
// memory grows with the machine and not with the run.
void Take(const Event &e);

}  // namespace capture
