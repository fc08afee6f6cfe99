// libFuzzer target: the machine reader and writer over any bytes as a
// machine file.
//
// A machine the reader takes is written in canonical form; reading that back
// must give the same machine, which written again is the same text.  Bad
// machines must be refused with MachineError, nothing else.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "machine/File.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view json(reinterpret_cast<const char *>(data), size);
    std::string written;
    try {
        written = machine::NormaliseMachine(json, "fuzz.json");
    } catch (const machine::MachineError &) {
        return 0;  // refused, as a bad machine should be
    }
    try {
        if (machine::NormaliseMachine(written, "written.json") == written) return 0;
        std::fprintf(stderr, "fuzz_machine: the written machine, read again, writes another text\n");
    } catch (const machine::MachineError &e) {
        std::fprintf(stderr, "fuzz_machine: the written machine is refused: %s\n", e.what());
    }
    std::abort();
}
