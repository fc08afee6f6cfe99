// libFuzzer target: the machine reader and writer over any bytes as a
// machine file.
//
// A machine the reader takes is written in canonical form; reading that back
// must give the same machine, which written again is the same text.  The
// model it reads, written, must be read again and write the same text.  Bad
// machines must be refused with MachineError, nothing else.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "machine/File.h"
#include "machine/Model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view json(reinterpret_cast<const char *>(data), size);
    std::string written;
    try {
        written = machine::NormaliseMachine(json, "fuzz.json");
    } catch (const machine::MachineError &) {
        return 0;  // refused, as a bad machine should be
    }
    try {
        const std::string model = machine::WriteMachine(*machine::ParseMachine(json, "fuzz.json"));
        if (machine::NormaliseMachine(written, "written.json") != written)
            std::fprintf(stderr, "fuzz_machine: the written machine, read again, writes another text\n");
        else if (machine::WriteMachine(*machine::ParseMachine(model, "model.json")) != model)
            std::fprintf(stderr, "fuzz_machine: the model written, read again, writes another text\n");
        else
            return 0;
    } catch (const machine::MachineError &e) {
        std::fprintf(stderr, "fuzz_machine: a written machine is refused: %s\n", e.what());
    }
    std::abort();
}
